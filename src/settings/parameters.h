// The effect's parameters as the host holds them: the list built at parameter set-up,
// and the render settings read from their values.
#pragma once

#include <cstddef>

#include "AE_Effect.h"
#include "settings/render_settings.h"

namespace raydrift {

// Adds parameters 1 to 61 (the host adds the input layer at 0), registers the custom
// controls' events and sets num_params to kParamCount. The first add-parameter error is
// returned at once, leaving the rest unadded. Premiere Pro (appl_id 'PrMr') gets a
// no-data histogram and labelled checkboxes; After Effects a colour histogram and
// unlabelled ones. The about panel is sized for `gpuNameCount` lines of GPU names.
PF_Err SetupParameters(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                       PF_LayerDef* output, std::size_t gpuNameCount);

// Reads the 25 render parameters (kRenderParameterIndices) of the host's parameter
// array; other entries may be null. Never fails.
RenderSettings SettingsFromParams(PF_ParamDef* const* params, double time);

// The about panel's height for `gpuCount` GPU names: one 38-pixel line each, at most 100.
int aboutPanelHeight(std::size_t gpuCount);

}  // namespace raydrift

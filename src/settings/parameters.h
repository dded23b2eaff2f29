// The effect's parameter list as the host builds it at parameter set-up.
#pragma once

#include <cstddef>

#include "AE_Effect.h"

namespace raydrift {

// Adds parameters 1 to 61 (the host adds the input layer at 0), registers the custom
// controls' events and sets num_params to kParamCount. The first add-parameter error is
// returned at once, leaving the rest unadded. Premiere Pro (appl_id 'PrMr') gets a
// no-data histogram and labelled checkboxes; After Effects a colour histogram and
// unlabelled ones.
PF_Err SetupParameters(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                       PF_LayerDef* output);

// The about panel's height for `gpuCount` GPU names: one 38-pixel line each, at most 100.
int aboutPanelHeight(std::size_t gpuCount);

}  // namespace raydrift

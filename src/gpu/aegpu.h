// After Effects' GPU render path: device set-up and set-down, and rendering on the
// host's GPU worlds.
#pragma once

#include "AE_Effect.h"
#include "settings/render_settings.h"

namespace raydrift::aegpu {

// True when `gpuData` is a device state of ours for `framework` that can render.
bool available(const void* gpuData, int framework);

// Takes a CUDA or OpenCL device (and, outside Windows, a Metal one) that its renderer
// accepts; any other device is left to the CPU, without an error.
PF_Err setup(PF_InData* in_data, PF_OutData* out_data, PF_GPUDeviceSetupExtra* extra);
PF_Err setdown(PF_InData* in_data, PF_GPUDeviceSetdownExtra* extra);

// Renders on GPU worlds. `canvas` is the area the effect is computed on and
// `outputRect` the area the output world covers, both in layer coordinates; refWidth ×
// refHeight is the layer before downsampling. 516 for a refused frame, 512 for a failed one.
PF_Err render(PF_InData* in_data, PF_SmartRenderExtra* extra, PF_LayerDef* input,
              PF_LayerDef* output, RenderSettings const& settings, PF_LRect const& canvas,
              PF_LRect const& outputRect, int refWidth, int refHeight);

}  // namespace raydrift::aegpu

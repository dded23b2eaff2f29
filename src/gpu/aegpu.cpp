#include "gpu/aegpu.h"

namespace raydrift::aegpu {

// No GPU back end in this build: no device state is ever created, so every frame is
// rendered on the CPU.
bool available(const void*, int) { return false; }

PF_Err setup(PF_InData*, PF_OutData*, PF_GPUDeviceSetupExtra* extra) {
    if (extra && extra->output) extra->output->gpu_data = nullptr;
    return PF_Err_NONE;
}

PF_Err setdown(PF_InData*, PF_GPUDeviceSetdownExtra*) { return PF_Err_NONE; }

PF_Err render(PF_InData*, PF_SmartRenderExtra*, PF_LayerDef*, PF_LayerDef*,
              RenderSettings const&, PF_LRect const&, PF_LRect const&, int, int) {
    return PF_Err_BAD_CALLBACK_PARAM;
}

}  // namespace raydrift::aegpu

// The Direct3D streak kernels compiled as C++ for the software device.
#include "hlsl/kernels.h"

#include "hlsl/hlsl_cpu.h"

#define RD_ENTRY(space, source, name, x, y, bind) \
    {source, #name, x, y, bind, [](uint3 const& id) { space::name(id); }}

namespace rdhlsl {
namespace streaks {
#include "gpu/kernels/streaks.hlsl"
}  // namespace streaks

namespace {

void bindStreaks(Bindings const& b) {
    using namespace streaks;
    if (b.b[0] != nullptr) std::memcpy(&Settings::P, b.b[0], sizeof(Params));
    streaks::source.data = reinterpret_cast<float4*>(b.t[0]);
    streaks::phases.data = reinterpret_cast<float4*>(b.t[1]);
    streaks::factors.data = reinterpret_cast<float*>(b.t[2]);
    streaks::target.data = reinterpret_cast<float4*>(b.u[0]);
}

}  // namespace

std::vector<KernelEntry> streakKernels() {
    return {
        RD_ENTRY(streaks, "Raydrift", rotate, 16, 16, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", horizontal, 16, 16, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", vertical, 16, 16, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", crop, 16, 16, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", upscale, 16, 16, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", horizontalRolling, 64, 1, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", verticalRolling, 64, 1, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", extendOriginal, 16, 16, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", verticalModulatedRolling, 64, 1, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", luminanceMatte, 16, 16, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", horizontalCpuPrefix, 64, 1, bindStreaks),
        RD_ENTRY(streaks, "Raydrift", horizontalCpuWindow, 16, 16, bindStreaks),
    };
}

}  // namespace rdhlsl

// The Direct3D frame kernels compiled as C++ for the software device.
#include "hlsl/kernels.h"

#include "hlsl/hlsl_cpu.h"

#define RD_ENTRY(space, source, name, x, y, bind) \
    {source, #name, x, y, bind, [](uint3 const& id) { space::name(id); }}

namespace rdhlsl {
namespace frame {
#include "gpu/kernels/frame.hlsl"
}  // namespace frame

namespace {

void bindFrame(Bindings const& b) {
    using namespace frame;
    if (b.b[1] != nullptr) {
        // The block's layout: the constants, then the native fields in declaration order.
        const unsigned char* c = b.b[1];
        std::memcpy(&FrameSettings::P, c, sizeof(Params));
        std::memcpy(&FrameSettings::inStride, c + 192, 4);
        std::memcpy(&FrameSettings::outLayout, c + 196, 4);
        std::memcpy(&FrameSettings::inLayout, c + 200, 4);
        std::memcpy(&FrameSettings::sourceRect, c + 208, 16);
        std::memcpy(&FrameSettings::destinationRect, c + 224, 16);
    }
    frame::source.data = reinterpret_cast<float4*>(b.t[0]);
    frame::original.data = reinterpret_cast<float4*>(b.t[1]);
    frame::nativeInput.data = b.t[2];
    frame::target.data = reinterpret_cast<float4*>(b.u[0]);
    frame::flags.data = reinterpret_cast<uint*>(b.u[1]);
    frame::nativeOutput.data = b.u[2];
}

}  // namespace

std::vector<KernelEntry> frameKernels() {
    return {
        RD_ENTRY(frame, "RaydriftFrame", selectFrame, 16, 16, bindFrame),
        RD_ENTRY(frame, "RaydriftFrame", tintFrame, 16, 16, bindFrame),
        RD_ENTRY(frame, "RaydriftFrame", chromaticFrame, 16, 16, bindFrame),
        RD_ENTRY(frame, "RaydriftFrame", compositeFrame, 16, 16, bindFrame),
        RD_ENTRY(frame, "RaydriftFrame", prepareNativeFrame, 16, 16, bindFrame),
    };
}

}  // namespace rdhlsl

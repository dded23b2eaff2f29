// The kernel source compiled as C++ for the software Metal device: the same five files
// the plug-in embeds, behind the C++ prelude that <metal_stdlib> names here.
#include "gpu/kernels/params.metal"
#include "gpu/kernels/spatial.metal"
#include "gpu/kernels/color.metal"
#include "gpu/kernels/host_params.metal"
#include "gpu/kernels/host.metal"

#undef kernel
#undef device
#undef constant
#undef thread

#include "software/software_device.h"

namespace {

using rdmtl::KernelArguments;

template <class T>
T* at(KernelArguments const& a, int index) {
    return static_cast<T*>(a.buffers[index]);
}

// Binding indices as the kernels declare them in [[buffer(n)]].
const rdmtl::KernelEntry kEntries[] = {
    {"selectSource",
     [](KernelArguments const& a, unsigned x, unsigned y) {
         selectSource(at<float4>(a, 1), at<const float4>(a, 2), *at<const Params>(a, 3),
                      at<atomic_uint>(a, 6), uint2{x, y});
     }},
    {"rotateSource",
     [](KernelArguments const& a, unsigned x, unsigned y) {
         rotateSource(at<const float4>(a, 0), at<float4>(a, 1), *at<const Params>(a, 3), uint2{x, y});
     }},
    {"horizontalPrefix",
     [](KernelArguments const& a, unsigned x, unsigned) {
         horizontalPrefix(at<const float4>(a, 0), at<float4>(a, 1), *at<const Params>(a, 3), x);
     }},
    {"horizontalWindow",
     [](KernelArguments const& a, unsigned x, unsigned y) {
         horizontalWindow(at<const float4>(a, 0), at<float4>(a, 1), *at<const Params>(a, 3), uint2{x, y});
     }},
    {"horizontalAccurate",
     [](KernelArguments const& a, unsigned x, unsigned) {
         horizontalAccurate(at<const float4>(a, 0), at<float4>(a, 1), *at<const Params>(a, 3), x);
     }},
    {"verticalSimple",
     [](KernelArguments const& a, unsigned x, unsigned) {
         verticalSimple(at<const float4>(a, 0), at<float4>(a, 1), *at<const Params>(a, 3),
                        at<const float4>(a, 4), x);
     }},
    {"verticalModulated",
     [](KernelArguments const& a, unsigned x, unsigned) {
         verticalModulated(at<const float4>(a, 0), at<float4>(a, 1), *at<const Params>(a, 3),
                           at<const float4>(a, 4), x);
     }},
    {"cropSource",
     [](KernelArguments const& a, unsigned x, unsigned y) {
         cropSource(at<const float4>(a, 0), at<float4>(a, 1), *at<const Params>(a, 3),
                    at<const float>(a, 5), uint2{x, y});
     }},
    {"colorSource",
     [](KernelArguments const& a, unsigned x, unsigned y) {
         colorSource(at<const float4>(a, 0), at<float4>(a, 1), *at<const Params>(a, 3),
                     at<atomic_uint>(a, 6), uint2{x, y});
     }},
    {"chromaticSource",
     [](KernelArguments const& a, unsigned x, unsigned y) {
         chromaticSource(at<const float4>(a, 0), at<float4>(a, 1), at<const float4>(a, 2),
                         *at<const Params>(a, 3), at<atomic_uint>(a, 6), uint2{x, y});
     }},
    {"compositeFrame",
     [](KernelArguments const& a, unsigned x, unsigned y) {
         compositeFrame(at<const float4>(a, 0), at<float4>(a, 1), at<const float4>(a, 2),
                        *at<const Params>(a, 3), at<atomic_uint>(a, 6), uint2{x, y});
     }},
    {"importHost",
     [](KernelArguments const& a, unsigned x, unsigned y) {
         importHost(at<const uchar>(a, 0), at<float4>(a, 1), *at<const HostParams>(a, 2),
                    at<atomic_uint>(a, 3), uint2{x, y});
     }},
    {"exportHost",
     [](KernelArguments const& a, unsigned x, unsigned y) {
         exportHost(at<const float4>(a, 0), at<uchar>(a, 1), *at<const HostParams>(a, 2),
                    at<atomic_uint>(a, 3), at<const uchar>(a, 4), at<const float4>(a, 5), uint2{x, y});
     }},
};

}  // namespace

namespace rdmtl {

KernelLibrary kernelLibrary() {
    return {kEntries, sizeof kEntries / sizeof kEntries[0], SM_CPU_FMA};
}

}  // namespace rdmtl

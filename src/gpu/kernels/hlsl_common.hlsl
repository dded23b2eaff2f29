// The HLSL prelude of both Direct3D kernel sources and the device helpers they share.
// The engine's arithmetic headers follow it, pasted in by the build. Each source defines
// RD_DIV before including this: the frame source divides in double precision (correctly
// rounded, as the CPU's float division is), the streak source in float. The shaders are
// compiled with IEEE strictness; `precise` marks the values that must come bounded as the
// CPU's, so that no optimisation reassociates or contracts them.
#ifndef RD_KERNEL
// The HLSL spelling of kernels, their bindings and the values that must not be
// rearranged; a C++ build of the same text defines these differently beforehand.
#define RD_KERNEL(x, y) [numthreads(x, y, 1)]
#define RD_THREAD_ID : SV_DispatchThreadID
#define RD_RESOURCE(type, name, slot) type name : register(slot)
#define RD_CONSTANTS(name, slot) cbuffer name : register(slot) {
#define RD_END_CONSTANTS(name) };
#endif
#define RD_FN static
#define RD_FMA(a, b, c) mad((a), (b), (c))
#define RD_SQRT(x) sqrt(x)
#define RD_FABS(x) abs(x)
#define RD_ISFINITE(x) isfinite(x)
#ifndef SM_CPU_FMA
#define SM_CPU_FMA 0
#endif

#include "gpu/kernels/params.metal"
#include "image/pixel_math.h"
#include "image/streak_math.h"
#include "image/color_math.h"
#include "image/blend_math.h"
#include "gpu/kernels/device_math.h"

static const float4 kZero = float4(0.0f, 0.0f, 0.0f, 0.0f);

// A pixel of a w × h image under an edge rule; transparent outside.
static float4 pixelAt(StructuredBuffer<float4> image, int x, int y, int w, int h, int edge) {
    x = rdMapped(x, w, edge);
    y = rdMapped(y, h, edge);
    if (x < 0 || x >= w || y < 0 || y >= h) return kZero;
    return image[y * w + x];
}

// Bilinear sample at (x, y), the CPU's sampler: floor, fractions, lerp along x then y.
static float4 sampleAt(StructuredBuffer<float4> image, float x, float y, int w, int h, int edge) {
    precise const float fa = floor(x);
    precise const float fb = floor(y);
    const int a = int(fa);
    const int b = int(fb);
    precise const float fx = x - fa;
    precise const float fy = y - fb;
    precise const float4 p = rdBilinear(pixelAt(image, a, b, w, h, edge), pixelAt(image, a + 1, b, w, h, edge),
                                        pixelAt(image, a, b + 1, w, h, edge),
                                        pixelAt(image, a + 1, b + 1, w, h, edge), fx, fy);
    return p;
}

// The luminance range mask of a premultiplied pixel under the frame's cut settings.
static float maskOf(float4 p, Params S) {
    precise const float v = rdLumaPremultiplied(p.x, p.y, p.z, p.w);
    precise const float m = rdLuminanceRangeMask(v, S.lowCut, S.lowFeather, S.highCut, S.highFeather,
                                                 S.reserved0 != 0.0f ? 1 : 0);
    return m;
}

// The streak profile's output: no negative light, alpha at most full coverage.
static float4 boundedStreak(float4 f) {
    float4 bounded = float4(f.x > 0.0f ? f.x : 0.0f, f.y > 0.0f ? f.y : 0.0f, f.z > 0.0f ? f.z : 0.0f,
                        f.w > 0.0f ? f.w : 0.0f);
    if (bounded.w > 1.0f) bounded.w = 1.0f;
    return bounded;
}

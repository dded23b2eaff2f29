// Device functions the float4 kernel sources share: the scalar ones (edge rules and the
// like, also read by the OpenCL and CUDA source), bilinear interpolation and the test for
// input the GPU cannot reproduce. Written in the subset that Metal Shading Language, HLSL
// and C++ (through each build's prelude) all read the same way: float4 with its
// four-value constructor, plain ints and floats, no pointers.
#pragma once

#include "gpu/kernels/scalar_math.h"

RD_FN float4 rdLerp4(float4 a, float4 b, float t) {
    return float4(rdLerp(a.x, b.x, t), rdLerp(a.y, b.y, t), rdLerp(a.z, b.z, t), rdLerp(a.w, b.w, t));
}

// The four neighbours of a sample point, blended along x first, then along y.
RD_FN float4 rdBilinear(float4 p00, float4 p10, float4 p01, float4 p11, float fx, float fy) {
    return rdLerp4(rdLerp4(p00, p10, fx), rdLerp4(p01, p11, fx), fy);
}

// Input the GPU cannot reproduce within the CPU's rounding: not finite, bright enough
// that the interpolation error outgrows the bound, or with an alpha outside [0, 1]. Over
// such a base the composite jumps where the streak's coverage reaches zero (the base is
// kept as it is, or its alpha clamped), and the last bits of a running sum decide which.
RD_FN bool rdNeedsCpu(float4 p, float intensity) {
    const float limit = RD_DIV(64.0f, intensity > 1.0f ? intensity : 1.0f);
    if (!RD_ISFINITE(p.x) || !RD_ISFINITE(p.y) || !RD_ISFINITE(p.z) || !RD_ISFINITE(p.w)) return true;
    return RD_FABS(p.x) > limit || RD_FABS(p.y) > limit || RD_FABS(p.z) > limit || p.w < 0.0f || p.w > 1.0f;
}

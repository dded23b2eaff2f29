// Device functions every kernel source shares, whatever its language: edge rules,
// bilinear interpolation, the compositor's resampling coordinate and the test for input
// the GPU cannot reproduce. Written in the subset that Metal Shading Language, HLSL and
// C++ (through each build's prelude) all read the same way: float4 with its four-value
// constructor, plain ints and floats, no pointers.
#pragma once

#include "image/pixel_math.h"

// Edge rules: 1 clamp, 0 wrap, 2 mirror; anything else (transparent) leaves p as it is.
RD_FN int rdMapped(int p, int size, int edge) {
    if (edge == 1) return p < 0 ? 0 : (p > size - 1 ? size - 1 : p);
    if (edge == 0) {
        const int r = p % size;
        return r < 0 ? r + size : r;
    }
    if (edge == 2) {
        if (size == 1) return 0;
        const int n = 2 * size - 2;
        int r = p % n;
        if (r < 0) r += n;
        return r < size ? r : n - r;
    }
    return p;
}

RD_FN float rdSat(float v) { return v < 0.0f ? 0.0f : (1.0f < v ? 1.0f : v); }

RD_FN float4 rdLerp4(float4 a, float4 b, float t) {
    return float4(rdLerp(a.x, b.x, t), rdLerp(a.y, b.y, t), rdLerp(a.z, b.z, t), rdLerp(a.w, b.w, t));
}

// The four neighbours of a sample point, blended along x first, then along y.
RD_FN float4 rdBilinear(float4 p00, float4 p10, float4 p01, float4 p11, float fx, float fy) {
    return rdLerp4(rdLerp4(p00, p10, fx), rdLerp4(p01, p11, fx), fy);
}

// The compositor's source coordinate for an output position.
RD_FN float rdResampleCoordinate(float position, float scale, float margin) {
    return rdMulAdd(position + 0.5f, scale, -0.5f) + margin;
}

// Input the GPU cannot reproduce within the CPU's rounding: not finite, bright enough
// that the interpolation error outgrows the bound, or with an alpha so far outside
// [0, 1] that the two-float sums lose every other pixel beside it.
RD_FN bool rdNeedsCpu(float4 p, float intensity) {
    const float limit = RD_DIV(64.0f, intensity > 1.0f ? intensity : 1.0f);
    if (!RD_ISFINITE(p.x) || !RD_ISFINITE(p.y) || !RD_ISFINITE(p.z) || !RD_ISFINITE(p.w)) return true;
    return RD_FABS(p.x) > limit || RD_FABS(p.y) > limit || RD_FABS(p.z) > limit || RD_FABS(p.w) > 64.0f;
}

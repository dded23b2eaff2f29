// Per-pixel arithmetic shared by every renderer. Plain floats, no containers, no
// exceptions: the GPU kernel sources include this text through their own prelude.
// The order of operations is part of the picture: change nothing here without
// changing the kernels in the same way.
#pragma once

#ifndef RD_FN
#include "image/kernel_prelude_cpu.h"
#endif

// a·b + c. The one place where fusing builds (SM_CPU_FMA) contract a multiply-add;
// every formula with a fused form goes through it.
RD_FN float rdMulAdd(float a, float b, float c) {
#if SM_CPU_FMA
    return RD_FMA(a, b, c);
#else
    return a * b + c;
#endif
}

// a + (b − a)·t; fused builds: fma(b − a, t, a).
RD_FN float rdLerp(float a, float b, float t) { return rdMulAdd(b - a, t, a); }

// Rec. 709 luma of an unpremultiplied colour: (r·0.2126 + g·0.7152) + b·0.0722.
RD_FN float rdLuma(float r, float g, float b) {
    return rdMulAdd(b, 0.0722f, rdMulAdd(r, 0.2126f, g * 0.7152f));
}

// Luma of a premultiplied pixel; alpha at or below 1e-6 counts as no colour (luma 0).
RD_FN float rdLumaPremultiplied(float r, float g, float b, float a) {
    const float inv = a > 1e-6f ? RD_DIV(1.0f, a) : 0.0f;
    return rdLuma(r * inv, g * inv, b * inv);
}

// Smoothstep from a to b at v. With no room between the edges (b ≤ a, which includes
// a feather too small to move the cut in float) it is a hard step at b.
RD_FN float rdRamp(float a, float b, float v) {
    if (!(b > a)) return v >= b ? 1.0f : 0.0f;
    float t = RD_DIV(v - a, b - a);
    if (t < 0.0f) t = 0.0f;
    if (t > 1.0f) t = 1.0f;
    // (3 − (t + t))·(t·t); fused builds: (t·t)·fma(t, −2, 3). Both evaluate 3 − 2t with
    // one rounding because t·(−2) is exact.
    return (t * t) * rdMulAdd(t, -2.0f, 3.0f);
}

// Pass band of luminance: a soft low cut (feather below lowCut), an optional soft high
// cut (feather above highCut), optionally inverted. Result in [0, 1] for any finite luma.
RD_FN float rdLuminanceRangeMask(float v, float lowCut, float lowFeather, float highCut,
                                 float highFeather, int invert) {
    float lo;
    if (lowFeather > 0.0f)
        lo = rdRamp(lowCut - lowFeather, lowCut, v);
    else
        lo = v >= lowCut ? 1.0f : 0.0f;
    float hi;
    if (highFeather > 0.0f)
        hi = 1.0f - rdRamp(highCut, highCut + highFeather, v);
    else
        hi = v <= highCut ? 1.0f : 0.0f;
    float m = lo * hi;
    if (m < 0.0f) m = 0.0f;
    if (m > 1.0f) m = 1.0f;
    return invert ? 1.0f - m : m;
}

// Per-pixel compositing arithmetic: the fourteen blend formulas, the blended views with
// their three coverage terms, and the streak-only views. Plain floats, no containers, no
// exceptions, shared text with the GPU kernels: every expression is evaluated in the
// order written (no contraction), which is what the kernel set reproduces.
#pragma once

#include "image/color_math.h"

#ifndef RD_SQRT
#define RD_SQRT(x) std::sqrt(x)
#endif
#ifndef RD_FABS
#define RD_FABS(x) std::fabs(x)
#endif

// Blend mode numbers, in the order of the Blend Mode menu.
#define RD_BLEND_NORMAL 0
#define RD_BLEND_ADD 1
#define RD_BLEND_LINEAR_DODGE 2
#define RD_BLEND_SCREEN 3
#define RD_BLEND_LIGHTEN 4
#define RD_BLEND_MULTIPLY 5
#define RD_BLEND_DARKEN 6
#define RD_BLEND_OVERLAY 7
#define RD_BLEND_SOFT_LIGHT 8
#define RD_BLEND_HARD_LIGHT 9
#define RD_BLEND_COLOR_DODGE 10
#define RD_BLEND_COLOR_BURN 11
#define RD_BLEND_DIFFERENCE 12
#define RD_BLEND_EXCLUSION 13

// Add and Linear Dodge sum premultiplied colour and keep the sign; every other mode
// blends straight colours and is floored at zero.
RD_FN int rdBlendIsAdditive(int mode) {
    return mode == RD_BLEND_ADD || mode == RD_BLEND_LINEAR_DODGE;
}

// One channel: a is the base's straight colour, b the streak's straight colour times
// the intensity. Values outside [0, 1] are taken as they are. Unknown modes are Normal.
RD_FN float rdBlendChannel(float a, float b, int mode) {
    switch (mode) {
        case RD_BLEND_ADD:
        case RD_BLEND_LINEAR_DODGE:
            return a + b;
        case RD_BLEND_SCREEN:
            return 1.0f - (1.0f - b) * (1.0f - a);
        case RD_BLEND_LIGHTEN:
            return b > a ? b : a;
        case RD_BLEND_MULTIPLY:
            return a * b;
        case RD_BLEND_DARKEN:
            return b < a ? b : a;
        case RD_BLEND_OVERLAY:
            return a <= 0.5f ? (a + a) * b : ((1.0f - a) * -2.0f) * (1.0f - b) + 1.0f;
        case RD_BLEND_SOFT_LIGHT: {
            if (b <= 0.5f) return a - ((1.0f - 2.0f * b) * a) * (1.0f - a);
            // The cubic meets the square root at a = 0.25 with equal value and slope.
            const float curve =
                a <= 0.25f ? ((16.0f * a - 12.0f) * a + 4.0f) * a : RD_SQRT(a < 0.0f ? 0.0f : a);
            return (curve - a) * (2.0f * b - 1.0f) + a;
        }
        case RD_BLEND_HARD_LIGHT:
            return b <= 0.5f ? (a + a) * b : ((1.0f - a) * -2.0f) * (1.0f - b) + 1.0f;
        case RD_BLEND_COLOR_DODGE: {
            if (b >= 1.0f) return 1.0f;
            // The floor keeps a streak channel just below 1 from dividing by (nearly) zero.
            const float room = 1.0f - b;
            return a / (room < 0.000001f ? 0.000001f : room);
        }
        case RD_BLEND_COLOR_BURN:
            return b > 0.0f ? 1.0f - (1.0f - a) / b : 0.0f;
        case RD_BLEND_DIFFERENCE:
            return RD_FABS(a - b);
        case RD_BLEND_EXCLUSION:
            return (a * -2.0f) * b + (a + b);
        default:
            return b;
    }
}

// A blended colour floored at zero and held at the largest float: finite colours can
// multiply beyond the float range (a 1e30 light under a 1e30 streak in Multiply), and a
// finite picture must not come out infinite. Below that it is rdPositive, bit for bit.
RD_FN float rdPositiveFinite(float v) {
    return v > 0.0f ? (v < 3.4028235e38f ? v : 3.4028235e38f) : 0.0f;
}

// Coverage of the streak pixel of alpha `effectAlpha` at strength `opacity`. A result of
// exactly 0 leaves the base pixel as it is, bit for bit (the caller copies it).
RD_FN float rdStreakCoverage(float effectAlpha, float opacity) {
    return rdClamp01(effectAlpha * opacity);
}

// The streak pixel p over the base pixel q at coverage `alpha` (not 0). Where only the
// base is visible it keeps its premultiplied colour, where only the streak is (the base
// is transparent) the streak shows unblended, and where both overlap the mode decides.
RD_FN RdRgba rdBlendOver(RdRgba p, RdRgba q, float alpha, float intensity, int mode) {
    const float inverseEffect = p.a > 0.000001f ? RD_DIV(1.0f, p.a) : 0.0f;
    const float er = (p.r * inverseEffect) * intensity;
    const float eg = (p.g * inverseEffect) * intensity;
    const float eb = (p.b * inverseEffect) * intensity;
    const float sr = er * alpha;
    const float sg = eg * alpha;
    const float sb = eb * alpha;
    const float outAlpha = rdClamp01(q.a * (1.0f - alpha) + alpha);
    if (rdBlendIsAdditive(mode)) return rdRgba(q.r + sr, q.g + sg, q.b + sb, outAlpha);

    const float inverseBase = q.a > 0.000001f ? RD_DIV(1.0f, q.a) : 0.0f;
    const float baseOnly = 1.0f - alpha;
    const float sourceOnly = 1.0f - q.a;
    const float overlap = alpha * q.a;
    const float mr = rdBlendChannel(q.r * inverseBase, er, mode);
    const float mg = rdBlendChannel(q.g * inverseBase, eg, mode);
    const float mb = rdBlendChannel(q.b * inverseBase, eb, mode);
    return rdRgba(rdPositiveFinite((q.r * baseOnly + sr * sourceOnly) + mr * overlap),
                  rdPositiveFinite((q.g * baseOnly + sg * sourceOnly) + mg * overlap),
                  rdPositiveFinite((q.b * baseOnly + sb * sourceOnly) + mb * overlap), outAlpha);
}

// The streak alone: on opaque black (alphaView 0) or as a premultiplied layer whose
// alpha is raised to its brightest channel (alphaView 1), so the colour never exceeds
// the alpha that carries it. Zero strength gives black, opaque or transparent.
RD_FN RdRgba rdStreakOnly(RdRgba p, float opacity, float intensity, int alphaView) {
    float alpha = 0.0f;
    float gain = 0.0f;
    if (intensity > 0.0f) {
        alpha = rdClamp01(p.a * opacity);
        gain = p.a > 0.000001f ? RD_DIV(intensity * alpha, p.a) : 0.0f;
    }
    const float r = rdPositive(p.r * gain);
    const float g = rdPositive(p.g * gain);
    const float b = rdPositive(p.b * gain);
    if (!alphaView) return rdRgba(r, g, b, 1.0f);
    return rdRgba(r, g, b, rdClamp01(rdMax(rdMax(rdMax(alpha, r), g), b)));
}

// Per-pixel colour arithmetic of the streaks: saturation, tint, the protected tint and
// the clamps the compositor shares. Plain floats and one plain struct, no containers, no
// exceptions: the GPU kernel sources include this text behind their own prelude, so the
// order of operations here is the one every renderer reproduces.
#pragma once

#include "image/pixel_math.h"

// One premultiplied RGBA value as the shared arithmetic passes it around.
typedef struct {
    float r;
    float g;
    float b;
    float a;
} RdRgba;

RD_FN RdRgba rdRgba(float r, float g, float b, float a) {
    RdRgba p;
    p.r = r;
    p.g = g;
    p.b = b;
    p.a = a;
    return p;
}

// v clamped to [0, 1]; a NaN passes through unchanged (neither comparison holds).
RD_FN float rdClamp01(float v) { return v < 0.0f ? 0.0f : (1.0f < v ? 1.0f : v); }

// The larger of x and y, keeping x unless x < y (std::max's rule, NaNs included).
RD_FN float rdMax(float x, float y) { return x < y ? y : x; }

// v when positive, else +0: NaN and −0 both become +0.
RD_FN float rdPositive(float v) { return v > 0.0f ? v : 0.0f; }

// How much of a protected tint reaches a streak pixel over input alpha `alpha`: all of
// it where the layer is transparent, none where it is opaque (1 for a negative alpha).
RD_FN float rdTintScale(float alpha) {
    return alpha < 0.0f ? 1.0f : 1.0f - (1.0f < alpha ? 1.0f : alpha);
}

// One colour channel c of a premultiplied pixel of alpha `alpha` and luma `luma`:
// pulled towards the luma by `saturation` (1 keeps it, 0 gives grey), then towards the
// tint channel (premultiplied by the pixel's own alpha) by `amount`. Both lerps are
// always evaluated: v + (c − v)·1 can differ from c in the last bit, and the GPU
// kernels compute exactly this.
RD_FN float rdColorChannel(float c, float luma, float saturation, float tint, float alpha,
                           float amount) {
    return rdLerp(rdLerp(luma, c, saturation), tint * alpha, amount);
}

// The tint lerp alone, for a tint applied after the fringes were displaced.
RD_FN float rdTintChannel(float c, float tint, float alpha, float amount) {
    return rdLerp(c, tint * alpha, amount);
}

// Saturation then tint on a premultiplied pixel; the luma is taken once, from the
// premultiplied colour before any channel changes. Alpha is unchanged.
RD_FN RdRgba rdColorPixel(RdRgba p, float saturation, float amount, float tintR, float tintG,
                          float tintB) {
    const float v = rdLuma(p.r, p.g, p.b);
    return rdRgba(rdColorChannel(p.r, v, saturation, tintR, p.a, amount),
                  rdColorChannel(p.g, v, saturation, tintG, p.a, amount),
                  rdColorChannel(p.b, v, saturation, tintB, p.a, amount), p.a);
}

// The tint alone on a premultiplied pixel. Alpha is unchanged.
RD_FN RdRgba rdTintPixel(RdRgba p, float amount, float tintR, float tintG, float tintB) {
    return rdRgba(rdTintChannel(p.r, tintR, p.a, amount), rdTintChannel(p.g, tintG, p.a, amount),
                  rdTintChannel(p.b, tintB, p.a, amount), p.a);
}

// Chromatic fringes: the channels of the pixel sampled ahead (A), in place (B) and
// behind (C) along the streak, per channel pair (0 "R&B", 1 "R&G", 2 "G&B"; any other
// value takes red and green from A, blue from C). Alpha is the largest of the three, so
// a fringe never loses coverage.
RD_FN RdRgba rdChromaticPixel(RdRgba A, RdRgba B, RdRgba C, int channels) {
    const float alpha = rdMax(C.a, rdMax(B.a, A.a));
    if (channels == 0) return rdRgba(A.r, B.g, C.b, alpha);
    if (channels == 1) return rdRgba(A.r, C.g, B.b, alpha);
    if (channels == 2) return rdRgba(B.r, A.g, C.b, alpha);
    return rdRgba(A.r, A.g, C.b, alpha);
}

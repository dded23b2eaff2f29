// Per-pixel arithmetic of the streak passes: the rotation into the streak-aligned canvas,
// the way back, and the Details column factor. Plain floats, no containers, no exceptions:
// the GPU kernel sources include this text through their own prelude, so the order of
// operations here is the one every renderer follows.
#pragma once

#include "image/pixel_math.h"

// Half the extent of a rotated image along one axis: a·cx + b·cy, where a and b are the
// magnitudes of the rotation's cosine and sine (in either order). Fused builds:
// fma(a, cx, cy·b).
RD_FN float rdRotatedExtent(float a, float b, float cx, float cy) {
    return rdMulAdd(a, cx, cy * b);
}

// Image position of the canvas position (u, v) in the streak-aligned frame centred on
// (cx, cy): x = (cs·u + sn·(−v)) + cx, y = (sn·u + cs·v) + cy. Fused builds fuse the
// first product of each.
RD_FN float rdCanvasToImageX(float cs, float sn, float u, float v, float cx) {
    return rdMulAdd(cs, u, sn * -v) + cx;
}
RD_FN float rdCanvasToImageY(float cs, float sn, float u, float v, float cy) {
    return rdMulAdd(sn, u, cs * v) + cy;
}

// Canvas position of the image offset (dx, dy) from the image centre, for a canvas whose
// first column and row sit at (ox, oy) in the streak-aligned frame:
// x = (cs·dx + sn·dy) − ox, y = ((−sn)·dx + cs·dy) − oy.
RD_FN float rdImageToCanvasX(float cs, float sn, float dx, float dy, float ox) {
    return rdMulAdd(cs, dx, sn * dy) - ox;
}
RD_FN float rdImageToCanvasY(float cs, float sn, float dx, float dy, float oy) {
    return rdMulAdd(-sn, dx, cs * dy) - oy;
}

// Unit smoothstep f²·(3 − 2f) for f in [0, 1].
RD_FN float rdSmoothUnit(float f) { return (f * f) * (3.0f - 2.0f * f); }

// Details factor of a canvas column from its value noise n (nominally [0, 1]): full
// brightness where the noise is high (n ≥ 0.85), 1 − details where it is low (n ≤ 0.35),
// a smoothstep in between. Details above 1 count as 1.
RD_FN float rdDetailsFactor(float n, float details) {
    float v = 2.0f * ((n < 1.0f ? n : 1.0f) - 0.35f);
    if (!(v > 0.0f)) v = 0.0f;
    if (v > 1.0f) v = 1.0f;
    const float amount = details < 1.0f ? details : 1.0f;
    return 1.0f - amount * (1.0f - rdSmoothUnit(v));
}

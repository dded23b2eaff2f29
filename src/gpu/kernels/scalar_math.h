// Device functions in plain ints and floats, read the same way by every kernel language
// (Metal Shading Language, HLSL, OpenCL C, CUDA) and by C++ through each build's prelude:
// the edge rules, saturation and the compositor's resampling coordinate.
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

// The compositor's source coordinate for an output position.
RD_FN float rdResampleCoordinate(float position, float scale, float margin) {
    return rdMulAdd(position + 0.5f, scale, -0.5f) + margin;
}

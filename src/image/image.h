// The engine's image: premultiplied float RGBA, row-major, HDR and negative values kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/pixel_math.h"
#include "settings/edge_mode.h"

namespace raydrift {

namespace image {

// Premultiplied colour and alpha; never clamped by the type. Default: transparent black.
struct Pixel {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 0.0f;
};

// A pixel of a host's float ARGB rows (After Effects' float worlds), which the frame's
// input passes read in place: the same premultiplied channels, alpha first in memory.
struct ArgbPixel {
    float a = 0.0f;
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
};

inline Pixel lerp(Pixel const& p, Pixel const& q, float t) {
    return {rdLerp(p.r, q.r, t), rdLerp(p.g, q.g, t), rdLerp(p.b, q.b, t), rdLerp(p.a, q.a, t)};
}

// A rectangle of pixels; pixel (x, y) is pixels[y·width + x], row 0 on top.
// Width and height are never negative: construction and resize store negative as 0.
struct Image {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<Pixel> pixels;

    Image() = default;
    Image(int w, int h) { resize(w, h); }

    // Takes the given size (negative as 0) and width × height pixels. Existing pixels are
    // kept in vector order, new ones are zero; callers that need a cleared image assign.
    void resize(int w, int h) {
        width = w > 0 ? w : 0;
        height = h > 0 ? h : 0;
        pixels.resize(pixelCount());
    }

    std::size_t pixelCount() const {
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    }
    bool empty() const { return width == 0 || height == 0; }

    Pixel& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
    Pixel const& at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

}  // namespace image
}  // namespace raydrift

// Host frames for the host-buffer renderers: half and float pixels, both alpha
// conventions, offsets and padded pitches, in buffers of the software Metal device.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "gpu/metal_host.h"
#include "image/image.h"
#include "metal_seam.h"
#include "scenarios.h"
#include "settings/render_settings.h"

namespace raydrift::metal {

using image::Image;

inline float fromHalf(std::uint16_t h) {
    const int exponent = (h >> 10) & 0x1f;
    const float mantissa = static_cast<float>(h & 0x3ff);
    const float magnitude = exponent == 0    ? std::ldexp(mantissa, -24)
                            : exponent == 31 ? (mantissa == 0 ? INFINITY : NAN)
                                             : std::ldexp(1024.0f + mantissa, exponent - 25);
    return (h & 0x8000) ? -magnitude : magnitude;
}
// Exact for the values the tests write (multiples of 1/1024 below 64, and zeros).
inline std::uint16_t toHalf(float f) {
    std::uint16_t sign = std::signbit(f) ? 0x8000 : 0;
    f = std::fabs(f);
    if (f == 0.0f) return sign;
    int e;
    const float m = std::frexp(f, &e);  // f = m·2^e, m in [0.5, 1)
    if (e - 1 < -14) return static_cast<std::uint16_t>(sign | static_cast<int>(std::ldexp(f, 24)));
    return static_cast<std::uint16_t>(sign | ((e - 1 + 15) << 10) | (static_cast<int>(std::ldexp(m, 11)) & 0x3ff));
}
inline float quantised(float v) { return std::round(v * 1024.0f) / 1024.0f; }

struct HostCase {
    std::string name;
    bool half = false;
    bool ae = true;
    ViewMode view = ViewMode::Quality;
    BlendMode blend = BlendMode::Normal;
    int sw = 0, sh = 0, sx = 0, sy = 0;  // 0: the canvas
    int dw = 0, dh = 0, dx = 0, dy = 0;
    int padding = 0;                     // extra pixels of pitch
};

constexpr int kW = 48, kH = 32;

// Host buffers of one case, filled in BGRA order; a sentinel byte marks what nothing
// may write.
struct HostBuffers {
    MTL::Buffer* input;
    MTL::Buffer* output;
    HostFrame frame;
    int pixelBytes;
    ~HostBuffers() {
        input->release();
        output->release();
    }
};

inline std::unique_ptr<HostBuffers> makeBuffers(MTL::Device* device, HostCase const& c) {
    auto b = std::make_unique<HostBuffers>();
    const int sw = c.sw ? c.sw : kW, sh = c.sh ? c.sh : kH, dw = c.dw ? c.dw : kW, dh = c.dh ? c.dh : kH;
    b->pixelBytes = c.half ? 8 : 16;
    const int inPitch = (sw + c.padding) * b->pixelBytes, outPitch = (dw + c.padding) * b->pixelBytes;
    b->input = device->newBuffer(static_cast<NS::UInteger>(inPitch * sh), MTL::ResourceStorageModeShared);
    b->output = device->newBuffer(static_cast<NS::UInteger>(outPitch * dh), MTL::ResourceStorageModeShared);
    std::memset(b->input->contents(), 0x5a, b->input->length());
    std::memset(b->output->contents(), 0x5a, b->output->length());
    Image scene = bench::syntheticFrame(sw, sh, true, 12, 9);
    for (int k = 0; k < 4; ++k) {  // lights that make streaks
        const int x = 8 + 9 * k, y = 8 + 4 * k;
        if (x < sw && y < sh) scene.at(x, y) = {3.0f, 2.0f + 0.25f * static_cast<float>(k), 1.0f, 1.0f};
    }
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x) {
            image::Pixel p = scene.at(x, y);
            float a = p.a;
            float r = p.r, g = p.g, bl = p.b;
            if (!c.ae && a > 0.0f) r /= a, g /= a, bl /= a;  // straight for the second host
            if (x < 3 && y < 3) r = 0.75f, g = -0.0f, bl = 0.5f, a = 0.0f;  // hidden colour, −0
            const float v[4] = {quantised(bl), g == 0.0f ? g : quantised(g), quantised(r), quantised(a)};
            auto* row = static_cast<std::uint8_t*>(b->input->contents()) + y * inPitch + x * b->pixelBytes;
            for (int k = 0; k < 4; ++k) {
                if (c.half) {
                    const std::uint16_t h = toHalf(v[k]);
                    std::memcpy(row + 2 * k, &h, 2);
                } else {
                    std::memcpy(row + 4 * k, &v[k], 4);
                }
            }
        }
    b->frame = HostFrame{b->input, b->output, kW, kH, inPitch, outPitch, c.half, c.ae,
                         c.sw, c.sh, c.sx, c.sy, c.dw, c.dh, c.dx, c.dy};
    return b;
}

inline float channel(HostBuffers const& b, int x, int y, int k) {
    auto const* row = static_cast<std::uint8_t const*>(b.output->contents()) + y * b.frame.outPitch + x * b.pixelBytes;
    if (b.pixelBytes == 8) {
        std::uint16_t h;
        std::memcpy(&h, row + 2 * k, 2);
        return fromHalf(h);
    }
    float f;
    std::memcpy(&f, row + 4 * k, 4);
    return f;
}

inline RenderSettings hostSettings(HostCase const& c) {
    RenderSettings s;
    s.scale = 0.25f;
    s.length = 80.0f;
    s.width = 8.0f;
    s.direction = 20.0f;
    s.lowCut = 0.5f;
    s.view = c.view;
    s.blendMode = c.blend;
    return s;
}

}  // namespace raydrift::metal

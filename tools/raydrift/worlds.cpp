#include "worlds.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "AE_EffectPixelFormat.h"
#include "PrSDKPixelFormat.h"

namespace raydrift::cli {

namespace {

bool straightWorld(int format) {
    return format == PrPixelFormat_BGRA_4444_8u || format == PrPixelFormat_BGRA_4444_32f;
}

float quantise(float v, float scale) {
    if (scale == 1.0f) return v;
    if (!(v == v)) return 0.0f;
    return static_cast<float>(std::lround(std::clamp(v * scale, 0.0f, scale)));
}

}  // namespace

int worldFormat(hostsim::HostKind kind, int depth) {
    if (kind == hostsim::HostKind::Premiere)
        return depth == 8 ? PrPixelFormat_BGRA_4444_8u : PrPixelFormat_BGRA_4444_32f;
    switch (depth) {
        case 8: return PF_PixelFormat_ARGB32;
        case 16: return PF_PixelFormat_ARGB64;
        default: return PF_PixelFormat_ARGB128;
    }
}

hostsim::World toWorld(Picture const& picture, int format) {
    hostsim::World world(picture.width, picture.height, format);
    toWorld(picture, format, world);
    return world;
}

void toWorld(Picture const& picture, int format, hostsim::World& world) {
    if (world.width() != picture.width || world.height() != picture.height || world.format() != format)
        world = hostsim::World(picture.width, picture.height, format);
    const float scale = hostsim::World::fullScale(format);
    const bool straight = straightWorld(format);
    if (format == PF_PixelFormat_ARGB128) {
        // Float worlds, the usual case: a lane order per pixel, row by row.
        for (int y = 0; y < picture.height; ++y) {
            float const* in = &picture.rgba[std::size_t(y) * std::size_t(picture.width) * 4];
            float* out = reinterpret_cast<float*>(world.row(y));
            for (int x = 0; x < picture.width; ++x, in += 4, out += 4) {
                const float argb[4] = {in[3], in[0], in[1], in[2]};
                std::memcpy(out, argb, sizeof argb);
            }
        }
        return;
    }
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const std::size_t i = (std::size_t(y) * std::size_t(picture.width) + std::size_t(x)) * 4;
            float rgba[4];
            if (straight && picture.straight) {
                std::copy_n(&picture.original[i], 4, rgba);
            } else {
                std::copy_n(&picture.rgba[i], 4, rgba);
                if (straight) {
                    const float a = rgba[3];
                    for (int c = 0; c < 3; ++c) rgba[c] = a > 0.0f ? rgba[c] / a : 0.0f;
                }
            }
            const float argb[4] = {quantise(rgba[3], scale), quantise(rgba[0], scale),
                                   quantise(rgba[1], scale), quantise(rgba[2], scale)};
            world.set(x, y, argb);
        }
}

void fromWorld(hostsim::World const& world, bool alphaView, std::vector<float>& rgba) {
    rgba.resize(std::size_t(world.width()) * std::size_t(world.height()) * 4);
    const float scale = hostsim::World::fullScale(world.format());
    const bool straight = alphaView || straightWorld(world.format());
    // One pixel's channels (alpha, red, green, blue in the world's scale) as engine RGBA.
    auto put = [&](float const* argb, float* p) {
        const float a = argb[0] / scale;
        const float k = straight ? a : 1.0f;
        p[0] = argb[1] / scale * k;
        p[1] = argb[2] / scale * k;
        p[2] = argb[3] / scale * k;
        p[3] = a;
    };
    if (world.format() == PF_PixelFormat_ARGB128) {
        // Float worlds: each row read in place.
        for (int y = 0; y < world.height(); ++y) {
            float const* in = reinterpret_cast<float const*>(world.row(y));
            float* p = &rgba[std::size_t(y) * std::size_t(world.width()) * 4];
            for (int x = 0; x < world.width(); ++x, in += 4, p += 4) put(in, p);
        }
        return;
    }
    for (int y = 0; y < world.height(); ++y)
        for (int x = 0; x < world.width(); ++x) {
            float argb[4];
            world.get(x, y, argb);
            put(argb, &rgba[(std::size_t(y) * std::size_t(world.width()) + std::size_t(x)) * 4]);
        }
}

Picture pictureOf(image::Image const& image) {
    Picture p;
    p.width = image.width;
    p.height = image.height;
    p.rgba.reserve(image.pixels.size() * 4);
    for (image::Pixel const& px : image.pixels) {
        p.rgba.push_back(px.r);
        p.rgba.push_back(px.g);
        p.rgba.push_back(px.b);
        p.rgba.push_back(px.a);
    }
    p.original = p.rgba;
    p.samples = p.rgba;
    p.colour[0] = 0;
    p.colour[1] = 1;
    p.colour[2] = 2;
    p.alpha = 3;
    p.type = SampleType::Float;
    p.header = OIIO::ImageSpec(p.width, p.height, 4, OIIO::TypeDesc::FLOAT);
    p.header.alpha_channel = 3;
    return p;
}

void untouchedPixels(hostsim::World const& input, hostsim::World const& output, std::vector<bool>& same) {
    same.assign(std::size_t(input.width()) * std::size_t(input.height()), false);
    if (input.width() != output.width() || input.height() != output.height() ||
        input.format() != output.format())
        return;
    const std::size_t bytes = std::size_t(hostsim::World::pixelBytes(input.format()));
    if (bytes == 16) {
        // Float pixels: two 8-byte words each.
        for (int y = 0; y < input.height(); ++y) {
            const std::uint8_t* a = input.row(y);
            const std::uint8_t* b = output.row(y);
            const std::size_t first = std::size_t(y) * std::size_t(input.width());
            for (std::size_t x = 0; x < std::size_t(input.width()); ++x) {
                std::uint64_t p[2], q[2];
                std::memcpy(p, a + 16 * x, 16);
                std::memcpy(q, b + 16 * x, 16);
                same[first + x] = ((p[0] ^ q[0]) | (p[1] ^ q[1])) == 0;
            }
        }
        return;
    }
    for (int y = 0; y < input.height(); ++y) {
        const std::uint8_t* a = input.row(y);
        const std::uint8_t* b = output.row(y);
        for (int x = 0; x < input.width(); ++x)
            same[std::size_t(y) * std::size_t(input.width()) + std::size_t(x)] =
                std::memcmp(a + std::size_t(x) * bytes, b + std::size_t(x) * bytes, bytes) == 0;
    }
}

}  // namespace raydrift::cli

// Shared pieces of the host-boundary tests: the plug-in loaded through the simulated
// host, test pictures, and the pixel conversions written out independently of the
// plug-in's own, so that a fault in either shows as a mismatch.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "PrSDKPixelFormat.h"
#include "hostsim.h"
#include "image/frame.h"
#include "image/image.h"
#include "settings/param_indices.h"
#include "settings/parameters.h"
#include "settings/render_settings.h"
#include "settings/units.h"

namespace hosttest {

using raydrift::image::Image;
using raydrift::image::Pixel;

inline constexpr int kArgb = PF_PixelFormat_ARGB32;
inline constexpr int kAe16 = PF_PixelFormat_ARGB64;
inline constexpr int kAe32 = PF_PixelFormat_ARGB128;
inline constexpr int kBgra = PrPixelFormat_BGRA_4444_8u;
inline constexpr int kBGra = PrPixelFormat_BGRA_4444_32f;

inline bool isFloat(int format) { return format == kAe32 || format == kBGra; }
inline bool isStraight(int format) { return format == kBgra || format == kBGra; }
inline float fullScale(int format) {
    return format == kArgb || format == kBgra ? 255.0f : format == kAe16 ? 32768.0f : 1.0f;
}

// A picture with dark ground, a few bright lights (so streaks appear), soft edges and,
// in float formats, HDR and colour under zero alpha. Channels in the world's own scale
// and alpha convention.
inline hostsim::World testWorld(int width, int height, int format, unsigned seed = 7, int rowbytes = 0) {
    hostsim::World world(width, height, format, rowbytes);
    std::mt19937 rng(seed);
    auto unit = [&rng] { return static_cast<float>(rng() >> 8) / 16777216.0f; };
    const float s = fullScale(format);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float a = unit() < 0.2f ? unit() : 1.0f;
            float r = 0.3f * unit(), g = 0.3f * unit(), b = 0.3f * unit();
            if (unit() < 0.04f) r = g = b = 0.7f + 0.3f * unit();
            if (isFloat(format) && unit() < 0.02f) r = 4.0f, g = 2.5f, b = 1.5f;
            if (isFloat(format) && unit() < 0.02f) a = 0.0f;  // colour kept under zero alpha
            if (!isStraight(format) && !isFloat(format)) r *= a, g *= a, b *= a;
            if (format == kAe32) r *= a, g *= a, b *= a;
            float argb[4] = {a * s, std::min(r, isFloat(format) ? r : 1.0f) * s,
                             std::min(g, isFloat(format) ? g : 1.0f) * s, std::min(b, isFloat(format) ? b : 1.0f) * s};
            world.set(x, y, argb);
        }
    return world;
}

inline hostsim::World blankLike(hostsim::World const& w, int rowbytes = 0) {
    return hostsim::World(w.width(), w.height(), w.format(), rowbytes);
}

inline float c01(float x) { return x < 0.0f || x != x ? 0.0f : std::min(1.0f, x); }

// The host world as the engine sees it.
inline Image readReference(hostsim::World const& world) {
    const float k8 = 1.0f / 255.0f, k16 = 1.0f / 32768.0f;
    Image image(world.width(), world.height());
    for (int y = 0; y < world.height(); ++y)
        for (int x = 0; x < world.width(); ++x) {
            float v[4];
            world.get(x, y, v);  // a, r, g, b
            Pixel& p = image.at(x, y);
            switch (world.format()) {
            case kArgb: p = {v[1] * k8, v[2] * k8, v[3] * k8, v[0] * k8}; break;
            case kAe16: p = {v[1] * k16, v[2] * k16, v[3] * k16, v[0] * k16}; break;
            case kAe32: p = {v[1], v[2], v[3], v[0]}; break;
            case kBgra: {
                const float a = std::min(1.0f, v[0] * k8);
                p = {(v[1] * k8) * a, (v[2] * k8) * a, (v[3] * k8) * a, a};
                break;
            }
            case kBGra: {
                const float a = v[0] < 0.0f ? 0.0f : std::min(1.0f, v[0]);
                p = {v[1] * a, v[2] * a, v[3] * a, a};
                break;
            }
            }
        }
    return image;
}

// The engine image written into a world of `format` (channels a, r, g, b per pixel).
inline hostsim::World writeReference(Image const& image, int format, bool alphaView) {
    hostsim::World world(image.width, image.height, format);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            Pixel const& p = image.at(x, y);
            const float A = c01(p.a);
            const float inv = A > 1e-6f ? 1.0f / A : 0.0f;
            const bool straight = isStraight(format) || alphaView;
            float argb[4];
            if (isFloat(format)) {
                argb[0] = straight ? A : c01(p.a);
                argb[1] = straight ? p.r * inv : p.r;
                argb[2] = straight ? p.g * inv : p.g;
                argb[3] = straight ? p.b * inv : p.b;
            } else {
                const float s = fullScale(format);
                const float v[4] = {straight ? A : p.a, straight ? p.r * inv : p.r, straight ? p.g * inv : p.g,
                                    straight ? p.b * inv : p.b};
                for (int c = 0; c < 4; ++c) argb[c] = static_cast<float>(std::lroundf(c01(v[c]) * s));
            }
            world.set(x, y, argb);
        }
    return world;
}

// Byte-exact comparison of the pixel areas; returns the number of differing pixels.
inline int differingPixels(hostsim::World const& a, hostsim::World const& b) {
    if (a.width() != b.width() || a.height() != b.height() || a.format() != b.format()) return -1;
    const int bytes = hostsim::World::pixelBytes(a.format());
    int count = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (std::memcmp(a.row(y) + x * bytes, b.row(y) + x * bytes, static_cast<std::size_t>(bytes)) != 0)
                ++count;
    return count;
}

inline std::vector<PF_ParamDef*> pointers(std::vector<PF_ParamDef>& params) {
    std::vector<PF_ParamDef*> list;
    for (PF_ParamDef& p : params) list.push_back(&p);
    return list;
}

// The settings the plug-in derives from these parameter values at `time`.
inline raydrift::RenderSettings settingsOf(std::vector<PF_ParamDef> params, double time) {
    std::vector<PF_ParamDef*> list = pointers(params);
    return raydrift::SettingsFromParams(list.data(), time);
}

inline float layerScale(int w, int h) {
    return std::sqrt(static_cast<float>(std::max(w, 1)) * static_cast<float>(std::max(h, 1)) / raydrift::kReferenceFramePixels);
}

// What the plug-in should produce for `input`: the conversion in, the frame driver, the
// conversion out; float Premiere frames get untouched pixels back bit for bit.
inline hostsim::World expectedFrame(hostsim::World const& input, raydrift::RenderSettings const& settings) {
    const Image source = readReference(input);
    Image result;
    raydrift::image::processFrame(source, result, settings);
    hostsim::World out = writeReference(result, input.format(), settings.view == raydrift::ViewMode::Alpha);
    if (input.format() == kBGra &&
        (settings.view == raydrift::ViewMode::Performance || settings.view == raydrift::ViewMode::Quality))
        for (int y = 0; y < input.height(); ++y)
            for (int x = 0; x < input.width(); ++x)
                if (std::memcmp(&source.at(x, y), &result.at(x, y), sizeof(Pixel)) == 0)
                    std::memcpy(out.row(y) + 16 * x, input.row(y) + 16 * x, 16);
    return out;
}

inline void setFloat(std::vector<PF_ParamDef>& params, int index, double value) {
    params[static_cast<std::size_t>(index)].u.fs_d.value = value;
}
inline void setMenu(std::vector<PF_ParamDef>& params, int index, int value) {
    params[static_cast<std::size_t>(index)].u.pd.value = value;
}
inline void setCheckbox(std::vector<PF_ParamDef>& params, int index, bool on) {
    params[static_cast<std::size_t>(index)].u.bd.value = on ? 1 : 0;
}

}  // namespace hosttest

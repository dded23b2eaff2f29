// The standard benchmark scenarios: named frame sizes and settings over a deterministic
// synthetic HDR frame. The frame benchmark and the CLI's bench command run the same list,
// so their numbers compare.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"
#include "settings/render_settings.h"
#include "settings/units.h"

namespace raydrift::bench {

struct Scenario {
    std::string name;
    int width = 1920;
    int height = 1080;
    bool transparentBorder = false;  // the input has a transparent frame around an opaque centre
    RenderSettings settings;
};

// Every parameter at its default (Length 200, Output Performance, Normal view). The
// scenarios measure the CPU renderer, so the GPU is not offered the frame.
inline RenderSettings defaultScenarioSettings() {
    RenderSettings s;
    s.useGpu = false;
    s.performance = true;
    s.view = ViewMode::Performance;
    return s;
}

inline RenderSettings qualitySettings() {
    RenderSettings s = defaultScenarioSettings();
    s.performance = false;
    s.view = ViewMode::Quality;
    return s;
}

inline std::vector<Scenario> standardScenarios() {
    std::vector<Scenario> list;
    list.push_back({"default-1080p", 1920, 1080, false, defaultScenarioSettings()});
    list.push_back({"quality-1080p", 1920, 1080, false, qualitySettings()});
    list.push_back({"quality-4k", 3840, 2160, false, qualitySettings()});
    list.push_back({"performance-4k", 3840, 2160, false, defaultScenarioSettings()});
    {
        RenderSettings s = qualitySettings();
        s.chromaticAmount = 10.0f;
        s.tint = 0.5f;
        list.push_back({"chromatic-1080p", 1920, 1080, true, s});
        list.push_back({"chromatic-4k", 3840, 2160, true, s});
    }
    {
        RenderSettings s = qualitySettings();
        s.diffraction = 250.0f;
        s.width = 20.0f;
        s.direction = 30.0f;
        list.push_back({"diffraction-1080p", 1920, 1080, false, s});
    }
    {
        // The Alpha view with the default Output (Performance).
        RenderSettings s = defaultScenarioSettings();
        s.view = ViewMode::Alpha;
        list.push_back({"alpha-view-1080p", 1920, 1080, false, s});
    }
    return list;
}

inline Scenario const* findScenario(std::vector<Scenario> const& list, std::string const& name) {
    for (Scenario const& s : list)
        if (s.name == name) return &s;
    return nullptr;
}

namespace detail {
// SplitMix32-style generator: the same frame on every machine and compiler.
struct FrameRandom {
    std::uint32_t state;
    std::uint32_t next() {
        std::uint32_t z = (state += 0x9e3779b9u);
        z = (z ^ (z >> 16)) * 0x85ebca6bu;
        z = (z ^ (z >> 13)) * 0xc2b2ae35u;
        return z ^ (z >> 16);
    }
    float unit() { return static_cast<float>(next() >> 8) * (1.0f / 16777216.0f); }
};

// Adds a soft disc of light centred on (cx, cy): each pixel closer than `radius` gains
// colour × falloff(t), t = 1 − distance / radius in (0, 1].
template <class Falloff>
void addLight(image::Image& img, float cx, float cy, float radius, float r, float g, float b,
              Falloff falloff) {
    const int x0 = std::max(0, static_cast<int>(cx - radius - 1.0f));
    const int x1 = std::min(img.width - 1, static_cast<int>(cx + radius + 1.0f));
    const int y0 = std::max(0, static_cast<int>(cy - radius - 1.0f));
    const int y1 = std::min(img.height - 1, static_cast<int>(cy + radius + 1.0f));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const float dx = static_cast<float>(x) - cx;
            const float dy = static_cast<float>(y) - cy;
            const float t = 1.0f - std::sqrt(dx * dx + dy * dy) / radius;
            if (t <= 0.0f) continue;
            const float k = falloff(t);
            image::Pixel& p = img.at(x, y);
            p.r += r * k;
            p.g += g * k;
            p.b += b * k;
        }
}
}  // namespace detail

// A night scene: a dark graded background with faint noise and `lights` small bright
// lights (soft discs, some well above 1.0), premultiplied. Light positions and sizes are
// relative to the frame, so every resolution shows the same picture. With
// `transparentBorder` an eighth of the frame on every side is transparent (alpha 0),
// with a half-transparent band between it and the opaque centre.
inline image::Image syntheticFrame(int width, int height, bool transparentBorder,
                                   int lights = 300, std::uint32_t seed = 1) {
    image::Image img(width, height);
    if (img.empty()) return img;
    detail::FrameRandom rng{seed};
    for (int y = 0; y < height; ++y) {
        const float fy = static_cast<float>(y) / static_cast<float>(height);
        for (int x = 0; x < width; ++x) {
            const float fx = static_cast<float>(x) / static_cast<float>(width);
            const float noise = rng.unit() * 0.01f;
            img.at(x, y) = {0.02f + 0.03f * fx + noise, 0.025f + 0.02f * fy + noise,
                            0.05f + 0.04f * fy + noise, 1.0f};
        }
    }
    const float unitSize = std::sqrt(static_cast<float>(width) * static_cast<float>(height) / kReferenceFramePixels);
    for (int i = 0; i < lights; ++i) {
        const float cx = rng.unit() * static_cast<float>(width);
        const float cy = rng.unit() * static_cast<float>(height);
        const float radius = (1.0f + 3.0f * rng.unit()) * unitSize;
        const float level = 0.6f + 3.4f * rng.unit() * rng.unit();  // mostly dim, some up to 4
        const float hue = rng.unit();
        const float r = level * (0.6f + 0.4f * std::cos(6.2831853f * hue));
        const float g = level * (0.6f + 0.4f * std::cos(6.2831853f * (hue - 0.3333333f)));
        const float b = level * (0.6f + 0.4f * std::cos(6.2831853f * (hue - 0.6666667f)));
        detail::addLight(img, cx, cy, radius, r, g, b, [](float t) { return t * t; });
    }
    if (transparentBorder) {
        const int bx = width / 8;
        const int by = height / 8;
        const int band = std::max(1, std::min(width, height) / 64);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const int inside = std::min(std::min(x - bx, width - 1 - bx - x),
                                            std::min(y - by, height - 1 - by - y));
                const float alpha = inside < 0 ? 0.0f : (inside < band ? 0.5f : 1.0f);
                if (alpha == 1.0f) continue;
                image::Pixel& p = img.at(x, y);
                p = {p.r * alpha, p.g * alpha, p.b * alpha, alpha};
            }
    }
    return img;
}

}  // namespace raydrift::bench

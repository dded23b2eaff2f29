// Pictures and parameter sets the command line renders without being given any: the
// demo scene and the standard benchmark scenarios, whose settings it must reach through
// the plug-in's own parameters.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <algorithm>
#include <cmath>

#include "scenarios.h"
#include "settings/units.h"

namespace raydrift::cli {

// A city at night, 1920×1080 by default: a dark sky-to-street gradient with sodium,
// white, red, green and cyan lights of different sizes and brightness, many well above
// 1.0 so the default threshold picks them up. Deterministic on every machine.
inline image::Image demoScene(int width = 1920, int height = 1080) {
    image::Image img(width, height);
    if (img.empty()) return img;
    bench::detail::FrameRandom rng{20261207u};
    const float w = static_cast<float>(width), h = static_cast<float>(height);
    for (int y = 0; y < height; ++y) {
        const float fy = static_cast<float>(y) / h;
        for (int x = 0; x < width; ++x) {
            const float glow = 0.5f + 0.5f * std::cos(3.14159265f * (static_cast<float>(x) / w - 0.5f));
            img.at(x, y) = {0.010f + 0.050f * fy * fy * glow, 0.012f + 0.022f * fy * fy * glow,
                            0.035f + 0.020f * (1.0f - fy), 1.0f};
        }
    }
    struct Colour {
        float r, g, b;
    };
    const Colour palette[] = {{1.0f, 0.55f, 0.18f}, {1.0f, 0.55f, 0.18f}, {1.0f, 0.9f, 0.75f},
                              {0.95f, 0.95f, 1.0f}, {1.0f, 0.15f, 0.1f},  {0.2f, 1.0f, 0.35f},
                              {0.2f, 0.8f, 1.0f},   {0.8f, 0.3f, 1.0f}};
    const float unit = std::sqrt(w * h / kReferenceFramePixels);
    auto light = [&](float cx, float cy, float radius, float level, Colour c) {
        bench::detail::addLight(img, cx, cy, radius, c.r, c.g, c.b,
                                [level](float t) { return level * std::min(1.0f, 2.5f * t); });
    };
    // Street lights in rows that recede towards the horizon, windows above them, and a
    // few stars.
    for (int row = 0; row < 6; ++row) {
        const float y = h * (0.93f - 0.075f * static_cast<float>(row));
        const float size = (6.0f - 0.7f * static_cast<float>(row)) * unit;
        const int count = 9 + 5 * row;
        for (int i = 0; i < count; ++i) {
            const float x = w * (static_cast<float>(i) + 0.5f + 0.4f * (rng.unit() - 0.5f)) / static_cast<float>(count);
            const Colour c = palette[rng.next() % 8];
            light(x, y + (rng.unit() - 0.5f) * 0.02f * h, size * (0.7f + 0.6f * rng.unit()),
                  1.5f + 6.0f * rng.unit() * rng.unit(), c);
        }
    }
    for (int i = 0; i < 220; ++i) {
        const float x = w * rng.unit(), y = h * (0.35f + 0.25f * rng.unit());
        light(x, y, (1.2f + 1.5f * rng.unit()) * unit, 0.3f + 1.2f * rng.unit(), palette[2 + rng.next() % 2]);
    }
    for (int i = 0; i < 90; ++i) {
        const float x = w * rng.unit(), y = h * 0.3f * rng.unit();
        light(x, y, (1.0f + 1.0f * rng.unit()) * unit, 0.4f + 2.5f * rng.unit() * rng.unit(), palette[3]);
    }
    return img;
}

// The parameter assignments ("Name=value", as --set takes them) that give a scenario's
// settings through the plug-in. The GPU is switched off: the scenarios measure the CPU.
inline std::vector<std::string> scenarioAssignments(std::string const& name) {
    std::vector<std::string> set = {"Use GPU=off"};
    const bool quality = name.rfind("quality-", 0) == 0 || name.rfind("chromatic-", 0) == 0 ||
                         name.rfind("diffraction-", 0) == 0;
    if (quality) set.push_back("Output=Quality");
    if (name.rfind("chromatic-", 0) == 0) {
        set.push_back("Chromatic Aberration/Amount=10");
        set.push_back("Tint/Mix=50");
    }
    if (name.rfind("diffraction-", 0) == 0) {
        set.push_back("Diffraction=250");
        set.push_back("Width=20");
        set.push_back("Direction=30");
    }
    if (name.rfind("alpha-view-", 0) == 0) set.push_back("View=Alpha");
    return set;
}

}  // namespace raydrift::cli

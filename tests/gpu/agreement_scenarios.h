// The agreement scenarios every GPU back end renders against the CPU engine: a test
// frame and the settings table, with the scenarios that must agree bit for bit marked.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "image/image.h"
#include "scenarios.h"
#include "settings/render_settings.h"

namespace raydrift::metal {

// A dark frame with bright lights (some above 1), a few isolated hot pixels and, when
// asked, a transparent border with a half-transparent band.
inline image::Image testFrame(bool transparent, int w = 96, int h = 64) {
    image::Image img = bench::syntheticFrame(w, h, transparent, 40, 7);
    const int spots[][2] = {{10, 9}, {50, 30}, {80, 50}, {3, 60}, {95, 0}, {47, 32}};
    float level = 1.5f;
    for (auto const& s : spots) {
        if (s[0] >= w || s[1] >= h) continue;
        image::Pixel& p = img.at(s[0], s[1]);
        const float a = p.a;
        p = {level * a, 0.8f * level * a, 0.5f * level * a, a};
        level += 1.0f;
    }
    return img;
}

inline RenderSettings baseSettings() {
    RenderSettings s;
    s.scale = 0.25f;
    s.length = 120.0f;
    s.direction = 30.0f;
    s.lowCut = 0.06f;
    s.lowFeather = 0.04f;
    return s;
}

struct Scenario {
    std::string name;
    std::function<void(RenderSettings&)> set;
    bool transparent = false;
    bool exact = false;  // the whole frame must agree bit for bit
};

inline std::vector<Scenario> scenarios() {
    std::vector<Scenario> list;
    const auto add = [&](std::string name, std::function<void(RenderSettings&)> set, bool transparent = false,
                         bool exact = false) { list.push_back({std::move(name), std::move(set), transparent, exact}); };
    add("quality", [](RenderSettings&) {});
    add("matte", [](RenderSettings& s) { s.view = ViewMode::Matte; }, true, true);
    add("matte opacity 0", [](RenderSettings& s) { s.view = ViewMode::Matte; s.opacity = 0.0f; }, true, true);
    add("performance", [](RenderSettings& s) { s.view = ViewMode::Performance; });
    add("performance flag", [](RenderSettings& s) { s.performance = true; s.view = ViewMode::Black; });
    add("black", [](RenderSettings& s) { s.view = ViewMode::Black; });
    add("alpha", [](RenderSettings& s) { s.view = ViewMode::Alpha; }, true);
    add("opacity 0 quality", [](RenderSettings& s) { s.opacity = 0.0f; }, true, true);
    add("intensity 0 black", [](RenderSettings& s) { s.intensity = 0.0f; s.view = ViewMode::Black; }, false, true);
    add("opacity 0 alpha", [](RenderSettings& s) { s.opacity = 0.0f; s.view = ViewMode::Alpha; }, false, true);
    for (int mode = 0; mode < 14; ++mode) {
        if (mode == static_cast<int>(BlendMode::ColorDodge) || mode == static_cast<int>(BlendMode::ColorBurn)) continue;
        add("blend " + std::to_string(mode), [mode](RenderSettings& s) {
            s.blendMode = static_cast<BlendMode>(mode);
            s.intensity = 1.7f;
            s.opacity = 0.8f;
        });
    }
    add("color dodge in alpha view", [](RenderSettings& s) { s.view = ViewMode::Alpha; s.blendMode = BlendMode::ColorDodge; });
    for (int edge = 0; edge < 4; ++edge)
        add("edge " + std::to_string(edge), [edge](RenderSettings& s) {
            s.edgeMode = static_cast<EdgeMode>(edge);
            s.chromaticAmount = 10.0f;
            s.width = 20.0f;
        });
    for (float direction : {0.0f, 90.0f, 450.0f, 30.0f, 217.0f})
        add("direction " + std::to_string(static_cast<int>(direction)),
            [direction](RenderSettings& s) { s.direction = direction; s.width = 16.0f; });
    add("quarter direction 90", [](RenderSettings& s) { s.view = ViewMode::Performance; s.direction = 90.0f; });
    add("symmetric", [](RenderSettings& s) { s.symmetric = true; });
    add("symmetric diffraction", [](RenderSettings& s) { s.symmetric = true; s.diffraction = 250.0f; });
    add("width 40", [](RenderSettings& s) { s.width = 40.0f; });
    add("width 40 length 0", [](RenderSettings& s) { s.width = 40.0f; s.length = 0.0f; });
    add("length 0 width 0", [](RenderSettings& s) { s.length = 0.0f; });
    // Factor-1 selection shown unblurred: the matte-weighted input, bit for bit.
    add("selection black", [](RenderSettings& s) { s.length = 0.0f; s.view = ViewMode::Black; }, false, true);
    add("selection alpha", [](RenderSettings& s) { s.length = 0.0f; s.view = ViewMode::Alpha; }, true, true);
    add("length 5", [](RenderSettings& s) { s.length = 5.0f * 4.0f; });
    add("diffraction 250", [](RenderSettings& s) { s.diffraction = 250.0f; s.width = 12.0f; });
    add("diffraction quarter", [](RenderSettings& s) { s.diffraction = 250.0f; s.view = ViewMode::Performance; });
    add("details 0.6", [](RenderSettings& s) { s.details = 0.6f; });
    add("details quarter", [](RenderSettings& s) { s.details = 0.6f; s.view = ViewMode::Performance; });
    for (int pair = 0; pair < 3; ++pair)
        add("chromatic pair " + std::to_string(pair), [pair](RenderSettings& s) {
            s.chromaticAmount = 10.0f;
            s.channels = pair;
        });
    add("chromatic quarter", [](RenderSettings& s) { s.chromaticAmount = 10.0f; s.view = ViewMode::Performance; });
    add("protected tint", [](RenderSettings& s) { s.tint = 0.7f; s.saturation = 0.5f; }, true);
    add("protected tint chromatic", [](RenderSettings& s) { s.tint = 0.7f; s.chromaticAmount = 10.0f; }, true);
    add("protected tint chromatic quarter", [](RenderSettings& s) {
        s.tint = 0.7f;
        s.chromaticAmount = 10.0f;
        s.view = ViewMode::Performance;
    }, true);
    add("protected tint quarter", [](RenderSettings& s) { s.tint = 0.7f; s.view = ViewMode::Performance; }, true);
    add("invert", [](RenderSettings& s) { s.invert = true; s.lowCut = 0.8f; });
    add("scale derived", [](RenderSettings& s) { s.scale = 0.0f; s.length = 400.0f; });
    add("scale derived quarter", [](RenderSettings& s) { s.scale = 0.0f; s.length = 400.0f; s.view = ViewMode::Performance; });
    return list;
}

}  // namespace raydrift::metal

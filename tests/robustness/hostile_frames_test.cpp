// The frame driver against what no sane host sends but a broken project, a plug-in
// before us or a corrupt file can: frames full of non-finite, enormous, subnormal and
// out-of-range values; settings at and beyond every range; degenerate and gigantic sizes.
// Every case must render a frame of the input's size (finite wherever the input is), or
// refuse with std::bad_alloc a size it cannot address; none may crash or trip a sanitizer.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "host/frame_memory.h"
#include "image/frame.h"
#include "image/image.h"
#include "image/parallel.h"
#include "image/streak.h"
#include "settings/render_settings.h"

namespace raydrift::image {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

bool finite(Pixel const& p) {
    return std::isfinite(p.r) && std::isfinite(p.g) && std::isfinite(p.b) && std::isfinite(p.a);
}

// A dark picture with lights and soft edges: every stage has something to do.
Image lights(int w, int h) {
    Image img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float a = (x + y) % 7 == 0 ? 0.5f : 1.0f;
            const float v = (x * 7 + y * 13) % 23 == 0 ? 3.0f : 0.1f;
            img.at(x, y) = {v * a, 0.8f * v * a, 0.5f * v * a, a};
        }
    return img;
}

RenderSettings cpu() {
    RenderSettings s;
    s.useGpu = false;
    s.lowCut = 0.3f;
    s.length = 60.0f;
    s.width = 4.0f;
    s.direction = 30.0f;
    return s;
}

// The ways of rendering a frame that take different paths through the driver.
std::vector<std::pair<std::string, RenderSettings>> paths() {
    std::vector<std::pair<std::string, RenderSettings>> list;
    auto add = [&](std::string name, auto edit) {
        RenderSettings s = cpu();
        edit(s);
        list.emplace_back(std::move(name), s);
    };
    add("quality", [](RenderSettings&) {});
    add("performance", [](RenderSettings& s) { s.performance = true, s.view = ViewMode::Performance; });
    add("chromatic tint", [](RenderSettings& s) { s.chromaticAmount = 12.0f, s.tint = 0.6f; });
    add("chromatic tint quarter", [](RenderSettings& s) {
        s.chromaticAmount = 12.0f, s.tint = 0.6f, s.performance = true, s.view = ViewMode::Performance;
    });
    add("diffraction details", [](RenderSettings& s) {
        s.diffraction = 300.0f, s.details = 0.8f, s.symmetric = true, s.saturation = 0.3f;
    });
    add("jitter gain", [](RenderSettings& s) {
        s.jitterLength = s.jitterWidth = s.jitterDiffraction = true, s.time = 3.7, s.intensity = 10.0f;
    });
    add("inverted mirror", [](RenderSettings& s) { s.invert = true, s.edgeMode = EdgeMode::Mirror; });
    add("matte", [](RenderSettings& s) { s.view = ViewMode::Matte; });
    add("black", [](RenderSettings& s) { s.view = ViewMode::Black; });
    add("alpha", [](RenderSettings& s) { s.view = ViewMode::Alpha, s.edgeMode = EdgeMode::Wrap; });
    for (int mode = 0; mode < 14; ++mode)
        add("blend " + std::to_string(mode), [mode](RenderSettings& s) { s.blendMode = static_cast<BlendMode>(mode); });
    return list;
}

// Renders and checks the outcome every case shares; returns false when the engine
// refused the frame with std::bad_alloc.
bool renderChecked(Image const& src, RenderSettings const& s, bool expectFinite, std::string const& what,
                   Image* out = nullptr) {
    Image dst(7, 3);
    try {
        processFrame(src, dst, s);
    } catch (std::bad_alloc const&) {
        EXPECT_EQ(parallel::activeFrames.load(), 0u) << what;
        return false;
    }
    EXPECT_EQ(parallel::activeFrames.load(), 0u) << what;
    EXPECT_EQ(parallel::helpersInUse.load(), 0u) << what;
    EXPECT_EQ(dst.width, src.width) << what;
    EXPECT_EQ(dst.height, src.height) << what;
    EXPECT_EQ(dst.pixels.size(), src.pixelCount()) << what;
    if (expectFinite) {
        std::size_t bad = 0;
        for (Pixel const& p : dst.pixels) bad += finite(p) ? 0 : 1;
        EXPECT_EQ(bad, 0u) << what << ": non-finite output pixels";
    }
    if (out) *out = std::move(dst);
    return true;
}

TEST(HostileFrames, PicturesOfExtremeValuesRenderOnEveryPath) {
    struct Picture {
        const char* name;
        std::function<Pixel(int, int)> pixel;
        bool finite;
    };
    const float sub = 1e-40f;  // subnormal
    const Picture pictures[] = {
        {"NaN", [](int, int) { return Pixel{kNaN, kNaN, kNaN, kNaN}; }, false},
        {"+inf", [](int, int) { return Pixel{kInf, kInf, kInf, kInf}; }, false},
        {"-inf", [](int, int) { return Pixel{-kInf, -kInf, -kInf, -kInf}; }, false},
        {"1e30", [](int, int) { return Pixel{1e30f, 1e30f, 1e30f, 1e30f}; }, true},
        {"-1e30", [](int, int) { return Pixel{-1e30f, -1e30f, -1e30f, -1e30f}; }, true},
        {"1e30 lights on black", [](int x, int y) {
             return (x + 3 * y) % 11 == 0 ? Pixel{1e30f, 1e30f, 1e30f, 1.0f} : Pixel{0.0f, 0.0f, 0.0f, 1.0f};
         }, true},
        {"subnormal", [sub](int, int) { return Pixel{sub, sub, sub, sub}; }, true},
        {"negative alpha", [](int x, int) { return Pixel{0.5f, 2.0f, -1.0f, x % 2 ? -0.5f : -1e30f}; }, true},
        {"alpha above 1", [](int x, int) { return Pixel{3.0f, 0.2f, 5.0f, x % 2 ? 2.5f : 1e30f}; }, true},
        {"NaN and inf among lights", [](int x, int y) {
             if ((x + y) % 5 == 0) return Pixel{kNaN, 1.0f, kInf, 1.0f};
             if ((x * y) % 7 == 3) return Pixel{-kInf, kNaN, 0.5f, kNaN};
             return Pixel{2.0f, 1.0f, 0.5f, 1.0f};
         }, false},
    };
    for (Picture const& picture : pictures) {
        Image src(24, 17);
        for (int y = 0; y < src.height; ++y)
            for (int x = 0; x < src.width; ++x) src.at(x, y) = picture.pixel(x, y);
        for (auto const& [name, settings] : paths())
            EXPECT_TRUE(renderChecked(src, settings, picture.finite, std::string(picture.name) + ", " + name))
                << picture.name << ", " << name << ": refused";
    }
}

TEST(HostileFrames, SettingsAtAndBeyondEveryRange) {
    enum Outcome { Finite, Renders, RendersOrRefuses };
    struct Row {
        const char* name;
        std::function<void(RenderSettings&)> edit;
        Outcome outcome;
    };
    const Row rows[] = {
        {"length 1000", [](RenderSettings& s) { s.length = 1000.0f; }, Finite},
        {"length -5", [](RenderSettings& s) { s.length = -5.0f; }, Finite},
        {"length 1e30", [](RenderSettings& s) { s.length = 1e30f; }, RendersOrRefuses},
        {"length NaN", [](RenderSettings& s) { s.length = kNaN; }, Finite},
        {"length inf", [](RenderSettings& s) { s.length = kInf; }, Finite},
        {"width 500", [](RenderSettings& s) { s.width = 500.0f; }, Finite},
        {"width 1e30", [](RenderSettings& s) { s.width = 1e30f; }, RendersOrRefuses},
        {"width NaN", [](RenderSettings& s) { s.width = kNaN; }, Finite},
        {"diffraction 500", [](RenderSettings& s) { s.diffraction = 500.0f; }, Finite},
        {"diffraction 1e30", [](RenderSettings& s) { s.diffraction = 1e30f; }, Renders},
        {"diffraction -1", [](RenderSettings& s) { s.diffraction = -1.0f; }, Finite},
        {"diffraction NaN", [](RenderSettings& s) { s.diffraction = kNaN; }, Renders},
        {"chromatic 100", [](RenderSettings& s) { s.chromaticAmount = 100.0f, s.tint = 1.0f; }, Finite},
        {"chromatic 100 quarter", [](RenderSettings& s) {
             s.chromaticAmount = 100.0f, s.tint = 1.0f, s.performance = true;
         }, Finite},
        {"chromatic 1e30", [](RenderSettings& s) { s.chromaticAmount = 1e30f; }, RendersOrRefuses},
        {"chromatic NaN", [](RenderSettings& s) { s.chromaticAmount = kNaN; }, Renders},
        {"scale 64", [](RenderSettings& s) { s.scale = 64.0f; }, Finite},
        {"scale 64 quarter", [](RenderSettings& s) { s.scale = 64.0f, s.performance = true; }, Finite},
        {"scale 1e-30", [](RenderSettings& s) { s.scale = 1e-30f; }, Finite},
        {"scale NaN", [](RenderSettings& s) { s.scale = kNaN; }, Renders},
        {"scale inf", [](RenderSettings& s) { s.scale = kInf; }, RendersOrRefuses},
        {"direction 45", [](RenderSettings& s) { s.direction = 45.0f; }, Finite},
        {"direction -720.5", [](RenderSettings& s) { s.direction = -720.5f; }, Finite},
        {"direction 1e30", [](RenderSettings& s) { s.direction = 1e30f; }, Finite},
        {"direction NaN", [](RenderSettings& s) { s.direction = kNaN; }, Finite},
        {"direction inf", [](RenderSettings& s) { s.direction = kInf; }, Finite},
        {"intensity 1000 %", [](RenderSettings& s) { s.intensity = 10.0f; }, Finite},
        {"intensity 1e30", [](RenderSettings& s) { s.intensity = 1e30f; }, Renders},
        {"opacity NaN", [](RenderSettings& s) { s.opacity = kNaN; }, Renders},
        {"threshold below 0", [](RenderSettings& s) { s.lowCut = -1.0f, s.lowFeather = 1.0f; }, Finite},
        {"threshold above 1", [](RenderSettings& s) { s.lowCut = 2.0f, s.lowFeather = 1e30f; }, Finite},
        {"threshold NaN", [](RenderSettings& s) { s.lowCut = kNaN, s.highFeather = kNaN; }, Renders},
        {"details 1", [](RenderSettings& s) { s.details = 1.0f; }, Finite},
        {"details 1e30", [](RenderSettings& s) { s.details = 1e30f; }, Renders},
        {"saturation 0", [](RenderSettings& s) { s.saturation = 0.0f, s.tint = 1.0f; }, Finite},
        {"saturation 1e30", [](RenderSettings& s) { s.saturation = 1e30f; }, Renders},
        {"tint colour beyond 1", [](RenderSettings& s) { s.tint = 5.0f, s.tintR = -3.0f, s.tintB = 40.0f; }, Renders},
        {"jitter at the bounds", [](RenderSettings& s) {
             s.jitterLength = s.jitterWidth = s.jitterDiffraction = true;
             s.length = 1000.0f, s.width = 500.0f, s.diffraction = 500.0f;
             s.lengthJitterAmount = s.widthJitterAmount = s.diffractionJitterAmount = 1000.0f;
             s.lengthJitterSpeed = s.widthJitterSpeed = s.diffractionJitterSpeed = 1000.0f;
             s.time = 1e300;
         }, Finite},
        {"jitter of NaN and inf", [](RenderSettings& s) {
             s.jitterLength = s.jitterWidth = true;
             s.lengthJitterAmount = kInf, s.lengthJitterSpeed = kNaN, s.widthJitterAmount = 1e30f;
             s.time = -kInf;
         }, Finite},
        {"menus out of range", [](RenderSettings& s) {
             s.channels = -7, s.blendMode = static_cast<BlendMode>(99), s.edgeMode = static_cast<EdgeMode>(-3);
             s.diffraction = 100.0f;
         }, Finite},
        {"view out of range", [](RenderSettings& s) { s.view = static_cast<ViewMode>(42); }, Finite},
        {"wrap and transparent edges", [](RenderSettings& s) { s.edgeMode = EdgeMode::Transparent, s.width = 40; }, Finite},
    };
    const Image src = lights(40, 30);
    for (Row const& row : rows)
        for (bool quarter : {false, true}) {
            RenderSettings s = cpu();
            row.edit(s);
            if (quarter) s.performance = true;
            const std::string what = std::string(row.name) + (quarter ? " (performance)" : "");
            const bool rendered = renderChecked(src, s, row.outcome == Finite, what);
            if (row.outcome != RendersOrRefuses) {
                EXPECT_TRUE(rendered) << what << ": refused";
            }
        }
}

TEST(HostileFrames, DegenerateSizesKeepTheirSize) {
    const int sizes[][2] = {{1, 1}, {1, 37}, {37, 1}, {0, 0}, {0, 9}, {9, 0}, {2, 2}, {3, 1}, {1, 2}, {5, 5}};
    for (auto const& size : sizes) {
        const Image src = lights(size[0], size[1]);
        for (auto const& [name, settings] : paths()) {
            const std::string what = std::to_string(size[0]) + "x" + std::to_string(size[1]) + ", " + name;
            EXPECT_TRUE(renderChecked(src, settings, true, what)) << what << ": refused";
            RenderSettings wide = settings;
            wide.width = 500.0f, wide.length = 1000.0f, wide.chromaticAmount = 100.0f;
            EXPECT_TRUE(renderChecked(src, wide, true, what + ", at the ranges' ends")) << what;
        }
    }
}

bool longRun() {
    const char* v = std::getenv("RAYDRIFT_LONG");
    return v && *v && *v != '0';
}

// Length 1000 on an 8K frame goes through the Performance path, whose streak canvas is a
// quarter of the frame's in each direction: the streak stage at exactly that geometry.
// The whole frame end to end (the reduction and the composite at 8K cost seconds in a
// debug build) runs with RAYDRIFT_LONG=1.
TEST(HostileFrames, LongestStreaksOnAn8KFrame) {
    RenderSettings s = cpu();
    s.length = 1000.0f;
    s.width = 2.0f;
    s.direction = 45.0f;
    s.performance = true;
    s.view = ViewMode::Performance;
    const int w = 7680, h = 4320, kw = (w + 3) / 4, kh = (h + 3) / 4;

    // The full-resolution canvas this frame would need on the Quality path, and what the
    // host budgets for each path: sizes only, nothing allocated.
    RenderSettings quality = s;
    quality.performance = false;
    quality.view = ViewMode::Quality;
    const StreakGeometry full = streakGeometry(w, h, quality, 0);
    EXPECT_EQ(full.length, 4000);  // 1000 pixels of 1080p at the frame's scale 4
    EXPECT_GT(std::int64_t{full.canvasWidth} * full.canvasHeight, std::int64_t{100000000});
    EXPECT_LT(frame_memory::frameBytes(w, h, s), frame_memory::frameBytes(w, h, quality));

    Image selection(kw, kh);
    for (int i = 0; i < 40; ++i) selection.at(25 + 41 * i, 15 + 23 * i) = {50.0f, 40.0f, 30.0f, 1.0f};
    RenderSettings streak = s;
    streak.scale = 4.0f * std::sqrt((static_cast<float>(kw) * static_cast<float>(kh)) /
                                    (static_cast<float>(w) * static_cast<float>(h)));
    Image scratch;
    generateStreak(selection, scratch, streak, 0);
    ASSERT_EQ(selection.width, kw);
    ASSERT_EQ(selection.height, kh);
    float lit = 0.0f;
    std::size_t bad = 0;
    for (Pixel const& p : selection.pixels) {
        bad += finite(p) ? 0 : 1;
        lit = std::max(lit, p.r);
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_GT(lit, 0.0f);

    if (!longRun()) return;
    Image src(w, h);
    for (int i = 0; i < 64; ++i) src.at(100 + 113 * i, 60 + 67 * i) = {50.0f, 40.0f, 30.0f, 1.0f};
    EXPECT_TRUE(renderChecked(src, s, true, "8K, length 1000"));
}

// A 30000 × 30000 layer at 45° with Length 1000: the streak canvas alone holds more than
// 2^31 pixels. Its size is known exactly, in 64 bits, before anything is allocated.
TEST(HostileFrames, GiganticCanvasSizesAreComputedIn64Bits) {
    RenderSettings s = cpu();
    s.length = 1000.0f;
    s.direction = 45.0f;
    s.scale = 0.0f;  // the frame's own: √(30000² / 1920·1080) ≈ 20.8
    const StreakGeometry g = streakGeometry(30000, 30000, s, 0);
    const std::int64_t canvas = std::int64_t{g.canvasWidth} * g.canvasHeight;
    EXPECT_GT(canvas, std::int64_t{1} << 31);
    // The rotated square's diagonal plus the streak, on each axis.
    EXPECT_GT(g.canvasWidth, 42000);
    EXPECT_GT(g.canvasHeight, 42426 + 20000);
    EXPECT_EQ(streakWorkingPixels(30000, 30000, s, 0), static_cast<std::size_t>(canvas));

    const std::uint64_t bytes = frame_memory::frameBytes(30000, 30000, s);
    EXPECT_GE(bytes, 2 * static_cast<std::uint64_t>(canvas) * sizeof(Pixel));
    EXPECT_LT(bytes, std::numeric_limits<std::uint64_t>::max());
    EXPECT_GT(bytes, frame_memory::limit()) << "no machine this runs on holds this frame";

    // Beyond what any image can address, the size is reported as such, not wrapped.
    s.scale = 1e6f;
    EXPECT_THROW(streakGeometry(30000, 30000, s, 0), std::bad_alloc);
    EXPECT_EQ(frame_memory::frameBytes(30000, 30000, s), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(frame_memory::frameBytes(INT32_MAX, 2, s), std::numeric_limits<std::uint64_t>::max());
    s.performance = true;
    EXPECT_EQ(frame_memory::frameBytes(INT32_MAX, INT32_MAX, s), std::numeric_limits<std::uint64_t>::max());
    // And the engine refuses such a frame before allocating anything of its size.
    const Image small = lights(8, 8);
    EXPECT_FALSE(renderChecked(small, s, false, "scale 1e6"));
}

}  // namespace
}  // namespace raydrift::image

#include "image_test_support.h"
#include "image/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gpu/metal_frame.h"
#include "image/color.h"
#include "image/composite.h"
#include "image/luminance.h"
#include "image/parallel.h"
#include "image/streak.h"
#include "image/vector_units.h"
#include "scenarios.h"

namespace raydrift::image {
namespace {

// The benchmark's night scene with extra lights sprinkled in: at test sizes its own lights
// cover few whole pixels.
Image scene(int w, int h, bool transparentBorder) {
    Image img = bench::syntheticFrame(w, h, transparentBorder, 50);
    std::uint32_t state = 12345u;
    for (std::size_t i = 0; i < img.pixels.size(); i += 29) {
        state = state * 1664525u + 1013904223u;
        const float level = 0.5f + static_cast<float>(state >> 24) / 64.0f;  // 0.5 … 4.5
        Pixel& p = img.pixels[i];
        p = {level * p.a, 0.7f * level * p.a, (0.3f + 0.002f * static_cast<float>(i % 300)) * p.a, p.a};
    }
    return img;
}

Image render(Image const& src, RenderSettings const& s) {
    Image dst;
    processFrame(src, dst, s);
    return dst;
}

RenderSettings cpuSettings() {
    RenderSettings s;
    s.useGpu = false;
    s.length = 30.0f;
    return s;
}

TEST(MetalFrame, DeclinesEveryFrameWithAFixedReason) {
    const Image input = bench::syntheticFrame(8, 4, false, 2);
    Image output(3, 3);
    output.pixels[0].r = 5.0f;
    const Image before = output;
    std::string reason;
    EXPECT_FALSE(metal::frame(input, output, RenderSettings{}, &reason));
    EXPECT_EQ(reason, "No Metal device");
    EXPECT_TRUE(bitEqual(output, before));
    EXPECT_FALSE(metal::frame(Image(), output, RenderSettings{}, &reason));
    EXPECT_EQ(reason, "Invalid Metal software frame");
    Image same = input;
    EXPECT_FALSE(metal::frame(same, same, RenderSettings{}, &reason));
    EXPECT_EQ(reason, "Invalid Metal software frame");
    EXPECT_FALSE(metal::frame(input, output, RenderSettings{}, nullptr));

    // A declined frame renders on the CPU, exactly as without the GPU.
    RenderSettings s = cpuSettings();
    const Image cpu = render(input, s);
    s.useGpu = true;
    EXPECT_TRUE(bitEqual(render(input, s), cpu));
}

TEST(ProcessFrame, CountsItselfWhileRenderingAndOnEveryExit) {
    const std::uint32_t before = parallel::activeFrames.load();
    const Image src = scene(40, 30, true);
    RenderSettings s = cpuSettings();
    for (ViewMode view : {ViewMode::Matte, ViewMode::Performance, ViewMode::Quality, ViewMode::Black,
                          ViewMode::Alpha}) {
        s.view = view;
        for (float opacity : {0.0f, 1.0f}) {
            s.opacity = opacity;
            render(src, s);
            EXPECT_EQ(parallel::activeFrames.load(), before);
        }
    }
    // A chromatic shift no image could hold fails as an allocation, uncounted afterwards.
    s.view = ViewMode::Quality;
    s.opacity = 1.0f;
    s.chromaticAmount = 1e30f;
    Image dst;
    EXPECT_THROW(processFrame(src, dst, s), std::bad_alloc);
    EXPECT_EQ(parallel::activeFrames.load(), before);
    s.view = ViewMode::Performance;
    EXPECT_THROW(processFrame(src, dst, s), std::bad_alloc);
    EXPECT_EQ(parallel::activeFrames.load(), before);
}

TEST(ProcessFrame, MatteView) {
    Image src(4, 1);
    src.pixels[0] = {0.4f, 0.4f, 0.4f, 0.5f};    // straight luma 0.8, half covered
    src.pixels[1] = {5.0f, 5.0f, 5.0f, 1e-6f};   // no coverage
    src.pixels[2] = {0.1f, 0.1f, 0.1f, 1.0f};    // below the threshold
    src.pixels[3] = {3.0f, 3.0f, 3.0f, 2.0f};    // alpha above 1 counts as 1
    RenderSettings s = cpuSettings();
    s.view = ViewMode::Matte;
    s.opacity = 0.0f;  // ignored by the matte
    const Image out = render(src, s);
    EXPECT_TRUE(bitEqual(out.pixels[0], {0.5f, 0.5f, 0.5f, 1.0f}));
    EXPECT_TRUE(bitEqual(out.pixels[1], {0.0f, 0.0f, 0.0f, 1.0f}));
    EXPECT_TRUE(bitEqual(out.pixels[2], {0.0f, 0.0f, 0.0f, 1.0f}));
    EXPECT_TRUE(bitEqual(out.pixels[3], {1.0f, 1.0f, 1.0f, 1.0f}));
    s.invert = true;
    EXPECT_TRUE(bitEqual(render(src, s).pixels[2], {1.0f, 1.0f, 1.0f, 1.0f}));
    // An empty source keeps its dimensions and has no pixels.
    Image empty;
    empty.width = 5;
    Image dst(2, 2);
    processFrame(empty, dst, s);
    EXPECT_EQ(dst.width, 5);
    EXPECT_TRUE(dst.pixels.empty());
}

TEST(ProcessFrame, NothingToAddReturnsTheSourceOrAnEmptyStreakLayer) {
    Image src = scene(16, 12, true);
    src.pixels[5] = {-0.0f, nanWithPayload(0x2a), -3.0f, 0.5f};
    RenderSettings s = cpuSettings();
    for (bool performance : {false, true}) {
        s.performance = performance;
        s.view = performance ? ViewMode::Performance : ViewMode::Quality;
        s.opacity = 0.0f;
        Image dst(1, 1);
        processFrame(src, dst, s);
        EXPECT_TRUE(bitEqual(dst, src));
        s.opacity = 1.0f;
        s.intensity = 0.0f;
        processFrame(src, dst, s);
        EXPECT_TRUE(bitEqual(dst, src));
        Image inPlace = src;
        processFrame(inPlace, inPlace, s);
        EXPECT_TRUE(bitEqual(inPlace, src));
        s.intensity = 1.0f;
    }
    s.opacity = 0.0f;
    s.view = ViewMode::Black;
    for (Pixel const& p : render(src, s).pixels) EXPECT_TRUE(bitEqual(p, {0.0f, 0.0f, 0.0f, 1.0f}));
    s.view = ViewMode::Alpha;
    const Image alpha = render(src, s);
    EXPECT_EQ(alpha.pixelCount(), src.pixelCount());
    for (Pixel const& p : alpha.pixels) EXPECT_TRUE(bitEqual(p, {0.0f, 0.0f, 0.0f, 0.0f}));
}

// The working image kept from frame to frame holds the last frame's pixels: frames of
// other sizes, paths and margins after it come out as from fresh memory.
TEST(ProcessFrame, KeptWorkingMemoryLeavesNoTrace) {
    struct Case {
        int w, h;
        bool performance;
        float chromatic, direction;
    };
    const Case cases[] = {{96, 54, false, 20.0f, 30.0f}, {40, 70, false, 0.0f, 0.0f},
                          {120, 64, true, 15.0f, 45.0f}, {33, 21, false, 0.0f, 90.0f}};
    auto frame = [](Case const& c) {
        RenderSettings s = cpuSettings();
        s.performance = c.performance;
        s.view = c.performance ? ViewMode::Performance : ViewMode::Quality;
        s.chromaticAmount = c.chromatic;
        s.direction = c.direction;
        s.width = 6.0f;
        return render(scene(c.w, c.h, c.chromatic > 0.0f), s);
    };
    std::vector<Image> afterOthers;
    for (Case const& c : cases) afterOthers.push_back(frame(c));
    for (std::size_t k = 0; k < afterOthers.size(); ++k) {
        releaseWorkingMemory();
        EXPECT_TRUE(bitEqual(frame(cases[k]), afterOthers[k])) << k;
    }
}

TEST(ProcessFrame, QuarterReductionAndMargins) {
    // A 5×5 frame reduces to 2×2: blocks of 16, 4, 4 and 1 real pixels.
    Image src(5, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x) {
            const float v = static_cast<float>(1 + x + 5 * y);
            src.at(x, y) = {v, 2.0f * v, 0.5f * v, 1.0f};
        }
    RenderSettings s = cpuSettings();
    s.lowCut = 0.0f;  // everything passes
    Image selected;
    Image small;
    reduceQuarter(src, selected, &small, s);
    ASSERT_EQ(selected.width, 2);
    ASSERT_EQ(selected.height, 2);
    auto mean = [&](int x0, int y0, int x1, int y1) {
        float sum = 0.0f;
        int count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x, ++count) sum += src.at(x, y).r;
        return sum * (1.0f / static_cast<float>(count));
    };
    EXPECT_EQ(selected.at(0, 0).r, mean(0, 0, 4, 4));
    EXPECT_EQ(selected.at(1, 0).r, mean(4, 0, 5, 4));
    EXPECT_EQ(selected.at(0, 1).r, mean(0, 4, 4, 5));
    EXPECT_EQ(selected.at(1, 1).r, 25.0f);
    EXPECT_TRUE(bitEqual(small, selected));
    EXPECT_EQ(selected.at(1, 1).a, 1.0f);

    // The selection weighs each pixel by its mask; a transparent pixel gets the mask of
    // luma 0, which shows when the matte is inverted and the colour hides under alpha 0.
    s.lowCut = 10.0f;
    src.at(4, 4) = {1.0f, 1.0f, 1.0f, 0.0f};
    s.invert = true;
    reduceQuarter(src, selected, nullptr, s);
    EXPECT_EQ(selected.at(1, 1).r, 1.0f);
    s.invert = false;
    reduceQuarter(src, selected, nullptr, s);
    EXPECT_EQ(selected.at(1, 1).r, 0.0f);

    // Margins for a chromatic amount of 10 at scale 1.
    EXPECT_EQ(quarterChromaticMargin(10.0f, 1.0f, 1920, 1080), 6);
    // Sizes next to the int limit quarter without overflowing.
    EXPECT_EQ(quarterChromaticMargin(10.0f, 1.0f, 2147483647, 2147483646), 6);
    EXPECT_EQ(fullChromaticMargin(10.0f, 1.0f), 12);
    EXPECT_EQ(fullChromaticMargin(0.5f, 2.0f), 3);
    EXPECT_THROW(fullChromaticMargin(std::numeric_limits<float>::infinity(), 1.0f), std::bad_alloc);
}

TEST(FramePlan, HandWorkedPlans) {
    struct Case {
        char const* name;
        int w, h;
        void (*adjust)(RenderSettings&);
        FramePath path;
        int workW, workH;
        float ratio;  // kw/w = kh/h in these cases
        int margin;
        float streakScale, colorScale;  // streakSettings.scale, colorSettings.scale
        EdgeMode edge;
        bool plain, colorFromAnimated, tintedFringes;
    };
    const Case cases[] = {
        // Quarter path with chromatic amount 10 at scale 1: shift 10, margin ⌈¼·13⌉ + 2.
        {"quarter chromatic", 1920, 1080,
         [](RenderSettings& s) { s.view = ViewMode::Performance; s.chromaticAmount = 10.0f; s.scale = 1.0f; },
         FramePath::Quarter, 480, 270, 0.25f, 6, 0.25f, 0.25f, EdgeMode::Transparent, false, false, false},
        // The same with tint: the small source is built; a derived scale stays derived.
        {"quarter chromatic tint", 1920, 1080,
         [](RenderSettings& s) { s.performance = true; s.chromaticAmount = 10.0f; s.tint = 0.5f; },
         FramePath::Quarter, 480, 270, 0.25f, 6, 0.0f, 0.25f, EdgeMode::Transparent, false, false, true},
        // 5×5 reduces to 2×2 (its blocks hold 16, 4, 4 and 1 pixels).
        {"quarter 5×5", 5, 5, [](RenderSettings& s) { s.view = ViewMode::Performance; s.scale = 2.0f; },
         FramePath::Quarter, 2, 2, 0.4f, 0, 0.8f, 2.0f, EdgeMode::Clamp, false, true, false},
        // The Output switch alone selects the quarter path for the Black view.
        {"black performance", 8, 8, [](RenderSettings& s) { s.view = ViewMode::Black; s.performance = true; },
         FramePath::Quarter, 2, 2, 0.25f, 0, 0.0f, 0.0f, EdgeMode::Clamp, false, true, false},
        // Full path with chromatic amount 10 at the 1080p scale 1: margin ⌈10⌉ + 2.
        {"full chromatic", 1920, 1080, [](RenderSettings& s) { s.chromaticAmount = 10.0f; },
         FramePath::Full, 1920, 1080, 1.0f, 12, 0.0f, 1.0f, EdgeMode::Transparent, false, false, false},
        {"full chromatic 4K", 3840, 2160, [](RenderSettings& s) { s.chromaticAmount = 10.0f; },
         FramePath::Full, 3840, 2160, 1.0f, 22, 0.0f, 2.0f, EdgeMode::Transparent, false, false, false},
        // Neutral colour composites plainly; a tint of 0.01 or a saturation needs the colour.
        {"full neutral", 64, 36, [](RenderSettings&) {}, FramePath::Full, 64, 36, 1.0f, 0, 0.0f, 0.0f,
         EdgeMode::Clamp, true, false, false},
        {"full tint 0.01", 64, 36, [](RenderSettings& s) { s.tint = 0.01f; }, FramePath::Full, 64, 36, 1.0f, 0,
         0.0f, 0.0f, EdgeMode::Clamp, false, true, false},
        {"full saturation", 64, 36, [](RenderSettings& s) { s.saturation = 0.5f; }, FramePath::Full, 64, 36, 1.0f,
         0, 0.0f, 0.0f, EdgeMode::Clamp, false, true, false},
        // Performance falls back to full resolution for thin frames and streakless settings.
        {"performance 1×40", 1, 40, [](RenderSettings& s) { s.view = ViewMode::Performance; }, FramePath::Full,
         1, 40, 1.0f, 0, 0.0f, 0.0f, EdgeMode::Clamp, true, false, false},
        {"performance 40×1", 40, 1, [](RenderSettings& s) { s.view = ViewMode::Performance; }, FramePath::Full,
         40, 1, 1.0f, 0, 0.0f, 0.0f, EdgeMode::Clamp, true, false, false},
        {"performance without streaks", 48, 32,
         [](RenderSettings& s) { s.view = ViewMode::Performance; s.length = 0.0f; },
         FramePath::Full, 48, 32, 1.0f, 0, 0.0f, 0.0f, EdgeMode::Clamp, true, false, false},
        // A NaN strength is not "nothing to add".
        {"NaN opacity", 16, 16, [](RenderSettings& s) { s.opacity = std::nanf(""); }, FramePath::Full, 16, 16,
         1.0f, 0, 0.0f, 0.0f, EdgeMode::Clamp, true, false, false},
    };
    for (Case const& c : cases) {
        RenderSettings s = cpuSettings();
        c.adjust(s);
        const FramePlan plan = planFrame(c.w, c.h, s);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(plan.path, c.path);
        EXPECT_EQ(plan.workWidth, c.workW);
        EXPECT_EQ(plan.workHeight, c.workH);
        EXPECT_EQ(plan.margin, c.margin);
        EXPECT_FLOAT_EQ(plan.streakSettings.scale, c.streakScale);
        if (plan.chromatic) {
            EXPECT_FLOAT_EQ(plan.colorSettings.scale, c.colorScale);
        }
        EXPECT_EQ(plan.mapping.scaleX, c.path == FramePath::Quarter ? c.ratio : 1.0f);
        EXPECT_EQ(plan.mapping.margin, c.margin);
        EXPECT_EQ(plan.mapping.resample, c.path == FramePath::Quarter);
        EXPECT_EQ(plan.mapping.edge, c.edge);
        EXPECT_EQ(plan.plainComposite, c.plain);
        EXPECT_EQ(plan.colorFromAnimated, c.colorFromAnimated);
        EXPECT_EQ(plan.tintedFringes, c.tintedFringes);
        // The streak images, the small source and the output, as rendered.
        const std::uint64_t work = std::uint64_t(plan.streak.canvasWidth) * plan.streak.canvasHeight;
        EXPECT_GE(plan.workingPixels, work);
        const std::uint64_t area = std::uint64_t(c.w) * c.h;
        const std::uint64_t small = std::uint64_t(c.workW) * c.workH;
        EXPECT_EQ(plan.peakPixels, c.path == FramePath::Quarter
                                       ? 2 * plan.workingPixels + (c.tintedFringes ? small : 0) + area
                                       : 2 * plan.workingPixels);
        EXPECT_EQ(plan.peakBytes(), plan.peakPixels * sizeof(Pixel));
    }

    // Matte and the views with nothing to add hold the output only.
    RenderSettings s = cpuSettings();
    s.view = ViewMode::Matte;
    s.opacity = 0.0f;
    EXPECT_EQ(planFrame(30, 20, s).path, FramePath::Matte);
    const std::pair<ViewMode, FramePath> nothing[] = {{ViewMode::Quality, FramePath::Source},
                                                      {ViewMode::Performance, FramePath::Source},
                                                      {ViewMode::Black, FramePath::Black},
                                                      {ViewMode::Alpha, FramePath::Clear}};
    for (auto [view, path] : nothing) {
        s.view = view;
        EXPECT_EQ(planFrame(30, 20, s).path, path);
        EXPECT_EQ(planFrame(30, 20, s).peakPixels, 600u);
    }
    // The GPU is offered mattes and frames that add something, when Use GPU is on.
    s.useGpu = true;
    EXPECT_FALSE(offersFrameToGpu(s));
    s.view = ViewMode::Matte;
    EXPECT_TRUE(offersFrameToGpu(s));
    s.useGpu = false;
    EXPECT_FALSE(offersFrameToGpu(s));

    // A 30000² layer at 45° with Length 1000 at its own scale √(30000²/2073600) ≈ 20.83:
    // streaks of 20833 pixels; the canvas is the rotated square's bounding box,
    // ⌈2·(cos 45°·14999.5 + sin 45°·14999.5)⌉ = ⌈42424.99⌉ = 42425, plus 2 columns each side and one
    // more, by 42425 rows plus the streak below, 2 above and 3 more: beyond 2^31 pixels.
    s = cpuSettings();
    s.length = 1000.0f;
    s.direction = 45.0f;
    const FramePlan huge = planFrame(30000, 30000, s);
    EXPECT_EQ(huge.path, FramePath::Full);
    EXPECT_EQ(huge.streak.length, 20833);
    EXPECT_EQ(huge.streak.canvasWidth, 42425 + 4 + 1);
    EXPECT_EQ(huge.streak.canvasHeight, 42425 + 20833 + 2 + 3);
    EXPECT_EQ(huge.workingPixels, std::uint64_t{42430} * 63263);
    EXPECT_EQ(huge.peakBytes(), 2 * std::uint64_t{42430} * 63263 * sizeof(Pixel));
    // Beyond what an image can address, planning fails as the allocation would.
    EXPECT_THROW(planFrame(std::int64_t{INT32_MAX} + 1, 2, s), std::bad_alloc);
    s.view = ViewMode::Performance;
    EXPECT_THROW(planFrame(INT32_MAX, INT32_MAX, s), std::bad_alloc);
    s.chromaticAmount = std::numeric_limits<float>::infinity();
    EXPECT_THROW(planFrame(64, 64, s), std::bad_alloc);
}

TEST(ProcessFrame, NeutralColourUsesThePlainCompositor) {
    // Tint 0 and saturation 1 use the plain compositor; a tint of 0.01 switches to the
    // mapped compositor with the animated settings as its colour.
    const Image opaque = scene(67, 41, false);
    RenderSettings s = cpuSettings();
    Image selected, dst;
    extractLuminanceRange(opaque, selected, s);
    generateStreak(selected, dst, s, 0);
    Image plain;
    composite(opaque, selected, plain, s);
    EXPECT_TRUE(bitEqual(render(opaque, s), plain));
    s.tint = 0.01f;
    Image mapped;
    compositeMapped(opaque, selected, mapped, s, {1.0f, 1.0f, 0, false, EdgeMode::Clamp}, &s);
    EXPECT_TRUE(bitEqual(render(opaque, s), mapped));
    EXPECT_FALSE(bitEqual(mapped, plain));
}

TEST(ProcessFrame, PathChoice) {
    // Thin frames and streakless settings take the full-resolution path even in
    // Performance: the result equals the Quality render.
    RenderSettings performance = cpuSettings();
    performance.view = ViewMode::Performance;
    RenderSettings quality = cpuSettings();
    for (auto [w, h] : {std::pair{1, 40}, std::pair{40, 1}}) {
        const Image src = scene(w, h, false);
        EXPECT_TRUE(bitEqual(render(src, performance), render(src, quality))) << w << "×" << h;
    }
    const Image src = scene(48, 32, false);
    performance.length = 0.0f;
    performance.width = 0.0f;
    quality.length = 0.0f;
    EXPECT_TRUE(bitEqual(render(src, performance), render(src, quality)));
    // With a streak the two differ: the quarter path really is taken.
    performance.length = 30.0f;
    quality.length = 30.0f;
    EXPECT_FALSE(bitEqual(render(src, performance), render(src, quality)));
    // The Output switch alone selects the quarter path for the Black view.
    RenderSettings black = cpuSettings();
    black.view = ViewMode::Black;
    const Image full = render(src, black);
    black.performance = true;
    EXPECT_FALSE(bitEqual(render(src, black), full));
}

TEST(ProcessFrame, InPlaceAndRowSplitRenderTheSameFrame) {
    const Image src = scene(720, 400, true);
    struct Case {
        ViewMode view;
        bool performance;
        float chromatic;
        float tint;
    };
    for (Case c : {Case{ViewMode::Quality, false, 0.0f, 0.0f}, Case{ViewMode::Quality, false, 10.0f, 0.5f},
                   Case{ViewMode::Performance, true, 10.0f, 0.5f}, Case{ViewMode::Alpha, true, 0.0f, 0.2f},
                   Case{ViewMode::Matte, false, 0.0f, 0.0f}}) {
        RenderSettings s = cpuSettings();
        s.view = c.view;
        s.performance = c.performance;
        s.chromaticAmount = c.chromatic;
        s.tint = c.tint;
        s.direction = 20.0f;
        s.width = 5.0f;
        const Image split = render(src, s);
        const Image serial = serially([&] { return render(src, s); });
        EXPECT_TRUE(bitEqual(split, serial)) << static_cast<int>(c.view) << " " << c.chromatic;
        Image inPlace = src;
        processFrame(inPlace, inPlace, s);
        EXPECT_TRUE(bitEqual(inPlace, split));
        // A reused output of another size, as a host hands back, changes nothing either.
        Image reused(3000, 7);
        processFrame(src, reused, s);
        EXPECT_TRUE(bitEqual(reused, split));
    }
}

// A caller's frame as a host keeps it: ARGB order, rows padded, read and written through
// FrameRows. Counts the pixels written per row.
struct HostFrame {
    int width;
    int height;
    std::size_t stride;  // floats per row
    std::vector<float> input;
    std::vector<float> output;
    std::vector<int> writes;

    explicit HostFrame(Image const& src)
        : width(src.width), height(src.height), stride(static_cast<std::size_t>(src.width) * 4 + 12),
          input(stride * static_cast<std::size_t>(src.height)), output(input.size(), -7.0f),
          writes(static_cast<std::size_t>(src.height)) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                Pixel const& p = src.at(x, y);
                float* q = &input[static_cast<std::size_t>(y) * stride + 4 * static_cast<std::size_t>(x)];
                q[0] = p.a, q[1] = p.r, q[2] = p.g, q[3] = p.b;
            }
    }
    FrameRows rows(std::function<bool()> proceed = {}, bool inPlace = false, bool straight = false) {
        FrameRows r;
        if (inPlace) {
            r.argbRows = reinterpret_cast<unsigned char const*>(input.data());
            r.argbRowBytes = static_cast<std::ptrdiff_t>(stride * sizeof(float));
            r.argbOutRows = reinterpret_cast<unsigned char*>(output.data());
            r.argbOutRowBytes = r.argbRowBytes;
            r.argbOutStraight = straight;
        }
        r.width = width;
        r.height = height;
        r.read = [this](int y, int x0, int count, Pixel* pixels) {
            for (int x = x0; x < x0 + count; ++x) {
                float const* q = &input[static_cast<std::size_t>(y) * stride + 4 * static_cast<std::size_t>(x)];
                pixels[x - x0] = {q[1], q[2], q[3], q[0]};
            }
        };
        r.write = [this, inPlace, straight](int y, int x0, int count, Pixel const* pixels) {
            writes[static_cast<std::size_t>(y)] += count;
            for (int x = x0; x < x0 + count; ++x) {
                Pixel const& p = pixels[x - x0];
                float* q = &output[static_cast<std::size_t>(y) * stride + 4 * static_cast<std::size_t>(x)];
                // Rows written in place are stored as a host's float world stores them;
                // the others are written as they come.
                if (inPlace)
                    vec::storeArgb(reinterpret_cast<ArgbPixel*>(q), vec::load(&p), straight);
                else
                    q[0] = p.a, q[1] = p.r, q[2] = p.g, q[3] = p.b;
            }
        };
        r.proceed = std::move(proceed);
        return r;
    }
    // An image as it reads back from a float world it was stored to.
    static Image stored(Image img, bool straight = false) {
        for (Pixel& p : img.pixels) {
            ArgbPixel q;
            vec::storeArgb(&q, vec::load(&p), straight);
            p = {q.r, q.g, q.b, q.a};
        }
        return img;
    }
    Image result() const {
        Image img(width, height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                float const* q = &output[static_cast<std::size_t>(y) * stride + 4 * static_cast<std::size_t>(x)];
                img.at(x, y) = {q[1], q[2], q[3], q[0]};
            }
        return img;
    }
};

bool acceptingOffer(Image const& in, Image& out, RenderSettings const&, std::string*) {
    out = in;
    for (Pixel& p : out.pixels) p.g = -p.g;
    return true;
}
bool decliningOffer(Image const&, Image&, RenderSettings const&, std::string*) { return false; }

TEST(ProcessFrame, CallersRowsGetTheImageFramesBits) {
    // Every path, rendered on a caller's rows, is the image frame to the bit; each output
    // pixel is written once, and a frame stopped before its first row writes none.
    struct Case {
        char const* name;
        ViewMode view;
        bool performance;
        float chromatic, tint, saturation, strength, diffraction, direction;
        bool border;
    };
    const Case cases[] = {
        {"quality", ViewMode::Quality, false, 0, 0, 1, 1, 0, 0, false},
        {"oblique diffraction", ViewMode::Quality, false, 0, 0, 1, 1, 150, 30, false},
        {"chromatic", ViewMode::Quality, false, 8, 0.5f, 1, 1, 0, 0, true},
        {"recoloured", ViewMode::Quality, false, 0, 0.4f, 0.5f, 1, 0, 20, true},
        {"quarter", ViewMode::Performance, true, 0, 0, 1, 1, 0, 0, false},
        {"quarter tinted", ViewMode::Performance, true, 6, 0.5f, 1, 1, 0, 0, true},
        {"quarter recoloured", ViewMode::Performance, true, 0, 0.5f, 0.3f, 1, 0, 0, true},
        {"alpha", ViewMode::Alpha, true, 0, 0, 1, 1, 0, 0, true},
        {"black", ViewMode::Black, false, 0, 0, 1, 1, 0, 45, false},
        {"matte", ViewMode::Matte, false, 0, 0, 1, 1, 0, 0, true},
        {"zero strength", ViewMode::Quality, false, 0, 0, 1, 0, 0, 0, false},
        {"zero strength quarter", ViewMode::Performance, true, 0, 0.3f, 1, 0, 0, 0, true},
        {"clear", ViewMode::Alpha, false, 0, 0, 1, 0, 0, 0, false},
        {"black zero strength", ViewMode::Black, false, 0, 0, 1, 0, 0, 0, false},
    };
    for (Case const& c : cases) {
        // Wider than a span, and not a multiple of one, nor of the quarter blocks; a few
        // alphas outside [0, 1], which a float world's output clamps.
        Image src = scene(kRowSpan + 77, 61, c.border);
        const float hostile[] = {1.5f, -0.25f, std::numeric_limits<float>::quiet_NaN(), 2.0f};
        for (std::size_t i = 0; i < src.pixels.size(); i += 97) src.pixels[i].a = hostile[i / 97 % 4];
        RenderSettings s = cpuSettings();
        s.view = c.view;
        s.performance = c.performance;
        s.chromaticAmount = c.chromatic;
        s.tint = c.tint;
        s.saturation = c.saturation;
        s.opacity = c.strength;
        s.diffraction = c.diffraction;
        s.direction = c.direction;
        vec::limitUnits(vec::Units::Baseline);
        const Image expected = render(src, s);
        // Input rows converted span by span, and read in place as float ARGB (stored
        // premultiplied or straight), on every instruction set.
        for (vec::Units units : {vec::Units::Baseline, vec::Units::Avx2, vec::Units::Avx512}) {
            vec::limitUnits(units);
            for (int form = 0; form < 3; ++form) {
                const bool inPlace = form > 0, straight = form == 2;
                HostFrame host(src);
                Image source, scratch(5, 5);
                ASSERT_TRUE(processFrame(host.rows({}, inPlace, straight), source, scratch, s)) << c.name;
                EXPECT_TRUE(bitEqual(host.result(), inPlace ? HostFrame::stored(expected, straight) : expected))
                    << c.name << " form " << form << " units " << static_cast<int>(units);
                if (!inPlace) {
                    EXPECT_EQ(std::count(host.writes.begin(), host.writes.end(), src.width), src.height) << c.name;
                }
                std::size_t padding = 0;  // the padding at the rows' ends is never written
                for (std::size_t i = 0; i < host.output.size(); ++i)
                    padding += i % host.stride >= static_cast<std::size_t>(src.width) * 4 && host.output[i] != -7.0f;
                EXPECT_EQ(padding, 0u) << c.name;
            }
        }

        HostFrame stopped(src);
        Image source, scratch;
        int asked = 0;
        EXPECT_FALSE(processFrame(stopped.rows([&] { return ++asked, false; }), source, scratch, s)) << c.name;
        EXPECT_EQ(asked, 1) << c.name;
        EXPECT_EQ(std::count(stopped.writes.begin(), stopped.writes.end(), 0), src.height) << c.name;
    }

    // The GPU offers see the whole input: a frame they take is written as they made it, a
    // declined one renders here as the image frame does.
    const Image src = scene(64, 40, false);
    RenderSettings s = cpuSettings();
    s.useGpu = true;
    for (bool accepts : {true, false}) {
        GpuOffers offers;
        offers.frame = accepts ? acceptingOffer : decliningOffer;
        Image expected;
        processFrame(src, expected, s, offers);
        HostFrame host(src);
        Image source, scratch;
        ASSERT_TRUE(processFrame(host.rows(), source, scratch, s, offers));
        EXPECT_TRUE(bitEqual(host.result(), expected)) << accepts;
    }
}

TEST(ProcessFrame, ConcurrentFramesShareTheWorkersAndAgree) {
    // Frames rendered on several host threads at once split the workers among them; each
    // still comes out as when rendered alone, and the counters return to rest.
    const Image src = scene(640, 420, true);
    RenderSettings quality = cpuSettings();
    quality.chromaticAmount = 6.0f;
    quality.tint = 0.4f;
    RenderSettings performance = cpuSettings();
    performance.view = ViewMode::Performance;
    performance.direction = 15.0f;
    const Image expectedQuality = render(src, quality);
    const Image expectedPerformance = render(src, performance);
    const std::uint32_t frames = parallel::activeFrames.load();
    const std::uint32_t helpers = parallel::helpersInUse.load();

    std::vector<Image> results(6);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            for (int repeat = 0; repeat < 2; ++repeat)
                processFrame(src, results[i], i % 2 == 0 ? quality : performance);
        });
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_TRUE(bitEqual(results[i], i % 2 == 0 ? expectedQuality : expectedPerformance)) << i;
    EXPECT_EQ(parallel::activeFrames.load(), frames);
    EXPECT_EQ(parallel::helpersInUse.load(), helpers);
}

}  // namespace
}  // namespace raydrift::image

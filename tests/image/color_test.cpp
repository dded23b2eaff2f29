#include "image_test_support.h"
#include "image/color.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "image/color_math.h"
#include "image/parallel.h"
#include "image/sampling.h"
#include "settings/units.h"

namespace raydrift::image {
namespace {

// Premultiplied noise with alpha in [0, 1] and some HDR colour.
Image noise(int w, int h, unsigned seed) {
    Image img(w, h);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (Pixel& p : img.pixels) {
        p.a = u(rng);
        p.r = 3.0f * u(rng) * p.a;
        p.g = u(rng) * p.a;
        p.b = 2.0f * u(rng) * p.a;
    }
    return img;
}

// Each pixel's red, green and blue encode its own position, so a displaced channel says
// where it was read from.
Image positions(int w, int h) {
    Image img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float v = static_cast<float>(y * 1000 + x);
            img.at(x, y) = {v, v + 0.25f, v + 0.5f, 1.0f};
        }
    return img;
}

RenderSettings colourSettings() {
    RenderSettings s;
    s.scale = 1.0f;
    s.edgeMode = EdgeMode::Clamp;
    return s;
}

float positionAt(int x, int y) { return static_cast<float>(y * 1000 + x); }

TEST(ApplyColor, NeutralSettingsLeaveEveryBitAndTheScratch) {
    Image img = noise(17, 9, 1);
    img.pixels[3] = {-0.0f, std::numeric_limits<float>::quiet_NaN(), -5.0f, 0.5f};
    const Image before = img;
    Image scratch(2, 2);
    scratch.pixels[0].r = 7.0f;
    const Image scratchBefore = scratch;
    applyColor(img, scratch, colourSettings(), nullptr, 0, 0);
    EXPECT_TRUE(bitEqual(img, before));
    EXPECT_TRUE(bitEqual(scratch, scratchBefore));

    // Tint below 0 counts as 0: still neutral.
    RenderSettings s = colourSettings();
    s.tint = -0.2f;
    applyColor(img, scratch, s, nullptr, 0, 0);
    EXPECT_TRUE(bitEqual(img, before));

    // An empty image is left alone.
    Image empty;
    applyColor(empty, scratch, s, nullptr, 0, 0);
    EXPECT_TRUE(empty.pixels.empty());
}

TEST(ApplyColor, SaturationThenTint) {
    const Image src = noise(8, 8, 2);
    RenderSettings s = colourSettings();
    s.tintR = 0.25f;
    s.tintG = 0.5f;
    s.tintB = 1.0f;
    Image scratch;

    // Full tint, no saturation: the tint colour times the pixel's own alpha.
    s.tint = 1.0f;
    s.saturation = 0.0f;
    Image img = src;
    applyColor(img, scratch, s, nullptr, 0, 0);
    for (std::size_t i = 0; i < img.pixels.size(); ++i) {
        const Pixel p = src.pixels[i];
        EXPECT_NEAR(img.pixels[i].r, 0.25f * p.a, 1e-6f);
        EXPECT_NEAR(img.pixels[i].g, 0.5f * p.a, 1e-6f);
        EXPECT_NEAR(img.pixels[i].b, 1.0f * p.a, 1e-6f);
        EXPECT_EQ(img.pixels[i].a, p.a);
    }

    // Tint above 1 behaves as 1.
    s.tint = 1.5f;
    Image over = src;
    applyColor(over, scratch, s, nullptr, 0, 0);
    EXPECT_TRUE(bitEqual(over, img));

    // Saturation 0 alone: the luma grey of the premultiplied colour.
    s.tint = 0.0f;
    img = src;
    applyColor(img, scratch, s, nullptr, 0, 0);
    for (std::size_t i = 0; i < img.pixels.size(); ++i) {
        const Pixel p = src.pixels[i];
        const float v = rdLuma(p.r, p.g, p.b);
        EXPECT_EQ(img.pixels[i].r, v);
        EXPECT_EQ(img.pixels[i].g, v);
        EXPECT_EQ(img.pixels[i].b, v);
    }

    // Both lerps are always evaluated, in order: saturation 1 with a tint still goes
    // through v + (c − v)·1 before the tint.
    s.saturation = 1.0f;
    s.tint = 0.3f;
    img = src;
    applyColor(img, scratch, s, nullptr, 0, 0);
    for (std::size_t i = 0; i < img.pixels.size(); ++i) {
        const Pixel p = src.pixels[i];
        const float v = rdLuma(p.r, p.g, p.b);
        EXPECT_EQ(img.pixels[i].g, rdLerp(rdLerp(v, p.g, 1.0f), 0.5f * p.a, 0.3f));
    }
    EXPECT_TRUE(scratch.pixels.empty()) << "no chromatic step, scratch untouched";
}

TEST(ApplyColor, ChromaticDisplacementAlongTheStreak) {
    const Image src = positions(40, 40);
    RenderSettings s = colourSettings();
    s.chromaticAmount = 10.0f;
    Image img = src;
    Image scratch;
    applyColor(img, scratch, s, nullptr, 0, 0);
    // The images were exchanged: scratch holds the coloured, undisplaced streaks.
    EXPECT_TRUE(bitEqual(scratch, src));
    // Direction 0, R&B: red from 10 pixels above, blue from 10 below, green in place.
    EXPECT_EQ(img.at(20, 20).r, positionAt(20, 10));
    EXPECT_EQ(img.at(20, 20).g, positionAt(20, 20) + 0.25f);
    EXPECT_EQ(img.at(20, 20).b, positionAt(20, 30) + 0.5f);
    // Clamp beyond the image reads the border row.
    EXPECT_EQ(img.at(5, 3).r, positionAt(5, 0));
    EXPECT_EQ(img.at(5, 35).b, positionAt(5, 39) + 0.5f);

    // Wrap reads the opposite side.
    s.edgeMode = EdgeMode::Wrap;
    img = src;
    applyColor(img, scratch, s, nullptr, 0, 0);
    EXPECT_EQ(img.at(5, 3).r, positionAt(5, 33));
    EXPECT_EQ(img.at(5, 35).b, positionAt(5, 5) + 0.5f);

    // Direction 90: red from the right, blue from the left (cos 90° is not exactly 0, so
    // the vertical offset is a rounding error away from zero).
    s.edgeMode = EdgeMode::Clamp;
    s.direction = 90.0f;
    img = src;
    applyColor(img, scratch, s, nullptr, 0, 0);
    EXPECT_NEAR(img.at(20, 20).r, positionAt(30, 20), 1e-2f);
    EXPECT_NEAR(img.at(20, 20).b, positionAt(10, 20) + 0.5f, 1e-2f);
    EXPECT_EQ(img.at(20, 20).g, positionAt(20, 20) + 0.25f);

    // The angle is not reduced: 450° is 90° up to the rounding of a larger angle.
    s.direction = 450.0f;
    Image turned = src;
    applyColor(turned, scratch, s, nullptr, 0, 0);
    EXPECT_NEAR(turned.at(20, 20).r, positionAt(30, 20), 1e-1f);

    // The scale multiplies the amount; 0 derives it from the image size.
    EXPECT_EQ(referenceScale(3840, 2160), 2.0f);
    EXPECT_EQ(referenceScale(1920, 1080), 1.0f);
    EXPECT_EQ(referenceScale(0, -4), referenceScale(1, 1));
    s.direction = 0.0f;
    s.scale = 2.0f;
    s.chromaticAmount = 5.0f;
    img = src;
    applyColor(img, scratch, s, nullptr, 0, 0);
    EXPECT_EQ(img.at(20, 20).r, positionAt(20, 10));
    // Derived from the image itself: 192×108 is a tenth of 1080p in each direction.
    s.scale = 0.0f;
    s.chromaticAmount = 100.0f;
    img = positions(192, 108);
    applyColor(img, scratch, s, nullptr, 0, 0);
    EXPECT_EQ(img.at(50, 50).r, positionAt(50, 40));
    EXPECT_EQ(img.at(50, 50).b, positionAt(50, 60) + 0.5f);
}

TEST(ApplyColor, ChannelPairsAndTheAlphaOfAFringe) {
    Image src(3, 21);
    src.at(1, 0) = {1.0f, 2.0f, 3.0f, 0.25f};   // A for pixel (1, 10)
    src.at(1, 10) = {4.0f, 5.0f, 6.0f, 0.5f};   // B
    src.at(1, 20) = {7.0f, 8.0f, 9.0f, 0.75f};  // C
    RenderSettings s = colourSettings();
    s.chromaticAmount = 10.0f;
    s.edgeMode = EdgeMode::Transparent;
    const struct {
        int channels;
        Pixel expected;
    } cases[] = {
        {0, {1.0f, 5.0f, 9.0f, 0.75f}},  // R&B
        {1, {1.0f, 8.0f, 6.0f, 0.75f}},  // R&G
        {2, {4.0f, 2.0f, 9.0f, 0.75f}},  // G&B
        {7, {1.0f, 2.0f, 9.0f, 0.75f}},  // unknown: red and green ahead, blue behind
    };
    for (auto const& c : cases) {
        s.channels = c.channels;
        Image img = src;
        Image scratch;
        applyColor(img, scratch, s, nullptr, 0, 0);
        EXPECT_TRUE(bitEqual(img.at(1, 10), c.expected)) << "channels " << c.channels;
    }
    // The alpha is the largest of the three taps, so a lone fringe keeps its coverage.
    s.channels = 0;
    Image img = src;
    Image scratch;
    applyColor(img, scratch, s, nullptr, 0, 0);
    EXPECT_EQ(img.at(1, 0).a, 0.5f);  // B·0 above, its own 0.25, and the middle pixel below
}

// An input frame with an opaque centre and a transparent border, and a streak image with
// a margin of 2 around it.
struct ProtectedScene {
    Image input{8, 8};
    Image streaks{12, 12};
    ProtectedScene() {
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const bool centre = x >= 2 && x < 6 && y >= 2 && y < 6;
                input.at(x, y) = centre ? Pixel{0.5f, 0.5f, 0.5f, 1.0f} : Pixel{};
            }
        for (Pixel& p : streaks.pixels) p = {0.6f, 0.2f, 0.1f, 1.0f};
    }
};

// The colour step's result for streak pixel p at tint amount a (saturation 1).
Pixel coloured(Pixel p, float a, RenderSettings const& s) {
    const RdRgba c = rdColorPixel(rdRgba(p.r, p.g, p.b, p.a), 1.0f, a, s.tintR, s.tintG, s.tintB);
    return {c.r, c.g, c.b, c.a};
}

TEST(ApplyColor, ProtectedTintFollowsTheInputAlpha) {
    ProtectedScene scene;
    RenderSettings s = colourSettings();
    s.tint = 1.0f;
    s.tintR = 0.0f;
    s.tintG = 1.0f;
    s.tintB = 1.0f;
    const Pixel streak = scene.streaks.pixels[0];
    const Pixel untinted = coloured(streak, 0.0f, s);
    const Pixel tinted = coloured(streak, 1.0f, s);
    EXPECT_NEAR(tinted.g, 1.0f, 1e-6f);
    EXPECT_NEAR(untinted.r, 0.6f, 1e-6f);

    Image img = scene.streaks;
    Image scratch;
    applyColor(img, scratch, s, &scene.input, 2, 2);
    EXPECT_TRUE(bitEqual(img.at(6, 6), untinted)) << "over the opaque centre";
    EXPECT_TRUE(bitEqual(img.at(2, 2), tinted)) << "over the transparent border";
    EXPECT_TRUE(bitEqual(img.at(0, 0), tinted)) << "margin: Clamp repeats the border alpha";

    // An opaque border repeated into the margin keeps the tint off there too.
    Image opaqueEdge = scene.input;
    for (Pixel& p : opaqueEdge.pixels) p.a = 1.0f;
    opaqueEdge.at(4, 4).a = 0.5f;  // some transparency: the tint stays protected
    img = scene.streaks;
    applyColor(img, scratch, s, &opaqueEdge, 2, 2);
    EXPECT_TRUE(bitEqual(img.at(0, 0), untinted));
    EXPECT_TRUE(bitEqual(img.at(6, 6), coloured(streak, 0.5f, s)));
    // With Transparent edges nothing lies beyond the frame: alpha 0, full tint.
    s.edgeMode = EdgeMode::Transparent;
    img = scene.streaks;
    applyColor(img, scratch, s, &opaqueEdge, 2, 2);
    EXPECT_TRUE(bitEqual(img.at(0, 0), tinted));
    EXPECT_TRUE(bitEqual(img.at(2, 2), untinted));
    s.edgeMode = EdgeMode::Clamp;

    // A fully opaque input does not protect: every pixel is tinted.
    for (Pixel& p : opaqueEdge.pixels) p.a = 1.0f;
    img = scene.streaks;
    applyColor(img, scratch, s, &opaqueEdge, 2, 2);
    EXPECT_TRUE(bitEqual(img.at(6, 6), tinted));

    // Nor does an input whose size does not match the streaks less the margins.
    img = scene.streaks;
    applyColor(img, scratch, s, &scene.input, 1, 1);
    EXPECT_TRUE(bitEqual(img.at(6, 6), tinted));
}

TEST(ApplyColor, ProtectedTintWithFringesFollowsTheDisplacedPixel) {
    ProtectedScene scene;
    // A bright row at the top of the streaks, displaced downwards by the blue fringe.
    for (int x = 0; x < 12; ++x) scene.streaks.at(x, 3) = {1.0f, 1.0f, 1.0f, 1.0f};
    RenderSettings s = colourSettings();
    s.tint = 0.5f;
    s.tintR = 1.0f;
    s.tintG = 0.0f;
    s.tintB = 0.0f;
    s.chromaticAmount = 3.0f;
    s.saturation = 0.5f;
    Image img = scene.streaks;
    Image scratch;
    applyColor(img, scratch, s, &scene.input, 2, 2);

    // The colour pass ran without the tint (saturation only), and the displaced pixels
    // got the tint scaled by the input alpha under where they ended up.
    Image saturated = scene.streaks;
    RenderSettings satOnly = colourSettings();
    satOnly.saturation = 0.5f;
    Image unused;
    applyColor(saturated, unused, satOnly, nullptr, 0, 0);
    EXPECT_TRUE(bitEqual(scratch, saturated));
    // (6, 6) lies over the opaque centre: no tint; its blue comes from 3 rows below.
    EXPECT_EQ(img.at(6, 6).b, saturated.at(6, 9).b);
    EXPECT_EQ(img.at(6, 6).r, saturated.at(6, 3).r);
    // (6, 1) lies in the margin over the transparent border: half the tint.
    const Pixel fringe = img.at(6, 1);
    EXPECT_EQ(fringe.g, rdLerp(saturated.at(6, 1).g, 0.0f, 0.5f));
    EXPECT_EQ(fringe.b, rdLerp(saturated.at(6, 4).b, 0.0f, 0.5f));
}

TEST(ApplyColor, RowSplitDoesNotChangeABit) {
    // Large enough for parallel::ranges to split (over 2^18 pixels, over 64 rows).
    const Image src = noise(700, 420, 3);
    Image input = noise(696, 416, 4);
    RenderSettings s = colourSettings();
    s.tint = 0.4f;
    s.saturation = 1.3f;
    s.chromaticAmount = 7.5f;
    s.direction = 33.0f;
    s.channels = 1;
    s.edgeMode = EdgeMode::Mirror;
    Image parallelResult = src;
    Image scratch;
    applyColor(parallelResult, scratch, s, &input, 2, 2);
    Image serialResult = src;
    Image serialScratch;
    serially([&] {
        applyColor(serialResult, serialScratch, s, &input, 2, 2);
        return 0;
    });
    EXPECT_TRUE(bitEqual(parallelResult, serialResult));
    EXPECT_TRUE(bitEqual(scratch, serialScratch));

    // The inlined interior sampling reads exactly what sampleBilinear reads.
    s.tint = 0.0f;
    s.saturation = 1.0f;
    Image img = src;
    applyColor(img, scratch, s, nullptr, 0, 0);
    const float t = s.direction * kRadiansPerDegree;
    const float d = s.chromaticAmount;
    for (int y : {0, 5, 200, 419})
        for (int x : {0, 3, 350, 699}) {
            const Pixel C = sampling::sampleBilinear(src, static_cast<float>(x) + (-std::sin(t)) * d,
                                                     static_cast<float>(y) + std::cos(t) * d,
                                                     EdgeMode::Mirror);
            EXPECT_EQ(img.at(x, y).g, C.g) << x << ", " << y;
        }
}

}  // namespace
}  // namespace raydrift::image

#include "image_test_support.h"
#include "image/composite.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>

#include "image/blend_math.h"
#include "image/parallel.h"
#include "image/sampling.h"

namespace raydrift::image {
namespace {

Image noise(int w, int h, unsigned seed, float colourScale = 1.0f) {
    Image img(w, h);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (Pixel& p : img.pixels) {
        p.a = u(rng);
        p.r = colourScale * u(rng) * p.a;
        p.g = colourScale * u(rng) * p.a;
        p.b = colourScale * u(rng) * p.a;
    }
    return img;
}

Image filled(int w, int h, Pixel p) {
    Image img(w, h);
    for (Pixel& q : img.pixels) q = p;
    return img;
}

RenderSettings viewSettings(ViewMode view, BlendMode mode = BlendMode::Normal) {
    RenderSettings s;
    s.view = view;
    s.blendMode = mode;
    return s;
}

Pixel compositeOne(Pixel base, Pixel effect, RenderSettings const& s) {
    Image b(1, 1), e(1, 1), out;
    b.pixels[0] = base;
    e.pixels[0] = effect;
    composite(b, e, out, s);
    return out.pixels[0];
}

TEST(BlendChannel, FormulasAtTheirBranchPoints) {
    using M = BlendMode;
    EXPECT_EQ(blendChannel(0.3f, 0.6f, M::Normal), 0.6f);
    EXPECT_EQ(blendChannel(0.3f, 0.6f, M::Add), 0.3f + 0.6f);
    EXPECT_EQ(blendChannel(0.3f, 0.6f, M::LinearDodge), 0.3f + 0.6f);
    EXPECT_EQ(blendChannel(0.3f, 0.6f, M::Screen), 1.0f - (1.0f - 0.6f) * (1.0f - 0.3f));
    EXPECT_EQ(blendChannel(0.3f, 0.6f, M::Lighten), 0.6f);
    EXPECT_EQ(blendChannel(0.7f, 0.6f, M::Lighten), 0.7f);
    EXPECT_EQ(blendChannel(0.3f, 0.6f, M::Multiply), 0.3f * 0.6f);
    EXPECT_EQ(blendChannel(0.3f, 0.6f, M::Darken), 0.3f);
    EXPECT_EQ(blendChannel(0.3f, 0.6f, M::Difference), std::fabs(0.3f - 0.6f));
    EXPECT_EQ(blendChannel(0.6f, 0.3f, M::Difference), std::fabs(0.6f - 0.3f));
    EXPECT_EQ(blendChannel(0.3f, 0.6f, M::Exclusion), (0.3f * -2.0f) * 0.6f + (0.3f + 0.6f));

    // Overlay switches on the base at 0.5 (inclusive), Hard Light on the streak.
    EXPECT_EQ(blendChannel(0.5f, 0.8f, M::Overlay), (0.5f + 0.5f) * 0.8f);
    const float above = std::nextafter(0.5f, 1.0f);
    EXPECT_EQ(blendChannel(above, 0.8f, M::Overlay),
              ((1.0f - above) * -2.0f) * (1.0f - 0.8f) + 1.0f);
    EXPECT_EQ(blendChannel(0.8f, 0.5f, M::HardLight), (0.8f + 0.8f) * 0.5f);
    EXPECT_EQ(blendChannel(0.8f, above, M::HardLight),
              ((1.0f - 0.8f) * -2.0f) * (1.0f - above) + 1.0f);

    // Soft Light: the quadratic up to b = 0.5, then the cubic up to a = 0.25, then the root.
    EXPECT_EQ(blendChannel(0.6f, 0.5f, M::SoftLight), 0.6f - ((1.0f - 2.0f * 0.5f) * 0.6f) * (1.0f - 0.6f));
    EXPECT_EQ(blendChannel(0.6f, 0.2f, M::SoftLight), 0.6f - ((1.0f - 2.0f * 0.2f) * 0.6f) * (1.0f - 0.6f));
    const float cubic = ((16.0f * 0.25f - 12.0f) * 0.25f + 4.0f) * 0.25f;
    EXPECT_EQ(blendChannel(0.25f, 0.75f, M::SoftLight), (cubic - 0.25f) * (2.0f * 0.75f - 1.0f) + 0.25f);
    EXPECT_EQ(blendChannel(0.64f, 0.75f, M::SoftLight),
              (std::sqrt(0.64f) - 0.64f) * (2.0f * 0.75f - 1.0f) + 0.64f);
    // The cubic and the root meet at 0.25 (both 0.5): the curve is continuous there.
    EXPECT_NEAR(blendChannel(0.25f, 1.0f, M::SoftLight),
                blendChannel(std::nextafter(0.25f, 1.0f), 1.0f, M::SoftLight), 1e-6f);
    // A negative base under the cubic is evaluated as it is; the root never sees one.
    const float negativeCubic = ((16.0f * -1.0f - 12.0f) * -1.0f + 4.0f) * -1.0f;
    EXPECT_EQ(blendChannel(-1.0f, 1.0f, M::SoftLight), (negativeCubic - -1.0f) * (2.0f * 1.0f - 1.0f) + -1.0f);

    // Color Dodge: 1 at b ≥ 1; just below 1 the divisor is floored at 0.000001.
    EXPECT_EQ(blendChannel(0.3f, 1.0f, M::ColorDodge), 1.0f);
    EXPECT_EQ(blendChannel(0.3f, 2.0f, M::ColorDodge), 1.0f);
    EXPECT_EQ(blendChannel(0.3f, 0.9999999f, M::ColorDodge), 0.3f / 0.000001f);
    EXPECT_EQ(blendChannel(0.3f, 0.5f, M::ColorDodge), 0.3f / 0.5f);
    // Color Burn: 0 for b ≤ 0.
    EXPECT_EQ(blendChannel(0.3f, 0.0f, M::ColorBurn), 0.0f);
    EXPECT_EQ(blendChannel(0.3f, -0.5f, M::ColorBurn), 0.0f);
    EXPECT_EQ(blendChannel(0.3f, 0.5f, M::ColorBurn), 1.0f - (1.0f - 0.3f) / 0.5f);

    // Values outside the enumeration blend as Normal.
    EXPECT_EQ(blendChannel(0.3f, 0.6f, static_cast<BlendMode>(20)), 0.6f);
    EXPECT_EQ(blendChannel(0.3f, 0.6f, static_cast<BlendMode>(-1)), 0.6f);
}

TEST(Composite, UncoveredBasePixelsAreCopiedBitForBit) {
    Image base(4, 1);
    base.pixels[0] = {-0.0f, -3.5f, 12.0f, 0.25f};
    base.pixels[1] = {nanWithPayload(0x1234), -0.0f, -0.0f, -0.0f};
    base.pixels[2] = {0.1f, 0.2f, 0.3f, 1.0f};
    base.pixels[3] = {-7.0f, 0.0f, nanWithPayload(0x42), 0.5f};
    Image effect(4, 1);
    effect.pixels[0] = {0.5f, 0.5f, 0.5f, 0.0f};  // no streak alpha
    effect.pixels[1] = {0.0f, 0.0f, 0.0f, -1.0f};  // negative alpha clamps to 0
    effect.pixels[2] = {0.3f, 0.3f, 0.3f, 0.5f};   // covered
    effect.pixels[3] = {0.9f, 0.9f, 0.9f, 0.0f};
    for (int mode = 0; mode < 14; ++mode) {
        Image out;
        composite(base, effect, out, viewSettings(ViewMode::Quality, static_cast<BlendMode>(mode)));
        EXPECT_TRUE(bitEqual(out.pixels[0], base.pixels[0])) << mode;
        EXPECT_TRUE(bitEqual(out.pixels[1], base.pixels[1])) << mode;
        EXPECT_TRUE(bitEqual(out.pixels[3], base.pixels[3])) << mode;
        EXPECT_EQ(out.pixels[2].a, 1.0f) << mode;
    }
    // Opacity can uncover a pixel too: a tiny streak alpha times a tiny opacity.
    RenderSettings s = viewSettings(ViewMode::Performance);
    s.opacity = 1e-30f;
    Image out;
    Image faint = filled(4, 1, {1e-20f, 1e-20f, 1e-20f, 1e-20f});
    composite(base, faint, out, s);
    EXPECT_TRUE(bitEqual(out, base));
}

TEST(Composite, CoverageTermsOfTheBlendedViews) {
    // Normal is "over": base·(1 − alpha) + straight effect·alpha.
    RenderSettings s = viewSettings(ViewMode::Quality);
    s.opacity = 0.5f;
    const Pixel base{0.2f, 0.4f, 0.6f, 1.0f};
    const Pixel effect{0.4f, 0.2f, 0.8f, 0.8f};  // straight (0.5, 0.25, 1)
    Pixel out = compositeOne(base, effect, s);
    const float alpha = 0.8f * 0.5f;
    EXPECT_NEAR(out.r, 0.2f * (1.0f - alpha) + 0.5f * alpha, 1e-6f);
    EXPECT_NEAR(out.b, 0.6f * (1.0f - alpha) + 1.0f * alpha, 1e-6f);
    EXPECT_EQ(out.a, 1.0f);

    // A transparent base shows the streak unblended whatever the mode, with its alpha.
    for (int mode = 0; mode < 14; ++mode) {
        s = viewSettings(ViewMode::Quality, static_cast<BlendMode>(mode));
        s.intensity = 2.0f;
        out = compositeOne({0.0f, 0.0f, 0.0f, 0.0f}, effect, s);
        const float source = ((0.4f * (1.0f / 0.8f)) * 2.0f) * 0.8f;
        EXPECT_EQ(out.r, source) << mode;
        EXPECT_EQ(out.a, 0.8f) << mode;
    }

    // Additive modes keep signed sums; the others are floored at zero.
    const Pixel negative{-0.5f, -0.5f, -0.5f, 1.0f};
    s = viewSettings(ViewMode::Quality, BlendMode::Add);
    out = compositeOne(negative, {0.1f, 0.1f, 0.1f, 0.5f}, s);
    EXPECT_NEAR(out.r, -0.5f + 0.1f, 1e-6f);
    s.blendMode = BlendMode::Multiply;
    out = compositeOne(negative, {0.1f, 0.1f, 0.1f, 0.5f}, s);
    EXPECT_EQ(out.r, 0.0f);
    EXPECT_FALSE(std::signbit(out.r));

    // The stated order of evaluation, for a half-transparent base under Screen.
    s = viewSettings(ViewMode::Quality, BlendMode::Screen);
    s.opacity = 0.75f;
    s.intensity = 1.5f;
    const Pixel q{0.2f, 0.3f, 0.1f, 0.5f};
    const Pixel p{0.3f, 0.1f, 0.6f, 0.6f};
    out = compositeOne(q, p, s);
    const float a = rdClamp01(p.a * s.opacity);
    const float e = (p.g * (1.0f / p.a)) * s.intensity;
    const float mixed = rdBlendChannel(q.g * (1.0f / q.a), e, RD_BLEND_SCREEN);
    EXPECT_EQ(out.g, (q.g * (1.0f - a) + (e * a) * (1.0f - q.a)) + mixed * (a * q.a));
    EXPECT_EQ(out.a, rdClamp01(q.a * (1.0f - a) + a));

    // HDR streaks under Color Dodge stay finite thanks to the divisor floor.
    s = viewSettings(ViewMode::Quality, BlendMode::ColorDodge);
    out = compositeOne(q, {0.59999996f, 0.59999996f, 0.59999996f, 0.6f}, s);
    EXPECT_TRUE(std::isfinite(out.r));
}

TEST(Composite, ZeroStrengthAndTheStreakOnlyViews) {
    Image base = noise(9, 7, 5);
    base.pixels[4] = {-0.0f, nanWithPayload(7), -2.0f, 0.5f};
    const Image effect = noise(9, 7, 6, 3.0f);

    RenderSettings s = viewSettings(ViewMode::Quality);
    s.opacity = 0.0f;
    Image out(1, 1);
    composite(base, effect, out, s);
    EXPECT_TRUE(bitEqual(out, base));
    s.opacity = 1.0f;
    s.intensity = 0.0f;
    composite(base, effect, out, s);
    EXPECT_TRUE(bitEqual(out, base));

    s = viewSettings(ViewMode::Black);
    s.opacity = 0.0f;
    composite(base, effect, out, s);
    for (Pixel const& p : out.pixels) EXPECT_TRUE(bitEqual(p, {0.0f, 0.0f, 0.0f, 1.0f}));
    s = viewSettings(ViewMode::Alpha);
    s.opacity = 0.0f;
    composite(base, effect, out, s);
    for (Pixel const& p : out.pixels) EXPECT_TRUE(bitEqual(p, {0.0f, 0.0f, 0.0f, 0.0f}));
    s.opacity = 1.0f;
    s.intensity = -1.0f;
    composite(base, effect, out, s);
    for (Pixel const& p : out.pixels) EXPECT_TRUE(bitEqual(p, {0.0f, 0.0f, 0.0f, 0.0f}));

    // Zero strength never reads the streaks; otherwise streaks that do not cover the
    // frame are refused rather than read out of bounds.
    s = viewSettings(ViewMode::Quality);
    s.opacity = 0.0f;
    composite(base, Image(2, 2), out, s);
    EXPECT_TRUE(bitEqual(out, base));
    s.opacity = 1.0f;
    EXPECT_THROW(composite(base, Image(2, 2), out, s), std::invalid_argument);
    EXPECT_THROW(compositeMapped(base, Image(9, 8), out, s, {1.0f, 1.0f, 1, false, EdgeMode::Clamp},
                                 nullptr),
                 std::invalid_argument);

    // Black: the streak's colour at strength, on opaque black; the base is not read.
    s = viewSettings(ViewMode::Black);
    s.opacity = 0.5f;
    Pixel got = compositeOne({nanWithPayload(1), 9.0f, 9.0f, 9.0f}, {0.4f, -0.2f, 0.2f, 0.8f}, s);
    const float alpha = 0.8f * 0.5f;
    const float gain = (1.0f * alpha) / 0.8f;
    EXPECT_EQ(got.r, 0.4f * gain);
    EXPECT_EQ(got.g, 0.0f);
    EXPECT_FALSE(std::signbit(got.g));
    EXPECT_EQ(got.a, 1.0f);

    // Alpha: intensity raises the colour above the streak's alpha, and the alpha follows
    // the brightest channel, clamped at 1.
    s = viewSettings(ViewMode::Alpha);
    s.intensity = 3.0f;
    got = compositeOne({}, {0.1f, 0.2f, 0.05f, 0.25f}, s);
    EXPECT_EQ(got.g, 0.2f * ((3.0f * 0.25f) / 0.25f));
    EXPECT_EQ(got.a, got.g);
    got = compositeOne({}, {0.5f, 0.2f, 0.05f, 0.5f}, s);
    EXPECT_EQ(got.a, 1.0f);
    EXPECT_EQ(got.r, 1.5f);  // the colour itself is not clipped
    s.intensity = 1.0f;
    got = compositeOne({}, {0.1f, 0.2f, 0.05f, 0.25f}, s);
    EXPECT_EQ(got.a, 0.25f);
}

TEST(CompositeMapped, DirectReadsAndTheColourStep) {
    const Image base = noise(11, 6, 7);
    const Image effect = noise(11, 6, 8, 2.0f);
    RenderSettings s = viewSettings(ViewMode::Quality, BlendMode::Overlay);
    s.intensity = 1.5f;
    s.opacity = 0.8f;

    Image plain;
    composite(base, effect, plain, s);
    RenderSettings neutral = s;  // saturation 1, tint 0: no colour step at all
    Image mapped;
    compositeMapped(base, effect, mapped, s, {1.0f, 1.0f, 0, false, EdgeMode::Clamp}, &neutral);
    EXPECT_TRUE(bitEqual(mapped, plain));
    compositeMapped(base, effect, mapped, s, {1.0f, 1.0f, 0, false, EdgeMode::Clamp}, nullptr);
    EXPECT_TRUE(bitEqual(mapped, plain));

    // A margin: output (x, y) reads effect (x + 3, y + 3).
    Image wide(17, 12);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 11; ++x) wide.at(x + 3, y + 3) = effect.at(x, y);
    compositeMapped(base, wide, mapped, s, {1.0f, 1.0f, 3, false, EdgeMode::Transparent}, nullptr);
    EXPECT_TRUE(bitEqual(mapped, plain));

    // Tint 0.5 over an opaque base: the streak moves halfway towards tint × alpha.
    Image opaque = filled(11, 6, {0.0f, 0.0f, 0.0f, 1.0f});
    RenderSettings colour = viewSettings(ViewMode::Black);
    colour.tint = 0.5f;
    colour.tintR = 1.0f;
    colour.tintG = 0.0f;
    colour.tintB = 0.0f;
    RenderSettings black = viewSettings(ViewMode::Black);
    compositeMapped(opaque, effect, mapped, black, {1.0f, 1.0f, 0, false, EdgeMode::Clamp}, &colour);
    for (std::size_t i = 0; i < mapped.pixels.size(); ++i) {
        const Pixel p = effect.pixels[i];
        const float v = rdLuma(p.r, p.g, p.b);
        const float r = rdLerp(rdLerp(v, p.r, 1.0f), 1.0f * p.a, 0.5f);
        const float gain = p.a > 0.000001f ? (1.0f * rdClamp01(p.a)) / p.a : 0.0f;
        EXPECT_EQ(mapped.pixels[i].r, rdPositive(r * gain));
        EXPECT_NEAR(r, 0.5f * (p.r + p.a), 1e-6f);
    }

    // Over a base with transparency the tint is protected: none over opaque pixels, all
    // of it over transparent ones.
    Image holes = opaque;
    holes.at(2, 2).a = 0.0f;
    colour.tint = 1.0f;
    compositeMapped(holes, effect, mapped, black, {1.0f, 1.0f, 0, false, EdgeMode::Clamp}, &colour);
    const Pixel e = effect.at(2, 2);
    const float gain = (1.0f * rdClamp01(e.a)) / e.a;
    EXPECT_NEAR(mapped.at(2, 2).r, 1.0f * e.a * gain, 1e-5f);
    EXPECT_NEAR(mapped.at(2, 2).g, 0.0f, 1e-6f);
    const Pixel f = effect.at(5, 3);
    EXPECT_NEAR(mapped.at(5, 3).g, f.g * ((1.0f * rdClamp01(f.a)) / f.a), 1e-6f);

    // Zero strength copies the base here too, before any read of the streaks.
    s.opacity = 0.0f;
    compositeMapped(base, Image(), mapped, s, {0.25f, 0.25f, 0, true, EdgeMode::Clamp}, &colour);
    EXPECT_TRUE(bitEqual(mapped, base));
}

TEST(CompositeMapped, BilinearResamplingOfAQuarterImage) {
    // A 3×2 quarter image brought back to 10×7.
    Image small(3, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) small.at(x, y) = {0.1f * static_cast<float>(x + 1), 0.2f * static_cast<float>(y + 1), 0.05f, 0.5f};
    const Image base = filled(10, 7, {0.0f, 0.0f, 0.0f, 0.0f});
    RenderSettings s = viewSettings(ViewMode::Alpha);
    const float sx = 3.0f / 10.0f;
    const float sy = 2.0f / 7.0f;
    Image out;
    compositeMapped(base, small, out, s, {sx, sy, 0, true, EdgeMode::Clamp}, nullptr);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 10; ++x) {
            const float px = rdMulAdd(static_cast<float>(x) + 0.5f, sx, -0.5f);
            const float py = rdMulAdd(static_cast<float>(y) + 0.5f, sy, -0.5f);
            const Pixel p = sampling::sampleBilinear(small, px, py, EdgeMode::Clamp);
            EXPECT_EQ(out.at(x, y).r, rdPositive(p.r * ((1.0f * rdClamp01(p.a)) / p.a)));
        }
    // Clamp repeats the border; Transparent with a margin reads zero beyond the image.
    EXPECT_EQ(out.at(0, 0).r, 0.1f);
    Image padded(5, 4);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) padded.at(x + 1, y + 1) = small.at(x, y);
    compositeMapped(base, padded, out, s, {sx, sy, 1, true, EdgeMode::Transparent}, nullptr);
    const Pixel corner = sampling::sampleBilinear(padded, rdMulAdd(0.5f, sx, -0.5f) + 1.0f,
                                                  rdMulAdd(0.5f, sy, -0.5f) + 1.0f,
                                                  EdgeMode::Transparent);
    EXPECT_EQ(out.at(0, 0).a, rdClamp01(corner.a));
    EXPECT_LT(out.at(0, 0).a, 0.5f);
}

TEST(Composite, RowSplitAndAliasingChangeNothing) {
    const Image base = noise(720, 400, 9);
    const Image effect = noise(720, 400, 10, 4.0f);
    const Image small = noise(180, 100, 11, 4.0f);
    Image withHoles = base;
    for (std::size_t i = 0; i < withHoles.pixels.size(); i += 7) withHoles.pixels[i].a = 0.0f;
    RenderSettings colour;
    colour.tint = 0.3f;
    colour.saturation = 0.7f;
    for (ViewMode view : {ViewMode::Quality, ViewMode::Black, ViewMode::Alpha}) {
        RenderSettings s = viewSettings(view, BlendMode::SoftLight);
        s.intensity = 1.7f;
        s.opacity = 0.9f;
        auto renderAll = [&] {
            std::vector<Image> outs(3);
            composite(base, effect, outs[0], s);
            compositeMapped(withHoles, small, outs[1], s,
                            {180.0f / 720.0f, 100.0f / 400.0f, 0, true, EdgeMode::Clamp}, &colour);
            compositeMapped(base, effect, outs[2], s, {1.0f, 1.0f, 0, false, EdgeMode::Clamp}, &colour);
            return outs;
        };
        const std::vector<Image> split = renderAll();
        const std::vector<Image> serial = serially(renderAll);
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(bitEqual(split[i], serial[i])) << i;

        // The output may be the base or the streaks themselves.
        Image inPlace = base;
        composite(inPlace, effect, inPlace, s);
        EXPECT_TRUE(bitEqual(inPlace, split[0]));
        Image streaks = effect;
        compositeMapped(base, streaks, streaks, s, {1.0f, 1.0f, 0, false, EdgeMode::Clamp}, &colour);
        EXPECT_TRUE(bitEqual(streaks, split[2]));
    }
    // An empty base gives an empty output.
    Image out(3, 3);
    composite(Image(), Image(), out, viewSettings(ViewMode::Quality));
    EXPECT_TRUE(out.pixels.empty());
}

}  // namespace
}  // namespace raydrift::image

namespace raydrift::image {
namespace {

// Whole rows through composite agree, pixel for pixel and bit for bit, with the per-pixel
// formula, for every mode and view strength: the grouped paths of the compositor must not
// show. Values reach every branch (uncovered, tiny and NaN alphas, negative and huge light).
TEST(Composite, RowsMatchThePixelFormula) {
    const float special[] = {0.0f, -0.0f, 1e-7f, 0.25f, 1.0f, 3.0f, -2.0f, 1e30f,
                             std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()};
    const int n = 203;  // not a multiple of four
    Image base(n, 1), effect(n, 1);
    std::mt19937 rng(17);
    auto pick = [&] { return special[rng() % 10]; };
    for (int i = 0; i < n; ++i) {
        base.pixels[static_cast<std::size_t>(i)] = {pick(), pick(), 0.5f, i % 3 == 0 ? 1.0f : pick()};
        effect.pixels[static_cast<std::size_t>(i)] = {pick(), 0.75f, pick(), i % 5 == 0 ? 0.0f : pick()};
    }
    for (int mode = 0; mode < 14; ++mode)
        for (float opacity : {1.0f, 0.3f}) {
            RenderSettings s;
            s.view = ViewMode::Quality;
            s.blendMode = static_cast<BlendMode>(mode);
            s.opacity = opacity;
            s.intensity = 1.5f;
            Image out;
            composite(base, effect, out, s);
            for (int i = 0; i < n; ++i) {
                Pixel const& p = effect.pixels[static_cast<std::size_t>(i)];
                Pixel const& q = base.pixels[static_cast<std::size_t>(i)];
                const float alpha = rdStreakCoverage(p.a, opacity);
                Pixel expected = q;
                if (alpha != 0.0f) {
                    const RdRgba b = rdBlendOver(rdRgba(p.r, p.g, p.b, p.a), rdRgba(q.r, q.g, q.b, q.a), alpha,
                                                 s.intensity, mode);
                    expected = {b.r, b.g, b.b, b.a};
                }
                // A NaN made by the arithmetic may carry either sign (the compiler picks the
                // operand order of a commutative operation); any other channel is bit for bit.
                Pixel const& got = out.pixels[static_cast<std::size_t>(i)];
                const float g4[] = {got.r, got.g, got.b, got.a};
                const float e4[] = {expected.r, expected.g, expected.b, expected.a};
                for (int c = 0; c < 4; ++c)
                    EXPECT_TRUE((std::isnan(g4[c]) && std::isnan(e4[c])) || std::memcmp(&g4[c], &e4[c], 4) == 0)
                        << "mode " << mode << " opacity " << opacity << " pixel " << i << " channel " << c << ": "
                        << g4[c] << " vs " << e4[c];
            }
        }
}

}  // namespace
}  // namespace raydrift::image

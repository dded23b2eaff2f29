#include "image/luminance.h"

#include "image_test_support.h"
#include "image/vector_units.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using raydrift::RenderSettings;
using raydrift::image::extractLuminanceRange;
using raydrift::image::hasTransparentForeground;
using raydrift::image::Image;
using raydrift::image::luma;
using raydrift::image::luminanceRangeMask;
using raydrift::image::Pixel;

RenderSettings cut(float lowCut, float lowFeather, bool invert = false) {
    RenderSettings s;
    s.lowCut = lowCut;
    s.lowFeather = lowFeather;
    s.invert = invert;
    return s;
}

TEST(Luma, FromUnpremultipliedColour) {
    EXPECT_NEAR(luma({0.4f, 0.4f, 0.4f, 0.5f}), 0.8f, 1e-6f);
    EXPECT_NEAR(luma({1.0f, 0.0f, 0.0f, 1.0f}), 0.2126f, 1e-7f);
    EXPECT_NEAR(luma({0.0f, 1.0f, 0.0f, 1.0f}), 0.7152f, 1e-7f);
    EXPECT_NEAR(luma({0.0f, 0.0f, 1.0f, 1.0f}), 0.0722f, 1e-7f);
    // No alpha, no colour: luma 0 whatever the (invalid) colour says.
    EXPECT_EQ(luma({5.0f, 5.0f, 5.0f, 1e-6f}), 0.0f);
    EXPECT_EQ(luma({5.0f, 5.0f, 5.0f, -1.0f}), 0.0f);
    // HDR passes unclipped.
    EXPECT_NEAR(luma({8.0f, 8.0f, 8.0f, 1.0f}), 8.0f, 1e-5f);
    // The order of operations is fixed: the fused build nests two fma.
    const float r = 0.3f, g = 0.6f, b = 0.9f;
    const float expected = SM_CPU_FMA ? std::fma(b, 0.0722f, std::fma(r, 0.2126f, g * 0.7152f))
                                      : (r * 0.2126f + g * 0.7152f) + b * 0.0722f;
    EXPECT_EQ(luma({r, g, b, 1.0f}), expected);
}

TEST(LuminanceRangeMask, HardAndSoftCuts) {
    EXPECT_EQ(luminanceRangeMask(0.5f, cut(0.5f, 0.0f)), 1.0f);
    EXPECT_EQ(luminanceRangeMask(0.4999f, cut(0.5f, 0.0f)), 0.0f);

    const RenderSettings soft = cut(0.5f, 0.2f);
    EXPECT_EQ(luminanceRangeMask(0.3f, soft), 0.0f);
    EXPECT_EQ(luminanceRangeMask(0.1f, soft), 0.0f);
    EXPECT_NEAR(luminanceRangeMask(0.4f, soft), 0.5f, 1e-5f);
    EXPECT_EQ(luminanceRangeMask(0.5f, soft), 1.0f);
    EXPECT_EQ(luminanceRangeMask(20.0f, soft), 1.0f);
    // The feather lies wholly below the cut and rises monotonically through it.
    float previous = 0.0f;
    for (float v = 0.3f; v <= 0.5f; v += 0.001f) {
        const float m = luminanceRangeMask(v, soft);
        EXPECT_GE(m, previous) << v;
        EXPECT_GE(m, 0.0f);
        EXPECT_LE(m, 1.0f);
        if (v > 0.302f && v < 0.498f) {
            EXPECT_GT(m, 0.0f) << v;
            EXPECT_LT(m, 1.0f) << v;
        }
        previous = m;
    }
    // A feather too small to move the cut in float is a hard step at the cut.
    EXPECT_EQ(luminanceRangeMask(0.5f, cut(0.5f, 1e-12f)), 1.0f);
    EXPECT_EQ(luminanceRangeMask(0.49999f, cut(0.5f, 1e-12f)), 0.0f);

    // Inverted: bright is cut, dark passes.
    EXPECT_EQ(luminanceRangeMask(0.6f, cut(0.5f, 0.0f, true)), 0.0f);
    EXPECT_EQ(luminanceRangeMask(0.2f, cut(0.5f, 0.0f, true)), 1.0f);

    // The default upper cut is open for every finite luma; a soft upper cut fades out.
    EXPECT_EQ(luminanceRangeMask(3e38f, cut(0.0f, 0.0f)), 1.0f);
    RenderSettings band = cut(0.2f, 0.0f);
    band.highCut = 0.8f;
    band.highFeather = 0.2f;
    EXPECT_EQ(luminanceRangeMask(0.8f, band), 1.0f);
    EXPECT_NEAR(luminanceRangeMask(0.9f, band), 0.5f, 1e-5f);
    EXPECT_EQ(luminanceRangeMask(1.0f, band), 0.0f);
    band.highFeather = 0.0f;
    EXPECT_EQ(luminanceRangeMask(0.80001f, band), 0.0f);
}

TEST(LuminanceRangeMask, MonotoneInThreshold) {
    for (float v : {0.05f, 0.2f, 0.45f, 0.7f, 1.5f})
        for (float feather : {0.0f, 0.1f, 0.3f}) {
            float previous = 2.0f;
            for (float threshold = 0.0f; threshold <= 1.0f; threshold += 0.01f) {
                const float m = luminanceRangeMask(v, cut(threshold, feather));
                EXPECT_LE(m, previous) << v << " " << threshold;
                previous = m;
            }
        }
}

TEST(ExtractLuminanceRange, ScalesWholePixelsByTheirMask) {
    Image src(3, 2);
    src.pixels = {{1.0f, 1.0f, 1.0f, 1.0f},  {0.1f, 0.1f, 0.1f, 1.0f}, {0.4f, 0.4f, 0.4f, 0.5f},
                  {0.0f, 0.0f, 0.0f, 0.0f},  {4.0f, 2.0f, 0.0f, 1.0f}, {0.4f, 0.4f, 0.4f, 1.0f}};
    Image dst(7, 7);
    const RenderSettings s = cut(0.5f, 0.2f);
    extractLuminanceRange(src, dst, s);
    ASSERT_EQ(dst.width, 3);
    ASSERT_EQ(dst.height, 2);
    ASSERT_EQ(dst.pixels.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        const float m = luminanceRangeMask(luma(src.pixels[i]), s);
        EXPECT_EQ(dst.pixels[i].r, src.pixels[i].r * m);
        EXPECT_EQ(dst.pixels[i].a, src.pixels[i].a * m);
    }
    EXPECT_EQ(dst.pixels[1].a, 0.0f);                 // dark: gone
    EXPECT_EQ(dst.pixels[2].r, 0.4f);                 // premultiplied bright: kept whole
    EXPECT_NEAR(dst.pixels[5].a, 0.5f, 1e-5f);        // in the feather: half

    // Inverted, a transparent pixel has mask 1 but stays zero.
    extractLuminanceRange(src, dst, cut(0.5f, 0.0f, true));
    EXPECT_EQ(dst.pixels[3].r, 0.0f);
    EXPECT_EQ(dst.pixels[3].a, 0.0f);
    EXPECT_EQ(dst.pixels[0].a, 0.0f);
    EXPECT_EQ(dst.pixels[1].a, 1.0f);

    // In place gives the same as out of place.
    Image inPlace = src;
    extractLuminanceRange(inPlace, inPlace, s);
    extractLuminanceRange(src, dst, s);
    EXPECT_EQ(0, std::memcmp(inPlace.pixels.data(), dst.pixels.data(), 6 * sizeof(Pixel)));

    Image none(-1, 4);
    extractLuminanceRange(none, dst, s);
    EXPECT_EQ(dst.width, 0);
    EXPECT_TRUE(dst.pixels.empty());
}

// A frame large enough to be split over workers gives the bits of the same frame
// extracted on the calling thread alone.
TEST(ExtractLuminanceRange, SplitOverWorkersKeepsEveryBit) {
    Image src(700, 500);
    std::uint32_t state = 12345;
    for (Pixel& p : src.pixels) {
        auto next = [&state] { return static_cast<float>(state = state * 1664525u + 1013904223u) / 4294967296.0f; };
        const float a = next();
        p = {2.0f * next() * a, next() * a, 3.0f * next() * a, a};
    }
    const RenderSettings s = cut(0.4f, 0.3f);
    Image split, serial;
    extractLuminanceRange(src, split, s);
    raydrift::image::serially([&] { extractLuminanceRange(src, serial, s); });
    ASSERT_EQ(split.pixels.size(), serial.pixels.size());
    EXPECT_EQ(std::memcmp(split.pixels.data(), serial.pixels.data(), split.pixels.size() * sizeof(Pixel)), 0);
    Image inPlace = src;
    extractLuminanceRange(inPlace, inPlace, s);
    EXPECT_EQ(std::memcmp(inPlace.pixels.data(), serial.pixels.data(), serial.pixels.size() * sizeof(Pixel)), 0);
}

// The runs of eight pixels noted as holding light are exactly those whose selected pixels
// hold a bit other than +0, whichever pixel of the run is lit, on every instruction set.
TEST(ExtractLuminanceRange, NotesEveryRunThatHoldsLight) {
    namespace vec = raydrift::image::vec;
    Image src(203, 9);  // a partial run at each row's end
    for (int y = 0; y < src.height; ++y)
        for (int x = 0; x < src.width; ++x) {
            const int run = x / 8;
            const bool lit = x % 8 == (run + y) % 8 && (run + y) % 3 != 0;
            src.at(x, y) = lit ? Pixel{1.0f, 0.5f, -0.25f, 1.0f} : Pixel{0.1f, 0.1f, 0.1f, 1.0f};
        }
    const RenderSettings s = cut(0.4f, 0.0f);
    Image first;
    for (vec::Units units : {vec::Units::Baseline, vec::Units::Avx2, vec::Units::Avx512}) {
        vec::limitUnits(units);
        Image out;
        raydrift::image::LitGroups lit;
        extractLuminanceRange(src, out, s, &lit);
        if (first.empty()) first = out;
        EXPECT_EQ(std::memcmp(out.pixels.data(), first.pixels.data(), out.pixels.size() * sizeof(Pixel)), 0);
        for (int y = 0; y < src.height; ++y)
            for (int run = 0; run < lit.groups(); ++run) {
                bool light = false;
                for (int x = 8 * run; x < std::min(8 * run + 8, src.width); ++x) {
                    std::uint32_t bits[4];
                    std::memcpy(bits, &out.at(x, y), sizeof bits);
                    light = light || (bits[0] | bits[1] | bits[2] | bits[3]) != 0;
                }
                EXPECT_EQ(lit.lit(y, run), light) << "row " << y << " run " << run << " units " << int(units);
            }
    }
}

TEST(HasTransparentForeground, StrictlyBelowTheOpaqueLimit) {
    Image img(4, 4);
    for (Pixel& p : img.pixels) p.a = 1.0f;
    EXPECT_FALSE(hasTransparentForeground(img));
    img.at(3, 3).a = 0.9999f;
    EXPECT_FALSE(hasTransparentForeground(img));
    img.at(3, 3).a = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(hasTransparentForeground(img));
    img.at(2, 1).a = 0.99989f;
    EXPECT_TRUE(hasTransparentForeground(img));
    EXPECT_FALSE(hasTransparentForeground(Image(0, 5)));
}

}  // namespace

// The four-pixel mask agrees with the per-pixel one to the bit, for hard and soft cuts on
// both sides, inverted or not, on every instruction set, over colours and alphas that reach every branch (alpha at
// the 1e-6 limit, −0, NaN and infinite channels, negative light, a partial last group).
TEST(LuminanceRangeMask, GroupsOfFourMatchThePixelForm) {
    using raydrift::image::vec::Units;
    std::vector<Pixel> pixels;
    const float channels[] = {-0.0f, 0.0f, 0.3f, 0.396f, 0.5f, 2.0f, 80.0f, -1.0f,
                              std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()};
    const float alphas[] = {0.0f, 1e-6f, 1.1e-6f, 0.5f, 1.0f, 3.0f, -0.5f,
                            std::numeric_limits<float>::quiet_NaN()};
    for (float a : alphas)
        for (float c : channels) pixels.push_back({c * a, 0.25f * a, c, a});
    pixels.push_back({0.1f, 0.2f, 0.3f, 1.0f});  // 81 pixels: one left after the groups
    struct Cuts {
        float lowCut, lowFeather, highCut, highFeather;
        bool invert;
    };
    const Cuts cuts[] = {{0.396f, 0.0f, 3.4028235e38f, 0.0f, false},
                         {0.4f, 0.2f, 1.5f, 0.5f, false},
                         {0.4f, 0.2f, 1.5f, 0.5f, true},
                         {0.5f, 1e-9f, 0.3f, 0.0f, true},
                         {-1.0f, 0.5f, 60.0f, 40.0f, false}};
    for (Cuts const& c : cuts) {
        RenderSettings s;
        s.lowCut = c.lowCut;
        s.lowFeather = c.lowFeather;
        s.highCut = c.highCut;
        s.highFeather = c.highFeather;
        s.invert = c.invert;
        for (Units units : {Units::Baseline, Units::Avx2, Units::Avx512}) {
            raydrift::image::vec::limitUnits(units);
            std::vector<float> masks(pixels.size());
            raydrift::image::luminanceRangeMasks(pixels.data(), pixels.size(), s, masks.data());
            for (std::size_t i = 0; i < pixels.size(); ++i) {
                const float expected = luminanceRangeMask(luma(pixels[i]), s);
                EXPECT_EQ(std::memcmp(&masks[i], &expected, sizeof expected), 0)
                    << "pixel " << i << " cut " << c.lowCut << " units " << static_cast<int>(units) << ": "
                    << masks[i] << " vs " << expected;
            }
        }
    }
}

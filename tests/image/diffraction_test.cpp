#include "image/diffraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "image/streak.h"
#include "image/vector_units.h"
#include "image_test_support.h"

namespace raydrift::image {
namespace {

constexpr double kPi = 3.141592653589793;

Image noise(int w, int h, unsigned seed) {
    Image img(w, h);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (Pixel& p : img.pixels) {
        p.a = u(rng);
        p.r = u(rng) * p.a;
        p.g = 2.0f * u(rng) * p.a;
        p.b = u(rng) * p.a;
    }
    return img;
}

TEST(FlareProfile, BandsAndNormaliser) {
    // Diffraction 500 and L = 11: twelve taps, a quarter period per tap;
    // N = Σ(12 − k) + 0.85·(12 − 10 + 8 − 6 + 4 − 2).
    FlareProfile f = flareProfile(0, 11, false, 1.0f);
    EXPECT_EQ(f.taps, 12);
    EXPECT_EQ(f.depth, 0.85);
    EXPECT_NEAR(f.step, kPi / 2, 1e-15);
    EXPECT_NEAR(f.normaliser, 78.0 + 0.85 * 6.0, 1e-12);

    // Symmetric, L = 4: taps −2 … 2 weighted 1, 2, 3, 2, 1.
    f = flareProfile(0, 4, true, 0.5f);
    EXPECT_EQ(f.above, 2);
    EXPECT_EQ(f.below, 2);
    EXPECT_NEAR(f.step, kPi / 2, 1e-15);
    EXPECT_NEAR(f.normaliser, 9.0 + f.depth * (3.0 - 2.0), 1e-12);

    // Long profiles get three periods; diffraction 1 is a depth of 0.0017.
    f = flareProfile(0, 99, false, 7.0f);
    EXPECT_NEAR(f.step * f.taps, 3 * 2 * kPi, 1e-12);
    EXPECT_EQ(f.depth, 0.85);
    EXPECT_NEAR(flareProfile(0, 9, false, 1.0f / 500.0f).depth, 0.0017, 1e-9);
}

TEST(ApplyFlareStreak, MatchesTheModulatedProfile) {
    // The prefix-sum pass against the direct sum of its definition, edges included.
    for (bool symmetric : {false, true})
        for (int halfWidth : {0, 2})
            for (int length : {1, 4, 11, 30}) {
                const Image src = noise(9, 37, 7);
                Image canvas = src, scratch;
                applyFlareStreak(canvas, scratch, halfWidth, length, symmetric, 0.8f);
                const FlareProfile f = flareProfile(halfWidth, length, symmetric, 0.8f);
                for (int y = 0; y < src.height; ++y)
                    for (int x = 0; x < src.width; ++x) {
                        double sum = 0.0;
                        for (int k = -f.above; k <= f.below; ++k) {
                            const int row = y + k;
                            if (row < 0 || row >= src.height) continue;
                            double box = 0.0;
                            for (int c = x - halfWidth; c <= x + halfWidth; ++c)
                                if (c >= 0 && c < src.width) box += src.at(c, row).g;
                            box = static_cast<float>(box / (2 * halfWidth + 1));
                            const double w = symmetric ? f.above + 1 - std::abs(k) : length + 1 - k;
                            sum += w * box * (1.0 + f.depth * std::cos(f.step * k));
                        }
                        ASSERT_NEAR(canvas.at(x, y).g, sum / f.normaliser, 2e-6)
                            << symmetric << " " << halfWidth << " " << length << " @" << x << "," << y;
                    }
            }
}

TEST(ApplyFlareStreak, SinglePixelBandsFlatFieldAndBounds) {
    // One pixel, L = 11 at full strength: bands of 1 + 0.85·cos(π/2·k) above it.
    Image canvas(3, 20), scratch;
    canvas.at(1, 15) = {1.0f, 1.0f, 1.0f, 1.0f};
    applyFlareStreak(canvas, scratch, 0, 11, false, 1.0f);
    double energy = 0.0;
    for (int k = 0; k <= 11; ++k) {
        const double want = (12 - k) * (1.0 + 0.85 * std::cos(kPi / 2 * k)) / 83.1;
        EXPECT_NEAR(canvas.at(1, 15 - k).r, want, 1e-7) << k;
        energy += canvas.at(1, 15 - k).r;
    }
    EXPECT_NEAR(energy, 1.0, 1e-6);
    EXPECT_EQ(canvas.at(1, 16).r, 0.0f);
    EXPECT_EQ(canvas.at(0, 15).r, 0.0f);

    // A flat field stays 1 away from the canvas edges (rows near the bottom lose taps).
    Image flat(12, 40);
    for (Pixel& p : flat.pixels) p = {1.0f, 1.0f, 1.0f, 1.0f};
    applyFlareStreak(flat, scratch, 2, 11, false, 1.0f);
    for (int y = 0; y < 40 - 11; ++y)
        for (int x = 2; x < 10; ++x) ASSERT_NEAR(flat.at(x, y).r, 1.0f, 1e-6f) << x << "," << y;
    EXPECT_LT(flat.at(5, 39).r, 0.5f);

    // Only the rows asked for receive the streak, the same bits as the full pass; the
    // rows under them keep the box-blurred canvas.
    {
        const Image src = noise(7, 30, 3);
        Image full = src, part = src, boxed = src;
        applyFlareStreak(full, scratch, 1, 6, true, 0.6f);
        applyFlareStreak(part, scratch, 1, 6, true, 0.6f, 18);
        for (int y = 0; y < 18; ++y)
            for (int x = 0; x < 7; ++x) ASSERT_EQ(part.at(x, y).g, full.at(x, y).g) << x << "," << y;
        for (int x = 0; x < 7; ++x) {
            double box = 0.0;
            for (int c = std::max(0, x - 1); c <= std::min(6, x + 1); ++c) box += src.at(c, 25).g;
            ASSERT_NEAR(part.at(x, 25).g, box / 3.0, 1e-6) << x;
        }
    }

    // Negative colour is dropped, alpha is limited to [0, 1].
    Image odd(1, 4);
    for (Pixel& p : odd.pixels) p = {-1.0f, 2.0f, 0.0f, 3.0f};
    applyFlareStreak(odd, scratch, 0, 1, false, 1.0f);
    EXPECT_EQ(odd.at(0, 0).r, 0.0f);
    EXPECT_NEAR(odd.at(0, 0).g, 2.0f, 1e-6f);
    EXPECT_EQ(odd.at(0, 0).a, 1.0f);
}

TEST(ApplyFlareStreak, BoxAndRowBoundsKeepTheirBits) {
    // Widths that are not a multiple of the column block, box rings that wrap or hold the
    // whole row, bands of rows that are not a multiple of the rows boxed together.
    struct Case {
        int width, height, halfWidth, length;
        bool symmetric;
    };
    const Case cases[] = {{29, 50, 0, 7, false}, {29, 50, 3, 12, true},  {13, 40, 20, 30, false},
                          {41, 90, 9, 60, true}, {70, 33, 40, 1, false}, {9, 64, 1, 200, true}};
    std::mt19937 rng(11);
    for (Case const& c : cases) {
        Image src = noise(c.width, c.height, static_cast<unsigned>(c.width * 131 + c.height));
        // Some light above alpha 1, which the profile's output limits lane by lane.
        for (std::size_t i = 0; i < src.pixels.size(); i += 7) src.pixels[i].a *= 6.0f;
        const FlareProfile f = flareProfile(c.halfWidth, c.length, c.symmetric, 0.7f);
        const int rows = c.height - std::min(c.length / 3, c.height / 4);
        std::vector<int> starts(static_cast<std::size_t>(c.width)), ends(starts.size());
        for (std::size_t x = 0; x < starts.size(); ++x) {
            starts[x] = static_cast<int>(rng() % static_cast<unsigned>(c.height));
            ends[x] = starts[x] + static_cast<int>(rng() % static_cast<unsigned>(c.height + 4)) - 2;
        }
        Image result[3];
        for (vec::Units units : {vec::Units::Baseline, vec::Units::Avx2, vec::Units::Avx512}) {
            vec::limitUnits(units);
            // The box against its definition: double prefix sums, each window's difference.
            Image boxed = src;
            FlareBox(c.width, c.halfWidth).blur(boxed.pixels.data(), c.height, static_cast<std::size_t>(c.width));
            for (int y = 0; y < c.height; ++y) {
                std::vector<double> prefix(static_cast<std::size_t>(c.width + 1) * 4, 0.0);
                for (int x = 0; x < c.width; ++x)
                    for (int ch = 0; ch < 4; ++ch)
                        prefix[static_cast<std::size_t>(x + 1) * 4 + ch] =
                            prefix[static_cast<std::size_t>(x) * 4 + ch] + (&src.at(x, y).r)[ch];
                for (int x = 0; x < c.width; ++x) {
                    const std::size_t hi = static_cast<std::size_t>(std::min(c.width, x + c.halfWidth + 1));
                    const std::size_t lo = static_cast<std::size_t>(std::max(0, x - c.halfWidth));
                    for (int ch = 0; ch < 4; ++ch) {
                        const double d = prefix[hi * 4 + ch] - prefix[lo * 4 + ch];
                        ASSERT_EQ((&boxed.at(x, y).r)[ch], static_cast<float>((1.0 / (2 * c.halfWidth + 1)) * d))
                            << c.width << "x" << c.height << " @" << x << "," << y;
                    }
                }
            }
            // Rows limited per column: those asked for are the full pass's; any other row
            // is the full pass's too or kept as it was.
            Image full = boxed, part = boxed;
            applyFlareProfile(full, f, rows);
            applyFlareProfile(part, f, rows, ends.data(), starts.data());
            for (int x = 0; x < c.width; ++x)
                for (int y = 0; y < c.height; ++y) {
                    const std::size_t at = static_cast<std::size_t>(x);
                    const bool asked = y >= starts[at] && y < std::min(ends[at], rows);
                    ASSERT_TRUE(bitEqual(part.at(x, y), full.at(x, y)) ||
                                (!asked && bitEqual(part.at(x, y), boxed.at(x, y))))
                        << c.width << "x" << c.height << " @" << x << "," << y;
                }
            result[static_cast<int>(units)] = full;
        }
        EXPECT_TRUE(bitEqual(result[0], result[1]) && bitEqual(result[0], result[2])) << c.width << "x" << c.height;
    }
}

TEST(ApplyFlareStreak, WeakDiffractionIsNearlyThePlainStreak) {
    // Diffraction 1 (m = 0.0017) inside generateStreak: well under 1 % from no diffraction.
    const Image src = noise(60, 40, 8);
    RenderSettings s;
    s.scale = 1.0f;
    s.length = 15.0f;
    s.width = 4.0f;
    s.direction = 20.0f;
    Image plain = src, flare = src, scratch;
    generateStreak(plain, scratch, s, 0);
    s.diffraction = 1.0f;
    generateStreak(flare, scratch, s, 0);
    ASSERT_EQ(plain.width, flare.width);
    for (std::size_t i = 0; i < plain.pixels.size(); ++i) {
        const Pixel& a = plain.pixels[i];
        const Pixel& b = flare.pixels[i];
        ASSERT_NEAR(b.r, a.r, 0.004 * a.r + 1e-6);
        ASSERT_NEAR(b.a, a.a, 0.004 * a.a + 1e-6);
    }
}

}  // namespace
}  // namespace raydrift::image

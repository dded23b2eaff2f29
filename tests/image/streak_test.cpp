#include "image_test_support.h"
#include "image/streak.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <random>

#include "image/parallel.h"
#include "image/sampling.h"
#include "image/diffraction.h"
#include "image/streak_math.h"

namespace raydrift::image {
namespace {

RenderSettings streakSettings(float length, float width, float direction = 0.0f) {
    RenderSettings s;
    s.scale = 1.0f;
    s.length = length;
    s.width = width;
    s.direction = direction;
    s.edgeMode = EdgeMode::Clamp;
    return s;
}

Image dot(int w, int h, int x, int y, Pixel p = {1.0f, 1.0f, 1.0f, 1.0f}) {
    Image img(w, h);
    img.at(x, y) = p;
    return img;
}

Image noise(int w, int h, unsigned seed) {
    Image img(w, h);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 2.0f);
    for (Pixel& p : img.pixels) {
        p.a = u(rng) * 0.5f;
        p.r = u(rng) * p.a;
        p.g = u(rng) * p.a;
        p.b = u(rng) * p.a;
    }
    return img;
}

// The scratch image comes full of NaN, as a reused one holds old pixels: a pass that reads
// canvas memory no pass wrote shows up in the result.
Image streak(Image img, RenderSettings const& s, int margin = 0) {
    Image scratch(1024, 512);
    std::fill(scratch.pixels.begin(), scratch.pixels.end(), Pixel{NAN, NAN, NAN, NAN});
    generateStreak(img, scratch, s, margin);
    return img;
}

double total(Image const& img) {
    double t = 0.0;
    for (Pixel const& p : img.pixels) t += p.r;
    return t;
}

TEST(StreakGeometry, DerivedQuantities) {
    // 1080p at the derived scale: s = 1, L = 200, HW = round(3.5) = 4 (half away from 0).
    RenderSettings s = streakSettings(200.0f, 7.0f);
    s.scale = 0.0f;
    StreakGeometry g = streakGeometry(1920, 1080, s, 0);
    EXPECT_EQ(g.scale, 1.0f);
    EXPECT_EQ(g.length, 200);
    EXPECT_EQ(g.halfWidth, 4);
    EXPECT_EQ(g.ox, -959.5f - 6.0f);
    EXPECT_EQ(g.canvasWidth, 1919 + 2 * 6 + 1);
    EXPECT_EQ(g.canvasHeight, 1079 + 200 + 2 + 3);

    // Symmetric with a margin: half the length above and below, the margin all round.
    s.symmetric = true;
    s.length = 5.0f;
    g = streakGeometry(100, 50, s, 4);
    EXPECT_EQ(g.scale, static_cast<float>(std::sqrt(100.0 * 50.0 / 2073600.0)));
    EXPECT_EQ(g.padTop, g.half + 2 + 6);
    EXPECT_EQ(g.below, g.half + 6);
    EXPECT_EQ(g.outputWidth, 108);
    EXPECT_EQ(g.outputHeight, 58);

    // Tiny angles snap to the exact axis; diffraction needs a streak with length.
    EXPECT_TRUE(streakGeometry(10, 10, streakSettings(4, 0, 0.00001f), 0).axisAligned);
    EXPECT_FALSE(streakGeometry(10, 10, streakSettings(4, 0, 30.0f), 0).axisAligned);
    s = streakSettings(10.0f, 0.0f);
    s.diffraction = 1000.0f;
    EXPECT_EQ(streakGeometry(10, 10, s, 0).strength, 1.0f);
    s.length = 0.4f;
    EXPECT_EQ(streakGeometry(10, 10, s, 0).strength, 0.0f);
}

TEST(StreakGeometry, HostileSettingsStayDefined) {
    RenderSettings s = streakSettings(std::numeric_limits<float>::quiet_NaN(),
                                      std::numeric_limits<float>::infinity(),
                                      std::numeric_limits<float>::quiet_NaN());
    s.width = std::numeric_limits<float>::quiet_NaN();
    s.diffraction = std::numeric_limits<float>::quiet_NaN();
    const StreakGeometry g = streakGeometry(8, 8, s, 0);
    EXPECT_EQ(g.length, 0);
    EXPECT_EQ(g.halfWidth, 0);
    EXPECT_EQ(g.strength, 0.0f);
    EXPECT_TRUE(g.axisAligned);

    // A streak far beyond any memory is an allocation failure, not an overflow.
    s = streakSettings(1000.0f, 0.0f);
    s.scale = 1e9f;
    EXPECT_THROW(streakGeometry(8, 8, s, 0), std::bad_alloc);
    Image img = dot(8, 8, 4, 4), scratch;
    EXPECT_THROW(generateStreak(img, scratch, s, 0), std::bad_alloc);
}

TEST(GenerateStreak, SinglePixelProfiles) {
    // L = 4, not symmetric: the pixel and the four rows above it, fading upwards.
    const Image line = streak(dot(9, 9, 4, 4), streakSettings(4.0f, 0.0f));
    ASSERT_EQ(line.width, 9);
    ASSERT_EQ(line.height, 9);
    for (int k = 0; k <= 4; ++k)
        EXPECT_EQ(line.at(4, 4 - k).r, static_cast<float>((5 - k) / 15.0)) << "k " << k;
    for (int y = 5; y < 9; ++y) EXPECT_EQ(line.at(4, y).r, 0.0f);
    for (int x : {3, 5}) EXPECT_EQ(line.at(x, 4).r, 0.0f);

    // Symmetric, L = 4 (r = 2): a triangle centred on the pixel.
    RenderSettings sym = streakSettings(4.0f, 0.0f);
    sym.symmetric = true;
    const Image tri = streak(dot(9, 9, 4, 4), sym);
    const double expected[] = {1, 2, 3, 2, 1};
    for (int k = -2; k <= 2; ++k)
        EXPECT_EQ(tri.at(4, 4 + k).r, static_cast<float>(expected[k + 2] / 9.0)) << "k " << k;
    EXPECT_EQ(tri.at(4, 1).r, 0.0f);
    EXPECT_EQ(tri.at(4, 7).r, 0.0f);

    // The direction turns the line clockwise from up: 90 right, 180 down, 270 left.
    const struct {
        float direction;
        int dx, dy;
    } turns[] = {{90.0f, 1, 0}, {180.0f, 0, 1}, {270.0f, -1, 0}, {-90.0f, -1, 0}};
    for (auto const& t : turns) {
        const Image r = streak(dot(9, 9, 4, 4), streakSettings(4.0f, 0.0f, t.direction));
        for (int k = 0; k <= 4; ++k)
            EXPECT_EQ(r.at(4 + t.dx * k, 4 + t.dy * k).r, static_cast<float>((5 - k) / 15.0))
                << "direction " << t.direction << " k " << k;
    }

    // 90 and −270 give identical pictures, on a non-square frame too.
    const Image src = noise(13, 7, 1);
    EXPECT_TRUE(bitEqual(streak(src, streakSettings(6.0f, 3.0f, 90.0f)),
                         streak(src, streakSettings(6.0f, 3.0f, -270.0f))));
    EXPECT_TRUE(bitEqual(streak(src, streakSettings(6.0f, 3.0f, 0.00001f)),
                         streak(src, streakSettings(6.0f, 3.0f, 0.0f))));
}

TEST(GenerateStreak, NothingToSmearAndMargins) {
    const Image src = noise(6, 5, 2);
    // L = 0 and HW = 0 without a margin: the selection is the streak image.
    Image img = src, scratch;
    generateStreak(img, scratch, streakSettings(0.4f, 0.9f), 0);
    EXPECT_TRUE(bitEqual(img, src));

    // With margin 3 and Clamp: three pixels more on each side, the border repeats the edge.
    img = src;
    generateStreak(img, scratch, streakSettings(0.0f, 0.0f), 3);
    ASSERT_EQ(img.width, 12);
    ASSERT_EQ(img.height, 11);
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 12; ++x) {
            const Pixel& want = src.at(std::clamp(x - 3, 0, 5), std::clamp(y - 3, 0, 4));
            ASSERT_EQ(std::memcmp(&img.at(x, y), &want, sizeof(Pixel)), 0) << x << "," << y;
        }

    // A streak with a margin is the same streak, shifted by the margin.
    const Image plain = streak(dot(15, 15, 7, 9), streakSettings(4.0f, 2.0f));
    RenderSettings transparent = streakSettings(4.0f, 2.0f);
    transparent.edgeMode = EdgeMode::Transparent;
    const Image wide = streak(dot(15, 15, 7, 9), transparent, 3);
    ASSERT_EQ(wide.width, 21);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 15; ++x) EXPECT_EQ(wide.at(x + 3, y + 3).r, plain.at(x, y).r);

    // An empty selection comes back untouched.
    Image empty(0, 4);
    generateStreak(empty, scratch, streakSettings(10.0f, 4.0f), 2);
    EXPECT_EQ(empty.width, 0);
    EXPECT_EQ(empty.height, 4);
}

TEST(GenerateStreak, FlatFieldStaysFlatAndEnergyIsKept) {
    // Clamp fills the canvas with the edge, so a flat field has full windows everywhere
    // in the frame, with and without the modulated pass.
    Image flat(40, 30);
    const Pixel value{0.5f, 0.25f, 2.0f, 1.0f};
    for (Pixel& p : flat.pixels) p = value;
    auto relative = [](float got, float want) { return std::fabs(got - want) / want; };
    for (float direction : {0.0f, 37.0f, 90.0f, 200.0f, 311.5f})
        for (bool symmetric : {false, true})
            for (float diffraction : {0.0f, 250.0f, 500.0f}) {
                RenderSettings s = streakSettings(11.0f, 5.0f, direction);
                s.symmetric = symmetric;
                s.diffraction = diffraction;
                const Image out = streak(flat, s, 2);
                for (Pixel const& p : out.pixels) {
                    ASSERT_LE(relative(p.r, value.r), 1e-6) << direction << " " << diffraction;
                    ASSERT_LE(relative(p.g, value.g), 1e-6) << direction << " " << diffraction;
                    ASSERT_LE(relative(p.b, value.b), 1e-6) << direction << " " << diffraction;
                    ASSERT_LE(relative(p.a, value.a), 1e-6) << direction << " " << diffraction;
                }
            }

    // A streak well inside the frame keeps the light it was given, at any angle.
    RenderSettings s = streakSettings(30.0f, 6.0f);
    s.edgeMode = EdgeMode::Transparent;
    // (A soft spot: bilinear resampling of a single sharp pixel on a rotated lattice does
    // not keep its sum, a spot a few pixels wide does.)
    Image source(80, 80);
    double given = 0.0;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 80; ++x) {
            const double d2 = (x - 40.3) * (x - 40.3) + (y - 50.6) * (y - 50.6);
            source.at(x, y).r = static_cast<float>(std::exp(-d2 / 8.0));
            given += source.at(x, y).r;
        }
    for (float direction : {0.0f, 30.0f, 135.0f, 250.0f}) {
        s.direction = direction;
        EXPECT_NEAR(total(streak(source, s)) / given, 1.0, 1e-3) << direction;
    }
}

TEST(GenerateStreak, DetailsDimColumns) {
    // Details 0.5 keeps every column in [0.5, 1] and reaches both ends; above 1 is 1.
    float lo = 1.0f, hi = 0.0f;
    for (int i = 0; i < 4000; ++i) {
        const float f = detailsFactor(i, -1000.25f, 0.5f, 0.5f);
        lo = std::min(lo, f);
        hi = std::max(hi, f);
        ASSERT_EQ(detailsFactor(i, -1000.25f, 0.5f, 3.0f), detailsFactor(i, -1000.25f, 0.5f, 1.0f));
    }
    EXPECT_EQ(lo, 0.5f);
    EXPECT_EQ(hi, 1.0f);
    EXPECT_EQ(detailsFactor(7, 3.0f, 1.0f, 0.0f), 1.0f);

    // Every pixel of a canvas column gets that column's factor.
    RenderSettings s = streakSettings(4.0f, 0.0f);
    const Image plain = streak(dot(9, 9, 4, 4), s);
    s.details = 0.8f;
    const Image detailed = streak(dot(9, 9, 4, 4), s);
    const StreakGeometry g = streakGeometry(9, 9, s, 0);
    const float f = detailsFactor(4 + g.padX, g.ox, g.scale, 0.8f);
    EXPECT_LT(f, 1.0f);
    for (int y = 0; y < 9; ++y) EXPECT_EQ(detailed.at(4, y).r, plain.at(4, y).r * f);
}

TEST(GenerateStreak, BadSelectionValuesStayLocal) {
    // A NaN or Inf pixel must not wipe out the rows and columns its sums run through.
    for (float direction : {0.0f, 30.0f}) {
        RenderSettings s = streakSettings(12.0f, 4.0f, direction);
        s.diffraction = 0.0f;
        Image clean(48, 48);
        clean.at(10, 40) = {1.0f, 1.0f, 1.0f, 1.0f};
        Image bad = clean;
        bad.at(30, 10) = {std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity(), 1.0f, 1.0f};
        for (float diffraction : {0.0f, 300.0f}) {
            s.diffraction = diffraction;
            const Image a = streak(clean, s);
            const Image b = streak(bad, s);
            for (int y = 0; y < 48; ++y)
                for (int x = 0; x < 48; ++x) {
                    Pixel const& p = b.at(x, y);
                    ASSERT_TRUE(std::isfinite(p.r) && std::isfinite(p.g) && std::isfinite(p.b) &&
                                std::isfinite(p.a));
                    if (x < 22) {
                        ASSERT_EQ(p.r, a.at(x, y).r) << x << "," << y;
                    }
                }
        }
    }
}

// The streak by its definition, pass by pass, through the public building blocks: every
// canvas pixel resampled point by point, the two blurs (or the modulated pass) over the
// whole canvas, the Details columns, the crop point by point.
Image referenceStreak(Image const& src, RenderSettings const& s, int margin) {
    const StreakGeometry g = streakGeometry(src.width, src.height, s, margin);
    Image canvas(g.canvasWidth, g.canvasHeight), tmp;
    for (int j = 0; j < canvas.height; ++j)
        for (int i = 0; i < canvas.width; ++i) {
            const float u = static_cast<float>(i) + g.ox;
            const float v = static_cast<float>(j) + g.oy;
            const float x = rdCanvasToImageX(g.cs, g.sn, u, v, g.cx);
            const float y = rdCanvasToImageY(g.cs, g.sn, u, v, g.cy);
            canvas.at(i, j) = g.axisAligned ? sampling::fetch(src, static_cast<int>(x), static_cast<int>(y), s.edgeMode)
                                            : sampling::sampleBilinear(src, x, y, s.edgeMode);
        }
    if (g.strength > 0.0f) {
        applyFlareStreak(canvas, tmp, g.halfWidth, g.length, s.symmetric, g.strength);
    } else {
        if (g.halfWidth >= 1) {
            boxBlurHorizontal(canvas, tmp, g.halfWidth, EdgeMode::Transparent);
            std::swap(canvas, tmp);
        }
        if (g.length >= 1) {
            verticalStreak(canvas, tmp, g.length, s.symmetric);
            std::swap(canvas, tmp);
        }
    }
    if (s.details > 0.0f)
        for (int i = 0; i < canvas.width; ++i) {
            const float f = detailsFactor(i, g.ox, g.scale, s.details);
            for (int j = 0; j < canvas.height; ++j) {
                Pixel& p = canvas.at(i, j);
                p = {p.r * f, p.g * f, p.b * f, p.a * f};
            }
        }
    Image out(g.outputWidth, g.outputHeight);
    for (int j = 0; j < out.height; ++j)
        for (int i = 0; i < out.width; ++i) {
            const float dx = static_cast<float>(i - margin) - g.cx;
            const float dy = static_cast<float>(j - margin) - g.cy;
            const float x = rdImageToCanvasX(g.cs, g.sn, dx, dy, g.ox);
            const float y = rdImageToCanvasY(g.cs, g.sn, dx, dy, g.oy);
            out.at(i, j) = g.axisAligned
                               ? sampling::fetch(canvas, static_cast<int>(x), static_cast<int>(y),
                                                 EdgeMode::Transparent)
                               : sampling::sampleBilinear(canvas, x, y, EdgeMode::Transparent);
        }
    return out;
}

TEST(GenerateStreak, MatchesItsPassesBitForBit) {
    // The order of operations is what the GPU kernels reproduce, so the fast paths (edge
    // tables, tiles, the axis-aligned gather, rows the crop never reads left out) must
    // not move a bit. Long streaks on a small frame make most of the canvas edge-mode
    // light from outside the frame.
    const Image src = noise(37, 23, 9);
    const float directions[] = {0.0f, 90.0f, 180.0f, -90.0f, 30.0f, 137.3f, -20.0f};
    const EdgeMode modes[] = {EdgeMode::Wrap, EdgeMode::Clamp, EdgeMode::Mirror, EdgeMode::Transparent};
    int cases = 0;
    for (float direction : directions)
        for (EdgeMode mode : modes)
            for (int variant = 0; variant < 4; ++variant) {
                RenderSettings s = streakSettings(variant % 2 ? 31.0f : 6.0f, variant < 2 ? 0.0f : 9.0f,
                                                  direction);
                s.edgeMode = mode;
                s.symmetric = (variant + cases) % 3 == 0;
                s.diffraction = (cases % 4 == 1) ? 250.0f : 0.0f;
                s.details = (cases % 5 == 2) ? 0.7f : 0.0f;
                const int margin = cases % 2 ? 3 : 0;
                ++cases;
                ASSERT_TRUE(bitEqual(streak(src, s, margin), referenceStreak(src, s, margin)))
                    << "direction " << direction << " mode " << static_cast<int>(mode) << " variant "
                    << variant << " symmetric " << s.symmetric << " diffraction " << s.diffraction
                    << " details " << s.details << " margin " << margin;
            }
    // Sparse light on black, as a thresholded frame mostly is: the profile skips the
    // leading rows of zeros, which must leave every bit as the full pass gives it.
    Image sparse(120, 70);
    for (int k = 0; k < 9; ++k) sparse.at(7 + 13 * k, 5 + 7 * k) = {0.9f, 0.5f, 0.2f, 1.0f};
    sparse.at(60, 69) = {-0.0f, -0.0f, -0.0f, -0.0f};
    // Wide frames, sparse and dense: the oblique passes leave out the right of the
    // canvas's lowest rows, and the canvas where it reads only +0. Two huge values make a
    // row's box sums overflow, after which even its windows of +0 are NaN.
    Image wideSparse(300, 40);
    for (int k = 0; k < 60; ++k) wideSparse.at((k * 37) % 300, (k * 11) % 40) = {2.0f, 1.0f, 0.5f, 1.0f};
    Image huge = wideSparse;
    huge.at(40, 20) = huge.at(41, 20) = {3e38f, 3e38f, 3e38f, 1.0f};
    for (Image const* wide : {&wideSparse, &huge})
        for (float direction : {30.0f, 137.3f, -20.0f})
            for (float diffraction : {0.0f, 250.0f})
                for (EdgeMode mode : {EdgeMode::Clamp, EdgeMode::Transparent}) {
                    RenderSettings s = streakSettings(24.0f, 30.0f, direction);
                    s.edgeMode = mode;
                    s.diffraction = diffraction;
                    s.details = 0.5f;
                    EXPECT_TRUE(bitEqual(streak(*wide, s, 2), referenceStreak(*wide, s, 2)))
                        << "wide: direction " << direction << " diffraction " << diffraction << " mode "
                        << static_cast<int>(mode) << " huge " << (wide == &huge);
                }
    // A negative Length (no profile) on an oblique streak: the box alone, every row bounded.
    RenderSettings negative = streakSettings(-40.0f, 9.0f, 30.0f);
    EXPECT_TRUE(bitEqual(streak(wideSparse, negative, 2), referenceStreak(wideSparse, negative, 2)));
    const Image wideNoise = noise(300, 40, 11);
    RenderSettings dense = streakSettings(24.0f, 6.0f, 30.0f);
    dense.edgeMode = EdgeMode::Clamp;
    EXPECT_TRUE(bitEqual(streak(wideNoise, dense, 2), referenceStreak(wideNoise, dense, 2)));
    for (float direction : directions)
        for (EdgeMode mode : {EdgeMode::Transparent, EdgeMode::Clamp})
            for (float length : {3.0f, 17.0f}) {
                RenderSettings s = streakSettings(length, length > 5.0f ? 4.0f : 0.0f, direction);
                s.edgeMode = mode;
                EXPECT_TRUE(bitEqual(streak(sparse, s, 2), referenceStreak(sparse, s, 2)))
                    << "sparse: direction " << direction << " mode " << static_cast<int>(mode) << " length " << length;
            }
}

TEST(GenerateStreak, ThreadCountNeverChangesAPixel) {
    // Dense light, and sparse light whose canvas is mostly left unwritten.
    Image sparse(700, 420);
    for (int k = 0; k < 90; ++k) sparse.at((k * 97) % 700, (k * 53) % 420) = {3.0f, 1.5f, 0.5f, 1.0f};
    for (Image const& src : {noise(700, 420, 3), sparse}) {
        RenderSettings s = streakSettings(25.0f, 7.0f, 23.0f);
        s.details = 0.6f;
        for (float diffraction : {0.0f, 200.0f})
            for (bool symmetric : {false, true}) {
                s.diffraction = diffraction;
                s.symmetric = symmetric;
                const Image serial = serially([&] { return streak(src, s, 5); });
                const Image parallel = streak(src, s, 5);
                EXPECT_TRUE(bitEqual(serial, parallel)) << diffraction << " " << symmetric;
            }
    }
}

TEST(BoxBlurHorizontal, WindowsAndEdges) {
    Image src = noise(5, 3, 4), dst;
    boxBlurHorizontal(src, dst, 0, EdgeMode::Clamp);
    EXPECT_TRUE(bitEqual(src, dst));

    // One pixel at the left edge, radius 1, Transparent: a third, not a half.
    Image edge = dot(4, 1, 0, 0);
    boxBlurHorizontal(edge, dst, 1, EdgeMode::Transparent);
    EXPECT_EQ(dst.at(0, 0).r, 1.0f * (1.0f / 3.0f));
    EXPECT_EQ(dst.at(1, 0).r, 1.0f * (1.0f / 3.0f));
    EXPECT_EQ(dst.at(2, 0).r, 0.0f);

    // A 1-pixel-wide image with radius 5 uses R = 2: a window of 5.
    Image one = dot(1, 2, 0, 1);
    boxBlurHorizontal(one, dst, 5, EdgeMode::Transparent);
    EXPECT_EQ(dst.at(0, 1).r, 1.0f * (1.0f / 5.0f));
    boxBlurHorizontal(one, dst, 5, EdgeMode::Wrap);
    EXPECT_FLOAT_EQ(dst.at(0, 1).r, 1.0f);

    // Every mode against the direct mean of the edge-mapped row.
    const Image row = noise(7, 4, 5);
    for (EdgeMode mode : {EdgeMode::Wrap, EdgeMode::Clamp, EdgeMode::Mirror, EdgeMode::Transparent})
        for (int radius : {1, 3, 9}) {
            boxBlurHorizontal(row, dst, radius, mode);
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 7; ++x) {
                    double sum = 0.0;
                    for (int k = -radius; k <= radius; ++k) sum += sampling::fetch(row, x + k, y, mode).g;
                    ASSERT_NEAR(dst.at(x, y).g, sum / (2 * radius + 1), 1e-5);
                }
            Image inPlace = row;
            boxBlurHorizontal(inPlace, inPlace, radius, mode);
            EXPECT_TRUE(bitEqual(inPlace, dst));
        }
}

TEST(VerticalStreak, MatchesTheProfileAndBoundsOutput) {
    const Image src = noise(6, 23, 6);
    Image dst;
    for (bool symmetric : {false, true})
        for (int length : {1, 4, 7, 40}) {
            verticalStreak(src, dst, length, symmetric);
            // In place, and over a block of columns wider than a vector, the same bits.
            Image inPlace = src;
            verticalStreak(inPlace, inPlace, length, symmetric);
            ASSERT_TRUE(bitEqual(inPlace, dst)) << length << " " << symmetric;
            const Image wide = noise(131, 23, 7);
            Image wideOut, wideIn = wide;
            verticalStreak(wide, wideOut, length, symmetric, 17);
            verticalStreak(wideIn, wideIn, length, symmetric, 17);
            for (int y = 0; y < 17; ++y)
                for (int x = 0; x < 131; ++x) ASSERT_TRUE(bitEqual(wideIn.at(x, y), wideOut.at(x, y))) << x << "," << y;
            const int r = symmetric ? (length + 1) / 2 : length;
            const int lo = symmetric ? -r : 0;
            double norm = 0.0;
            for (int k = lo; k <= r; ++k) norm += r + 1 - std::abs(k);
            for (int y = 0; y < 23; ++y)
                for (int x = 0; x < 6; ++x) {
                    double sum = 0.0;
                    for (int k = lo; k <= r; ++k)
                        if (y + k >= 0 && y + k < 23) sum += static_cast<double>(r + 1 - std::abs(k)) * src.at(x, y + k).b;
                    ASSERT_NEAR(dst.at(x, y).b, sum / norm, 1e-6) << length << " " << symmetric;
                }
        }

    // Away from the edges the profile only moves light: each column keeps its total.
    Image spots(3, 200);
    spots.at(1, 80) = {1.0f, 0.5f, 0.25f, 1.0f};
    spots.at(1, 97) = {3.0f, 0.0f, 1.0f, 0.5f};
    spots.at(2, 120) = {0.75f, 2.0f, 0.0f, 0.25f};
    for (bool symmetric : {false, true})
        for (int length : {1, 6, 25, 60}) {
            verticalStreak(spots, dst, length, symmetric);
            for (int x = 0; x < 3; ++x) {
                double given = 0.0, kept = 0.0;
                for (int y = 0; y < 200; ++y) {
                    given += spots.at(x, y).r + spots.at(x, y).g;
                    kept += dst.at(x, y).r + dst.at(x, y).g;
                }
                ASSERT_NEAR(kept, given, 1e-6 * std::max(given, 1.0)) << length << " " << symmetric;
            }
        }

    // Writing only the first rows gives those rows bit for bit and leaves the rest alone.
    for (bool symmetric : {false, true}) {
        Image full, part(6, 23);
        for (Pixel& p : part.pixels) p = {-7.0f, -7.0f, -7.0f, -7.0f};
        verticalStreak(src, full, 9, symmetric);
        verticalStreak(src, part, 9, symmetric, 15);
        for (int y = 0; y < 23; ++y)
            for (int x = 0; x < 6; ++x)
                ASSERT_EQ(part.at(x, y).b, y < 15 ? full.at(x, y).b : -7.0f) << x << "," << y;
    }

    // Negative light is dropped and alpha never exceeds full coverage.
    Image odd(1, 3);
    for (Pixel& p : odd.pixels) p = {-1.0f, 3.0f, 0.0f, 4.0f};
    verticalStreak(odd, dst, 1, false);
    EXPECT_EQ(dst.at(0, 0).r, 0.0f);
    EXPECT_EQ(dst.at(0, 0).g, 3.0f);
    EXPECT_EQ(dst.at(0, 0).a, 1.0f);
}

}  // namespace
}  // namespace raydrift::image

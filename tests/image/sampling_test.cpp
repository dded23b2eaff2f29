#include "image/sampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

using raydrift::EdgeMode;
using raydrift::image::Image;
using raydrift::image::Pixel;
using raydrift::sampling::BilinearGrid;
using raydrift::sampling::mapCoordinate;
using raydrift::sampling::sampleBilinear;

int mapped(int c, int size, EdgeMode mode) {
    int m = -99;
    EXPECT_TRUE(mapCoordinate(c, size, mode, m)) << c << " size " << size;
    return m;
}

bool fails(int c, int size, EdgeMode mode) {
    int m = -99;
    const bool ok = mapCoordinate(c, size, mode, m);
    return !ok && m == 0;
}

bool sameBits(Pixel const& a, Pixel const& b) { return std::memcmp(&a, &b, sizeof(Pixel)) == 0; }

// A small image whose every pixel is distinct, so a wrong index shows.
Image numbered(int w, int h) {
    Image img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.at(x, y) = {float(x + 1), float(y + 1), float(x * 10 + y), 1.0f};
    return img;
}

TEST(Image, NegativeSizesStoreZeroAndNoPixels) {
    Image img(-5, 3);
    EXPECT_EQ(img.width, 0);
    EXPECT_EQ(img.height, 3);
    EXPECT_TRUE(img.pixels.empty());
    Image some(3, 2);
    EXPECT_EQ(some.pixels.size(), 6u);
    for (Pixel const& p : some.pixels) EXPECT_TRUE(sameBits(p, Pixel{}));
    some.resize(4, -1);
    EXPECT_EQ(some.height, 0);
    EXPECT_TRUE(some.pixels.empty());
}

TEST(MapCoordinate, EveryEdgeMode) {
    // Wrap: periodic, remainder towards zero then corrected.
    EXPECT_EQ(mapped(-1, 5, EdgeMode::Wrap), 4);
    EXPECT_EQ(mapped(-6, 5, EdgeMode::Wrap), 4);
    EXPECT_EQ(mapped(5, 5, EdgeMode::Wrap), 0);
    EXPECT_EQ(mapped(12, 5, EdgeMode::Wrap), 2);
    // Clamp: nearest edge pixel.
    EXPECT_EQ(mapped(-3, 5, EdgeMode::Clamp), 0);
    EXPECT_EQ(mapped(7, 5, EdgeMode::Clamp), 4);
    EXPECT_EQ(mapped(3, 5, EdgeMode::Clamp), 3);
    // Mirror: period 2·size − 2, edge pixel not repeated.
    for (int c : {-100, -1, 0, 1, 77}) EXPECT_EQ(mapped(c, 1, EdgeMode::Mirror), 0);
    const int expected4[] = {0, 1, 2, 3, 2, 1, 0, 1, 2, 3, 2};
    for (int c = 0; c <= 10; ++c) EXPECT_EQ(mapped(c, 4, EdgeMode::Mirror), expected4[c]) << c;
    EXPECT_EQ(mapped(-1, 4, EdgeMode::Mirror), 1);
    EXPECT_EQ(mapped(-2, 4, EdgeMode::Mirror), 2);
    EXPECT_EQ(mapped(-6, 4, EdgeMode::Mirror), 0);
    EXPECT_EQ(mapped(2147483647, 2, EdgeMode::Mirror), 1);
    EXPECT_EQ(mapped(-2147483647 - 1, 2147483647, EdgeMode::Mirror), 2147483644);
    // Transparent: only inside.
    EXPECT_TRUE(fails(-1, 5, EdgeMode::Transparent));
    EXPECT_TRUE(fails(5, 5, EdgeMode::Transparent));
    EXPECT_EQ(mapped(0, 5, EdgeMode::Transparent), 0);
    EXPECT_EQ(mapped(4, 5, EdgeMode::Transparent), 4);
    // No pixels, or a mode we do not know: nothing there.
    for (EdgeMode mode : {EdgeMode::Wrap, EdgeMode::Clamp, EdgeMode::Mirror, EdgeMode::Transparent}) {
        EXPECT_TRUE(fails(0, 0, mode));
        EXPECT_TRUE(fails(3, -2, mode));
    }
    EXPECT_TRUE(fails(1, 5, static_cast<EdgeMode>(4)));
    EXPECT_TRUE(fails(1, 5, static_cast<EdgeMode>(-1)));
}

TEST(SampleBilinear, CentresEdgesAndFractions) {
    const Image img = numbered(4, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            for (EdgeMode mode : {EdgeMode::Wrap, EdgeMode::Clamp, EdgeMode::Mirror, EdgeMode::Transparent})
                EXPECT_TRUE(sameBits(sampleBilinear(img, float(x), float(y), mode), img.at(x, y)));

    // Half a pixel left of the image: half of pixel (0, y) blended with nothing.
    const Pixel half = sampleBilinear(img, -0.5f, 1.0f, EdgeMode::Transparent);
    EXPECT_FLOAT_EQ(half.r, img.at(0, 1).r * 0.5f);
    EXPECT_FLOAT_EQ(half.a, 0.5f);
    // Clamp repeats the edge pixel instead.
    EXPECT_TRUE(sameBits(sampleBilinear(img, -0.5f, 1.0f, EdgeMode::Clamp), img.at(0, 1)));
    // Wrap blends with the opposite edge.
    const Pixel wrapped = sampleBilinear(img, -0.5f, 0.0f, EdgeMode::Wrap);
    EXPECT_FLOAT_EQ(wrapped.r, (img.at(3, 0).r + img.at(0, 0).r) * 0.5f);

    // Interior fraction: lerp rows of lerped columns.
    const Pixel q = sampleBilinear(img, 1.25f, 0.5f, EdgeMode::Clamp);
    const float top = rdLerp(img.at(1, 0).b, img.at(2, 0).b, 0.25f);
    const float bottom = rdLerp(img.at(1, 1).b, img.at(2, 1).b, 0.25f);
    EXPECT_EQ(q.b, rdLerp(top, bottom, 0.5f));

    // Far outside, NaN and empty images give edge-mode answers, never a crash.
    EXPECT_TRUE(sameBits(sampleBilinear(img, 1e30f, -1e30f, EdgeMode::Transparent), Pixel{}));
    EXPECT_TRUE(sameBits(sampleBilinear(img, 1e30f, 1.0f, EdgeMode::Clamp), img.at(3, 1)));
    sampleBilinear(img, std::nanf(""), 0.0f, EdgeMode::Wrap);
    EXPECT_TRUE(sameBits(sampleBilinear(Image(0, 0), 0.0f, 0.0f, EdgeMode::Clamp), Pixel{}));
}

TEST(Lerp, FusedHelperMatchesItsFormula) {
    // The fusing choice must be exactly the one the build declares, since the GPU
    // kernels follow the same switch.
    const float values[] = {0.0f, 1.0f, -3.5f, 0.1f, 1e-20f, 12345.678f, 0.333333f};
    for (float a : values)
        for (float b : values)
            for (float t : {0.0f, 0.3f, 0.7f, 0.999f}) {
                const float expected = SM_CPU_FMA ? std::fma(b - a, t, a) : a + (b - a) * t;
                EXPECT_EQ(rdLerp(a, b, t), expected);
            }
}

TEST(BilinearGrid, AxisTables) {
    BilinearGrid grid;
    EXPECT_TRUE(grid.axis(0, 10, 1.0f, 0, EdgeMode::Clamp).empty());

    const auto identity = grid.axis(6, 6, 1.0f, 0, EdgeMode::Transparent);
    ASSERT_EQ(identity.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(identity[i].index0, i);
        EXPECT_EQ(identity[i].weight, 0.0f);
        EXPECT_EQ(identity[i].index1, i + 1 < 6 ? i + 1 : -1);
    }

    // Quarter-resolution source into a full-size output: centres line up.
    const auto up = grid.axis(8, 2, 0.25f, 0, EdgeMode::Clamp);
    // i = 0: c = 0.5·0.25 − 0.5 = −0.375 → j = −1 (clamped to 0), weight 0.625.
    EXPECT_EQ(up[0].index0, 0);
    EXPECT_EQ(up[0].index1, 0);
    EXPECT_FLOAT_EQ(up[0].weight, 0.625f);
    // i = 3: c = 3.5·0.25 − 0.5 = 0.375.
    EXPECT_EQ(up[3].index0, 0);
    EXPECT_EQ(up[3].index1, 1);
    EXPECT_FLOAT_EQ(up[3].weight, 0.375f);

    // A margin of 2 shifts into the source; Transparent marks the outside with −1.
    const auto shifted = grid.axis(3, 4, 1.0f, 2, EdgeMode::Transparent);
    EXPECT_EQ(shifted[0].index0, 2);
    EXPECT_EQ(shifted[1].index0, 3);
    EXPECT_EQ(shifted[1].index1, -1);
    EXPECT_EQ(shifted[2].index0, -1);
}

TEST(BilinearGrid, RowCache) {
    const Image src = numbered(5, 4);
    BilinearGrid grid = raydrift::sampling::makeGrid(src, 5, 4, 1.0f, 1.0f, 0, EdgeMode::Transparent);
    EXPECT_EQ(grid.cachedRow[0], -2);
    EXPECT_EQ(grid.cachedRow[1], -2);

    // An outside row is all zero, lands in slot 0 and is found again.
    EXPECT_EQ(grid.loadRow(-1, -1), 0);
    for (Pixel const& p : grid.rowCache[0]) EXPECT_TRUE(sameBits(p, Pixel{}));
    EXPECT_EQ(grid.loadRow(-1, 1), 0);

    // The second load of a pair never evicts the first.
    EXPECT_EQ(grid.loadRow(2, 0), 1);
    EXPECT_EQ(grid.loadRow(3, 1), 0);  // must avoid slot 1, which holds row 2
    EXPECT_EQ(grid.cachedRow[0], 3);
    EXPECT_EQ(grid.cachedRow[1], 2);
    EXPECT_EQ(grid.loadRow(1, 0), 1);  // must avoid slot 0, which holds row 3
    EXPECT_EQ(grid.cachedRow[0], 3);
    EXPECT_EQ(grid.loadRow(3, -1), 0);  // cached: no reload
    for (int x = 0; x < 5; ++x) EXPECT_TRUE(sameBits(grid.rowCache[0][x], src.at(x, 3)));

    // Scale 1 without offset reproduces the source bit for bit.
    BilinearGrid copy = raydrift::sampling::makeGrid(src, 5, 4, 1.0f, 1.0f, 0, EdgeMode::Clamp);
    std::vector<Pixel> row;
    for (int y = 0; y < 4; ++y) {
        copy.resampleRow(y, row);
        for (int x = 0; x < 5; ++x) EXPECT_TRUE(sameBits(row[x], src.at(x, y)));
    }
}

TEST(BilinearGrid, UpsamplingMatchesPointSampling) {
    // The separable resampler and the point sampler are the same bilinear filter; with
    // exact weights (scale 0.5) they agree to the last bit.
    const Image src = numbered(6, 5);
    BilinearGrid grid = raydrift::sampling::makeGrid(src, 12, 10, 0.5f, 0.5f, 0, EdgeMode::Clamp);
    std::vector<Pixel> row;
    for (int y = 0; y < 10; ++y) {
        grid.resampleRow(y, row);
        for (int x = 0; x < 12; ++x) {
            const float sx = (static_cast<float>(x) + 0.5f) * 0.5f - 0.5f;
            const float sy = (static_cast<float>(y) + 0.5f) * 0.5f - 0.5f;
            const Pixel p = sampleBilinear(src, sx, sy, EdgeMode::Clamp);
            EXPECT_EQ(row[x].r, p.r) << x << "," << y;
            EXPECT_EQ(row[x].b, p.b) << x << "," << y;
        }
    }
}

}  // namespace

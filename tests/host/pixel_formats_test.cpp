// The conversions between host worlds and engine images, and moving pixels between
// rectangles.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "host/bounds.h"
#include "host/pixel_formats.h"
#include "host_test_support.h"

namespace hosttest {
namespace {

using raydrift::pixel_formats::readWorld;
using raydrift::pixel_formats::writeWorld;
using hostsim::World;

TEST(PixelFormats, SixteenBitFullScaleIs32768) {
    World w(3, 1, kAe16);
    const float white[4] = {32768, 32768, 32768, 32768};
    w.set(0, 0, white);
    Image image;
    ASSERT_EQ(readWorld(&w.def(), kAe16, image), PF_Err_NONE);
    EXPECT_EQ(image.at(0, 0).r, 1.0f);
    EXPECT_EQ(image.at(0, 0).a, 1.0f);
    image.at(1, 0) = {1.0f, 0.5f, 2.0f, 1.0f};
    image.at(2, 0) = {0.5f / 32768.0f, 1.5f / 32768.0f, -1.0f, 7.0f};  // halves round away from zero
    ASSERT_EQ(writeWorld(image, kAe16, &w.def(), false), PF_Err_NONE);
    float v[4];
    w.get(0, 0, v);
    EXPECT_EQ(v[1], 32768.0f);
    w.get(1, 0, v);
    EXPECT_EQ(v[1], 32768.0f);
    EXPECT_EQ(v[2], 16384.0f);
    EXPECT_EQ(v[3], 32768.0f);
    w.get(2, 0, v);
    EXPECT_EQ(v[0], 32768.0f);
    EXPECT_EQ(v[1], 1.0f);
    EXPECT_EQ(v[2], 2.0f);
    EXPECT_EQ(v[3], 0.0f);
}

// Every 8-bit After Effects value survives the trip through the engine unchanged.
TEST(PixelFormats, EightBitRoundTripIsExact) {
    World w(256, 1, kArgb);
    for (int i = 0; i < 256; ++i) {
        const float p[4] = {float(i), float(255 - i), float(i / 2), float(i % 7)};
        w.set(i, 0, p);
    }
    const World original = w;
    Image image;
    ASSERT_EQ(readWorld(&w.def(), kArgb, image), PF_Err_NONE);
    ASSERT_EQ(writeWorld(image, kArgb, &w.def(), false), PF_Err_NONE);
    EXPECT_EQ(differingPixels(w, original), 0);
}

TEST(PixelFormats, StraightAlphaWorlds) {
    World w(2, 1, kBgra);
    const float hidden[4] = {0, 200, 100, 50};  // colour under zero alpha
    const float half[4] = {128, 255, 0, 64};
    w.set(0, 0, hidden);
    w.set(1, 0, half);
    Image image;
    ASSERT_EQ(readWorld(&w.def(), kBgra, image), PF_Err_NONE);
    EXPECT_EQ(image.at(0, 0).r, 0.0f);
    EXPECT_EQ(image.at(0, 0).a, 0.0f);
    const float a = 128 * (1.0f / 255.0f);
    EXPECT_EQ(image.at(1, 0).r, (255 * (1.0f / 255.0f)) * a);
    ASSERT_EQ(writeWorld(image, kBgra, &w.def(), false), PF_Err_NONE);
    float v[4];
    w.get(0, 0, v);
    EXPECT_EQ(v[0] + v[1] + v[2] + v[3], 0.0f);
    w.get(1, 0, v);
    EXPECT_EQ(v[0], 128.0f);
    EXPECT_EQ(v[1], 255.0f);
    EXPECT_EQ(v[3], 64.0f);

    World f(1, 1, kBGra);
    const float over[4] = {1.7f, -0.5f, 2.0f, 0.25f};
    f.set(0, 0, over);
    ASSERT_EQ(readWorld(&f.def(), kBGra, image), PF_Err_NONE);
    EXPECT_EQ(image.at(0, 0).a, 1.0f);
    EXPECT_EQ(image.at(0, 0).r, -0.5f);
}

TEST(PixelFormats, FloatWorldsClampAlphaOnly) {
    World w(1, 1, kAe32);
    Image image(1, 1);
    image.at(0, 0) = {-0.25f, 3.0f, 0.5f, 1.7f};
    ASSERT_EQ(writeWorld(image, kAe32, &w.def(), false), PF_Err_NONE);
    float v[4];
    w.get(0, 0, v);
    EXPECT_EQ(v[0], 1.0f);
    EXPECT_EQ(v[1], -0.25f);
    EXPECT_EQ(v[2], 3.0f);
    image.at(0, 0) = {0.2f, 0.4f, 0.1f, 0.5f};
    ASSERT_EQ(writeWorld(image, kAe32, &w.def(), true), PF_Err_NONE);
    w.get(0, 0, v);
    EXPECT_EQ(v[0], 0.5f);
    EXPECT_EQ(v[1], 0.2f * (1.0f / 0.5f));
}

// Float worlds, read and written with every kind of channel value (NaN with payloads,
// infinities, signed zeros, negative colour, alpha beyond [0, 1] and next to the opaque
// epsilon), bit for bit against the conversion formulas channel by channel.
TEST(PixelFormats, FloatWorldsKeepEveryBitOfTheFormulas) {
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {0.0f, -0.0f, 1.0f, 0.5f, -0.25f, 1.7f, 3.0e38f, -inf, inf, 1e-6f, 1.2e-6f,
                            std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                            7.0e-39f, 0.3333333f};
    constexpr int n = sizeof values / sizeof values[0];
    const int w = n * n;  // every (colour, alpha) pair, colour channels rotated through the table
    auto c01 = [](float x) { return !(x > 0.0f) ? 0.0f : (x < 1.0f ? x : 1.0f); };
    auto same = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    Image image(w, 1);
    for (int i = 0; i < w; ++i)
        image.at(i, 0) = {values[i % n], values[(i / n + i) % n], values[(i + 3) % n], values[i / n]};
    for (int format : {kAe32, kBGra})
        for (bool alphaView : {false, true}) {
            World world(w, 1, format);
            ASSERT_EQ(writeWorld(image, format, &world.def(), alphaView), PF_Err_NONE);
            Image back;
            ASSERT_EQ(readWorld(&world.def(), format, back), PF_Err_NONE);
            for (int i = 0; i < w; ++i) {
                const raydrift::image::Pixel p = image.at(i, 0);
                const float A = c01(p.a);
                const float inv = A > 1e-6f ? 1.0f / A : 0.0f;
                const bool straight = format == kBGra || alphaView;
                const float want[4] = {format == kAe32 && !alphaView ? c01(p.a) : A, straight ? p.r * inv : p.r,
                                       straight ? p.g * inv : p.g, straight ? p.b * inv : p.b};
                float got[4];
                world.get(i, 0, got);
                for (int c = 0; c < 4; ++c)
                    ASSERT_TRUE(same(got[c], want[c])) << hostsim::formatName(format) << " " << i << " " << c;
                // Read back: After Effects floats as they are, Premiere's premultiplied by c01(alpha).
                const float a2 = format == kAe32 ? got[0] : c01(got[0]);
                const float k = format == kAe32 ? 1.0f : a2;
                const raydrift::image::Pixel r = back.at(i, 0);
                const float wantBack[4] = {format == kAe32 ? got[1] : got[1] * k, format == kAe32 ? got[2] : got[2] * k,
                                           format == kAe32 ? got[3] : got[3] * k, a2};
                const float gotBack[4] = {r.r, r.g, r.b, r.a};
                for (int c = 0; c < 4; ++c)
                    ASSERT_TRUE(same(gotBack[c], wantBack[c])) << hostsim::formatName(format) << " back " << i << " " << c;
            }
        }
}

// NaN has no quantised value: integer worlds get 0 for it, in every channel position.
TEST(PixelFormats, NanWritesZeroToIntegerWorlds) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Image image(2, 1);
    image.at(0, 0) = {nan, nan, nan, nan};
    image.at(1, 0) = {nan, 0.5f, nan, 1.0f};
    for (int format : {kArgb, kAe16, kBgra}) {
        for (bool alphaView : {false, true}) {
            World w(2, 1, format);
            const float junk[4] = {7, 7, 7, 7};
            w.set(0, 0, junk);
            w.set(1, 0, junk);
            ASSERT_EQ(writeWorld(image, format, &w.def(), alphaView), PF_Err_NONE);
            float v[4];
            w.get(0, 0, v);
            EXPECT_EQ(v[0] + v[1] + v[2] + v[3], 0.0f) << hostsim::formatName(format);
            w.get(1, 0, v);
            EXPECT_EQ(v[1], 0.0f) << hostsim::formatName(format);
            EXPECT_EQ(v[3], 0.0f) << hostsim::formatName(format);
        }
    }
}

// Bad worlds: the right code, the image or world untouched.
TEST(PixelFormats, BadWorldsAreRefused) {
    World w(4, 3, kAe32);
    Image image(2, 2);
    image.at(1, 1).r = 5.0f;
    const Image keep = image;
    PF_LayerDef def = w.def();
    def.width = 0;
    EXPECT_EQ(readWorld(&def, kAe32, image), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(readWorld(nullptr, kAe32, image), PF_Err_BAD_CALLBACK_PARAM);
    def = w.def();
    def.data = nullptr;
    EXPECT_EQ(readWorld(&def, kAe32, image), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(readWorld(&w.def(), PF_FourCC('n', 'o', 'p', 'e'), image), PF_Err_UNRECOGNIZED_PARAM_TYPE);
    EXPECT_EQ(readWorld(&w.def(), PF_PixelFormat_GPU_BGRA128, image), PF_Err_UNRECOGNIZED_PARAM_TYPE);
    EXPECT_EQ(image.width, 2);
    EXPECT_EQ(image.at(1, 1).r, 5.0f);

    const World before = w;
    EXPECT_EQ(writeWorld(image, kAe32, &w.def(), false), PF_Err_BAD_CALLBACK_PARAM);  // size mismatch
    EXPECT_EQ(writeWorld(keep, PF_FourCC('n', 'o', 'p', 'e'), &w.def(), false), PF_Err_UNRECOGNIZED_PARAM_TYPE);
    EXPECT_EQ(writeWorld(keep, kAe32, nullptr, false), PF_Err_BAD_CALLBACK_PARAM);
    def = w.def();
    def.rowbytes = 16;  // one pixel per row of four
    Image fits(4, 3);
    EXPECT_EQ(writeWorld(fits, kAe32, &def, false), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(differingPixels(w, before), 0);
    EXPECT_TRUE(w.guardsIntact());
}

TEST(Bounds, BlitCopiesTheOverlapOnly) {
    Image src(3, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) src.at(x, y) = {float(10 * y + x + 1), 0, 0, 1};
    Image dst(4, 4);
    raydrift::bounds::blit(src, dst, 2, -1);
    EXPECT_EQ(dst.at(2, 0).r, 11.0f);
    EXPECT_EQ(dst.at(3, 0).r, 12.0f);
    EXPECT_EQ(dst.at(2, 1).r, 0.0f);
    EXPECT_EQ(dst.at(0, 0).r, 0.0f);
    Image far = dst;
    raydrift::bounds::blit(src, far, 2147483647, -2147483647 - 1);
    raydrift::bounds::blit(src, far, -3, 0);
    raydrift::bounds::blit(src, far, 4, 0);
    for (std::size_t i = 0; i < far.pixels.size(); ++i) EXPECT_EQ(far.pixels[i].r, dst.pixels[i].r);
}

}  // namespace
}  // namespace hosttest

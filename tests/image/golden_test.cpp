// Whole frames of the synthetic night scene, one per view and path, compared with stored
// references so that an unintended change to the look is caught.
//
// References live in tests/data/golden/<variant>/<name>.rdf, one set per arithmetic variant
// ("separate" multiply-adds, or "fused" with RAYDRIFT_CPU_FMA): the two variants differ in
// the last bits of interpolated and luminance values, and those differences can tip a
// pixel over the threshold's hard edge, so no single tolerance would be both tight and
// safe. Within a variant the renderer is deterministic (thread split included), so the
// comparison is exact, bit for bit. Across variants the test only checks that the frames
// agree closely (see FusedAndSeparateVariantsAgree).
//
// To regenerate after an intended change of the look, run the test with
// RAYDRIFT_UPDATE_GOLDEN=1 in both variants (an FMA-off and an FMA-on build) and review
// the change. The references were made with glibc's libm; a C library whose sinf, cosf
// or sqrt round differently needs its own.
//
// File format: "RDGF", then width and height as little-endian 32-bit integers, then
// width × height × 4 little-endian 32-bit floats (r, g, b, a, row-major, premultiplied).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "image/frame.h"
#include "scenarios.h"

#ifndef RAYDRIFT_GOLDEN_DIR
#error "RAYDRIFT_GOLDEN_DIR must name the directory of the reference frames"
#endif

namespace raydrift::image {
namespace {

constexpr int kWidth = 128;
constexpr int kHeight = 72;
constexpr int kLights = 16000;  // at this size most of the scene's lights fall between pixels

char const* variantName(bool fused) { return fused ? "fused" : "separate"; }

std::string referencePath(std::string const& name, bool fused) {
    return std::string(RAYDRIFT_GOLDEN_DIR) + "/" + variantName(fused) + "/" + name + ".rdf";
}

bool updating() {
    char const* v = std::getenv("RAYDRIFT_UPDATE_GOLDEN");
    return v != nullptr && std::string(v) == "1";
}

// The file format is little-endian; so is every machine these tests run on.
static_assert(sizeof(Pixel) == 16);

bool writeFrame(std::string const& path, Image const& img) {
    std::ofstream out(path, std::ios::binary);
    if (!out) return false;
    out.write("RDGF", 4);
    const std::int32_t size[2] = {img.width, img.height};
    out.write(reinterpret_cast<char const*>(size), sizeof size);
    out.write(reinterpret_cast<char const*>(img.pixels.data()),
              static_cast<std::streamsize>(img.pixels.size() * sizeof(Pixel)));
    return static_cast<bool>(out);
}

bool readFrame(std::string const& path, Image& img) {
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    std::int32_t size[2] = {};
    if (!in.read(magic, 4) || std::memcmp(magic, "RDGF", 4) != 0) return false;
    if (!in.read(reinterpret_cast<char*>(size), sizeof size)) return false;
    if (size[0] < 0 || size[1] < 0 || size[0] > 4096 || size[1] > 4096) return false;
    img = Image(size[0], size[1]);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(img.pixels.data()),
                                     static_cast<std::streamsize>(img.pixels.size() * sizeof(Pixel))));
}

struct GoldenFrame {
    char const* name;
    bool transparentBorder;
    std::function<void(RenderSettings&)> adjust;
};

std::vector<GoldenFrame> goldenFrames() {
    return {
        {"matte", false, [](RenderSettings& s) { s.view = ViewMode::Matte; s.lowFeather = 0.2f; }},
        {"performance", false, [](RenderSettings& s) { s.view = ViewMode::Performance; s.performance = true; }},
        {"quality", false,
         [](RenderSettings& s) { s.width = 40.0f; s.blendMode = BlendMode::Screen; s.symmetric = true; }},
        {"black-performance", false,
         [](RenderSettings& s) {
             s.view = ViewMode::Black;
             s.performance = true;
             s.direction = 30.0f;
             s.details = 0.5f;
         }},
        {"alpha-quality", false,
         [](RenderSettings& s) { s.view = ViewMode::Alpha; s.intensity = 2.5f; s.direction = 90.0f; }},
        {"chromatic-quality", true,
         [](RenderSettings& s) {
             s.chromaticAmount = 30.0f;
             s.tint = 0.5f;
             s.saturation = 0.7f;
             s.blendMode = BlendMode::SoftLight;
         }},
        {"chromatic-performance", true,
         [](RenderSettings& s) {
             s.view = ViewMode::Performance;
             s.performance = true;
             s.chromaticAmount = 30.0f;
             s.tint = 0.5f;
             s.channels = 2;
             s.direction = 45.0f;
         }},
        {"diffraction-quality", false,
         [](RenderSettings& s) { s.diffraction = 250.0f; s.width = 20.0f; s.direction = 30.0f; }},
    };
}

Image renderGolden(GoldenFrame const& frame) {
    const Image src = bench::syntheticFrame(kWidth, kHeight, frame.transparentBorder, kLights);
    RenderSettings s;
    s.useGpu = false;
    frame.adjust(s);
    Image dst;
    processFrame(src, dst, s);
    return dst;
}

struct Difference {
    std::size_t channels = 0;  // channels whose bits differ
    double largest = 0.0;      // largest absolute difference between finite values
};

Difference compare(Image const& a, Image const& b) {
    Difference d;
    const float* x = reinterpret_cast<const float*>(a.pixels.data());
    const float* y = reinterpret_cast<const float*>(b.pixels.data());
    for (std::size_t i = 0; i < a.pixels.size() * 4; ++i) {
        if (std::memcmp(&x[i], &y[i], sizeof(float)) == 0) continue;
        ++d.channels;
        if (std::isfinite(x[i]) && std::isfinite(y[i]))
            d.largest = std::max(d.largest, std::fabs(static_cast<double>(x[i]) - y[i]));
    }
    return d;
}

TEST(GoldenFrames, MatchTheStoredReferences) {
    const bool fused = SM_CPU_FMA != 0;
    for (GoldenFrame const& frame : goldenFrames()) {
        const Image got = renderGolden(frame);
        const std::string path = referencePath(frame.name, fused);
        if (updating()) {
            ASSERT_TRUE(writeFrame(path, got)) << "cannot write " << path;
            continue;
        }
        Image expected;
        ASSERT_TRUE(readFrame(path, expected))
            << "missing or unreadable reference " << path
            << " (run with RAYDRIFT_UPDATE_GOLDEN=1 to create it)";
        ASSERT_EQ(got.width, expected.width) << frame.name;
        ASSERT_EQ(got.height, expected.height) << frame.name;
        const Difference d = compare(got, expected);
        EXPECT_EQ(d.channels, 0u) << frame.name << ": " << d.channels
                                  << " channels differ, largest difference " << d.largest;
    }
}

TEST(GoldenFrames, FusedAndSeparateVariantsAgree) {
    if (updating()) GTEST_SKIP() << "regenerating references";
    const bool fused = SM_CPU_FMA != 0;
    for (GoldenFrame const& frame : goldenFrames()) {
        Image other;
        if (!readFrame(referencePath(frame.name, !fused), other)) continue;
        const Image got = renderGolden(frame);
        ASSERT_EQ(got.pixels.size(), other.pixels.size());
        // Last-bit differences, amplified at most by the streak sums; a pixel whose luma
        // sits on the threshold's hard edge may flip, so a few larger ones are allowed.
        std::size_t large = 0;
        const float* x = reinterpret_cast<const float*>(got.pixels.data());
        const float* y = reinterpret_cast<const float*>(other.pixels.data());
        for (std::size_t i = 0; i < got.pixels.size() * 4; ++i) {
            const float tolerance = 1e-5f * std::max(1.0f, std::fabs(y[i]));
            if (!(std::fabs(x[i] - y[i]) <= tolerance)) ++large;
        }
        EXPECT_LE(large, got.pixels.size() * 4 / 1000) << frame.name;
    }
}

TEST(GoldenFrames, TheSceneHasLightToStreak) {
    // A reference of an unlit frame would catch nothing.
    const Image src = bench::syntheticFrame(kWidth, kHeight, false, kLights);
    int bright = 0;
    for (Pixel const& p : src.pixels) bright += p.r + p.g + p.b > 1.5f ? 1 : 0;
    EXPECT_GT(bright, 40);
    RenderSettings s;
    s.useGpu = false;
    Image dst;
    processFrame(src, dst, s);
    EXPECT_GT(compare(dst, src).channels, src.pixels.size() / 4);
}

}  // namespace
}  // namespace raydrift::image

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
#include <limits>
#include <functional>
#include <string>
#include <vector>

#include "image/frame.h"
#include "image/streak.h"
#include "image/vector_units.h"
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

// Streaks of random settings on small random frames, pinned by a hash of their bits: the
// fast paths of the streak passes (vector units, fused passes, tiles) are checked against
// what the plain scalar passes produced. Sizes are odd and even, canvases narrower and
// wider than a vector, directions exact and oblique, every edge mode, both profiles, with
// and without diffraction and Details, margins, and selections with non-finite and
// negative values. The last cases are big enough to be split across threads.
struct StreakCase {
    int width = 0, height = 0, margin = 0;
    RenderSettings settings;
    unsigned seed = 0;
};

std::uint64_t mix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

std::vector<StreakCase> streakCases() {
    std::vector<StreakCase> cases;
    std::uint64_t state = 20261207;
    auto unit = [&] { return static_cast<float>(mix(state) >> 40) / 16777216.0f; };
    auto below = [&](int n) { return static_cast<int>(mix(state) % static_cast<std::uint64_t>(n)); };
    const float exact[] = {0.0f, 90.0f, -90.0f, 180.0f, 270.0f, 30.0f, 45.0f, 0.00001f};
    for (int k = 0; k < 64; ++k) {
        StreakCase c;
        const bool big = k >= 60;
        c.width = big ? 300 + below(200) : 1 + below(70);
        c.height = big ? 200 + below(100) : 1 + below(50);
        c.margin = below(3) == 0 ? below(7) : 0;
        c.seed = static_cast<unsigned>(mix(state));
        RenderSettings& s = c.settings;
        s.scale = below(4) == 0 ? 0.0f : 0.5f + unit();
        s.length = below(6) == 0 ? 0.0f : unit() * (big ? 150.0f : 60.0f);
        s.width = below(3) == 0 ? 0.0f : unit() * 30.0f;
        s.direction = below(2) == 0 ? exact[below(8)] : (unit() - 0.5f) * 720.0f;
        s.symmetric = below(2) == 0;
        s.diffraction = below(2) == 0 ? 0.0f : unit() * 600.0f;
        s.details = below(3) == 0 ? unit() * 1.2f : 0.0f;
        s.edgeMode = static_cast<EdgeMode>(below(3));
        cases.push_back(c);
    }
    return cases;
}

Image streakCaseSource(StreakCase const& c) {
    Image img(c.width, c.height);
    std::uint64_t state = c.seed;
    for (Pixel& p : img.pixels) {
        const std::uint64_t r = mix(state);
        const float a = static_cast<float>(r & 0xffff) / 65535.0f;
        const float level = (r >> 60) == 0 ? 40.0f : 1.5f;  // a few lights far above 1
        p = {level * a * static_cast<float>((r >> 16) & 0xff) / 255.0f,
             level * a * static_cast<float>((r >> 24) & 0xff) / 255.0f,
             level * a * (static_cast<float>((r >> 32) & 0xff) / 255.0f - 0.1f), a};
        if (((r >> 40) & 0x3ff) == 0) p.g = std::numeric_limits<float>::infinity();
        if (((r >> 40) & 0x3ff) == 1) p.r = std::numeric_limits<float>::quiet_NaN();
    }
    return img;
}

std::uint64_t bitsHash(Image const& img) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    auto add = [&](void const* data, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            h ^= static_cast<unsigned char const*>(data)[i];
            h *= 0x100000001b3ull;
        }
    };
    add(&img.width, sizeof img.width);
    add(&img.height, sizeof img.height);
    add(img.pixels.data(), img.pixels.size() * sizeof(Pixel));
    return h;
}

TEST(GoldenFrames, RandomStreaksKeepTheirBits) {
    const std::string path = std::string(RAYDRIFT_GOLDEN_DIR) + "/" + variantName(SM_CPU_FMA != 0) +
                             "/streak-hashes.txt";
    const std::vector<StreakCase> cases = streakCases();
    // Every instruction set this processor offers gives the same bits.
    // The banded form hands over the same rows: written into its scratch as they come.
    std::vector<std::uint64_t> got, wide[2], banded;
    for (vec::Units units : {vec::Units::Baseline, vec::Units::Avx2, vec::Units::Avx512}) {
        vec::limitUnits(units);
        std::vector<std::uint64_t>& hashes =
            units == vec::Units::Baseline ? got : wide[units == vec::Units::Avx512 ? 1 : 0];
        for (StreakCase const& c : cases) {
            Image img = streakCaseSource(c), scratch;
            generateStreak(img, scratch, c.settings, c.margin);
            hashes.push_back(bitsHash(img));
            if (units != vec::Units::Baseline) continue;
            Image bandImg = streakCaseSource(c), result;
            generateStreak(bandImg, result, c.settings, c.margin,
                           [&](int y0, int y1, Pixel const* rows, std::size_t stride) {
                               for (int y = y0; y < y1; ++y)
                                   std::copy_n(rows + static_cast<std::size_t>(y - y0) * stride, result.width,
                                               result.pixels.begin() + static_cast<std::ptrdiff_t>(y) * result.width);
                           });
            banded.push_back(bitsHash(result));
        }
    }
    EXPECT_EQ(got, wide[0]);
    EXPECT_EQ(got, wide[1]);
    EXPECT_EQ(got, banded);
    if (updating()) {
        std::ofstream out(path);
        for (std::uint64_t h : got) out << std::hex << h << "\n";
        ASSERT_TRUE(static_cast<bool>(out)) << "cannot write " << path;
        return;
    }
    std::ifstream in(path);
    std::vector<std::uint64_t> expected;
    for (std::uint64_t h; in >> std::hex >> h;) expected.push_back(h);
    ASSERT_EQ(expected.size(), cases.size()) << "missing or short " << path;
    for (std::size_t k = 0; k < cases.size(); ++k) {
        RenderSettings const& s = cases[k].settings;
        EXPECT_EQ(got[k], expected[k])
            << "case " << k << ": " << cases[k].width << "x" << cases[k].height << " margin "
            << cases[k].margin << " scale " << s.scale << " length " << s.length << " width " << s.width
            << " direction " << s.direction << " symmetric " << s.symmetric << " diffraction "
            << s.diffraction << " details " << s.details << " edge " << static_cast<int>(s.edgeMode);
    }
}

}  // namespace
}  // namespace raydrift::image

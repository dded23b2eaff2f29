// processFrame over small images of any float bit patterns and settings of any value
// (enumerations out of range included). The frame either renders, at its input's size,
// or fails with std::bad_alloc for a working image it cannot have; it never leaves a
// frame or a worker counted, and rendering in place gives the same bits.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "host/frame_memory.h"
#include "image/frame.h"
#include "image/image.h"
#include "image/parallel.h"
#include "settings/render_settings.h"

namespace {

using raydrift::RenderSettings;
using raydrift::image::Image;
using raydrift::image::Pixel;

constexpr std::uint64_t kMaxWorkingBytes = std::uint64_t{1} << 20;

float anyFloat(FuzzedDataProvider& in) {
    static const float kPicks[] = {0.0f,    -0.0f,   1.0f,     -1.0f,    0.5f,    2.0f,   1e-30f,
                                   1e30f,   -1e30f,  1e-40f,   FLT_MAX,  -FLT_MAX, 64.0f,  100.0f,
                                   500.0f,  1000.0f, 45.0f,    90.0f,    1e6f,    0.25f,  3.0f,
                                   std::numeric_limits<float>::infinity(),
                                   -std::numeric_limits<float>::infinity(),
                                   std::numeric_limits<float>::quiet_NaN()};
    const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < sizeof kPicks / sizeof kPicks[0]) return kPicks[pick];
    if (pick < 160) return in.ConsumeFloatingPointInRange<float>(-2.0f, 1000.0f);
    const std::uint32_t bits = in.ConsumeIntegral<std::uint32_t>();
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

template <class E>
E anyEnum(FuzzedDataProvider& in, int items) {
    const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < 240) return static_cast<E>(pick % items);
    return static_cast<E>(in.ConsumeIntegral<std::int32_t>());
}

bool moderate(float v, float limit) { return std::isfinite(v) && std::fabs(v) <= limit; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    RenderSettings s;
    s.useGpu = in.ConsumeBool();
    s.performance = in.ConsumeBool();
    s.view = anyEnum<raydrift::ViewMode>(in, 5);
    s.blendMode = anyEnum<raydrift::BlendMode>(in, 14);
    s.edgeMode = anyEnum<raydrift::EdgeMode>(in, 4);
    s.channels = in.ConsumeIntegral<std::uint8_t>() < 240 ? in.ConsumeIntegralInRange<int>(0, 2)
                                                          : in.ConsumeIntegral<std::int32_t>();
    s.invert = in.ConsumeBool();
    s.symmetric = in.ConsumeBool();
    s.jitterLength = in.ConsumeBool();
    s.jitterWidth = in.ConsumeBool();
    s.jitterDiffraction = in.ConsumeBool();
    float* const fields[] = {&s.scale, &s.lowCut, &s.lowFeather, &s.highCut, &s.highFeather, &s.length,
                             &s.width, &s.direction, &s.details, &s.diffraction, &s.intensity,
                             &s.lengthJitterAmount, &s.lengthJitterSpeed, &s.widthJitterAmount,
                             &s.widthJitterSpeed, &s.diffractionJitterAmount, &s.diffractionJitterSpeed,
                             &s.saturation, &s.tint, &s.tintR, &s.tintG, &s.tintB, &s.chromaticAmount,
                             &s.opacity};
    // Each field keeps its default unless the fuzzer picks it.
    const std::uint32_t chosen = in.ConsumeIntegral<std::uint32_t>();
    for (std::size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
        if (chosen & (1u << i)) *fields[i] = anyFloat(in);
    if (in.ConsumeBool()) s.time = in.ConsumeFloatingPoint<double>();

    const int w = in.ConsumeIntegralInRange<int>(0, 24);
    const int h = in.ConsumeIntegralInRange<int>(0, 24);
    Image src(w, h);
    bool moderatePixels = true;
    for (Pixel& p : src.pixels) {
        float* c[] = {&p.r, &p.g, &p.b, &p.a};
        for (float* v : c) {
            if (in.remaining_bytes() >= 4 && in.ConsumeBool()) {
                const std::uint32_t bits = in.ConsumeIntegral<std::uint32_t>();
                std::memcpy(v, &bits, sizeof *v);
            } else {
                *v = in.ConsumeFloatingPointInRange<float>(-0.5f, 8.0f);
            }
            moderatePixels = moderatePixels && moderate(*v, 1e4f);
        }
    }

    if (std::getenv("RAYDRIFT_FUZZ_VERBOSE")) {
        std::fprintf(stderr, "%dx%d view %d perf %d blend %d edge %d ch %d sym %d jit %d%d%d time %g\n", w, h,
                     static_cast<int>(s.view), s.performance, static_cast<int>(s.blendMode),
                     static_cast<int>(s.edgeMode), s.channels, s.symmetric, s.jitterLength, s.jitterWidth,
                     s.jitterDiffraction, s.time);
        for (float* f : fields) std::fprintf(stderr, " %g", *f);
        std::fprintf(stderr, "\n");
    }

    // Bounded work. The host's estimate of the frame's working set decides: frames that
    // would need more are skipped (slow, not interesting), and a frame the engine cannot
    // address must be refused, while one that fits must render; an estimate below what
    // the engine really allocates shows as libFuzzer's allocation limit.
    const std::uint64_t need = raydrift::frame_memory::frameBytes(w, h, s);
    const bool unaddressable = need == std::numeric_limits<std::uint64_t>::max();
    if (!unaddressable && need > kMaxWorkingBytes) return 0;

    Image dst(3, 5);
    bool refused = false;
    try {
        raydrift::image::processFrame(src, dst, s);
    } catch (std::bad_alloc const&) {
        refused = true;
    }
    check(raydrift::parallel::activeFrames.load() == 0);
    check(raydrift::parallel::helpersInUse.load() == 0);
    check(refused == unaddressable);
    if (refused) return 0;
    check(dst.width == w && dst.height == h && dst.pixels.size() == dst.pixelCount());

    // In-range settings over moderate HDR pictures give finite pictures.
    bool moderateSettings = s.intensity <= 10.0f && moderate(s.highCut, FLT_MAX);
    for (std::size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
        if (fields[i] != &s.highCut) moderateSettings = moderateSettings && moderate(*fields[i], 1000.0f);
    moderateSettings = moderateSettings && std::isfinite(s.time);
    if (moderatePixels && moderateSettings)
        for (Pixel const& p : dst.pixels)
            check(std::isfinite(p.r) && std::isfinite(p.g) && std::isfinite(p.b) && std::isfinite(p.a));

    // The same frame rendered in place.
    Image inPlace = src;
    raydrift::image::processFrame(inPlace, inPlace, s);
    check(inPlace.width == w && inPlace.height == h);
    if (!dst.pixels.empty())
        check(std::memcmp(inPlace.pixels.data(), dst.pixels.data(), dst.pixels.size() * sizeof(Pixel)) == 0);
    check(raydrift::parallel::activeFrames.load() == 0);
    return 0;
}

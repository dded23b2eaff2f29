// The GPU frame renderer on the software Metal device over small frames with any
// settings and pixels: it never throws, leaves nothing admitted, and every frame it
// renders agrees with the CPU engine within a 16-bit step per channel.
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
#include <string>

#include "gpu/metal_context.h"
#include "gpu/metal_frame.h"
#include "host/frame_memory.h"
#include "image/frame.h"
#include "metal_seam.h"
#include "software/software_device.h"

namespace {

using raydrift::RenderSettings;
using raydrift::image::Image;
using raydrift::image::Pixel;

constexpr std::uint64_t kMaxWorkingBytes = std::uint64_t{1} << 20;

float anyFloat(FuzzedDataProvider& in) {
    static const float kPicks[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 2.0f, 1e-30f, 1e30f, 64.0f, 100.0f,
                                   500.0f, 45.0f, 90.0f, 450.0f, 0.25f, 3.0f, 16384.0f,
                                   std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
    if (pick < sizeof kPicks / sizeof kPicks[0]) return kPicks[pick];
    if (pick < 200) return in.ConsumeFloatingPointInRange<float>(-2.0f, 400.0f);
    const std::uint32_t bits = in.ConsumeIntegral<std::uint32_t>();
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

void installDevice() {
    static const bool installed = [] {
        MTL::Device* device = rdmtl::newSoftwareDevice();
        rdmtl::installSystemDefaultDevice(device);
        device->release();
        return true;
    }();
    (void)installed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    installDevice();
    FuzzedDataProvider in(data, size);
    RenderSettings s;
    s.performance = in.ConsumeBool();
    s.view = static_cast<raydrift::ViewMode>(in.ConsumeIntegralInRange<int>(0, 5));
    s.blendMode = static_cast<raydrift::BlendMode>(in.ConsumeIntegralInRange<int>(0, 14));
    // Edge modes beyond Transparent never come from the parameters; the GPU declines them.
    s.edgeMode = static_cast<raydrift::EdgeMode>(in.ConsumeIntegralInRange<int>(-1, 5));
    s.channels = in.ConsumeIntegralInRange<int>(0, 3);
    s.invert = in.ConsumeBool();
    s.symmetric = in.ConsumeBool();
    s.jitterLength = in.ConsumeBool();
    s.jitterDiffraction = in.ConsumeBool();
    float* const fields[] = {&s.scale, &s.lowCut, &s.lowFeather, &s.highCut, &s.highFeather, &s.length,
                             &s.width, &s.direction, &s.details, &s.diffraction, &s.intensity,
                             &s.saturation, &s.tint, &s.tintR, &s.tintG, &s.tintB, &s.chromaticAmount,
                             &s.opacity};
    const std::uint32_t chosen = in.ConsumeIntegral<std::uint32_t>();
    for (std::size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
        if (chosen & (1u << i)) *fields[i] = anyFloat(in);
    s.time = in.ConsumeFloatingPointInRange<double>(0.0, 100.0);

    const int w = in.ConsumeIntegralInRange<int>(0, 16);
    const int h = in.ConsumeIntegralInRange<int>(0, 16);
    Image src(w, h);
    for (Pixel& p : src.pixels)
        for (float* v : {&p.r, &p.g, &p.b, &p.a}) *v = in.ConsumeBool() ? anyFloat(in) : in.ConsumeFloatingPointInRange<float>(-0.5f, 4.0f);

    // Bounded work: the CPU side renders the same frame for comparison.
    const std::uint64_t need = raydrift::frame_memory::frameBytes(w, h, s);
    if (need > kMaxWorkingBytes) return 0;

    Image gpu;
    std::string reason;
    const bool rendered = raydrift::metal::frame(src, gpu, s, &reason);
    check(raydrift::metal::admissionGate.active() == 0);
    check(rendered || !reason.empty());
    if (!rendered) {
        check(gpu.pixels.empty());
        return 0;
    }
    RenderSettings cpuSettings = s;
    cpuSettings.useGpu = false;
    Image cpu;
    raydrift::image::processFrame(src, cpu, cpuSettings);
    check(gpu.width == cpu.width && gpu.height == cpu.height);
    for (std::size_t i = 0; i < cpu.pixels.size(); ++i) {
        const float g[4] = {gpu.pixels[i].r, gpu.pixels[i].g, gpu.pixels[i].b, gpu.pixels[i].a};
        const float c[4] = {cpu.pixels[i].r, cpu.pixels[i].g, cpu.pixels[i].b, cpu.pixels[i].a};
        for (int k = 0; k < 4; ++k) {
            if (g[k] == c[k] || (std::isnan(g[k]) && std::isnan(c[k]))) continue;
            const double bar = std::ldexp(std::fmax(std::fabs(static_cast<double>(c[k])), 1.0), -16);
            if (!(std::fabs(static_cast<double>(g[k]) - static_cast<double>(c[k])) <= bar)) {
                std::fprintf(stderr, "pixel %zu channel %d: gpu %.9g cpu %.9g\n%dx%d view %d perf %d blend %d edge %d ch %d inv %d sym %d jit %d%d time %g\n",
                             i, k, g[k], c[k], w, h, static_cast<int>(s.view), s.performance,
                             static_cast<int>(s.blendMode), static_cast<int>(s.edgeMode), s.channels, s.invert,
                             s.symmetric, s.jitterLength, s.jitterDiffraction, s.time);
                for (float* f : fields) std::fprintf(stderr, " %.9g", *f);
                std::fprintf(stderr, "\n");
                check(false);
            }
        }
    }
    return 0;
}

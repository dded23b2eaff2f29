// Both hosts' GPU paths on real CUDA and OpenCL devices that the simulated host opens
// through their drivers: the same settings rendered on the device and by the CPU engine
// must agree, with float frames and canvas offsets in the first host and float and half
// frames in the second, and the host must get back everything the plug-in took.
// OpenCL runs on whatever the ICD offers (PoCL's CPU device in CI, asked for by name);
// without a CUDA driver the CUDA cases report themselves skipped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "PrSDKPixelFormat.h"
#include "host/entry.h"
#include "host_gpu_support.h"
#include "host_test_support.h"

namespace hostsim {
// Test names and messages show the back end by name.
void PrintTo(GpuBackend backend, std::ostream* os) { *os << backendName(backend); }
}  // namespace hostsim

namespace {

using namespace hosttest;
using hostsim::FrameRequest;
using hostsim::GpuBackend;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::World;
namespace rd = raydrift;

// A GPU device of the back end, or its CPU device when it has only that.
std::optional<hostsim::GpuDevice> deviceOf(GpuBackend backend) {
    std::optional<hostsim::GpuDevice> cpu;
    for (hostsim::GpuDevice const& d : hostsim::gpuDevices()) {
        if (d.backend != backend) continue;
        if (!d.cpu) return d;
        if (!cpu) cpu = d;
    }
    return cpu;
}

float toHalfPrecision(float v) {
    if (v == 0.0f || !std::isfinite(v)) return v;
    int e;
    const float m = std::frexp(v, &e);
    return std::ldexp(std::nearbyint(std::ldexp(m, 11)), e - 11);
}

struct Measure {
    double identical = 0.0;  // share of pixels identical in all four channels
    double worst = 0.0;      // in units of 2^-16·max(|cpu|,1) (half frames: of the CPU's value
                             // rounded to halves, one half step allowed)
};

Measure measure(World const& gpu, World const& cpu, bool half) {
    Measure m;
    long same = 0;
    for (int y = 0; y < cpu.height(); ++y)
        for (int x = 0; x < cpu.width(); ++x) {
            float g[4], c[4];
            gpu.get(x, y, g);
            cpu.get(x, y, c);
            bool identical = true;
            for (int k = 0; k < 4; ++k) {
                const float ref = half ? toHalfPrecision(c[k]) : c[k];
                identical = identical && std::memcmp(&g[k], &ref, 4) == 0;
                double bar = std::ldexp(std::fmax(std::fabs(ref), 1.0), -16);
                if (half) bar = std::fmax(bar, std::fabs(ref) * std::ldexp(1.0, -11));
                const double error = std::fabs(g[k] - ref);
                m.worst = std::fmax(m.worst, error == 0.0 ? 0.0 : error / bar);
                if (std::isnan(g[k]) != std::isnan(c[k])) m.worst = INFINITY;
            }
            same += identical;
        }
    m.identical = static_cast<double>(same) / static_cast<double>(std::max(cpu.width() * cpu.height(), 1));
    return m;
}

struct Scenario {
    std::string name;
    void (*set)(std::vector<PF_ParamDef>&);
    bool exact = false;  // the whole frame bit for bit
};

// Views, the horizontal and vertical pass choices, blend modes, edge modes, directions,
// colour: a representative part of the GPU renderer's agreement table, as parameters.
std::vector<Scenario> scenarios() {
    return {
        {"quality", [](std::vector<PF_ParamDef>&) {}},
        {"performance", [](std::vector<PF_ParamDef>& p) { setMenu(p, rd::kParamView, 2); }},
        {"matte", [](std::vector<PF_ParamDef>& p) { setMenu(p, rd::kParamView, 1); }, true},
        {"black", [](std::vector<PF_ParamDef>& p) { setMenu(p, rd::kParamView, 4); }},
        {"alpha", [](std::vector<PF_ParamDef>& p) { setMenu(p, rd::kParamView, 5); }},
        {"intensity 0", [](std::vector<PF_ParamDef>& p) { setFloat(p, rd::kParamIntensity, 0.0); }, true},
        {"screen", [](std::vector<PF_ParamDef>& p) { setMenu(p, rd::kParamBlendMode, 4); }},
        {"overlay", [](std::vector<PF_ParamDef>& p) { setMenu(p, rd::kParamBlendMode, 8); }},
        {"color dodge (prefix sums)",
         [](std::vector<PF_ParamDef>& p) {
             setMenu(p, rd::kParamBlendMode, 11);
             setFloat(p, rd::kParamWidth, 12.0);
         }},
        {"color burn", [](std::vector<PF_ParamDef>& p) { setMenu(p, rd::kParamBlendMode, 12); }},
        {"difference", [](std::vector<PF_ParamDef>& p) { setMenu(p, rd::kParamBlendMode, 13); }},
        {"wide (rolling sums)", [](std::vector<PF_ParamDef>& p) { setFloat(p, rd::kParamWidth, 300.0); }},
        {"no width", [](std::vector<PF_ParamDef>& p) { setFloat(p, rd::kParamWidth, 0.0); }},
        {"no length", [](std::vector<PF_ParamDef>& p) { setFloat(p, rd::kParamLength, 0.0); }},
        {"edge wrap", [](std::vector<PF_ParamDef>& p) { setMenu(p, rd::kParamEdgeMode, 1); }},
        {"edge mirror, symmetric",
         [](std::vector<PF_ParamDef>& p) {
             setMenu(p, rd::kParamEdgeMode, 3);
             setCheckbox(p, rd::kParamSymmetric, true);
         }},
        {"direction 90", [](std::vector<PF_ParamDef>& p) { p[rd::kParamDirection].u.ad.value = 90 << 16; }},
        {"direction 137", [](std::vector<PF_ParamDef>& p) { p[rd::kParamDirection].u.ad.value = 137 << 16; }},
        {"diffraction (modulated)", [](std::vector<PF_ParamDef>& p) { setFloat(p, rd::kParamDiffraction, 60.0); }},
        {"chromatic", [](std::vector<PF_ParamDef>& p) { setFloat(p, rd::kParamChromaticAmount, 40.0); }},
        {"tint",
         [](std::vector<PF_ParamDef>& p) {
             setFloat(p, rd::kParamTintMix, 70.0);
             p[rd::kParamTintColor].u.cd.value = PF_Pixel{255, 250, 120, 30};
         }},
    };
}

class HostNativeDevices : public HostGpuTest, public ::testing::WithParamInterface<GpuBackend> {};

TEST_P(HostNativeDevices, BothHostsAgreeWithTheCpuAndGiveBackWhatTheyTook) {
    const std::optional<hostsim::GpuDevice> device = deviceOf(GetParam());
    if (!device) GTEST_SKIP() << "no " << hostsim::backendName(GetParam()) << " device";
    std::printf("%s device: %s%s\n", hostsim::backendName(device->backend), device->name.c_str(),
                device->cpu ? " (CPU)" : "");

    Host ae(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
    ae.useGpuDevice(device);
    ASSERT_EQ(ae.announceGpu(), PF_Err_NONE);
    ASSERT_TRUE(ae.gpuAccepted()) << "the first host's GPU path took the device";
    Host pr(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, xGPUFilterEntry}, HostKind::Premiere);
    pr.useGpuDevice(device);
    ASSERT_EQ(pr.gpuFilterStartup(), suiteError_NoError);
    ASSERT_EQ(pr.createGpuInstance(), suiteError_NoError);
    ASSERT_TRUE(pr.gpuInstance()) << "the second host's filter took the device";

    // The first host: the canvas offset from the input and the output a part of it.
    const World aeInput = testWorld(64, 40, kAe32, 11);
    const World prInput = testWorld(48, 32, kBGra, 3);
    std::printf("%-28s %9s %9s %9s %9s %9s %9s\n", "scenario", "ae same", "ae worst", "pr32 same", "pr32 wst",
                "pr16 same", "pr16 wst");
    for (Scenario const& s : scenarios()) {
        FrameRequest request;
        request.params = ae.defaults();
        s.set(request.params);
        request.inputOriginX = 5;
        request.inputOriginY = 3;
        request.requestRect = PF_LRect{2, 4, 66, 41};
        World gpu(64, 37, kAe32), cpu(64, 37, kAe32);
        hostsim::SmartTrace trace;
        request.gpu = true;
        ASSERT_EQ(ae.render(aeInput, gpu, request, &trace), PF_Err_NONE) << s.name;
        EXPECT_TRUE(trace.gpuRendered) << s.name;
        request.gpu = false;
        ASSERT_EQ(ae.render(aeInput, cpu, request), PF_Err_NONE) << s.name;
        const Measure first = measure(gpu, cpu, false);

        // The second host: the instance reads this scenario's values at render time.
        FrameRequest prRequest;
        prRequest.params = pr.defaults();
        s.set(prRequest.params);
        Measure second[2];
        for (int half = 0; half < 2; ++half) {
            World in = prInput;
            if (half)
                for (int y = 0; y < in.height(); ++y)
                    for (int x = 0; x < in.width(); ++x) {
                        float v[4];
                        in.get(x, y, v);
                        for (float& c : v) c = toHalfPrecision(c);
                        in.set(x, y, v);
                    }
            World g(48, 32, kBGra), c(48, 32, kBGra);
            const int format = half ? PrPixelFormat_GPU_BGRA_4444_16f : PrPixelFormat_GPU_BGRA_4444_32f;
            ASSERT_EQ(pr.renderGpuFrame(in, g, prRequest, format), suiteError_NoError) << s.name;
            ASSERT_EQ(pr.render(in, c, prRequest), PF_Err_NONE) << s.name;
            second[half] = measure(g, c, half != 0);
        }
        std::printf("%-28s %8.2f%% %9.4f %8.2f%% %9.4f %8.2f%% %9.4f\n", s.name.c_str(), 100 * first.identical,
                    first.worst, 100 * second[0].identical, second[0].worst, 100 * second[1].identical,
                    second[1].worst);
        EXPECT_LE(first.worst, 1.0) << s.name << " (first host)";
        EXPECT_LE(second[0].worst, 1.0) << s.name << " (second host, floats)";
        EXPECT_LE(second[1].worst, 1.0) << s.name << " (second host, halves)";
        if (s.exact) {
            EXPECT_EQ(first.identical, 1.0) << s.name;
            EXPECT_EQ(second[0].identical, 1.0) << s.name;
        }
    }
    // The first host keeps the device's buffers until set-down; nothing stays held after.
    EXPECT_EQ(ae.retireGpu(), PF_Err_NONE);
    expectNothingHeld(ae, "first host after set-down");
    EXPECT_EQ(pr.disposeGpuInstance(), suiteError_NoError);
    expectNothingHeld(pr, "second host after the instances");
    EXPECT_EQ(pr.gpuFilterShutdown(), suiteError_NoError);
}

// The first host's answer to memory pressure, reachable on these devices, whose renderer
// reports the host's refused allocations instead of rendering on the CPU: one retry after
// releasing buffers; when that fails too, neither host renders on the GPU again.
TEST_P(HostNativeDevices, FirstHostRetriesOnceUnderMemoryPressure) {
    const std::optional<hostsim::GpuDevice> device = deviceOf(GetParam());
    if (!device) GTEST_SKIP() << "no " << hostsim::backendName(GetParam()) << " device";
    struct Case {
        std::string name;
        long refused;  // allocations refused in a row, from the first
        PF_Err expected;
    };
    const Case cases[] = {{"the retry renders", 1, PF_Err_NONE},
                          {"the retry fails too", 1000, PF_Err_INTERNAL_STRUCT_DAMAGED}};
    const World input = testWorld(40, 24, kAe32, 6);
    for (Case const& c : cases) {
        rd::nativegpu::nativeDisabled.store(false);
        const bool disables = c.expected != PF_Err_NONE;
        Host ae(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
        ae.useGpuDevice(device);
        ASSERT_EQ(ae.announceGpu(), PF_Err_NONE);
        ASSERT_TRUE(ae.gpuAccepted());
        hostsim::GpuFaults faults;
        faults.failAllocation = 1;
        faults.failAllocations = c.refused;
        ae.setGpuFaults(faults);
        FrameRequest request;
        request.params = ae.defaults();
        request.gpu = true;
        World gpu(40, 24, kAe32), cpu(40, 24, kAe32);
        EXPECT_EQ(ae.render(input, gpu, request), c.expected) << c.name;
        EXPECT_GE(ae.gpuCounts().allocationsRefused, 1) << c.name;
        EXPECT_EQ(rd::nativegpu::nativeDisabled.load(), disables) << c.name;
        ae.setGpuFaults(hostsim::GpuFaults{});
        request.gpu = false;
        ASSERT_EQ(ae.render(input, cpu, request), PF_Err_NONE);
        if (!disables) {
            EXPECT_LE(measure(gpu, cpu, false).worst, 1.0) << c.name;
        }
        // The next frame: on the device again, or on the CPU for the rest of the process,
        // where the second host's filter declines new instances too.
        hostsim::SmartTrace trace;
        World next(40, 24, kAe32);
        request.gpu = true;
        ASSERT_EQ(ae.render(input, next, request, &trace), PF_Err_NONE) << c.name;
        EXPECT_EQ(trace.gpuRendered, !disables) << c.name;
        EXPECT_LE(measure(next, cpu, false).worst, 1.0) << c.name;
        Host pr(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, xGPUFilterEntry}, HostKind::Premiere);
        pr.useGpuDevice(device);
        ASSERT_EQ(pr.gpuFilterStartup(), suiteError_NoError);
        EXPECT_EQ(pr.createGpuInstance(), disables ? suiteError_NotImplemented : suiteError_NoError) << c.name;
        EXPECT_EQ(pr.disposeGpuInstance(), suiteError_NoError);
        EXPECT_EQ(pr.gpuFilterShutdown(), suiteError_NoError);
        EXPECT_EQ(ae.retireGpu(), PF_Err_NONE);
        expectNothingHeld(ae, c.name);
        expectNothingHeld(pr, c.name + ", second host");
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, HostNativeDevices, ::testing::Values(GpuBackend::OpenCL, GpuBackend::Cuda),
                         [](auto const& p) { return std::string(hostsim::backendName(p.param)); });

}  // namespace

// The second host's GPU filter through the simulated host on the software Metal device:
// its entry, frames of both pixel sizes against the same frames rendered by the CPU,
// parameter values in every representation, every declined instance and failed frame,
// and the process-wide switch shared with the first host.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "PrSDKPixelFormat.h"
#include "host/entry.h"
#include "host_gpu_support.h"
#include "host_test_support.h"

namespace {

using namespace hosttest;
using hostsim::FrameRequest;
using hostsim::GpuFaults;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::PremiereValue;
using hostsim::World;

constexpr int kFloatFrames = PrPixelFormat_GPU_BGRA_4444_32f;
constexpr int kHalfFrames = PrPixelFormat_GPU_BGRA_4444_16f;

// Rounded to the nearest half (the values the tests use are normal halves or zero).
float toHalfPrecision(float v) {
    if (v == 0.0f || !std::isfinite(v)) return v;
    int e;
    const float m = std::frexp(v, &e);
    return std::ldexp(std::nearbyint(std::ldexp(m, 11)), e - 11);
}

World halfWorld(World const& w) {
    World out = w;
    for (int y = 0; y < w.height(); ++y)
        for (int x = 0; x < w.width(); ++x) {
            float v[4];
            w.get(x, y, v);
            for (float& c : v) c = toHalfPrecision(c);
            out.set(x, y, v);
        }
    return out;
}

// Worst distance of a GPU frame from the CPU's in units of the agreement bar
// 2^-16·max(|cpu|,1); half frames are measured against the CPU's result rounded to
// halves, one half step allowed where the CPU's value lies on a rounding boundary.
double worstError(World const& gpu, World const& cpu, bool half) {
    double worst = 0.0;
    for (int y = 0; y < cpu.height(); ++y)
        for (int x = 0; x < cpu.width(); ++x) {
            float g[4], c[4];
            gpu.get(x, y, g);
            cpu.get(x, y, c);
            for (int k = 0; k < 4; ++k) {
                const double ref = half ? toHalfPrecision(c[k]) : c[k];
                double bar = std::ldexp(std::fmax(std::fabs(ref), 1.0), -16);
                if (half) bar = std::fmax(bar, std::fabs(ref) * std::ldexp(1.0, -11));
                worst = std::fmax(worst, std::fabs(g[k] - ref) / bar);
            }
        }
    return worst;
}

class PremiereGpuFilter : public HostGpuTest {
protected:
    static hostsim::EntryPoints entry() {
        return hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, xGPUFilterEntry};
    }
    // The instance disposed of, then nothing of the host's may be left held.
    static void expectReleased(Host& host, std::string const& what) {
        EXPECT_EQ(host.disposeGpuInstance(), 0) << what;
        expectNothingHeld(host, what);
    }
};

TEST_F(PremiereGpuFilter, EntryOffersExactlyOneFilter) {
    Host host(entry(), HostKind::Premiere);
    EXPECT_EQ(host.gpuFilterStartup(1), suiteError_InvalidParms);
    EXPECT_EQ(host.createGpuInstance(), suiteError_NotImplemented);
    EXPECT_EQ(host.gpuFilterStartup(0), suiteError_NoError);
    EXPECT_EQ(host.gpuFilterShutdown(), suiteError_NoError);
    csSDK_int32 index = 0;
    PrGPUFilterInfo info{};
    EXPECT_EQ(xGPUFilterEntry(0, &index, 1, nullptr, nullptr, &info), suiteError_InvalidParms);
}

TEST_F(PremiereGpuFilter, FramesOfBothSizesAgreeWithCpuFrames) {
    Host host(entry(), HostKind::Premiere);
    ASSERT_EQ(host.gpuFilterStartup(), suiteError_NoError);
    ASSERT_EQ(host.createGpuInstance(), suiteError_NoError);
    ASSERT_TRUE(host.gpuInstance());
    for (int view : {3, 1, 4, 5})
        for (int format : {kFloatFrames, kHalfFrames}) {
            const std::string what = "view " + std::to_string(view) + ", " + hostsim::formatName(format);
            World input = testWorld(48, 32, kBGra, 3);
            if (format == kHalfFrames) input = halfWorld(input);
            FrameRequest request;
            request.params = host.defaults();
            request.currentTime = 5;
            setMenu(request.params, raydrift::kParamView, view);
            World gpu(48, 32, kBGra), cpu(48, 32, kBGra);
            const std::int64_t dispatched = rdmtl::dispatches();
            ASSERT_EQ(host.renderGpuFrame(input, gpu, request, format), suiteError_NoError) << what;
            EXPECT_GT(rdmtl::dispatches() - dispatched, 2) << what;
            ASSERT_EQ(host.render(input, cpu, request), PF_Err_NONE) << what;
            EXPECT_LE(worstError(gpu, cpu, format == kHalfFrames), 1.0) << what;
        }
    expectReleased(host, "after the frames");
}

// Each value in a representation the host may choose, against the same value given to
// the CPU in the first host's form.
TEST_F(PremiereGpuFilter, ParameterValuesInEveryRepresentation) {
    auto value = [](int index, PrParamType type, auto v) {
        PremiereValue p;
        p.index = index;
        p.value.mType = type;
        switch (type) {
        case kPrParamType_Int8: p.value.mInt8 = static_cast<std::int8_t>(v); break;
        case kPrParamType_Int16: p.value.mInt16 = static_cast<std::int16_t>(v); break;
        case kPrParamType_Int32: p.value.mInt32 = static_cast<csSDK_int32>(v); break;
        case kPrParamType_Int64: p.value.mInt64 = static_cast<csSDK_int64>(v); break;
        case kPrParamType_Float32: p.value.mFloat32 = static_cast<float>(v); break;
        case kPrParamType_Float64: p.value.mFloat64 = static_cast<double>(v); break;
        case kPrParamType_Bool: p.value.mBool = static_cast<std::uint8_t>(v); break;
        default: break;
        }
        return p;
    };
    struct Case {
        std::string name;
        std::vector<PremiereValue> premiere;
        void (*cpu)(std::vector<PF_ParamDef>&);
    };
    using raydrift::kParamBlendMode, raydrift::kParamDirection, raydrift::kParamTintColor,
        raydrift::kParamTintMix, raydrift::kParamLength, raydrift::kParamThreshold, raydrift::kParamSymmetric,
        raydrift::kParamUseGpu, raydrift::kParamInvert;
    const std::vector<Case> cases = {
        {"menu as the double 2.9", {value(kParamBlendMode, kPrParamType_Float64, 2.9)},
         [](std::vector<PF_ParamDef>& p) { setMenu(p, raydrift::kParamBlendMode, 3); }},
        {"direction as the double 45.5", {value(kParamDirection, kPrParamType_Float64, 45.5)},
         [](std::vector<PF_ParamDef>& p) { p[raydrift::kParamDirection].u.ad.value = 2981888; }},
        {"direction as raw 16.16", {value(kParamDirection, kPrParamType_Int32, 30 * 65536 + 7)},
         [](std::vector<PF_ParamDef>& p) { p[raydrift::kParamDirection].u.ad.value = 30 * 65536 + 7; }},
        {"tint as 16 bits a channel",
         {value(kParamTintColor, kPrParamType_Int64, 0x0000FFFF80000000LL), value(kParamTintMix, kPrParamType_Float32, 60.0f)},
         [](std::vector<PF_ParamDef>& p) {
             p[raydrift::kParamTintColor].u.cd.value = PF_Pixel{255, 255, 128, 0};
             setFloat(p, raydrift::kParamTintMix, 60.0);
         }},
        {"slider as 16-bit and 8-bit integers",
         {value(kParamLength, kPrParamType_Int16, 300), value(kParamThreshold, kPrParamType_Int8, 40)},
         [](std::vector<PF_ParamDef>& p) {
             setFloat(p, raydrift::kParamLength, 300.0);
             setFloat(p, raydrift::kParamThreshold, 40.0);
         }},
        {"checkboxes as integers", {value(kParamSymmetric, kPrParamType_Int64, 1), value(kParamUseGpu, kPrParamType_Int32, 7),
                                    value(kParamInvert, kPrParamType_Bool, 0)},
         [](std::vector<PF_ParamDef>& p) { setCheckbox(p, raydrift::kParamSymmetric, true); }},
    };
    Host host(entry(), HostKind::Premiere);
    ASSERT_EQ(host.gpuFilterStartup(), suiteError_NoError);
    ASSERT_EQ(host.createGpuInstance(), suiteError_NoError);
    const World input = testWorld(40, 24, kBGra, 8);
    for (Case const& c : cases) {
        FrameRequest gpuRequest;
        gpuRequest.params = host.defaults();
        gpuRequest.premiereValues = c.premiere;
        FrameRequest cpuRequest;
        cpuRequest.params = host.defaults();
        c.cpu(cpuRequest.params);
        World gpu(40, 24, kBGra), cpu(40, 24, kBGra), plain(40, 24, kBGra);
        ASSERT_EQ(host.renderGpuFrame(input, gpu, gpuRequest, kFloatFrames), suiteError_NoError) << c.name;
        ASSERT_EQ(host.render(input, cpu, cpuRequest), PF_Err_NONE) << c.name;
        EXPECT_LE(worstError(gpu, cpu, false), 1.0) << c.name;
        FrameRequest defaults;
        defaults.params = host.defaults();
        ASSERT_EQ(host.render(input, plain, defaults), PF_Err_NONE);
        if (c.name != "checkboxes as integers") {
            EXPECT_GT(differingPixels(cpu, plain), 0) << c.name << " changed nothing";
        }
    }
    // A representation the filter cannot read fails the frame and turns native rendering
    // off for the process: later frames fail at once, new instances are declined.
    FrameRequest bad;
    bad.params = host.defaults();
    bad.premiereValues = {value(raydrift::kParamLength, kPrParamType_Point, 0)};
    World out(40, 24, kBGra);
    EXPECT_EQ(host.renderGpuFrame(input, out, bad, kFloatFrames), suiteError_Fail);
    EXPECT_TRUE(raydrift::nativegpu::nativeDisabled.load());
    FrameRequest good;
    good.params = host.defaults();
    EXPECT_EQ(host.renderGpuFrame(input, out, good, kFloatFrames), suiteError_Fail);
    EXPECT_EQ(host.createGpuInstance(), suiteError_NotImplemented);
    expectReleased(host, "after the failed frame");
}

TEST_F(PremiereGpuFilter, DeclinedInstancesAndFailedFramesReleaseEverything) {
    struct Case {
        std::string name;
        HostKind kind = HostKind::Premiere;
        GpuFaults faults;
        bool useGpuAtCreate = true;
        bool useGpuAtRender = true;
        int format = kFloatFrames;
        prSuiteError created = suiteError_NoError;
        prSuiteError rendered = suiteError_NoError;
        bool disablesNative = false;
    };
    GpuFaults noPPix, noApp, oneOom, twoOom;
    noPPix.refusedSuite = "Premiere PPix Suite";
    noApp.refusedSuite = "MediaCore App Info Suite";
    oneOom.failOutput = 1;
    twoOom.failOutput = 1;
    twoOom.failOutputs = 2;
    const std::vector<Case> cases = {
        {"inside After Effects", HostKind::AfterEffects, {}, true, true, kFloatFrames, suiteError_NotImplemented},
        {"Use GPU off at creation", HostKind::Premiere, {}, false, true, kFloatFrames, suiteError_NotImplemented},
        {"PPix suite refused", HostKind::Premiere, noPPix, true, true, kFloatFrames, suiteError_NotImplemented},
        {"no app-info suite", HostKind::Premiere, noApp},
        {"Use GPU off after creation", HostKind::Premiere, {}, true, false},
        {"8-bit input frame", HostKind::Premiere, {}, true, true, PrPixelFormat_BGRA_4444_8u, suiteError_NoError,
         suiteError_Fail, true},
        {"output memory once short", HostKind::Premiere, oneOom},
        {"output memory short twice", HostKind::Premiere, twoOom, true, true, kFloatFrames, suiteError_NoError,
         suiteError_Fail, true},
    };
    const World input = testWorld(32, 20, kBGra, 4);
    for (Case const& c : cases) {
        raydrift::nativegpu::nativeDisabled.store(false);
        Host host(entry(), c.kind);
        ASSERT_EQ(host.gpuFilterStartup(), suiteError_NoError) << c.name;
        host.setGpuFaults(c.faults);
        PremiereValue useGpuOff;
        useGpuOff.index = raydrift::kParamUseGpu;
        useGpuOff.value.mType = kPrParamType_Bool;
        EXPECT_EQ(c.useGpuAtCreate ? host.createGpuInstance() : host.createGpuInstance({useGpuOff}), c.created)
            << c.name;
        EXPECT_EQ(host.heldSuites(), c.created == suiteError_NoError ? 4 : 0) << c.name;
        if (c.created == suiteError_NoError) {
            FrameRequest request;
            request.params = host.defaults();
            if (!c.useGpuAtRender) request.premiereValues = {useGpuOff};
            World gpu(32, 20, kBGra), cpu(32, 20, kBGra);
            EXPECT_EQ(host.renderGpuFrame(input, gpu, request, c.format), c.rendered) << c.name;
            EXPECT_EQ(raydrift::nativegpu::nativeDisabled.load(), c.disablesNative) << c.name;
            if (c.rendered == suiteError_NoError) {
                if (!c.useGpuAtRender) setCheckbox(request.params, raydrift::kParamUseGpu, false);
                ASSERT_EQ(host.render(input, cpu, request), PF_Err_NONE);
                EXPECT_LE(worstError(gpu, cpu, false), 1.0) << c.name;
            }
            if (c.disablesNative) {
                // The first host renders in software from now on as well.
                Host ae(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
                ASSERT_EQ(ae.announceGpu(), PF_Err_NONE);
                FrameRequest frame;
                frame.params = ae.defaults();
                frame.gpu = true;
                World in32 = testWorld(16, 8, kAe32), out32(16, 8, kAe32);
                hostsim::SmartTrace trace;
                EXPECT_EQ(ae.render(in32, out32, frame, &trace), PF_Err_NONE);
                EXPECT_FALSE(trace.gpuRendered) << c.name;
            }
        }
        host.setGpuFaults(GpuFaults{});
        expectReleased(host, c.name);
    }
}

}  // namespace

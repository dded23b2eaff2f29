// The first host's GPU render path through the simulated host on the software Metal
// device: frames on GPU worlds against the same frames rendered by the CPU, device
// set-up and set-down in every refusing condition, failed frames taking the device out
// of service, and the host's suites, exclusive access and device memory all given back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/entry.h"
#include "host_gpu_support.h"
#include "host_test_support.h"
#include "ui/gpu_names.h"

namespace {

using namespace hosttest;
using hostsim::FrameRequest;
using hostsim::GpuFaults;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::SmartTrace;
using hostsim::World;

class AeGpuPath : public HostGpuTest {
protected:
    static Host makeHost() {
        return Host(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
    }
    // Renders `request` once on the GPU and once on the CPU; both must succeed and agree.
    static void expectAgreement(Host& host, World const& input, FrameRequest request, int ow, int oh,
                                std::string const& what, bool onGpu = true) {
        World gpu(ow, oh, kAe32), cpu(ow, oh, kAe32);
        SmartTrace trace;
        request.gpu = true;
        const std::int64_t dispatched = rdmtl::dispatches();
        ASSERT_EQ(host.render(input, gpu, request, &trace), PF_Err_NONE) << what;
        EXPECT_EQ(trace.gpuRendered, onGpu) << what;
        // More than the two passes that carry a frame the CPU rendered in and out.
        if (onGpu) {
            EXPECT_GT(rdmtl::dispatches() - dispatched, 2) << what;
        }
        request.gpu = false;
        ASSERT_EQ(host.render(input, cpu, request), PF_Err_NONE) << what;
        const raydrift::metal::Agreement a = raydrift::metal::agreement(readReference(gpu), readReference(cpu));
        EXPECT_TRUE(a.sameSize) << what;
        EXPECT_LE(a.worst, 1.0) << what << ": worst error in units of 2^-16·max(|cpu|,1)";
    }
};

TEST_F(AeGpuPath, GpuFramesAgreeWithCpuFramesForOffsetsAndViews) {
    struct Case {
        std::string name;
        A_long originX, originY;
        PF_LRect request;  // empty: the whole layer
        int view, blend;   // menu values
    };
    const std::vector<Case> cases = {
        {"whole layer", 0, 0, {0, 0, 0, 0}, 3, 1},
        {"input offset in the layer", 5, 3, {0, 0, 0, 0}, 3, 1},
        {"output a part of the canvas", 0, 0, {9, 5, 51, 33}, 3, 1},
        {"both offset, screen", 4, 2, {7, 6, 40, 30}, 3, 4},
        {"matte", 0, 0, {0, 0, 0, 0}, 1, 1},
        {"streaks on black", 3, 0, {2, 2, 60, 38}, 4, 1},
        {"streaks as alpha", 0, 0, {0, 0, 0, 0}, 5, 1},
    };
    Host host = makeHost();
    ASSERT_EQ(host.announceGpu(), PF_Err_NONE);
    ASSERT_TRUE(host.gpuAccepted());
    // Every test here installs the device before the first host, so the about panel's
    // list, built once, names it first (before any CUDA or OpenCL GPU of the machine).
    EXPECT_EQ(raydrift::ui::gpuNames().front(), u"Raydrift Software GPU");
    const World input = testWorld(64, 40, kAe32, 11);
    for (Case const& c : cases) {
        FrameRequest request;
        request.params = host.defaults();
        setMenu(request.params, raydrift::kParamView, c.view);
        setMenu(request.params, raydrift::kParamBlendMode, c.blend);
        request.inputOriginX = c.originX;
        request.inputOriginY = c.originY;
        // The output covers the request within the layer, which spans the input at its
        // origin and the frame at (0, 0).
        int ow = 64, oh = 40;
        if (c.request.right > c.request.left) {
            request.requestRect = c.request;
            ow = std::min<int>(c.request.right, std::max<int>(c.originX + 64, 64)) - c.request.left;
            oh = std::min<int>(c.request.bottom, std::max<int>(c.originY + 40, 40)) - c.request.top;
        }
        expectAgreement(host, input, request, ow, oh, c.name);
    }
    expectNothingHeld(host, "after the frames");
    EXPECT_EQ(host.retireGpu(), PF_Err_NONE);
    expectNothingHeld(host, "after set-down");
}

TEST_F(AeGpuPath, SetupDeclinesEveryUnusableDeviceAndReleasesWhatItTook) {
    struct Case {
        std::string name;
        GpuFaults faults;
        bool accepted;
    };
    GpuFaults openCl, cuda, incompatible, noSuite, noWorldData, noAccess, healthy;
    noSuite.refusedSuite = "PF GPU Device Suite";
    openCl.framework = PF_GPU_Framework_OPENCL;
    cuda.framework = PF_GPU_Framework_CUDA;
    incompatible.incompatible = true;
    noWorldData.missingWorldData = true;
    noAccess.exclusiveAccess = PF_Err_OUT_OF_MEMORY;
    // A Metal device announced as OpenCL or CUDA has no context handle: declined.
    const std::vector<Case> cases = {{"Metal device as OpenCL", openCl, false}, {"Metal device as CUDA", cuda, false},
                                     {"incompatible device", incompatible, false},
                                     {"no device suite", noSuite, false},
                                     {"suite without world data", noWorldData, false},
                                     {"exclusive access refused", noAccess, false},
                                     {"Metal device", healthy, true}};
    Host host = makeHost();
    for (Case const& c : cases) {
        host.setGpuFaults(c.faults);
        EXPECT_EQ(host.announceGpu(), PF_Err_NONE) << c.name;
        EXPECT_EQ(host.gpuAccepted(), c.accepted) << c.name;
        expectNothingHeld(host, c.name);
        // Without the device the frame is the CPU's.
        FrameRequest request;
        request.params = host.defaults();
        request.gpu = true;
        World input = testWorld(24, 16, kAe32), output(24, 16, kAe32);
        SmartTrace trace;
        EXPECT_EQ(host.render(input, output, request, &trace), PF_Err_NONE) << c.name;
        EXPECT_EQ(trace.gpuRendered, c.accepted) << c.name;
        EXPECT_EQ(host.retireGpu(), PF_Err_NONE) << c.name;
        expectNothingHeld(host, c.name + ", set down");
    }
    host.setGpuFaults(GpuFaults{});
    EXPECT_EQ(host.command(PF_Cmd_GPU_DEVICE_SETUP, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    PF_GPUDeviceSetdownExtra empty{nullptr};
    EXPECT_EQ(host.command(PF_Cmd_GPU_DEVICE_SETDOWN, &empty), PF_Err_NONE);
    // A Metal device's state is never available for frames of another framework.
    ASSERT_EQ(host.announceGpu(), PF_Err_NONE);
    ASSERT_TRUE(host.gpuAccepted());
    GpuFaults otherFramework;
    otherFramework.framework = PF_GPU_Framework_OPENCL;
    host.setGpuFaults(otherFramework);
    FrameRequest request;
    request.params = host.defaults();
    request.gpu = true;
    World input = testWorld(24, 16, kAe32), output(24, 16, kAe32);
    SmartTrace trace;
    EXPECT_EQ(host.render(input, output, request, &trace), PF_Err_NONE);
    EXPECT_FALSE(trace.gpuRendered);
    host.setGpuFaults(GpuFaults{});
    EXPECT_EQ(host.retireGpu(), PF_Err_NONE);
    expectNothingHeld(host, "another framework");
}

TEST_F(AeGpuPath, FailedFramesTakeTheDeviceOutOfServiceAndInterruptsDoNot) {
    struct Case {
        std::string name;
        GpuFaults faults;
        A_long narrower = 0;
        PF_Err abort = PF_Err_NONE;
        PF_Err expected;
        bool disablesDevice;
    };
    GpuFaults noSuite, noAccess, noWorldData, oneOom, allOom;
    noSuite.refusedSuite = "PF GPU Device Suite";
    noAccess.exclusiveAccess = 13;
    noWorldData.worldData = PF_Err_BAD_CALLBACK_PARAM;
    oneOom.failAllocation = 1;
    allOom.failAllocation = 1;
    allOom.failAllocations = 1000;
    const std::vector<Case> cases = {
        {"output world one pixel narrower", {}, 1, PF_Err_NONE, PF_Err_INTERNAL_STRUCT_DAMAGED, true},
        {"device suite refused", noSuite, 0, PF_Err_NONE, PF_Err_INTERNAL_STRUCT_DAMAGED, true},
        {"exclusive access refused", noAccess, 0, PF_Err_NONE, PF_Err_INTERNAL_STRUCT_DAMAGED, true},
        {"world data unavailable", noWorldData, 0, PF_Err_NONE, PF_Err_INTERNAL_STRUCT_DAMAGED, true},
        {"interrupted", {}, 0, PF_Interrupt_CANCEL, PF_Interrupt_CANCEL, false},
        // Host memory refused: the device renders the frame through its CPU route.
        {"one allocation refused", oneOom, 0, PF_Err_NONE, PF_Err_NONE, false},
        {"every allocation refused", allOom, 0, PF_Err_NONE, PF_Err_NONE, false},
    };
    const World input = testWorld(32, 24, kAe32, 5);
    for (Case const& c : cases) {
        Host host = makeHost();
        ASSERT_EQ(host.announceGpu(), PF_Err_NONE);
        ASSERT_TRUE(host.gpuAccepted());
        host.setGpuFaults(c.faults);
        FrameRequest request;
        request.params = host.defaults();
        request.gpu = true;
        request.gpuOutputNarrower = c.narrower;
        request.abortCode = c.abort;
        World output(32, 24, kAe32);
        SmartTrace trace;
        EXPECT_EQ(host.render(input, output, request, &trace), c.expected) << c.name;
        EXPECT_TRUE(trace.gpuRendered) << c.name;
        if (c.expected == PF_Err_NONE) {
            World cpu(32, 24, kAe32);
            request.gpu = false;
            ASSERT_EQ(host.render(input, cpu, request), PF_Err_NONE);
            EXPECT_LE(raydrift::metal::agreement(readReference(output), readReference(cpu)).worst, 1.0) << c.name;
        }
        expectNothingHeld(host, c.name);
        // The next frame goes to the GPU only while the device is in service.
        host.setGpuFaults(GpuFaults{});
        request.gpuOutputNarrower = 0;
        request.abortCode = PF_Err_NONE;
        expectAgreement(host, input, request, 32, 24, c.name + ", next frame", !c.disablesDevice);
        EXPECT_FALSE(raydrift::nativegpu::nativeDisabled.load()) << c.name;
        EXPECT_EQ(host.retireGpu(), PF_Err_NONE);
        expectNothingHeld(host, c.name + ", set down");
    }
}

TEST_F(AeGpuPath, UseGpuOffAndTheProcessSwitchRenderOnTheCpu) {
    Host host = makeHost();
    ASSERT_EQ(host.announceGpu(), PF_Err_NONE);
    const World input = testWorld(32, 24, kAe32, 9);
    FrameRequest request;
    request.params = host.defaults();
    setCheckbox(request.params, raydrift::kParamUseGpu, false);
    expectAgreement(host, input, request, 32, 24, "Use GPU off", false);
    setCheckbox(request.params, raydrift::kParamUseGpu, true);
    expectAgreement(host, input, request, 32, 24, "Use GPU on again", true);
    raydrift::nativegpu::nativeDisabled.store(true);
    expectAgreement(host, input, request, 32, 24, "GPU rendering off for the process", false);
    // A device announced now is not used either.
    EXPECT_EQ(host.announceGpu(), PF_Err_NONE);
    expectAgreement(host, input, request, 32, 24, "a device announced afterwards", false);
    EXPECT_EQ(host.retireGpu(), PF_Err_NONE);
    expectNothingHeld(host, "process switch");
}

// A set-down that cannot finish (exclusive access refused, the device's queue failing to
// drain): the answer is 0, the state is gone and everything of the host's is given back;
// the renderer is abandoned on purpose, so the device objects it holds stay alive (and
// this test runs without the fixture that counts them as leaks).
TEST(AeGpuSetdown, FailedSetdownAbandonsTheRendererAndDeletesTheState) {
    raydrift::nativegpu::nativeDisabled.store(false);
    MTL::Device* device = rdmtl::newSoftwareDevice();
    rdmtl::installSystemDefaultDevice(device);
    struct Case {
        std::string name;
        GpuFaults host;
        rdmtl::Faults metal;
    };
    Case refused{"exclusive access refused", {}, {}}, lost{"synchronisation fails", {}, {}};
    refused.host.exclusiveAccess = 13;
    lost.metal.commandError = "device lost";
    for (Case const& c : {refused, lost}) {
        const std::int64_t before = rdmtl::liveObjects();
        Host host(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
        ASSERT_EQ(host.announceGpu(), PF_Err_NONE);
        ASSERT_TRUE(host.gpuAccepted());
        // One frame first, so the renderer has done work on the device.
        FrameRequest request;
        request.params = host.defaults();
        request.gpu = true;
        World input = testWorld(16, 8, kAe32), output(16, 8, kAe32);
        ASSERT_EQ(host.render(input, output, request), PF_Err_NONE) << c.name;
        const std::int64_t live = rdmtl::liveObjects();
        host.setGpuFaults(c.host);
        rdmtl::setFaults(c.metal);
        EXPECT_EQ(host.retireGpu(), PF_Err_NONE) << c.name;
        rdmtl::clearFaults();
        host.setGpuFaults(GpuFaults{});
        const hostsim::GpuCounts counts = host.gpuCounts();
        EXPECT_EQ(host.heldSuites(), 0) << c.name;
        EXPECT_EQ(counts.exclusiveHeld, 0) << c.name;
        EXPECT_EQ(counts.deviceAllocations, 0) << c.name;
        EXPECT_EQ(counts.hostAllocations, 0) << c.name;
        // The host let go of its device and queue; the abandoned renderer did not.
        const std::int64_t abandoned = rdmtl::liveObjects();
        EXPECT_GT(abandoned, before) << c.name;
        EXPECT_LE(abandoned, live) << c.name;
        // The host goes on with a fresh device, whose set-down destroys its renderer.
        ASSERT_EQ(host.announceGpu(), PF_Err_NONE);
        EXPECT_TRUE(host.gpuAccepted());
        EXPECT_EQ(host.retireGpu(), PF_Err_NONE);
        EXPECT_EQ(rdmtl::liveObjects(), abandoned) << c.name;
        EXPECT_EQ(host.gpuCounts().deviceAllocations, 0);
        EXPECT_FALSE(raydrift::nativegpu::nativeDisabled.load()) << c.name;
    }
    rdmtl::installSystemDefaultDevice(nullptr);
    device->release();
    raydrift::metal::shutdown();
}

}  // namespace

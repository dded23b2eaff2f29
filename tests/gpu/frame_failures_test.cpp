// Every way a GPU frame is declined, the admission gate's queue, the shared context's
// remembered failure and concurrent frames. A declined frame renders on the CPU exactly
// as a CPU-only render; nothing leaks on any path (checked by the fixture).
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gpu/metal_frame.h"
#include "gpu_test_support.h"
#include "image/frame.h"
#include "scenarios.h"

namespace raydrift::metal {
namespace {

using image::Image;

class FrameFailureTest : public SoftwareGpuTest {};

struct Decline {
    std::string message;
    std::function<void(RenderSettings&, Image&, rdmtl::Faults&)> provoke;
    bool compare = true;  // render on the CPU too (skipped where that takes a minute)
};

std::string declineReason(Image const& input, RenderSettings const& settings) {
    Image out;
    std::string reason;
    EXPECT_FALSE(frame(input, out, settings, &reason));
    EXPECT_TRUE(out.pixels.empty()) << "a declined frame leaves the output untouched";
    return reason;
}

TEST_F(FrameFailureTest, EveryDeclineEndsInTheCpuRender) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<Decline> table = {
        {"Invalid Metal software frame", [](RenderSettings&, Image& in, rdmtl::Faults&) { in = Image(); }},
        {"Precision-sensitive Dodge/Burn uses CPU renderer",
         [](RenderSettings& s, Image&, rdmtl::Faults&) { s.blendMode = BlendMode::ColorBurn; }},
        {"Signed HDR with non-additive blend uses CPU renderer",
         [](RenderSettings& s, Image& in, rdmtl::Faults&) {
             s.blendMode = BlendMode::Screen;
             in.at(5, 5).g = -0.25f;
         }},
        {"Unsupported Metal reference scale", [](RenderSettings& s, Image&, rdmtl::Faults&) { s.scale = 64.0001f; }},
        {"Unsupported Metal reference scale", [inf](RenderSettings& s, Image&, rdmtl::Faults&) { s.scale = inf; s.chromaticAmount = 0.0f; }},
        {"Metal spatial settings exceed safe limit",
         [](RenderSettings& s, Image&, rdmtl::Faults&) { s.scale = 1.0f; s.length = 16385.0f; }, false},
        {"Metal spatial settings exceed safe limit",
         [](RenderSettings& s, Image&, rdmtl::Faults&) { s.scale = 1.0f; s.width = 16384.0f; }, false},
        {"Metal spatial settings exceed safe limit",
         [](RenderSettings& s, Image&, rdmtl::Faults&) { s.length = std::nanf(""); }},
        {"Metal chromatic halo exceeds safe limit",
         [](RenderSettings& s, Image&, rdmtl::Faults&) { s.scale = 1.0f; s.chromaticAmount = 8193.0f; }, false},
        {"Nonfinite Metal direction", [inf](RenderSettings& s, Image&, rdmtl::Faults&) { s.direction = inf; }},
        {"Nonfinite Metal settings", [inf](RenderSettings& s, Image&, rdmtl::Faults&) { s.intensity = inf; }},
        {"Nonfinite Metal settings", [](RenderSettings& s, Image&, rdmtl::Faults&) { s.tintG = std::nanf(""); }},
        {"Unsupported Metal edge mode",
         [](RenderSettings& s, Image&, rdmtl::Faults&) { s.edgeMode = static_cast<EdgeMode>(4); }},
        {"Nonfinite/high-HDR input uses CPU precision renderer",
         [](RenderSettings&, Image& in, rdmtl::Faults&) { in.at(3, 4).r = 70.0f; }},
        {"Nonfinite/high-HDR input uses CPU precision renderer",
         [](RenderSettings& s, Image& in, rdmtl::Faults&) { s.intensity = 2.0f; in.at(3, 4).r = 40.0f; }},
        {"Nonfinite/high-HDR input uses CPU precision renderer",
         [](RenderSettings& s, Image& in, rdmtl::Faults&) { s.view = ViewMode::Black; in.at(30, 20).b = std::nanf(""); }},
        {"Nonfinite/high-HDR input uses CPU precision renderer",
         [](RenderSettings& s, Image& in, rdmtl::Faults&) { s.view = ViewMode::Matte; in.at(0, 0).a = std::nanf(""); }},
        {"Nonfinite/high-HDR input uses CPU precision renderer",
         [](RenderSettings& s, Image& in, rdmtl::Faults&) { s.blendMode = BlendMode::Add; in.at(9, 2).a = -0.5f; }},
        {"Nonfinite/high-HDR input uses CPU precision renderer",
         [](RenderSettings&, Image& in, rdmtl::Faults&) { in.at(9, 2).a = 1.0001f; }},
        {"Metal command queue unavailable/device mismatch",
         [](RenderSettings&, Image&, rdmtl::Faults& f) { f.noQueue = true; }},
        {"Metal shader: unexpected token", [](RenderSettings&, Image&, rdmtl::Faults& f) { f.compileError = "unexpected token"; }},
        {"Missing Metal entry point", [](RenderSettings&, Image&, rdmtl::Faults& f) { f.missingFunction = "exportHost"; }},
        {"Metal pipeline: too many registers",
         [](RenderSettings&, Image&, rdmtl::Faults& f) { f.pipelineError = "too many registers"; }},
        {"Metal pipeline: unknown Metal error",
         [](RenderSettings&, Image&, rdmtl::Faults& f) { f.pipelineErrorWithoutObject = true; }},
        {"Metal buffer size exceeds device limit", [](RenderSettings&, Image&, rdmtl::Faults& f) { f.maxBufferLength = 4096; }},
        {"Metal allocation failed", [](RenderSettings&, Image&, rdmtl::Faults& f) { f.failAllocation = 4; }},
        {"Metal frame exceeds memory budget",
         [](RenderSettings&, Image&, rdmtl::Faults& f) { f.recommendedWorkingSet = 4 * 65536; }},
        {"Metal command buffer unavailable", [](RenderSettings&, Image&, rdmtl::Faults& f) { f.noCommandBuffer = true; }},
        {"Metal compute encoder unavailable", [](RenderSettings&, Image&, rdmtl::Faults& f) { f.failEncoder = 3; }},
        {"Metal command: page fault", [](RenderSettings&, Image&, rdmtl::Faults& f) { f.commandError = "page fault"; }},
        {"Metal command: unknown Metal error",
         [](RenderSettings&, Image&, rdmtl::Faults& f) { f.commandErrorWithoutObject = true; }},
        {"Unknown Metal failure", [](RenderSettings&, Image&, rdmtl::Faults& f) { f.foreignException = true; }},
    };
    for (Decline const& row : table) {
        RenderSettings settings;
        settings.scale = 0.25f;
        settings.length = 60.0f;
        settings.chromaticAmount = 3.0f;
        Image input = bench::syntheticFrame(64, 40, true, 20, 3);
        rdmtl::Faults faults;
        row.provoke(settings, input, faults);
        shutdown();
        rdmtl::setFaults(faults);
        SCOPED_TRACE(row.message);
        EXPECT_EQ(declineReason(input, settings), row.message);
        if (!row.compare) continue;

        // Offered to the GPU first or not, the frame comes out the same (or fails the same
        // way, for a frame no image could hold).
        const auto render = [&](bool useGpu, Image& out) -> std::string {
            RenderSettings s = settings;
            s.useGpu = useGpu;
            try {
                image::processFrame(input, out, s);
            } catch (std::exception const& e) {
                return e.what();
            }
            return "";
        };
        Image offered, cpuOnly;
        const std::string offeredError = render(true, offered);
        rdmtl::clearFaults();
        EXPECT_EQ(offeredError, render(false, cpuOnly));
        ASSERT_EQ(offered.pixels.size(), cpuOnly.pixels.size());
        if (!cpuOnly.pixels.empty()) {
            EXPECT_EQ(std::memcmp(offered.pixels.data(), cpuOnly.pixels.data(), cpuOnly.pixels.size() * 16), 0);
        }
        EXPECT_EQ(admissionGate.active(), 0u);
        EXPECT_EQ(admissionGate.usedBytes(), 0u);
    }

    // In place, and no error string asked for: still declined, never thrown.
    Image same = bench::syntheticFrame(8, 8, false);
    EXPECT_FALSE(frame(same, same, RenderSettings{}, nullptr));
    // Limits that pass: scale 64, Length 16384 at scale 1, Add over negative colour.
    Image small = bench::syntheticFrame(16, 8, false, 2);
    small.at(1, 1).r = -0.5f;
    RenderSettings edge;
    edge.scale = 1.0f;
    edge.length = 16384.0f;
    edge.blendMode = BlendMode::Add;
    Image out;
    std::string reason;
    EXPECT_TRUE(frame(small, out, edge, &reason)) << reason;
    edge.length = 1.0f;
    edge.scale = 64.0f;
    EXPECT_TRUE(frame(small, out, edge, &reason)) << reason;
}

TEST_F(FrameFailureTest, ContextFailureIsRememberedUntilShutdown) {
    rdmtl::installSystemDefaultDevice(nullptr);
    const Image input = bench::syntheticFrame(16, 16, false, 4);
    EXPECT_EQ(declineReason(input, RenderSettings{}), "No Metal device");
    EXPECT_FALSE(deviceInfo().available);
    EXPECT_TRUE(deviceInfo().name.empty());
    rdmtl::installSystemDefaultDevice(device_);
    EXPECT_EQ(declineReason(input, RenderSettings{}), "No Metal device");
    shutdown();
    Image out;
    EXPECT_TRUE(frame(input, out, RenderSettings{}, nullptr));
    EXPECT_EQ(deviceInfo().name, u"Raydrift Software GPU");

    // A buffer of no bytes is refused before the device is asked.
    auto context = sharedContext();
    try {
        context->buffer(0, nullptr, true);
        ADD_FAILURE() << "no exception";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Metal buffer size exceeds device limit");
    }
}

TEST_F(FrameFailureTest, AdmissionGateQueuesInArrivalOrder) {
    AdmissionGate gate;
    const AdmissionGate::Policy policy{2, 100, 2000};
    const auto message = [&](std::uint64_t bytes, AdmissionGate::Policy p) -> std::string {
        try {
            gate.acquire(bytes, p);
        } catch (std::runtime_error const& e) {
            return e.what();
        }
        return "admitted";
    };
    // Exactly the budget is admitted at once; one byte more never waits.
    EXPECT_EQ(message(100, policy), "admitted");
    EXPECT_EQ(message(101, policy), "Metal frame exceeds memory budget");
    EXPECT_EQ(message(1, {0, 100, 2000}), "Metal frame exceeds memory budget");
    EXPECT_EQ(gate.active(), 0u);

    const auto waitForQueue = [&](std::size_t n) {
        while (gate.waiting() != n) std::this_thread::yield();
    };
    {
        // Three requests, room for two: the third is admitted when one of the first goes.
        auto first = gate.acquire(10, policy);
        auto second = gate.acquire(10, policy);
        std::atomic<bool> admitted{false};
        std::thread third([&] {
            auto a = gate.acquire(10, policy);
            admitted = true;
        });
        waitForQueue(1);
        EXPECT_FALSE(admitted.load());
        first.release();
        third.join();
        EXPECT_TRUE(admitted.load());
        // With neither releasing, the third gives up after the full wait and leaves no trace.
        const auto start = std::chrono::steady_clock::now();
        auto again = gate.acquire(10, policy);
        EXPECT_EQ(message(10, policy), "Metal admission wait timed out");
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
        EXPECT_EQ(gate.waiting(), 0u);
        EXPECT_EQ(gate.active(), 2u);
        EXPECT_EQ(gate.usedBytes(), 20u);
    }
    EXPECT_EQ(gate.active(), 0u);
    {
        // A large request at the front holds back a smaller one that would fit: with both
        // queued, only the first holder is admitted.
        auto held = gate.acquire(60, policy);
        std::thread large([&] { auto a = gate.acquire(50, policy); });
        waitForQueue(1);
        std::thread small([&] { auto a = gate.acquire(10, policy); });
        waitForQueue(2);
        EXPECT_EQ(gate.active(), 1u) << "the small request overtook the queue";
        held.release();
        large.join();
        small.join();
    }
    EXPECT_EQ(gate.active(), 0u);
    EXPECT_EQ(gate.usedBytes(), 0u);
}

TEST_F(FrameFailureTest, ConcurrentFramesShareOneContext) {
    const Image input = bench::syntheticFrame(80, 48, false, 30, 5);
    RenderSettings settings;
    settings.scale = 0.25f;
    settings.length = 80.0f;
    settings.width = 8.0f;
    RenderSettings cpuSettings = settings;
    cpuSettings.useGpu = false;
    Image expected;
    image::processFrame(input, expected, cpuSettings);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 3; ++i) {
                Image out;
                std::string reason;
                if (!frame(input, out, settings, &reason) || !(agreement(out, expected).worst <= 1.0)) ++failures;
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(rdmtl::mostCommandBuffersAtOnce(), 2);
    EXPECT_EQ(admissionGate.active(), 0u);
}

}  // namespace
}  // namespace raydrift::metal

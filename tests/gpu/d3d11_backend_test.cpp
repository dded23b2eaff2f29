#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gpu/windows/d3d11_backend.h"
#include "gpu_test_support.h"
#include "image/frame.h"
#include "scenarios.h"
#include "software_d3d11.h"

namespace raydrift::d3d11 {
namespace {

image::Image flat(int w, int h) {
    image::Image img(w, h);
    for (image::Pixel& p : img.pixels) p = {0.5f, 0.5f, 0.5f, 1.0f};
    return img;
}

RenderSettings streaky() {
    RenderSettings s;
    s.jitterLength = s.jitterWidth = s.jitterDiffraction = false;
    s.length = 40.0f;
    s.width = 4.0f;
    s.scale = 1.0f;  // lengths in pixels of these small frames
    return s;
}

// Every Direct3D refusal, provoked once through the entry point that meets it: the entry
// declines with the reason and leaves its output alone.
TEST(D3D11Backend, EveryRefusalDeclinesWithItsReason) {
    const image::Image input = flat(8, 6);
    std::vector<unsigned char> host(8 * 6 * 16), out(8 * 6 * 16);
    NativeWorld world;
    world.input = host.data();
    world.output = out.data();
    world.width = 8;
    world.height = 6;
    world.inputStride = world.outputStride = 8 * 16;
    world.inputLayout = world.outputLayout = 4;
    using Entry = std::function<bool(std::string*)>;
    const Entry whole = [&](std::string* m) {
        image::Image o;
        return frame(input, o, streaky(), m);
    };
    const Entry matteView = [&](std::string* m) {
        image::Image o;
        return matte(input, o, streaky(), m);
    };
    const auto stage = [&](std::function<void(RenderSettings&, image::Image&)> change) -> Entry {
        return [&input, change](std::string* m) {
            RenderSettings s = streaky();
            image::Image selection = input, scratch;
            change(s, selection);
            const image::Image before = selection;
            const bool rendered = streaks(selection, scratch, s, 0, m);
            if (!rendered) {
                EXPECT_EQ(std::memcmp(selection.pixels.data(), before.pixels.data(), before.pixels.size() * 16), 0);
            }
            return rendered;
        };
    };
    const auto native = [&](std::function<void(NativeWorld&)> change) -> Entry {
        return [&world, change](std::string* m) {
            NativeWorld w = world;
            change(w);
            return nativeFrame(w, streaky(), m);
        };
    };
    struct Case {
        std::function<void(rdd3d::Faults&)> fault;
        Entry entry;
        const char* message;
    };
    const Case cases[] = {
        {[](rdd3d::Faults& f) { f.createDevice = static_cast<HRESULT>(0x887A0004u); }, whole, "D3D11 failure: 2289696772"},
        {[](rdd3d::Faults& f) { f.failCompile = "rotate"; }, matteView, "Shader compilation failed"},
        {[](rdd3d::Faults& f) { f.failCompile = "compositeFrame"; }, whole, "Frame shader compilation failed"},
        {[](rdd3d::Faults& f) { f.fp64 = false; }, whole, "GPU frame requires precise FP64 division"},
        {[](rdd3d::Faults& f) { f.fp64 = false; }, native([](NativeWorld&) {}), "GPU frame requires precise FP64 division"},
        {[](rdd3d::Faults& f) { f.budget = 4096; }, whole, "Insufficient GPU frame memory budget"},
        {[](rdd3d::Faults& f) { f.budget = 4096; }, native([](NativeWorld&) {}), "Insufficient GPU frame memory budget"},
        {[](rdd3d::Faults& f) { f.budget = 1000; }, matteView, "Insufficient GPU memory budget; CPU fallback"},
        {[](rdd3d::Faults& f) { f.currentUsage = ~UINT64{0}; }, matteView, "Insufficient GPU memory budget; CPU fallback"},
        {[](rdd3d::Faults&) {}, [&](std::string* m) { image::Image empty, o; return frame(empty, o, streaky(), m); },
         "Empty GPU frame"},
        {[](rdd3d::Faults&) {}, native([](NativeWorld& w) { w.outputLayout = 5; }), "Unsupported native world layout"},
        {[](rdd3d::Faults&) {}, native([](NativeWorld& w) { w.inputStride = 1 << 30, w.sourceHeight = 4; }),
         "Invalid native GPU buffer size"},
        {[](rdd3d::Faults& f) { f.createBuffer = static_cast<HRESULT>(0x8007000Eu); }, whole, "D3D11 failure: 2147942414"},
        {[](rdd3d::Faults& f) { f.fp64 = false; }, stage([](RenderSettings& s, image::Image&) { s.blendMode = BlendMode::ColorDodge; }),
         "GPU FP64 unavailable for precision-sensitive blend; CPU fallback"},
        {[](rdd3d::Faults& f) { f.fp64 = false; }, stage([](RenderSettings& s, image::Image&) { s.length = 40000.0f; }),
         "GPU sampled workload limit; CPU fallback"},
        {[](rdd3d::Faults& f) { f.budget = 1000; }, stage([](RenderSettings&, image::Image&) {}),
         "Insufficient GPU memory budget; CPU fallback"},
        {[](rdd3d::Faults&) {}, stage([](RenderSettings&, image::Image& i) { i.pixels[5].g = std::nanf(""); }),
         "Nonfinite/high-HDR input uses CPU precision renderer"},
        {[](rdd3d::Faults& f) { f.createDevice = static_cast<HRESULT>(0x887A0004u); }, stage([](RenderSettings&, image::Image&) {}),
         "D3D11 failure: 2289696772"},
        // Without doubles the stage still runs, on the float kernels.
        {[](rdd3d::Faults& f) { f.fp64 = false; }, stage([](RenderSettings&, image::Image&) {}), ""},
        // Without the budget query no check is made, and without doubles the matte still runs.
        {[](rdd3d::Faults& f) { f.memoryQuery = false, f.budget = 0; }, whole, ""},
        {[](rdd3d::Faults& f) { f.fp64 = false, f.failCompile = "verticalRolling"; }, matteView, ""},
    };
    int index = 0;
    for (Case const& c : cases) {
        shutdown();  // the next request builds a new context under these faults
        rdd3d::resetFaults();
        c.fault(rdd3d::faults());
        std::string message;
        const bool rendered = c.entry(&message);
        EXPECT_EQ(rendered, c.message[0] == 0) << "case " << index;
        EXPECT_EQ(message, c.message) << "case " << index;
        ++index;
    }
    rdd3d::resetFaults();
    shutdown();
}

// The device sees the frame graph in order: selection, the streak passes the plan chose,
// colour when the streaks have a margin, the compositor.
TEST(D3D11Backend, WholeFrameDispatchesTheGraphInOrder) {
    rdd3d::resetFaults();
    shutdown();
    RenderSettings s = streaky();
    struct Case {
        std::function<void(RenderSettings&)> change;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {[](RenderSettings&) {}, {"selectFrame", "rotate", "horizontal", "vertical", "crop", "compositeFrame"}},
        {[](RenderSettings& r) { r.blendMode = BlendMode::ColorDodge; },
         {"selectFrame", "rotate", "horizontalCpuPrefix", "horizontalCpuWindow", "verticalRolling", "crop",
          "compositeFrame"}},
        {[](RenderSettings& r) { r.chromaticAmount = 5.0f; },
         {"selectFrame", "rotate", "horizontal", "vertical", "crop", "tintFrame", "chromaticFrame", "compositeFrame"}},
        {[](RenderSettings& r) { r.opacity = 0.0f; }, {"compositeFrame"}},
    };
    for (Case const& c : cases) {
        RenderSettings settings = s;
        c.change(settings);
        rdd3d::clearDispatches();
        image::Image out;
        std::string message;
        EXPECT_TRUE(frame(flat(16, 12), out, settings, &message)) << message;
        EXPECT_EQ(rdd3d::dispatches(), c.expected);
        EXPECT_EQ(out.width, 16);
    }
    shutdown();
}

// The frame driver with the Direct3D renderer's offers: work the device declines renders
// on the CPU, bit for bit the CPU-only frame; a streak stage it takes keeps the agreement
// bar.
TEST(D3D11Backend, DeclinedWorkRendersOnTheCpu) {
    const image::GpuOffers offers{frame, matte, streaks};
    const image::Image input = bench::syntheticFrame(40, 28, true, 12, 5);
    const std::vector<std::string> stagePasses = {"rotate", "horizontal", "vertical", "crop"};
    struct Case {
        const char* name;
        std::function<void(rdd3d::Faults&)> fault;
        std::function<void(RenderSettings&)> change;
        std::vector<std::string> dispatches;  // empty: everything declined
    };
    const Case cases[] = {
        {"no device", [](rdd3d::Faults& f) { f.createDevice = static_cast<HRESULT>(0x887A0004u); }, [](RenderSettings&) {}, {}},
        {"no fp64: stage only", [](rdd3d::Faults& f) { f.fp64 = false; }, [](RenderSettings&) {}, stagePasses},
        {"no fp64, quarter", [](rdd3d::Faults& f) { f.fp64 = false; }, [](RenderSettings& s) { s.view = ViewMode::Performance; }, stagePasses},
        {"no fp64, dodge", [](rdd3d::Faults& f) { f.fp64 = false; }, [](RenderSettings& s) { s.blendMode = BlendMode::ColorDodge; }, {}},
        {"budget", [](rdd3d::Faults& f) { f.budget = 4096; }, [](RenderSettings&) {}, {}},
        {"matte compile", [](rdd3d::Faults& f) { f.failCompile = "luminanceMatte"; }, [](RenderSettings& s) { s.view = ViewMode::Matte; }, {}},
        {"gpu off", [](rdd3d::Faults&) {}, [](RenderSettings& s) { s.useGpu = false; }, {}},
    };
    for (Case const& c : cases) {
        shutdown();
        rdd3d::resetFaults();
        c.fault(rdd3d::faults());
        RenderSettings settings = streaky();
        settings.useGpu = true;
        c.change(settings);
        RenderSettings cpuOnly = settings;
        cpuOnly.useGpu = false;
        image::Image cpu, out;
        image::processFrame(input, cpu, cpuOnly, image::GpuOffers{});
        rdd3d::clearDispatches();
        image::processFrame(input, out, settings, offers);
        EXPECT_EQ(rdd3d::dispatches(), c.dispatches) << c.name;
        const metal::Agreement a = metal::agreement(out, cpu);
        ASSERT_TRUE(a.sameSize) << c.name;
        if (c.dispatches.empty()) {
            EXPECT_EQ(a.identicalShare, 1.0) << c.name;
        } else {
            EXPECT_LE(a.worst, 1.0) << c.name;
        }
    }
    rdd3d::resetFaults();
    shutdown();
}

// Frames from several threads at once share the two contexts; shutdown in between waits
// for the frames in flight, and the next frame builds a new context.
TEST(D3D11Backend, ConcurrentFramesAndShutdown) {
    rdd3d::resetFaults();
    std::atomic<int> rendered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                image::Image out;
                if (frame(flat(12, 10), out, streaky(), nullptr)) ++rendered;
            }
        });
    std::thread stopper([] { shutdown(); });
    for (auto& t : threads) t.join();
    stopper.join();
    EXPECT_EQ(rendered, 20);
    image::Image out;
    EXPECT_TRUE(matte(flat(4, 4), out, streaky(), nullptr));
    shutdown();
}

}  // namespace
}  // namespace raydrift::d3d11

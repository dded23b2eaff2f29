#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gpu/windows/d3d11_backend.h"
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

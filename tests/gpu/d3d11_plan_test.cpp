#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gpu/windows/context_lease.h"
#include "gpu/windows/d3d11_plan.h"

namespace raydrift::d3d11 {
namespace {

std::string names(std::vector<StreakKernel> const& passes) {
    std::string s;
    for (StreakKernel k : passes) s += std::string(s.empty() ? "" : " ") + kStreakEntries[static_cast<int>(k)];
    return s;
}

TEST(D3D11Plan, StreakPassChoice) {
    struct Case {
        int length, halfWidth, reach;
        float strength;
        BlendMode blend;
        ViewMode view;
        bool fp64, margin;
        const char* expected;
    };
    const BlendMode N = BlendMode::Normal, D = BlendMode::ColorDodge;
    const ViewMode Q = ViewMode::Quality, B = ViewMode::Black;
    const Case cases[] = {
        {0, 0, 0, 0.0f, N, Q, true, false, ""},
        {0, 0, 0, 0.0f, N, Q, true, true, "extendOriginal"},
        {10, 0, 10, 0.0f, N, Q, true, false, "rotate vertical crop"},
        {0, 5, 0, 0.0f, N, Q, true, false, "rotate horizontal crop"},
        {10, 3, 10, 0.0f, N, Q, true, false, "rotate horizontal vertical crop"},
        {10, 64, 10, 0.0f, N, Q, true, false, "rotate horizontalRolling vertical crop"},
        {10, 64, 10, 0.0f, N, Q, false, false, "rotate horizontal vertical crop"},
        {600, 3, 512, 0.0f, N, Q, true, false, "rotate horizontal verticalRolling crop"},
        {600, 3, 511, 0.0f, N, Q, true, false, "rotate horizontal vertical crop"},
        {10, 3, 10, 0.5f, N, Q, true, false, "rotate horizontal verticalModulatedRolling crop"},
        {10, 3, 10, 0.5f, N, Q, false, false, "rotate horizontal vertical crop"},
        {10, 3, 10, 0.0f, D, Q, true, false, "rotate horizontalCpuPrefix horizontalCpuWindow verticalRolling crop"},
        {10, 3, 10, 0.5f, D, Q, true, false, "rotate horizontalRolling verticalModulatedRolling crop"},
        {10, 3, 10, 0.0f, D, B, true, false, "rotate horizontal vertical crop"},
    };
    for (Case const& c : cases) {
        image::StreakGeometry g;
        g.length = c.length;
        g.halfWidth = c.halfWidth;
        g.reach = c.reach;
        g.strength = c.strength;
        RenderSettings s;
        s.blendMode = c.blend;
        s.view = c.view;
        const auto passes = streakPasses(g, s, c.fp64, c.margin);
        EXPECT_EQ(names(passes), c.expected) << "length " << c.length << " width " << c.halfWidth;
        // A device without doubles is never handed a kernel that needs them.
        for (StreakKernel k : passes) {
            EXPECT_TRUE(c.fp64 || !needsDoubles(k)) << kStreakEntries[static_cast<int>(k)];
        }
    }
}

// Every refusal the plan makes, each provoked once, and the accepted values next to them.
TEST(D3D11Plan, RefusalsCarryTheirFallbackReason) {
    image::StreakGeometry streak;
    streak.length = 20;
    streak.reach = 20;
    streak.canvasWidth = 100;
    streak.canvasHeight = 100;
    image::StreakGeometry huge = streak;
    huge.canvasWidth = 100000;
    huge.canvasHeight = 6000;  // 6e8 pixels × 21 taps > 1.2e10
    RenderSettings dodge;
    dodge.blendMode = BlendMode::ColorDodge;
    const RenderSettings plain;
    const MemoryInfo memory{1000, 0};
    std::vector<unsigned char> pixels(64);
    NativeWorld world;
    world.input = pixels.data();
    world.output = pixels.data();
    world.width = world.height = 2;
    world.inputStride = world.outputStride = 32;
    world.inputLayout = world.outputLayout = 4;
    auto withWorld = [&](std::function<void(NativeWorld&)> change) {
        return [=] {
            NativeWorld w = world;
            change(w);
            checkedNativeWorld(w);
        };
    };
    struct Case {
        std::function<void()> call;
        const char* message;  // null: accepted
    };
    const Case cases[] = {
        {[&] { checkStreakStage(streak, dodge, false); }, "GPU FP64 unavailable for precision-sensitive blend; CPU fallback"},
        {[&] { checkStreakStage(streak, dodge, true); }, nullptr},
        {[&] { checkStreakStage(huge, plain, false); }, "GPU sampled workload limit; CPU fallback"},
        {[&] { checkStreakStage(huge, plain, true); }, nullptr},
        {[&] { checkBudget(memory, 901, kStageBudgetMessage); }, "Insufficient GPU memory budget; CPU fallback"},
        {[&] { checkBudget(memory, 900, kStageBudgetMessage); }, nullptr},
        {[&] { checkBudget(MemoryInfo{1000, 2000}, 1, kFrameBudgetMessage); }, "Insufficient GPU frame memory budget"},
        {[&] { checkBudget(std::nullopt, ~0ull, kFrameBudgetMessage); }, nullptr},
        {[&] { structuredBytes(1ull << 61, 16); }, "GPU buffer too large"},
        {[&] { structuredBytes(1ull << 59, 16); }, nullptr},
        {[&] { rawBytes(0); }, "Invalid native GPU buffer size"},
        {[&] { rawBytes(6); }, "Invalid native GPU buffer size"},
        {[&] { rawBytes(1ull << 32); }, "Invalid native GPU buffer size"},
        {[&] { rawBytes((1ull << 32) - 4); }, nullptr},
        {withWorld([](NativeWorld&) {}), nullptr},
        {withWorld([](NativeWorld& w) { w.inputLayout = 5; }), "Unsupported native world layout"},
        {withWorld([](NativeWorld& w) { w.outputLayout = -1; }), "Unsupported native world layout"},
        {withWorld([](NativeWorld& w) { w.input = nullptr; }), "Unsupported native world layout"},
        {withWorld([](NativeWorld& w) { w.inputStride = 30; }), "Unsupported native world layout"},
        {withWorld([](NativeWorld& w) { w.outputStride = 31; }), "Unsupported native world layout"},
        {withWorld([](NativeWorld& w) { w.destinationX = 1; }), "Unsupported native world layout"},
        {withWorld([](NativeWorld& w) { w.destinationX = 1, w.destinationWidth = 1; }), nullptr},
        {withWorld([](NativeWorld& w) { w.inputLayout = 1, w.inputStride = 8; }), nullptr},
    };
    int index = 0;
    for (Case const& c : cases) {
        std::string got;
        try {
            c.call();
        } catch (std::runtime_error const& e) {
            got = e.what();
        }
        EXPECT_EQ(got, c.message ? c.message : "") << "case " << index;
        ++index;
    }
    EXPECT_EQ(extraBytes({100, 50}, {80, 70, 10}), 30u);  // only growth counts
}

TEST(D3D11Plan, LeaseUnderConcurrentFramesTwoSlotsThirdWaitsShutdownWaits) {
    struct Context {
        int slot;
    };
    using Slots = ContextSlots<Context>;
    Slots slots;
    Context contexts[2] = {{0}, {1}};
    auto open = [&](int slot) { return &contexts[slot]; };
    std::atomic<int> stage{0};
    std::atomic<bool> release{false};
    std::atomic<int> thirdSlot{-1};
    std::atomic<bool> shutDown{false};
    auto holder = [&] {
        Slots::Lease lease(slots, open);
        EXPECT_EQ(Slots::current(), &contexts[lease.slot()]);
        ++stage;
        while (!release) std::this_thread::yield();
    };
    std::thread a(holder), b(holder);
    while (stage < 2) std::this_thread::yield();
    std::thread third([&] {
        Slots::Lease lease(slots, open);
        thirdSlot = lease.slot();
    });
    std::thread shutdown([&] { slots.whenIdle([&] { shutDown = true; }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(thirdSlot, -1) << "a third frame must wait while both slots are leased";
    EXPECT_FALSE(shutDown) << "shutdown must wait for the leased slots";
    release = true;
    a.join();
    b.join();
    third.join();
    shutdown.join();
    EXPECT_TRUE(thirdSlot == 0 || thirdSlot == 1);
    EXPECT_TRUE(shutDown);
    // A lease restores the thread's previous context, and a failed open gives its slot back.
    EXPECT_EQ(Slots::current(), nullptr);
    EXPECT_THROW(Slots::Lease(slots, [](int) -> Context* { throw std::runtime_error("D3D11 failure: 1"); }),
                 std::runtime_error);
    Slots::Lease first(slots, open), second(slots, open);
    EXPECT_EQ(first.slot() + second.slot(), 1);
}

}  // namespace
}  // namespace raydrift::d3d11

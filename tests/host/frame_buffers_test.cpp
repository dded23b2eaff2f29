// Frame buffers reused between renders: bounded, and never a way for one frame's pixels
// to reach another.
#include <gtest/gtest.h>

#include "host/entry.h"
#include "host/frame_buffers.h"
#include "host_test_support.h"

namespace {

using namespace hosttest;
using hostsim::FrameRequest;
using hostsim::World;
namespace fb = raydrift::frame_buffers;

// The plug-in linked into this test, so that its buffers are the ones inspected here.
hostsim::Host& aeHost() {
    static hostsim::Host host(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr},
                              hostsim::HostKind::AfterEffects);
    return host;
}

FrameRequest defaultRequest(hostsim::Host& host) {
    FrameRequest request;
    request.params = host.defaults();
    return request;
}

TEST(FrameBuffers, KeepsAFewLargestImagesAndClears) {
    fb::clear();
    for (int side : {8, 64, 16, 32, 4, 48}) fb::give(Image(side, side));
    EXPECT_EQ(fb::idleCount(), fb::kIdleLimit);
    // The two smallest (4 and 8) went; the largest comes out first.
    EXPECT_EQ(fb::idleBytes(), (64 * 64 + 48 * 48 + 32 * 32 + 16 * 16) * sizeof(Pixel));
    EXPECT_EQ(fb::take().width, 64);
    fb::give(Image());  // nothing to keep
    EXPECT_EQ(fb::idleCount(), fb::kIdleLimit - 1);
    {
        fb::Borrowed borrowed;
        EXPECT_EQ(borrowed.image.width, 48);
        EXPECT_EQ(fb::idleCount(), fb::kIdleLimit - 2);
    }
    EXPECT_EQ(fb::idleCount(), fb::kIdleLimit - 1);
    fb::clear();
    EXPECT_EQ(fb::idleCount(), 0u);
    EXPECT_EQ(fb::take().pixels.capacity(), 0u);
}

// A layer whose input covers only part of it renders the same after a bright frame
// has passed through the reused buffers as it does from fresh memory.
TEST(FrameBuffers, BorrowedImagesNeverLeakAnEarlierFrame) {
    const World partial = testWorld(40, 30, kAe32, 3);
    FrameRequest request = defaultRequest(aeHost());
    setMenu(request.params, raydrift::kParamOutput, 2);
    request.inputOriginX = -20;
    request.inputOriginY = 5;
    request.refWidth = 40;
    request.refHeight = 30;

    fb::clear();
    World fresh(40, 30, kAe32);
    ASSERT_EQ(aeHost().render(partial, fresh, request), PF_Err_NONE);

    // A bright frame of the whole layer's size leaves its pixels in the idle buffers.
    World bright(60, 35, kAe32);
    for (int y = 0; y < 35; ++y)
        for (int x = 0; x < 60; ++x) {
            const float argb[4] = {1.0f, 5.0f, 5.0f, 5.0f};
            bright.set(x, y, argb);
        }
    FrameRequest full = defaultRequest(aeHost());
    World brightOut(60, 35, kAe32);
    ASSERT_EQ(aeHost().render(bright, brightOut, full), PF_Err_NONE);
    EXPECT_GT(fb::idleCount(), 0u);

    World reused(40, 30, kAe32);
    ASSERT_EQ(aeHost().render(partial, reused, request), PF_Err_NONE);
    EXPECT_EQ(differingPixels(reused, fresh), 0);
}

}  // namespace

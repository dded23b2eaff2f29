// Frames rendered through the loaded plug-in by the simulated host, compared with the
// frame driver run on the same pixels.
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <vector>

#include "host_test_support.h"

namespace hosttest {
namespace {

using hostsim::FrameRequest;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::World;

Host& aeHost() {
    static Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    return host;
}
Host& prHost() {
    static Host host(hostsim::defaultPluginPath(), HostKind::Premiere);
    return host;
}

FrameRequest defaultRequest(Host& host) {
    FrameRequest request;
    request.params = host.defaults();
    return request;
}

// Every format through its host's path gives the picture of the frame driver on the
// converted input, byte for byte (the output conversions are deterministic), with
// padded rows and with rows running upwards in memory.
TEST(HostRender, EveryFormatMatchesTheFrameDriver) {
    struct Case {
        int format;
        bool premiere;
        bool plain;
    };
    const Case cases[] = {{kArgb, false, false}, {kAe16, false, false}, {kAe32, false, false},
                          {kArgb, false, true},  {kAe16, false, true},  {kBgra, true, true},
                          {kBGra, true, true}};
    for (Case const& c : cases)
        for (int layout = 0; layout < 3; ++layout) {
            SCOPED_TRACE(hostsim::formatName(c.format) + (c.plain ? " plain" : " smart") + " layout " +
                         std::to_string(layout));
            Host& host = c.premiere ? prHost() : aeHost();
            const int w = 41, h = 27, bytes = World::pixelBytes(c.format);
            const int rowbytes = layout == 0 ? 0 : layout == 1 ? w * bytes + 24 : -(w * bytes + 8);
            const World input = testWorld(w, h, c.format, 11, rowbytes);
            World output = blankLike(input, rowbytes);
            FrameRequest request = defaultRequest(host);
            request.plainRender = c.plain;
            request.currentTime = 5;
            setFloat(request.params, raydrift::kParamLength, 300.0);
            setFloat(request.params, raydrift::kParamThreshold, 30.0);
            ASSERT_EQ(host.render(input, output, request), PF_Err_NONE);
            EXPECT_TRUE(output.guardsIntact());

            raydrift::RenderSettings settings = settingsOf(request.params, 5.0 / 24.0);
            if (!c.plain) settings.scale = layerScale(w, h);
            const World expected = expectedFrame(input, settings);
            EXPECT_EQ(differingPixels(output, expected), 0);
            EXPECT_GT(differingPixels(output, input), 0) << "the effect changed nothing";
            // A host may hand one world as both input and output.
            World inPlace = input;
            ASSERT_EQ(host.render(inPlace, inPlace, request), PF_Err_NONE);
            EXPECT_EQ(differingPixels(inPlace, expected), 0) << "in place";
        }
}

// Quality and the three other views, in the float and 8-bit formats of both hosts.
TEST(HostRender, ViewsMatchTheFrameDriver) {
    for (int view = 1; view <= 4; ++view)
        for (int output = 1; output <= 2; ++output)
            for (int format : {kArgb, kAe32, kBgra, kBGra}) {
                SCOPED_TRACE(hostsim::formatName(format) + " view " + std::to_string(view) + " output " +
                             std::to_string(output));
                Host& host = isStraight(format) ? prHost() : aeHost();
                const World input = testWorld(23, 19, format, 3);
                World out = blankLike(input);
                FrameRequest request = defaultRequest(host);
                setMenu(request.params, raydrift::kParamView, view);
                setMenu(request.params, raydrift::kParamOutput, output);
                setFloat(request.params, raydrift::kParamThreshold, 20.0);
                ASSERT_EQ(host.render(input, out, request), PF_Err_NONE);
                raydrift::RenderSettings settings = settingsOf(request.params, 0.0);
                if (!isStraight(format)) settings.scale = layerScale(23, 19);
                EXPECT_EQ(differingPixels(out, expectedFrame(input, settings)), 0);
            }
}

// The Alpha view writes straight colour with the clamped alpha, and colour 0 where the
// alpha vanishes, in After Effects worlds too.
TEST(HostRender, AlphaViewWritesStraightColour) {
    World input(8, 4, kAe32);
    for (int x = 0; x < 8; ++x) {
        const float dim[4] = {0.5f, 0.1f, 0.1f, 0.1f};
        input.set(x, 0, dim);
    }
    const float bright[4] = {1.0f, 3.0f, 3.0f, 3.0f};
    input.set(3, 2, bright);
    World output = blankLike(input);
    FrameRequest request = defaultRequest(aeHost());
    setMenu(request.params, raydrift::kParamView, 4);
    setMenu(request.params, raydrift::kParamOutput, 2);
    ASSERT_EQ(aeHost().render(input, output, request), PF_Err_NONE);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) {
            float v[4];
            output.get(x, y, v);
            EXPECT_GE(v[0], 0.0f);
            EXPECT_LE(v[0], 1.0f);
            if (v[0] <= 1e-6f) {
                EXPECT_EQ(v[1], 0.0f);
                EXPECT_EQ(v[2], 0.0f);
                EXPECT_EQ(v[3], 0.0f);
            }
        }
    raydrift::RenderSettings settings = settingsOf(request.params, 0.0);
    settings.scale = layerScale(8, 4);
    EXPECT_EQ(differingPixels(output, expectedFrame(input, settings)), 0);
}

// Premiere float frames: pixels the streaks do not reach keep the host's exact values,
// colour under zero alpha included; in the Matte view nothing is passed through.
TEST(HostRender, PremiereFloatPassesUntouchedPixelsExactly) {
    World input(32, 16, kBGra);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x) {
            const float p[4] = {x % 3 == 0 ? 0.0f : 0.37f, 0.0123456f, 0.07654321f, -0.25f};  // a, r, g, b
            input.set(x, y, p);
        }
    const float light[4] = {1.0f, 5.0f, 5.0f, 5.0f};
    input.set(2, 2, light);
    World output = blankLike(input);
    FrameRequest request = defaultRequest(prHost());
    setMenu(request.params, raydrift::kParamOutput, 2);
    ASSERT_EQ(prHost().render(input, output, request), PF_Err_NONE);
    int untouched = 0;
    for (int y = 8; y < 16; ++y)
        for (int x = 0; x < 32; ++x) untouched += std::memcmp(output.row(y) + 16 * x, input.row(y) + 16 * x, 16) == 0;
    EXPECT_EQ(untouched, 8 * 32) << "pixels far from the light are not bit-identical";
    float zeroAlpha[4];
    output.get(0, 15, zeroAlpha);
    EXPECT_EQ(zeroAlpha[1], 0.0123456f);
    EXPECT_EQ(zeroAlpha[3], -0.25f);

    setMenu(request.params, raydrift::kParamView, 2);
    World matte = blankLike(input);
    ASSERT_EQ(prHost().render(input, matte, request), PF_Err_NONE);
    matte.get(0, 15, zeroAlpha);
    EXPECT_EQ(zeroAlpha[1], 0.0f);
}

// NaN never reaches an integer world as anything but 0: a float input feeding 8-bit and
// 16-bit outputs (the smart path reads in the input's format and writes in the output's).
TEST(HostRender, NanReachesIntegerWorldsAsZero) {
    World input(6, 6, kAe32);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) {
            const float p[4] = {1.0f, x == 2 ? nan : 0.9f, 0.2f, y == 3 ? nan : 0.1f};
            input.set(x, y, p);
        }
    FrameRequest request = defaultRequest(aeHost());
    setMenu(request.params, raydrift::kParamOutput, 2);
    raydrift::RenderSettings settings = settingsOf(request.params, 0.0);
    settings.scale = layerScale(6, 6);
    Image result;
    raydrift::image::processFrame(readReference(input), result, settings);
    int nans = 0;
    for (Pixel const& p : result.pixels) nans += std::isnan(p.r) + std::isnan(p.b);
    ASSERT_GT(nans, 0);
    for (int format : {kArgb, kAe16}) {
        World output(6, 6, format);
        ASSERT_EQ(aeHost().render(input, output, request), PF_Err_NONE);
        EXPECT_EQ(differingPixels(output, writeReference(result, format, false)), 0);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 6; ++x) {
                float v[4];
                output.get(x, y, v);
                if (std::isnan(result.at(x, y).r)) {
                    EXPECT_EQ(v[1], 0.0f);
                }
                if (std::isnan(result.at(x, y).b)) {
                    EXPECT_EQ(v[3], 0.0f);
                }
            }
    }
}

// The smart path's picture for a float input placed at (ox, oy) of a layer image of
// layerW × layerH starting at (layerLeft, layerTop), cropped to `out` (layer coordinates).
World smartExpected(World const& input, int ox, int oy, PF_LRect layer, PF_LRect out,
                    raydrift::RenderSettings const& settings) {
    Image canvas(layer.right - layer.left, layer.bottom - layer.top);
    const Image source = readReference(input);
    for (int y = 0; y < source.height; ++y)
        for (int x = 0; x < source.width; ++x) canvas.at(x + ox - layer.left, y + oy - layer.top) = source.at(x, y);
    Image result;
    raydrift::image::processFrame(canvas, result, settings);
    Image cropped(out.right - out.left, out.bottom - out.top);
    for (int y = 0; y < cropped.height; ++y)
        for (int x = 0; x < cropped.width; ++x)
            cropped.at(x, y) = result.at(x + out.left - layer.left, y + out.top - layer.top);
    return writeReference(cropped, input.format(), settings.view == raydrift::ViewMode::Alpha);
}

// After Effects at half resolution: the 3840×2160 layer is 1920×1080 pixels now, so the
// streaks are measured at scale 1; at full resolution (the same pixels standing for a
// 3840×2160 layer) at scale 2. The layer extends past the input's pixels, transparent.
TEST(HostRender, DownsampledLayerScale) {
    World input = testWorld(96, 54, kAe32, 5);
    const float light[4] = {1.0f, 6.0f, 6.0f, 6.0f};
    input.set(90, 50, light);
    FrameRequest request = defaultRequest(aeHost());
    setMenu(request.params, raydrift::kParamOutput, 2);
    request.downsampleX = request.downsampleY = PF_RationalScale{1, 2};
    request.refWidth = 3840;
    request.refHeight = 2160;
    World half = blankLike(input);
    ASSERT_EQ(aeHost().render(input, half, request), PF_Err_NONE);
    raydrift::RenderSettings settings = settingsOf(request.params, 0.0);
    settings.scale = 1.0f;
    EXPECT_EQ(differingPixels(half, smartExpected(input, 0, 0, {0, 0, 1920, 1080}, {0, 0, 96, 54}, settings)), 0);

    request.downsampleX = request.downsampleY = PF_RationalScale{1, 1};
    request.refWidth = 1920;
    request.refHeight = 1080;
    settings.scale = 1.0f;
    World full = blankLike(input);
    ASSERT_EQ(aeHost().render(input, full, request), PF_Err_NONE);
    EXPECT_EQ(differingPixels(full, half), 0);
    request.refWidth = 3840;
    request.refHeight = 2160;
    ASSERT_EQ(aeHost().render(input, full, request), PF_Err_NONE);
    settings.scale = 2.0f;
    EXPECT_EQ(differingPixels(full, smartExpected(input, 0, 0, {0, 0, 3840, 2160}, {0, 0, 96, 54}, settings)), 0);
    EXPECT_GT(differingPixels(full, half), 0);
}

// The rectangles of the smart pair: the layer grows to the input's possible pixels
// (origin −20), the output covers the request within it, and a request wholly outside
// ends the frame at once.
TEST(HostRender, SmartRectangles) {
    const World input = testWorld(40, 30, kAe32, 9);
    FrameRequest request = defaultRequest(aeHost());
    setMenu(request.params, raydrift::kParamOutput, 2);
    request.inputOriginX = -20;
    request.inputOriginY = 5;
    request.refWidth = 40;
    request.refHeight = 30;
    request.requestRect = PF_LRect{-10, 0, 30, 30};
    World output(40, 30, kAe32);
    hostsim::SmartTrace trace;
    ASSERT_EQ(aeHost().render(input, output, request, &trace), PF_Err_NONE);
    EXPECT_EQ(trace.maxResultRect.left, -20);
    EXPECT_EQ(trace.maxResultRect.top, 0);
    EXPECT_EQ(trace.maxResultRect.right, 40);
    EXPECT_EQ(trace.maxResultRect.bottom, 35);
    EXPECT_EQ(trace.resultRect.left, -10);
    EXPECT_EQ(trace.resultRect.right, 30);
    EXPECT_EQ(trace.resultRect.bottom, 30);
    EXPECT_EQ((std::vector<A_long>{1000, 0}), trace.checkoutIds);
    EXPECT_EQ(trace.paramCheckouts, 25);
    EXPECT_EQ(trace.paramCheckins, 25);
    EXPECT_EQ(trace.flags & PF_RenderOutputFlag_GPU_RENDER_POSSIBLE, 0);

    // The layer image (−20, 0)–(40, 35) holds the input at (−20, 5); the output is the
    // request's part of its render.
    raydrift::RenderSettings settings = settingsOf(request.params, 0.0);
    settings.scale = layerScale(40, 30);
    EXPECT_EQ(differingPixels(output, smartExpected(input, -20, 5, {-20, 0, 40, 35}, {-10, 0, 30, 30}, settings)), 0);

    // A request wholly outside the layer: no pre-render data, nothing written.
    request.requestRect = PF_LRect{100, 100, 140, 130};
    World untouched(40, 30, kAe32);
    const World before = untouched;
    ASSERT_EQ(aeHost().render(input, untouched, request, &trace), PF_Err_NONE);
    EXPECT_FALSE(trace.hadPreRenderData);
    EXPECT_EQ(trace.resultRect.right - trace.resultRect.left, 0);
    EXPECT_EQ(trace.checkoutIds.size(), 1u);
    EXPECT_EQ(differingPixels(untouched, before), 0);

    // An input without pixels renders the effect on a transparent layer.
    World noPixels = input;
    noPixels.def().data = nullptr;
    request.requestRect.reset();
    request.inputOriginX = request.inputOriginY = 0;
    World fromNothing(40, 30, kAe32);
    ASSERT_EQ(aeHost().render(noPixels, fromNothing, request), PF_Err_NONE);
    EXPECT_EQ(differingPixels(fromNothing, World(40, 30, kAe32)), 0);
}

// Worlds the plug-in cannot use get the boundary's error code and nothing is written,
// not even next to the world.
TEST(HostRender, BadWorldsAreRefusedWithoutWriting) {
    struct Case {
        const char* what;
        bool premiere;
        PF_Err expected;
        void (*spoil)(World& input, World& output);
    };
    const Case cases[] = {
        {"output one column short", false, PF_Err_BAD_CALLBACK_PARAM,
         [](World&, World& o) { o.def().width -= 1; }},
        {"plain sizes differ", true, PF_Err_BAD_CALLBACK_PARAM, [](World&, World& o) { o.def().height -= 1; }},
        {"unknown output format", false, PF_Err_UNRECOGNIZED_PARAM_TYPE,
         [](World&, World& o) { o.setFormat(PF_FourCC('x', 'y', 'z', 'w')); }},
        {"unknown input format", true, PF_Err_UNRECOGNIZED_PARAM_TYPE,
         [](World& i, World&) { i.setFormat(PF_FourCC('x', 'y', 'z', 'w')); }},
        {"output without pixels", false, PF_Err_BAD_CALLBACK_PARAM, [](World&, World& o) { o.def().data = nullptr; }},
        {"plain input without pixels", true, PF_Err_BAD_CALLBACK_PARAM,
         [](World& i, World&) { i.def().data = nullptr; }},
        {"output rows too short", false, PF_Err_BAD_CALLBACK_PARAM, [](World&, World& o) { o.def().rowbytes = 8; }},
        {"input rows too short", false, PF_Err_BAD_CALLBACK_PARAM, [](World& i, World&) { i.def().rowbytes = 4; }},
        {"plain input rows too short", true, PF_Err_BAD_CALLBACK_PARAM,
         [](World& i, World&) { i.def().rowbytes = -4; }},
        {"zero-sized plain worlds", true, PF_Err_BAD_CALLBACK_PARAM,
         [](World& i, World& o) { i.def().width = o.def().width = 0; }},
        {"negative plain worlds", true, PF_Err_BAD_CALLBACK_PARAM,
         [](World& i, World& o) { i.def().height = o.def().height = -3; }},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.what);
        Host& host = c.premiere ? prHost() : aeHost();
        World input = testWorld(16, 12, c.premiere ? kBGra : kAe32, 2, 16 * 16 + 32);
        World output(16, 12, input.format(), 16 * 16 + 32);
        const float marker[4] = {0.5f, 0.25f, 0.125f, 0.0625f};
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 16; ++x) output.set(x, y, marker);
        const World before = output;
        const PF_LayerDef saved = output.def();
        c.spoil(input, output);
        EXPECT_EQ(host.render(input, output, defaultRequest(host)), c.expected);
        output.def() = saved;
        output.setFormat(before.format());
        EXPECT_TRUE(output.guardsIntact());
        EXPECT_EQ(differingPixels(output, before), 0);
    }
}

// Rectangles and sizes no layer can have: a clean error or an empty frame, never a
// write outside the output.
TEST(HostRender, AbsurdRectanglesAreHandled) {
    const World input = testWorld(16, 12, kAe32, 8);
    FrameRequest request = defaultRequest(aeHost());
    request.requestRect = PF_LRect{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX};
    World output = blankLike(input);
    EXPECT_EQ(aeHost().render(input, output, request), PF_Err_NONE);  // the request is cut to the layer
    EXPECT_TRUE(output.guardsIntact());

    request.requestRect = PF_LRect{50, 50, 10, 10};  // inside out
    World untouched = blankLike(input);
    EXPECT_EQ(aeHost().render(input, untouched, request), PF_Err_NONE);
    EXPECT_EQ(differingPixels(untouched, blankLike(input)), 0);

    // A layer reported as INT_MAX pixels square, or one stretched to the end of the
    // coordinate range, cannot be rendered: a clean 516.
    request.requestRect.reset();
    request.refWidth = request.refHeight = INT32_MAX;
    World huge = blankLike(input);
    EXPECT_EQ(aeHost().render(input, huge, request), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(differingPixels(huge, blankLike(input)), 0);
    EXPECT_TRUE(huge.guardsIntact());

    // Input placed at the far end of the coordinate range.
    request.refWidth = request.refHeight = 0;
    request.inputOriginX = INT32_MAX - 4;
    World far = blankLike(input);
    EXPECT_EQ(aeHost().render(input, far, request), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_TRUE(far.guardsIntact());
}

// A cancelled render leaves the output as it was and returns the host's code, whether the
// user cancels before the frame starts or while it renders (the second check), on the
// paths that convert whole worlds and on those that stream rows to the engine.
TEST(HostRender, UserAbortLeavesOutputUnwritten) {
    for (Host* host : {&aeHost(), &prHost()})
        for (int format : host == &aeHost() ? std::vector<int>{kAe16, kAe32} : std::vector<int>{kBgra, kBGra})
            for (int check : {1, 2}) {
                const World input = testWorld(20, 10, format, 4);
                World output = blankLike(input);
                const World before = output;
                FrameRequest request = defaultRequest(*host);
                request.abortCode = PF_Interrupt_CANCEL;
                request.abortFromCheck = check;
                EXPECT_EQ(host->render(input, output, request), PF_Interrupt_CANCEL) << format << " " << check;
                EXPECT_EQ(differingPixels(output, before), 0) << format << " " << check;
                // Answered from the third check on, the frame renders: there are two.
                request.abortFromCheck = 3;
                EXPECT_EQ(host->render(input, output, request), PF_Err_NONE) << format;
            }
}

}  // namespace
}  // namespace hosttest

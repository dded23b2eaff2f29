// The host boundary against hostile worlds, parameter values and sizes, and against a
// frame that cannot be allocated: every command answers with an error code, writes only
// its output world and leaves the plug-in able to render the next frame.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "host/entry.h"
#include "host/frame_memory.h"
#include "host_test_support.h"
#include "image/parallel.h"

namespace {

using namespace hosttest;
using hostsim::FrameRequest;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::World;
using hostsim::formatName;
namespace fm = raydrift::frame_memory;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The plug-in linked into this test, so that the memory limit set here is its own.
Host& host(HostKind kind) {
    static Host ae(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
    static Host pr(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::Premiere);
    return kind == HostKind::Premiere ? pr : ae;
}

FrameRequest request(Host& h) {
    FrameRequest r;
    r.params = h.defaults();
    setFloat(r.params, raydrift::kParamLength, 120.0);
    setFloat(r.params, raydrift::kParamWidth, 6.0);
    r.params[raydrift::kParamDirection].u.ad.value = 45 << 16;
    return r;
}

bool allZero(World const& w) {
    const int bytes = World::pixelBytes(w.format());
    for (int y = 0; y < w.height(); ++y)
        for (int x = 0; x < w.width() * bytes; ++x)
            if (w.row(y)[x] != 0) return false;
    return true;
}

// Float worlds: every channel finite and alpha within [0, 1], except where the plug-in
// handed a Premiere pixel it left untouched back with the host's own bytes.
int badFloatPixels(World const& w, World const* input = nullptr) {
    int bad = 0;
    for (int y = 0; y < w.height(); ++y)
        for (int x = 0; x < w.width(); ++x) {
            if (input && std::memcmp(w.row(y) + 16 * x, input->row(y) + 16 * x, 16) == 0) continue;
            float argb[4];
            w.get(x, y, argb);
            const bool ok = std::isfinite(argb[0]) && std::isfinite(argb[1]) && std::isfinite(argb[2]) &&
                            std::isfinite(argb[3]) && argb[0] >= 0.0f && argb[0] <= 1.0f;
            bad += ok ? 0 : 1;
        }
    return bad;
}

// Limits the memory one render may take to `bytes` for a scope.
struct MemoryLimit {
    explicit MemoryLimit(std::uint64_t bytes) { fm::setLimit(bytes); }
    ~MemoryLimit() { fm::setLimit(0); }
};

// A frame that cannot be allocated is answered 4 without touching the output world, and
// the next frame renders as if it had never been asked for.
TEST(HostileHost, AFrameThatDoesNotFitIsOutOfMemoryAndNothingElseBreaks) {
    const int formats[] = {kArgb, kAe16, kAe32, kBgra, kBGra};
    for (int format : formats) {
        Host& h = host(isStraight(format) ? HostKind::Premiere : HostKind::AfterEffects);
        const World input = testWorld(120, 80, format, 31);
        FrameRequest req = request(h);
        setMenu(req.params, raydrift::kParamOutput, 2);  // Quality: a full-size canvas
        World before = blankLike(input);
        ASSERT_EQ(h.render(input, before, req), PF_Err_NONE);
        const int handles = h.liveHandles();
        // Room for the matte, which needs no canvas, but not for the streaks.
        FrameRequest matte = req;
        setMenu(matte.params, raydrift::kParamView, 2);
        const std::uint64_t hostBytes = 3 * 120 * 80 * sizeof(Pixel);  // layer, output, placed input at most
        raydrift::RenderSettings streaks = settingsOf(req.params, 0.0), matteView = settingsOf(matte.params, 0.0);
        streaks.scale = matteView.scale = layerScale(120, 80);
        const std::uint64_t streakNeed = hostBytes + fm::frameBytes(120, 80, streaks);
        const std::uint64_t matteNeed = hostBytes + fm::frameBytes(120, 80, matteView);
        ASSERT_LT(matteNeed, streakNeed);
        {
            MemoryLimit limit(matteNeed);
            World refused = blankLike(input, World::pixelBytes(format) * 120 + 8);
            EXPECT_EQ(h.render(input, refused, req), PF_Err_OUT_OF_MEMORY) << formatName(format);
            EXPECT_TRUE(allZero(refused)) << formatName(format);
            EXPECT_TRUE(refused.guardsIntact()) << formatName(format);
            World matteOut = blankLike(input);
            EXPECT_EQ(h.render(input, matteOut, matte), PF_Err_NONE) << formatName(format);
        }
        EXPECT_EQ(raydrift::parallel::activeFrames.load(), 0u);
        EXPECT_EQ(raydrift::parallel::helpersInUse.load(), 0u);
        EXPECT_EQ(h.liveHandles(), handles);
        World after = blankLike(input);
        ASSERT_EQ(h.render(input, after, req), PF_Err_NONE);
        EXPECT_EQ(differingPixels(after, before), 0) << formatName(format);
    }
}

// A 30000 × 30000 layer at 45° with Length 1000 (the host hands over no pixels for it,
// so the test needs none): its canvas needs far more than the machine. The answer is
// immediate, before the layer image itself is allocated.
TEST(HostileHost, AGiganticLayerIsRefusedBeforeAnythingIsAllocated) {
    Host& h = host(HostKind::AfterEffects);
    World input(1, 1, kAe32);
    input.def().width = 30000;
    input.def().height = 30000;
    input.def().data = nullptr;  // a layer whose pixels the host does not provide
    FrameRequest req = request(h);
    setFloat(req.params, raydrift::kParamLength, 1000.0);
    req.requestRect = PF_LRect{14000, 14000, 14064, 14048};
    World output(64, 48, kAe32);
    hostsim::SmartTrace trace;
    const PF_Err err = h.render(input, output, req, &trace);
    EXPECT_TRUE(err == PF_Err_OUT_OF_MEMORY || err == PF_Err_BAD_CALLBACK_PARAM) << err;
    EXPECT_EQ(trace.preRenderErr, PF_Err_NONE);
    EXPECT_EQ(trace.maxResultRect.right, 30000);
    EXPECT_TRUE(allZero(output));
    EXPECT_TRUE(output.guardsIntact());
    EXPECT_EQ(raydrift::parallel::activeFrames.load(), 0u);

    // The same layer without streaks fits wherever 2 × 14.4 GB does not: the answer
    // depends on the machine, but it is an answer.
    FrameRequest matte = req;
    setMenu(matte.params, raydrift::kParamView, 2);
    {
        MemoryLimit limit(std::uint64_t{1} << 30);
        EXPECT_EQ(h.render(input, output, matte), PF_Err_OUT_OF_MEMORY);
    }
    // And a small frame renders afterwards.
    const World small = testWorld(40, 30, kAe32, 5);
    World out = blankLike(small);
    EXPECT_EQ(h.render(small, out, request(h)), PF_Err_NONE);
}

// Parameter values no panel would let through, in every render parameter: the frame
// renders, and float worlds stay finite with alpha in range.
TEST(HostileHost, ParameterValuesBeyondEveryRange) {
    struct Row {
        int index;
        double value;
    };
    std::vector<Row> rows;
    for (int index : {raydrift::kParamThreshold, raydrift::kParamThresholdSmooth, raydrift::kParamLength,
                      raydrift::kParamWidth, raydrift::kParamIntensity, raydrift::kParamDetails,
                      raydrift::kParamDiffraction, raydrift::kParamChromaticAmount, raydrift::kParamLengthJitterSpeed,
                      raydrift::kParamLengthJitterAmount, raydrift::kParamWidthJitterSpeed,
                      raydrift::kParamWidthJitterAmount, raydrift::kParamTintMix})
        for (double value : {kNaN, kInf, -kInf, 1e300, -1e300, -1.0, 1e6})
            rows.push_back({index, value});
    for (HostKind kind : {HostKind::AfterEffects, HostKind::Premiere}) {
        Host& h = host(kind);
        const int format = kind == HostKind::Premiere ? kBGra : kAe32;
        const World input = testWorld(36, 20, format, 17);
        // Lengths and widths of a million pixels would need gigabytes: a small budget
        // turns them into the quick answer 4 they would get on a smaller machine.
        MemoryLimit limit(std::uint64_t{64} << 20);
        int rendered = 0;
        for (Row const& row : rows) {
            FrameRequest req = request(h);
            setCheckbox(req.params, raydrift::kParamJitterLength, true);
            setCheckbox(req.params, raydrift::kParamJitterWidth, true);
            setFloat(req.params, raydrift::kParamTintMix, 40.0);
            setFloat(req.params, row.index, row.value);
            req.currentTime = 1000;
            World out = blankLike(input);
            const PF_Err err = h.render(input, out, req);
            const std::string what = "parameter " + std::to_string(row.index) + " = " + std::to_string(row.value);
            // Sizes no image can address are refused as memory, anything else renders.
            EXPECT_TRUE(err == PF_Err_NONE || err == PF_Err_OUT_OF_MEMORY) << what << ": " << err;
            rendered += err == PF_Err_NONE ? 1 : 0;
            if (err == PF_Err_NONE && std::isfinite(row.value) && std::fabs(row.value) <= 1e6) {
                EXPECT_EQ(badFloatPixels(out, format == kBGra ? &input : nullptr), 0) << what;
            }
            EXPECT_TRUE(out.guardsIntact()) << what;
        }
        // Only the few sizes beyond the budget are refused.
        EXPECT_GT(rendered, static_cast<int>(rows.size()) * 3 / 4);
        // Menus and the angle at any value.
        for (A_long value : {A_long{-2147483647 - 1}, A_long{-1}, A_long{0}, A_long{99}, A_long{2147483647}}) {
            FrameRequest req = request(h);
            for (int index : {raydrift::kParamView, raydrift::kParamOutput, raydrift::kParamBlendMode,
                              raydrift::kParamEdgeMode, raydrift::kParamChannels})
                setMenu(req.params, index, value);
            req.params[raydrift::kParamDirection].u.ad.value = value;
            setFloat(req.params, raydrift::kParamDiffraction, 200.0);
            World out = blankLike(input);
            EXPECT_EQ(h.render(input, out, req), PF_Err_NONE) << value;
            EXPECT_EQ(badFloatPixels(out, format == kBGra ? &input : nullptr), 0) << value;
        }
    }
}

// Times, time scales and downsampling factors at the ends of their integer types: the
// host's own arithmetic and the plug-in's stay defined, and the frame either renders or,
// where the layer's scale makes streaks no machine can hold, is out of memory.
TEST(HostileHost, TimesAndDownsamplingAtTheIntegerLimits) {
    Host& h = host(HostKind::AfterEffects);
    const World input = testWorld(30, 20, kArgb, 9);
    const A_long kMin = -2147483647 - 1, kMax = 2147483647;
    struct Row {
        A_long time, step;
        A_u_long scale;
        PF_RationalScale dx, dy;
        A_long refWidth;
    };
    const Row rows[] = {
        {kMin, kMax, 0, {1, 1}, {1, 1}, 0},
        {kMax, kMin, 1, {1, 1}, {1, 1}, 0},
        {kMax, kMax, 0xffffffffu, {1, 0}, {0, 0}, 0},
        {7, 1, 24, {-3, 2}, {1, 1}, 0},
        {7, 1, 24, {kMax, 1}, {kMax, 1}, 0},
        {7, 1, 24, {1, 1}, {1, 1}, kMax},
        {7, 1, 24, {1, 0xffffffffu}, {1, 0xffffffffu}, kMax},
    };
    for (Row const& row : rows) {
        FrameRequest req = request(h);
        setCheckbox(req.params, raydrift::kParamJitterLength, true);
        req.currentTime = row.time;
        req.timeStep = row.step;
        req.timeScale = row.scale;
        req.downsampleX = row.dx;
        req.downsampleY = row.dy;
        req.refWidth = row.refWidth;
        req.refHeight = row.refWidth;
        World out = blankLike(input);
        const PF_Err err = h.render(input, out, req);
        // A layer scale of 2^31 pixels across is beyond any rectangle the boundary accepts.
        EXPECT_TRUE(err == PF_Err_NONE || err == PF_Err_OUT_OF_MEMORY || err == PF_Err_BAD_CALLBACK_PARAM)
            << row.time << " " << row.step << ": " << err;
        EXPECT_TRUE(out.guardsIntact());
        EXPECT_EQ(h.command(PF_Cmd_QUERY_DYNAMIC_FLAGS, nullptr, &req), PF_Err_NONE);
    }
    EXPECT_EQ(raydrift::parallel::activeFrames.load(), 0u);
}

// Worlds full of what float pixels can hold, in both hosts' float formats.
TEST(HostileHost, FloatWorldsOfExtremeValues) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Fill {
        const char* name;
        float argb[4];
        bool finite;
    };
    const Fill fills[] = {
        {"NaN", {nan, nan, nan, nan}, false},      {"inf", {inf, inf, inf, inf}, false},
        {"-inf", {-inf, -inf, -inf, -inf}, false}, {"1e30", {1.0f, 1e30f, 1e30f, 1e30f}, true},
        {"-1e30", {1.0f, -1e30f, -1e30f, -1e30f}, true}, {"subnormal", {1e-40f, 1e-40f, 1e-40f, 1e-40f}, true},
        {"negative alpha", {-0.5f, 0.4f, 0.9f, 0.1f}, true}, {"alpha above 1", {3.0f, 0.4f, 5.0f, 2.0f}, true},
    };
    for (int format : {kAe32, kBGra}) {
        Host& h = host(format == kBGra ? HostKind::Premiere : HostKind::AfterEffects);
        for (Fill const& fill : fills) {
            World input(33, 19, format);
            for (int y = 0; y < input.height(); ++y)
                for (int x = 0; x < input.width(); ++x)
                    if ((x + y) % 3 != 0) input.set(x, y, fill.argb);
            for (int view = 1; view <= 4; ++view)
                for (int output = 1; output <= 2; ++output) {
                    FrameRequest req = request(h);
                    setMenu(req.params, raydrift::kParamView, view);
                    setMenu(req.params, raydrift::kParamOutput, output);
                    setFloat(req.params, raydrift::kParamChromaticAmount, 20.0);
                    setFloat(req.params, raydrift::kParamTintMix, 50.0);
                    World out = blankLike(input);
                    const std::string what = std::string(fill.name) + " " + formatName(format) + " view " +
                                             std::to_string(view) + " output " + std::to_string(output);
                    ASSERT_EQ(h.render(input, out, req), PF_Err_NONE) << what;
                    EXPECT_TRUE(out.guardsIntact()) << what;
                    if (fill.finite) {
                        EXPECT_EQ(badFloatPixels(out, format == kBGra ? &input : nullptr), 0) << what;
                    }
                }
        }
    }
}

// 1×1, 1×N, N×1 and empty worlds in every format and on both render paths.
TEST(HostileHost, DegenerateWorldSizes) {
    const int formats[] = {kArgb, kAe16, kAe32, kBgra, kBGra};
    const int sizes[][2] = {{1, 1}, {1, 23}, {23, 1}, {0, 0}, {0, 4}, {4, 0}, {2, 1}};
    for (int format : formats)
        for (auto const& size : sizes)
            for (bool plain : {false, true})
                for (int output = 1; output <= 2; ++output) {
                    Host& h = host(isStraight(format) ? HostKind::Premiere : HostKind::AfterEffects);
                    const World input = testWorld(size[0], size[1], format, 3);
                    FrameRequest req = request(h);
                    // After Effects renders float worlds through the smart pair only.
                    if (plain && format == kAe32) continue;
                    req.plainRender = plain;
                    setMenu(req.params, raydrift::kParamOutput, output);
                    setFloat(req.params, raydrift::kParamChromaticAmount, 100.0);
                    World out = blankLike(input);
                    const PF_Err err = h.render(input, out, req);
                    const std::string what = formatName(format) + " " + std::to_string(size[0]) + "x" +
                                             std::to_string(size[1]) + (plain ? " plain" : " smart");
                    // An empty world has nothing to read: the plain path says so, the smart
                    // path renders nothing.
                    if (size[0] > 0 && size[1] > 0) {
                        EXPECT_EQ(err, PF_Err_NONE) << what;
                    } else {
                        EXPECT_TRUE(err == PF_Err_NONE || err == PF_Err_BAD_CALLBACK_PARAM) << what << ": " << err;
                    }
                    EXPECT_TRUE(out.guardsIntact()) << what;
                    if (isFloat(format)) {
                        EXPECT_EQ(badFloatPixels(out, format == kBGra ? &input : nullptr), 0) << what;
                    }
                }
}

}  // namespace

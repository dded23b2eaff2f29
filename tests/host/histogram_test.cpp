// The histogram control driven as a host drives it: contexts, draw events with the
// recorded drawing, the asynchronous input render, clicks and drags on the handles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "AEFX_SuiteHelper.h"
#include "AE_EffectUI.h"
#include "DrawbotSuite.h"
#include "host_test_support.h"
#include "ui/histogram.h"

namespace hosttest {
namespace {

using hostsim::DrawCall;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::Panel;
using hostsim::PathElement;
using raydrift::kParamThreshold;
using raydrift::kParamThresholdSmooth;

// The control's colours, in drawing order.
constexpr float kControlBackground[4] = {0.075f, 0.08f, 0.088f, 1};
constexpr float kPlotBackground[4] = {0.105f, 0.112f, 0.122f, 1};
constexpr float kSelectedBand[4] = {0.12f, 0.42f, 0.5f, 0.28f};
constexpr float kSoftBand[4] = {0.12f, 0.42f, 0.5f, 0.14f};
constexpr float kFill[4] = {0.73f, 0.75f, 0.78f, 0.92f};
constexpr float kBaseline[4] = {0.31f, 0.33f, 0.36f, 1};
constexpr float kAccent[4] = {0.28f, 0.78f, 0.88f, 1};
constexpr float kHandle[4] = {0.57f, 0.66f, 0.7f, 1};

// 296 wide: the plot runs from x 8 to 288, so every 10 % is a whole pixel.
constexpr PF_Rect kFrame{0, 0, 296, 126};
constexpr float kX0 = 8, kY0 = 8, kX1 = 288, kY1 = 99, kW = 280, kH = 91;

bool sameColour(DrawCall const& c, float const colour[4]) {
    for (int i = 0; i < 4; ++i)
        if (c.colour[i] != colour[i]) return false;
    return true;
}

DrawCall const* fillPath(Panel const& panel) {
    for (DrawCall const& c : panel.drawing())
        if (c.op == DrawCall::Op::FillPath && sameColour(c, kFill)) return &c;
    return nullptr;
}

double param(Panel& panel, int index) { return panel.request().params[static_cast<std::size_t>(index)].u.fs_d.value; }
void setParam(Panel& panel, int index, double v) { setFloat(panel.request().params, index, v); }

// Every pixel of the world one colour (channels a, r, g, b in the world's own scale).
void fill(hostsim::World& world, int x0, int x1, int y0, int y1, float a, float r, float g, float b) {
    const float v[4] = {a, r, g, b};
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) world.set(x, y, v);
}

// The bins the plug-in drew, read back from the fill path's points.
std::vector<float> drawnBins(DrawCall const& fillCall) {
    std::vector<float> bins;
    for (std::size_t i = 1; i + 2 < fillCall.path.size(); ++i) bins.push_back((kY1 - fillCall.path[i].v[1]) / (kH - 2));
    return bins;
}

// Global set-up: After Effects registers the effect as an AEGP and keeps the identifier
// in the 4-byte global handle; Premiere Pro keeps 0. Without the utility suite After
// Effects' set-up fails with 13 and leaves no handle behind.
TEST(HistogramControl, GlobalDataHoldsTheRegistration) {
    Host ae(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    std::vector<std::uint8_t> bytes = ae.globalDataBytes();
    ASSERT_EQ(bytes.size(), 4u);
    std::uint32_t id = 0;
    std::memcpy(&id, bytes.data(), 4);
    EXPECT_NE(id, 0u);

    Host pr(hostsim::defaultPluginPath(), HostKind::Premiere);
    bytes = pr.globalDataBytes();
    ASSERT_EQ(bytes.size(), 4u);
    std::memcpy(&id, bytes.data(), 4);
    EXPECT_EQ(id, 0u);
    pr.hideSuite("AEGP Utility Suite");  // never asked for in Premiere
    PF_OutData out;
    EXPECT_EQ(pr.globalSetup(out), PF_Err_NONE);

    const int handles = ae.liveHandles();
    ae.hideSuite("AEGP Utility Suite");
    EXPECT_EQ(ae.globalSetup(out), 13);
    EXPECT_EQ(out.global_data, nullptr);
    EXPECT_EQ(ae.liveHandles(), handles);
}

// A fully transparent input: nothing counted, so no fill path, but the bands, lines
// and handles are all drawn where the geometry puts them, in both hosts.
TEST(HistogramControl, TransparentInputDrawsEverythingButTheFill) {
    for (HostKind kind : {HostKind::AfterEffects, HostKind::Premiere}) {
        SCOPED_TRACE(kind == HostKind::AfterEffects ? "After Effects" : "Premiere Pro");
        Host host(hostsim::defaultPluginPath(), kind);
        Panel panel(host, raydrift::kParamHistogram, kFrame, 2.0);
        panel.setInput(hostsim::World(64, 32, kind == HostKind::AfterEffects ? kAe32 : kBGra));
        setParam(panel, kParamThreshold, 50);
        setParam(panel, kParamThresholdSmooth, 10);
        ASSERT_EQ(panel.newContext(), PF_Err_NONE);
        ASSERT_EQ(panel.show(), PF_Err_NONE);
        EXPECT_TRUE(panel.outFlags() & PF_EO_HANDLED_EVENT);
        EXPECT_EQ(fillPath(panel), nullptr);

        std::vector<DrawCall> const& d = panel.drawing();
        ASSERT_EQ(d.size(), 11u);
        auto rectIs = [](DrawCall const& c, float const colour[4], float l, float t, float w, float h) {
            EXPECT_EQ(c.op, DrawCall::Op::PaintRect);
            EXPECT_TRUE(sameColour(c, colour));
            EXPECT_FLOAT_EQ(c.rect[0], l);
            EXPECT_FLOAT_EQ(c.rect[1], t);
            EXPECT_FLOAT_EQ(c.rect[2], w);
            EXPECT_FLOAT_EQ(c.rect[3], h);
        };
        const float tx = 148, lx = 120;  // 50 % and 40 % of the plot
        rectIs(d[0], kControlBackground, 0, 0, 296, 126);
        rectIs(d[1], kPlotBackground, kX0, kY0, kW, kH);
        rectIs(d[2], kSelectedBand, tx, kY0, kX1 - tx, kH);
        rectIs(d[3], kSoftBand, lx, kY0, tx - lx, kH);
        auto lineIs = [](DrawCall const& c, float const colour[4], float width, float xa, float ya, float xb,
                         float yb) {
            EXPECT_EQ(c.op, DrawCall::Op::StrokePath);
            EXPECT_TRUE(sameColour(c, colour));
            EXPECT_FLOAT_EQ(c.penWidth, width);
            ASSERT_EQ(c.path.size(), 2u);
            EXPECT_EQ(c.path[0].kind, PathElement::Kind::MoveTo);
            EXPECT_EQ(c.path[1].kind, PathElement::Kind::LineTo);
            EXPECT_FLOAT_EQ(c.path[0].v[0], xa);
            EXPECT_FLOAT_EQ(c.path[0].v[1], ya);
            EXPECT_FLOAT_EQ(c.path[1].v[0], xb);
            EXPECT_FLOAT_EQ(c.path[1].v[1], yb);
        };
        lineIs(d[4], kBaseline, 1.0f, kX0, kY1, kX1, kY1);
        lineIs(d[5], kAccent, 1.25f, tx, kY0, tx, kY1);
        lineIs(d[6], kHandle, 1.0f, lx, kY0, lx, kY1);
        lineIs(d[7], kHandle, 1.0f, kX1, kY0, kX1, kY1);
        lineIs(d[8], kAccent, 1.25f, kX1, kY0, kX1, kY1);
        EXPECT_EQ(d[9].op, DrawCall::Op::FillPath);
        EXPECT_TRUE(sameColour(d[9], kAccent));
        EXPECT_EQ(d[9].fillType, kDRAWBOT_FillType_Winding);
        ASSERT_EQ(d[9].path.size(), 4u);
        EXPECT_FLOAT_EQ(d[9].path[0].v[0], tx);
        EXPECT_FLOAT_EQ(d[9].path[0].v[1], kY1);
        EXPECT_FLOAT_EQ(d[9].path[1].v[0], tx - 5);
        EXPECT_FLOAT_EQ(d[9].path[2].v[0], tx + 5);
        EXPECT_FLOAT_EQ(d[9].path[2].v[1], kY1 + 8);
        EXPECT_EQ(d[9].path[3].kind, PathElement::Kind::Close);
        rectIs(d[10], kHandle, lx - 4, kY1 + 14, 8, 8);

        // The picture the host shows: the control background in the corner, the plot
        // left of the soft band, drawn at twice the density.
        EXPECT_EQ(panel.imageWidth(), 592);
        EXPECT_EQ(panel.imageHeight(), 252);
        float px[4];
        panel.pixel(2, 2, px);
        EXPECT_NEAR(px[0], 0.075f, 0.005f);
        EXPECT_NEAR(px[2], 0.088f, 0.005f);
        panel.pixel(2 * 50, 2 * 50, px);
        EXPECT_NEAR(px[0], 0.105f, 0.005f);
        EXPECT_NEAR(px[2], 0.122f, 0.005f);
        EXPECT_EQ(panel.unreleasedObjects(), 0);
        EXPECT_EQ(panel.framesCheckedOut(), 0);
        EXPECT_EQ(panel.openAegpObjects(), 0);
    }
}

// A hand-made input in every world the hosts hand the control: opaque greys of known
// luma in 16 × 16 blocks (so After Effects' 1/16 render keeps them exact), the same
// counts in every format, with the edge renormalisation visible in bins 0 and 254.
TEST(HistogramControl, BinsAndSmoothingOfAHandMadeInput) {
    struct Case {
        HostKind kind;
        int format;
    };
    for (Case c : {Case{HostKind::AfterEffects, kArgb}, Case{HostKind::AfterEffects, kAe16},
                   Case{HostKind::AfterEffects, kAe32}, Case{HostKind::Premiere, kBgra},
                   Case{HostKind::Premiere, kBGra}}) {
        SCOPED_TRACE(hostsim::formatName(c.format));
        Host host(hostsim::defaultPluginPath(), c.kind);
        const float s = fullScale(c.format);
        // Blocks: 3 black, 1 mid grey (128), 2 at 254, 1 white, 1 transparent.
        hostsim::World world(8 * 16, 16, c.format);
        const float levels[8] = {0, 0, 0, 128, 254, 254, 255, 0};
        for (int i = 0; i < 8; ++i) {
            const float v = levels[i] / 255.0f * s;
            fill(world, 16 * i, 16 * (i + 1), 0, 16, i == 7 ? 0.0f : s, i == 7 ? 0.0f : v, v, v);
        }
        Panel panel(host, raydrift::kParamHistogram, kFrame);
        panel.setInput(world);
        ASSERT_EQ(panel.show(), PF_Err_NONE);
        DrawCall const* f = fillPath(panel);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->path.size(), 259u);  // baseline start, 256 bins, baseline end, close
        EXPECT_FLOAT_EQ(f->path[0].v[0], kX0);
        EXPECT_FLOAT_EQ(f->path[0].v[1], kY1);
        EXPECT_FLOAT_EQ(f->path[257].v[0], kX1);
        EXPECT_EQ(f->path[258].kind, PathElement::Kind::Close);
        EXPECT_FLOAT_EQ(f->path[129].v[0], kX0 + (128.0f / 255.0f) * kW);

        // Counts per block: one pixel at 1/16 size, 256 at full size. Smoothed bin 0 =
        // 3·3/6, bin 254 = (3·2 + 2·1)/8, bin 255 = (2·2 + 3·1)/6, bin 128 = 3/9; the
        // largest sets the log scale.
        const std::vector<float> bins = drawnBins(*f);
        ASSERT_EQ(bins.size(), 256u);
        const double n = c.kind == HostKind::AfterEffects ? 1 : 256;
        const double m = std::log1p(1.5 * n);
        auto expected = [&](double smoothed) { return static_cast<float>(std::log1p(smoothed * n) / m); };
        EXPECT_NEAR(bins[0], 1.0f, 1e-5);
        EXPECT_NEAR(bins[1], expected(6.0 / 8.0), 1e-5);
        EXPECT_NEAR(bins[3], 0.0f, 1e-5);
        EXPECT_NEAR(bins[128], expected(3.0 / 9.0), 1e-5);
        EXPECT_NEAR(bins[254], expected(8.0 / 8.0), 1e-5);
        EXPECT_NEAR(bins[255], expected(7.0 / 6.0), 1e-5);
        EXPECT_NEAR(bins[200], 0.0f, 1e-5);
        if (c.kind == HostKind::AfterEffects) {
            EXPECT_EQ(panel.lastPurpose(), raydrift::ui::kHistogramPurpose);
            EXPECT_EQ(panel.lastDownsampleX(), 16);
            EXPECT_EQ(panel.lastDownsampleY(), 16);
        } else {
            EXPECT_EQ(panel.renderRequests(), 0);  // Premiere reads the layer itself
        }
        EXPECT_EQ(panel.framesCheckedOut(), 0);
        EXPECT_EQ(panel.openAegpObjects(), 0);
        EXPECT_EQ(panel.unreleasedObjects(), 0);
    }
}

// Colour is un-premultiplied and weighted by Rec. 709, whatever the world's channel
// order: Premiere's BGRA layer is read as BGRA, not as After Effects' ARGB.
TEST(HistogramControl, ColourAndAlphaOfEveryWorld) {
    for (int format : {kArgb, kAe32, kBgra, kBGra}) {
        SCOPED_TRACE(hostsim::formatName(format));
        const HostKind kind = isStraight(format) ? HostKind::Premiere : HostKind::AfterEffects;
        Host host(hostsim::defaultPluginPath(), kind);
        const float s = fullScale(format);
        hostsim::World world(32, 16, format);
        fill(world, 0, 16, 0, 16, s, s, 0, 0);  // pure red: luma 0.2126, bin 54
        // Half-transparent white: premultiplied in After Effects, straight in Premiere.
        const float w = isStraight(format) ? s : 0.5f * s;
        fill(world, 16, 32, 0, 16, 0.5f * s, w, w, w);
        Panel panel(host, raydrift::kParamHistogram, kFrame);
        panel.setInput(world);
        ASSERT_EQ(panel.show(), PF_Err_NONE);
        DrawCall const* f = fillPath(panel);
        ASSERT_NE(f, nullptr);
        const std::vector<float> bins = drawnBins(*f);
        // Equal counts in bins 54 and 255 (one pixel each at 1/16, 256 at full size);
        // the smoothing spreads each over ±2 bins and bin 255 loses its outer taps.
        const double n = kind == HostKind::AfterEffects ? 1 : 256;
        EXPECT_NEAR(bins[255], 1.0f, 1e-5);
        EXPECT_NEAR(bins[54], static_cast<float>(std::log1p(n * 3 / 9) / std::log1p(n * 3 / 6)), 1e-5);
        EXPECT_NEAR(bins[57], 0.0f, 1e-5);
        EXPECT_NEAR(bins[0], 0.0f, 1e-5);
    }
}

// A click exactly between the triangle and the square (Threshold 39.6 %, Smooth 0: both
// at the same x) takes the threshold; a drag continues with it, and the last event of
// the drag ends it.
TEST(HistogramControl, ClickBetweenTheHandlesTakesTheThreshold) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    Panel panel(host, raydrift::kParamHistogram, kFrame);
    ASSERT_NEAR(param(panel, kParamThreshold), 39.6, 1e-5);
    ASSERT_EQ(param(panel, kParamThresholdSmooth), 0.0);
    const int x = static_cast<int>(std::lround(kX0 + 0.396 * kW));  // 118.9 → 119
    ASSERT_EQ(panel.click(x, static_cast<int>(kY1) + 12), PF_Err_NONE);
    EXPECT_EQ(panel.mouse().continue_refcon[0], 1);
    EXPECT_EQ(panel.mouse().send_drag, 1);
    EXPECT_EQ(panel.outFlags(), PF_EO_HANDLED_EVENT | PF_EO_ALWAYS_UPDATE | PF_EO_UPDATE_NOW);
    EXPECT_NEAR(param(panel, kParamThreshold), (119.0 - 8.0) / 280.0 * 100.0, 1e-4);
    EXPECT_EQ(param(panel, kParamThresholdSmooth), 0.0);
    EXPECT_EQ(panel.changed(), std::vector<PF_ParamIndex>{kParamThreshold});
    ASSERT_EQ(panel.invalidated().size(), 1u);
    EXPECT_EQ(panel.invalidated()[0].right, kFrame.right);
    EXPECT_EQ(panel.invalidated()[0].bottom, kFrame.bottom);

    ASSERT_EQ(panel.drag(148, 200, false), PF_Err_NONE);  // far below the plot: x still counts
    EXPECT_DOUBLE_EQ(param(panel, kParamThreshold), 50.0);
    EXPECT_EQ(panel.mouse().continue_refcon[0], 1);
    ASSERT_EQ(panel.drag(148, 200, true), PF_Err_NONE);  // no move: nothing to change
    EXPECT_TRUE(panel.changed().empty());
    EXPECT_EQ(panel.mouse().continue_refcon[0], 0);
    EXPECT_EQ(panel.mouse().send_drag, 0);
    EXPECT_EQ(panel.invalidated().size(), 3u);
    // A drag without a handle to continue does nothing.
    ASSERT_EQ(panel.drag(36, 100, false), PF_Err_NONE);
    EXPECT_DOUBLE_EQ(param(panel, kParamThreshold), 50.0);
    EXPECT_EQ(panel.outFlags(), PF_EO_NONE);

    // Half a pixel lower the square is nearer.
    setParam(panel, kParamThreshold, 39.6);
    ASSERT_EQ(panel.click(x, static_cast<int>(kY1) + 13), PF_Err_NONE);
    EXPECT_EQ(panel.mouse().continue_refcon[0], 2);
    EXPECT_DOUBLE_EQ(param(panel, kParamThreshold), 39.6);
}

// Dragging the threshold to 10 % while Smooth is 25 % lowers Smooth to 10 %; dragging
// the square beyond either end pins Smooth to Threshold (left) or 0 (right).
TEST(HistogramControl, DraggingTheHandles) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    Panel panel(host, raydrift::kParamHistogram, kFrame);
    setParam(panel, kParamThreshold, 39.6);
    setParam(panel, kParamThresholdSmooth, 25);
    const int tx = static_cast<int>(std::lround(kX0 + 0.396 * kW));
    ASSERT_EQ(panel.click(tx, static_cast<int>(kY1) + 6), PF_Err_NONE);
    ASSERT_EQ(panel.mouse().continue_refcon[0], 1);
    ASSERT_EQ(panel.drag(36, 110, true), PF_Err_NONE);
    EXPECT_DOUBLE_EQ(param(panel, kParamThreshold), 10.0);
    EXPECT_DOUBLE_EQ(param(panel, kParamThresholdSmooth), 10.0);
    EXPECT_EQ(panel.changed(), (std::vector<PF_ParamIndex>{kParamThreshold, kParamThresholdSmooth}));

    setParam(panel, kParamThreshold, 50);
    setParam(panel, kParamThresholdSmooth, 10);  // the square at 40 %: x 120
    ASSERT_EQ(panel.click(120, static_cast<int>(kY1) + 18), PF_Err_NONE);
    ASSERT_EQ(panel.mouse().continue_refcon[0], 2);
    EXPECT_TRUE(panel.changed().empty());  // clicked where it already was
    ASSERT_EQ(panel.drag(-50, 117, false), PF_Err_NONE);
    EXPECT_DOUBLE_EQ(param(panel, kParamThresholdSmooth), 50.0);
    EXPECT_DOUBLE_EQ(param(panel, kParamThreshold), 50.0);
    EXPECT_EQ(panel.changed(), std::vector<PF_ParamIndex>{kParamThresholdSmooth});
    ASSERT_EQ(panel.drag(400, 117, true), PF_Err_NONE);
    EXPECT_DOUBLE_EQ(param(panel, kParamThresholdSmooth), 0.0);
    EXPECT_DOUBLE_EQ(param(panel, kParamThreshold), 50.0);
}

// In After Effects the input comes from an asynchronous render: while it is not ready
// the draw succeeds and shows the histogram it had; the frame arrives on a later draw.
TEST(HistogramControl, AsynchronousRenderNotReadyChangesNothing) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    Panel panel(host, raydrift::kParamHistogram, kFrame);
    panel.setInput(testWorld(96, 64, kArgb));
    ASSERT_EQ(panel.newContext(), PF_Err_NONE);
    ASSERT_EQ(panel.draw(), PF_Err_NONE);  // the first request is still rendering
    EXPECT_TRUE(panel.renderPending());
    EXPECT_EQ(fillPath(panel), nullptr);
    EXPECT_EQ(panel.drawing().size(), 11u);
    ASSERT_EQ(panel.draw(), PF_Err_NONE);  // now it is there
    EXPECT_FALSE(panel.renderPending());
    ASSERT_NE(fillPath(panel), nullptr);
    const std::vector<PathElement> before = fillPath(panel)->path;

    panel.setInput(hostsim::World(96, 64, kArgb));  // transparent, not rendered yet
    panel.setRenderDelay(3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(panel.draw(), PF_Err_NONE);
        EXPECT_TRUE(panel.renderPending());
        ASSERT_NE(fillPath(panel), nullptr);
        ASSERT_EQ(fillPath(panel)->path.size(), before.size());
        for (std::size_t k = 0; k < before.size(); ++k) EXPECT_EQ(fillPath(panel)->path[k].v[1], before[k].v[1]);
    }
    ASSERT_EQ(panel.draw(), PF_Err_NONE);
    EXPECT_EQ(fillPath(panel), nullptr);  // the transparent frame arrived
    EXPECT_EQ(panel.renderRequests(), 6);
    EXPECT_EQ(panel.framesCheckedOut(), 0);
    EXPECT_EQ(panel.openAegpObjects(), 0);
}

// Events for the about panel never draw the histogram, and a drag there is ignored.
TEST(HistogramControl, AboutPanelEventsAreNotTheHistogramsToDraw) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    for (PF_ParamIndex index : {raydrift::kParamAboutPanel, raydrift::kParamGpuHardware}) {
        Panel panel(host, index, PF_Rect{0, 0, 360, 278});
        panel.setInput(testWorld(64, 32, kArgb));
        ASSERT_EQ(panel.newContext(), PF_Err_NONE);
        ASSERT_EQ(panel.show(), PF_Err_NONE);
        for (DrawCall const& c : panel.drawing()) EXPECT_FALSE(sameColour(c, kPlotBackground));
        EXPECT_EQ(panel.renderRequests(), 0);
        ASSERT_EQ(panel.send(PF_Event_DRAG), PF_Err_NONE);
        EXPECT_EQ(panel.outFlags(), PF_EO_NONE);
        ASSERT_EQ(panel.drag(10, 250, true), PF_Err_NONE);
        EXPECT_TRUE(panel.changed().empty());
        ASSERT_EQ(panel.adjustCursor(10, 250), PF_Err_NONE);
        EXPECT_EQ(panel.cursor(), PF_Cursor_NONE);
        EXPECT_NEAR(param(panel, kParamThreshold), 39.6, 1e-5);
    }
}

// The cache lives from the first new-context or draw event to the close-context event
// (the sanitizer build checks that nothing is left); the cursor over the control is the
// horizontal resize arrow.
TEST(HistogramControl, ContextLifetimeAndCursor) {
    for (HostKind kind : {HostKind::AfterEffects, HostKind::Premiere}) {
        Host host(hostsim::defaultPluginPath(), kind);
        Panel panel(host, raydrift::kParamHistogram, kFrame);
        EXPECT_FALSE(panel.contextHoldsState());
        ASSERT_EQ(panel.newContext(), PF_Err_NONE);
        EXPECT_TRUE(panel.contextHoldsState());
        ASSERT_EQ(panel.newContext(), PF_Err_NONE);  // a second one keeps the same cache
        ASSERT_EQ(panel.closeContext(), PF_Err_NONE);
        EXPECT_FALSE(panel.contextHoldsState());
        ASSERT_EQ(panel.draw(), PF_Err_NONE);  // a draw makes it again
        EXPECT_TRUE(panel.contextHoldsState());
        ASSERT_EQ(panel.adjustCursor(100, 50), PF_Err_NONE);
        EXPECT_EQ(panel.cursor(), PF_Cursor_RESIZE_HORIZONTAL);
        EXPECT_EQ(panel.outFlags(), PF_EO_HANDLED_EVENT);
        ASSERT_EQ(panel.send(PF_Event_IDLE), PF_Err_NONE);
        ASSERT_EQ(panel.closeContext(), PF_Err_NONE);
        EXPECT_FALSE(panel.contextHoldsState());
        // A panel closed by its destructor while it holds a cache leaves nothing either.
        Panel open(host, raydrift::kParamHistogram, kFrame);
        ASSERT_EQ(open.newContext(), PF_Err_NONE);
    }
}

// Missing suites and unreadable layers reach the host as errors, never as a crash, and
// the control keeps nothing it borrowed.
TEST(HistogramControl, MissingSuitesAreErrors) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    Panel panel(host, raydrift::kParamHistogram, kFrame);
    panel.setInput(testWorld(64, 32, kArgb));
    panel.setRenderDelay(0);
    for (const char* suite : {"AEGP Render Asyc Manager Suite", "AEGP Layer Render Options Suite",
                              "PF Effect Custom UI Suite", "AEGP Render Suite", "AEGP World Suite"}) {
        SCOPED_TRACE(suite);
        host.hideSuite(suite);
        EXPECT_EQ(panel.draw(), 13);
        host.clearHiddenSuites();
        EXPECT_EQ(panel.framesCheckedOut(), 0);
        EXPECT_EQ(panel.openAegpObjects(), 0);
    }
    host.hideSuite("DRAWBOT Surface Suite");
    EXPECT_EQ(panel.draw(), PF_Err_BAD_CALLBACK_PARAM);
    host.clearHiddenSuites();
    host.hideSuite("PF AE App Suite");
    EXPECT_EQ(panel.click(100, 110), 13);
    host.clearHiddenSuites();
    EXPECT_EQ(panel.draw(), PF_Err_NONE);
    EXPECT_EQ(panel.unreleasedObjects(), 0);

    // A layer in a format the control cannot read is refused, not guessed at.
    Host pr(hostsim::defaultPluginPath(), HostKind::Premiere);
    Panel other(pr, raydrift::kParamHistogram, kFrame);
    hostsim::World odd(8, 8, kBgra);
    odd.setFormat(PF_FourCC('y', 'u', 'v', 'a'));
    other.setInput(odd);
    EXPECT_EQ(other.draw(), PF_Err_BAD_CALLBACK_PARAM);
}

// The drawing suites come all four or none; a null destination is refused with 514.
TEST(HistogramControl, DrawbotSuitesComeTogether) {
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    EXPECT_EQ(AEFX_AcquireDrawbotSuites(nullptr, &out, nullptr), PF_Err_UNRECOGNIZED_PARAM_TYPE);
    EXPECT_STREQ(out.return_msg, "NULL suite pointer passed to AEFX_AcquireDrawbotSuites");
    EXPECT_TRUE(out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    DRAWBOT_Suites suites;
    std::memset(&suites, 0xff, sizeof suites);
    std::memset(&out, 0, sizeof out);
    EXPECT_EQ(AEFX_AcquireDrawbotSuites(nullptr, &out, &suites), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(suites.drawbot_suiteP, nullptr);
    EXPECT_EQ(suites.supplier_suiteP, nullptr);
    EXPECT_EQ(suites.surface_suiteP, nullptr);
    EXPECT_EQ(suites.path_suiteP, nullptr);
    EXPECT_STREQ(out.return_msg, "Not able to acquire AEFX Suite.");
}

}  // namespace
}  // namespace hosttest

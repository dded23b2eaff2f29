// The histogram control's arithmetic: bins, smoothing, log scale, geometry, handles.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ui/histogram_math.h"

namespace {

using raydrift::image::Image;
using raydrift::image::Pixel;
using namespace raydrift::ui;

Pixel grey(float v, float a = 1.0f) { return {v * a, v * a, v * a, a}; }

TEST(HistogramMath, PixelsLandInTheirLuminanceBin) {
    EXPECT_EQ(luminanceBin(grey(0.0f)), 0);
    EXPECT_EQ(luminanceBin(grey(1.0f)), 255);
    EXPECT_EQ(luminanceBin(grey(128.0f / 255.0f)), 128);
    // Rounded to the nearest bin: 0.5 lies between 127 and 128 and rounds up.
    EXPECT_EQ(luminanceBin(grey(0.5f)), 128);
    EXPECT_EQ(luminanceBin(grey(0.49f)), 125);
    // Rec. 709 weights: pure red, green and blue.
    EXPECT_EQ(luminanceBin({1, 0, 0, 1}), 54);   // 0.2126·255 = 54.2
    EXPECT_EQ(luminanceBin({0, 1, 0, 1}), 182);  // 0.7152·255 = 182.4
    EXPECT_EQ(luminanceBin({0, 0, 1, 1}), 18);   // 0.0722·255 = 18.4
    // Premultiplied colour is divided out: half-transparent mid grey counts as mid grey.
    EXPECT_EQ(luminanceBin(grey(0.5f, 0.5f)), luminanceBin(grey(0.5f)));
    EXPECT_EQ(luminanceBin(grey(0.5f, 0.01f)), 128);
    // HDR goes to the top bin, negative light to the bottom one.
    EXPECT_EQ(luminanceBin(grey(40.0f)), 255);
    EXPECT_EQ(luminanceBin({-1, -1, -1, 1}), 0);
}

TEST(HistogramMath, InvisibleAndBrokenPixelsAreNotCounted) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(luminanceBin({1, 1, 1, 0}), -1);         // colour under zero alpha
    EXPECT_EQ(luminanceBin({1, 1, 1, 1e-6f}), -1);     // at the threshold
    EXPECT_EQ(luminanceBin({2e-6f, 0, 0, 2e-6f}), 54);  // just above it
    EXPECT_EQ(luminanceBin({1, 1, 1, -1}), -1);
    EXPECT_EQ(luminanceBin({nan, 0, 0, 1}), -1);
    EXPECT_EQ(luminanceBin({0, inf, 0, 1}), -1);
    EXPECT_EQ(luminanceBin({0, 0, 0, nan}), -1);
    EXPECT_EQ(luminanceBin({0, 0, 0, inf}), -1);
    // Finite channels that overflow once un-premultiplied.
    EXPECT_EQ(luminanceBin({3e38f, 3e38f, 3e38f, 0.5f}), -1);
    // Huge but finite un-premultiplied values still count.
    EXPECT_EQ(luminanceBin({1, 1, 1, 2e-6f}), 255);
}

TEST(HistogramMath, SmoothingRenormalisesAtTheEdgesAndScalesLogarithmically) {
    LumaCounts counts;
    counts.counts[0] = 3;
    counts.counts[128] = 1;
    counts.counts[254] = 2;
    counts.counts[255] = 1;
    counts.total = 7;
    const Histogram h = finishHistogram(counts);
    EXPECT_TRUE(h.valid);
    // Smoothed: bin 0 = 3·3/6, bin 1 = 2·3/8, bin 2 = 1·3/9; bin 254 = (3·2 + 2·1)/8,
    // bin 255 = (2·2 + 3·1)/6, bin 253 = (2·2 + 1)/9; bin 128 = 3/9, bin 126 = 1/9.
    const double m = std::log1p(1.5);
    auto expected = [m](double smoothed) { return static_cast<float>(std::log1p(smoothed) / m); };
    EXPECT_FLOAT_EQ(h.bins[0], 1.0f);
    EXPECT_FLOAT_EQ(h.bins[1], expected(6.0 / 8.0));
    EXPECT_FLOAT_EQ(h.bins[2], expected(3.0 / 9.0));
    EXPECT_FLOAT_EQ(h.bins[3], 0.0f);
    EXPECT_FLOAT_EQ(h.bins[126], expected(1.0 / 9.0));
    EXPECT_FLOAT_EQ(h.bins[127], expected(2.0 / 9.0));
    EXPECT_FLOAT_EQ(h.bins[128], expected(3.0 / 9.0));
    EXPECT_FLOAT_EQ(h.bins[130], expected(1.0 / 9.0));
    EXPECT_FLOAT_EQ(h.bins[131], 0.0f);
    EXPECT_FLOAT_EQ(h.bins[252], expected(2.0 / 9.0));
    EXPECT_FLOAT_EQ(h.bins[253], expected(5.0 / 9.0));
    EXPECT_FLOAT_EQ(h.bins[254], expected(8.0 / 8.0));
    EXPECT_FLOAT_EQ(h.bins[255], expected(7.0 / 6.0));

    // A flat count stays flat through the renormalised edges and scales to 1.
    LumaCounts flat;
    for (double& c : flat.counts) c = 5;
    flat.total = 5 * 256;
    for (float b : finishHistogram(flat).bins) EXPECT_FLOAT_EQ(b, 1.0f);

    const Histogram empty = finishHistogram(LumaCounts());
    EXPECT_FALSE(empty.valid);
    for (float b : empty.bins) EXPECT_EQ(b, 0.0f);
}

TEST(HistogramMath, WholeImagesCountEveryVisiblePixelOnce) {
    Image image(4, 3);
    for (Pixel& p : image.pixels) p = grey(0.0f, 0.0f);  // transparent
    EXPECT_FALSE(computeHistogram(image).valid);
    image.at(1, 1) = grey(1.0f);
    const Histogram one = computeHistogram(image);
    EXPECT_TRUE(one.valid);
    EXPECT_FLOAT_EQ(one.bins[255], 1.0f);  // 3/6 is the largest smoothed value
    EXPECT_EQ(one.bins[252], 0.0f);

    LumaCounts counts;
    countPixels(image.pixels.data(), static_cast<long>(image.pixels.size()), counts);
    EXPECT_EQ(counts.total, 1.0);
    EXPECT_EQ(counts.counts[255], 1.0);
}

TEST(HistogramMath, GeometryFollowsTheFrameAndTheThresholds) {
    const HistogramGeometry g = histogramGeometry(10, 20, 310, 146, 39.6, 0.0);
    EXPECT_FLOAT_EQ(g.x0, 18);
    EXPECT_FLOAT_EQ(g.y0, 28);
    EXPECT_FLOAT_EQ(g.x1, 302);
    EXPECT_FLOAT_EQ(g.y1, 119);
    EXPECT_FLOAT_EQ(g.w, 284);
    EXPECT_FLOAT_EQ(g.h, 91);
    EXPECT_FLOAT_EQ(g.thresholdX, 18.0f + 0.396f * 284.0f);
    EXPECT_FLOAT_EQ(g.lowerX, g.thresholdX);

    const HistogramGeometry band = histogramGeometry(0, 0, 296, 126, 50, 10);
    EXPECT_FLOAT_EQ(band.thresholdX, 148);
    EXPECT_FLOAT_EQ(band.lowerX, 120);
    // Smooth beyond the threshold stops the band at 0; out-of-range values are clamped.
    EXPECT_FLOAT_EQ(histogramGeometry(0, 0, 296, 126, 20, 80).lowerX, 8);
    EXPECT_FLOAT_EQ(histogramGeometry(0, 0, 296, 126, 150, 0).thresholdX, 288);
    EXPECT_FLOAT_EQ(histogramGeometry(0, 0, 296, 126, -5, 0).thresholdX, 8);
    // A frame too small for the margins keeps a plot of at least one pixel.
    const HistogramGeometry tiny = histogramGeometry(0, 0, 4, 4, 50, 0);
    EXPECT_FLOAT_EQ(tiny.w, 1);
    EXPECT_FLOAT_EQ(tiny.h, 1);
}

TEST(HistogramMath, HandlesAndTheirValues) {
    const HistogramGeometry same = histogramGeometry(0, 0, 300, 126, 39.6, 0.0);
    // Exactly between the triangle (y1 + 6) and the square (y1 + 18): the threshold.
    EXPECT_EQ(pickHandle(same, same.thresholdX, same.y1 + 12), HistogramHandle::Threshold);
    EXPECT_EQ(pickHandle(same, same.thresholdX + 3, same.y1 + 12), HistogramHandle::Threshold);
    EXPECT_EQ(pickHandle(same, same.thresholdX, same.y1 + 12.5f), HistogramHandle::Lower);
    // Horizontal distance counts fully, vertical at 0.35.
    const HistogramGeometry apart = histogramGeometry(0, 0, 296, 126, 50, 10);  // x 148 and 120
    EXPECT_EQ(pickHandle(apart, 134, apart.y1 + 12), HistogramHandle::Threshold);  // a tie
    EXPECT_EQ(pickHandle(apart, 133, apart.y1 + 12), HistogramHandle::Lower);
    // 13² + 0.35·10² = 204 against 15² + 0.35·2² = 226.4; unweighted the square would win.
    EXPECT_EQ(pickHandle(apart, 135, apart.y1 + 16), HistogramHandle::Threshold);
    EXPECT_EQ(pickHandle(apart, 131, apart.y1 + 6), HistogramHandle::Lower);

    EXPECT_DOUBLE_EQ(percentAt(apart, 36), 10.0);
    EXPECT_DOUBLE_EQ(percentAt(apart, -40), 0.0);
    EXPECT_DOUBLE_EQ(percentAt(apart, 1000), 100.0);

    // The threshold pulls Smooth down with it, never up.
    ThresholdValues v = moveHandle(HistogramHandle::Threshold, 10.0, 39.6, 25.0);
    EXPECT_DOUBLE_EQ(v.threshold, 10.0);
    EXPECT_DOUBLE_EQ(v.smooth, 10.0);
    v = moveHandle(HistogramHandle::Threshold, 80.0, 39.6, 25.0);
    EXPECT_DOUBLE_EQ(v.threshold, 80.0);
    EXPECT_DOUBLE_EQ(v.smooth, 25.0);
    // The square: Smooth = T − p within [0, T]; T stays.
    v = moveHandle(HistogramHandle::Lower, 0.0, 50.0, 10.0);
    EXPECT_DOUBLE_EQ(v.threshold, 50.0);
    EXPECT_DOUBLE_EQ(v.smooth, 50.0);
    v = moveHandle(HistogramHandle::Lower, 100.0, 50.0, 10.0);
    EXPECT_DOUBLE_EQ(v.smooth, 0.0);
    v = moveHandle(HistogramHandle::Lower, 30.0, 50.0, 10.0);
    EXPECT_DOUBLE_EQ(v.smooth, 20.0);
    v = moveHandle(HistogramHandle::None, 30.0, 50.0, 10.0);
    EXPECT_DOUBLE_EQ(v.threshold, 50.0);
    EXPECT_DOUBLE_EQ(v.smooth, 10.0);
}

}  // namespace

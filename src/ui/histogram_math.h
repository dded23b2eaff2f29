// The histogram control's arithmetic, apart from the host: which luminance bin a pixel
// counts in, the smoothed and log-scaled bins, the panel's geometry, which handle a
// click takes, and the Threshold / Threshold Smooth values a handle position gives.
#pragma once

#include <algorithm>
#include <cmath>

#include "image/image.h"

namespace raydrift::ui {

inline constexpr int kHistogramBins = 256;

// Raw counts of one frame: counts[i] pixels in bin i, `total` of them in all.
struct LumaCounts {
    double counts[kHistogramBins] = {};
    double total = 0.0;
};

// What the panel draws: bins in [0, 1] (log-scaled, smoothed; index = luminance × 255),
// and whether any pixel was counted.
struct Histogram {
    float bins[kHistogramBins] = {};
    bool valid = false;
};

// Alpha below this carries no colour worth counting.
inline constexpr float kHistogramAlphaEpsilon = 1e-6f;

// The bin of a premultiplied pixel, or -1 when it is not counted (alpha not above
// 1e-6, a non-finite channel, or a non-finite luminance). Colour is un-premultiplied
// by multiplying with 1/alpha; luminance is Rec. 709; negative luminance counts in
// bin 0 and anything above 1 in bin 255.
inline int luminanceBin(image::Pixel const& p) {
    if (!(p.a > kHistogramAlphaEpsilon)) return -1;
    if (!std::isfinite(p.a) || !std::isfinite(p.r) || !std::isfinite(p.g) || !std::isfinite(p.b)) return -1;
    const float inv = 1.0f / p.a;
    const float r = p.r * inv, g = p.g * inv, b = p.b * inv;
    const float y = 0.2126f * r + 0.7152f * g + 0.0722f * b;
    if (!std::isfinite(y)) return -1;
    if (y < 0.0f) return 0;
    const int bin = static_cast<int>(std::floor(std::min(y, 1.0f) * 255.0f + 0.5f));
    return std::min(bin, kHistogramBins - 1);
}

// Adds `n` pixels to the counts.
inline void countPixels(image::Pixel const* pixels, long n, LumaCounts& counts) {
    for (long i = 0; i < n; ++i) {
        const int bin = luminanceBin(pixels[i]);
        if (bin < 0) continue;
        counts.counts[bin] += 1.0;
        counts.total += 1.0;
    }
}

// Smoothing weights 1 2 3 2 1 centred on each bin; taps beyond either end are dropped
// and the weights that remain renormalised (bin 0 divides by 6, bin 254 by 8). The
// result is log1p-scaled so that the largest bin is 1; an empty frame gives all zeros
// and valid false.
inline Histogram finishHistogram(LumaCounts const& counts) {
    constexpr double kWeights[5] = {1.0, 2.0, 3.0, 2.0, 1.0};
    double smoothed[kHistogramBins];
    double largest = 0.0;
    for (int i = 0; i < kHistogramBins; ++i) {
        double sum = 0.0, weight = 0.0;
        for (int k = -2; k <= 2; ++k) {
            const int j = i + k;
            if (j < 0 || j >= kHistogramBins) continue;
            sum += kWeights[k + 2] * counts.counts[j];
            weight += kWeights[k + 2];
        }
        smoothed[i] = sum / weight;
        largest = std::max(largest, smoothed[i]);
    }
    Histogram h;
    const double m = std::log1p(largest);
    if (m > 0.0)
        for (int i = 0; i < kHistogramBins; ++i) h.bins[i] = static_cast<float>(std::log1p(smoothed[i]) / m);
    h.valid = counts.total > 0.0;
    return h;
}

// The histogram of a whole premultiplied image.
inline Histogram computeHistogram(image::Image const& image) {
    LumaCounts counts;
    countPixels(image.pixels.data(), static_cast<long>(image.pixels.size()), counts);
    return finishHistogram(counts);
}

// [0, 1]; NaN and negatives give 0.
inline float c01(float v) {
    if (!(v > 0.0f)) return 0.0f;
    return v < 1.0f ? v : 1.0f;
}

// Where everything sits in a control frame (left, top, right, bottom) for Threshold T
// and Threshold Smooth S in percent.
struct HistogramGeometry {
    float x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // plot; y1 is the baseline
    float w = 0, h = 0;
    float thresholdX = 0;  // the triangle and the threshold line
    float lowerX = 0;      // the square and the lower edge of the soft band
};

inline HistogramGeometry histogramGeometry(float left, float top, float right, float bottom, double threshold,
                                           double smooth) {
    HistogramGeometry g;
    g.x0 = left + 8.0f;
    g.y0 = top + 8.0f;
    g.x1 = std::max(g.x0 + 1.0f, right - 8.0f);
    g.y1 = std::max(g.y0 + 1.0f, bottom - 27.0f);
    g.w = g.x1 - g.x0;
    g.h = g.y1 - g.y0;
    const float t = static_cast<float>(threshold) / 100.0f;
    const float s = static_cast<float>(smooth) / 100.0f;
    const float lower = std::max(0.0f, std::min(t, t - s));
    g.thresholdX = g.x0 + c01(t) * g.w;
    g.lowerX = g.x0 + c01(lower) * g.w;
    return g;
}

// The handles a pointer can take.
enum class HistogramHandle { None = 0, Threshold = 1, Lower = 2 };

// The handle a click at (x, y) takes: the nearer of the triangle (threshold x, y1 + 6)
// and the square (lower x, y1 + 18) under distance² = dx² + 0.35·dy², the vertical
// distance counting less because the handles share a narrow strip. A tie goes to the
// threshold.
inline HistogramHandle pickHandle(HistogramGeometry const& g, float x, float y) {
    const float tdx = x - g.thresholdX, tdy = y - (g.y1 + 6.0f);
    const float ldx = x - g.lowerX, ldy = y - (g.y1 + 18.0f);
    const float toThreshold = tdx * tdx + 0.35f * (tdy * tdy);
    const float toLower = ldx * ldx + 0.35f * (ldy * ldy);
    return toLower < toThreshold ? HistogramHandle::Lower : HistogramHandle::Threshold;
}

// The value in percent under pointer x: 0 left of the plot, 100 right of it. In double,
// so that a pointer on a whole-percent pixel gives that value exactly.
inline double percentAt(HistogramGeometry const& g, float x) {
    const double v = (static_cast<double>(x) - g.x0) / g.w;
    return (v > 0.0 ? std::min(v, 1.0) : 0.0) * 100.0;
}

// Values after moving a handle to `percent`. The threshold handle sets T and lowers S
// to at most T so that the soft band never reaches below 0; the square sets S = T − p,
// kept within [0, T], and leaves T.
struct ThresholdValues {
    double threshold = 0.0;
    double smooth = 0.0;
};

inline ThresholdValues moveHandle(HistogramHandle handle, double percent, double threshold, double smooth) {
    ThresholdValues v{threshold, smooth};
    if (handle == HistogramHandle::Threshold) {
        v.threshold = std::clamp(percent, 0.0, 100.0);
        v.smooth = std::min(v.threshold, smooth);
    } else if (handle == HistogramHandle::Lower) {
        v.smooth = std::clamp(threshold - percent, 0.0, std::max(threshold, 0.0));
    }
    return v;
}

}  // namespace raydrift::ui

#include "image/frame_plan.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <new>

#include "image/color.h"

namespace raydrift::image {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint64_t add(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }

std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
    if (a == 0 || b == 0) return 0;
    return a > kMax / b ? kMax : a * b;
}

std::uint64_t area(int w, int h) {
    return static_cast<std::uint64_t>(std::max(w, 0)) * static_cast<std::uint64_t>(std::max(h, 0));
}

// ceil(v) as an int for a streak margin; a shift no image could hold is reported as the
// allocation it would need.
int marginCeil(float v) {
    if (!(v <= 16777216.0f)) throw std::bad_alloc();
    return static_cast<int>(std::ceil(v));
}

int frameSide(std::int64_t n) {
    if (n > INT_MAX) throw std::bad_alloc();
    return static_cast<int>(std::max<std::int64_t>(n, 0));
}

std::uint64_t workingOf(StreakGeometry const& g, int width, int height) {
    return std::max({area(g.canvasWidth, g.canvasHeight), area(g.outputWidth, g.outputHeight),
                     area(width, height)});
}

}  // namespace

int quarterSize(int n) { return static_cast<int>((static_cast<long long>(std::max(n, 0)) + 3) / 4); }

int fullChromaticMargin(float amount, float scale) { return marginCeil(amount * scale) + 2; }

int quarterChromaticMargin(float amount, float scale, int width, int height) {
    const int shift = marginCeil(amount * scale);
    const int kw = quarterSize(width);
    const int kh = quarterSize(height);
    const float sx = static_cast<float>(kw) / static_cast<float>(std::max(width, 1));
    const float sy = static_cast<float>(kh) / static_cast<float>(std::max(height, 1));
    return marginCeil(std::max(sx, sy) * static_cast<float>(shift + 3)) + 2;
}

std::uint64_t streakWorkingPixels(int width, int height, RenderSettings const& settings, int margin) {
    return workingOf(streakGeometry(width, height, settings, margin), width, height);
}

std::uint64_t FramePlan::peakBytes() const { return mul(peakPixels, sizeof(Pixel)); }

bool offersFrameToGpu(RenderSettings const& settings) {
    const bool strength = settings.opacity > 0.0f && settings.intensity > 0.0f;
    return settings.useGpu && (settings.view == ViewMode::Matte || strength);
}

FramePlan planFrame(std::int64_t width, std::int64_t height, RenderSettings const& settings) {
    FramePlan plan;
    const int w = frameSide(width);
    const int h = frameSide(height);
    plan.width = w;
    plan.height = h;
    plan.outputPixels = area(w, h);
    plan.peakPixels = plan.outputPixels;

    if (settings.view == ViewMode::Matte) {
        plan.path = FramePath::Matte;
        return plan;
    }
    // Written so that a NaN strength renders.
    if (settings.opacity <= 0.0f || settings.intensity <= 0.0f) {
        plan.path = settings.view == ViewMode::Black   ? FramePath::Black
                    : settings.view == ViewMode::Alpha ? FramePath::Clear
                                                       : FramePath::Source;
        return plan;
    }

    const RenderSettings animated = animatedSettings(settings);
    plan.animated = animated;
    plan.chromatic = animated.chromaticAmount > 0.0f;
    plan.scale = animated.scale > 0.0f ? animated.scale : referenceScale(w, h);
    plan.streakSettings = animated;
    plan.colorSettings = animated;
    plan.deferredColor = animated;
    plan.deferredColor.chromaticAmount = 0.0f;
    plan.deferredColor.saturation = 1.0f;

    const bool quarter = (animated.performance || animated.view == ViewMode::Performance) &&
                         std::max(animated.length, animated.width) > 0.0f && w >= 2 && h >= 2;
    if (quarter) {
        plan.path = FramePath::Quarter;
        const int kw = quarterSize(w);
        const int kh = quarterSize(h);
        plan.workWidth = kw;
        plan.workHeight = kh;
        plan.tintedFringes = plan.chromatic && animated.tint > 0.0f;
        // The streaks keep their size relative to the full frame.
        if (animated.scale > 0.0f)
            plan.streakSettings.scale =
                animated.scale * std::sqrt((static_cast<float>(kw) * static_cast<float>(kh)) /
                                           (static_cast<float>(w) * static_cast<float>(h)));
        plan.ratioX = static_cast<float>(kw) / static_cast<float>(w);
        plan.ratioY = static_cast<float>(kh) / static_cast<float>(h);
        plan.margin = plan.chromatic
                          ? quarterChromaticMargin(animated.chromaticAmount, plan.scale, w, h)
                          : 0;
        plan.colorSettings.scale = std::sqrt(plan.ratioX * plan.ratioY) * plan.scale;
        plan.mapping = {plan.ratioX, plan.ratioY, plan.margin, true,
                        plan.chromatic ? EdgeMode::Transparent : EdgeMode::Clamp};
        plan.colorFromAnimated = !plan.chromatic;
    } else {
        plan.path = FramePath::Full;
        plan.workWidth = w;
        plan.workHeight = h;
        plan.margin = plan.chromatic ? fullChromaticMargin(animated.chromaticAmount, plan.scale) : 0;
        plan.colorSettings.scale = plan.scale;
        plan.mapping = {1.0f, 1.0f, plan.margin, false,
                        plan.chromatic ? EdgeMode::Transparent : EdgeMode::Clamp};
        // Neutral colour needs no colour step.
        plan.plainComposite =
            !plan.chromatic && animated.saturation == 1.0f && animated.tint <= 0.0f;
        plan.colorFromAnimated = !plan.chromatic && !plan.plainComposite;
    }

    plan.streak = streakGeometry(plan.workWidth, plan.workHeight, plan.streakSettings, plan.margin);
    plan.workingPixels = workingOf(plan.streak, plan.workWidth, plan.workHeight);
    plan.smallSourcePixels = plan.tintedFringes ? area(plan.workWidth, plan.workHeight) : 0;
    // The selection and the streak scratch (the output's storage serves as the scratch at
    // full resolution); the quarter path also holds the small source and the output.
    plan.peakPixels = mul(2, plan.workingPixels);
    if (quarter) plan.peakPixels = add(add(plan.peakPixels, plan.smallSourcePixels), plan.outputPixels);
    return plan;
}

}  // namespace raydrift::image

#include "image/frame.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <new>
#include <vector>

#include "gpu/metal_frame.h"
#include "image/color.h"
#include "image/composite.h"
#include "image/luminance.h"
#include "image/parallel.h"
#include "image/streak.h"

namespace raydrift::image {

namespace {

// Counts this frame in parallel::activeFrames for as long as it renders on the CPU,
// whichever way the call ends.
class ActiveFrame {
public:
    ActiveFrame() { parallel::activeFrames.fetch_add(1, std::memory_order_acq_rel); }
    ~ActiveFrame() { parallel::activeFrames.fetch_sub(1, std::memory_order_acq_rel); }
    ActiveFrame(ActiveFrame const&) = delete;
    ActiveFrame& operator=(ActiveFrame const&) = delete;
};

unsigned long workOf(Image const& image) { return static_cast<unsigned long>(image.pixelCount()); }

void fill(Image& image, int width, int height, Pixel value) {
    image.resize(width, height);
    std::fill(image.pixels.begin(), image.pixels.end(), value);
}

// The threshold matte in grey, opaque. Reads `settings`, not the animated copy: the
// matte has no streaks to animate. `dst` may be `src`.
void renderMatte(Image const& src, Image& dst, RenderSettings const& settings) {
    dst.resize(src.width, src.height);
    const int width = src.width;
    parallel::ranges(src.height, workOf(src), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const std::size_t row = static_cast<std::size_t>(y) * width;
            for (int x = 0; x < width; ++x) {
                const Pixel p = src.pixels[row + x];
                float m = 0.0f;
                if (p.a > 1e-6f) m = luminanceRangeMask(luma(p), settings) * std::min(p.a, 1.0f);
                dst.pixels[row + x] = {m, m, m, 1.0f};
            }
        }
    });
}

// ceil(v) as an int for a streak margin; a shift no image could hold is reported as the
// allocation it would need.
int marginCeil(float v) {
    if (!(v <= 16777216.0f)) throw std::bad_alloc();
    return static_cast<int>(std::ceil(v));
}

void renderQuarter(Image const& src, Image& dst, RenderSettings const& animated) {
    const int w = src.width;
    const int h = src.height;
    const int kw = (w + 3) / 4;
    const int kh = (h + 3) / 4;
    const bool chromatic = animated.chromaticAmount > 0.0f;
    const bool tintedFringes = chromatic && animated.tint > 0.0f;
    // With a transparent foreground the tint is left to the compositor, which protects
    // it per full-resolution pixel rather than per averaged block.
    const bool transparentForeground = tintedFringes && hasTransparentForeground(src);

    Image selected;
    Image smallSource;
    reduceQuarter(src, selected, tintedFringes ? &smallSource : nullptr, animated);

    RenderSettings streakSettings = animated;
    if (animated.scale > 0.0f)
        streakSettings.scale =
            animated.scale * std::sqrt((static_cast<float>(kw) * static_cast<float>(kh)) /
                                       (static_cast<float>(w) * static_cast<float>(h)));
    const float sx = static_cast<float>(kw) / static_cast<float>(w);
    const float sy = static_cast<float>(kh) / static_cast<float>(h);

    if (!chromatic) {
        generateStreak(selected, dst, streakSettings, 0);
        compositeMapped(src, selected, dst, animated, {sx, sy, 0, true, EdgeMode::Clamp}, &animated);
        return;
    }

    const float s = animated.scale > 0.0f ? animated.scale : referenceScale(w, h);
    const int margin = quarterChromaticMargin(animated.chromaticAmount, s, w, h);
    generateStreak(selected, dst, streakSettings, margin);

    RenderSettings colorSettings = animated;
    colorSettings.scale = std::sqrt(sx * sy) * s;
    if (transparentForeground) colorSettings.tint = 0.0f;
    applyColor(selected, dst, colorSettings, smallSource.pixels.empty() ? nullptr : &smallSource,
               margin, margin);

    RenderSettings deferredColor = animated;
    deferredColor.chromaticAmount = 0.0f;
    deferredColor.saturation = 1.0f;
    compositeMapped(src, selected, dst, animated, {sx, sy, margin, true, EdgeMode::Transparent},
                    transparentForeground ? &deferredColor : nullptr);
}

void renderFull(Image const& src, Image& dst, RenderSettings const& animated) {
    Image selected;
    extractLuminanceRange(src, selected, animated);

    if (!(animated.chromaticAmount > 0.0f)) {
        generateStreak(selected, dst, animated, 0);
        // Neutral colour needs no colour step: the plain compositor saves it.
        if (animated.saturation == 1.0f && animated.tint <= 0.0f)
            composite(src, selected, dst, animated);
        else
            compositeMapped(src, selected, dst, animated, {1.0f, 1.0f, 0, false, EdgeMode::Clamp},
                            &animated);
        return;
    }

    const float s = animated.scale > 0.0f ? animated.scale : referenceScale(src.width, src.height);
    const int margin = fullChromaticMargin(animated.chromaticAmount, s);
    generateStreak(selected, dst, animated, margin);
    RenderSettings colorSettings = animated;
    colorSettings.scale = s;
    applyColor(selected, dst, colorSettings, &src, margin, margin);
    compositeMapped(src, selected, dst, animated, {1.0f, 1.0f, margin, false, EdgeMode::Transparent},
                    nullptr);
}

}  // namespace

int fullChromaticMargin(float amount, float scale) { return marginCeil(amount * scale) + 2; }

int quarterChromaticMargin(float amount, float scale, int width, int height) {
    const int shift = marginCeil(amount * scale);
    const int kw = (std::max(width, 0) + 3) / 4;
    const int kh = (std::max(height, 0) + 3) / 4;
    const float sx = static_cast<float>(kw) / static_cast<float>(std::max(width, 1));
    const float sy = static_cast<float>(kh) / static_cast<float>(std::max(height, 1));
    return marginCeil(std::max(sx, sy) * static_cast<float>(shift + 3)) + 2;
}

void reduceQuarter(Image const& src, Image& selected, Image* smallSource,
                   RenderSettings const& settings) {
    const int w = src.width;
    const int h = src.height;
    const int kw = (w + 3) / 4;
    const int kh = (h + 3) / 4;
    selected.resize(kw, kh);
    if (smallSource != nullptr) smallSource->resize(kw, kh);

    parallel::ranges(kh, workOf(src), [&](int y0, int y1) {
        // Per block column: the masked sum, the plain sum and the pixel count. Source rows
        // are walked in order, so each block still sums j outer, i inner.
        std::vector<Pixel> sums(static_cast<std::size_t>(kw));
        std::vector<Pixel> plains(smallSource != nullptr ? static_cast<std::size_t>(kw) : 0);
        for (int Y = y0; Y < y1; ++Y) {
            std::fill(sums.begin(), sums.end(), Pixel{});
            std::fill(plains.begin(), plains.end(), Pixel{});
            const int rows = std::min(4, h - 4 * Y);
            for (int j = 0; j < rows; ++j) {
                Pixel const* in = src.pixels.data() + static_cast<std::size_t>(4 * Y + j) * w;
                for (int X = 0; X < kw; ++X) {
                    Pixel& sum = sums[static_cast<std::size_t>(X)];
                    const int x0 = 4 * X;
                    const int x1 = std::min(x0 + 4, w);
                    for (int x = x0; x < x1; ++x) {
                        const Pixel p = in[x];
                        // A transparent pixel still gets the mask of luma 0 (it matters
                        // when the matte is inverted); its colour is zero anyway.
                        const float m = luminanceRangeMask(luma(p), settings);
                        sum.r += p.r * m;
                        sum.g += p.g * m;
                        sum.b += p.b * m;
                        sum.a += p.a * m;
                    }
                    if (smallSource != nullptr) {
                        Pixel& plain = plains[static_cast<std::size_t>(X)];
                        for (int x = x0; x < x1; ++x) {
                            const Pixel p = in[x];
                            plain.r += p.r;
                            plain.g += p.g;
                            plain.b += p.b;
                            plain.a += p.a;
                        }
                    }
                }
            }
            Pixel* out = selected.pixels.data() + static_cast<std::size_t>(Y) * kw;
            Pixel* outPlain = smallSource != nullptr
                                  ? smallSource->pixels.data() + static_cast<std::size_t>(Y) * kw
                                  : nullptr;
            for (int X = 0; X < kw; ++X) {
                const int count = rows * (std::min(4 * X + 4, w) - 4 * X);
                const float inverse = 1.0f / static_cast<float>(count);
                const Pixel& sum = sums[static_cast<std::size_t>(X)];
                out[X] = {sum.r * inverse, sum.g * inverse, sum.b * inverse, sum.a * inverse};
                if (outPlain != nullptr) {
                    const Pixel& plain = plains[static_cast<std::size_t>(X)];
                    outPlain[X] = {plain.r * inverse, plain.g * inverse, plain.b * inverse,
                                   plain.a * inverse};
                }
            }
        }
    });
}

void processFrame(Image const& src, Image& dst, RenderSettings const& settings) {
    const bool strength = settings.opacity > 0.0f && settings.intensity > 0.0f;
    if (settings.useGpu && (settings.view == ViewMode::Matte || strength)) {
        if (metal::frame(src, dst, settings, nullptr)) return;
    }

    ActiveFrame counted;
    const int w = src.width;
    const int h = src.height;

    if (settings.view == ViewMode::Matte) {
        renderMatte(src, dst, settings);
        return;
    }
    if (settings.opacity <= 0.0f || settings.intensity <= 0.0f) {
        if (settings.view == ViewMode::Black)
            fill(dst, w, h, {0.0f, 0.0f, 0.0f, 1.0f});
        else if (settings.view == ViewMode::Alpha)
            fill(dst, w, h, Pixel{});
        else if (&dst != &src)
            dst = src;
        return;
    }

    const RenderSettings animated = animatedSettings(settings);

    // Every stage uses `dst` as scratch before compositing into it, so a frame rendered
    // in place works from a copy of its input.
    Image inputCopy;
    Image const* input = &src;
    if (&dst == &src) {
        inputCopy = src;
        input = &inputCopy;
    }

    const bool quarter = (animated.performance || animated.view == ViewMode::Performance) &&
                         (animated.length > 0.0f || animated.width > 0.0f) && w >= 2 && h >= 2;
    if (quarter)
        renderQuarter(*input, dst, animated);
    else
        renderFull(*input, dst, animated);
}

}  // namespace raydrift::image

#include "image/composite.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "image/blend_math.h"
#include "image/frame_rows.h"
#include "image/luminance.h"
#include "image/parallel.h"
#include "image/sampling.h"
#include "image/vector_units.h"

namespace raydrift::image {

namespace {

template <class P>
inline RdRgba toRgba(P const& p) {
    return rdRgba(p.r, p.g, p.b, p.a);
}
// The base's pixel unchanged, every bit (−0, NaN payloads): a copy, or a lane shuffle
// from float ARGB.
inline void copyPixels(Pixel* out, Pixel const* base, int n) {
    std::memcpy(static_cast<void*>(out), base, static_cast<std::size_t>(n) * sizeof(Pixel));
}
inline void copyPixels(Pixel* out, ArgbPixel const* base, int n) {
    for (int k = 0; k < n; ++k) vec::store(out + k, vec::load(base + k));
}

// vec::storeArgb's alpha: clamped to [0, 1], NaN as 0, in every lane.
inline vec::F4 clampedAlpha(vec::F4 a) {
    const vec::F4 zero = vec::splat(0.0f), one = vec::splat(1.0f);
    return vec::select(a > zero, vec::select(a < one, a, one), zero);
}

// Where the compositor puts its pixels: engine pixels, or a host's float ARGB row stored
// as vec::storeArgb stores it (the output's own conversion, done as each pixel is made).
// `four` takes four Normal-mode results by channel and the base for the lanes not covered.
struct PixelsOut {
    Pixel* pixels;
    void set(int x, Pixel const& p) const { pixels[x] = p; }
    template <class B>
    void copy(int x, B const* base, int n) const {
        copyPixels(pixels + x, base, n);
    }
    template <class B>
    void four(int x, vec::F4 r, vec::F4 g, vec::F4 b, vec::F4 a, vec::I4 covered, B const* base) const {
        vec::F4 px[4];
        vec::transpose(r, g, b, a, px);
        for (int k = 0; k < 4; ++k)
            if (covered[k])
                vec::store(pixels + x + k, px[k]);
            else
                copy(x + k, base + k, 1);
    }
};
struct ArgbOut {
    ArgbPixel* pixels;
    bool straight;
    void set(int x, Pixel const& p) const { vec::storeArgb(pixels + x, vec::load(&p), straight); }
    template <class B>
    void copy(int x, B const* base, int n) const {
        if constexpr (std::is_same_v<B, ArgbPixel>) {
            if (!straight) {  // the host's own layout: every bit but the clamped alpha
                const vec::I4 alphaLane{-1, 0, 0, 0};
                for (int k = 0; k < n; ++k) {
                    vec::F4 v;
                    std::memcpy(&v, base + k, sizeof v);
                    v = vec::select(alphaLane, clampedAlpha(v), v);
                    std::memcpy(static_cast<void*>(pixels + x + k), &v, sizeof v);
                }
                return;
            }
        }
        for (int k = 0; k < n; ++k) vec::storeArgb(pixels + x + k, vec::load(base + k), straight);
    }
    template <class B>
    void four(int x, vec::F4 r, vec::F4 g, vec::F4 b, vec::F4 a, vec::I4 covered, B const* base) const {
        const vec::F4 alpha = clampedAlpha(a);
        if (straight) {
            const vec::F4 zero = vec::splat(0.0f);
            const vec::F4 k = vec::select(alpha > vec::splat(1e-6f), vec::splat(1.0f) / alpha, zero);
            r = r * k;
            g = g * k;
            b = b * k;
        }
        vec::F4 px[4];
        vec::transpose(alpha, r, g, b, px);
        for (int k = 0; k < 4; ++k)
            if (covered[k])
                std::memcpy(static_cast<void*>(pixels + x + k), &px[k], sizeof px[k]);
            else
                copy(x + k, base + k, 1);
    }
};
inline Pixel toPixel(RdRgba const& p) { return {p.r, p.g, p.b, p.a}; }

enum class Shown { Blended, Black, Alpha };

Shown shownOf(ViewMode view) {
    if (view == ViewMode::Black) return Shown::Black;
    if (view == ViewMode::Alpha) return Shown::Alpha;
    return Shown::Blended;
}

// Saturation and tint applied to each fetched streak pixel, decided once per call.
struct ColourStep {
    bool apply = false;
    bool protect = false;
    float amount = 0.0f;
    float saturation = 1.0f;
    float tintR = 0.0f;
    float tintG = 0.0f;
    float tintB = 0.0f;
};

ColourStep colourStepFor(RowSource const& base, RenderSettings const* colour) {
    ColourStep step;
    if (colour == nullptr) return step;
    step.amount = rdClamp01(colour->tint);
    step.saturation = colour->saturation;
    step.apply = step.amount != 0.0f || step.saturation != 1.0f;
    step.protect = step.apply && step.amount > 0.0f && hasTransparentForeground(base);
    step.tintR = colour->tintR;
    step.tintG = colour->tintG;
    step.tintB = colour->tintB;
    return step;
}

// The per-row compositing shared by both entry points. `effectRow` is the row of streak
// pixels (already mapped to the output's columns) for output row y.
struct RowCompositor {
    Shown shown;
    ColourStep colour;
    float opacity;
    float intensity;
    int mode;

    // `base` is Pixel or ArgbPixel; `out` PixelsOut or ArgbOut.
    template <class B, class O>
    void run(B const* base, Pixel const* effect, O const& out, int width) const {
        // The common case, a blended view without recolouring, with the mode fixed per
        // call so that its formula is inlined and no switch runs per channel.
        if (!colour.apply && shown == Shown::Blended) {
            switch (mode) {
#define RD_BLENDED_CASE(m) \
    case m:                \
        return blended<m>(base, effect, out, width);
                RD_BLENDED_CASE(RD_BLEND_ADD)
                RD_BLENDED_CASE(RD_BLEND_LINEAR_DODGE)
                RD_BLENDED_CASE(RD_BLEND_SCREEN)
                RD_BLENDED_CASE(RD_BLEND_LIGHTEN)
                RD_BLENDED_CASE(RD_BLEND_MULTIPLY)
                RD_BLENDED_CASE(RD_BLEND_DARKEN)
                RD_BLENDED_CASE(RD_BLEND_OVERLAY)
                RD_BLENDED_CASE(RD_BLEND_SOFT_LIGHT)
                RD_BLENDED_CASE(RD_BLEND_HARD_LIGHT)
                RD_BLENDED_CASE(RD_BLEND_COLOR_DODGE)
                RD_BLENDED_CASE(RD_BLEND_COLOR_BURN)
                RD_BLENDED_CASE(RD_BLEND_DIFFERENCE)
                RD_BLENDED_CASE(RD_BLEND_EXCLUSION)
#undef RD_BLENDED_CASE
            default:  // Normal, and any value outside the menu
                return blended<RD_BLEND_NORMAL>(base, effect, out, width);
            }
        }
        int x = 0;
        if (!colour.apply && shown != Shown::Blended)
            for (; x + 4 <= width; x += 4) streakOnlyFour(base, effect, out, x);
        for (; x < width; ++x) {
            RdRgba p = toRgba(effect[x]);
            if (colour.apply) {
                float a = colour.amount;
                if (colour.protect) a = a * rdTintScale(base[x].a);
                p = rdColorPixel(p, colour.saturation, a, colour.tintR, colour.tintG, colour.tintB);
            }
            if (shown != Shown::Blended) {
                out.set(x, toPixel(rdStreakOnly(p, opacity, intensity, shown == Shown::Alpha)));
                continue;
            }
            const float alpha = rdStreakCoverage(p.a, opacity);
            if (alpha == 0.0f) {
                // Uncovered: the base's sixteen bytes, whatever they hold.
                out.copy(x, base + x, 1);
                continue;
            }
            out.set(x, toPixel(rdBlendOver(p, toRgba(base[x]), alpha, intensity, mode)));
        }
    }

    // Four pixels of the Black or Alpha view, one per lane: rdStreakOnly with every
    // operation of the scalar form.
    template <class B, class O>
    void streakOnlyFour(B const* base, Pixel const* effect, O const& out, int x) const {
        using vec::F4;
        const F4 zero = vec::splat(0.0f);
        const F4 one = vec::splat(1.0f);
        F4 c[4];
        vec::transpose(vec::load(effect + x), vec::load(effect + x + 1), vec::load(effect + x + 2),
                       vec::load(effect + x + 3), c);
        F4 alpha = zero;
        F4 gain = zero;
        if (intensity > 0.0f) {
            const F4 t = c[3] * vec::splat(opacity);
            alpha = vec::select(t < zero, zero, vec::select(one < t, one, t));
            gain = vec::select(c[3] > vec::splat(0.000001f), (vec::splat(intensity) * alpha) / c[3], zero);
        }
        auto positive = [&](F4 v) { return vec::select(v > zero, v, zero); };
        const F4 r = positive(c[0] * gain);
        const F4 g = positive(c[1] * gain);
        const F4 b = positive(c[2] * gain);
        F4 a = one;
        if (shown == Shown::Alpha) {
            auto larger = [](F4 p, F4 q) { return vec::select(p < q, q, p); };
            const F4 m = larger(larger(larger(alpha, r), g), b);
            a = vec::select(m < zero, zero, vec::select(one < m, one, m));
        }
        out.four(x, r, g, b, a, vec::I4{-1, -1, -1, -1}, base + x);
    }

    template <int kMode, class B, class O>
    void blended(B const* base, Pixel const* effect, O const& out, int width) const {
        int x = 0;
        if constexpr (kMode == RD_BLEND_NORMAL)
            for (; x + 4 <= width; x += 4) normalFour(base, effect, out, x);
        for (; x < width; ++x) {
            const RdRgba p = toRgba(effect[x]);
            const float alpha = rdStreakCoverage(p.a, opacity);
            if (alpha == 0.0f) {
                out.copy(x, base + x, 1);
                continue;
            }
            out.set(x, toPixel(rdBlendOver(p, toRgba(base[x]), alpha, intensity, kMode)));
        }
    }

    // Four pixels of the Normal mode, one per lane: rdStreakCoverage and rdBlendOver with
    // every operation of the scalar form, so each lane has its pixel's bits; uncovered
    // lanes take the base's sixteen bytes.
    template <class B, class O>
    void normalFour(B const* base, Pixel const* effect, O const& out, int x) const {
        using vec::F4;
        base += x;
        effect += x;
        const F4 zero = vec::splat(0.0f);
        const F4 one = vec::splat(1.0f);
        const F4 pa{effect[0].a, effect[1].a, effect[2].a, effect[3].a};
        const F4 t = pa * vec::splat(opacity);
        const F4 alpha = vec::select(t < zero, zero, vec::select(one < t, one, t));
        const vec::I4 covered = alpha != zero;
        if (!(covered[0] | covered[1] | covered[2] | covered[3])) {
            out.copy(x, base, 4);
            return;
        }
        const F4 pr{effect[0].r, effect[1].r, effect[2].r, effect[3].r};
        const F4 pg{effect[0].g, effect[1].g, effect[2].g, effect[3].g};
        const F4 pb{effect[0].b, effect[1].b, effect[2].b, effect[3].b};
        const F4 qr{base[0].r, base[1].r, base[2].r, base[3].r};
        const F4 qg{base[0].g, base[1].g, base[2].g, base[3].g};
        const F4 qb{base[0].b, base[1].b, base[2].b, base[3].b};
        const F4 qa{base[0].a, base[1].a, base[2].a, base[3].a};
        const F4 gain = vec::splat(intensity);
        const F4 inverseEffect = vec::select(pa > vec::splat(0.000001f), one / pa, zero);
        const F4 er = (pr * inverseEffect) * gain;
        const F4 eg = (pg * inverseEffect) * gain;
        const F4 eb = (pb * inverseEffect) * gain;
        const F4 a = qa * (one - alpha) + alpha;
        const F4 outAlpha = vec::select(a < zero, zero, vec::select(one < a, one, a));
        const F4 baseOnly = one - alpha;
        const F4 sourceOnly = one - qa;
        const F4 overlap = alpha * qa;
        const F4 largest = vec::splat(3.4028235e38f);
        auto positiveFinite = [&](F4 v) { return vec::select(v > zero, vec::select(v < largest, v, largest), zero); };
        // Normal: the blended channel is the streak's (er), whatever the base holds.
        const F4 r = positiveFinite((qr * baseOnly + (er * alpha) * sourceOnly) + er * overlap);
        const F4 g = positiveFinite((qg * baseOnly + (eg * alpha) * sourceOnly) + eg * overlap);
        const F4 b = positiveFinite((qb * baseOnly + (eb * alpha) * sourceOnly) + eb * overlap);
        out.four(x, r, g, b, outAlpha, covered, base);
    }
};

RowCompositor compositorFor(RenderSettings const& settings, ColourStep const& colour) {
    return {shownOf(settings.view), colour, settings.opacity, settings.intensity,
            static_cast<int>(settings.blendMode)};
}

unsigned long workOf(RowSource const& rows) { return static_cast<unsigned long>(rows.pixelCount()); }

// Rows [y0, y1) of out = base; `out` already has the base's size.
void copyRowRange(RowSource const& base, RowSink const& out, int y0, int y1) {
    const int width = base.width();
    std::vector<Pixel> in(base.bufferPixels());
    for (int y = y0; y < y1; ++y) {
        Pixel const* row = base.row(y, in.data());
        if (!out.image())
            out.commit(y, width, row);
        else if (width > 0)  // nothing to copy from an empty frame
            std::memcpy(static_cast<void*>(out.row(y, nullptr)), row, static_cast<std::size_t>(width) * sizeof(Pixel));
    }
}

}  // namespace

void copyRows(RowSource const& base, RowSink const& out) {
    if (base.image() && out.image()) {
        if (out.image() != base.image()) *out.image() = *base.image();
        return;
    }
    out.prepare(base.width(), base.height());
    parallel::ranges(base.height(), static_cast<unsigned long>(base.pixelCount()),
                     [&](int y0, int y1) { copyRowRange(base, out, y0, y1); });
}

namespace {

// Zero strength in a blended view shows the base unchanged. True when done.
bool copiedAtZeroStrength(RowSource const& base, RowSink const& out, RenderSettings const& settings) {
    if (shownOf(settings.view) != Shown::Blended) return false;
    if (settings.opacity > 0.0f && settings.intensity > 0.0f) return false;
    copyRows(base, out);
    return true;
}

// The rows [y0, y1) of a composite whose effect row for output row y is effectRow(y).
// A caller's rows go span by span, each read, composited and written while in the cache;
// pixels are independent, so the spans change no bit.
template <class EffectRow>
void compositeRange(RowCompositor const& compositor, RowSource const& base, RowSink const& out, int y0, int y1,
                    EffectRow&& effectRow) {
    const int width = base.width();
    std::vector<Pixel> in(base.bufferPixels());
    std::vector<Pixel> buffer(out.bufferPixels(width));
    const int span = base.image() && out.image() ? std::max(width, 1) : kRowSpan;
    for (int y = y0; y < y1; ++y) {
        Pixel const* effect = effectRow(y);
        for (int x = 0; x < width; x += span) {
            const int n = std::min(span, width - x);
            auto to = [&](auto const* from) {
                if (ArgbPixel* host = out.argb(y, x)) {
                    compositor.run(from, effect + x, ArgbOut{host, out.straightArgb()}, n);
                    return;
                }
                Pixel* pixels = out.span(y, x, buffer.data());
                compositor.run(from, effect + x, PixelsOut{pixels}, n);
                out.commit(y, x, n, pixels);
            };
            if (ArgbPixel const* argb = base.argb(y, x))
                to(argb);
            else
                to(base.span(y, x, n, in.data()));
        }
    }
}

}  // namespace

float blendChannel(float a, float b, BlendMode mode) {
    return rdBlendChannel(a, b, static_cast<int>(mode));
}

void composite(RowSource const& base, Image const& effect, RowSink const& out, RenderSettings const& settings) {
    if (copiedAtZeroStrength(base, out, settings)) return;
    if (effect.width != base.width() || effect.height != base.height())
        throw std::invalid_argument("composite: the streak image must have the base's size");
    out.prepare(base.width(), base.height());
    const RowCompositor compositor = compositorFor(settings, ColourStep{});
    const std::size_t width = static_cast<std::size_t>(base.width());
    parallel::ranges(base.height(), workOf(base), [&](int y0, int y1) {
        compositeRange(compositor, base, out, y0, y1,
                       [&](int y) { return effect.pixels.data() + static_cast<std::size_t>(y) * width; });
    });
}

void compositeRows(RowSource const& base, Pixel const* effectRows, std::size_t stride, RowSink const& out,
                   RenderSettings const& settings, int y0, int y1) {
    if (shownOf(settings.view) == Shown::Blended && !(settings.opacity > 0.0f && settings.intensity > 0.0f)) {
        copyRowRange(base, out, y0, y1);  // zero strength: the base, as composite copies it
        return;
    }
    const RowCompositor compositor = compositorFor(settings, ColourStep{});
    compositeRange(compositor, base, out, y0, y1,
                   [&](int y) { return effectRows + static_cast<std::size_t>(y - y0) * stride; });
}

void compositeMapped(RowSource const& base, Image const& effect, RowSink const& out,
                     RenderSettings const& settings, CompositeMapping const& mapping,
                     RenderSettings const* colorOverride) {
    const int width = base.width();
    const int height = base.height();
    const int margin = mapping.margin;
    if (copiedAtZeroStrength(base, out, settings)) return;
    if (!mapping.resample && !base.empty() &&
        (margin < 0 ||
         static_cast<std::int64_t>(width) + margin > effect.width ||
         static_cast<std::int64_t>(height) + margin > effect.height))
        throw std::invalid_argument("compositeMapped: the streak image does not cover the frame");

    // Writing the output must not pull the streaks from under the reads.
    Image effectCopy;
    Image const* streaks = &effect;
    if (out.image() == &effect) {
        effectCopy = effect;
        streaks = &effectCopy;
    }
    const RowCompositor compositor = compositorFor(settings, colourStepFor(base, colorOverride));
    out.prepare(width, height);

    if (!mapping.resample) {
        const int effectWidth = streaks->width;
        parallel::ranges(height, workOf(base), [&](int y0, int y1) {
            compositeRange(compositor, base, out, y0, y1, [&](int y) {
                return streaks->pixels.data() + static_cast<std::size_t>(y + margin) * effectWidth + margin;
            });
        });
        return;
    }

    // One grid for the axis tables; each worker resamples its rows, in increasing order,
    // with a copy of its own (the row cache is per grid). A row's samples do not depend
    // on what the cache held before, so the split changes nothing.
    const sampling::BilinearGrid prototype =
        sampling::makeGrid(*streaks, width, height, mapping.scaleX, mapping.scaleY, margin, mapping.edge);
    parallel::ranges(height, workOf(base), [&](int y0, int y1) {
        sampling::BilinearGrid grid = prototype;
        std::vector<Pixel> effectRow;
        compositeRange(compositor, base, out, y0, y1, [&](int y) {
            grid.resampleRow(y, effectRow);
            return effectRow.data();
        });
    });
}

}  // namespace raydrift::image

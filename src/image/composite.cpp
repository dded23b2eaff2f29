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

using vec::choose;
using vec::splatAll;

// vec::storeArgb's alpha: clamped to [0, 1], NaN as 0, in every lane.
template <class V>
RD_VECTOR_INLINE V clampedAlpha(V a) {
    const V zero = splatAll<V>(0.0f), one = splatAll<V>(1.0f);
    return choose(a > zero, choose(a < one, a, one), zero);
}
// Eight lanes as a template argument: vec::F8 less its alignment attribute, which a
// template argument would drop.
typedef float Eight __attribute__((vector_size(32)));

// Where the compositor puts its pixels: engine pixels, or a host's float ARGB row stored
// as vec::storeArgb stores it (the output's own conversion, done as each pixel is made).
// `group` takes 4 or 8 finished pixels by channel (engine order; an uncovered lane
// already holds its base pixel's channels).
struct PixelsOut {
    Pixel* pixels;
    void set(int x, Pixel const& p) const { pixels[x] = p; }
    template <class B>
    void copy(int x, B const* base, int n) const {
        copyPixels(pixels + x, base, n);
    }
    template <class V>
    RD_VECTOR_INLINE void group(int x, V r, V g, V b, V a) const {
        vec::storeChannels(pixels + x, r, g, b, a);
    }
};
struct ArgbOut {
    ArgbPixel* pixels;
    bool straight;
    void set(int x, Pixel const& p) const { vec::storeArgb(pixels + x, vec::load(&p), straight); }
    template <class B>
    RD_VECTOR_INLINE void copy(int x, B const* base, int n) const {
        if constexpr (std::is_same_v<B, ArgbPixel>) {
            if (!straight) {  // the host's own layout: every bit but the clamped alpha
                // Two pixels a vector (one AVX register where the caller is compiled for it).
                const vec::I8 alphaLanes{-1, 0, 0, 0, -1, 0, 0, 0};
                int k = 0;
                for (; k + 2 <= n; k += 2) {
                    Eight v;
                    std::memcpy(&v, base + k, sizeof v);
                    v = choose(alphaLanes, clampedAlpha(v), v);
                    std::memcpy(static_cast<void*>(pixels + x + k), &v, sizeof v);
                }
                if (k < n) {
                    vec::F4 v;
                    std::memcpy(&v, base + k, sizeof v);
                    v = vec::select(vec::I4{-1, 0, 0, 0}, clampedAlpha(v), v);
                    std::memcpy(static_cast<void*>(pixels + x + k), &v, sizeof v);
                }
                return;
            }
        }
        for (int k = 0; k < n; ++k) vec::storeArgb(pixels + x + k, vec::load(base + k), straight);
    }
    // vec::storeArgb per lane: the same clamp and division, alpha first in memory.
    template <class V>
    RD_VECTOR_INLINE void group(int x, V r, V g, V b, V a) const {
        const V alpha = clampedAlpha(a);
        if (straight) {
            const V zero = splatAll<V>(0.0f), one = splatAll<V>(1.0f);
            // A group of invisible pixels, common in the Alpha view, needs no division.
            const auto visible = alpha > splatAll<V>(1e-6f);
            const V k = vec::any(visible) ? choose(visible, one / alpha, zero) : zero;
            r = r * k;
            g = g * k;
            b = b * k;
        }
        vec::storeChannels(pixels + x, alpha, r, g, b);
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
        if (!colour.apply && shown != Shown::Blended) {
#if RD_HAVE_AVX2_VARIANT
            if (vec::units() >= vec::Units::Avx2) x = streakOnlyEights(effect, out, width);
#endif
            const Splats<vec::F4> k = splats<vec::F4>();
            for (; x + 4 <= width; x += 4) streakOnlyGroup(effect, out, x, k);
        }
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

    // The call's numbers in every lane, made once a row rather than once a group.
    template <class V>
    struct Splats {
        V zero, one, opacity, intensity, tiny, largest;
    };
    template <class V>
    RD_VECTOR_INLINE Splats<V> splats() const {
        return {splatAll<V>(0.0f),      splatAll<V>(1.0f),         splatAll<V>(opacity),
                splatAll<V>(intensity), splatAll<V>(0.000001f), splatAll<V>(3.4028235e38f)};
    }

    // The pixels of `base` (4 or 8 from x) by channel, in engine order.
    template <class V, class B>
    RD_VECTOR_INLINE static void baseChannels(B const* base, V (&q)[4]) {
        V c[4];
        vec::channels(base, c);
        constexpr bool kArgb = std::is_same_v<B, ArgbPixel>;
        for (int j = 0; j < 4; ++j) q[j] = c[kArgb ? (j + 1) % 4 : j];
    }

    // 4 or 8 pixels of the Black or Alpha view, one per lane: rdStreakOnly with every
    // operation of the scalar form.
    template <class V, class O>
    RD_VECTOR_INLINE void streakOnlyGroup(Pixel const* effect, O const& out, int x, Splats<V> const& k) const {
        const V zero = k.zero;
        const V one = k.one;
        V c[4];
        vec::channels(effect + x, c);
        V alpha = zero;
        V gain = zero;
        if (intensity > 0.0f) {
            const V t = c[3] * k.opacity;
            alpha = choose(t < zero, zero, choose(one < t, one, t));
            // Lanes without streak alpha take no division; groups of them, none at all.
            const auto lit = c[3] > k.tiny;
            if (vec::any(lit)) gain = choose(lit, (k.intensity * alpha) / c[3], zero);
        }
        // (No lambdas here: inlined into the AVX2 variant, GCC's sanitizers take their
        // closures for null.)
        V rgb[3];
        for (int j = 0; j < 3; ++j) {
            const V v = c[j] * gain;
            rgb[j] = choose(v > zero, v, zero);
        }
        const V r = rgb[0], g = rgb[1], b = rgb[2];
        V a = one;
        if (shown == Shown::Alpha) {
            V m = alpha;
            for (V const& v : rgb) m = choose(m < v, v, m);  // the larger, m on NaN
            a = choose(m < zero, zero, choose(one < m, one, m));
        }
        out.group(x, r, g, b, a);
    }

    // 4 or 8 pixels of the Normal mode, one per lane: rdStreakCoverage and rdBlendOver
    // with every operation of the scalar form, so each lane has its pixel's bits;
    // uncovered lanes take the base's sixteen bytes.
    template <class V, class B, class O>
    RD_VECTOR_INLINE void normalGroup(B const* base, Pixel const* effect, O const& out, int x,
                                      Splats<V> const& k) const {
        constexpr int kLanes = sizeof(V) / sizeof(float);
        base += x;
        const V zero = k.zero;
        const V one = k.one;
        V e[4];
        vec::channels(effect + x, e);
        const V pa = e[3];
        const V t = pa * k.opacity;
        const V alpha = choose(t < zero, zero, choose(one < t, one, t));
        const auto covered = alpha != zero;
        if (!vec::any(covered)) {
            out.copy(x, base, kLanes);
            return;
        }
        V q[4];
        baseChannels(base, q);
        const V qa = q[3];
        const V gain = k.intensity;
        const V inverseEffect = choose(pa > k.tiny, one / pa, zero);
        const V a = qa * (one - alpha) + alpha;
        const V outAlpha = choose(a < zero, zero, choose(one < a, one, a));
        const V baseOnly = one - alpha;
        const V sourceOnly = one - qa;
        const V overlap = alpha * qa;
        const V largest = k.largest;
        V c[3];
        for (int j = 0; j < 3; ++j) {
            // Normal: the blended channel is the streak's (e), whatever the base holds.
            const V ej = (e[j] * inverseEffect) * gain;
            const V v = (q[j] * baseOnly + (ej * alpha) * sourceOnly) + ej * overlap;
            c[j] = choose(covered, choose(v > zero, choose(v < largest, v, largest), zero), q[j]);
        }
        out.group(x, c[0], c[1], c[2], choose(covered, outAlpha, qa));
    }

#if RD_HAVE_AVX2_VARIANT
    // Eight pixels a step while eight remain; the pixels done.
    template <class B, class O>
    RD_TARGET_AVX2 int normalEights(B const* base, Pixel const* effect, O const& out, int width) const {
        const Splats<Eight> k = splats<Eight>();
        int x = 0;
        for (; x + 8 <= width; x += 8) normalGroup(base, effect, out, x, k);
        return x;
    }
    template <class O>
    RD_TARGET_AVX2 int streakOnlyEights(Pixel const* effect, O const& out, int width) const {
        const Splats<Eight> k = splats<Eight>();
        int x = 0;
        for (; x + 8 <= width; x += 8) streakOnlyGroup(effect, out, x, k);
        return x;
    }
#endif

    template <int kMode, class B, class O>
    void blended(B const* base, Pixel const* effect, O const& out, int width) const {
        int x = 0;
        if constexpr (kMode == RD_BLEND_NORMAL) {
#if RD_HAVE_AVX2_VARIANT
            if (vec::units() >= vec::Units::Avx2) x = normalEights(base, effect, out, width);
#endif
            const Splats<vec::F4> k = splats<vec::F4>();
            for (; x + 4 <= width; x += 4) normalGroup(base, effect, out, x, k);
        }
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

#include "image/luminance.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "image/parallel.h"
#include "image/vector_units.h"

namespace raydrift::image {

namespace {

typedef float F8 __attribute__((vector_size(32)));

// The mask arithmetic below for a vector V of N floats (F4 on the baseline, F8 with AVX2):
// one pixel per lane, every lane with the scalar form's operations.
template <class V>
RD_VECTOR_INLINE V splat(float v) {
    V r;
    for (std::size_t k = 0; k < sizeof(V) / sizeof(float); ++k) r[k] = v;
    return r;
}

// mask ? a : b, mask from a vector comparison.
template <class V, class M>
RD_VECTOR_INLINE V select(M mask, V a, V b) {
    return (V)((mask & (M)a) | (~mask & (M)b));
}

// rdMulAdd per lane.
template <class V>
RD_VECTOR_INLINE V mulAdd(V a, V b, V c) {
#if SM_CPU_FMA
    V r;
    for (std::size_t k = 0; k < sizeof(V) / sizeof(float); ++k) r[k] = RD_FMA(a[k], b[k], c[k]);
    return r;
#else
    return a * b + c;
#endif
}

// rdRamp per lane; the edges are the same for every lane, so is the branch.
template <class V>
RD_VECTOR_INLINE V ramp(float a, float b, V v) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    if (!(b > a)) return select(v >= splat<V>(b), one, zero);
    V t = (v - splat<V>(a)) / splat<V>(b - a);
    t = select(t < zero, zero, t);  // NaN passes both, as in the scalar form
    t = select(t > one, one, t);
    return (t * t) * mulAdd(t, splat<V>(-2.0f), splat<V>(3.0f));
}

// A pixel's four floats in memory order (Pixel or ArgbPixel).
template <class P>
RD_VECTOR_INLINE vec::F4 raw(P const* p) {
    vec::F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
// The four channels of N consecutive pixels in memory order, one vector each: whole-pixel
// loads and a 4 × 4 transpose (in each 128-bit half for eight pixels) instead of one
// insert per value.
template <class P>
RD_VECTOR_INLINE void channels(P const* p, vec::F4 (&c)[4]) {
    vec::transpose(raw(p), raw(p + 1), raw(p + 2), raw(p + 3), c);
}
template <class P>
RD_VECTOR_INLINE void channels(P const* p, F8 (&c)[4]) {
    // Pixel k in the low half of t_k, pixel k + 4 in its high half.
    F8 t[4];
    for (int k = 0; k < 4; ++k) t[k] = __builtin_shufflevector(raw(p + k), raw(p + k + 4), 0, 1, 2, 3, 4, 5, 6, 7);
    const F8 u0 = __builtin_shufflevector(t[0], t[1], 0, 8, 1, 9, 4, 12, 5, 13);
    const F8 u1 = __builtin_shufflevector(t[0], t[1], 2, 10, 3, 11, 6, 14, 7, 15);
    const F8 u2 = __builtin_shufflevector(t[2], t[3], 0, 8, 1, 9, 4, 12, 5, 13);
    const F8 u3 = __builtin_shufflevector(t[2], t[3], 2, 10, 3, 11, 6, 14, 7, 15);
    c[0] = __builtin_shufflevector(u0, u2, 0, 1, 8, 9, 4, 5, 12, 13);
    c[1] = __builtin_shufflevector(u0, u2, 2, 3, 10, 11, 6, 7, 14, 15);
    c[2] = __builtin_shufflevector(u1, u3, 0, 1, 8, 9, 4, 5, 12, 13);
    c[3] = __builtin_shufflevector(u1, u3, 2, 3, 10, 11, 6, 7, 14, 15);
}

// rdLuminanceRangeMask(rdLumaPremultiplied(...)) of N pixels (Pixel or ArgbPixel), one
// per lane.
template <class V, class P>
RD_VECTOR_INLINE V masksOf(P const* p, RenderSettings const& s) {
    const V zero = splat<V>(0.0f);
    const V one = splat<V>(1.0f);
    V c[4];
    channels(p, c);
    // The channels in the pixel's own order: ARGB keeps alpha first.
    constexpr bool kArgb = std::is_same_v<P, ArgbPixel>;
    const V r = c[kArgb ? 1 : 0], g = c[kArgb ? 2 : 1], b = c[kArgb ? 3 : 2], a = c[kArgb ? 0 : 3];
    const V inv = select(a > splat<V>(1e-6f), one / a, zero);
    const V v = mulAdd(b * inv, splat<V>(0.0722f), mulAdd(r * inv, splat<V>(0.2126f), (g * inv) * splat<V>(0.7152f)));
    const V lo = s.lowFeather > 0.0f ? ramp(s.lowCut - s.lowFeather, s.lowCut, v)
                                     : select(v >= splat<V>(s.lowCut), one, zero);
    const V hi = s.highFeather > 0.0f ? one - ramp(s.highCut, s.highCut + s.highFeather, v)
                                      : select(v <= splat<V>(s.highCut), one, zero);
    V m = lo * hi;
    m = select(m < zero, zero, m);
    m = select(m > one, one, m);
    return s.invert ? one - m : m;
}

template <class V, class P>
RD_VECTOR_INLINE std::size_t groups(P const* pixels, std::size_t count, RenderSettings const& settings,
                                    float* masks) {
    constexpr std::size_t N = sizeof(V) / sizeof(float);
    std::size_t i = 0;
    for (; i + N <= count; i += N) {
        const V m = masksOf<V>(pixels + i, settings);
        std::memcpy(masks + i, &m, sizeof m);
    }
    return i;
}

template <class P>
std::size_t groupsBaseline(P const* pixels, std::size_t count, RenderSettings const& settings, float* masks) {
    return groups<vec::F4>(pixels, count, settings, masks);
}
#if RD_HAVE_AVX2_VARIANT
template <class P>
RD_TARGET_AVX2 std::size_t groupsAvx2(P const* pixels, std::size_t count, RenderSettings const& settings,
                                      float* masks) {
    return groups<F8>(pixels, count, settings, masks);
}
#endif

template <class P>
void rangeMasks(P const* pixels, std::size_t count, RenderSettings const& settings, float* masks) {
    std::size_t (*grouped)(P const*, std::size_t, RenderSettings const&, float*) = groupsBaseline<P>;
#if RD_HAVE_AVX2_VARIANT
    if (vec::units() >= vec::Units::Avx2) grouped = groupsAvx2<P>;
#endif
    for (std::size_t i = grouped(pixels, count, settings, masks); i < count; ++i) {
        P const& p = pixels[i];
        masks[i] = luminanceRangeMask(rdLumaPremultiplied(p.r, p.g, p.b, p.a), settings);
    }
}

}  // namespace

void luminanceRangeMasks(Pixel const* pixels, std::size_t count, RenderSettings const& settings, float* masks) {
    rangeMasks(pixels, count, settings, masks);
}

void luminanceRangeMasks(ArgbPixel const* pixels, std::size_t count, RenderSettings const& settings, float* masks) {
    rangeMasks(pixels, count, settings, masks);
}

void extractLuminanceRange(RowSource const& src, Image& dst, RenderSettings const& settings, LitGroups* lit) {
    if (src.image() != &dst) dst.resize(src.width(), src.height());
    if (lit != nullptr) lit->resize(src.width(), src.height());
    // Pixels are independent, so rows split over workers give the same bits; at 1080p
    // this saves about 3 ms of a Quality frame on two cores.
    const std::size_t w = static_cast<std::size_t>(src.width());
    parallel::ranges(src.height(), static_cast<unsigned long>(src.pixelCount()), [&](int y0, int y1) {
        std::vector<float> masks(w);
        std::vector<Pixel> buffer(src.bufferPixels());
        // A caller's rows come span by span, each masked while in the cache.
        const std::size_t span = src.image() ? std::max<std::size_t>(w, 1) : kRowSpan;
        // n pixels at `in` (Pixel or ArgbPixel), masked into `out`.
        auto mask = [&](auto const* in, std::size_t n, Pixel* out) {
            luminanceRangeMasks(in, n, settings, masks.data());
            for (std::size_t x = 0; x < n; ++x) vec::store(out + x, vec::load(in + x) * vec::splat(masks[x]));
        };
        for (int y = y0; y < y1; ++y) {
            Pixel* out = dst.pixels.data() + static_cast<std::size_t>(y) * w;
            if (ArgbPixel const* in = src.argb(y, 0)) {  // float ARGB rows, read in place
                mask(in, w, out);
                if (lit != nullptr) lit->note(y, 0, out, static_cast<int>(w));
                continue;
            }
            for (std::size_t s0 = 0; s0 < w; s0 += span) {
                const std::size_t n = std::min(span, w - s0);
                mask(src.span(y, static_cast<int>(s0), static_cast<int>(n), buffer.data()), n, out + s0);
                if (lit != nullptr) lit->note(y, static_cast<int>(s0), out + s0, static_cast<int>(n));
            }
        }
    });
}

bool hasTransparentForeground(RowSource const& rows) {
    if (Image const* image = rows.image()) {
        for (Pixel const& p : image->pixels)
            if (p.a < 0.9999f) return true;
        return false;
    }
    auto transparent = [&](auto const* row) {
        for (int x = 0; x < rows.width(); ++x)
            if (row[x].a < 0.9999f) return true;
        return false;
    };
    std::vector<Pixel> buffer(rows.bufferPixels());
    for (int y = 0; y < rows.height(); ++y) {
        ArgbPixel const* argb = rows.argb(y, 0);
        if (argb ? transparent(argb) : transparent(rows.row(y, buffer.data()))) return true;
    }
    return false;
}

}  // namespace raydrift::image

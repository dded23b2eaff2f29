#include "image/luminance.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "image/parallel.h"
#include "image/vector_units.h"

namespace raydrift::image {

namespace {

// The mask arithmetic below for a vector V of N floats (F4 on the baseline, F8 with AVX2):
// one pixel per lane, every lane with the scalar form's operations.
using vec::choose;
using vec::mulAdd;
using vec::splatAll;

// rdRamp per lane; the edges are the same for every lane, so is the branch.
template <class V>
RD_VECTOR_INLINE V ramp(float a, float b, V v) {
    const V zero = splatAll<V>(0.0f);
    const V one = splatAll<V>(1.0f);
    if (!(b > a)) return choose(v >= splatAll<V>(b), one, zero);
    V t = (v - splatAll<V>(a)) / splatAll<V>(b - a);
    t = choose(t < zero, zero, t);  // NaN passes both, as in the scalar form
    t = choose(t > one, one, t);
    return (t * t) * mulAdd(t, splatAll<V>(-2.0f), splatAll<V>(3.0f));
}

// rdLuminanceRangeMask(rdLumaPremultiplied(...)) of N pixels given by channel in memory
// order (ARGB keeps alpha first), one per lane.
template <bool kArgb, class V>
RD_VECTOR_INLINE V masksOf(V const (&c)[4], RenderSettings const& s) {
    const V zero = splatAll<V>(0.0f);
    const V one = splatAll<V>(1.0f);
    const V r = c[kArgb ? 1 : 0], g = c[kArgb ? 2 : 1], b = c[kArgb ? 3 : 2], a = c[kArgb ? 0 : 3];
    // Opaque pixels, most of a frame, need no division: 1 / 1 is 1.
    const V inv = vec::all(a == one) ? one : choose(a > splatAll<V>(1e-6f), one / a, zero);
    const V v = mulAdd(b * inv, splatAll<V>(0.0722f),
                       mulAdd(r * inv, splatAll<V>(0.2126f), (g * inv) * splatAll<V>(0.7152f)));
    const V lo = s.lowFeather > 0.0f ? ramp(s.lowCut - s.lowFeather, s.lowCut, v)
                                     : choose(v >= splatAll<V>(s.lowCut), one, zero);
    const V hi = s.highFeather > 0.0f ? one - ramp(s.highCut, s.highCut + s.highFeather, v)
                                      : choose(v <= splatAll<V>(s.highCut), one, zero);
    V m = lo * hi;
    m = choose(m < zero, zero, m);
    m = choose(m > one, one, m);
    return s.invert ? one - m : m;
}
template <class V, class P>
RD_VECTOR_INLINE V masksOf(P const* p, RenderSettings const& s) {
    V c[4];
    vec::channels(p, c);
    return masksOf<std::is_same_v<P, ArgbPixel>>(c, s);
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
    return groups<vec::F8>(pixels, count, settings, masks);
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

// The block sums of addMaskedBlocks, one pixel at a time from `in` (whole blocks from
// the row's start at `in`, the last one perhaps partial).
template <class P>
void addMaskedPixels(P const* in, std::size_t n, RenderSettings const& settings, Pixel* sums, Pixel* plains,
                     float* masks) {
    rangeMasks(in, n, settings, masks);
    for (std::size_t x = 0; x < n; ++x) {
        // Each pixel is added to its block as it comes: the block's pixels in order.
        Pixel& sum = sums[x / 4];
        vec::store(&sum, vec::load(&sum) + vec::load(in + x) * vec::splat(masks[x]));
        if (plains != nullptr) vec::store(&plains[x / 4], vec::load(&plains[x / 4]) + vec::load(in + x));
    }
}

#if RD_HAVE_AVX2_VARIANT
// Eight pixels from p in the engine's channel order, and each one's mask in every lane of
// the pixel: pixel k in the low half of t[k], pixel k + 4 in its high half (so, for the
// quarter reduction, lane half h is block 2k + h).
template <class P>
RD_VECTOR_INLINE void eightMasked(P const* p, RenderSettings const& settings, vec::F8 (&t)[4], vec::F8 (&m)[4]) {
    using vec::F8;
    for (int k = 0; k < 4; ++k)
        t[k] = __builtin_shufflevector(vec::raw(p + k), vec::raw(p + k + 4), 0, 1, 2, 3, 4, 5, 6, 7);
    F8 c[4];
    vec::transposeHalves(t, c);
    const F8 masks = masksOf<std::is_same_v<P, ArgbPixel>>(c, settings);
    if constexpr (std::is_same_v<P, ArgbPixel>)  // to the engine's channel order
        for (F8& v : t) v = __builtin_shufflevector(v, v, 1, 2, 3, 0, 5, 6, 7, 4);
    m[0] = __builtin_shufflevector(masks, masks, 0, 0, 0, 0, 4, 4, 4, 4);
    m[1] = __builtin_shufflevector(masks, masks, 1, 1, 1, 1, 5, 5, 5, 5);
    m[2] = __builtin_shufflevector(masks, masks, 2, 2, 2, 2, 6, 6, 6, 6);
    m[3] = __builtin_shufflevector(masks, masks, 3, 3, 3, 3, 7, 7, 7, 7);
}

// Two blocks (eight pixels) a step, masked while in registers: every block still adds
// its pixels in order, each channel with the scalar product and sum. Returns the pixels
// done.
template <class P>
RD_TARGET_AVX2 std::size_t addMaskedPairs(P const* in, std::size_t n, RenderSettings const& settings,
                                          Pixel* sums, Pixel* plains) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        vec::F8 t[4], m[4];
        eightMasked(in + i, settings, t, m);
        Pixel* sum = sums + i / 4;
        vec::F8 acc;
        std::memcpy(&acc, sum, sizeof acc);
        acc = (((acc + t[0] * m[0]) + t[1] * m[1]) + t[2] * m[2]) + t[3] * m[3];
        std::memcpy(static_cast<void*>(sum), &acc, sizeof acc);
        if (plains != nullptr) {
            Pixel* plain = plains + i / 4;
            std::memcpy(&acc, plain, sizeof acc);
            acc = (((acc + t[0]) + t[1]) + t[2]) + t[3];
            std::memcpy(static_cast<void*>(plain), &acc, sizeof acc);
        }
    }
    return i;
}

// The selection, eight pixels a step while eight remain: each pixel times its mask as
// extractLuminanceRange's product; with `flags`, whether each run of eight holds a bit
// other than +0 (LitGroups' note). `out` may be `in`. Returns the pixels done.
template <class P>
RD_TARGET_AVX2 std::size_t maskedEights(P const* in, std::size_t n, RenderSettings const& settings, Pixel* out,
                                        std::uint8_t* flags) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        vec::F8 t[4], m[4];
        eightMasked(in + i, settings, t, m);
        vec::I8 bits{};
        for (int k = 0; k < 4; ++k) {
            const vec::F8 product = t[k] * m[k];
            vec::store(out + i + k, __builtin_shufflevector(product, product, 0, 1, 2, 3));
            vec::store(out + i + k + 4, __builtin_shufflevector(product, product, 4, 5, 6, 7));
            bits |= (vec::I8)product;
        }
        if (flags != nullptr) flags[i / 8] = vec::any(bits != vec::I8{}) ? 1 : 0;
    }
    return i;
}
#endif

template <class P>
void addMasked(P const* in, std::size_t n, RenderSettings const& settings, Pixel* sums, Pixel* plains,
               float* masks) {
    std::size_t done = 0;
#if RD_HAVE_AVX2_VARIANT
    if (vec::units() >= vec::Units::Avx2) done = addMaskedPairs(in, n, settings, sums, plains);
#endif
    addMaskedPixels(in + done, n - done, settings, sums + done / 4, plains != nullptr ? plains + done / 4 : nullptr,
                    masks);
}

}  // namespace

void luminanceRangeMasks(Pixel const* pixels, std::size_t count, RenderSettings const& settings, float* masks) {
    rangeMasks(pixels, count, settings, masks);
}

void luminanceRangeMasks(ArgbPixel const* pixels, std::size_t count, RenderSettings const& settings, float* masks) {
    rangeMasks(pixels, count, settings, masks);
}

void addMaskedBlocks(Pixel const* in, std::size_t n, RenderSettings const& settings, Pixel* sums, Pixel* plains,
                     float* masks) {
    addMasked(in, n, settings, sums, plains, masks);
}

void addMaskedBlocks(ArgbPixel const* in, std::size_t n, RenderSettings const& settings, Pixel* sums,
                     Pixel* plains, float* masks) {
    addMasked(in, n, settings, sums, plains, masks);
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
        // Pixels [s0, s0 + n) of row y at `in` (Pixel or ArgbPixel), masked into `out`
        // and noted in `lit`; s0 is a multiple of the note's runs.
        auto mask = [&](int y, auto const* in, std::size_t s0, std::size_t n, Pixel* out) {
            std::size_t done = 0;
#if RD_HAVE_AVX2_VARIANT
            if (vec::units() >= vec::Units::Avx2)
                done = maskedEights(in, n, settings, out, lit != nullptr ? lit->row(y) + s0 / LitGroups::kGroup : nullptr);
#endif
            luminanceRangeMasks(in + done, n - done, settings, masks.data());
            for (std::size_t x = done; x < n; ++x)
                vec::store(out + x, vec::load(in + x) * vec::splat(masks[x - done]));
            if (lit != nullptr && done < n)
                lit->note(y, static_cast<int>(s0 + done), out + done, static_cast<int>(n - done));
        };
        for (int y = y0; y < y1; ++y) {
            Pixel* out = dst.pixels.data() + static_cast<std::size_t>(y) * w;
            if (ArgbPixel const* in = src.argb(y, 0)) {  // float ARGB rows, read in place
                mask(y, in, 0, w, out);
                continue;
            }
            for (std::size_t s0 = 0; s0 < w; s0 += span)
                mask(y, src.span(y, static_cast<int>(s0), static_cast<int>(std::min(span, w - s0)), buffer.data()), s0,
                     std::min(span, w - s0), out + s0);
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

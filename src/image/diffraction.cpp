#include "image/diffraction.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/parallel.h"
#include "image/vector_units.h"

namespace raydrift::image {

namespace {

constexpr double kTwoPi = 6.283185307179586;

using vec::D4;

// A pixel in double precision (exact). Spelled per channel: the vector conversion of a
// loaded F4 compiles to two half conversions and a merge, this to one instruction.
RD_VECTOR_INLINE D4 widenPixel(Pixel const* p) { return D4{p->r, p->g, p->b, p->a}; }

// Rows the box runs through together.
constexpr int kBoxRows = 4;

// The box across `R` rows at once: double prefix sums of each row, and each window's
// difference times 1 / (2·HW + 1), back to float in place. Every row gets exactly its own
// sums in its own order; the rows are interleaved only so that their running sums, each a
// chain of dependent additions, overlap in time. A window is written as soon as its last
// sum is known (it only overwrites pixels already summed), so the sums live in a ring of
// `mask` + 1 entries (at least the 2·HW + 2 a window spans, or all width + 1 of them)
// that stays in the first-level cache. Entry e of row r is at ring + 4·((e & mask)·R + r).
// With `keep`, only the pixels of the kLitSegment-column segments it marks are read and
// only their windows written; over the others the sums stay as they are (the pixels
// there count as +0, and s + 0 = s).
template <int R>
RD_VECTOR_INLINE void boxRows(Pixel* first, std::size_t stride, int width, long long columns, long long halfWidth,
                              double inverse, double* ring, std::size_t mask,
                              std::uint8_t const* keep = nullptr) {
    auto entry = [&](long long e) { return ring + 4 * R * (static_cast<std::size_t>(e) & mask); };
    Pixel* rows[R];
    D4 sum[R];
#pragma GCC unroll 4
    for (int r = 0; r < R; ++r) {
        rows[r] = first + static_cast<std::size_t>(r) * stride;
        sum[r] = vec::splat(0.0);
        vec::storeDouble(entry(0) + 4 * r, sum[r]);
    }
    const D4 k = vec::splat(inverse);
    // Output x: the sums hi = min(width, x + HW + 1) and lo = max(0, x − HW).
    auto window = [&](long long x, long long hi) {
        if (keep != nullptr && !keep[x / kLitSegment]) return;
        double const* upper = entry(hi);
        double const* lower = entry(std::max<long long>(0, x - halfWidth));
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) {
            const D4 s = k * (vec::loadDouble(upper + 4 * r) - vec::loadDouble(lower + 4 * r));
            vec::store(rows[r] + x, vec::narrow(s));
        }
    };
    auto add = [&](long long e) {  // sum e = sum e − 1 + pixel e − 1
        double* to = entry(e);
        if (keep != nullptr && !keep[(e - 1) / kLitSegment]) {
#pragma GCC unroll 4
            for (int r = 0; r < R; ++r) vec::storeDouble(to + 4 * r, sum[r]);
            return;
        }
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) {
            sum[r] = sum[r] + widenPixel(rows[r] + (e - 1));
            vec::storeDouble(to + 4 * r, sum[r]);
        }
    };
    const long long w = width;
    // The last sum any wanted window reads: the row's end, or that of output columns − 1.
    const long long last = std::min(w, columns + halfWidth);
    long long e = 1;
    for (const long long lead = std::min(last, halfWidth); e <= lead; ++e) add(e);
    for (; e <= last; ++e) {
        add(e);
        window(e - halfWidth - 1, e);
    }
    if (last < w) return;
    for (long long x = std::max<long long>(0, w - halfWidth); x < w; ++x) window(x, w);
}

}  // namespace

bool keepLitSegments(Pixel* first, std::size_t stride, int count, int width, long long columns, long long halfWidth,
                     std::uint8_t* lit, int segments, std::uint8_t* keep) {
    const long long w = width;
    const long long summed = (std::min(w, columns + halfWidth) + kLitSegment - 1) / kLitSegment;
    const long long reach = (halfWidth + kLitSegment - 1) / kLitSegment;
    auto flags = [&](int r) { return lit + static_cast<std::size_t>(r) * static_cast<std::size_t>(segments); };
    // The band's written segments (in any of its rows), then those within the reach of
    // one: `last` is the latest written segment up to t + reach, read before it is
    // overwritten.
    bool any = false;
    for (long long t = 0; t < summed; ++t) {
        std::uint8_t written = 0;
        for (int r = 0; r < count; ++r) written |= flags(r)[t];
        keep[t] = written;
        any = any || written;
    }
    if (!any) return false;
    long long last = -1 - reach;
    for (long long u = 0; u < std::min(reach, summed); ++u)
        if (keep[u]) last = u;
    for (long long t = 0; t < summed; ++t) {
        if (t + reach < summed && keep[t + reach]) last = t + reach;
        keep[t] = last >= t - reach ? 1 : 0;
    }
    for (int r = 0; r < count; ++r)
        for (long long t = 0; t < summed; ++t) {
            if (keep[t] && !flags(r)[t]) {
                Pixel* row = first + static_cast<std::size_t>(r) * stride;
                std::fill(row + t * kLitSegment, row + std::min(w, (t + 1) * kLitSegment), Pixel{});
            }
            flags(r)[t] = keep[t];
        }
    return true;
}

namespace {

// A partly written band: its rows' segments, their count, and a row of working flags.
struct LitRows {
    std::uint8_t* flags = nullptr;  // null: every pixel written
    int segments = 0;
    std::uint8_t* keep = nullptr;
};

// Rows four at a time, then the rest.
RD_VECTOR_INLINE void boxBand(Pixel* first, int count, std::size_t stride, int width, long long columns,
                              long long halfWidth, double inverse, double* ring, std::size_t mask, LitRows lit) {
    // Rows whose summed segments were all written go through the interleaved box.
    const long long summedSegments =
        (std::min<long long>(width, columns + halfWidth) + kLitSegment - 1) / kLitSegment;
    auto whole = [&](int r0, int n) {
        if (lit.flags == nullptr) return true;
        for (int r = r0; r < r0 + n; ++r)
            for (long long t = 0; t < summedSegments; ++t)
                if (!lit.flags[static_cast<std::size_t>(r) * static_cast<std::size_t>(lit.segments) +
                               static_cast<std::size_t>(t)])
                    return false;
        return true;
    };
    // Rows whose segments were not all written get only the segments kept for them
    // (`keep`; null: every segment); false when none is and they stay unwritten.
    auto prepare = [&](int r0, int n, std::uint8_t const*& keep) {
        keep = nullptr;
        if (whole(r0, n)) return true;
        keep = lit.keep;
        return keepLitSegments(first + static_cast<std::size_t>(r0) * stride, stride, n, width, columns, halfWidth,
                            lit.flags + static_cast<std::size_t>(r0) * static_cast<std::size_t>(lit.segments),
                            lit.segments, lit.keep);
    };
    std::uint8_t const* keep = nullptr;
    int r = 0;
    for (; r + kBoxRows <= count; r += kBoxRows)
        if (prepare(r, kBoxRows, keep))
            boxRows<kBoxRows>(first + static_cast<std::size_t>(r) * stride, stride, width, columns, halfWidth,
                              inverse, ring, mask, keep);
    for (; r < count; ++r)
        if (prepare(r, 1, keep))
            boxRows<1>(first + static_cast<std::size_t>(r) * stride, stride, width, columns, halfWidth, inverse, ring,
                       mask, keep);
}

void boxBandBaseline(Pixel* first, int count, std::size_t stride, int width, long long columns,
                     long long halfWidth, double inverse, double* ring, std::size_t mask, LitRows lit) {
    boxBand(first, count, stride, width, columns, halfWidth, inverse, ring, mask, lit);
}
#if RD_HAVE_AVX2_VARIANT
RD_TARGET_AVX2 void boxBandAvx2(Pixel* first, int count, std::size_t stride, int width, long long columns,
                                long long halfWidth, double inverse, double* ring, std::size_t mask, LitRows lit) {
    boxBand(first, count, stride, width, columns, halfWidth, inverse, ring, mask, lit);
}
#endif

// Prefix sums of one column: the pixels A(k), k·A(k), and both again weighted by the
// row's phase cos(ωk), sin(ωk). With cos(ω(k − y)) = cos ωk·cos ωy + sin ωk·sin ωy, any
// window of the modulated, linearly weighted profile is a handful of differences.
// The sums of N columns side by side: one column per vector of four (D4), or two (D8).
template <int N>
struct LanesOf;
template <>
struct LanesOf<1> {
    typedef D4 type;
};
template <>
struct LanesOf<2> {
    typedef vec::D8 type;
};
template <int N>
using Lanes = typename LanesOf<N>::type;

template <int N>
struct Moments {
    Lanes<N> a, ka, ac, as, kac, kas;
};
template <int N>
RD_VECTOR_INLINE Moments<N> difference(Moments<N> const& x, Moments<N> const& y) {
    return {x.a - y.a, x.ka - y.ka, x.ac - y.ac, x.as - y.as, x.kac - y.kac, x.kas - y.kas};
}

// The lane moves of each width: every lane computes as its column's scalar formula, so
// both widths give the same bits.
template <int N>
RD_VECTOR_INLINE Lanes<N> splatLanes(double v) {
    if constexpr (N == 1)
        return vec::splat(v);
    else
        return vec::D8{v, v, v, v, v, v, v, v};
}
template <int N>
RD_VECTOR_INLINE Lanes<N> widenLanes(Pixel const* p) {
    if constexpr (N == 1) {
        return widenPixel(p);
    } else {
        vec::F8 v;
        std::memcpy(&v, p, sizeof v);
        return __builtin_convertvector(v, vec::D8);
    }
}
// A streak output: vec::boundedStreak of the narrowed sums, stored.
template <int N>
RD_VECTOR_INLINE void storeStreak(Pixel* out, Lanes<N> const& v) {
    if constexpr (N == 1) {
        vec::store(out, vec::boundedStreak(vec::narrow(v)));
    } else {
        vec::F8 n = __builtin_convertvector(v, vec::F8);
        const vec::F8 zero{};
        const float inf = __builtin_inff();
        const vec::F8 limit{inf, inf, inf, 1.0f, inf, inf, inf, 1.0f};
        n = n > zero ? n : zero;
        n = n > limit ? limit : n;
        std::memcpy(static_cast<void*>(out), &n, sizeof n);
    }
}

// Columns handled together: two cache lines of pixels per row read.
constexpr int kColumnBlock = 8;
static_assert(kLitSegment % kColumnBlock == 0, "an aligned block lies in one segment");
// Rows a block's reads are requested ahead: rows lie a whole canvas width apart, which
// no hardware prefetcher follows, and each would otherwise wait on memory in turn.
constexpr long long kPrefetchRows = 16;
constexpr int kPixelsPerLine = 64 / static_cast<int>(sizeof(Pixel));

struct ProfilePass {
    Pixel* pixels;
    int width, height, outRows;
    long long length, above;
    double depth, inverse;
    double const* cosT;
    double const* sinT;
    // Prefix entries a column block keeps: the output row's windows reach from `above`
    // entries before it to `lead` entries after it; entries are built just ahead of the
    // row that needs them and dropped once no window reaches back to them, so a block's
    // entries stay in the cache instead of a whole column of them crossing memory twice.
    std::size_t ringSize;
    int const* columnEnd;    // null: every column to outRows
    int const* columnStart;  // null: every column from row 0
    std::uint8_t const* lit;  // null: every pixel written; else as applyFlareProfile's
    int segments;
};

// A row of zeros for a block's unwritten rows.
constexpr Pixel kZeroRow[kColumnBlock] = {};

// Prefix entry k + 1 from entry k and row k's pixel `a`.
template <int N, class V = Lanes<N>>
RD_VECTOR_INLINE Moments<N> accumulate(Moments<N> const& e, V a, V kd, V ct, V st) {
    const V ka = kd * a;
    return {e.a + a, e.ka + ka, e.ac + ct * a, e.as + st * a, e.kac + ct * ka, e.kas + st * ka};
}

template <bool kSymmetric, int kCols, int per>
RD_VECTOR_INLINE void profileBlock(ProfilePass const& p, int x, int runCols, Moments<per>* ring, std::uint32_t* where) {
    using V = Lanes<per>;
    const int cols = kCols > 0 ? kCols : runCols;
    const std::uint32_t ringSize = static_cast<std::uint32_t>(p.ringSize);
    // Entry k is held in ring slot where[k mod ringSize]. A row with nothing written
    // leaves the entry as it was, so its entry shares the slot of the one before: only
    // rows with light take a fresh slot, the one taken longest ago. No window reaches
    // back past the last ringSize entries, and those take at most ringSize slots, so a
    // slot is taken again only once no entry still read is held there.
    auto slot = [&](long long k) {
        return ring + where[static_cast<std::uint32_t>(k) % ringSize] * static_cast<std::uint32_t>(kColumnBlock / per);
    };
    const V zero = splatLanes<per>(0.0);
    const std::size_t stride = static_cast<std::size_t>(p.width);
    const long long wh = p.height;
    const long long lead = kSymmetric ? p.above + 1 : p.length + 1;
    const V m = splatLanes<per>(p.depth);
    const V inverse = splatLanes<per>(p.inverse);
    const Moments<per> none{zero, zero, zero, zero, zero, zero};  // an empty window's sums
    // Row k of the block (zeros where it was not written: the block lies in one segment),
    // its next lines requested ahead.
    auto rowOf = [&](long long k) -> Pixel const* {
        Pixel const* row = p.pixels + static_cast<std::size_t>(k) * stride + x;
        if (p.lit != nullptr && !p.lit[static_cast<std::size_t>(k) * static_cast<std::size_t>(p.segments) +
                                       static_cast<std::size_t>(x / kLitSegment)])
            return kZeroRow;
        if (k + kPrefetchRows < wh) {
            // Rows are not line-aligned: the block's 128 bytes usually straddle three
            // lines, and the middle one must be requested too.
            Pixel const* ahead = row + kPrefetchRows * stride;
            __builtin_prefetch(ahead);
            if (cols > kPixelsPerLine) __builtin_prefetch(ahead + kPixelsPerLine);
            __builtin_prefetch(ahead + cols - 1);
        }
        return row;
    };
    // The rows the block's columns need (all of them between the first and the last any
    // column needs).
    int yStart = 0, yEnd = p.outRows;
    if (p.columnEnd != nullptr) {
        yEnd = 0;
        for (int c = 0; c < cols; ++c) yEnd = std::max(yEnd, std::min(p.columnEnd[x + c], p.outRows));
    }
    if (p.columnStart != nullptr) {
        yStart = yEnd;
        for (int c = 0; c < cols; ++c) yStart = std::min(yStart, std::max(p.columnStart[x + c], 0));
    }
    // The latest entry, in the block's own memory; entries before `keptFrom` are never
    // read by a window, only carried forward, so they are not kept in the ring. A row with
    // nothing written adds +0 to every sum, which leaves it as it is (a sum that starts at
    // +0 never becomes −0): the entry is carried over without arithmetic.
    Moments<per> latest[kColumnBlock / per];
    for (int c = 0; c < cols; c += per) latest[c / per] = Moments<per>{zero, zero, zero, zero, zero, zero};
    const long long keptFrom = std::max<long long>(0, yStart - (kSymmetric ? p.above : 0));
    std::uint32_t taken = 0;  // the next slot to take
    bool held = false;        // whether any entry is held yet
    auto hold = [&](long long e, bool fresh) {
        std::uint32_t& at = where[static_cast<std::uint32_t>(e) % ringSize];
        if (held && !fresh) {
            at = where[static_cast<std::uint32_t>(e - 1) % ringSize];
            return;
        }
        at = taken;
        taken = taken + 1 == ringSize ? 0 : taken + 1;
        held = true;
        Moments<per>* to = slot(e);
        for (int c = 0; c < cols; c += per) to[c / per] = latest[c / per];
    };
    if (keptFrom == 0) hold(0, true);
    long long built = 0;
    for (int y = yStart; y < yEnd; ++y) {
        const V ct = splatLanes<per>(p.cosT[y]);
        const V st = splatLanes<per>(p.sinT[y]);
        const long long yl = y;
        // S: the modulated sum of A over a window's sums d; K: the same carrying k.
        auto modulated = [&](Moments<per> const& d, V& S, V& K) {
            S = d.a + m * (ct * d.ac + st * d.as);
            K = d.ka + m * (ct * d.kac + st * d.kas);
        };
        Pixel* out = p.pixels + static_cast<std::size_t>(y) * stride + x;
        // Entries up to the last one row y's windows read; the rows they consume lie at
        // or below y, so writing row y back afterwards is safe.
        for (const long long need = std::min<long long>(yl + lead, wh); built < need; ++built) {
            const long long k = built;
            Pixel const* row = rowOf(k);
            const bool light = row != kZeroRow;
            if (light) {
                const V kd = splatLanes<per>(static_cast<double>(k));
                const V ctk = splatLanes<per>(p.cosT[k]);
                const V stk = splatLanes<per>(p.sinT[k]);
                for (int c = 0; c < cols; c += per)
                    latest[c / per] = accumulate(latest[c / per], widenLanes<per>(row + c), kd, ctk, stk);
            }
            if (k + 1 >= keptFrom) hold(k + 1, light);
        }
        // Sums over rows [a, b], clipped to the canvas: two prefix entries per column.
        struct Window {
            Moments<per> const* hi = nullptr;
            Moments<per> const* lo = nullptr;
        };
        auto window = [&](long long a, long long b) {
            const long long lo = std::clamp<long long>(a, 0, wh);
            const long long hi = std::clamp<long long>(b + 1, 0, wh);
            return hi <= lo ? Window{} : Window{slot(hi), slot(lo)};
        };
        auto sums = [&](Window const& w, int c) {
            return w.hi == nullptr ? none : difference(w.hi[c / per], w.lo[c / per]);
        };
        // A window whose two entries share a slot (or that is empty) sums +0 in every
        // moment, and the row's output is then +0: far·(+0) − (+0), K − before·(+0) and the
        // like, whatever the signs of the factors.
        auto dark = [](Window const& w) { return w.hi == w.lo; };
        if (!kSymmetric) {
            const Window w = window(yl, yl + p.length);
            if (dark(w)) {
                std::fill(out, out + cols, Pixel{});
                continue;
            }
            const V far = splatLanes<per>(static_cast<double>(yl + p.length + 1));
            for (int c = 0; c < cols; c += per) {
                V S, K;
                modulated(sums(w, c), S, K);
                const V t = far * S - K;
                storeStreak<per>(out + c, inverse * t);
            }
        } else {
            const Window lowerWindow = window(yl - p.above, yl);
            const Window upperWindow = window(yl + 1, yl + p.above);
            if (dark(lowerWindow) && dark(upperWindow)) {
                std::fill(out, out + cols, Pixel{});
                continue;
            }
            const V before = splatLanes<per>(static_cast<double>(yl - p.above - 1));
            const V after = splatLanes<per>(static_cast<double>(yl + p.above + 1));
            for (int c = 0; c < cols; c += per) {
                V S, K;
                modulated(sums(lowerWindow, c), S, K);
                const V lower = K - before * S;
                modulated(sums(upperWindow, c), S, K);
                const V upper = after * S - K;
                storeStreak<per>(out + c, inverse * (lower + upper));
            }
        }
    }
}

// Whole blocks with N columns per vector, on multiples of kColumnBlock so that each lies
// in one segment; a part block one column at a time (in `tail`).
template <bool kSymmetric, int N>
RD_VECTOR_INLINE void profileRange(ProfilePass const& p, int x0, int x1, Moments<N>* ring, Moments<1>* tail,
                                   std::uint32_t* where) {
    for (int x = x0; x < x1;) {
        const int end = std::min(x1, (x / kColumnBlock + 1) * kColumnBlock);
        if (end - x == kColumnBlock)
            profileBlock<kSymmetric, kColumnBlock, N>(p, x, kColumnBlock, ring, where);
        else
            profileBlock<kSymmetric, 0, 1>(p, x, end - x, tail, where);
        x = end;
    }
}

template <bool kSymmetric>
void profileColumns(ProfilePass const& p, int x0, int x1, Moments<1>* ring, Moments<2>*, std::uint32_t* where) {
    profileRange<kSymmetric, 1>(p, x0, x1, ring, ring, where);
}
#if RD_HAVE_AVX2_VARIANT
template <bool kSymmetric>
RD_TARGET_AVX2 void profileColumnsAvx2(ProfilePass const& p, int x0, int x1, Moments<1>* ring, Moments<2>*,
                                       std::uint32_t* where) {
    profileRange<kSymmetric, 1>(p, x0, x1, ring, ring, where);
}
// Two columns per vector: on AVX-512 each operation takes eight doubles.
template <bool kSymmetric>
RD_TARGET_AVX512 void profileColumnsAvx512(ProfilePass const& p, int x0, int x1, Moments<1>* tail,
                                           Moments<2>* ring, std::uint32_t* where) {
    profileRange<kSymmetric, 2>(p, x0, x1, ring, tail, where);
}
#endif

}  // namespace

FlareProfile flareProfile(int halfWidth, int length, bool symmetric, float strength) {
    FlareProfile f;
    f.halfWidth = std::max(halfWidth, 0);
    f.length = std::max(length, 1);
    f.symmetric = symmetric;
    f.above = symmetric ? static_cast<int>((static_cast<long long>(f.length) + 1) / 2) : 0;
    f.below = symmetric ? f.above : f.length;
    f.taps = f.below + f.above + 1;
    const double d = strength > 0.0f ? static_cast<double>(std::min(strength, 1.0f)) : 0.0;
    f.depth = 0.85 * std::min(d, 1.0);
    const double taps = static_cast<double>(f.taps);
    f.step = std::min(taps * 0.25, 3.0) * kTwoPi / taps;
    double n = 0.0;
    for (long long k = -f.above; k <= f.below; ++k) {
        const double w = symmetric ? static_cast<double>(f.above + 1 - std::llabs(k))
                                   : static_cast<double>(f.length + 1 - k);
        n += w * (1.0 + f.depth * std::cos(f.step * static_cast<double>(k)));
    }
    f.normaliser = n;
    return f;
}

// The ring's entries: a power of two covering a window's 2·HW + 2 sums, or all width + 1.
std::size_t flareBoxEntries(int width, long long halfWidth) {
    const std::size_t needed =
        static_cast<std::size_t>(std::min<long long>(2 * halfWidth + 2, static_cast<long long>(width) + 1));
    std::size_t entries = 1;
    while (entries < needed) entries *= 2;
    return entries;
}

FlareBox::FlareBox(int width, int halfWidth)
    : width_(std::max(width, 0)),
      halfWidth_(std::max(halfWidth, 0)),
      inverse_(1.0 / static_cast<double>(2 * halfWidth_ + 1)),
      mask_(flareBoxEntries(width_, halfWidth_) - 1),
      ring_((mask_ + 1) * 4 * kBoxRows + 4) {}

void FlareBox::blur(Pixel* first, int count, std::size_t stride, int columns, std::uint8_t* lit, int segments) {
    // Sums on 32-byte boundaries, so that none straddles two cache lines.
    double* ring = ring_.data();
    ring += (4 - reinterpret_cast<std::uintptr_t>(ring) / sizeof(double) % 4) % 4;
    const long long wanted = columns < 0 ? width_ : std::min(columns, width_);
    keep_.resize(static_cast<std::size_t>(std::max(segments, 0)));
    const LitRows rows{lit, segments, keep_.data()};
#if RD_HAVE_AVX2_VARIANT
    if (vec::units() >= vec::Units::Avx2) {
        boxBandAvx2(first, count, stride, width_, wanted, halfWidth_, inverse_, ring, mask_, rows);
        return;
    }
#endif
    boxBandBaseline(first, count, stride, width_, wanted, halfWidth_, inverse_, ring, mask_, rows);
}

void applyFlareProfile(Image& canvas, FlareProfile const& f, int rows, int const* columnEnd,
                       int const* columnStart, std::uint8_t const* lit) {
    if (canvas.empty()) return;
    const int ww = canvas.width;
    const int wh = canvas.height;
    std::vector<double> cosT(static_cast<std::size_t>(wh));
    std::vector<double> sinT(static_cast<std::size_t>(wh));
    for (int y = 0; y < wh; ++y) {
        cosT[static_cast<std::size_t>(y)] = std::cos(f.step * static_cast<double>(y));
        sinT[static_cast<std::size_t>(y)] = std::sin(f.step * static_cast<double>(y));
    }
    const long long reach = f.symmetric ? 2LL * f.above + 2 : static_cast<long long>(f.length) + 2;
    const ProfilePass pass{canvas.pixels.data(), ww, wh, std::clamp(rows, 0, wh), f.length, f.above,
                           f.depth, 1.0 / f.normaliser, cosT.data(), sinT.data(),
                           static_cast<std::size_t>(std::min<long long>(reach, wh + 1LL)), columnEnd,
                           columnEnd != nullptr ? columnStart : nullptr, lit,
                           (ww + kLitSegment - 1) / kLitSegment};
    void (*columns)(ProfilePass const&, int, int, Moments<1>*, Moments<2>*, std::uint32_t*) =
        f.symmetric ? profileColumns<true> : profileColumns<false>;
    bool pairs = false;
#if RD_HAVE_AVX2_VARIANT
    if (vec::units() >= vec::Units::Avx2) columns = f.symmetric ? profileColumnsAvx2<true> : profileColumnsAvx2<false>;
    if (vec::units() == vec::Units::Avx512) {
        columns = f.symmetric ? profileColumnsAvx512<true> : profileColumnsAvx512<false>;
        pairs = true;
    }
#endif
    parallel::ranges(ww, static_cast<unsigned long>(canvas.pixelCount()), [&](int x0, int x1) {
        std::vector<Moments<1>> ring(pass.ringSize * kColumnBlock);
        std::vector<Moments<2>> pairRing(pairs ? pass.ringSize * (kColumnBlock / 2) : 0);
        std::vector<std::uint32_t> where(pass.ringSize);
        columns(pass, x0, x1, ring.data(), pairRing.data(), where.data());
    });
}

void applyFlareStreak(Image& canvas, Image& /*scratch*/, int halfWidth, int length, bool symmetric,
                      float strength, int rows) {
    if (canvas.empty()) return;
    const FlareProfile f = flareProfile(halfWidth, length, symmetric, strength);
    const int ww = canvas.width;
    parallel::ranges(canvas.height, static_cast<unsigned long>(canvas.pixelCount()), [&](int y0, int y1) {
        FlareBox box(ww, f.halfWidth);
        box.blur(canvas.pixels.data() + static_cast<std::size_t>(y0) * ww, y1 - y0, static_cast<std::size_t>(ww));
    });
    applyFlareProfile(canvas, f, rows);
}

}  // namespace raydrift::image

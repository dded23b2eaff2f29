#include "image/streak.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "image/diffraction.h"
#include "image/parallel.h"
#include "image/sampling.h"
#include "image/streak_math.h"
#include "image/vector_units.h"
#include "settings/units.h"

namespace raydrift::image {

namespace {

// Lengths and widths beyond this many pixels cannot fit a canvas under kMaxPixels, so
// saturating there changes no picture; it keeps every derived int (r + 1, L + 1, ...)
// away from overflow.
constexpr int kMaxStreakPixels = 1 << 30;
// Largest image generateStreak allocates (64 GiB of pixels). Bigger requests fail as an
// allocation failure up front rather than as a size overflow inside the vector.
constexpr long long kMaxPixels = 1LL << 32;

// round(v) half away from zero as an int; NaN counts as 0.
int roundedPixels(float v) {
    if (!(v == v)) return 0;
    const float r = std::round(v);
    if (r >= static_cast<float>(kMaxStreakPixels)) return kMaxStreakPixels;
    if (r <= -static_cast<float>(kMaxStreakPixels)) return -kMaxStreakPixels;
    return static_cast<int>(r);
}

int imageDimension(long long n) {
    if (n < 0) return 0;
    if (n > 0x7fffffffLL) throw std::bad_alloc();
    return static_cast<int>(n);
}

void checkPixels(int w, int h) {
    if (static_cast<long long>(w) * h > kMaxPixels) throw std::bad_alloc();
}

// A selection value that is not finite would turn every running and prefix sum it
// enters into Inf or NaN for the rest of its row or column; it contributes no light.
inline float finiteOrZero(float v) { return std::isfinite(v) ? v : 0.0f; }
inline Pixel finiteOrZero(Pixel const& p) {
    return {finiteOrZero(p.r), finiteOrZero(p.g), finiteOrZero(p.b), finiteOrZero(p.a)};
}
// x − x is +0 for every finite x and NaN otherwise: one test for all four channels,
// without the per-channel classification std::isfinite compiles to.
inline bool isFinite(Pixel const& p) {
    return (p.r - p.r) + (p.g - p.g) + (p.b - p.b) + (p.a - p.a) == 0.0f;
}

// sampleBilinear with every non-finite channel of the four neighbours read as zero. Only
// taken when the plain sample came out non-finite, so finite pictures never pay for it.
Pixel sampleFinite(Image const& image, float x, float y, EdgeMode mode) {
    const float fa = std::floor(x);
    const float fb = std::floor(y);
    const int a = sampling::saturatingInt(fa);
    const int b = sampling::saturatingInt(fb);
    const float fx = x - fa;
    const float fy = y - fb;
    const Pixel p00 = finiteOrZero(sampling::fetch(image, a, b, mode));
    const Pixel p10 = finiteOrZero(sampling::fetch(image, a + 1, b, mode));
    const Pixel p01 = finiteOrZero(sampling::fetch(image, a, b + 1, mode));
    const Pixel p11 = finiteOrZero(sampling::fetch(image, a + 1, b + 1, mode));
    // Finite inputs near the float limit can still overflow in the blend.
    return finiteOrZero(lerp(lerp(p00, p10, fx), lerp(p01, p11, fx), fy));
}

// sampling::saturatingInt, inlined into the per-pixel loops.
inline int truncatedIndex(float v) {
    if (!(v > -2147483520.0f)) return -2147483520;
    if (v > 2147483520.0f) return 2147483520;
    return static_cast<int>(v);
}

// The edge mode's answer for every integer coordinate a pass can ask about along one
// axis, looked up instead of mapped per read: outside the image the rotation reads the
// edge mode for most of a long streak's canvas (the 30° rotation of a 1080p frame with
// Clamp, one thread: 195 ms through sampling::sampleBilinear, 83 ms with the tables and
// the sampler below). −1 where the mode yields nothing; coordinates outside the table
// (none, for the ranges the passes compute) are mapped.
class AxisMap {
public:
    AxisMap(double lo, double hi, int size, EdgeMode mode) : size_(size), mode_(mode) {
        const double first = std::floor(std::max(lo, -2147483520.0)) - 2.0;
        const double last = std::ceil(std::min(hi, 2147483520.0)) + 3.0;
        if (!(last >= first) || last - first > 1 << 26) return;
        first_ = static_cast<long long>(first);
        table_.resize(static_cast<std::size_t>(last - first) + 1);
        for (std::size_t k = 0; k < table_.size(); ++k) table_[k] = map(first_ + static_cast<long long>(k));
    }
    int operator()(int c) const {
        const long long k = static_cast<long long>(c) - first_;
        if (k >= 0 && k < static_cast<long long>(table_.size())) return table_[static_cast<std::size_t>(k)];
        return map(c);
    }

private:
    int map(long long c) const {
        int mapped = 0;
        return sampling::mapCoordinate(static_cast<int>(c), size_, mode_, mapped) ? mapped : -1;
    }
    int size_;
    EdgeMode mode_;
    long long first_ = 0;
    std::vector<int> table_;
};

// The resampling passes walk their output in tiles: a rotated row crosses hundreds of
// source rows, one memory page each, and a tile keeps what it reads within the caches
// and the TLB. Measured on the 30° rotation of a 1080p frame (one thread): 83 ms row by
// row, 52 ms in 32 × 32 tiles, 79 ms in 32 × 128. Every pixel is computed as in a plain
// row-by-row walk.
constexpr int kTileRows = 32;
constexpr int kTileColumns = 32;
// The parts a tile across the selection's border is classified in.
constexpr int kBorderTile = 8;

// Whether every bilinear neighbourhood a tile reads lies inside a width × height image:
// the tile's corner positions, 1 pixel inside the border. Positions are affine in the
// tile's pixel coordinates up to float rounding (far below that pixel of slack), so the
// corners bound every pixel between them. Inside, floor is truncation and no read needs
// the edge mode.
template <class Position>
bool interiorTile(int i0, int i1, int j0, int j1, int width, int height, Position&& position) {
    for (int corner = 0; corner < 4; ++corner) {
        float x = 0.0f, y = 0.0f;
        position(corner & 1 ? i1 - 1 : i0, corner & 2 ? j1 - 1 : j0, x, y);
        if (!(x >= 1.0f && x <= static_cast<float>(width) - 3.0f && y >= 1.0f &&
              y <= static_cast<float>(height) - 3.0f))
            return false;
    }
    return true;
}

// Where the selection is +0: a thresholded frame mostly is, and the bilinear sample of
// four +0 pixels is +0 at any fractions (0 + (0 − 0)·t, fused or not), so the rotation
// writes a tile that reads only +0 as zeros without sampling it. Blocks of 8 × 8 pixels
// that hold any other bit pattern (−0, NaN and Inf included) are counted in a
// summed-area table.
class BlankBlocks {
public:
    static constexpr int kBlock = 8;

    // From the image, or from what the pass that wrote it noted (`lit`, when not null).
    BlankBlocks(Image const& image, LitGroups const* lit)
        : width_(image.width),
          height_(image.height),
          columns_((image.width + kBlock - 1) / kBlock),
          rows_((image.height + kBlock - 1) / kBlock),
          lit_(static_cast<std::size_t>(columns_ + 1) * static_cast<std::size_t>(rows_ + 1), 0) {
        const std::size_t stride = static_cast<std::size_t>(columns_ + 1);
        static_assert(kBlock == LitGroups::kGroup);
        LitGroups scanned;
        if (lit == nullptr) {
            scanned.resize(width_, height_);
            parallel::ranges(height_, static_cast<unsigned long>(image.pixelCount()), [&](int y0, int y1) {
                for (int y = y0; y < y1; ++y)
                    scanned.note(y, 0, image.pixels.data() + static_cast<std::size_t>(y) * width_, width_);
            });
            lit = &scanned;
        }
        for (int b = 0; b < rows_; ++b) {
            int* out = lit_.data() + static_cast<std::size_t>(b + 1) * stride;
            for (int y = b * kBlock; y < std::min(height_, (b + 1) * kBlock); ++y)
                for (int c = 0; c < columns_; ++c) out[c + 1] |= lit->lit(y, c) ? 1 : 0;
        }
        for (int b = 1; b <= rows_; ++b) {
            int* row = lit_.data() + static_cast<std::size_t>(b) * stride;
            int const* above = row - stride;
            int run = 0;
            for (int c = 1; c <= columns_; ++c) {
                run += row[c];
                row[c] = run + above[c];
            }
        }
    }

    // Whether pixels [x0, x1] × [y0, y1] all lie in the image and are all +0.
    bool blank(double x0, double x1, double y0, double y1) const {
        if (!(x0 >= 0.0 && y0 >= 0.0 && x1 < width_ && y1 < height_ && x0 <= x1 && y0 <= y1)) return false;
        const std::size_t stride = static_cast<std::size_t>(columns_ + 1);
        const std::size_t c0 = static_cast<std::size_t>(x0) / kBlock, c1 = static_cast<std::size_t>(x1) / kBlock + 1;
        const std::size_t r0 = static_cast<std::size_t>(y0) / kBlock, r1 = static_cast<std::size_t>(y1) / kBlock + 1;
        return lit_[r1 * stride + c1] - lit_[r0 * stride + c1] - lit_[r1 * stride + c0] + lit_[r0 * stride + c0] == 0;
    }

private:
    int width_, height_, columns_, rows_;
    std::vector<int> lit_;
};

// The bilinear blend of the four pixels from `p` (top left) at fractions fx, fy: the
// lerps of sampling::sampleBilinear, four channels at once.
inline vec::F4 blendInterior(Pixel const* p, std::size_t width, float fx, float fy) {
    const vec::F4 top = vec::lerp(vec::load(p), vec::load(p + 1), fx);
    const vec::F4 bottom = vec::lerp(vec::load(p + width), vec::load(p + width + 1), fx);
    return vec::lerp(top, bottom, fy);
}

// One row of an axis-aligned rotation or crop, [i0, i1): pixel i is element
// rowIndex·rowStep + columnIndex[i]·columnStep of `from`, zero where either index is −1.
// The rotation (kFinite) reads non-finite selection values as zero.
template <bool kFinite>
void gather(Pixel* out, int i0, int i1, Pixel const* from, int rowIndex, std::size_t rowStep,
            int const* columnIndex, std::size_t columnStep) {
    if (rowIndex < 0) {
        std::fill(out + i0, out + i1, Pixel{});
        return;
    }
    Pixel const* base = from + static_cast<std::size_t>(rowIndex) * rowStep;
    for (int i = i0; i < i1; ++i) {
        const int c = columnIndex[i];
        if (c < 0) {
            out[i] = Pixel{};
            continue;
        }
        const Pixel p = base[static_cast<std::size_t>(c) * columnStep];
        out[i] = !kFinite || isFinite(p) ? p : finiteOrZero(p);
    }
}

// A bilinear resampling pass: the rotation into the streak-aligned canvas (source: the
// selection, output: the canvas) or the crop back (source: the canvas).
struct RotateJob {
    Image const* src;
    Pixel* canvas;
    int canvasWidth;
    StreakGeometry const* g;
    AxisMap const* mapX;
    AxisMap const* mapY;
    EdgeMode edge;
};

// Pixel (x, y) through the edge mode, both mappings looked up: sampling::fetch.
RD_VECTOR_INLINE vec::F4 fetchMappedVector(Image const& image, int x, int y, AxisMap const& mapX, AxisMap const& mapY) {
    const int mx = mapX(x);
    if (mx < 0) return vec::splat(0.0f);
    const int my = mapY(y);
    if (my < 0) return vec::splat(0.0f);
    return vec::load(image.pixels.data() + static_cast<std::size_t>(my) * image.width + mx);
}

// The lines of an image the next tile to the right will read, requested while this one
// runs: a tile's reads cross dozens of rows, which no hardware prefetcher follows. Only
// addresses are computed; no pixel depends on them.
struct Lookahead {
    Pixel const* pixels;
    std::size_t width;
    float aheadX, aheadY, limitX, limitY;
    Lookahead(Image const& image, float dx, float dy)
        : pixels(image.pixels.data()),
          width(static_cast<std::size_t>(image.width)),
          aheadX(dx),
          aheadY(dy),
          limitX(static_cast<float>(image.width) - 2.0f),
          limitY(static_cast<float>(image.height) - 2.0f) {}
    RD_VECTOR_INLINE void request(float x, float y) const {
        const float px = x + aheadX;
        const float py = y + aheadY;
        if (px >= 0.0f && py >= 0.0f && px < limitX && py < limitY) {
            Pixel const* ahead = pixels + static_cast<std::size_t>(py) * width + static_cast<std::size_t>(px);
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + width);
        }
    }
};

// Canvas pixels [i0, i1) × [j0, j1): sampling::sampleBilinear at each pixel's source
// position, to the bit, with the edge mode's mappings from the tables (every neighbourhood
// inside the source when `interior`); the finite-only sample where that is not finite.
template <bool kInterior>
RD_VECTOR_INLINE vec::F4 rotatedPixel(RotateJob const& job, float x, float y) {
    Image const& src = *job.src;
    const std::size_t w = static_cast<std::size_t>(src.width);
    if (kInterior) {
        // x, y ≥ 1 here: truncation is floor.
        const int a = static_cast<int>(x);
        const int b = static_cast<int>(y);
        return blendInterior(src.pixels.data() + static_cast<std::size_t>(b) * w + a, w,
                             x - static_cast<float>(a), y - static_cast<float>(b));
    }
    const float fa = std::floor(x);
    const float fb = std::floor(y);
    const int a = truncatedIndex(fa);
    const int b = truncatedIndex(fb);
    const float fx = x - fa;
    const float fy = y - fb;
    if (a >= 0 && b >= 0 && a + 1 < src.width && b + 1 < src.height)
        return blendInterior(src.pixels.data() + static_cast<std::size_t>(b) * w + a, w, fx, fy);
    AxisMap const& mx = *job.mapX;
    AxisMap const& my = *job.mapY;
    const vec::F4 top = vec::lerp(fetchMappedVector(src, a, b, mx, my), fetchMappedVector(src, a + 1, b, mx, my), fx);
    const vec::F4 bottom =
        vec::lerp(fetchMappedVector(src, a, b + 1, mx, my), fetchMappedVector(src, a + 1, b + 1, mx, my), fx);
    return vec::lerp(top, bottom, fy);
}

// The sample positions of eight neighbouring interior pixels, lane k computed with the
// scalar formula's operations in its order (so to the bit), then each pixel's blend. Only
// the unfused formulas have a lane form here; fused builds keep the pixel loop.
constexpr bool kLanePositions = !SM_CPU_FMA;
constexpr int kLanes = 8;

RD_VECTOR_INLINE vec::F8 laneColumns(int i) {
    const vec::I8 k{0, 1, 2, 3, 4, 5, 6, 7};
    return __builtin_convertvector(k + i, vec::F8);
}
RD_VECTOR_INLINE vec::F8 splat8(float v) { return vec::F8{v, v, v, v, v, v, v, v}; }

// Interior positions are at least 1 and within int range: truncation is floor.
struct LanePositions {
    vec::I8 a, b;
    vec::F8 fx, fy;
    RD_VECTOR_INLINE LanePositions(vec::F8 const& x, vec::F8 const& y)
        : a(__builtin_convertvector(x, vec::I8)),
          b(__builtin_convertvector(y, vec::I8)),
          fx(x - __builtin_convertvector(a, vec::F8)),
          fy(y - __builtin_convertvector(b, vec::F8)) {}
};

// The blends of two interior pixels at once, the first in lanes 0–3 and the second in
// lanes 4–7: the top left pixel and its right neighbour are adjacent in memory, so one
// eight-lane load holds both, and each lane runs blendInterior's lerps with its own
// pixel's fractions. Returns the pair as stored at `out`.
// (Helpers of the eight-lane code are always inlined: a call between a function built for
// AVX2 and one built without it would pass the eight-lane vectors by different rules.)
RD_VECTOR_INLINE vec::F8 load8(Pixel const* p) {
    vec::F8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
RD_VECTOR_INLINE vec::F8 lerp8(vec::F8 const& r0, vec::F8 const& r1, vec::F8 const& t) {
    const vec::F8 a = __builtin_shufflevector(r0, r1, 0, 1, 2, 3, 8, 9, 10, 11);
    const vec::F8 b = __builtin_shufflevector(r0, r1, 4, 5, 6, 7, 12, 13, 14, 15);
    return a + (b - a) * t;
}

RD_VECTOR_INLINE vec::F8 blendPair(Pixel const* p0, Pixel const* p1, std::size_t width, float fx0, float fx1,
                                   float fy0, float fy1, Pixel* out) {
    const vec::F8 tx{fx0, fx0, fx0, fx0, fx1, fx1, fx1, fx1};
    const vec::F8 ty{fy0, fy0, fy0, fy0, fy1, fy1, fy1, fy1};
    const vec::F8 top = lerp8(load8(p0), load8(p1), tx);
    const vec::F8 bottom = lerp8(load8(p0 + width), load8(p1 + width), tx);
    const vec::F8 v = top + (bottom - top) * ty;
    std::memcpy(static_cast<void*>(out), &v, sizeof v);
    return v;
}

// How a tile of the rotation reads the selection.
enum class TileKind {
    General,   // any position: the edge mode through the tables
    Interior,  // every neighbourhood inside the selection
    // Clamp, every position left of column 0 (or right of the last column): both columns
    // of each neighbourhood are that edge column, so the horizontal lerps blend a pixel
    // with itself. For finite p that is p + 0 (−0 becomes +0; 0·fx is +0), which the
    // edge line holds precomputed; the sample is the vertical lerp of two of its entries.
    // A non-finite pixel stays non-finite and goes to the row's finite-only redo as before.
    EdgeColumn,
    EdgeRow,  // the same above row 0 or below the last row: the line is that edge row
};

// One clamped edge of the selection for the EdgeColumn and EdgeRow tiles: `size` pixels,
// each the edge pixel plus zero.
struct EdgeLine {
    Pixel const* values = nullptr;
    int size = 0;
    int const* lit = nullptr;  // lit[k]: entries before k that are not +0
};

// The lerp of entries ⌊t⌋ and ⌊t⌋ + 1 of the line, both clamped to it, at t − ⌊t⌋: the
// bilinear sample of a Clamp read whose other axis collapsed.
RD_VECTOR_INLINE vec::F4 edgeSample(EdgeLine const& line, float t) {
    const float ft = std::floor(t);
    const int k = truncatedIndex(ft);
    const int k0 = std::clamp(k, 0, line.size - 1);
    const int k1 = std::clamp(k + 1, 0, line.size - 1);
    return vec::lerp(vec::load(line.values + k0), vec::load(line.values + k1), t - ft);
}

// edgeSample's indices and fraction for eight positions, lane by lane as its scalar form.
// Below 2^22 in magnitude the truncation of t, less one where it lies above t, is ⌊t⌋.
constexpr float kLaneFloorLimit = 4194304.0f;
struct LineLerp {
    vec::I8 k0, k1;
    vec::F8 f;
    RD_VECTOR_INLINE LineLerp(vec::F8 const& t, int size) {
        const vec::F8 truncated = __builtin_convertvector(__builtin_convertvector(t, vec::I8), vec::F8);
        const vec::F8 ft = truncated - (vec::F8)((vec::I8)splat8(1.0f) & (truncated > t));
        const vec::I8 k = __builtin_convertvector(ft, vec::I8);
        const vec::I8 zero{}, last = vec::I8{} + (size - 1);
        k0 = k < zero ? zero : (k > last ? last : k);
        const vec::I8 next = k + 1;
        k1 = next < zero ? zero : (next > last ? last : next);
        f = t - ft;
    }
};

// Two pixels side by side in one eight-lane vector.
RD_VECTOR_INLINE vec::F8 pair(Pixel const* p0, Pixel const* p1) {
    return __builtin_shufflevector(vec::load(p0), vec::load(p1), 0, 1, 2, 3, 4, 5, 6, 7);
}

// Canvas pixels [i0, i1) × [j0, j1): sampling::sampleBilinear at each pixel's source
// position, to the bit, with the edge mode's mappings from the tables (or the reads the
// tile's kind allows). A row whose samples are not all finite (rare: the selection itself
// holds Inf or NaN) is redone with the finite-only sample where needed; one test per row
// instead of one per pixel.
template <TileKind kKind>
RD_VECTOR_INLINE void rotateTile(RotateJob const& job, int j0, int j1, int i0, int i1, EdgeLine line) {
    StreakGeometry const& g = *job.g;
    const std::size_t sourceWidth = static_cast<std::size_t>(job.src->width);
    // As in the crop: the selection lines of the next tile to the right, requested ahead.
    const Lookahead lookahead(*job.src, g.cs * static_cast<float>(kTileColumns),
                              g.sn * static_cast<float>(kTileColumns));
    for (int j = j0; j < j1; ++j) {
        const float v = static_cast<float>(j) + g.oy;
        Pixel* out = job.canvas + static_cast<std::size_t>(j) * static_cast<std::size_t>(job.canvasWidth);
        vec::F4 check = vec::splat(0.0f);  // x − x summed: stays 0 while every sample is finite
        int i = i0;
        if constexpr (kKind == TileKind::Interior && kLanePositions) {
            Pixel const* pixels = job.src->pixels.data();
            const vec::F8 svx = splat8(g.sn * -v);
            const vec::F8 cvy = splat8(g.cs * v);
            for (; i + kLanes <= i1; i += kLanes) {
                const vec::F8 u = laneColumns(i) + splat8(g.ox);
                const vec::F8 x = (splat8(g.cs) * u + svx) + splat8(g.cx);
                const vec::F8 y = (splat8(g.sn) * u + cvy) + splat8(g.cy);
                const LanePositions at(x, y);
                for (int k = 0; k < kLanes; k += kLanes / 2) lookahead.request(x[k], y[k]);
                for (int k = 0; k < kLanes; k += 2) {
                    const vec::F8 p = blendPair(
                        pixels + static_cast<std::size_t>(at.b[k]) * sourceWidth + static_cast<std::size_t>(at.a[k]),
                        pixels + static_cast<std::size_t>(at.b[k + 1]) * sourceWidth +
                            static_cast<std::size_t>(at.a[k + 1]),
                        sourceWidth, at.fx[k], at.fx[k + 1], at.fy[k], at.fy[k + 1], out + i + k);
                    const vec::F8 d = p - p;
                    check += __builtin_shufflevector(d, d, 0, 1, 2, 3) + __builtin_shufflevector(d, d, 4, 5, 6, 7);
                }
            }
        }
        if constexpr ((kKind == TileKind::EdgeColumn || kKind == TileKind::EdgeRow) && kLanePositions) {
            const vec::F8 across = kKind == TileKind::EdgeColumn ? splat8(g.cs * v) : splat8(g.sn * -v);
            const vec::F8 along = splat8(kKind == TileKind::EdgeColumn ? g.sn : g.cs);
            const vec::F8 centre = splat8(kKind == TileKind::EdgeColumn ? g.cy : g.cx);
            for (; i + kLanes <= i1; i += kLanes) {
                const vec::F8 t = (along * (laneColumns(i) + splat8(g.ox)) + across) + centre;
                const vec::I8 inRange = (t > splat8(-kLaneFloorLimit)) & (t < splat8(kLaneFloorLimit));
                const vec::I8 half = inRange & __builtin_shufflevector(inRange, inRange, 4, 5, 6, 7, 0, 1, 2, 3);
                if (!(half[0] & half[1] & half[2] & half[3])) break;  // NaN or far: the pixel loop takes the rest
                const LineLerp at(t, line.size);
                for (int k = 0; k < kLanes; k += 2) {
                    const vec::F8 a = pair(line.values + at.k0[k], line.values + at.k0[k + 1]);
                    const vec::F8 b = pair(line.values + at.k1[k], line.values + at.k1[k + 1]);
                    const vec::F8 f{at.f[k], at.f[k], at.f[k], at.f[k], at.f[k + 1], at.f[k + 1], at.f[k + 1], at.f[k + 1]};
                    const vec::F8 p = a + (b - a) * f;
                    std::memcpy(static_cast<void*>(out + i + k), &p, sizeof p);
                    const vec::F8 d = p - p;
                    check += __builtin_shufflevector(d, d, 0, 1, 2, 3) + __builtin_shufflevector(d, d, 4, 5, 6, 7);
                }
            }
        }
        for (; i < i1; ++i) {
            const float u = static_cast<float>(i) + g.ox;
            vec::F4 p;
            if constexpr (kKind == TileKind::EdgeColumn)
                p = edgeSample(line, rdCanvasToImageY(g.cs, g.sn, u, v, g.cy));
            else if constexpr (kKind == TileKind::EdgeRow)
                p = edgeSample(line, rdCanvasToImageX(g.cs, g.sn, u, v, g.cx));
            else {
                const float x = rdCanvasToImageX(g.cs, g.sn, u, v, g.cx);
                const float y = rdCanvasToImageY(g.cs, g.sn, u, v, g.cy);
                if constexpr (kKind == TileKind::Interior) lookahead.request(x, y);
                p = rotatedPixel<kKind == TileKind::Interior>(job, x, y);
            }
            check += p - p;
            vec::store(out + i, p);
        }
        if (vec::finite(check)) continue;
        for (i = i0; i < i1; ++i) {
            if (vec::finite(vec::load(out + i))) continue;
            const float u = static_cast<float>(i) + g.ox;
            const float x = rdCanvasToImageX(g.cs, g.sn, u, v, g.cx);
            const float y = rdCanvasToImageY(g.cs, g.sn, u, v, g.cy);
            out[i] = sampleFinite(*job.src, x, y, job.edge);
        }
    }
}

RD_VECTOR_INLINE void rotateKind(RotateJob const& job, int j0, int j1, int i0, int i1, TileKind kind,
                                 EdgeLine line) {
    switch (kind) {
    case TileKind::Interior:
        rotateTile<TileKind::Interior>(job, j0, j1, i0, i1, line);
        return;
    case TileKind::EdgeColumn:
        rotateTile<TileKind::EdgeColumn>(job, j0, j1, i0, i1, line);
        return;
    case TileKind::EdgeRow:
        rotateTile<TileKind::EdgeRow>(job, j0, j1, i0, i1, line);
        return;
    case TileKind::General:
        break;
    }
    rotateTile<TileKind::General>(job, j0, j1, i0, i1, line);
}

void rotateRows(RotateJob const& job, int j0, int j1, int i0, int i1, TileKind kind, EdgeLine line) {
    rotateKind(job, j0, j1, i0, i1, kind, line);
}
#if RD_HAVE_AVX2_VARIANT
RD_TARGET_AVX2 void rotateRowsAvx2(RotateJob const& job, int j0, int j1, int i0, int i1, TileKind kind,
                                   EdgeLine line) {
    rotateKind(job, j0, j1, i0, i1, kind, line);
}
#endif

// The crop back: output pixel (i, j) is the bilinear sample of the canvas at its
// position, as the rotation samples the selection.
struct CropJob {
    RotateJob sampler;
    int margin;
    std::size_t stride;  // between output rows
};

// Output rows [j0, j1) × columns [i0, i1), row j at first + (j − j0)·stride.
template <bool kInterior>
RD_VECTOR_INLINE void cropTile(CropJob const& job, int j0, int j1, int i0, int i1, Pixel* first) {
    StreakGeometry const& g = *job.sampler.g;
    Image const& canvas = *job.sampler.src;
    const std::size_t canvasWidth = static_cast<std::size_t>(canvas.width);
    const Lookahead lookahead(canvas, g.cs * static_cast<float>(kTileColumns),
                              -g.sn * static_cast<float>(kTileColumns));
    for (int j = j0; j < j1; ++j) {
        Pixel* row = first + static_cast<std::size_t>(j - j0) * job.stride;
        const float dy = static_cast<float>(j - job.margin) - g.cy;
        int i = i0;
        if constexpr (kInterior && kLanePositions) {
            Pixel const* pixels = canvas.pixels.data();
            const vec::F8 sdy = splat8(g.sn * dy);
            const vec::F8 cdy = splat8(g.cs * dy);
            for (; i + kLanes <= i1; i += kLanes) {
                const vec::F8 dx = laneColumns(i - job.margin) - splat8(g.cx);
                const vec::F8 x = (splat8(g.cs) * dx + sdy) - splat8(g.ox);
                const vec::F8 y = (splat8(-g.sn) * dx + cdy) - splat8(g.oy);
                const LanePositions at(x, y);
                for (int k = 0; k < kLanes; k += kLanes / 2) lookahead.request(x[k], y[k]);
                for (int k = 0; k < kLanes; k += 2)
                    blendPair(pixels + static_cast<std::size_t>(at.b[k]) * canvasWidth + static_cast<std::size_t>(at.a[k]),
                              pixels + static_cast<std::size_t>(at.b[k + 1]) * canvasWidth +
                                  static_cast<std::size_t>(at.a[k + 1]),
                              canvasWidth, at.fx[k], at.fx[k + 1], at.fy[k], at.fy[k + 1], row + i + k);
            }
        }
        for (; i < i1; ++i) {
            const float dx = static_cast<float>(i - job.margin) - g.cx;
            const float x = rdImageToCanvasX(g.cs, g.sn, dx, dy, g.ox);
            const float y = rdImageToCanvasY(g.cs, g.sn, dx, dy, g.oy);
            if (kInterior) lookahead.request(x, y);
            vec::store(row + i, rotatedPixel<kInterior>(job.sampler, x, y));
        }
    }
}

void cropRows(CropJob const& job, int j0, int j1, int i0, int i1, bool interior, Pixel* first) {
    if (interior)
        cropTile<true>(job, j0, j1, i0, i1, first);
    else
        cropTile<false>(job, j0, j1, i0, i1, first);
}
#if RD_HAVE_AVX2_VARIANT
RD_TARGET_AVX2 void cropRowsAvx2(CropJob const& job, int j0, int j1, int i0, int i1, bool interior, Pixel* first) {
    if (interior)
        cropTile<true>(job, j0, j1, i0, i1, first);
    else
        cropTile<false>(job, j0, j1, i0, i1, first);
}
#endif

}  // namespace

void streakAxes(RenderSettings const& settings, float& sn, float& cs) {
    const float direction = std::isfinite(settings.direction) ? settings.direction : 0.0f;
    const float angle = std::remainder(direction, 360.0f) * kRadiansPerDegree;
    sn = std::sin(angle);
    cs = std::cos(angle);
    if (std::fabs(sn) < 1e-6f) sn = 0.0f;
    if (std::fabs(cs) < 1e-6f) cs = 0.0f;
}

bool obliqueStreak(RenderSettings const& settings) {
    float sn = 0.0f, cs = 0.0f;
    streakAxes(settings, sn, cs);
    return sn != 0.0f && cs != 0.0f;
}

StreakGeometry streakGeometry(int width, int height, RenderSettings const& settings, int margin) {
    StreakGeometry g;
    const int w = std::max(width, 0);
    const int h = std::max(height, 0);
    margin = std::max(margin, 0);

    g.scale = settings.scale > 0.0f
                  ? settings.scale
                  : static_cast<float>(std::sqrt(static_cast<double>(std::max(w, 1)) *
                                                 static_cast<double>(std::max(h, 1)) /
                                                 static_cast<double>(kReferenceFramePixels)));
    const float length = std::isfinite(settings.length) ? settings.length : 0.0f;
    const float streakWidth = std::isfinite(settings.width) ? settings.width : 0.0f;
    g.length = roundedPixels(g.scale * length);
    g.halfWidth = roundedPixels(g.scale * (streakWidth * 0.5f));

    if (g.length >= 1) {
        const float d = settings.diffraction / 500.0f;
        g.strength = d > 0.0f ? std::min(d, 1.0f) : 0.0f;  // NaN → 0
    }

    streakAxes(settings, g.sn, g.cs);
    g.axisAligned = g.sn == 0.0f || g.cs == 0.0f;

    g.cx = static_cast<float>(w - 1) * 0.5f;
    g.cy = static_cast<float>(h - 1) * 0.5f;
    const float acs = std::fabs(g.cs);
    const float asn = std::fabs(g.sn);
    g.ex = rdRotatedExtent(acs, asn, g.cx, g.cy);
    g.ey = rdRotatedExtent(asn, acs, g.cx, g.cy);

    const long long m2 =
        margin < 1 ? 0 : static_cast<long long>(std::ceil((acs + asn) * static_cast<float>(margin))) + 2;
    const long long L = g.length;
    const long long half = (std::max(L, 0LL) + 1) >> 1;
    const long long padX = std::max(g.halfWidth, 0) + m2 + 2;
    const long long padTop = (settings.symmetric && L > 0 ? half : 0) + 2 + m2;
    const long long below = (settings.symmetric ? (L > 0 ? half : 0) : std::max(L, 0LL)) + m2;
    g.extraMargin = imageDimension(m2);
    g.half = static_cast<int>(half);
    g.padX = imageDimension(padX);
    g.padTop = imageDimension(padTop);
    g.below = imageDimension(below);
    g.ox = -g.ex - static_cast<float>(padX);
    g.oy = -g.ey - static_cast<float>(padTop);
    g.canvasWidth = imageDimension(static_cast<long long>(std::ceil(2.0f * g.ex)) + 2 * padX + 1);
    g.canvasHeight =
        imageDimension(static_cast<long long>(std::ceil(2.0f * g.ey)) + below + padTop + 3);
    g.reach = settings.symmetric ? g.half : g.length;
    g.outputWidth = imageDimension(static_cast<long long>(w) + 2LL * margin);
    g.outputHeight = imageDimension(static_cast<long long>(h) + 2LL * margin);
    checkPixels(g.canvasWidth, g.canvasHeight);
    checkPixels(g.outputWidth, g.outputHeight);
    return g;
}

float detailsFactor(int column, float ox, float scale, float details) {
    if (!(details > 0.0f)) return 1.0f;
    const float c = (ox + static_cast<float>(column)) / std::max(scale, 0.001f);
    const double wide = c;
    const double cell = std::floor(wide);
    // Noise cells of a canvas that fits in memory are far inside this range.
    const std::int64_t base =
        static_cast<std::int64_t>(std::clamp(cell, -4.0e18, 4.0e18));
    const float t = rdSmoothUnit(static_cast<float>(wide - cell));
    constexpr std::uint64_t kSeed = 0x6a09e667f3bcc909ull;
    const float n0 = jitterNoise(base, kSeed);
    const float n1 = jitterNoise(base + 1, kSeed);
    return rdDetailsFactor(n0 + (n1 - n0) * t, details);
}

namespace {

// The box of boxBlurHorizontal, a few rows at a time, with their working rows. The rows
// are read completely into their prefixes before any is written, and only those rows are
// read, so rows may be blurred in place (the rotation blurs each band of canvas rows it
// has just written, while they are still in the cache).
class BoxRows {
public:
    // Rows blurred together: each row's running sum is one chain of dependent additions,
    // so a single row waits on the adder's latency at every pixel; the chains of several
    // rows side by side overlap. Every row still sums its own pixels left to right.
    static constexpr int kRows = 4;

    BoxRows(int width, int radius)
        : w_(width),
          R_(width < 1 ? 1 : std::min<long long>(radius, 2LL * width)),
          window_(2 * R_ + 1),
          inverse_(1.0f / static_cast<float>(window_)),
          stride_(static_cast<std::size_t>(w_ + window_)),
          prefix_(stride_ * kRows),
          edges_(static_cast<std::size_t>(2 * R_) * kRows) {}

    // Row y of src into out (which may be that row).
    void blur(Image const& src, int y, EdgeMode edge, Pixel* out) { blurRows(src, y, edge, &out, 1, w_, nullptr); }

    // Rows [y0, y1) of src in place, kRows at a time. With `columns` below the width only
    // outputs [0, columns) are wanted: the prefixes stop where their windows do, and the
    // pixels from columns + R on are neither read nor written. With `lit` (Transparent
    // edges), row y was written only in the segments lit[(y − y0)·segments + t] marks: only
    // those keepLitSegments keeps are read and written. A sum that stops being finite
    // would make the windows over +0 NaN, so such rows are then walked whole.
    void blurInPlace(Image& image, int y0, int y1, EdgeMode edge, int columns, std::uint8_t* lit = nullptr,
                     int segments = 0) {
        keep_.resize(static_cast<std::size_t>(std::max(segments, 0)));
        for (int y = y0; y < y1; y += kRows) {
            const int n = std::min(kRows, y1 - y);
            Pixel* outs[kRows];
            for (int k = 0; k < n; ++k) outs[k] = image.pixels.data() + static_cast<std::size_t>(y + k) * w_;
            if (lit == nullptr) {
                blurRows(image, y, edge, outs, n, columns, nullptr);
                continue;
            }
            std::uint8_t* flags = lit + static_cast<std::size_t>(y - y0) * static_cast<std::size_t>(segments);
            if (!keepLitSegments(outs[0], static_cast<std::size_t>(w_), n, w_, columns, R_, flags, segments,
                                 keep_.data()))
                continue;
            if (blurRows(image, y, edge, outs, n, columns, keep_.data())) continue;
            for (int k = 0; k < n; ++k)
                for (int t = 0; t < segments; ++t) {
                    std::uint8_t& written = flags[static_cast<std::size_t>(k) * static_cast<std::size_t>(segments) +
                                                  static_cast<std::size_t>(t)];
                    if (!written)
                        std::fill(outs[k] + t * kSegment, outs[k] + std::min(w_, (t + 1) * kSegment), Pixel{});
                    written = 1;
                }
            blurRows(image, y, edge, outs, n, columns, nullptr);
        }
    }

private:
    static constexpr int kSegment = kTileColumns;

    // Rows y0 … y0 + n − 1 (n ≤ kRows) into outs[0 … n − 1]. A row is read completely
    // into its prefix before any row is written, so outs may be the rows themselves.
    // With `keep`, only its segments are read and written, the sums held over the others;
    // false (and nothing written) when a sum held over one is not finite.
    bool blurRows(Image const& src, int y0, EdgeMode edge, Pixel* const* outs, int n, int columns,
                  std::uint8_t const* keep) {
        // The R columns left of the row through the edge mode, the row itself, the R
        // columns right of it: the additions of one left-to-right walk, without a
        // bounds test per pixel inside the row. The out-of-row columns are fetched
        // into `edges` first: with the fetch calls inside the loop the compiler kept
        // the running sum in memory, and a 1080p canvas with radius 20 took 19 ms
        // instead of 10 (one thread).
        const std::size_t R0 = static_cast<std::size_t>(R_);
        for (int k = 0; k < n; ++k)
            for (std::size_t e = 0; e < 2 * R0; ++e) {
                const long long x = e < R0 ? static_cast<long long>(e) - R_ : w_ + static_cast<long long>(e - R0);
                edges_[static_cast<std::size_t>(k) * 2 * R0 + e] =
                    sampling::fetch(src, static_cast<int>(std::clamp<long long>(x, -0x7fffffffLL, 0x7fffffffLL)),
                                    y0 + k, edge);
            }
        // Pixels summed: the whole row, or up to the last that output columns − 1 reads.
        const int summed = columns >= w_ - R_ ? w_ : std::max(columns, 0) + static_cast<int>(R_);
        const int outputs = summed == w_ ? w_ : std::max(columns, 0);
        bool finite = true;
        if (n == kRows) {
            finite = prefixes<kRows>(src, y0, summed, keep);
        } else {
            for (int k = 0; k < n; ++k) finite = prefixes<1>(src, y0 + k, summed, keep, k) && finite;
        }
        if (!finite) return false;
        const vec::F4 inverse = vec::splat(inverse_);
        for (int k = 0; k < n; ++k) {
            Pixel const* lo = prefix_.data() + static_cast<std::size_t>(k) * stride_;
            Pixel const* hi = lo + window_;
            Pixel* out = outs[k];
            for (int x0 = 0; x0 < outputs; x0 += kSegment) {
                if (keep != nullptr && !keep[x0 / kSegment]) continue;
                for (int x = x0; x < std::min(outputs, x0 + kSegment); ++x)
                    vec::store(out + x, (vec::load(hi + x) - vec::load(lo + x)) * inverse);
            }
        }
        return true;
    }

    // The prefix rows of source rows y0 … y0 + K − 1 into prefix slots first … first + K − 1,
    // over the row's first `summed` pixels (and the R edge columns after it when that is
    // the whole row); with `keep`, the sums held over the segments it leaves out. False
    // when a sum held over one is not finite.
    template <int K>
    RD_VECTOR_INLINE bool prefixes(Image const& src, int y0, int summed, std::uint8_t const* keep, int first = 0) {
        const std::size_t R0 = static_cast<std::size_t>(R_);
        Pixel const* rows[K];
        Pixel const* edges[K];
        Pixel* entry[K];
        vec::F4 sum[K];
        for (int k = 0; k < K; ++k) {
            rows[k] = src.pixels.data() + static_cast<std::size_t>(y0 + k) * w_;
            edges[k] = edges_.data() + static_cast<std::size_t>(first + k) * 2 * R0;
            entry[k] = prefix_.data() + static_cast<std::size_t>(first + k) * stride_;
            sum[k] = vec::splat(0.0f);
            vec::store(entry[k], sum[k]);
        }
        for (std::size_t e = 0; e < R0; ++e)
            for (int k = 0; k < K; ++k) vec::store(++entry[k], sum[k] = sum[k] + vec::load(edges[k] + e));
        for (int x0 = 0; x0 < summed; x0 += kSegment) {
            const int x1 = std::min(summed, x0 + kSegment);
            if (keep != nullptr && !keep[x0 / kSegment]) {
                for (int k = 0; k < K; ++k) {
                    if (!vec::finite(sum[k])) return false;
                    for (int x = x0; x < x1; ++x) vec::store(++entry[k], sum[k]);
                }
                continue;
            }
            for (int x = x0; x < x1; ++x)
                for (int k = 0; k < K; ++k) vec::store(++entry[k], sum[k] = sum[k] + vec::load(rows[k] + x));
        }
        if (summed < w_) return true;
        for (std::size_t e = R0; e < 2 * R0; ++e)
            for (int k = 0; k < K; ++k) vec::store(++entry[k], sum[k] = sum[k] + vec::load(edges[k] + e));
        return true;
    }

    int w_;
    long long R_, window_;
    float inverse_;
    std::size_t stride_;
    std::vector<Pixel> prefix_, edges_;
    std::vector<std::uint8_t> keep_;
};

}  // namespace

void boxBlurHorizontal(Image const& src, Image& dst, int radius, EdgeMode edge) {
    if (&src != &dst) dst.resize(src.width, src.height);
    if (radius < 1) {
        if (&src != &dst) dst.pixels = src.pixels;
        return;
    }
    parallel::ranges(src.height, static_cast<unsigned long>(src.pixelCount()), [&](int y0, int y1) {
        BoxRows box(src.width, radius);
        for (int y = y0; y < y1; ++y) box.blur(src, y, edge, dst.pixels.data() + static_cast<std::size_t>(y) * src.width);
    });
}

void verticalStreak(Image const& src, Image& dst, int length, bool symmetric) {
    verticalStreak(src, dst, length, symmetric, src.height);
}

namespace {

// One vertical pass over a block of columns. Every column carries its running sums as
// one vector of four doubles (r, g, b, a) and goes through exactly the scalar recurrence.
// Each source row is copied into a ring of the block's rows as it is first read, and read
// back from there when the recurrence drops it, so the output may overwrite the source:
// the pass runs in place, and the canvas needs no second frame of fresh memory.
struct VerticalPass {
    Pixel const* src;
    Pixel* dst;
    Pixel const* zeros;  // a row of zeros for rows outside the image
    int width, height, outRows;
    int const* columnRows;  // when set: rows [0, columnRows[x]) of column x are read later
    int const* columnStart;  // when set: no row above columnStart[x] of column x is read later
    long long r;
    double inverse, peak;
    std::size_t ringRows;  // rows between a row's first read and its last, plus one
    // When set: segment t (kTileColumns columns) of row y was written only where
    // lit[y·segments + t] is set; the others read as +0.
    std::uint8_t const* lit;
    int segments;

    Pixel const* row(long long y) const {
        if (y < 0 || y >= height) return zeros;
        return src + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    }
};

// Columns per block: the ring of a block (1 KiB a row; 200 KiB for the 1080p default
// Length) stays in the second-level cache.
constexpr int kVerticalColumns = 64;
// How far ahead of its first read a row's lines are requested.
constexpr long long kRowsAhead = 6;

template <bool kSymmetric>
RD_VECTOR_INLINE void verticalBlock(VerticalPass const& p, int x0, int n, Pixel* ring, std::uint8_t* blank) {
    using vec::D4;
    D4 weighted[kVerticalColumns], left[kVerticalColumns], right[kVerticalColumns];
    const D4 zero = vec::splat(0.0);
    for (int c = 0; c < n; ++c) weighted[c] = left[c] = right[c] = zero;
    // Whether any of the block's columns of row y (in the image) was written.
    auto written = [&](long long y) {
        if (p.lit == nullptr) return true;
        std::uint8_t const* lit = p.lit + static_cast<std::size_t>(y) * static_cast<std::size_t>(p.segments);
        for (int t = x0 / kTileColumns; t <= (x0 + n - 1) / kTileColumns; ++t)
            if (lit[t]) return true;
        return false;
    };
    // Row y of the source, first read: copied into the ring (zeros for its unwritten
    // segments).
    auto firstRead = [&](long long y) -> Pixel const* {
        Pixel const* from = p.row(y) + x0;
        if (y < 0 || y >= p.height) return from;
        Pixel* kept = ring + (static_cast<std::size_t>(y) % p.ringRows) * kVerticalColumns;
        if (p.lit == nullptr) {
            std::copy(from, from + n, kept);
            return kept;
        }
        // A row with nothing written is read as the row of zeros, now and when read again.
        const bool any = written(y);
        blank[static_cast<std::size_t>(y) % p.ringRows] = any ? 0 : 1;
        if (!any) return p.zeros + x0;
        std::uint8_t const* lit = p.lit + static_cast<std::size_t>(y) * static_cast<std::size_t>(p.segments);
        for (int c = 0; c < n;) {
            const int t = (x0 + c) / kTileColumns;
            const int end = std::min(n, (t + 1) * kTileColumns - x0);
            if (lit[t])
                std::copy(from + c, from + end, kept + c);
            else
                std::fill(kept + c, kept + end, Pixel{});
            c = end;
        }
        return kept;
    };
    // The lines of row y, requested ahead of its first read: the block walks down rows a
    // canvas row apart, a new page each, which no hardware prefetcher follows.
    // (Always inlined: a helper holding only prefetches counts as free of effects, and a
    // call to it would be dropped.)
    auto requestRow = [&](long long y) __attribute__((always_inline)) {
        if (y < 0 || y >= p.height) return;
        if (!written(y)) return;
        char const* from = reinterpret_cast<char const*>(p.row(y) + x0);
        const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(Pixel);
        for (std::size_t b = 0; b < bytes; b += 64) __builtin_prefetch(from + b);
    };
    // Row y again, from the ring.
    auto readAgain = [&](long long y) -> Pixel const* {
        if (y < 0 || y >= p.height || blank[static_cast<std::size_t>(y) % p.ringRows]) return p.zeros + x0;
        return ring + (static_cast<std::size_t>(y) % p.ringRows) * kVerticalColumns;
    };
    const long long initRows = std::min<long long>(p.r + (kSymmetric ? 1 : 0), p.height - 1LL);
    for (long long k = 0; k <= initRows; ++k) {
        requestRow(k + kRowsAhead);
        const D4 weight = vec::splat(static_cast<double>(p.r + 1 - k));
        Pixel const* row = firstRead(k);
        for (int c = 0; c < n; ++c) {
            const D4 v = vec::widen(vec::load(row + c));
            if (k <= p.r) weighted[c] = weighted[c] + weight * v;
            if (kSymmetric && k != 0)
                right[c] = right[c] + v;
            else
                left[c] = left[c] + v;
        }
    }
    const D4 inverse = vec::splat(p.inverse);
    const D4 peak = vec::splat(p.peak);
    // Output rows the block's columns need (all of them above the last row any needs).
    int outRows = p.outRows;
    if (p.columnRows != nullptr) {
        outRows = 0;
        for (int c = 0; c < n; ++c) outRows = std::max(outRows, std::min(p.columnRows[x0 + c], p.outRows));
    }
    // The first output row they need: the rows above are summed but not stored.
    int firstOut = 0;
    if (p.columnStart != nullptr) {
        firstOut = outRows;
        for (int c = 0; c < n; ++c) firstOut = std::min(firstOut, p.columnStart[x0 + c]);
    }
    for (int y = 0; y < outRows; ++y) {
        Pixel* out = p.dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(p.width) + x0;
        if (y >= firstOut)
            for (int c = 0; c < n; ++c) vec::store(out + c, vec::boundedStreak(vec::narrow(weighted[c] * inverse)));
        if (y + 1 == outRows) break;
        if (kSymmetric) {
            // Rows past the initial ones are first read as incoming; mid is one of them.
            requestRow(y + p.r + 2 + kRowsAhead);
            Pixel const* incomingRow = y + p.r + 2 > initRows ? firstRead(y + p.r + 2) : readAgain(y + p.r + 2);
            Pixel const* midRow = readAgain(y + 1LL);
            Pixel const* oldRow = readAgain(y - p.r);
            for (int c = 0; c < n; ++c) {
                const D4 incoming = vec::widen(vec::load(incomingRow + c));
                const D4 mid = vec::widen(vec::load(midRow + c));
                const D4 old = vec::widen(vec::load(oldRow + c));
                weighted[c] = weighted[c] + (right[c] - left[c]);
                left[c] = left[c] + (mid - old);
                right[c] = right[c] + (incoming - mid);
            }
        } else {
            Pixel const* nowRow = readAgain(y);
            requestRow(y + p.r + 1 + kRowsAhead);
            Pixel const* incomingRow = y + p.r + 1 > initRows ? firstRead(y + p.r + 1) : readAgain(y + p.r + 1);
            for (int c = 0; c < n; ++c) {
                const D4 now = vec::widen(vec::load(nowRow + c));
                const D4 incoming = vec::widen(vec::load(incomingRow + c));
                left[c] = (left[c] - now) + incoming;
                weighted[c] = (weighted[c] - now * peak) + left[c];
            }
        }
    }
}

template <bool kSymmetric>
void verticalColumns(VerticalPass const& p, int x0, int x1, Pixel* ring, std::uint8_t* blank) {
    for (int x = x0; x < x1; x += kVerticalColumns)
        verticalBlock<kSymmetric>(p, x, std::min(kVerticalColumns, x1 - x), ring, blank);
}

#if RD_HAVE_AVX2_VARIANT
template <bool kSymmetric>
RD_TARGET_AVX2 void verticalColumnsAvx2(VerticalPass const& p, int x0, int x1, Pixel* ring, std::uint8_t* blank) {
    for (int x = x0; x < x1; x += kVerticalColumns)
        verticalBlock<kSymmetric>(p, x, std::min(kVerticalColumns, x1 - x), ring, blank);
}
#endif

}  // namespace

namespace {

void verticalPass(Image const& src, Image& dst, int length, bool symmetric, int rows, int const* columnRows,
                  int const* columnStart = nullptr, std::uint8_t const* lit = nullptr) {
    if (&src != &dst) dst.resize(src.width, src.height);
    const long long len = std::max(length, 0);
    const long long r = symmetric ? (len + 1) / 2 : len;
    const double normaliser = symmetric ? static_cast<double>(r + 1) * static_cast<double>(r + 1)
                                        : static_cast<double>(r + 2) * (static_cast<double>(r + 1) * 0.5);
    // Rows outside the image read as this row of zeros, so the loops carry no bounds tests.
    const std::vector<Pixel> zeros(static_cast<std::size_t>(src.width));
    // A row is last read as `now` r + 1 rows after it came in (symmetric: as `old`, 2r + 2).
    const long long span = symmetric ? 2 * r + 3 : r + 2;
    const VerticalPass pass{src.pixels.data(), dst.pixels.data(), zeros.data(), src.width, src.height,
                            std::clamp(rows, 0, src.height), columnRows, columnStart, r, 1.0 / normaliser, static_cast<double>(r + 1),
                            static_cast<std::size_t>(std::clamp<long long>(span, 1, std::max(src.height, 1))),
                            lit, (src.width + kTileColumns - 1) / kTileColumns};
    void (*columns)(VerticalPass const&, int, int, Pixel*, std::uint8_t*) =
        symmetric ? verticalColumns<true> : verticalColumns<false>;
#if RD_HAVE_AVX2_VARIANT
    if (vec::units() >= vec::Units::Avx2)
        columns = symmetric ? verticalColumnsAvx2<true> : verticalColumnsAvx2<false>;
#endif
    parallel::ranges(src.width, static_cast<unsigned long>(src.pixelCount()), [&](int x0, int x1) {
        std::vector<Pixel> ring(pass.ringRows * kVerticalColumns);
        std::vector<std::uint8_t> blank(pass.ringRows);  // ring rows read as zeros
        columns(pass, x0, x1, ring.data(), blank.data());
    });
}

}  // namespace

void verticalStreak(Image const& src, Image& dst, int length, bool symmetric, int rows) {
    verticalPass(src, dst, length, symmetric, rows, nullptr);
}

namespace {

// Hands a finished result held in `image` to `rows`, after sizing `scratch` as the
// result (the contract of the banded generateStreak).
void deliverWhole(Image const& image, Image& scratch, StreakRows const& rows) {
    scratch.resize(image.width, image.height);
    const std::size_t width = static_cast<std::size_t>(image.width);
    parallel::ranges(image.height, static_cast<unsigned long>(image.pixelCount()), [&](int y0, int y1) {
        rows(y0, y1, image.pixels.data() + static_cast<std::size_t>(y0) * width, width);
    });
}

// generateStreak; with `rows`, the crop's bands go there instead of into the result.
void streakInto(Image& image, Image& scratch, RenderSettings const& settings, int margin, StreakRows const* rows,
                LitGroups const* selectionLit) {
    if (image.empty()) {
        if (rows != nullptr) deliverWhole(image, scratch, *rows);
        return;
    }
    margin = std::max(margin, 0);
    const int w = image.width;
    const int h = image.height;
    const StreakGeometry g = streakGeometry(w, h, settings, margin);
    const EdgeMode edge = settings.edgeMode;

    if (g.length < 1 && g.halfWidth < 1) {
        if (margin >= 1) {
            // Nothing to smear: the selection, widened by the margin through the edge mode.
            scratch.resize(g.outputWidth, g.outputHeight);
            for (int j = 0; j < g.outputHeight; ++j)
                for (int i = 0; i < g.outputWidth; ++i)
                    scratch.at(i, j) = sampling::fetch(image, i - margin, j - margin, edge);
            std::swap(image, scratch);
        }
        if (rows != nullptr) deliverWhole(image, scratch, *rows);
        return;
    }

    const int ww = g.canvasWidth;
    const int wh = g.canvasHeight;

    // The crop reads no canvas row below this one: the passes leave the rows under it
    // (those that only feed light upwards into it) unwritten, which for a long streak is
    // most of the canvas. Corners bound the affine crop position; 2 rows of slack cover
    // its rounding and the bilinear neighbour.
    int rowsRead = 0;
    {
        const int outW = g.outputWidth;
        const int outH = g.outputHeight;
        float yHi = 0.0f;
        for (int corner = 0; corner < 4; ++corner) {
            const float dx = static_cast<float>((corner & 1 ? outW - 1 : 0) - margin) - g.cx;
            const float dy = static_cast<float>((corner & 2 ? outH - 1 : 0) - margin) - g.cy;
            const float y = rdImageToCanvasY(g.cs, g.sn, dx, dy, g.oy);
            yHi = corner == 0 ? y : std::max(yHi, y);
        }
        const double end = std::isfinite(yHi) ? std::floor(static_cast<double>(yHi)) + 3.0 : wh;
        rowsRead = static_cast<int>(std::clamp(end, 0.0, static_cast<double>(wh)));
    }

    // An oblique crop reads each canvas column only down to the frame's lower edge
    // there, which for most columns lies well above rowsRead: per block of columns,
    // the pass stops at the lowest row its columns give. The most a column needs is on
    // the frame's outline (the highest canvas y over a strip of a parallelogram lies on
    // its edge); the outline's pixels are 1 apart, so a column within 2 of one, and
    // 3 rows under it, bound every read (the bilinear neighbour included). Likewise
    // the least a column needs lies on the outline, and the modulated profile, whose
    // rows are each computed on their own, writes only the rows from there on (3 rows
    // of slack above it); its sums still run from the canvas's first row. The plain
    // profile stores only those rows too.
    std::vector<int> columnRows, columnStart;
    if (!g.axisAligned) {
        columnRows.assign(static_cast<std::size_t>(ww), 0);
        columnStart.assign(static_cast<std::size_t>(ww), wh);
        const int outW = g.outputWidth;
        const int outH = g.outputHeight;
        auto mark = [&](int i, int j) {
            const float dx = static_cast<float>(i - margin) - g.cx;
            const float dy = static_cast<float>(j - margin) - g.cy;
            const float x = rdImageToCanvasX(g.cs, g.sn, dx, dy, g.ox);
            const float y = rdImageToCanvasY(g.cs, g.sn, dx, dy, g.oy);
            if (!(std::fabs(x) < 1e9f && std::fabs(y) < 1e9f)) {
                std::fill(columnRows.begin(), columnRows.end(), wh);
                std::fill(columnStart.begin(), columnStart.end(), 0);
                return;
            }
            const int c = static_cast<int>(std::floor(x));
            const int end = static_cast<int>(std::clamp(std::floor(y) + 4.0f, 0.0f, static_cast<float>(wh)));
            const int start = static_cast<int>(std::clamp(std::floor(y) - 3.0f, 0.0f, static_cast<float>(wh)));
            for (int k = std::max(c - 1, 0); k <= std::min(c + 2, ww - 1); ++k) {
                const std::size_t at = static_cast<std::size_t>(k);
                columnRows[at] = std::max(columnRows[at], end);
                columnStart[at] = std::min(columnStart[at], start);
            }
        };
        for (int i = 0; i < outW; ++i) {
            mark(i, 0);
            mark(i, outH - 1);
        }
        for (int j = 0; j < outH; ++j) {
            mark(0, j);
            mark(outW - 1, j);
        }
    }
    // Columns [0, rowColumns[j]) of canvas row j are all the profile passes read there
    // (an oblique canvas; empty: every column). A pass reads a column's rows down to its
    // block's lowest crop row plus the profile's reach; blocks of up to 64 columns start
    // anywhere, so each column takes the lowest row of the 63 columns either side. The
    // rotation and the box across leave the rest of each row unwritten: at 30° on a 1080p
    // frame, a sixth of the canvas. (The box's prefix sums run from the left edge, so
    // only the part of a row right of the last column read can be left out.)
    std::vector<int> rowColumns;
    if (!columnRows.empty()) {
        const int window = 63;
        const long long reach = static_cast<long long>(std::max(g.length, 0)) + 4;
        std::vector<int> deepest(static_cast<std::size_t>(wh) + 1, 0);  // by row count: the rightmost column + 1
        auto rowsOf = [&](int c) { return columnRows[static_cast<std::size_t>(c)]; };
        std::deque<int> best;  // the window's columns, their rows decreasing
        for (int c = 0, next = 0; c < ww; ++c) {
            for (; next < std::min(ww, c + window + 1); ++next) {
                while (!best.empty() && rowsOf(best.back()) <= rowsOf(next)) best.pop_back();
                best.push_back(next);
            }
            while (best.front() < c - window) best.pop_front();
            const long long rowsNeeded = std::clamp<long long>(rowsOf(best.front()) + reach, 0, wh);
            deepest[static_cast<std::size_t>(rowsNeeded)] = c + 1;
        }
        rowColumns.assign(static_cast<std::size_t>(wh), 0);
        int right = deepest[static_cast<std::size_t>(wh)];
        for (int j = wh - 1; j >= 0; --j) {
            rowColumns[static_cast<std::size_t>(j)] = right;
            right = std::max(right, deepest[static_cast<std::size_t>(j)]);
        }
    }

    // Which kTileColumns-column segments of each canvas row the rotation and the box wrote
    // (row j's segment t at litSegments[j·segments + t]); the rest read as +0, and the plain
    // profile reads zeros there instead of the canvas. Empty: every pixel is written. A
    // thresholded frame is mostly +0, and so is most of an oblique canvas: left unwritten,
    // it costs no memory traffic.
    static_assert(kTileColumns == kLitSegment);
    const int segments = (ww + kTileColumns - 1) / kTileColumns;
    std::vector<std::uint8_t> litSegments;
    if (!g.axisAligned && g.length >= 1)
        litSegments.assign(static_cast<std::size_t>(wh) * static_cast<std::size_t>(segments), 0);

    // Into the streak-aligned canvas.
    scratch.resize(ww, wh);
    {
        Image const& src = image;
        Image& canvas = scratch;
        // The source positions the canvas can ask for lie within its corners' positions.
        double xLo = 0.0, xHi = 0.0, yLo = 0.0, yHi = 0.0;
        for (int corner = 0; corner < 4; ++corner) {
            const float u = static_cast<float>(corner & 1 ? ww - 1 : 0) + g.ox;
            const float v = static_cast<float>(corner & 2 ? wh - 1 : 0) + g.oy;
            const double x = rdCanvasToImageX(g.cs, g.sn, u, v, g.cx);
            const double y = rdCanvasToImageY(g.cs, g.sn, u, v, g.cy);
            xLo = corner == 0 ? x : std::min(xLo, x);
            xHi = corner == 0 ? x : std::max(xHi, x);
            yLo = corner == 0 ? y : std::min(yLo, y);
            yHi = corner == 0 ? y : std::max(yHi, y);
        }
        const AxisMap mapX(xLo, xHi, w, edge);
        const AxisMap mapY(yLo, yHi, h, edge);
        // With one of sn, cs exactly 0 and the other ±1, x depends on the column only
        // and y on the row only (sn = 0), or the other way round (cs = 0): the rotation
        // is a gather through one index per column and one per row, each evaluated with
        // the per-pixel formula (the other coordinate's term is a signed zero).
        const bool columnsAreX = g.sn == 0.0f;
        std::vector<int> columnIndex(g.axisAligned ? static_cast<std::size_t>(ww) : 0);
        for (int i = 0; i < static_cast<int>(columnIndex.size()); ++i) {
            const float u = static_cast<float>(i) + g.ox;
            columnIndex[static_cast<std::size_t>(i)] =
                columnsAreX ? mapX(truncatedIndex(rdCanvasToImageX(g.cs, g.sn, u, g.oy, g.cx)))
                            : mapY(truncatedIndex(rdCanvasToImageY(g.cs, g.sn, u, g.oy, g.cy)));
        }
        // Element (my, mx) of the source is my·w + mx.
        const std::size_t rowStep = columnsAreX ? static_cast<std::size_t>(w) : 1;
        const std::size_t columnStep = columnsAreX ? 1 : static_cast<std::size_t>(w);
        auto gatherRow = [&](int j, int i0, int i1) {
            const float v = static_cast<float>(j) + g.oy;
            const int rowIndex = columnsAreX ? mapY(truncatedIndex(rdCanvasToImageY(g.cs, g.sn, g.ox, v, g.cy)))
                                             : mapX(truncatedIndex(rdCanvasToImageX(g.cs, g.sn, g.ox, v, g.cx)));
            gather<true>(canvas.pixels.data() + static_cast<std::size_t>(j) * ww, i0, i1, src.pixels.data(),
                         rowIndex, rowStep, columnIndex.data(), columnStep);
        };
        const RotateJob job{&src, canvas.pixels.data(), ww, &g, &mapX, &mapY, edge};
        void (*rotateTileRows)(RotateJob const&, int, int, int, int, TileKind, EdgeLine) = rotateRows;
#if RD_HAVE_AVX2_VARIANT
        if (vec::units() >= vec::Units::Avx2) rotateTileRows = rotateRowsAvx2;
#endif
        auto sourcePosition = [&](int i, int j, float& x, float& y) {
            const float u = static_cast<float>(i) + g.ox;
            const float v = static_cast<float>(j) + g.oy;
            x = rdCanvasToImageX(g.cs, g.sn, u, v, g.cx);
            y = rdCanvasToImageY(g.cs, g.sn, u, v, g.cy);
        };
        // With Clamp, most of a long oblique streak's canvas lies beside the selection,
        // where one axis of every read collapses onto an edge line (see TileKind).
        const bool clampLines = edge == EdgeMode::Clamp && !g.axisAligned;
        std::vector<Pixel> lines(clampLines ? 2 * (static_cast<std::size_t>(w) + h) : 0);
        std::vector<int> linesLit(clampLines ? lines.size() + 4 : 0);
        EdgeLine left, right, top, bottom;
        if (clampLines) {
            Pixel* at = lines.data();
            int* lit = linesLit.data();
            auto line = [&](EdgeLine& l, int n, Pixel const* first, std::size_t step) {
                lit[0] = 0;
                for (int k = 0; k < n; ++k) {
                    const vec::F4 v = vec::load(first + static_cast<std::size_t>(k) * step) + vec::splat(0.0f);
                    vec::store(at + k, v);
                    std::uint32_t word[4];
                    std::memcpy(word, &v, sizeof word);
                    lit[k + 1] = lit[k] + ((word[0] | word[1] | word[2] | word[3]) != 0 ? 1 : 0);
                }
                l = {at, n, lit};
                at += n;
                lit += n + 1;
            };
            Pixel const* px = src.pixels.data();
            const std::size_t wz = static_cast<std::size_t>(w);
            line(left, h, px, wz);
            line(right, h, px + (wz - 1), wz);
            line(top, w, px, 1);
            line(bottom, w, px + (static_cast<std::size_t>(h) - 1) * wz, 1);
        }
        // A tile's kind from its corners' positions, 1 pixel of slack as interiorTile.
        auto tileKind = [&](int i0, int i1, int j0, int j1, EdgeLine& line) {
            if (interiorTile(i0, i1, j0, j1, w, h, sourcePosition)) return TileKind::Interior;
            if (!clampLines) return TileKind::General;
            bool xLow = true, xHigh = true, yLow = true, yHigh = true;
            for (int corner = 0; corner < 4; ++corner) {
                float x = 0.0f, y = 0.0f;
                sourcePosition(corner & 1 ? i1 - 1 : i0, corner & 2 ? j1 - 1 : j0, x, y);
                xLow = xLow && x <= -1.0f;
                xHigh = xHigh && x >= static_cast<float>(w);
                yLow = yLow && y <= -1.0f;
                yHigh = yHigh && y >= static_cast<float>(h);
            }
            if (xLow || xHigh) {
                line = xLow ? left : right;
                return TileKind::EdgeColumn;
            }
            if (yLow || yHigh) {
                line = yLow ? top : bottom;
                return TileKind::EdgeRow;
            }
            return TileKind::General;
        };
        // Whether a tile of this kind reads only +0: its corners' positions bound its
        // reads (with the pixel of slack interiorTile allows, and the bilinear neighbour).
        std::optional<BlankBlocks> blankBlocks;
        if (!g.axisAligned) {
            const bool noted = selectionLit != nullptr && selectionLit->width() == src.width &&
                               selectionLit->height() == src.height;
            blankBlocks.emplace(src, noted ? selectionLit : nullptr);
        }
        auto blankTile = [&](TileKind kind, int i0, int i1, int j0, int j1, EdgeLine const& line) {
            double xMin = 0.0, xMax = 0.0, yMin = 0.0, yMax = 0.0;
            for (int corner = 0; corner < 4; ++corner) {
                float x = 0.0f, y = 0.0f;
                sourcePosition(corner & 1 ? i1 - 1 : i0, corner & 2 ? j1 - 1 : j0, x, y);
                xMin = corner == 0 ? x : std::min<double>(xMin, x);
                xMax = corner == 0 ? x : std::max<double>(xMax, x);
                yMin = corner == 0 ? y : std::min<double>(yMin, y);
                yMax = corner == 0 ? y : std::max<double>(yMax, y);
            }
            if (kind == TileKind::Interior)
                return blankBlocks->blank(std::floor(xMin) - 1.0, std::floor(xMax) + 2.0, std::floor(yMin) - 1.0,
                                          std::floor(yMax) + 2.0);
            if (kind == TileKind::General) {
                // Transparent: reads outside the selection are zero, so only the part
                // inside counts (none at all: blank).
                if (edge != EdgeMode::Transparent || !(std::fabs(xMin) < 1e9 && std::fabs(xMax) < 1e9 &&
                                                       std::fabs(yMin) < 1e9 && std::fabs(yMax) < 1e9))
                    return false;
                const double x0 = std::max(std::floor(xMin) - 1.0, 0.0), x1 = std::min(std::floor(xMax) + 2.0, w - 1.0);
                const double y0 = std::max(std::floor(yMin) - 1.0, 0.0), y1 = std::min(std::floor(yMax) + 2.0, h - 1.0);
                return x0 > x1 || y0 > y1 || blankBlocks->blank(x0, x1, y0, y1);
            }
            // An edge tile reads entries ⌊t⌋ and ⌊t⌋ + 1 of its line, clamped to it.
            const double lo = kind == TileKind::EdgeColumn ? yMin : xMin;
            const double hi = kind == TileKind::EdgeColumn ? yMax : xMax;
            if (!(lo >= -1e9 && hi <= 1e9)) return false;
            const double last = line.size - 1;
            const int k0 = static_cast<int>(std::clamp(std::floor(lo) - 1.0, 0.0, last));
            const int k1 = static_cast<int>(std::clamp(std::floor(hi) + 2.0, 0.0, last));
            return line.lit[k1 + 1] == line.lit[k0];
        };
        auto clear = [&](int j0, int j1, int i0, int i1) {
            for (int j = j0; j < j1; ++j) {
                Pixel* row = canvas.pixels.data() + static_cast<std::size_t>(j) * ww;
                std::fill(row + i0, row + i1, Pixel{});
            }
        };
        // A part of a tile: zeros where it reads only +0, else sampled as its kind allows.
        auto rotatePart = [&](int i0, int i1, int j0, int j1) {
            EdgeLine line;
            const TileKind kind = tileKind(i0, i1, j0, j1, line);
            if (blankTile(kind, i0, i1, j0, j1, line))
                clear(j0, j1, i0, i1);
            else
                rotateTileRows(job, j0, j1, i0, i1, kind, line);
        };
        // A canvas row that is one selection row needs no tiles: whole rows stream
        // through the cache.
        const bool wholeRows = g.axisAligned && columnsAreX;
        parallel::ranges(wh, static_cast<unsigned long>(canvas.pixelCount()), [&](int j0, int j1) {
            // The box across the streak, run on each band of rows just written while they
            // are still in the cache: the modulated pass's double box, or the plain one.
            std::optional<FlareBox> flare;
            std::optional<BoxRows> box;
            if (g.strength > 0.0f)
                flare.emplace(ww, g.halfWidth);
            else if (g.halfWidth >= 1)
                box.emplace(ww, g.halfWidth);
            for (int jb = j0; jb < j1; jb += kTileRows) {
                const int je = std::min(j1, jb + kTileRows);
                // The columns read in these rows (rowColumns only falls), and those the
                // box across reads for them.
                const int used = rowColumns.empty() ? ww : rowColumns[static_cast<std::size_t>(jb)];
                const int written = static_cast<int>(std::min<long long>(ww, used + std::max(g.halfWidth, 0) + 1LL));
                if (wholeRows)
                    for (int j = jb; j < je; ++j) gatherRow(j, 0, ww);
                for (int ib = 0; !wholeRows && ib < written; ib += kTileColumns) {
                    const int ie = std::min(written, ib + kTileColumns);
                    if (g.axisAligned) {
                        for (int j = jb; j < je; ++j) gatherRow(j, ib, ie);
                        continue;
                    }
                    EdgeLine line;
                    const TileKind kind = tileKind(ib, ie, jb, je, line);
                    if (blankTile(kind, ib, ie, jb, je, line)) {
                        if (litSegments.empty()) clear(jb, je, ib, ie);
                        continue;
                    }
                    if (!litSegments.empty())
                        for (int j = jb; j < je; ++j)
                            litSegments[static_cast<std::size_t>(j) * static_cast<std::size_t>(segments) +
                                static_cast<std::size_t>(ib / kTileColumns)] = 1;
                    // A tile with light somewhere, or across the selection's border: most of
                    // its smaller parts read only +0, or lie wholly on one side of the
                    // border and take the faster reads.
                    for (int js = jb; js < je; js += kBorderTile)
                        for (int is = ib; is < ie; is += kBorderTile)
                            rotatePart(is, std::min(ie, is + kBorderTile), js, std::min(je, js + kBorderTile));
                }
                if (flare)
                    flare->blur(canvas.pixels.data() + static_cast<std::size_t>(jb) * ww, je - jb,
                                static_cast<std::size_t>(ww), used,
                                litSegments.empty() ? nullptr
                                                    : litSegments.data() + static_cast<std::size_t>(jb) *
                                                                               static_cast<std::size_t>(segments),
                                segments);
                if (box)
                    box->blurInPlace(canvas, jb, je, EdgeMode::Transparent, used,
                                     litSegments.empty() ? nullptr
                                                         : litSegments.data() + static_cast<std::size_t>(jb) *
                                                                                    static_cast<std::size_t>(segments),
                                     segments);
            }
        });
    }
    std::swap(image, scratch);

    // The profile along the streak (the box across it ran with the rotation).
    if (g.strength > 0.0f || g.length >= 1) {
        int const* ends = columnRows.empty() ? nullptr : columnRows.data();
        if (g.strength > 0.0f)
            applyFlareProfile(image, flareProfile(g.halfWidth, g.length, settings.symmetric, g.strength), rowsRead,
                              ends, columnStart.empty() ? nullptr : columnStart.data(),
                              litSegments.empty() ? nullptr : litSegments.data());
        else
            verticalPass(image, image, g.length, settings.symmetric, rowsRead, ends,
                         columnStart.empty() ? nullptr : columnStart.data(),
                         litSegments.empty() ? nullptr : litSegments.data());
    }

    if (settings.details > 0.0f) {
        std::vector<float> factors(static_cast<std::size_t>(ww));
        for (int i = 0; i < ww; ++i)
            factors[static_cast<std::size_t>(i)] = detailsFactor(i, g.ox, g.scale, settings.details);
        Image& canvas = image;
        parallel::ranges(wh, static_cast<unsigned long>(canvas.pixelCount()), [&](int j0, int j1) {
            for (int j = j0; j < std::min(j1, rowsRead); ++j) {
                Pixel* row = canvas.pixels.data() + static_cast<std::size_t>(j) * ww;
                const int used = rowColumns.empty() ? ww : rowColumns[static_cast<std::size_t>(j)];
                for (int i = 0; i < used; ++i) {
                    const float f = factors[static_cast<std::size_t>(i)];
                    row[i] = {row[i].r * f, row[i].g * f, row[i].b * f, row[i].a * f};
                }
            }
        });
    }

    // Back into the frame, with the margin around it, in bands of kTileRows rows: into
    // the result, or through a band of working rows to `rows`.
    const int outW = g.outputWidth;
    const int outH = g.outputHeight;
    scratch.resize(outW, outH);
    {
        Image const& canvas = image;
        Image& out = scratch;
        const std::size_t outStride = static_cast<std::size_t>(outW);
        // Runs crop(j, i0, i1, row) over the tiles of every band of [j0, j1), `row` being
        // where output row j goes, and hands each finished band on.
        auto bands = [&](int j0, int j1, auto&& crop) {
            std::vector<Pixel> band(rows != nullptr ? outStride * kTileRows : 0);
            for (int jb = j0; jb < j1; jb += kTileRows) {
                const int je = std::min(j1, jb + kTileRows);
                Pixel* first = rows != nullptr ? band.data() : out.pixels.data() + static_cast<std::size_t>(jb) * outStride;
                for (int ib = 0; ib < outW; ib += kTileColumns) {
                    const int ie = std::min(outW, ib + kTileColumns);
                    crop(jb, je, ib, ie, first);
                }
                if (rows != nullptr) (*rows)(jb, je, first, outStride);
            }
        };
        const std::size_t canvasWidth = static_cast<std::size_t>(ww);
        if (g.axisAligned) {
            // A gather, as the rotation's: one canvas index per output column, one per row
            // (with sn = 0 the column gives the canvas column; with cs = 0 the canvas row).
            const bool columnsAreX = g.sn == 0.0f;
            const float dx0 = static_cast<float>(-margin) - g.cx;
            const float dy0 = static_cast<float>(-margin) - g.cy;
            auto inside = [](int index, int size) { return index >= 0 && index < size ? index : -1; };
            std::vector<int> columnIndex(static_cast<std::size_t>(outW));
            for (int i = 0; i < outW; ++i) {
                const float dx = static_cast<float>(i - margin) - g.cx;
                columnIndex[static_cast<std::size_t>(i)] =
                    columnsAreX ? inside(truncatedIndex(rdImageToCanvasX(g.cs, g.sn, dx, dy0, g.ox)), ww)
                                : inside(truncatedIndex(rdImageToCanvasY(g.cs, g.sn, dx, dy0, g.oy)), wh);
            }
            const std::size_t rowStep = columnsAreX ? canvasWidth : 1;
            const std::size_t columnStep = columnsAreX ? 1 : canvasWidth;
            parallel::ranges(outH, static_cast<unsigned long>(out.pixelCount()), [&](int j0, int j1) {
                bands(j0, j1, [&](int jb, int je, int i0, int i1, Pixel* first) {
                    for (int j = jb; j < je; ++j) {
                        const float dy = static_cast<float>(j - margin) - g.cy;
                        const int rowIndex =
                            columnsAreX ? inside(truncatedIndex(rdImageToCanvasY(g.cs, g.sn, dx0, dy, g.oy)), wh)
                                        : inside(truncatedIndex(rdImageToCanvasX(g.cs, g.sn, dx0, dy, g.ox)), ww);
                        gather<false>(first + static_cast<std::size_t>(j - jb) * outStride, i0, i1,
                                      canvas.pixels.data(), rowIndex, rowStep, columnIndex.data(), columnStep);
                    }
                });
            });
        } else {
            auto canvasPosition = [&](int i, int j, float& x, float& y) {
                const float dx = static_cast<float>(i - margin) - g.cx;
                const float dy = static_cast<float>(j - margin) - g.cy;
                x = rdImageToCanvasX(g.cs, g.sn, dx, dy, g.ox);
                y = rdImageToCanvasY(g.cs, g.sn, dx, dy, g.oy);
            };
            // Bilinear samples of the canvas with Transparent edges, as the rotation samples
            // the selection.
            float xLo = 0.0f, xHi = 0.0f, yLo = 0.0f, yHi = 0.0f;
            for (int corner = 0; corner < 4; ++corner) {
                float x = 0.0f, y = 0.0f;
                canvasPosition(corner & 1 ? outW - 1 : 0, corner & 2 ? outH - 1 : 0, x, y);
                xLo = corner == 0 ? x : std::min(xLo, x);
                xHi = corner == 0 ? x : std::max(xHi, x);
                yLo = corner == 0 ? y : std::min(yLo, y);
                yHi = corner == 0 ? y : std::max(yHi, y);
            }
            const AxisMap mapX(xLo, xHi, ww, EdgeMode::Transparent);
            const AxisMap mapY(yLo, yHi, wh, EdgeMode::Transparent);
            const CropJob job{{&canvas, nullptr, 0, &g, &mapX, &mapY, EdgeMode::Transparent}, margin, outStride};
            void (*cropTileRows)(CropJob const&, int, int, int, int, bool, Pixel*) = cropRows;
#if RD_HAVE_AVX2_VARIANT
            if (vec::units() >= vec::Units::Avx2) cropTileRows = cropRowsAvx2;
#endif
            parallel::ranges(outH, static_cast<unsigned long>(out.pixelCount()), [&](int j0, int j1) {
                bands(j0, j1, [&](int jb, int je, int i0, int i1, Pixel* first) {
                    cropTileRows(job, jb, je, i0, i1, interiorTile(i0, i1, jb, je, ww, wh, canvasPosition), first);
                });
            });
        }
    }
    if (rows == nullptr) std::swap(image, scratch);
}

}  // namespace

void generateStreak(Image& image, Image& scratch, RenderSettings const& settings, int margin,
                    LitGroups const* lit) {
    streakInto(image, scratch, settings, margin, nullptr, lit);
}

void generateStreak(Image& image, Image& scratch, RenderSettings const& settings, int margin,
                    StreakRows const& rows, LitGroups const* lit) {
    streakInto(image, scratch, settings, margin, &rows, lit);
}

}  // namespace raydrift::image

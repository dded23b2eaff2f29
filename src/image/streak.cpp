#include "image/streak.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "image/diffraction.h"
#include "image/parallel.h"
#include "image/sampling.h"
#include "image/streak_math.h"
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

struct Sum4 {
    double r = 0.0, g = 0.0, b = 0.0, a = 0.0;
};
inline Sum4 widen(Pixel const& p) { return {p.r, p.g, p.b, p.a}; }
inline Sum4 operator+(Sum4 const& x, Sum4 const& y) {
    return {x.r + y.r, x.g + y.g, x.b + y.b, x.a + y.a};
}
inline Sum4 operator-(Sum4 const& x, Sum4 const& y) {
    return {x.r - y.r, x.g - y.g, x.b - y.b, x.a - y.a};
}
inline Sum4 operator*(Sum4 const& x, double k) { return {x.r * k, x.g * k, x.b * k, x.a * k}; }
inline Sum4 operator*(double k, Sum4 const& x) { return {k * x.r, k * x.g, k * x.b, k * x.a}; }

// The profile's output: negative light (from negative selections) is dropped and alpha
// never exceeds full coverage. `v > 0 ? v : 0` also maps NaN to 0, like the GPU's max.
inline float atLeastZero(float v) { return v > 0.0f ? v : 0.0f; }
inline Pixel boundedStreak(Sum4 const& s, double inverse) {
    const Sum4 q = s * inverse;
    Pixel p{atLeastZero(static_cast<float>(q.r)), atLeastZero(static_cast<float>(q.g)),
            atLeastZero(static_cast<float>(q.b)), atLeastZero(static_cast<float>(q.a))};
    if (p.a > 1.0f) p.a = 1.0f;
    return p;
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

// Pixel (x, y) through the edge mode: sampling::fetch with both mappings looked up.
inline Pixel fetchMapped(Image const& image, int x, int y, AxisMap const& mapX, AxisMap const& mapY) {
    const int mx = mapX(x);
    if (mx < 0) return {};
    const int my = mapY(y);
    if (my < 0) return {};
    return image.pixels[static_cast<std::size_t>(my) * image.width + mx];
}

// sampling::sampleBilinear(image, x, y, mode) to the bit, with the mode's mappings taken
// from the tables: the same four pixels, the same lerps in the same order.
inline Pixel sampleMapped(Image const& image, float x, float y, AxisMap const& mapX,
                          AxisMap const& mapY) {
    const float fa = std::floor(x);
    const float fb = std::floor(y);
    const int a = truncatedIndex(fa);
    const int b = truncatedIndex(fb);
    const float fx = x - fa;
    const float fy = y - fb;
    Pixel p00, p10, p01, p11;
    if (a >= 0 && b >= 0 && a + 1 < image.width && b + 1 < image.height) {
        const std::size_t row = static_cast<std::size_t>(b) * image.width + a;
        const std::size_t next = row + image.width;
        p00 = image.pixels[row];
        p10 = image.pixels[row + 1];
        p01 = image.pixels[next];
        p11 = image.pixels[next + 1];
    } else {
        p00 = fetchMapped(image, a, b, mapX, mapY);
        p10 = fetchMapped(image, a + 1, b, mapX, mapY);
        p01 = fetchMapped(image, a, b + 1, mapX, mapY);
        p11 = fetchMapped(image, a + 1, b + 1, mapX, mapY);
    }
    return lerp(lerp(p00, p10, fx), lerp(p01, p11, fx), fy);
}

// sampling::sampleBilinear(image, x, y, Transparent) to the bit.
inline Pixel sampleTransparent(Image const& image, float x, float y) {
    const float fa = std::floor(x);
    const float fb = std::floor(y);
    const int a = truncatedIndex(fa);
    const int b = truncatedIndex(fb);
    const float fx = x - fa;
    const float fy = y - fb;
    const int w = image.width;
    const int h = image.height;
    Pixel p00, p10, p01, p11;
    if (a >= 0 && b >= 0 && a + 1 < w && b + 1 < h) {
        const std::size_t row = static_cast<std::size_t>(b) * w + a;
        const std::size_t next = row + w;
        p00 = image.pixels[row];
        p10 = image.pixels[row + 1];
        p01 = image.pixels[next];
        p11 = image.pixels[next + 1];
    } else {
        auto at = [&](int i, int j) -> Pixel {
            if (i < 0 || j < 0 || i >= w || j >= h) return {};
            return image.pixels[static_cast<std::size_t>(j) * w + i];
        };
        p00 = at(a, b);
        p10 = at(a + 1, b);
        p01 = at(a, b + 1);
        p11 = at(a + 1, b + 1);
    }
    return lerp(lerp(p00, p10, fx), lerp(p01, p11, fx), fy);
}

// The resampling passes walk their output in tiles: a rotated row crosses hundreds of
// source rows, one memory page each, and a tile keeps what it reads within the caches
// and the TLB. Measured on the 30° rotation of a 1080p frame (one thread): 83 ms row by
// row, 52 ms in 32 × 32 tiles, 79 ms in 32 × 128. Every pixel is computed as in a plain
// row-by-row walk.
constexpr int kTileRows = 32;
constexpr int kTileColumns = 32;

template <class F>
void forTiles(int j0, int j1, int width, F&& pixelRow) {
    for (int jb = j0; jb < j1; jb += kTileRows) {
        const int je = std::min(j1, jb + kTileRows);
        for (int ib = 0; ib < width; ib += kTileColumns) {
            const int ie = std::min(width, ib + kTileColumns);
            for (int j = jb; j < je; ++j) pixelRow(j, ib, ie);
        }
    }
}

}  // namespace

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

    const float direction = std::isfinite(settings.direction) ? settings.direction : 0.0f;
    const float angle = std::remainder(direction, 360.0f) * kRadiansPerDegree;
    g.sn = std::sin(angle);
    g.cs = std::cos(angle);
    if (std::fabs(g.sn) < 1e-6f) g.sn = 0.0f;
    if (std::fabs(g.cs) < 1e-6f) g.cs = 0.0f;
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

void boxBlurHorizontal(Image const& src, Image& dst, int radius, EdgeMode edge) {
    if (&src != &dst) dst.resize(src.width, src.height);
    if (radius < 1) {
        if (&src != &dst) dst.pixels = src.pixels;
        return;
    }
    const int w = src.width;
    const long long R = w < 1 ? 1 : std::min<long long>(radius, 2LL * w);
    const long long window = 2 * R + 1;
    const std::size_t prefixSize = static_cast<std::size_t>(w + window);
    const float inverse = 1.0f / static_cast<float>(window);

    // Each row is read completely into its prefix before it is written, and only its own
    // row is read, so the pass may run in place.
    parallel::ranges(src.height, static_cast<unsigned long>(src.pixelCount()), [&](int y0, int y1) {
        std::vector<Pixel> prefix(prefixSize);
        std::vector<Pixel> edges(static_cast<std::size_t>(2 * R));
        for (int y = y0; y < y1; ++y) {
            const Pixel* row = src.pixels.data() + static_cast<std::size_t>(y) * w;
            // The R columns left of the row through the edge mode, the row itself, the R
            // columns right of it: the additions of one left-to-right walk, without a
            // bounds test per pixel inside the row. The out-of-row columns are fetched
            // into `edges` first: with the fetch calls inside the loop the compiler kept
            // the running sum in memory, and a 1080p canvas with radius 20 took 19 ms
            // instead of 10 (one thread).
            const std::size_t R0 = static_cast<std::size_t>(R);
            for (std::size_t e = 0; e < 2 * R0; ++e) {
                const long long x = e < R0 ? static_cast<long long>(e) - R
                                           : w + static_cast<long long>(e - R0);
                edges[e] = sampling::fetch(
                    src, static_cast<int>(std::clamp<long long>(x, -0x7fffffffLL, 0x7fffffffLL)), y, edge);
            }
            Pixel* entry = prefix.data();
            float sr = 0.0f, sg = 0.0f, sb = 0.0f, sa = 0.0f;
            *entry = {sr, sg, sb, sa};
            for (std::size_t e = 0; e < R0; ++e) {
                sr += edges[e].r;
                sg += edges[e].g;
                sb += edges[e].b;
                sa += edges[e].a;
                *++entry = {sr, sg, sb, sa};
            }
            for (int x = 0; x < w; ++x) {
                sr += row[x].r;
                sg += row[x].g;
                sb += row[x].b;
                sa += row[x].a;
                *++entry = {sr, sg, sb, sa};
            }
            for (std::size_t e = R0; e < 2 * R0; ++e) {
                sr += edges[e].r;
                sg += edges[e].g;
                sb += edges[e].b;
                sa += edges[e].a;
                *++entry = {sr, sg, sb, sa};
            }
            Pixel* out = dst.pixels.data() + static_cast<std::size_t>(y) * w;
            for (int x = 0; x < w; ++x) {
                const Pixel& hi = prefix[static_cast<std::size_t>(x + window)];
                const Pixel& lo = prefix[static_cast<std::size_t>(x)];
                out[x] = {(hi.r - lo.r) * inverse, (hi.g - lo.g) * inverse,
                          (hi.b - lo.b) * inverse, (hi.a - lo.a) * inverse};
            }
        }
    });
}

void verticalStreak(Image const& src, Image& dst, int length, bool symmetric) {
    verticalStreak(src, dst, length, symmetric, src.height);
}

void verticalStreak(Image const& src, Image& dst, int length, bool symmetric, int rows) {
    if (&src == &dst) {
        // Rows ahead of the output row are still needed: work from a copy.
        const Image copy = src;
        verticalStreak(copy, dst, length, symmetric, rows);
        return;
    }
    dst.resize(src.width, src.height);
    const long long len = std::max(length, 0);
    const long long r = symmetric ? (len + 1) / 2 : len;
    const double normaliser = symmetric ? static_cast<double>(r + 1) * static_cast<double>(r + 1)
                                        : static_cast<double>(r + 2) * (static_cast<double>(r + 1) * 0.5);
    const double inverse = 1.0 / normaliser;
    const double peak = static_cast<double>(r + 1);
    const int w = src.width;
    const int h = src.height;
    const int outRows = std::clamp(rows, 0, h);
    // Rows outside the image read as this row of zeros, so the loops carry no bounds tests.
    const std::vector<Pixel> zeros(static_cast<std::size_t>(w));
    auto rowAt = [&](long long y) -> Pixel const* {
        if (y < 0 || y >= h) return zeros.data();
        return src.pixels.data() + static_cast<std::size_t>(y) * w;
    };

    parallel::ranges(w, static_cast<unsigned long>(src.pixelCount()), [&](int x0, int x1) {
        const std::size_t n = static_cast<std::size_t>(x1 - x0);
        std::vector<Sum4> weighted(n), left(n), right(symmetric ? n : 0);
        const long long initRows = std::min<long long>(r + (symmetric ? 1 : 0), h - 1LL);
        for (long long k = 0; k <= initRows; ++k) {
            const double weight = static_cast<double>(r + 1 - k);
            Pixel const* row = rowAt(k) + x0;
            for (std::size_t c = 0; c < n; ++c) {
                const Sum4 p = widen(row[c]);
                if (k <= r) weighted[c] = weighted[c] + weight * p;
                if (symmetric && k != 0)
                    right[c] = right[c] + p;
                else
                    left[c] = left[c] + p;
            }
        }
        for (int y = 0; y < outRows; ++y) {
            Pixel* out = dst.pixels.data() + static_cast<std::size_t>(y) * w + x0;
            for (std::size_t c = 0; c < n; ++c) out[c] = boundedStreak(weighted[c], inverse);
            if (y + 1 == outRows) break;
            if (symmetric) {
                Pixel const* incomingRow = rowAt(y + r + 2) + x0;
                Pixel const* midRow = rowAt(y + 1LL) + x0;
                Pixel const* oldRow = rowAt(y - r) + x0;
                for (std::size_t c = 0; c < n; ++c) {
                    const Sum4 incoming = widen(incomingRow[c]);
                    const Sum4 mid = widen(midRow[c]);
                    const Sum4 old = widen(oldRow[c]);
                    weighted[c] = weighted[c] + (right[c] - left[c]);
                    left[c] = left[c] + (mid - old);
                    right[c] = right[c] + (incoming - mid);
                }
            } else {
                Pixel const* nowRow = rowAt(y) + x0;
                Pixel const* incomingRow = rowAt(y + r + 1) + x0;
                for (std::size_t c = 0; c < n; ++c) {
                    const Sum4 now = widen(nowRow[c]);
                    const Sum4 incoming = widen(incomingRow[c]);
                    left[c] = (left[c] - now) + incoming;
                    weighted[c] = (weighted[c] - now * peak) + left[c];
                }
            }
        }
    });
}

void generateStreak(Image& image, Image& scratch, RenderSettings const& settings, int margin) {
    if (image.empty()) return;
    margin = std::max(margin, 0);
    const int w = image.width;
    const int h = image.height;
    const StreakGeometry g = streakGeometry(w, h, settings, margin);
    const EdgeMode edge = settings.edgeMode;

    if (g.length < 1 && g.halfWidth < 1) {
        if (margin < 1) return;
        // Nothing to smear: the selection, widened by the margin through the edge mode.
        scratch.resize(g.outputWidth, g.outputHeight);
        for (int j = 0; j < g.outputHeight; ++j)
            for (int i = 0; i < g.outputWidth; ++i)
                scratch.at(i, j) = sampling::fetch(image, i - margin, j - margin, edge);
        std::swap(image, scratch);
        return;
    }

    // Into the streak-aligned canvas.
    const int ww = g.canvasWidth;
    const int wh = g.canvasHeight;
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
        if (g.axisAligned) {
            // With one of sn, cs exactly 0 and the other ±1, x depends on the column only
            // and y on the row only (sn = 0), or the other way round (cs = 0): the rotation
            // is a gather through one index per column and one per row, each evaluated with
            // the per-pixel formula (the other coordinate's term is a signed zero).
            const bool columnsAreX = g.sn == 0.0f;
            std::vector<int> columnIndex(static_cast<std::size_t>(ww));
            for (int i = 0; i < ww; ++i) {
                const float u = static_cast<float>(i) + g.ox;
                columnIndex[static_cast<std::size_t>(i)] =
                    columnsAreX ? mapX(truncatedIndex(rdCanvasToImageX(g.cs, g.sn, u, g.oy, g.cx)))
                                : mapY(truncatedIndex(rdCanvasToImageY(g.cs, g.sn, u, g.oy, g.cy)));
            }
            parallel::ranges(wh, static_cast<unsigned long>(canvas.pixelCount()), [&](int j0, int j1) {
                forTiles(j0, j1, ww, [&](int j, int i0, int i1) {
                    const float v = static_cast<float>(j) + g.oy;
                    const int rowIndex =
                        columnsAreX ? mapY(truncatedIndex(rdCanvasToImageY(g.cs, g.sn, g.ox, v, g.cy)))
                                    : mapX(truncatedIndex(rdCanvasToImageX(g.cs, g.sn, g.ox, v, g.cx)));
                    Pixel* out = canvas.pixels.data() + static_cast<std::size_t>(j) * ww;
                    if (rowIndex < 0) {
                        std::fill(out + i0, out + i1, Pixel{});
                        return;
                    }
                    // Element (my, mx) of the source is my·w + mx.
                    const std::size_t rowStep = columnsAreX ? static_cast<std::size_t>(w) : 1;
                    const std::size_t columnStep = columnsAreX ? 1 : static_cast<std::size_t>(w);
                    Pixel const* base = src.pixels.data() + static_cast<std::size_t>(rowIndex) * rowStep;
                    for (int i = i0; i < i1; ++i) {
                        const int c = columnIndex[static_cast<std::size_t>(i)];
                        if (c < 0) {
                            out[i] = Pixel{};
                            continue;
                        }
                        const Pixel p = base[static_cast<std::size_t>(c) * columnStep];
                        out[i] = isFinite(p) ? p : finiteOrZero(p);
                    }
                });
            });
        } else {
            parallel::ranges(wh, static_cast<unsigned long>(canvas.pixelCount()), [&](int j0, int j1) {
                forTiles(j0, j1, ww, [&](int j, int i0, int i1) {
                    const float v = static_cast<float>(j) + g.oy;
                    Pixel* out = canvas.pixels.data() + static_cast<std::size_t>(j) * ww;
                    for (int i = i0; i < i1; ++i) {
                        const float u = static_cast<float>(i) + g.ox;
                        const float x = rdCanvasToImageX(g.cs, g.sn, u, v, g.cx);
                        const float y = rdCanvasToImageY(g.cs, g.sn, u, v, g.cy);
                        Pixel p = sampleMapped(src, x, y, mapX, mapY);
                        if (!isFinite(p)) p = sampleFinite(src, x, y, edge);
                        out[i] = p;
                    }
                });
            });
        }
    }
    std::swap(image, scratch);

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

    if (g.strength > 0.0f) {
        applyFlareStreak(image, scratch, g.halfWidth, g.length, settings.symmetric, g.strength,
                         rowsRead);
    } else {
        if (g.halfWidth >= 1) {
            boxBlurHorizontal(image, scratch, g.halfWidth, EdgeMode::Transparent);
            std::swap(image, scratch);
        }
        if (g.length >= 1) {
            verticalStreak(image, scratch, g.length, settings.symmetric, rowsRead);
            std::swap(image, scratch);
        }
    }

    if (settings.details > 0.0f) {
        std::vector<float> factors(static_cast<std::size_t>(ww));
        for (int i = 0; i < ww; ++i)
            factors[static_cast<std::size_t>(i)] = detailsFactor(i, g.ox, g.scale, settings.details);
        Image& canvas = image;
        parallel::ranges(wh, static_cast<unsigned long>(canvas.pixelCount()), [&](int j0, int j1) {
            for (int j = j0; j < std::min(j1, rowsRead); ++j) {
                Pixel* row = canvas.pixels.data() + static_cast<std::size_t>(j) * ww;
                for (int i = 0; i < ww; ++i) {
                    const float f = factors[static_cast<std::size_t>(i)];
                    row[i] = {row[i].r * f, row[i].g * f, row[i].b * f, row[i].a * f};
                }
            }
        });
    }

    // Back into the frame, with the margin around it.
    const int outW = g.outputWidth;
    const int outH = g.outputHeight;
    scratch.resize(outW, outH);
    {
        Image const& canvas = image;
        Image& out = scratch;
        parallel::ranges(outH, static_cast<unsigned long>(out.pixelCount()), [&](int j0, int j1) {
            forTiles(j0, j1, outW, [&](int j, int i0, int i1) {
                const float dy = static_cast<float>(j - margin) - g.cy;
                Pixel* row = out.pixels.data() + static_cast<std::size_t>(j) * outW;
                for (int i = i0; i < i1; ++i) {
                    const float dx = static_cast<float>(i - margin) - g.cx;
                    const float x = rdImageToCanvasX(g.cs, g.sn, dx, dy, g.ox);
                    const float y = rdImageToCanvasY(g.cs, g.sn, dx, dy, g.oy);
                    if (g.axisAligned) {
                        const int xi = truncatedIndex(x);
                        const int yi = truncatedIndex(y);
                        row[i] = (xi >= 0 && yi >= 0 && xi < ww && yi < wh)
                                     ? canvas.pixels[static_cast<std::size_t>(yi) * ww + xi]
                                     : Pixel{};
                    } else {
                        row[i] = sampleTransparent(canvas, x, y);
                    }
                }
            });
        });
    }
    std::swap(image, scratch);
}

}  // namespace raydrift::image

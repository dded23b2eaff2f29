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
inline bool isFinite(Pixel const& p) {
    return std::isfinite(p.r) && std::isfinite(p.g) && std::isfinite(p.b) && std::isfinite(p.a);
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

inline Sum4 rowPixel(Image const& src, long long row, int x) {
    if (row < 0 || row >= src.height) return {};
    return widen(src.pixels[static_cast<std::size_t>(row) * src.width + x]);
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
                                                 static_cast<double>(std::max(h, 1)) / 2073600.0));
    const float length = std::isfinite(settings.length) ? settings.length : 0.0f;
    const float streakWidth = std::isfinite(settings.width) ? settings.width : 0.0f;
    g.length = roundedPixels(g.scale * length);
    g.halfWidth = roundedPixels(g.scale * (streakWidth * 0.5f));

    if (g.length >= 1) {
        const float d = settings.diffraction / 500.0f;
        g.strength = d > 0.0f ? std::min(d, 1.0f) : 0.0f;  // NaN → 0
    }

    const float direction = std::isfinite(settings.direction) ? settings.direction : 0.0f;
    const float angle = std::remainder(direction, 360.0f) * 0.017453292f;
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
        for (int y = y0; y < y1; ++y) {
            const Pixel* row = src.pixels.data() + static_cast<std::size_t>(y) * w;
            Pixel sum{};
            prefix[0] = sum;
            for (std::size_t k = 0; k + 1 < prefixSize; ++k) {
                const long long x = static_cast<long long>(k) - R;
                const Pixel p = (x >= 0 && x < w)
                                    ? row[x]
                                    : sampling::fetch(src, static_cast<int>(std::clamp<long long>(
                                                               x, -0x7fffffffLL, 0x7fffffffLL)),
                                                      y, edge);
                sum = {sum.r + p.r, sum.g + p.g, sum.b + p.b, sum.a + p.a};
                prefix[k + 1] = sum;
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
    if (&src == &dst) {
        // Rows ahead of the output row are still needed: work from a copy.
        const Image copy = src;
        verticalStreak(copy, dst, length, symmetric);
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

    parallel::ranges(w, static_cast<unsigned long>(src.pixelCount()), [&](int x0, int x1) {
        const std::size_t n = static_cast<std::size_t>(x1 - x0);
        std::vector<Sum4> weighted(n), left(n), right(symmetric ? n : 0);
        const long long initRows = std::min<long long>(r + (symmetric ? 1 : 0), h - 1LL);
        for (long long k = 0; k <= initRows; ++k) {
            const double weight = static_cast<double>(r + 1 - k);
            for (std::size_t c = 0; c < n; ++c) {
                const Sum4 p = rowPixel(src, k, x0 + static_cast<int>(c));
                if (k <= r) weighted[c] = weighted[c] + weight * p;
                if (symmetric && k != 0)
                    right[c] = right[c] + p;
                else
                    left[c] = left[c] + p;
            }
        }
        for (int y = 0; y < h; ++y) {
            Pixel* out = dst.pixels.data() + static_cast<std::size_t>(y) * w + x0;
            for (std::size_t c = 0; c < n; ++c) out[c] = boundedStreak(weighted[c], inverse);
            if (y + 1 == h) break;
            for (std::size_t c = 0; c < n; ++c) {
                const int x = x0 + static_cast<int>(c);
                if (symmetric) {
                    const Sum4 incoming = rowPixel(src, y + r + 2, x);
                    const Sum4 mid = rowPixel(src, y + 1LL, x);
                    const Sum4 old = rowPixel(src, y - r, x);
                    weighted[c] = weighted[c] + (right[c] - left[c]);
                    left[c] = left[c] + (mid - old);
                    right[c] = right[c] + (incoming - mid);
                } else {
                    const Sum4 now = rowPixel(src, y, x);
                    const Sum4 incoming = rowPixel(src, y + r + 1, x);
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
        parallel::ranges(wh, static_cast<unsigned long>(canvas.pixelCount()), [&](int j0, int j1) {
            for (int j = j0; j < j1; ++j) {
                const float v = static_cast<float>(j) + g.oy;
                Pixel* out = canvas.pixels.data() + static_cast<std::size_t>(j) * ww;
                for (int i = 0; i < ww; ++i) {
                    const float u = static_cast<float>(i) + g.ox;
                    const float x = rdCanvasToImageX(g.cs, g.sn, u, v, g.cx);
                    const float y = rdCanvasToImageY(g.cs, g.sn, u, v, g.cy);
                    Pixel p;
                    if (g.axisAligned) {
                        // Whole-number positions: truncation is exact.
                        const int xi = sampling::saturatingInt(x);
                        const int yi = sampling::saturatingInt(y);
                        p = (xi >= 0 && yi >= 0 && xi < w && yi < h)
                                ? src.pixels[static_cast<std::size_t>(yi) * w + xi]
                                : sampling::fetch(src, xi, yi, edge);
                        p = finiteOrZero(p);
                    } else {
                        p = sampling::sampleBilinear(src, x, y, edge);
                        if (!isFinite(p)) p = sampleFinite(src, x, y, edge);
                    }
                    out[i] = p;
                }
            }
        });
    }
    std::swap(image, scratch);

    if (g.strength > 0.0f) {
        applyFlareStreak(image, scratch, g.halfWidth, g.length, settings.symmetric, g.strength);
    } else {
        if (g.halfWidth >= 1) {
            boxBlurHorizontal(image, scratch, g.halfWidth, EdgeMode::Transparent);
            std::swap(image, scratch);
        }
        if (g.length >= 1) {
            verticalStreak(image, scratch, g.length, settings.symmetric);
            std::swap(image, scratch);
        }
    }

    if (settings.details > 0.0f) {
        std::vector<float> factors(static_cast<std::size_t>(ww));
        for (int i = 0; i < ww; ++i)
            factors[static_cast<std::size_t>(i)] = detailsFactor(i, g.ox, g.scale, settings.details);
        Image& canvas = image;
        parallel::ranges(wh, static_cast<unsigned long>(canvas.pixelCount()), [&](int j0, int j1) {
            for (int j = j0; j < j1; ++j) {
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
            for (int j = j0; j < j1; ++j) {
                const float dy = static_cast<float>(j - margin) - g.cy;
                Pixel* row = out.pixels.data() + static_cast<std::size_t>(j) * outW;
                for (int i = 0; i < outW; ++i) {
                    const float dx = static_cast<float>(i - margin) - g.cx;
                    const float x = rdImageToCanvasX(g.cs, g.sn, dx, dy, g.ox);
                    const float y = rdImageToCanvasY(g.cs, g.sn, dx, dy, g.oy);
                    if (g.axisAligned) {
                        const int xi = sampling::saturatingInt(x);
                        const int yi = sampling::saturatingInt(y);
                        row[i] = (xi >= 0 && yi >= 0 && xi < ww && yi < wh)
                                     ? canvas.pixels[static_cast<std::size_t>(yi) * ww + xi]
                                     : Pixel{};
                    } else {
                        row[i] = sampling::sampleBilinear(canvas, x, y, EdgeMode::Transparent);
                    }
                }
            }
        });
    }
    std::swap(image, scratch);
}

}  // namespace raydrift::image

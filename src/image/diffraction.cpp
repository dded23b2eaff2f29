#include "image/diffraction.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "image/parallel.h"

namespace raydrift::image {

namespace {

constexpr double kTwoPi = 6.283185307179586;

struct Sum4 {
    double r = 0.0, g = 0.0, b = 0.0, a = 0.0;
};
inline Sum4 operator+(Sum4 const& x, Sum4 const& y) {
    return {x.r + y.r, x.g + y.g, x.b + y.b, x.a + y.a};
}
inline Sum4 operator-(Sum4 const& x, Sum4 const& y) {
    return {x.r - y.r, x.g - y.g, x.b - y.b, x.a - y.a};
}
inline Sum4 operator*(double k, Sum4 const& x) { return {k * x.r, k * x.g, k * x.b, k * x.a}; }

// Prefix sums of one column: the pixels A(k), k·A(k), and both again weighted by the
// row's phase cos(ωk), sin(ωk). With cos(ω(k − y)) = cos ωk·cos ωy + sin ωk·sin ωy, any
// window of the modulated, linearly weighted profile is a handful of differences.
struct Moments {
    Sum4 a, ka, ac, as, kac, kas;
};
inline Moments operator+(Moments const& x, Moments const& y) {
    return {x.a + y.a, x.ka + y.ka, x.ac + y.ac, x.as + y.as, x.kac + y.kac, x.kas + y.kas};
}
inline Moments operator-(Moments const& x, Moments const& y) {
    return {x.a - y.a, x.ka - y.ka, x.ac - y.ac, x.as - y.as, x.kac - y.kac, x.kas - y.kas};
}

inline float atLeastZero(float v) { return v > 0.0f ? v : 0.0f; }

// Columns handled together: one cache line of pixels per row read.
constexpr int kColumnBlock = 4;

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

void applyFlareStreak(Image& canvas, Image& /*scratch*/, int halfWidth, int length, bool symmetric,
                      float strength, int rows) {
    if (canvas.empty()) return;
    const FlareProfile f = flareProfile(halfWidth, length, symmetric, strength);
    const int ww = canvas.width;
    const int wh = canvas.height;
    const unsigned long work = static_cast<unsigned long>(canvas.pixelCount());

    // Across the streak: a box of 2·HW + 1 columns in double, written back as float.
    {
        const long long hw = f.halfWidth;
        const double inverse = 1.0 / static_cast<double>(2 * hw + 1);
        parallel::ranges(wh, work, [&](int y0, int y1) {
            std::vector<Sum4> prefix(static_cast<std::size_t>(ww) + 1);
            for (int y = y0; y < y1; ++y) {
                Pixel* row = canvas.pixels.data() + static_cast<std::size_t>(y) * ww;
                for (int x = 0; x < ww; ++x)
                    prefix[static_cast<std::size_t>(x) + 1] =
                        prefix[static_cast<std::size_t>(x)] +
                        Sum4{row[x].r, row[x].g, row[x].b, row[x].a};
                for (int x = 0; x < ww; ++x) {
                    const long long hi = std::min<long long>(ww, x + hw + 1);
                    const long long lo = std::max<long long>(0, x - hw);
                    const Sum4 s = inverse * (prefix[static_cast<std::size_t>(hi)] -
                                              prefix[static_cast<std::size_t>(lo)]);
                    row[x] = {static_cast<float>(s.r), static_cast<float>(s.g),
                              static_cast<float>(s.b), static_cast<float>(s.a)};
                }
            }
        });
    }

    // Along the streak: the modulated profile from per-column prefix sums.
    std::vector<double> cosT(static_cast<std::size_t>(wh));
    std::vector<double> sinT(static_cast<std::size_t>(wh));
    for (int y = 0; y < wh; ++y) {
        cosT[static_cast<std::size_t>(y)] = std::cos(f.step * static_cast<double>(y));
        sinT[static_cast<std::size_t>(y)] = std::sin(f.step * static_cast<double>(y));
    }
    const double inverse = 1.0 / f.normaliser;
    const double m = f.depth;
    const long long L = f.length;
    const long long hs = f.above;
    const int outRows = std::clamp(rows, 0, wh);

    parallel::ranges(ww, work, [&](int x0, int x1) {
        // prefix[(k·kColumnBlock) + c]: entries k = 0 … wh of column x + c of the block.
        std::vector<Moments> prefix((static_cast<std::size_t>(wh) + 1) * kColumnBlock);
        auto entry = [&](long long k, int c) -> Moments const& {
            return prefix[static_cast<std::size_t>(k) * kColumnBlock + static_cast<std::size_t>(c)];
        };
        // Sums over rows [a, b], clipped to the canvas.
        auto window = [&](long long a, long long b, int c) -> Moments {
            const long long lo = std::clamp<long long>(a, 0, wh);
            const long long hi = std::clamp<long long>(b + 1, 0, wh);
            if (hi <= lo) return {};
            return entry(hi, c) - entry(lo, c);
        };
        for (int x = x0; x < x1; x += kColumnBlock) {
            const int cols = std::min(kColumnBlock, x1 - x);
            for (int c = 0; c < cols; ++c) prefix[static_cast<std::size_t>(c)] = Moments{};
            for (int k = 0; k < wh; ++k) {
                const Pixel* row = canvas.pixels.data() + static_cast<std::size_t>(k) * ww + x;
                const double kd = static_cast<double>(k);
                const double ct = cosT[static_cast<std::size_t>(k)];
                const double st = sinT[static_cast<std::size_t>(k)];
                for (int c = 0; c < cols; ++c) {
                    const Sum4 a{row[c].r, row[c].g, row[c].b, row[c].a};
                    const Sum4 ka = kd * a;
                    const Moments add{a, ka, ct * a, st * a, ct * ka, st * ka};
                    prefix[(static_cast<std::size_t>(k) + 1) * kColumnBlock + static_cast<std::size_t>(c)] =
                        entry(k, c) + add;
                }
            }
            for (int y = 0; y < outRows; ++y) {
                const double ct = cosT[static_cast<std::size_t>(y)];
                const double st = sinT[static_cast<std::size_t>(y)];
                const long long yl = y;
                Pixel* row = canvas.pixels.data() + static_cast<std::size_t>(y) * ww + x;
                for (int c = 0; c < cols; ++c) {
                    // S: the modulated sum of A over a window; K: the same carrying k.
                    auto modulated = [&](Moments const& w, Sum4& S, Sum4& K) {
                        S = w.a + m * (ct * w.ac + st * w.as);
                        K = w.ka + m * (ct * w.kac + st * w.kas);
                    };
                    Sum4 t;
                    if (!symmetric) {
                        Sum4 S, K;
                        modulated(window(yl, yl + L, c), S, K);
                        t = static_cast<double>(yl + L + 1) * S - K;
                    } else {
                        Sum4 S, K;
                        modulated(window(yl - hs, yl, c), S, K);
                        const Sum4 lower = K - static_cast<double>(yl - hs - 1) * S;
                        modulated(window(yl + 1, yl + hs, c), S, K);
                        const Sum4 upper = static_cast<double>(yl + hs + 1) * S - K;
                        t = lower + upper;
                    }
                    const Sum4 q = inverse * t;
                    float alpha = atLeastZero(static_cast<float>(q.a));
                    if (alpha > 1.0f) alpha = 1.0f;
                    row[c] = {atLeastZero(static_cast<float>(q.r)), atLeastZero(static_cast<float>(q.g)),
                              atLeastZero(static_cast<float>(q.b)), alpha};
                }
            }
        }
    });
}

}  // namespace raydrift::image

#pragma clang fp contract(off)
// Spatial kernels: light selection, rotation into the work image, the horizontal box, the
// vertical streak profile and the crop back to frame orientation. Every stage repeats
// the CPU engine's order of operations; the long running sums are carried as two-float
// expansions where the CPU sums in double. The per-pixel formulas are the engine's own
// headers, included below and pasted into the embedded text by the build.
#include <metal_stdlib>
using namespace metal;

#define RD_FN static inline
#define RD_FMA(a, b, c) fma((a), (b), (c))
#define RD_SQRT(x) sqrt(x)
#define RD_FABS(x) fabs(x)
#define RD_ISFINITE(x) isfinite(x)
#define RD_DIV(a, b) divideCpu((a), (b))

// GPU division is not correctly rounded; one correction step gives the CPU's quotient.
// A non-finite quotient is already the CPU's and must not be "corrected" into NaN.
static inline float divideCpu(float a, float b) {
    const float q = a / b;
    return isfinite(q) ? q + fma(-q, b, a) / b : q;
}

#include "image/pixel_math.h"
#include "image/streak_math.h"
#include "gpu/kernels/device_math.h"

static inline float4 pixel(device const float4* buffer, int x, int y, int w, int h, int edge) {
    x = rdMapped(x, w, edge);
    y = rdMapped(y, h, edge);
    if (x < 0 || x >= w || y < 0 || y >= h) return float4(0.0f);
    return buffer[y * w + x];
}

static inline float4 sample(device const float4* buffer, float x, float y, int w, int h, int edge) {
    const float fa = floor(x);
    const float fb = floor(y);
    const int a = int(fa);
    const int b = int(fb);
    const float fx = x - fa;
    const float fy = y - fb;
    return rdBilinear(pixel(buffer, a, b, w, h, edge), pixel(buffer, a + 1, b, w, h, edge),
                      pixel(buffer, a, b + 1, w, h, edge), pixel(buffer, a + 1, b + 1, w, h, edge), fx, fy);
}

static inline float luma(float4 p) { return rdLuma(p.x, p.y, p.z); }

static inline float mask(float4 p, constant Params& P) {
    const float v = rdLumaPremultiplied(p.x, p.y, p.z, p.w);
    return rdLuminanceRangeMask(v, P.lowCut, P.lowFeather, P.highCut, P.highFeather,
                                P.reserved0 != 0.0f ? 1 : 0);
}

// A two-float expansion per channel: value hi + lo, about 48 significant bits.
struct Sum {
    float4 hi;
    float4 lo;
};

static inline Sum value(float4 x) {
    Sum s;
    s.hi = x;
    s.lo = float4(0.0f);
    return s;
}

static inline Sum dsAdd(Sum a, Sum b) {
    const float4 s = a.hi + b.hi;
    const float4 v = s - a.hi;
    const float4 e = (((b.hi - v) + (a.hi - (s - v))) + a.lo) + b.lo;
    const float4 h = s + e;
    Sum out;
    out.hi = h;
    out.lo = e - (h - s);
    return out;
}

static inline Sum dsSub(Sum a, Sum b) {
    Sum negated;
    negated.hi = -b.hi;
    negated.lo = -b.lo;
    return dsAdd(a, negated);
}

static inline float4 productError(float4 a, float b, float4 p) {
    return float4(fma(a.x, b, -p.x), fma(a.y, b, -p.y), fma(a.z, b, -p.z), fma(a.w, b, -p.w));
}

static inline Sum dsMul(Sum a, float bx, float by) {
    const float4 p = a.hi * bx;
    const float4 e = ((productError(a.hi, bx, p) + a.hi * by) + a.lo * bx) + a.lo * by;
    const float4 h = p + e;
    Sum out;
    out.hi = h;
    out.lo = e - (h - p);
    return out;
}

static inline float4 finish(Sum a) { return a.hi + a.lo; }

static inline float atLeastZero(float v) { return v > 0.0f ? v : 0.0f; }

static inline float4 bounded(Sum a, float inverseHi, float inverseLo) {
    const float4 f = finish(dsMul(a, inverseHi, inverseLo));
    float4 out = float4(atLeastZero(f.x), atLeastZero(f.y), atLeastZero(f.z), atLeastZero(f.w));
    if (out.w > 1.0f) out.w = 1.0f;
    return out;
}

kernel void selectSource(device float4* selected [[buffer(1)]],
                         device const float4* original [[buffer(2)]],
                         constant Params& P [[buffer(3)]],
                         device atomic_uint* flags [[buffer(6)]],
                         uint2 gid [[thread_position_in_grid]]) {
    if (gid.x >= uint(P.kw) || gid.y >= uint(P.kh)) return;
    const int x = int(gid.x);
    const int y = int(gid.y);
    uint bits = 0u;
    float4 sum = float4(0.0f);
    int count = 0;
    for (int j = 0; j < P.factor; ++j) {
        for (int i = 0; i < P.factor; ++i) {
            const int sx = x * P.factor + i;
            const int sy = y * P.factor + j;
            if (sx >= P.iw || sy >= P.ih) continue;
            const float4 p = original[sy * P.iw + sx];
            if (p.w < 0.9999f) bits |= 1u;
            if (rdNeedsCpu(p, P.intensity)) bits |= 2u;
            const float4 s = p * mask(p, P);
            // One pixel per block is the selection itself: no addition to zero, so the
            // sign of a zero survives.
            sum = P.factor == 1 ? s : sum + s;
            count += 1;
        }
    }
    selected[y * P.kw + x] = P.factor == 1 ? sum : sum * divideCpu(1.0f, float(count));
    if (bits != 0u) atomic_fetch_or_explicit(flags, bits, memory_order_relaxed);
}

kernel void rotateSource(device const float4* selected [[buffer(0)]],
                         device float4* work [[buffer(1)]],
                         constant Params& P [[buffer(3)]],
                         uint2 gid [[thread_position_in_grid]]) {
    if (gid.x >= uint(P.ww) || gid.y >= uint(P.wh)) return;
    const float u = float(int(gid.x)) + P.ox;
    const float v = float(int(gid.y)) + P.oy;
    const float X = rdCanvasToImageX(P.cs, P.sn, u, v, float(P.kw - 1) * 0.5f);
    const float Y = rdCanvasToImageY(P.cs, P.sn, u, v, float(P.kh - 1) * 0.5f);
    work[int(gid.y) * P.ww + int(gid.x)] =
        P.quarter != 0 ? pixel(selected, int(X), int(Y), P.kw, P.kh, P.edge)
                       : sample(selected, X, Y, P.kw, P.kh, P.edge);
}

kernel void horizontalPrefix(device const float4* work [[buffer(0)]],
                             device float4* prefix [[buffer(1)]],
                             constant Params& P [[buffer(3)]],
                             uint gid [[thread_position_in_grid]]) {
    if (gid >= uint(P.wh)) return;
    const int y = int(gid);
    device float4* row = prefix + y * (P.ww + 1);
    device const float4* in = work + y * P.ww;
    float4 sum = float4(0.0f);
    row[0] = sum;
    for (int x = 0; x < P.ww; ++x) {
        sum = sum + in[x];
        row[x + 1] = sum;
    }
}

kernel void horizontalWindow(device const float4* prefix [[buffer(0)]],
                             device float4* work [[buffer(1)]],
                             constant Params& P [[buffer(3)]],
                             uint2 gid [[thread_position_in_grid]]) {
    if (gid.x >= uint(P.ww) || gid.y >= uint(P.wh)) return;
    const int x = int(gid.x);
    const int y = int(gid.y);
    const int first = max(0, x - P.radius);
    const int end = min(P.ww, x + P.radius + 1);
    device const float4* row = prefix + y * (P.ww + 1);
    work[y * P.ww + x] = (row[end] - row[first]) * P.hInverseHi;
}

kernel void horizontalAccurate(device const float4* work [[buffer(0)]],
                               device float4* blurred [[buffer(1)]],
                               constant Params& P [[buffer(3)]],
                               uint gid [[thread_position_in_grid]]) {
    if (gid >= uint(P.wh)) return;
    const int y = int(gid);
    Sum sum = value(float4(0.0f));
    const int last = min(P.radius, P.ww - 1);
    for (int x = 0; x <= last; ++x) sum = dsAdd(sum, value(work[y * P.ww + x]));
    for (int x = 0; x < P.ww; ++x) {
        blurred[y * P.ww + x] = finish(dsMul(sum, P.hInverseHi, P.hInverseLo));
        sum = dsSub(sum, value(pixel(work, x - P.radius, y, P.ww, P.wh, 3)));
        sum = dsAdd(sum, value(pixel(work, x + P.radius + 1, y, P.ww, P.wh, 3)));
    }
}

static inline float4 phaseAt(device const float4* phases, int k, int wh) {
    return k >= 0 && k < wh ? phases[k] : float4(0.0f);
}

static inline Sum scaled(Sum a, float k) { return dsMul(a, k, 0.0f); }

// The triangular streak profile down one column, in constant time per row: `weighted`
// is the profile-weighted sum, `left` and `right` the plain sums of the two slopes.
// With `modulated`, the same sums of p·cos and p·sin of the row phase give the
// diffraction banding through cos(a − b) = cos a·cos b + sin a·sin b.
static inline void verticalColumn(device const float4* src, device float4* dst,
                                  device const float4* phases, constant Params& P, int x,
                                  bool modulated) {
    const int wh = P.wh;
    const int ww = P.ww;
    const int r = P.r;
    const bool symmetric = P.symmetric != 0;
    Sum weighted = value(float4(0.0f)), left = weighted, right = weighted;
    Sum wc = weighted, ws = weighted, lc = weighted, ls = weighted, rc = weighted, rs = weighted;
    const int start = r + (symmetric ? 1 : 0);
    for (int k = 0; k <= start && k < wh; ++k) {
        const Sum p = value(src[k * ww + x]);
        const float4 t = phaseAt(phases, k, wh);
        const Sum pc = modulated ? dsMul(p, t.x, t.y) : weighted;
        const Sum ps = modulated ? dsMul(p, t.z, t.w) : weighted;
        if (k <= r) {
            const float w = float(r + 1 - k);
            weighted = dsAdd(weighted, scaled(p, w));
            if (modulated) {
                wc = dsAdd(wc, scaled(pc, w));
                ws = dsAdd(ws, scaled(ps, w));
            }
        }
        if (!symmetric || k == 0) {
            left = dsAdd(left, p);
            if (modulated) {
                lc = dsAdd(lc, pc);
                ls = dsAdd(ls, ps);
            }
        } else {
            right = dsAdd(right, p);
            if (modulated) {
                rc = dsAdd(rc, pc);
                rs = dsAdd(rs, ps);
            }
        }
    }
    for (int y = 0; y < wh; ++y) {
        Sum result = weighted;
        if (modulated) {
            const float4 t = phaseAt(phases, y, wh);
            const Sum banding = dsAdd(dsMul(wc, t.x, t.y), dsMul(ws, t.z, t.w));
            result = dsAdd(result, dsMul(banding, P.modulation, P.modulationLo));
        }
        dst[y * ww + x] = bounded(result, P.inverseHi, P.inverseLo);

        const int in = y + r + (symmetric ? 2 : 1);
        const Sum incoming = value(pixel(src, x, in, ww, wh, 3));
        const float4 ti = phaseAt(phases, in, wh);
        const Sum ic = modulated ? dsMul(incoming, ti.x, ti.y) : incoming;
        const Sum is = modulated ? dsMul(incoming, ti.z, ti.w) : incoming;
        if (symmetric) {
            weighted = dsAdd(weighted, dsSub(right, left));
            const Sum mid = value(pixel(src, x, y + 1, ww, wh, 3));
            const Sum old = value(pixel(src, x, y - r, ww, wh, 3));
            left = dsAdd(left, dsSub(mid, old));
            right = dsAdd(right, dsSub(incoming, mid));
            if (modulated) {
                wc = dsAdd(wc, dsSub(rc, lc));
                ws = dsAdd(ws, dsSub(rs, ls));
                const float4 tm = phaseAt(phases, y + 1, wh);
                const float4 to = phaseAt(phases, y - r, wh);
                const Sum mc = dsMul(mid, tm.x, tm.y), msn = dsMul(mid, tm.z, tm.w);
                const Sum oc = dsMul(old, to.x, to.y), osn = dsMul(old, to.z, to.w);
                lc = dsAdd(lc, dsSub(mc, oc));
                ls = dsAdd(ls, dsSub(msn, osn));
                rc = dsAdd(rc, dsSub(ic, mc));
                rs = dsAdd(rs, dsSub(is, msn));
            }
        } else {
            const Sum now = value(pixel(src, x, y, ww, wh, 3));
            left = dsAdd(dsSub(left, now), incoming);
            weighted = dsAdd(dsSub(weighted, scaled(now, float(r + 1))), left);
            if (modulated) {
                const float4 tn = phaseAt(phases, y, wh);
                const Sum nc = dsMul(now, tn.x, tn.y), nsn = dsMul(now, tn.z, tn.w);
                lc = dsAdd(dsSub(lc, nc), ic);
                ls = dsAdd(dsSub(ls, nsn), is);
                wc = dsAdd(dsSub(wc, scaled(nc, float(r + 1))), lc);
                ws = dsAdd(dsSub(ws, scaled(nsn, float(r + 1))), ls);
            }
        }
    }
}

kernel void verticalSimple(device const float4* blurred [[buffer(0)]],
                           device float4* streaks [[buffer(1)]],
                           constant Params& P [[buffer(3)]],
                           device const float4* phases [[buffer(4)]],
                           uint gid [[thread_position_in_grid]]) {
    if (gid >= uint(P.ww)) return;
    verticalColumn(blurred, streaks, phases, P, int(gid), false);
}

kernel void verticalModulated(device const float4* blurred [[buffer(0)]],
                              device float4* streaks [[buffer(1)]],
                              constant Params& P [[buffer(3)]],
                              device const float4* phases [[buffer(4)]],
                              uint gid [[thread_position_in_grid]]) {
    if (gid >= uint(P.ww)) return;
    verticalColumn(blurred, streaks, phases, P, int(gid), true);
}

static inline float4 detailed(device const float4* streaks, device const float* factors,
                              constant Params& P, int i, int j) {
    if (i < 0 || i >= P.ww || j < 0 || j >= P.wh) return float4(0.0f);
    const float4 p = streaks[j * P.ww + i];
    return P.details > 0.0f ? p * factors[i] : p;
}

kernel void cropSource(device const float4* streaks [[buffer(0)]],
                       device float4* colour [[buffer(1)]],
                       constant Params& P [[buffer(3)]],
                       device const float* factors [[buffer(5)]],
                       uint2 gid [[thread_position_in_grid]]) {
    if (gid.x >= uint(P.cw) || gid.y >= uint(P.ch)) return;
    const int x = int(gid.x);
    const int y = int(gid.y);
    device float4* out = colour + y * P.cw + x;
    if (P.noSpatial != 0) {
        *out = pixel(streaks, x - P.margin, y - P.margin, P.kw, P.kh, P.edge);
        return;
    }
    const float dx = float(x - P.margin) - float(P.kw - 1) * 0.5f;
    const float dy = float(y - P.margin) - float(P.kh - 1) * 0.5f;
    const float X = rdImageToCanvasX(P.cs, P.sn, dx, dy, P.ox);
    const float Y = rdImageToCanvasY(P.cs, P.sn, dx, dy, P.oy);
    if (P.quarter != 0) {
        *out = detailed(streaks, factors, P, int(X), int(Y));
        return;
    }
    const float fa = floor(X);
    const float fb = floor(Y);
    const int a = int(fa);
    const int b = int(fb);
    const float fx = X - fa;
    const float fy = Y - fb;
    *out = rdBilinear(detailed(streaks, factors, P, a, b), detailed(streaks, factors, P, a + 1, b),
                      detailed(streaks, factors, P, a, b + 1), detailed(streaks, factors, P, a + 1, b + 1), fx, fy);
}

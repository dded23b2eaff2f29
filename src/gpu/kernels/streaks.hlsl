// Direct3D streak kernels: the matte view, rotation into the streak-aligned work image,
// the horizontal box (direct, prefix and window as the CPU does it, or a running sum in
// double precision), the vertical profile (direct, or running sums in double precision,
// with or without the diffraction banding), the crop back, the margin-only extension and
// the upscale of a quarter-resolution result. One thread per pixel (16 × 16 groups) or per
// row or column (groups of 64).
#define RD_DIV(a, b) ((a) / (b))
#include "gpu/kernels/hlsl_common.hlsl"

RD_CONSTANTS(Settings, b0)
    Params P;
RD_END_CONSTANTS(Settings)
RD_RESOURCE(StructuredBuffer<float4>, source, t0);
RD_RESOURCE(StructuredBuffer<float4>, phases, t1);
RD_RESOURCE(StructuredBuffer<float>, factors, t2);
RD_RESOURCE(RWStructuredBuffer<float4>, target, u0);

RD_KERNEL(16, 16)
void rotate(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.ww) || id.y >= uint(P.wh)) return;
    precise const float u = float(int(id.x)) + P.ox;
    precise const float v = float(int(id.y)) + P.oy;
    precise const float X = rdCanvasToImageX(P.cs, P.sn, u, v, float(P.kw - 1) * 0.5f);
    precise const float Y = rdCanvasToImageY(P.cs, P.sn, u, v, float(P.kh - 1) * 0.5f);
    target[int(id.y) * P.ww + int(id.x)] = P.quarter != 0 ? pixelAt(source, int(X), int(Y), P.kw, P.kh, P.edge)
                                                          : sampleAt(source, X, Y, P.kw, P.kh, P.edge);
}

// The box across the streak summed directly, in float: for radii too small to need a
// running sum.
RD_KERNEL(16, 16)
void horizontal(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.ww) || id.y >= uint(P.wh)) return;
    const int x = int(id.x);
    const int y = int(id.y);
    const int first = max(0, x - P.radius);
    const int end = min(P.ww, x + P.radius + 1);
    precise float4 sum = kZero;
    for (int i = first; i < end; ++i) sum = sum + source[y * P.ww + i];
    precise const float4 value = sum * P.hInverseHi;
    target[y * P.ww + x] = value;
}

static float4 phaseAt(int k) { return k >= 0 && k < P.wh ? phases[k] : kZero; }

// The vertical profile summed directly, in float, for devices without double precision:
// weights r + 1 − |k| over the rows ahead (and, symmetric, behind), banded by
// 1 + modulation·cos(step·k) when diffraction modulates, normalised once.
RD_KERNEL(16, 16)
void vertical(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.ww) || id.y >= uint(P.wh)) return;
    const int x = int(id.x);
    const int y = int(id.y);
    const int from = P.symmetric != 0 ? -P.r : 0;
    precise float4 sum = kZero;
    for (int k = from; k <= P.r; ++k) {
        precise float w = float(P.r + 1 - abs(k));
        if (P.modulation > 0.0f) w = w * (1.0f + P.modulation * phaseAt(abs(k)).x);
        sum = sum + pixelAt(source, x, y + k, P.ww, P.wh, 3) * w;
    }
    precise const float4 value = sum * P.inverseHi;
    target[y * P.ww + x] = boundedStreak(value);
}

static float4 detailed(int i, int j) {
    if (i < 0 || i >= P.ww || j < 0 || j >= P.wh) return kZero;
    precise const float4 p = source[j * P.ww + i];
    precise const float4 scaledP = p * factors[i];
    return P.details > 0.0f ? scaledP : p;
}

RD_KERNEL(16, 16)
void crop(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.cw) || id.y >= uint(P.ch)) return;
    const int x = int(id.x);
    const int y = int(id.y);
    const int o = y * P.cw + x;
    if (P.noSpatial != 0) {
        target[o] = pixelAt(source, x - P.margin, y - P.margin, P.kw, P.kh, P.edge);
        return;
    }
    precise const float dx = float(x - P.margin) - float(P.kw - 1) * 0.5f;
    precise const float dy = float(y - P.margin) - float(P.kh - 1) * 0.5f;
    precise const float X = rdImageToCanvasX(P.cs, P.sn, dx, dy, P.ox);
    precise const float Y = rdImageToCanvasY(P.cs, P.sn, dx, dy, P.oy);
    if (P.quarter != 0) {
        target[o] = detailed(int(X), int(Y));
        return;
    }
    precise const float fa = floor(X);
    precise const float fb = floor(Y);
    const int a = int(fa);
    const int b = int(fb);
    precise const float4 p = rdBilinear(detailed(a, b), detailed(a + 1, b), detailed(a, b + 1),
                                        detailed(a + 1, b + 1), X - fa, Y - fb);
    target[o] = p;
}

// A quarter-resolution result resampled to the full canvas, as the compositor reads it.
RD_KERNEL(16, 16)
void upscale(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.iw) || id.y >= uint(P.ih)) return;
    precise const float X = rdResampleCoordinate(float(int(id.x)), P.sx, 0.0f);
    precise const float Y = rdResampleCoordinate(float(int(id.y)), P.sy, 0.0f);
    target[int(id.y) * P.iw + int(id.x)] = sampleAt(source, X, Y, P.kw, P.kh, 1);
}

// The box across the streak as a running sum in double precision along the row.
RD_KERNEL(64, 1)
void horizontalRolling(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.wh)) return;
    const int y = int(id.x);
    const double inverse = double(P.hInverseHi) + double(P.hInverseLo);
    precise double4 sum = double4(0.0, 0.0, 0.0, 0.0);
    const int last = min(P.radius, P.ww - 1);
    for (int x0 = 0; x0 <= last; ++x0) sum = sum + double4(source[y * P.ww + x0]);
    for (int x = 0; x < P.ww; ++x) {
        precise const double4 q = sum * inverse;
        target[y * P.ww + x] = float4(q);
        sum = sum - double4(pixelAt(source, x - P.radius, y, P.ww, P.wh, 3));
        sum = sum + double4(pixelAt(source, x + P.radius + 1, y, P.ww, P.wh, 3));
    }
}

static double4 phaseTerm(double4 p, float hi, float lo) { return p * (double(hi) + double(lo)); }

static double4 rowAt(int x, int y) { return double4(pixelAt(source, x, y, P.ww, P.wh, 3)); }

// The triangular profile down one column in constant time per row: `weighted` is the
// profile-weighted sum, `left` and `right` the plain sums of the two slopes, all in
// double precision as on the CPU. With `modulated`, the same sums of p·cos and p·sin of
// the row phase give the diffraction banding through cos(a − b) = cos a·cos b + sin a·sin b.
static void verticalColumn(int x, bool modulated) {
    const int wh = P.wh;
    const int r = P.r;
    const bool symmetric = P.symmetric != 0;
    const double inverse = double(P.inverseHi) + double(P.inverseLo);
    const double modulation = double(P.modulation) + double(P.modulationLo);
    const double4 zero = double4(0.0, 0.0, 0.0, 0.0);
    precise double4 weighted = zero, left = zero, right = zero;
    precise double4 wc = zero, ws = zero, lc = zero, ls = zero, rc = zero, rs = zero;
    const int start = r + (symmetric ? 1 : 0);
    for (int k = 0; k <= start && k < wh; ++k) {
        const double4 p = rowAt(x, k);
        const float4 t = phaseAt(k);
        const double4 pc = modulated ? phaseTerm(p, t.x, t.y) : zero;
        const double4 ps = modulated ? phaseTerm(p, t.z, t.w) : zero;
        if (k <= r) {
            const double w = double(r + 1 - k);
            weighted = weighted + w * p;
            wc = wc + w * pc;
            ws = ws + w * ps;
        }
        if (!symmetric || k == 0) {
            left = left + p;
            lc = lc + pc;
            ls = ls + ps;
        } else {
            right = right + p;
            rc = rc + pc;
            rs = rs + ps;
        }
    }
    for (int y = 0; y < wh; ++y) {
        precise double4 result = weighted;
        if (modulated) {
            const float4 t = phaseAt(y);
            result = result + (phaseTerm(wc, t.x, t.y) + phaseTerm(ws, t.z, t.w)) * modulation;
        }
        precise const double4 q = result * inverse;
        target[y * P.ww + x] = boundedStreak(float4(q));

        const int incomingRow = y + r + (symmetric ? 2 : 1);
        const double4 incoming = rowAt(x, incomingRow);
        const float4 ti = phaseAt(incomingRow);
        const double4 ic = phaseTerm(incoming, ti.x, ti.y);
        const double4 is = phaseTerm(incoming, ti.z, ti.w);
        if (symmetric) {
            const double4 mid = rowAt(x, y + 1);
            const double4 old = rowAt(x, y - r);
            weighted = weighted + (right - left);
            left = left + (mid - old);
            right = right + (incoming - mid);
            if (modulated) {
                const float4 tm = phaseAt(y + 1);
                const float4 to = phaseAt(y - r);
                const double4 mc = phaseTerm(mid, tm.x, tm.y), msn = phaseTerm(mid, tm.z, tm.w);
                const double4 oc = phaseTerm(old, to.x, to.y), osn = phaseTerm(old, to.z, to.w);
                wc = wc + (rc - lc);
                ws = ws + (rs - ls);
                lc = lc + (mc - oc);
                ls = ls + (msn - osn);
                rc = rc + (ic - mc);
                rs = rs + (is - msn);
            }
        } else {
            const double4 now = rowAt(x, y);
            left = (left - now) + incoming;
            weighted = (weighted - now * double(r + 1)) + left;
            if (modulated) {
                const float4 tn = phaseAt(y);
                const double4 nc = phaseTerm(now, tn.x, tn.y), nsn = phaseTerm(now, tn.z, tn.w);
                lc = (lc - nc) + ic;
                ls = (ls - nsn) + is;
                wc = (wc - nc * double(r + 1)) + lc;
                ws = (ws - nsn * double(r + 1)) + ls;
            }
        }
    }
}

RD_KERNEL(64, 1)
void verticalRolling(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.ww)) return;
    verticalColumn(int(id.x), false);
}

// A frame that needs only its margin: the selection placed into the larger canvas.
RD_KERNEL(16, 16)
void extendOriginal(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.cw) || id.y >= uint(P.ch)) return;
    target[int(id.y) * P.cw + int(id.x)] =
        pixelAt(source, int(id.x) - P.margin, int(id.y) - P.margin, P.kw, P.kh, P.edge);
}

RD_KERNEL(64, 1)
void verticalModulatedRolling(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.ww)) return;
    verticalColumn(int(id.x), true);
}

// The Matte view: the mask times the clamped alpha, as opaque grey.
RD_KERNEL(16, 16)
void luminanceMatte(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.iw) || id.y >= uint(P.ih)) return;
    const int i = int(id.y) * P.iw + int(id.x);
    const float4 base = source[i];
    precise const float m = base.w > 1e-6f ? maskOf(base, P) * rdSat(base.w) : 0.0f;
    target[i] = float4(m, m, m, 1.0f);
}

// The CPU's box in two steps: float prefix sums along each row (ww + 1 per row) ...
RD_KERNEL(64, 1)
void horizontalCpuPrefix(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.wh)) return;
    const int y = int(id.x);
    const int row = y * (P.ww + 1);
    precise float4 sum = kZero;
    target[row] = sum;
    for (int x = 0; x < P.ww; ++x) {
        sum = sum + source[y * P.ww + x];
        target[row + x + 1] = sum;
    }
}

// ... then the window differences times the float inverse of the window.
RD_KERNEL(16, 16)
void horizontalCpuWindow(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.ww) || id.y >= uint(P.wh)) return;
    const int x = int(id.x);
    const int y = int(id.y);
    const int first = max(0, x - P.radius);
    const int end = min(P.ww, x + P.radius + 1);
    const int row = y * (P.ww + 1);
    precise const float4 value = (source[row + end] - source[row + first]) * P.hInverseHi;
    target[y * P.ww + x] = value;
}

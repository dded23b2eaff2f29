// The kernels of the CUDA and OpenCL back ends. The per-pixel formulas are the engine's
// own headers, as in the Metal source; the sums the CPU carries in double are doubles
// here. Every kernel takes the same arguments, so the host side sets them in one place:
// src and dst images, the imported canvas, the frame constants, a table of doubles (the
// vertical and horizontal normalisations, the modulation amount and per-row phases),
// the per-column details factors, the flags word, the host's input and output bytes and
// the host frame constants.
#include "image/pixel_math.h"
#include "image/streak_math.h"
#include "image/color_math.h"
#include "image/blend_math.h"
#include "gpu/kernels/scalar_math.h"

typedef struct Params Params;
typedef struct HostParams HostParams;

#define RD_ARGS                                                                                   \
    RD_GLOBAL const RdRgba *src, RD_GLOBAL RdRgba *dst, RD_GLOBAL const RdRgba *original, Params P, \
        RD_GLOBAL const double *table, RD_GLOBAL const float *factors, RD_GLOBAL uint *flags,      \
        RD_GLOBAL const uchar *hostIn, RD_GLOBAL uchar *hostOut, HostParams H

// The double table: vertical normalisation, modulation amount, horizontal normalisation,
// then cosine and sine of each work row's phase.
#define RD_INVERSE 0
#define RD_MODULATION 1
#define RD_HINVERSE 2
#define RD_PHASES 3

typedef struct {
    double r, g, b, a;
} RdSum;

RD_FN RdRgba rdZero(void) { return rdRgba(0.0f, 0.0f, 0.0f, 0.0f); }
RD_FN RdRgba rdAdd(RdRgba a, RdRgba b) { return rdRgba(a.r + b.r, a.g + b.g, a.b + b.b, a.a + b.a); }
RD_FN RdRgba rdSub(RdRgba a, RdRgba b) { return rdRgba(a.r - b.r, a.g - b.g, a.b - b.b, a.a - b.a); }
RD_FN RdRgba rdScale(RdRgba a, float s) { return rdRgba(a.r * s, a.g * s, a.b * s, a.a * s); }
RD_FN RdRgba rdLerpPx(RdRgba a, RdRgba b, float t) {
    return rdRgba(rdLerp(a.r, b.r, t), rdLerp(a.g, b.g, t), rdLerp(a.b, b.b, t), rdLerp(a.a, b.a, t));
}

RD_FN RdSum sumZero(void) {
    RdSum s = {0.0, 0.0, 0.0, 0.0};
    return s;
}
RD_FN RdSum sumOf(RdRgba p, double k) {
    RdSum s = {(double)p.r * k, (double)p.g * k, (double)p.b * k, (double)p.a * k};
    return s;
}
RD_FN RdSum sumAdd(RdSum a, RdSum b) {
    RdSum s = {a.r + b.r, a.g + b.g, a.b + b.b, a.a + b.a};
    return s;
}
RD_FN RdSum sumSub(RdSum a, RdSum b) {
    RdSum s = {a.r - b.r, a.g - b.g, a.b - b.b, a.a - b.a};
    return s;
}
RD_FN RdSum sumScale(RdSum a, double k) {
    RdSum s = {a.r * k, a.g * k, a.b * k, a.a * k};
    return s;
}
RD_FN RdRgba sumRound(RdSum a, double k) {
    return rdRgba((float)(a.r * k), (float)(a.g * k), (float)(a.b * k), (float)(a.a * k));
}

RD_FN RdRgba pixelAt(RD_GLOBAL const RdRgba *buffer, int x, int y, int w, int h, int edge) {
    x = rdMapped(x, w, edge);
    y = rdMapped(y, h, edge);
    if (x < 0 || x >= w || y < 0 || y >= h) return rdZero();
    return buffer[y * w + x];
}

RD_FN RdRgba sampleAt(RD_GLOBAL const RdRgba *buffer, float x, float y, int w, int h, int edge) {
    const float fa = RD_FLOOR(x);
    const float fb = RD_FLOOR(y);
    const int a = (int)fa;
    const int b = (int)fb;
    const float fx = x - fa;
    const float fy = y - fb;
    return rdLerpPx(rdLerpPx(pixelAt(buffer, a, b, w, h, edge), pixelAt(buffer, a + 1, b, w, h, edge), fx),
                    rdLerpPx(pixelAt(buffer, a, b + 1, w, h, edge), pixelAt(buffer, a + 1, b + 1, w, h, edge), fx),
                    fy);
}

RD_FN float maskOf(RdRgba p, Params P) {
    const float v = rdLumaPremultiplied(p.r, p.g, p.b, p.a);
    return rdLuminanceRangeMask(v, P.lowCut, P.lowFeather, P.highCut, P.highFeather, P.reserved0 != 0.0f ? 1 : 0);
}

// IEEE binary16 with round-to-nearest-even; infinities and NaNs kept.
RD_FN ushort halfFromFloat(float f) {
    const uint u = RD_AS_UINT(f);
    const uint sign = (u >> 16) & 0x8000u;
    const uint magnitude = u & 0x7fffffffu;
    if (magnitude >= 0x7f800000u) return (ushort)(sign | 0x7c00u | (magnitude > 0x7f800000u ? 0x200u : 0u));
    if (magnitude >= 0x477ff000u) return (ushort)(sign | 0x7c00u);
    if (magnitude < 0x38800000u) {
        if (magnitude < 0x33000000u) return (ushort)sign;
        const uint mantissa = (magnitude & 0x7fffffu) | 0x800000u;
        const int shift = 126 - (int)(magnitude >> 23);
        const uint q = mantissa >> shift;
        const uint rest = mantissa & ((1u << shift) - 1u);
        const uint mid = 1u << (shift - 1);
        return (ushort)(sign | (q + ((rest > mid || (rest == mid && (q & 1u))) ? 1u : 0u)));
    }
    const uint rebased = magnitude - 0x38000000u;
    const uint q = rebased >> 13;
    const uint rest = rebased & 0x1fffu;
    return (ushort)(sign | (q + ((rest > 0x1000u || (rest == 0x1000u && (q & 1u))) ? 1u : 0u)));
}

RD_FN float halfToFloat(ushort h) {
    const uint sign = (uint)(h & 0x8000u) << 16;
    const uint exponent = (h >> 10) & 0x1fu;
    uint mantissa = h & 0x3ffu;
    uint u;
    if (exponent == 0x1fu) {
        u = sign | 0x7f800000u | (mantissa << 13);
    } else if (exponent != 0u) {
        u = sign | ((exponent + 112u) << 23) | (mantissa << 13);
    } else if (mantissa == 0u) {
        u = sign;
    } else {
        uint e = 113u;
        while ((mantissa & 0x400u) == 0u) {
            mantissa <<= 1;
            --e;
        }
        u = sign | (e << 23) | ((mantissa & 0x3ffu) << 13);
    }
    return RD_AS_FLOAT(u);
}

// One host pixel (blue, green, red, alpha; half or float) as premultiplied RGBA.
RD_FN RdRgba hostPixel(RD_GLOBAL const uchar *input, HostParams H, int x, int y) {
    if (x < 0 || x >= H.sw || y < 0 || y >= H.sh) return rdZero();
    RD_GLOBAL const uchar *row = input + (rd_long)y * (rd_long)H.inPitch;
    float c[4];
    if (H.halfPixels != 0) {
        RD_GLOBAL const ushort *h = (RD_GLOBAL const ushort *)row + 4 * x;
        for (int k = 0; k < 4; ++k) c[k] = halfToFloat(h[k]);
    } else {
        RD_GLOBAL const float *f = (RD_GLOBAL const float *)row + 4 * x;
        for (int k = 0; k < 4; ++k) c[k] = f[k];
    }
    RdRgba p = rdRgba(c[2], c[1], c[0], c[3]);
    if (H.ae == 0) {
        const float a = rdSat(p.a);
        p = rdRgba(p.r * a, p.g * a, p.b * a, a);
    }
    return p;
}

RD_KERNEL prepare(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= H.w || y >= H.h) return;
    dst[y * H.w + x] = hostPixel(hostIn, H, x - H.sx, y - H.sy);
}

RD_KERNEL selectFrame(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.kw || y >= P.kh) return;
    uint bits = 0u;
    RdRgba sum = rdZero();
    int count = 0;
    for (int j = 0; j < P.factor; ++j) {
        for (int i = 0; i < P.factor; ++i) {
            const int sx = x * P.factor + i;
            const int sy = y * P.factor + j;
            if (sx >= P.iw || sy >= P.ih) continue;
            const RdRgba p = src[sy * P.iw + sx];
            if (p.a < 0.9999f) bits |= 1u;
            const RdRgba s = rdScale(p, maskOf(p, P));
            // One pixel per block is the selection itself: no addition to zero, so the
            // sign of a zero survives.
            sum = P.factor == 1 ? s : rdAdd(sum, s);
            count += 1;
        }
    }
    dst[y * P.kw + x] = P.factor == 1 ? sum : rdScale(sum, RD_DIV(1.0f, (float)count));
    if (bits != 0u) RD_ATOMIC_OR(flags, bits);
}

RD_KERNEL RD_ROTATE(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.ww || y >= P.wh) return;
    const float u = (float)x + P.ox;
    const float v = (float)y + P.oy;
    const float X = rdCanvasToImageX(P.cs, P.sn, u, v, (float)(P.kw - 1) * 0.5f);
    const float Y = rdCanvasToImageY(P.cs, P.sn, u, v, (float)(P.kh - 1) * 0.5f);
    dst[y * P.ww + x] = P.quarter != 0 ? pixelAt(src, (int)X, (int)Y, P.kw, P.kh, P.edge)
                                       : sampleAt(src, X, Y, P.kw, P.kh, P.edge);
}

// The window of one output pixel summed directly in double.
RD_KERNEL horizontal(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.ww || y >= P.wh) return;
    const int first = x - P.radius < 0 ? 0 : x - P.radius;
    const int last = x + P.radius < P.ww - 1 ? x + P.radius : P.ww - 1;
    RdSum sum = sumZero();
    for (int k = first; k <= last; ++k) sum = sumAdd(sum, sumOf(src[y * P.ww + k], 1.0));
    dst[y * P.ww + x] = sumRound(sum, table[RD_HINVERSE]);
}

// One row per thread: the window's sum carried along the row in double.
RD_KERNEL horizontalRolling(RD_ARGS) {
    const int y = RD_GX;
    if (y >= P.wh) return;
    RdSum sum = sumZero();
    const int last = P.radius < P.ww - 1 ? P.radius : P.ww - 1;
    for (int x = 0; x <= last; ++x) sum = sumAdd(sum, sumOf(src[y * P.ww + x], 1.0));
    for (int x = 0; x < P.ww; ++x) {
        dst[y * P.ww + x] = sumRound(sum, table[RD_HINVERSE]);
        sum = sumSub(sum, sumOf(pixelAt(src, x - P.radius, y, P.ww, P.wh, 3), 1.0));
        sum = sumAdd(sum, sumOf(pixelAt(src, x + P.radius + 1, y, P.ww, P.wh, 3), 1.0));
    }
}

// Prefix sums in float, in the CPU's order, then window differences.
RD_KERNEL horizontalPrefix(RD_ARGS) {
    const int y = RD_GX;
    if (y >= P.wh) return;
    RD_GLOBAL RdRgba *row = dst + y * (P.ww + 1);
    RD_GLOBAL const RdRgba *in = src + y * P.ww;
    RdRgba sum = rdZero();
    row[0] = sum;
    for (int x = 0; x < P.ww; ++x) {
        sum = rdAdd(sum, in[x]);
        row[x + 1] = sum;
    }
}

RD_KERNEL horizontalWindow(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.ww || y >= P.wh) return;
    const int first = x - P.radius < 0 ? 0 : x - P.radius;
    const int end = x + P.radius + 1 < P.ww ? x + P.radius + 1 : P.ww;
    RD_GLOBAL const RdRgba *row = src + y * (P.ww + 1);
    dst[y * P.ww + x] = rdScale(rdSub(row[end], row[first]), P.hInverseHi);
}

RD_FN RdRgba bounded(RdSum a, double inverse) {
    RdRgba out = sumRound(a, inverse);
    out.r = out.r > 0.0f ? out.r : 0.0f;
    out.g = out.g > 0.0f ? out.g : 0.0f;
    out.b = out.b > 0.0f ? out.b : 0.0f;
    out.a = out.a > 0.0f ? (out.a > 1.0f ? 1.0f : out.a) : 0.0f;
    return out;
}

// The streak profile at one pixel summed directly: weights r + 1 − |k| over the reach
// (both sides when symmetric).
RD_KERNEL vertical(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.ww || y >= P.wh) return;
    RdSum sum = sumZero();
    for (int k = P.symmetric != 0 ? -P.r : 0; k <= P.r; ++k) {
        const int row = y + k;
        if (row < 0 || row >= P.wh) continue;
        sum = sumAdd(sum, sumOf(src[row * P.ww + x], (double)(P.r + 1 - (k < 0 ? -k : k))));
    }
    dst[y * P.ww + x] = bounded(sum, table[RD_INVERSE]);
}

RD_FN double phaseCos(RD_GLOBAL const double *table, int k, int wh) {
    return k >= 0 && k < wh ? table[RD_PHASES + 2 * k] : 0.0;
}
RD_FN double phaseSin(RD_GLOBAL const double *table, int k, int wh) {
    return k >= 0 && k < wh ? table[RD_PHASES + 2 * k + 1] : 0.0;
}

// The triangular profile down one column in constant time per row: `weighted` is the
// profile-weighted sum, `left` and `right` the plain sums of the two slopes. With
// `modulated`, the same sums of p·cos and p·sin of the row phase give the diffraction
// banding through cos(a − b) = cos a·cos b + sin a·sin b.
RD_FN void verticalColumn(RD_GLOBAL const RdRgba *s, RD_GLOBAL RdRgba *d, RD_GLOBAL const double *table, Params P,
                          int x, int modulated) {
    const int wh = P.wh, ww = P.ww, r = P.r;
    const int symmetric = P.symmetric != 0;
    RdSum weighted = sumZero(), left = sumZero(), right = sumZero();
    RdSum wc = sumZero(), ws = sumZero(), lc = sumZero(), ls = sumZero(), rc = sumZero(), rs = sumZero();
    const int start = r + (symmetric ? 1 : 0);
    for (int k = 0; k <= start && k < wh; ++k) {
        const RdRgba p = s[k * ww + x];
        const RdSum pc = sumOf(p, phaseCos(table, k, wh));
        const RdSum ps = sumOf(p, phaseSin(table, k, wh));
        if (k <= r) {
            const double w = (double)(r + 1 - k);
            weighted = sumAdd(weighted, sumOf(p, w));
            wc = sumAdd(wc, sumScale(pc, w));
            ws = sumAdd(ws, sumScale(ps, w));
        }
        if (!symmetric || k == 0) {
            left = sumAdd(left, sumOf(p, 1.0));
            lc = sumAdd(lc, pc);
            ls = sumAdd(ls, ps);
        } else {
            right = sumAdd(right, sumOf(p, 1.0));
            rc = sumAdd(rc, pc);
            rs = sumAdd(rs, ps);
        }
    }
    for (int y = 0; y < wh; ++y) {
        RdSum result = weighted;
        if (modulated) {
            const RdSum banding = sumAdd(sumScale(wc, phaseCos(table, y, wh)), sumScale(ws, phaseSin(table, y, wh)));
            result = sumAdd(result, sumScale(banding, table[RD_MODULATION]));
        }
        d[y * ww + x] = bounded(result, table[RD_INVERSE]);

        const int in = y + r + (symmetric ? 2 : 1);
        const RdRgba incoming = pixelAt(s, x, in, ww, wh, 3);
        const RdSum ic = sumOf(incoming, phaseCos(table, in, wh));
        const RdSum is = sumOf(incoming, phaseSin(table, in, wh));
        if (symmetric) {
            weighted = sumAdd(weighted, sumSub(right, left));
            const RdRgba mid = pixelAt(s, x, y + 1, ww, wh, 3);
            const RdRgba old = pixelAt(s, x, y - r, ww, wh, 3);
            left = sumAdd(left, sumSub(sumOf(mid, 1.0), sumOf(old, 1.0)));
            right = sumAdd(right, sumSub(sumOf(incoming, 1.0), sumOf(mid, 1.0)));
            if (modulated) {
                wc = sumAdd(wc, sumSub(rc, lc));
                ws = sumAdd(ws, sumSub(rs, ls));
                const RdSum mc = sumOf(mid, phaseCos(table, y + 1, wh)), msn = sumOf(mid, phaseSin(table, y + 1, wh));
                const RdSum oc = sumOf(old, phaseCos(table, y - r, wh)), osn = sumOf(old, phaseSin(table, y - r, wh));
                lc = sumAdd(lc, sumSub(mc, oc));
                ls = sumAdd(ls, sumSub(msn, osn));
                rc = sumAdd(rc, sumSub(ic, mc));
                rs = sumAdd(rs, sumSub(is, msn));
            }
        } else {
            const RdRgba now = pixelAt(s, x, y, ww, wh, 3);
            left = sumAdd(sumSub(left, sumOf(now, 1.0)), sumOf(incoming, 1.0));
            weighted = sumAdd(sumSub(weighted, sumOf(now, (double)(r + 1))), left);
            if (modulated) {
                const RdSum nc = sumOf(now, phaseCos(table, y, wh)), nsn = sumOf(now, phaseSin(table, y, wh));
                lc = sumAdd(sumSub(lc, nc), ic);
                ls = sumAdd(sumSub(ls, nsn), is);
                wc = sumAdd(sumSub(wc, sumScale(nc, (double)(r + 1))), lc);
                ws = sumAdd(sumSub(ws, sumScale(nsn, (double)(r + 1))), ls);
            }
        }
    }
}

RD_KERNEL verticalRolling(RD_ARGS) {
    const int x = RD_GX;
    if (x >= P.ww) return;
    verticalColumn(src, dst, table, P, x, 0);
}

RD_KERNEL verticalModulated(RD_ARGS) {
    const int x = RD_GX;
    if (x >= P.ww) return;
    verticalColumn(src, dst, table, P, x, 1);
}

RD_FN RdRgba detailed(RD_GLOBAL const RdRgba *streaks, RD_GLOBAL const float *f, Params P, int i, int j) {
    if (i < 0 || i >= P.ww || j < 0 || j >= P.wh) return rdZero();
    const RdRgba p = streaks[j * P.ww + i];
    return P.details > 0.0f ? rdScale(p, f[i]) : p;
}

RD_KERNEL crop(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.cw || y >= P.ch) return;
    const float dx = (float)(x - P.margin) - (float)(P.kw - 1) * 0.5f;
    const float dy = (float)(y - P.margin) - (float)(P.kh - 1) * 0.5f;
    const float X = rdImageToCanvasX(P.cs, P.sn, dx, dy, P.ox);
    const float Y = rdImageToCanvasY(P.cs, P.sn, dx, dy, P.oy);
    RD_GLOBAL RdRgba *out = dst + y * P.cw + x;
    if (P.quarter != 0) {
        *out = detailed(src, factors, P, (int)X, (int)Y);
        return;
    }
    const float fa = RD_FLOOR(X);
    const float fb = RD_FLOOR(Y);
    const int a = (int)fa;
    const int b = (int)fb;
    const float fx = X - fa;
    const float fy = Y - fb;
    *out = rdLerpPx(rdLerpPx(detailed(src, factors, P, a, b), detailed(src, factors, P, a + 1, b), fx),
                    rdLerpPx(detailed(src, factors, P, a, b + 1), detailed(src, factors, P, a + 1, b + 1), fx), fy);
}

// Neither length nor width: the selection, extended by the margin under the edge rule.
RD_KERNEL extendOriginal(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.cw || y >= P.ch) return;
    dst[y * P.cw + x] = pixelAt(src, x - P.margin, y - P.margin, P.kw, P.kh, P.edge);
}

// The quarter-resolution colour image sampled back onto the canvas.
RD_KERNEL upscale(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.iw || y >= P.ih) return;
    dst[y * P.iw + x] =
        P.margin > 0 ? sampleAt(src, rdResampleCoordinate((float)x, P.sx, (float)P.margin),
                                rdResampleCoordinate((float)y, P.sy, (float)P.margin), P.cw, P.ch, 3)
                     : sampleAt(src, rdResampleCoordinate((float)x, P.sx, 0.0f), rdResampleCoordinate((float)y, P.sy, 0.0f),
                                P.kw, P.kh, 1);
}

// Tint is protected (left to composite time, per full-resolution pixel) when some input
// pixel is transparent.
RD_FN int protectedTint(Params P, RD_GLOBAL uint *flags) { return P.tint > 0.0f && (flags[0] & 1u) != 0u; }

RD_FN RdRgba colored(RdRgba p, Params P, float saturation, float amount) {
    return rdColorPixel(p, saturation, amount, P.tr, P.tg, P.tb);
}

RD_KERNEL tintFrame(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.cw || y >= P.ch) return;
    const int i = y * P.cw + x;
    const int protect = protectedTint(P, flags);
    const int defer = protect && P.factor == 4;
    RdRgba p = src[i];
    if (P.saturation != 1.0f || (P.tint != 0.0f && !defer)) p = colored(p, P, P.saturation, protect ? 0.0f : P.tint);
    dst[i] = p;
}

RD_KERNEL chromaticFrame(RD_ARGS) {
    const int x = RD_GX, y = RD_GY;
    if (x >= P.cw || y >= P.ch) return;
    const float fx = (float)x;
    const float fy = (float)y;
    const RdRgba A = sampleAt(src, fx + P.dx, fy + P.dy, P.cw, P.ch, P.edge);
    const RdRgba B = src[y * P.cw + x];
    const RdRgba C = sampleAt(src, fx - P.dx, fy - P.dy, P.cw, P.ch, P.edge);
    RdRgba p = rdChromaticPixel(A, B, C, P.channels);
    if (protectedTint(P, flags) && P.factor != 4) {
        const float baseAlpha = pixelAt(original, x - P.margin, y - P.margin, P.iw, P.ih, P.edge).a;
        p = rdTintPixel(p, P.tint * rdTintScale(baseAlpha), P.tr, P.tg, P.tb);
    }
    dst[y * P.cw + x] = p;
}

// The finished pixel at canvas position (x, y): src is the colour image, up the
// quarter path's canvas-size sample of it.
RD_FN RdRgba composited(RD_GLOBAL const RdRgba *colour, RD_GLOBAL const RdRgba *up, RD_GLOBAL const RdRgba *original,
                        Params P, RD_GLOBAL uint *flags, int x, int y) {
    const int i = y * P.iw + x;
    const RdRgba base = original[i];
    if (P.view == 0) {
        const float m = base.a > 1e-6f ? maskOf(base, P) * rdSat(base.a) : 0.0f;
        return rdRgba(m, m, m, 1.0f);
    }
    const int black = P.view == 3;
    const int alphaView = P.view == 4;
    if (P.opacity <= 0.0f || P.intensity <= 0.0f)
        return black ? rdRgba(0.0f, 0.0f, 0.0f, 1.0f) : (alphaView ? rdZero() : base);
    const int protect = protectedTint(P, flags);
    RdRgba p;
    if (P.margin > 0) {
        if (P.factor == 4) {
            p = up[i];
            if (protect) p = colored(p, P, 1.0f, P.tint * rdTintScale(base.a));
        } else {
            p = colour[(y + P.margin) * P.cw + x + P.margin];
        }
    } else {
        p = P.factor == 4 ? up[i] : colour[i];
        if (P.saturation != 1.0f || P.tint != 0.0f)
            p = colored(p, P, P.saturation, P.tint * (protect ? rdTintScale(base.a) : 1.0f));
    }
    if (black || alphaView) return rdStreakOnly(p, P.opacity, P.intensity, alphaView ? 1 : 0);
    const float alpha = rdStreakCoverage(p.a, P.opacity);
    if (alpha == 0.0f) return base;
    return rdBlendOver(p, base, alpha, P.intensity, P.blend);
}

RD_FN int sameBits(RdRgba a, RdRgba b) {
    return RD_AS_UINT(a.r) == RD_AS_UINT(b.r) && RD_AS_UINT(a.g) == RD_AS_UINT(b.g) &&
           RD_AS_UINT(a.b) == RD_AS_UINT(b.b) && RD_AS_UINT(a.a) == RD_AS_UINT(b.a);
}

// Composites and writes the host's output rectangle: untouched pixels are the input's
// bits where asked, the rest is unpremultiplied where the host wants straight colour.
RD_KERNEL compositeFrame(RD_ARGS) {
    const int i = RD_GX, j = RD_GY;
    if (i >= H.dw || j >= H.dh) return;
    const int x = i + H.dx;
    const int y = j + H.dy;
    const int inCanvas = x >= 0 && x < H.w && y >= 0 && y < H.h;
    RdRgba p = inCanvas ? composited(src, dst, original, P, flags, x, y) : rdZero();
    RD_GLOBAL uchar *row = hostOut + (rd_long)j * (rd_long)H.outPitch;
    const int hx = x - H.sx;
    const int hy = y - H.sy;
    const int pixelBytes = H.halfPixels != 0 ? 8 : 16;
    if (H.copyOriginal != 0 && inCanvas && hx >= 0 && hx < H.sw && hy >= 0 && hy < H.sh &&
        sameBits(p, original[y * H.w + x])) {
        RD_GLOBAL const uchar *from = hostIn + (rd_long)hy * (rd_long)H.inPitch + hx * pixelBytes;
        for (int k = 0; k < pixelBytes; ++k) row[i * pixelBytes + k] = from[k];
        return;
    }
    p.a = rdSat(p.a);
    if (H.straightOut != 0) {
        const float k = p.a > 1e-6f ? RD_DIV(1.0f, p.a) : 0.0f;
        p = rdRgba(p.r * k, p.g * k, p.b * k, p.a);
    }
    const float c[4] = {p.b, p.g, p.r, p.a};
    if (H.halfPixels != 0) {
        RD_GLOBAL ushort *o = (RD_GLOBAL ushort *)row + 4 * i;
        for (int k = 0; k < 4; ++k) o[k] = halfFromFloat(c[k]);
    } else {
        RD_GLOBAL float *o = (RD_GLOBAL float *)row + 4 * i;
        for (int k = 0; k < 4; ++k) o[k] = c[k];
    }
}

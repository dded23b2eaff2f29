// Colour and compositing kernels: saturation and tint, chromatic aberration with the
// deferred protected tint, and the compositor with its views and blend modes. The
// formulas are the engine's colour and blend headers.
#include "image/color_math.h"
#include "image/blend_math.h"

static inline RdRgba rgba(float4 p) { return rdRgba(p.x, p.y, p.z, p.w); }
static inline float4 vec(RdRgba p) { return float4(p.r, p.g, p.b, p.a); }

// Tint is protected (left to composite time, per full-resolution pixel) when some input
// pixel is transparent.
static inline bool protectedTint(constant Params& P, device atomic_uint* flags) {
    return P.tint > 0.0f && (atomic_load_explicit(flags, memory_order_relaxed) & 1u) != 0u;
}

static inline float4 colored(float4 p, constant Params& P, float saturation, float amount) {
    return vec(rdColorPixel(rgba(p), saturation, amount, P.tr, P.tg, P.tb));
}

kernel void colorSource(device const float4* colour [[buffer(0)]],
                        device float4* temporary [[buffer(1)]],
                        constant Params& P [[buffer(3)]],
                        device atomic_uint* flags [[buffer(6)]],
                        uint2 gid [[thread_position_in_grid]]) {
    if (gid.x >= uint(P.cw) || gid.y >= uint(P.ch)) return;
    const int i = int(gid.y) * P.cw + int(gid.x);
    const bool protect = protectedTint(P, flags);
    const bool defer = protect && P.factor == 4;
    float4 p = colour[i];
    if (P.saturation != 1.0f || (P.tint != 0.0f && !defer)) p = colored(p, P, P.saturation, protect ? 0.0f : P.tint);
    temporary[i] = p;
}

kernel void chromaticSource(device const float4* temporary [[buffer(0)]],
                            device float4* colour [[buffer(1)]],
                            device const float4* original [[buffer(2)]],
                            constant Params& P [[buffer(3)]],
                            device atomic_uint* flags [[buffer(6)]],
                            uint2 gid [[thread_position_in_grid]]) {
    if (gid.x >= uint(P.cw) || gid.y >= uint(P.ch)) return;
    const int x = int(gid.x);
    const int y = int(gid.y);
    const float fx = float(x);
    const float fy = float(y);
    const RdRgba A = rgba(sample(temporary, fx + P.dx, fy + P.dy, P.cw, P.ch, P.edge));
    const RdRgba B = rgba(temporary[y * P.cw + x]);
    const RdRgba C = rgba(sample(temporary, fx - P.dx, fy - P.dy, P.cw, P.ch, P.edge));
    RdRgba p = rdChromaticPixel(A, B, C, P.channels);
    if (protectedTint(P, flags) && P.factor != 4) {
        const float baseAlpha = pixel(original, x - P.margin, y - P.margin, P.iw, P.ih, P.edge).w;
        p = rdTintPixel(p, P.tint * rdTintScale(baseAlpha), P.tr, P.tg, P.tb);
    }
    colour[y * P.cw + x] = vec(p);
}

kernel void compositeFrame(device const float4* colour [[buffer(0)]],
                           device float4* result [[buffer(1)]],
                           device const float4* original [[buffer(2)]],
                           constant Params& P [[buffer(3)]],
                           device atomic_uint* flags [[buffer(6)]],
                           uint2 gid [[thread_position_in_grid]]) {
    if (gid.x >= uint(P.iw) || gid.y >= uint(P.ih)) return;
    const int x = int(gid.x);
    const int y = int(gid.y);
    const int i = y * P.iw + x;
    const float4 base = original[i];
    if (rdNeedsCpu(base, P.intensity)) atomic_fetch_or_explicit(flags, 2u, memory_order_relaxed);
    if (P.view == 0) {
        const float m = base.w > 1e-6f ? mask(base, P) * rdSat(base.w) : 0.0f;
        result[i] = float4(m, m, m, 1.0f);
        return;
    }
    const bool black = P.view == 3;
    const bool alphaView = P.view == 4;
    if (P.opacity <= 0.0f || P.intensity <= 0.0f) {
        result[i] = black ? float4(0.0f, 0.0f, 0.0f, 1.0f) : (alphaView ? float4(0.0f) : base);
        return;
    }
    const bool protect = protectedTint(P, flags);
    float4 p;
    if (P.margin > 0) {
        if (P.factor == 4) {
            p = sample(colour, rdResampleCoordinate(float(x), P.sx, float(P.margin)),
                       rdResampleCoordinate(float(y), P.sy, float(P.margin)), P.cw, P.ch, 3);
            if (protect) p = colored(p, P, 1.0f, P.tint * rdTintScale(base.w));
        } else {
            p = colour[(y + P.margin) * P.cw + x + P.margin];
        }
    } else {
        if (P.factor == 4)
            p = sample(colour, rdResampleCoordinate(float(x), P.sx, 0.0f),
                       rdResampleCoordinate(float(y), P.sy, 0.0f), P.kw, P.kh, 1);
        else
            p = colour[i];
        if (P.saturation != 1.0f || P.tint != 0.0f)
            p = colored(p, P, P.saturation, P.tint * (protect ? rdTintScale(base.w) : 1.0f));
    }
    if (black || alphaView) {
        result[i] = vec(rdStreakOnly(rgba(p), P.opacity, P.intensity, alphaView ? 1 : 0));
        return;
    }
    const float alpha = rdStreakCoverage(p.w, P.opacity);
    if (alpha == 0.0f) {
        result[i] = base;
        return;
    }
    result[i] = vec(rdBlendOver(rgba(p), rgba(base), alpha, P.intensity, P.blend));
}

// Direct3D frame kernels: light selection (with the 4 × 4 reduction of the Performance
// path), saturation and tint, chromatic aberration, the compositor, and the conversion of
// a host world in its own layout into the float canvas. The compositor also writes host
// worlds back in their layout. Needs double precision: its divisions are done in double,
// which rounds them as the CPU's float division does.
#define RD_DIV(a, b) ((float)((double)(a) / (double)(b)))
#include "gpu/kernels/hlsl_common.hlsl"

// Native fields: the input row stride in bytes, the output layout (code + 1; 0 writes the
// engine image `target`), the input layout, and the source and destination rectangles
// as (width, height, x, y) on the canvas.
RD_CONSTANTS(FrameSettings, b1)
    Params P;
    int inStride;
    int outLayout;
    int inLayout;
    int reservedNative;
    int4 sourceRect;
    int4 destinationRect;
RD_END_CONSTANTS(FrameSettings)
RD_RESOURCE(StructuredBuffer<float4>, source, t0);
RD_RESOURCE(StructuredBuffer<float4>, original, t1);
RD_RESOURCE(ByteAddressBuffer, nativeInput, t2);
RD_RESOURCE(RWStructuredBuffer<float4>, target, u0);
RD_RESOURCE(RWStructuredBuffer<uint>, flags, u1);
RD_RESOURCE(RWByteAddressBuffer, nativeOutput, u2);

static RdRgba rgba(float4 p) { return rdRgba(p.x, p.y, p.z, p.w); }
static float4 vec(RdRgba p) { return float4(p.r, p.g, p.b, p.a); }

// Tint is protected (left to composite time, per full-resolution pixel) when some input
// pixel is transparent.
static bool protectedTint() { return P.tint > 0.0f && (flags[0] & 1u) != 0u; }

static float4 colored(float4 p, float saturation, float amount) {
    precise const RdRgba c = rdColorPixel(rgba(p), saturation, amount, P.tr, P.tg, P.tb);
    return vec(c);
}

RD_KERNEL(16, 16)
void selectFrame(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.kw) || id.y >= uint(P.kh)) return;
    const int x = int(id.x);
    const int y = int(id.y);
    uint bits = 0u;
    precise float4 sum = kZero;
    int count = 0;
    for (int j = 0; j < P.factor; ++j) {
        for (int i = 0; i < P.factor; ++i) {
            const int sx = x * P.factor + i;
            const int sy = y * P.factor + j;
            if (sx >= P.iw || sy >= P.ih) continue;
            const float4 p = original[sy * P.iw + sx];
            if (p.w < 0.9999f) bits |= 1u;
            if (rdNeedsCpu(p, P.intensity)) bits |= 2u;
            precise const float4 s = p * maskOf(p, P);
            // One pixel per block is the selection itself: no addition to zero, so the
            // sign of a zero survives.
            sum = P.factor == 1 ? s : sum + s;
            count += 1;
        }
    }
    precise const float4 mean = sum * RD_DIV(1.0f, float(count));
    target[y * P.kw + x] = P.factor == 1 ? sum : mean;
    if (bits != 0u) InterlockedOr(flags[0], bits);
}

RD_KERNEL(16, 16)
void tintFrame(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.cw) || id.y >= uint(P.ch)) return;
    const int i = int(id.y) * P.cw + int(id.x);
    const bool protect = protectedTint();
    const bool defer = protect && P.factor == 4;
    float4 p = source[i];
    if (P.saturation != 1.0f || (P.tint != 0.0f && !defer)) p = colored(p, P.saturation, protect ? 0.0f : P.tint);
    target[i] = p;
}

RD_KERNEL(16, 16)
void chromaticFrame(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.cw) || id.y >= uint(P.ch)) return;
    const int x = int(id.x);
    const int y = int(id.y);
    precise const float fx = float(x);
    precise const float fy = float(y);
    const RdRgba A = rgba(sampleAt(source, fx + P.dx, fy + P.dy, P.cw, P.ch, P.edge));
    const RdRgba B = rgba(source[y * P.cw + x]);
    const RdRgba C = rgba(sampleAt(source, fx - P.dx, fy - P.dy, P.cw, P.ch, P.edge));
    precise RdRgba p = rdChromaticPixel(A, B, C, P.channels);
    if (protectedTint() && P.factor != 4) {
        const float baseAlpha = pixelAt(original, x - P.margin, y - P.margin, P.iw, P.ih, P.edge).w;
        p = rdTintPixel(p, P.tint * rdTintScale(baseAlpha), P.tr, P.tg, P.tb);
    }
    target[y * P.cw + x] = vec(p);
}

// Host layouts: bytes per pixel by code (0 straight BGRA float, 1 straight BGRA 8-bit,
// 2 premultiplied ARGB 8-bit, 3 premultiplied ARGB 16-bit, 4 premultiplied ARGB float).
static uint layoutBytes(int code) { return code == 1 || code == 2 ? 4u : (code == 3 ? 8u : 16u); }

// Clamp to [0, 1], NaN to 0.
static float c01(float v) { return !(v > 0.0f) ? 0.0f : (v < 1.0f ? v : 1.0f); }

// Clamped, scaled and rounded half away from zero.
static uint quantise(float v, float scale) {
    precise const float s = c01(v) * scale;
    const float f = floor(s);
    return uint(f) + (s - f >= 0.5f ? 1u : 0u);
}

static float4 readNative(int x, int y) {
    const float k8 = asfloat(0x3b808081u);  // 1/255 as the CPU rounds it
    const float k16 = 1.0f / 32768.0f;
    const uint at = uint(y) * uint(inStride) + uint(x) * layoutBytes(inLayout);
    if (inLayout == 0 || inLayout == 4) {
        const float4 q = asfloat(nativeInput.Load4(at));
        if (inLayout == 4) return float4(q.y, q.z, q.w, q.x);
        precise const float a = c01(q.w);
        return float4(q.z * a, q.y * a, q.x * a, a);
    }
    if (inLayout == 3) {
        const uint2 w = nativeInput.Load2(at);
        return float4(float(w.x >> 16) * k16, float(w.y & 0xffffu) * k16, float(w.y >> 16) * k16,
                      float(w.x & 0xffffu) * k16);
    }
    const uint w = nativeInput.Load(at);
    const float c0 = float(w & 0xffu) * k8;
    const float c1 = float((w >> 8) & 0xffu) * k8;
    const float c2 = float((w >> 16) & 0xffu) * k8;
    const float c3 = float(w >> 24) * k8;
    if (inLayout == 2) return float4(c1, c2, c3, c0);
    precise const float a = c01(c3);
    return float4(c2 * a, c1 * a, c0 * a, a);
}

// The host input as premultiplied float RGBA on the canvas; zero outside the source
// rectangle.
RD_KERNEL(16, 16)
void prepareNativeFrame(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.iw) || id.y >= uint(P.ih)) return;
    const int hx = int(id.x) - sourceRect.z;
    const int hy = int(id.y) - sourceRect.w;
    const bool inside = hx >= 0 && hx < sourceRect.x && hy >= 0 && hy < sourceRect.y;
    target[int(id.y) * P.iw + int(id.x)] = inside ? readNative(hx, hy) : kZero;
}

static bool sameBits(float4 a, float4 b) { return all(asuint(a) == asuint(b)); }

// One composited pixel into the host's output layout at destination index `d`.
static void writeNative(uint d, float4 p, bool alphaView, int x, int y) {
    const int code = outLayout - 1;
    const uint at = d * layoutBytes(code);
    const int hx = x - sourceRect.z;
    const int hy = y - sourceRect.w;
    const bool floatPassThrough = (code == 0 || code == 4) && code == inLayout && hx >= 0 &&
                                  hx < sourceRect.x && hy >= 0 && hy < sourceRect.y;
    if (floatPassThrough && sameBits(p, original[y * P.iw + x])) {
        nativeOutput.Store4(at, nativeInput.Load4(uint(hy) * uint(inStride) + uint(hx) * 16u));
        return;
    }
    const float A = c01(p.w);
    const float inverse = A > 1e-6f ? RD_DIV(1.0f, A) : 0.0f;
    const bool straight = code == 0 || code == 1 || alphaView;
    precise const float r = straight ? p.x * inverse : p.x;
    precise const float g = straight ? p.y * inverse : p.y;
    precise const float b = straight ? p.z * inverse : p.z;
    const float a = straight || code != 4 ? A : p.w;
    if (code == 0) {
        nativeOutput.Store4(at, asuint(float4(b, g, r, A)));
    } else if (code == 4) {
        nativeOutput.Store4(at, asuint(float4(alphaView ? A : c01(p.w), r, g, b)));
    } else if (code == 3) {
        nativeOutput.Store2(at, uint2(quantise(a, 32768.0f) | (quantise(r, 32768.0f) << 16),
                                      quantise(g, 32768.0f) | (quantise(b, 32768.0f) << 16)));
    } else if (code == 2) {
        nativeOutput.Store(at, quantise(a, 255.0f) | (quantise(r, 255.0f) << 8) | (quantise(g, 255.0f) << 16) |
                                   (quantise(b, 255.0f) << 24));
    } else {
        nativeOutput.Store(at, quantise(b, 255.0f) | (quantise(g, 255.0f) << 8) | (quantise(r, 255.0f) << 16) |
                                   (quantise(A, 255.0f) << 24));
    }
}

static void emit(int x, int y, float4 p, bool alphaView) {
    if (outLayout == 0) {
        target[y * P.iw + x] = p;
        return;
    }
    const int i = x - destinationRect.z;
    const int j = y - destinationRect.w;
    if (i < 0 || i >= destinationRect.x || j < 0 || j >= destinationRect.y) return;
    writeNative(uint(j) * uint(destinationRect.x) + uint(i), p, alphaView, x, y);
}

RD_KERNEL(16, 16)
void compositeFrame(uint3 id RD_THREAD_ID) {
    if (id.x >= uint(P.iw) || id.y >= uint(P.ih)) return;
    const int x = int(id.x);
    const int y = int(id.y);
    const int i = y * P.iw + x;
    const float4 base = original[i];
    if (rdNeedsCpu(base, P.intensity)) InterlockedOr(flags[0], 2u);
    const bool black = P.view == 3;
    const bool alphaView = P.view == 4;
    if (P.view == 0) {
        precise const float m = base.w > 1e-6f ? maskOf(base, P) * rdSat(base.w) : 0.0f;
        emit(x, y, float4(m, m, m, 1.0f), false);
        return;
    }
    if (P.opacity <= 0.0f || P.intensity <= 0.0f) {
        emit(x, y, black ? float4(0.0f, 0.0f, 0.0f, 1.0f) : (alphaView ? kZero : base), alphaView);
        return;
    }
    const bool protect = protectedTint();
    precise float4 p;
    if (P.margin > 0) {
        if (P.factor == 4) {
            p = sampleAt(source, rdResampleCoordinate(float(x), P.sx, float(P.margin)),
                         rdResampleCoordinate(float(y), P.sy, float(P.margin)), P.cw, P.ch, 3);
            if (protect) p = colored(p, 1.0f, P.tint * rdTintScale(base.w));
        } else {
            p = source[(y + P.margin) * P.cw + x + P.margin];
        }
    } else {
        if (P.factor == 4)
            p = sampleAt(source, rdResampleCoordinate(float(x), P.sx, 0.0f),
                         rdResampleCoordinate(float(y), P.sy, 0.0f), P.kw, P.kh, 1);
        else
            p = source[i];
        if (P.saturation != 1.0f || P.tint != 0.0f)
            p = colored(p, P.saturation, P.tint * (protect ? rdTintScale(base.w) : 1.0f));
    }
    if (black || alphaView) {
        emit(x, y, vec(rdStreakOnly(rgba(p), P.opacity, P.intensity, alphaView ? 1 : 0)), alphaView);
        return;
    }
    const float alpha = rdStreakCoverage(p.w, P.opacity);
    if (alpha == 0.0f) {
        emit(x, y, base, false);
        return;
    }
    precise const RdRgba blended = rdBlendOver(rgba(p), rgba(base), alpha, P.intensity, P.blend);
    emit(x, y, vec(blended), false);
}

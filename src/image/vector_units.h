// Short vectors for the heavy passes, and the choice of instruction set they run on.
//
// The vectors are the compiler's own (GCC and Clang vector extensions): element-wise
// IEEE operations, so a pass written with them computes every channel with exactly the
// operations, and in the order, of its scalar formula. A pass that has a wider variant
// compiles the same inline body twice, once for the x86-64 baseline (SSE2) and once for
// AVX2, and picks one per call; both give the same bits, which the tests check.
#pragma once

#include <cstddef>
#include <cstring>

#include "image/image.h"

// 32-byte vectors live only inside always-inlined helpers and the passes' own loops, so
// the warning that they are passed differently with and without AVX concerns no call
// that exists; it is off in every file that includes this one.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace raydrift::image::vec {

typedef float F4 __attribute__((vector_size(16)));
typedef int I4 __attribute__((vector_size(16)));
// 32-byte aligned whatever the unit: without AVX the compiler would give these 16-byte
// alignment, and memory allocated by baseline code would not suit the AVX2 variants.
typedef double D4 __attribute__((vector_size(32), aligned(32)));
// Eight lanes of per-pixel coordinates (one AVX register, two SSE2 ones).
typedef float F8 __attribute__((vector_size(32), aligned(32)));
// Eight doubles: two pixels' sums (one AVX-512 register). 32-byte aligned, as D4, so
// that arrays of either share memory allocated alike.
typedef double D8 __attribute__((vector_size(64), aligned(32)));
typedef int I8 __attribute__((vector_size(32), aligned(32)));

#define RD_VECTOR_INLINE inline __attribute__((always_inline))

RD_VECTOR_INLINE F4 load(Pixel const* p) {
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
// An ARGB pixel's channels in the engine's order (r, g, b, a): a lane shuffle, every bit kept.
RD_VECTOR_INLINE F4 load(ArgbPixel const* p) {
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_shufflevector(v, v, 1, 2, 3, 0);
}
// An engine pixel (r, g, b, a) stored as a host's float ARGB pixel: alpha clamped to
// [0, 1], NaN as 0; with `straight`, colour divided by that alpha (0 where it is at or
// below 1e-6), as a straight-alpha output shows it.
RD_VECTOR_INLINE void storeArgb(ArgbPixel* out, F4 p, bool straight) {
    const float a = p[3];
    const float A = !(a > 0.0f) ? 0.0f : a < 1.0f ? a : 1.0f;
    if (straight) {
        const float k = A > 1e-6f ? 1.0f / A : 0.0f;
        p = p * F4{k, k, k, k};
    }
    const F4 v = __builtin_shufflevector(p, F4{A, A, A, A}, 4, 0, 1, 2);
    std::memcpy(static_cast<void*>(out), &v, sizeof v);
}
RD_VECTOR_INLINE void store(Pixel* p, F4 v) { std::memcpy(static_cast<void*>(p), &v, sizeof v); }
// The 4 × 4 transpose: lane k of out[j] is lane j of in k. Four pixels become their four
// channels, one vector each, and back; lane moves only.
RD_VECTOR_INLINE void transpose(F4 in0, F4 in1, F4 in2, F4 in3, F4 (&out)[4]) {
    const F4 u0 = __builtin_shufflevector(in0, in1, 0, 4, 1, 5), u1 = __builtin_shufflevector(in0, in1, 2, 6, 3, 7);
    const F4 u2 = __builtin_shufflevector(in2, in3, 0, 4, 1, 5), u3 = __builtin_shufflevector(in2, in3, 2, 6, 3, 7);
    out[0] = __builtin_shufflevector(u0, u2, 0, 1, 4, 5);
    out[1] = __builtin_shufflevector(u0, u2, 2, 3, 6, 7);
    out[2] = __builtin_shufflevector(u1, u3, 0, 1, 4, 5);
    out[3] = __builtin_shufflevector(u1, u3, 2, 3, 6, 7);
}
RD_VECTOR_INLINE D4 loadDouble(double const* p) {
    D4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
RD_VECTOR_INLINE void storeDouble(double* p, D4 const& v) { std::memcpy(p, &v, sizeof v); }
RD_VECTOR_INLINE F4 splat(float v) { return F4{v, v, v, v}; }
RD_VECTOR_INLINE D4 splat(double v) { return D4{v, v, v, v}; }
RD_VECTOR_INLINE D4 widen(F4 v) { return __builtin_convertvector(v, D4); }
RD_VECTOR_INLINE F4 narrow(D4 const& v) { return __builtin_convertvector(v, F4); }

// mask ? a : b per lane, for masks from vector comparisons (all bits set or clear).
// Written as a lane-wise conditional, so that a select which is a minimum or maximum
// (a < b ? a : b, NaN choosing b, as the instructions do) compiles to one.
RD_VECTOR_INLINE F4 select(I4 mask, F4 a, F4 b) { return mask ? a : b; }

// a + (b − a)·t per channel, as image::lerp (fused builds: fma(b − a, t, a)).
RD_VECTOR_INLINE F4 lerp(F4 a, F4 b, float t) {
#if SM_CPU_FMA
    const F4 d = b - a;
    return F4{RD_FMA(d[0], t, a[0]), RD_FMA(d[1], t, a[1]), RD_FMA(d[2], t, a[2]), RD_FMA(d[3], t, a[3])};
#else
    return a + (b - a) * splat(t);
#endif
}

// A streak profile's output: channels below zero (or NaN) become 0, then alpha is
// limited to 1, as the scalar `v > 0 ? v : 0` and `a > 1 ? 1 : a`.
RD_VECTOR_INLINE F4 boundedStreak(F4 v) {
    const F4 zero = splat(0.0f);
    v = select(v > zero, v, zero);
    const F4 limit{__builtin_inff(), __builtin_inff(), __builtin_inff(), 1.0f};
    return select(v > limit, limit, v);
}

// Whether every channel is finite: x − x is +0 for finite x and NaN otherwise.
RD_VECTOR_INLINE bool finite(F4 v) {
    const I4 ok = (v - v) == splat(0.0f);
    return (ok[0] & ok[1] & ok[2] & ok[3]) != 0;
}

// Lane-generic forms for passes written once for F4 (the baseline) and F8 (AVX2): one
// pixel per lane, each lane with the scalar formula's operations.
template <class V>
RD_VECTOR_INLINE V splatAll(float v) {
    if constexpr (sizeof(V) == sizeof(F4))
        return V{v, v, v, v};
    else
        return V{v, v, v, v, v, v, v, v};
}
// mask ? a : b per lane, for any width; masks from vector comparisons.
template <class V, class M>
RD_VECTOR_INLINE V choose(M mask, V a, V b) {
    return mask ? a : b;
}
// rdMulAdd per lane, for any width.
template <class V>
RD_VECTOR_INLINE V mulAdd(V a, V b, V c) {
#if SM_CPU_FMA
    V r;
    for (std::size_t k = 0; k < sizeof(V) / sizeof(float); ++k) r[k] = RD_FMA(a[k], b[k], c[k]);
    return r;
#else
    return a * b + c;
#endif
}
// Whether any lane of a comparison's mask is set (one sign-bit gather on x86).
RD_VECTOR_INLINE bool any(I4 mask) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    return __builtin_ia32_movmskps((F4)mask) != 0;
#else
    return (mask[0] | mask[1] | mask[2] | mask[3]) != 0;
#endif
}
// (By reference: a 32-byte vector passed by value from AVX2 code to code compiled
// without AVX changes the calling convention, which Clang refuses.)
RD_VECTOR_INLINE bool any(I8 const& mask) {
    return any(__builtin_shufflevector(mask, mask, 0, 1, 2, 3) | __builtin_shufflevector(mask, mask, 4, 5, 6, 7));
}
template <class M>
RD_VECTOR_INLINE bool all(M const& mask) {
    return !any(M(~mask));
}

// A pixel's four floats in memory order (Pixel or ArgbPixel), every bit kept.
template <class P>
RD_VECTOR_INLINE F4 raw(P const* p) {
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
// The four floats of 4 or 8 consecutive pixels as four vectors, in memory order: lane k
// of c[j] is float j of pixel k. Whole-pixel loads and lane moves only.
template <class P>
RD_VECTOR_INLINE void channels(P const* p, F4 (&c)[4]) {
    transpose(raw(p), raw(p + 1), raw(p + 2), raw(p + 3), c);
}
// Eight pixels: a 4 × 4 transpose in each 128-bit half (pixels 0–3 low, 4–7 high).
RD_VECTOR_INLINE void transposeHalves(F8 const (&t)[4], F8 (&c)[4]) {
    const F8 u0 = __builtin_shufflevector(t[0], t[1], 0, 8, 1, 9, 4, 12, 5, 13);
    const F8 u1 = __builtin_shufflevector(t[0], t[1], 2, 10, 3, 11, 6, 14, 7, 15);
    const F8 u2 = __builtin_shufflevector(t[2], t[3], 0, 8, 1, 9, 4, 12, 5, 13);
    const F8 u3 = __builtin_shufflevector(t[2], t[3], 2, 10, 3, 11, 6, 14, 7, 15);
    c[0] = __builtin_shufflevector(u0, u2, 0, 1, 8, 9, 4, 5, 12, 13);
    c[1] = __builtin_shufflevector(u0, u2, 2, 3, 10, 11, 6, 7, 14, 15);
    c[2] = __builtin_shufflevector(u1, u3, 0, 1, 8, 9, 4, 5, 12, 13);
    c[3] = __builtin_shufflevector(u1, u3, 2, 3, 10, 11, 6, 7, 14, 15);
}
template <class P>
RD_VECTOR_INLINE void channels(P const* p, F8 (&c)[4]) {
    // Pixel k in the low half of t[k], pixel k + 4 in its high half.
    F8 t[4];
    for (int k = 0; k < 4; ++k) t[k] = __builtin_shufflevector(raw(p + k), raw(p + k + 4), 0, 1, 2, 3, 4, 5, 6, 7);
    transposeHalves(t, c);
}
// The inverse of channels: four vectors of floats stored as 4 or 8 pixels at p.
template <class P>
RD_VECTOR_INLINE void storeChannels(P* p, F4 c0, F4 c1, F4 c2, F4 c3) {
    F4 px[4];
    transpose(c0, c1, c2, c3, px);
    for (int k = 0; k < 4; ++k) std::memcpy(static_cast<void*>(p + k), &px[k], sizeof px[k]);
}
template <class P>
RD_VECTOR_INLINE void storeChannels(P* p, F8 c0, F8 c1, F8 c2, F8 c3) {
    const F8 c[4] = {c0, c1, c2, c3};
    F8 t[4];
    transposeHalves(c, t);
    // Pixels 0 and 1, 2 and 3, 4 and 5, 6 and 7.
    const F8 p01 = __builtin_shufflevector(t[0], t[1], 0, 1, 2, 3, 8, 9, 10, 11);
    const F8 p23 = __builtin_shufflevector(t[2], t[3], 0, 1, 2, 3, 8, 9, 10, 11);
    const F8 p45 = __builtin_shufflevector(t[0], t[1], 4, 5, 6, 7, 12, 13, 14, 15);
    const F8 p67 = __builtin_shufflevector(t[2], t[3], 4, 5, 6, 7, 12, 13, 14, 15);
    std::memcpy(static_cast<void*>(p), &p01, sizeof p01);
    std::memcpy(static_cast<void*>(p + 2), &p23, sizeof p23);
    std::memcpy(static_cast<void*>(p + 4), &p45, sizeof p45);
    std::memcpy(static_cast<void*>(p + 6), &p67, sizeof p67);
}

// The instruction sets a pass can run on.
enum class Units { Baseline = 0, Avx2 = 1, Avx512 = 2 };

// The widest set this processor offers, within the limit below.
Units units();

// Caps the sets later passes use (tests run every variant this way); Avx512 lifts the cap.
void limitUnits(Units limit);

}  // namespace raydrift::image::vec

// Compiles a function for AVX2 on x86-64 (for run-time selection); elsewhere nothing.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define RD_HAVE_AVX2_VARIANT 1
#define RD_TARGET_AVX2 __attribute__((target("avx2")))
// AVX-512 (the foundation, with its 256-bit forms and double-word moves) for the passes
// that have a wider form; the others run their AVX2 variant there.
#define RD_TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512vl,avx512dq,avx512bw")))
#else
#define RD_HAVE_AVX2_VARIANT 0
#define RD_TARGET_AVX2
#define RD_TARGET_AVX512
#endif

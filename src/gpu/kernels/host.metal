// Host kernels: import of the host's BGRA pixels (half or float, premultiplied or
// straight) into the float RGBA canvas, and export of the processed canvas back.

static inline float4 hostPixel(device const uchar* input, constant HostParams& H, int x, int y) {
    if (x < 0 || x >= H.sw || y < 0 || y >= H.sh) return float4(0.0f);
    device const uchar* row = input + long(y) * long(H.inPitch);
    float4 bgra = H.halfPixels != 0 ? float4(((device const half4*)row)[x]) : ((device const float4*)row)[x];
    float4 p = float4(bgra.z, bgra.y, bgra.x, bgra.w);
    if (H.ae == 0) {
        const float a = p.w < 0.0f ? 0.0f : (1.0f < p.w ? 1.0f : p.w);
        p = float4(p.x * a, p.y * a, p.z * a, a);
    }
    return p;
}

kernel void importHost(device const uchar* input [[buffer(0)]],
                       device float4* canvas [[buffer(1)]],
                       constant HostParams& H [[buffer(2)]],
                       device atomic_uint* flags [[buffer(3)]],
                       uint2 gid [[thread_position_in_grid]]) {
    if (gid.x >= uint(H.w) || gid.y >= uint(H.h)) return;
    const int x = int(gid.x);
    const int y = int(gid.y);
    const float4 p = hostPixel(input, H, x - H.sx, y - H.sy);
    if (p.x < 0.0f || p.y < 0.0f || p.z < 0.0f) atomic_fetch_or_explicit(flags, 4u, memory_order_relaxed);
    canvas[y * H.w + x] = p;
}

static inline bool sameBits(float4 a, float4 b) {
    return as_type<uint>(a.x) == as_type<uint>(b.x) && as_type<uint>(a.y) == as_type<uint>(b.y) &&
           as_type<uint>(a.z) == as_type<uint>(b.z) && as_type<uint>(a.w) == as_type<uint>(b.w);
}

kernel void exportHost(device const float4* canvas [[buffer(0)]],
                       device uchar* output [[buffer(1)]],
                       constant HostParams& H [[buffer(2)]],
                       device atomic_uint* flags [[buffer(3)]],
                       device const uchar* input [[buffer(4)]],
                       device const float4* original [[buffer(5)]],
                       uint2 gid [[thread_position_in_grid]]) {
    if (gid.x >= uint(H.dw) || gid.y >= uint(H.dh)) return;
    const uint state = atomic_load_explicit(flags, memory_order_relaxed);
    if ((state & 2u) != 0u || ((state & 4u) != 0u && H.rejectNegative != 0)) return;
    const int i = int(gid.x);
    const int j = int(gid.y);
    const int x = i + H.dx;
    const int y = j + H.dy;
    const bool inCanvas = x >= 0 && x < H.w && y >= 0 && y < H.h;
    float4 p = inCanvas ? canvas[y * H.w + x] : float4(0.0f);
    device uchar* row = output + long(j) * long(H.outPitch);
    const int hx = x - H.sx;
    const int hy = y - H.sy;
    if (H.copyOriginal != 0 && inCanvas && hx >= 0 && hx < H.sw && hy >= 0 && hy < H.sh &&
        sameBits(p, original[y * H.w + x])) {
        device const uchar* source = input + long(hy) * long(H.inPitch);
        if (H.halfPixels != 0)
            ((device half4*)row)[i] = ((device const half4*)source)[hx];
        else
            ((device float4*)row)[i] = ((device const float4*)source)[hx];
        return;
    }
    p.w = rdSat(p.w);
    if (H.straightOut != 0) {
        const float k = p.w > 1e-6f ? divideCpu(1.0f, p.w) : 0.0f;
        p = float4(p.x * k, p.y * k, p.z * k, p.w);
    }
    const float4 bgra = float4(p.z, p.y, p.x, p.w);
    if (H.halfPixels != 0)
        ((device half4*)row)[i] = half4(bgra);
    else
        ((device float4*)row)[i] = bgra;
}

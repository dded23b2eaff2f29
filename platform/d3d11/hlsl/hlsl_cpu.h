// The prelude that makes our subset of HLSL valid C++, so that the software Direct3D
// device runs the very kernel text the plug-in embeds: vectors as plain structs with
// per-component arithmetic, structured and byte-address buffers as views of the device's
// memory, the few intrinsics the kernels call, and `precise` as nothing (C++ does not
// reassociate; contraction is off for this build). Kernels are functions of the thread
// id, resources and constant blocks are globals of the source's namespace, which the
// device sets before each dispatch. Not a general HLSL: swizzles, matrices and textures
// are outside the subset.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#define RD_KERNEL(x, y)
#define RD_THREAD_ID
#define RD_RESOURCE(type, name, slot) inline type name
#define RD_CONSTANTS(name, slot) namespace name {
#define RD_END_CONSTANTS(name) } using namespace name;
#define precise

namespace rdhlsl {

using uint = unsigned int;

// HLSL's constructor syntax, uint2(a, b), needs real constructors in C++ (parenthesised
// aggregate initialisation is C++20 and not in every compiler).
struct uint2 {
    uint x = 0, y = 0;
    uint2() = default;
    uint2(uint x_, uint y_) : x(x_), y(y_) {}
};
struct uint3 {
    uint x = 0, y = 0, z = 0;
    uint3() = default;
    uint3(uint x_, uint y_, uint z_) : x(x_), y(y_), z(z_) {}
};
struct int4 {
    int x = 0, y = 0, z = 0, w = 0;
    int4() = default;
    int4(int x_, int y_, int z_, int w_) : x(x_), y(y_), z(z_), w(w_) {}
};
struct bool4 {
    bool x = false, y = false, z = false, w = false;
    bool4() = default;
    bool4(bool x_, bool y_, bool z_, bool w_) : x(x_), y(y_), z(z_), w(w_) {}
};
struct uint4 {
    uint x = 0, y = 0, z = 0, w = 0;
    uint4() = default;
    uint4(uint x_, uint y_, uint z_, uint w_) : x(x_), y(y_), z(z_), w(w_) {}
};
inline bool4 operator==(uint4 a, uint4 b) { return {a.x == b.x, a.y == b.y, a.z == b.z, a.w == b.w}; }
inline bool all(bool4 b) { return b.x && b.y && b.z && b.w; }

struct double4;
struct float4 {
    float x = 0.0f, y = 0.0f, z = 0.0f, w = 0.0f;
    float4() = default;
    float4(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
    explicit inline float4(double4 const& d);
};
inline float4 operator+(float4 a, float4 b) { return {a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w}; }
inline float4 operator-(float4 a, float4 b) { return {a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w}; }
inline float4 operator*(float4 a, float s) { return {a.x * s, a.y * s, a.z * s, a.w * s}; }

struct double4 {
    double x = 0.0, y = 0.0, z = 0.0, w = 0.0;
    double4() = default;
    double4(double x_, double y_, double z_, double w_) : x(x_), y(y_), z(z_), w(w_) {}
    explicit double4(float4 f) : x(f.x), y(f.y), z(f.z), w(f.w) {}
};
inline float4::float4(double4 const& d)
    : x(static_cast<float>(d.x)), y(static_cast<float>(d.y)), z(static_cast<float>(d.z)), w(static_cast<float>(d.w)) {}
inline double4 operator+(double4 a, double4 b) { return {a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w}; }
inline double4 operator-(double4 a, double4 b) { return {a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w}; }
inline double4 operator*(double4 a, double s) { return {a.x * s, a.y * s, a.z * s, a.w * s}; }
inline double4 operator*(double s, double4 a) { return {s * a.x, s * a.y, s * a.z, s * a.w}; }

inline float floor(float v) { return std::floor(v); }
inline float sqrt(float v) { return std::sqrt(v); }
inline float abs(float v) { return std::fabs(v); }
inline int abs(int v) { return v < 0 ? -v : v; }
inline int min(int a, int b) { return a < b ? a : b; }
inline int max(int a, int b) { return a < b ? b : a; }
inline float mad(float a, float b, float c) { return std::fma(a, b, c); }
inline bool isfinite(float v) { return std::isfinite(v); }
inline float asfloat(uint u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}
inline float4 asfloat(uint4 u) { return {asfloat(u.x), asfloat(u.y), asfloat(u.z), asfloat(u.w)}; }
inline uint asuint(float f) {
    uint u;
    std::memcpy(&u, &f, 4);
    return u;
}
inline uint4 asuint(float4 f) { return {asuint(f.x), asuint(f.y), asuint(f.z), asuint(f.w)}; }
// Dispatches run one thread at a time, so a plain or is atomic here.
inline void InterlockedOr(uint& target, uint bits) { target |= bits; }

template <class T>
struct StructuredBuffer {
    T* data = nullptr;
    T const& operator[](int i) const { return data[i]; }
    T const& operator[](uint i) const { return data[i]; }
};
template <class T>
struct RWStructuredBuffer {
    T* data = nullptr;
    T& operator[](int i) const { return data[i]; }
    T& operator[](uint i) const { return data[i]; }
};
struct ByteAddressBuffer {
    unsigned char* data = nullptr;
    uint Load(uint at) const {
        uint v;
        std::memcpy(&v, data + at, 4);
        return v;
    }
    uint2 Load2(uint at) const { return {Load(at), Load(at + 4)}; }
    uint4 Load4(uint at) const { return {Load(at), Load(at + 4), Load(at + 8), Load(at + 12)}; }
};
struct RWByteAddressBuffer : ByteAddressBuffer {
    void Store(uint at, uint v) const { std::memcpy(data + at, &v, 4); }
    void Store2(uint at, uint2 v) const {
        Store(at, v.x);
        Store(at + 4, v.y);
    }
    void Store4(uint at, uint4 v) const {
        Store(at, v.x);
        Store(at + 4, v.y);
        Store(at + 8, v.z);
        Store(at + 12, v.w);
    }
};

// One compiled kernel: its thread-group shape and the function the device calls per thread.
struct Kernel {
    const char* name;
    unsigned groupX, groupY;
    void (*run)(uint3 id);
};

}  // namespace rdhlsl

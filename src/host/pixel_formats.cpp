#include "host/pixel_formats.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <cstring>

#include "PrSDKPixelFormat.h"
#include "image/parallel.h"
#include "image/vector_units.h"

namespace raydrift::pixel_formats {

namespace {

using image::Image;
using image::Pixel;
using image::vec::F4;

// Multiplied, not divided: the host conversions are defined with these reciprocals.
constexpr float k8 = 1.0f / 255.0f;
constexpr float k16 = 1.0f / 32768.0f;
constexpr float kOpaqueEpsilon = 1e-6f;

// Clamp to [0, 1]. NaN lands on 0: a channel without a value carries nothing.
inline float c01(float x) {
    if (!(x > 0.0f)) return 0.0f;
    return x < 1.0f ? x : 1.0f;
}

// Clamped, scaled and rounded half away from zero; c01 has already removed NaN.
inline long quantise(float x, float scale) { return std::lroundf(c01(x) * scale); }

template <typename T>
inline T load(unsigned char const* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
inline void store(unsigned char* p, T const& v) {
    std::memcpy(p, &v, sizeof v);
}

// The checks shared by read and write: world and data present, a known format, rows
// long enough to hold a row of pixels.
PF_Err checkWorld(PF_LayerDef const* world, int format) {
    if (!world || !world->data) return PF_Err_BAD_CALLBACK_PARAM;
    const int pixelBytes = bytesPerPixel(format);
    if (pixelBytes == 0) return PF_Err_UNRECOGNIZED_PARAM_TYPE;
    if (world->width < 0 || world->height < 0) return PF_Err_BAD_CALLBACK_PARAM;
    const long long rowBytes = std::llabs(static_cast<long long>(world->rowbytes));
    if (rowBytes < static_cast<long long>(world->width) * pixelBytes) return PF_Err_BAD_CALLBACK_PARAM;
    return PF_Err_NONE;
}

inline unsigned char* rowPointer(PF_LayerDef const* world, int y) {
    return reinterpret_cast<unsigned char*>(world->data) +
           static_cast<std::ptrdiff_t>(y) * static_cast<std::ptrdiff_t>(world->rowbytes);
}

// One row of a world into engine pixels.
void readRow(unsigned char const* row, int format, int w, Pixel* out) {
    switch (format) {
    case PF_PixelFormat_ARGB32:
        for (int x = 0; x < w; ++x) {
            const auto p = load<PF_Pixel>(row + 4 * x);
            out[x] = {p.red * k8, p.green * k8, p.blue * k8, p.alpha * k8};
        }
        break;
    case PF_PixelFormat_ARGB64:
        for (int x = 0; x < w; ++x) {
            const auto p = load<PF_Pixel16>(row + 8 * x);
            out[x] = {p.red * k16, p.green * k16, p.blue * k16, p.alpha * k16};
        }
        break;
    case PF_PixelFormat_ARGB128:
        // Float worlds: a lane shuffle per pixel, bit for bit, the engine's own load of
        // the rows it reads in place.
        for (int x = 0; x < w; ++x)
            image::vec::store(out + x, image::vec::load(reinterpret_cast<image::ArgbPixel const*>(row + 16 * x)));
        break;
    case PrPixelFormat_BGRA_4444_8u:
        for (int x = 0; x < w; ++x) {
            const auto p = load<Bgra8>(row + 4 * x);
            const float a = c01(p.alpha * k8);
            out[x] = {(p.red * k8) * a, (p.green * k8) * a, (p.blue * k8) * a, a};
        }
        break;
    case PrPixelFormat_BGRA_4444_32f:
        for (int x = 0; x < w; ++x) {
            const F4 p = load<F4>(row + 16 * x);
            const F4 a = image::vec::splat(c01(p[3]));
            const F4 colour = __builtin_shufflevector(p, p, 2, 1, 0, 3) * a;
            image::vec::store(out + x, __builtin_shufflevector(colour, a, 0, 1, 2, 4));
        }
        break;
    }
}

// After Effects integer worlds: premultiplied, or straight colour for the Alpha view.
template <typename Q>
void writeIntegerRow(Pixel const* in, int w, float scale, bool alphaView, unsigned char* row) {
    for (int x = 0; x < w; ++x) {
        const Pixel& p = in[x];
        const float A = c01(p.a);
        const float inv = A > kOpaqueEpsilon ? 1.0f / A : 0.0f;
        const float r = alphaView ? p.r * inv : p.r;
        const float g = alphaView ? p.g * inv : p.g;
        const float b = alphaView ? p.b * inv : p.b;
        const float a = alphaView ? A : p.a;
        using C = decltype(Q::alpha);
        const Q q{static_cast<C>(quantise(a, scale)), static_cast<C>(quantise(r, scale)),
                  static_cast<C>(quantise(g, scale)), static_cast<C>(quantise(b, scale))};
        store(row + sizeof(Q) * static_cast<std::size_t>(x), q);
    }
}

void writeRow(Pixel const* in, int format, int w, bool alphaView, unsigned char* row) {
    switch (format) {
    case PF_PixelFormat_ARGB32:
        writeIntegerRow<PF_Pixel>(in, w, 255.0f, alphaView, row);
        break;
    case PF_PixelFormat_ARGB64:
        writeIntegerRow<PF_Pixel16>(in, w, 32768.0f, alphaView, row);
        break;
    case PF_PixelFormat_ARGB128:
        // The engine's own store, which its last pass also uses on worlds written in place.
        for (int x = 0; x < w; ++x)
            image::vec::storeArgb(reinterpret_cast<image::ArgbPixel*>(row + 16 * x), image::vec::load(in + x), alphaView);
        break;
    case PrPixelFormat_BGRA_4444_8u:
        for (int x = 0; x < w; ++x) {
            const Pixel& p = in[x];
            const float A = c01(p.a);
            const float inv = A > kOpaqueEpsilon ? 1.0f / A : 0.0f;
            const Bgra8 q{static_cast<std::uint8_t>(quantise(p.b * inv, 255.0f)),
                          static_cast<std::uint8_t>(quantise(p.g * inv, 255.0f)),
                          static_cast<std::uint8_t>(quantise(p.r * inv, 255.0f)),
                          static_cast<std::uint8_t>(quantise(A, 255.0f))};
            store(row + 4 * x, q);
        }
        break;
    case PrPixelFormat_BGRA_4444_32f:
        for (int x = 0; x < w; ++x) {
            const F4 p = image::vec::load(in + x);
            const float A = c01(p[3]);
            const F4 colour = __builtin_shufflevector(p, p, 2, 1, 0, 3) *
                              image::vec::splat(A > kOpaqueEpsilon ? 1.0f / A : 0.0f);
            store(row + 16 * x, __builtin_shufflevector(colour, image::vec::splat(A), 0, 1, 2, 4));
        }
        break;
    }
}

}  // namespace


int bytesPerPixel(int format) {
    switch (format) {
    case PF_PixelFormat_ARGB32:
    case PrPixelFormat_BGRA_4444_8u:
        return 4;
    case PF_PixelFormat_ARGB64:
        return 8;
    case PF_PixelFormat_ARGB128:
    case PrPixelFormat_BGRA_4444_32f:
        return 16;
    default:
        return 0;
    }
}

PF_Err readWorld(PF_LayerDef const* world, int format, Image& image) {
    if (PF_Err err = checkWorld(world, format)) return err;
    if (world->width < 1 || world->height < 1) return PF_Err_BAD_CALLBACK_PARAM;

    const int w = world->width;
    const int h = world->height;
    image.resize(w, h);
    parallel::ranges(h, static_cast<unsigned long>(image.pixelCount()), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) readRow(rowPointer(world, y), format, w, &image.at(0, y));
    });
    return PF_Err_NONE;
}

PF_Err checkRows(PF_LayerDef const* input, int inputFormat, PF_LayerDef const* output, int outputFormat) {
    if (PF_Err err = checkWorld(input, inputFormat)) return err;
    if (PF_Err err = checkWorld(output, outputFormat)) return err;
    if (input->width < 1 || input->height < 1 || input->width != output->width || input->height != output->height)
        return PF_Err_BAD_CALLBACK_PARAM;
    return PF_Err_NONE;
}

image::FrameRows worldRows(PF_LayerDef const* input, int inputFormat, PF_LayerDef* output, int outputFormat,
                           bool alphaView) {
    image::FrameRows rows;
    const int w = output->width;
    rows.width = w;
    rows.height = output->height;
    const std::ptrdiff_t inBytes = bytesPerPixel(inputFormat);
    const std::ptrdiff_t outBytes = bytesPerPixel(outputFormat);
    rows.read = [=](int y, int x, int count, Pixel* pixels) {
        readRow(rowPointer(input, y) + x * inBytes, inputFormat, count, pixels);
    };
    rows.write = [=](int y, int x, int count, Pixel const* pixels) {
        writeRow(pixels, outputFormat, count, alphaView, rowPointer(output, y) + x * outBytes);
    };
    // Float worlds are the engine's pixels in another lane order: its passes read and
    // write them in place (the floats must be aligned as floats).
    unsigned char const* first = rowPointer(input, 0);
    if (inputFormat == PF_PixelFormat_ARGB128 && reinterpret_cast<std::uintptr_t>(first) % alignof(float) == 0 &&
        input->rowbytes % static_cast<A_long>(alignof(float)) == 0) {
        rows.argbRows = first;
        rows.argbRowBytes = input->rowbytes;
    }
    unsigned char* out = rowPointer(output, 0);
    if (outputFormat == PF_PixelFormat_ARGB128 && reinterpret_cast<std::uintptr_t>(out) % alignof(float) == 0 &&
        output->rowbytes % static_cast<A_long>(alignof(float)) == 0) {
        rows.argbOutRows = out;
        rows.argbOutRowBytes = output->rowbytes;
        rows.argbOutStraight = alphaView;
    }
    return rows;
}

PF_Err writeWorld(Image const& image, int format, PF_LayerDef* world, bool alphaView) {
    if (PF_Err err = checkWorld(world, format)) return err;
    if (image.width != world->width || image.height != world->height)
        return PF_Err_BAD_CALLBACK_PARAM;

    const int w = world->width;
    const int h = world->height;
    if (w == 0 || h == 0) return PF_Err_NONE;
    parallel::ranges(h, static_cast<unsigned long>(image.pixelCount()), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) writeRow(&image.at(0, y), format, w, alphaView, rowPointer(world, y));
    });
    return PF_Err_NONE;
}

}  // namespace raydrift::pixel_formats

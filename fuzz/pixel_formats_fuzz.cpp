// readWorld / writeWorld over any format code, size, row stride and bytes. The world's
// memory is exactly what its description spans (plus guard bytes the conversions must
// not touch), so any read or write outside it is an address-sanitizer report.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "AE_Effect.h"
#include "PrSDKPixelFormat.h"
#include "host/pixel_formats.h"
#include "image/image.h"

namespace {

using raydrift::image::Image;
using raydrift::image::Pixel;
namespace pf = raydrift::pixel_formats;

constexpr int kFormats[] = {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128,
                            PrPixelFormat_BGRA_4444_8u, PrPixelFormat_BGRA_4444_32f};
constexpr std::uint8_t kGuard = 0x5A;
constexpr std::size_t kGuardBytes = 32;

// A host world over its own buffer: rows |rowbytes| apart, upwards in memory when
// rowbytes is negative, guard bytes in the row padding and around the pixels.
struct FuzzWorld {
    std::vector<std::uint8_t> bytes;
    PF_LayerDef def{};
    std::size_t pixelBegin = 0;
    std::size_t pixelEnd = 0;
    int rowLength = 0;

    FuzzWorld(int width, int height, int rowbytes, int pixelBytes, bool withData) {
        def.width = width;
        def.height = height;
        def.rowbytes = rowbytes;
        if (!withData) return;
        const long long stride = std::llabs(static_cast<long long>(rowbytes));
        rowLength = width > 0 ? width * pixelBytes : 0;
        // What the description spans: the rows' starts plus one row of pixels (a world
        // whose rows overlap spans less than width × height pixels).
        const long long rows = height > 0 ? height : 0;
        const long long span = rows == 0 ? 0 : stride * (rows - 1) + std::max<long long>(rowLength, 0);
        bytes.assign(static_cast<std::size_t>(span) + 2 * kGuardBytes, kGuard);
        pixelBegin = kGuardBytes;
        pixelEnd = kGuardBytes + static_cast<std::size_t>(span);
        const std::size_t first = rowbytes < 0 && rows > 0 ? static_cast<std::size_t>(stride * (rows - 1)) : 0;
        def.data = reinterpret_cast<PF_PixelPtr>(bytes.data() + kGuardBytes + first);
    }
    std::uint8_t* row(int y) {
        return reinterpret_cast<std::uint8_t*>(def.data) + static_cast<std::ptrdiff_t>(y) * def.rowbytes;
    }
    bool guardsIntact(int pixelBytes) const {
        for (std::size_t i = 0; i < pixelBegin; ++i)
            if (bytes[i] != kGuard) return false;
        for (std::size_t i = pixelEnd; i < bytes.size(); ++i)
            if (bytes[i] != kGuard) return false;
        // Row padding: whatever lies between one row's pixels and the next row.
        if (def.data == nullptr || def.height <= 0 || def.width <= 0) return true;
        const long long stride = std::llabs(static_cast<long long>(def.rowbytes));
        const long long length = static_cast<long long>(def.width) * pixelBytes;
        if (stride <= length) return true;
        for (long long r = 0; r + 1 < def.height; ++r)
            for (long long i = static_cast<long long>(pixelBegin) + r * stride + length;
                 i < static_cast<long long>(pixelBegin) + (r + 1) * stride; ++i)
                if (bytes[static_cast<std::size_t>(i)] != kGuard) return false;
        return true;
    }
};

bool knownFormat(int format) {
    for (int f : kFormats)
        if (f == format) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint8_t formatPick = in.ConsumeIntegral<std::uint8_t>();
    const int format = formatPick < 250 ? kFormats[formatPick % 5] : in.ConsumeIntegral<int>();
    const int pixelBytes = pf::bytesPerPixel(format);
    const int width = in.ConsumeIntegralInRange<int>(-2, 40);
    const int height = in.ConsumeIntegralInRange<int>(-2, 40);
    const int bytesForStride = pixelBytes > 0 ? pixelBytes : 4;
    const int rowLength = std::max(width, 0) * bytesForStride;
    int rowbytes = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: rowbytes = rowLength; break;
    case 1: rowbytes = rowLength + in.ConsumeIntegralInRange<int>(1, 24); break;
    case 2: rowbytes = -(rowLength + in.ConsumeIntegralInRange<int>(0, 24)); break;
    case 3: rowbytes = in.ConsumeIntegralInRange<int>(-rowLength, rowLength); break;  // possibly short
    default: rowbytes = in.ConsumeIntegral<int>() % 4096; break;
    }
    const bool withData = in.ConsumeIntegralInRange<int>(0, 15) != 0;
    const bool alphaView = in.ConsumeBool();

    FuzzWorld world(width, height, rowbytes, bytesForStride, withData);
    if (withData)
        for (std::size_t i = world.pixelBegin; i < world.pixelEnd; ++i)
            world.bytes[i] = in.ConsumeIntegral<std::uint8_t>();
    const std::vector<std::uint8_t> before = world.bytes;
    const bool valid = withData && knownFormat(format) && width >= 1 && height >= 1 &&
                       std::llabs(static_cast<long long>(rowbytes)) >= static_cast<long long>(rowLength);

    Image image(3, 2);
    const PF_Err readErr = pf::readWorld(&world.def, format, image);
    check(world.bytes == before);  // reading never writes
    if (!knownFormat(format) && withData) check(readErr == PF_Err_UNRECOGNIZED_PARAM_TYPE);
    check(valid == (readErr == PF_Err_NONE));
    if (readErr != PF_Err_NONE) {
        check(readErr == PF_Err_BAD_CALLBACK_PARAM || readErr == PF_Err_UNRECOGNIZED_PARAM_TYPE);
        check(image.width == 3 && image.height == 2);  // untouched on error
    } else {
        check(image.width == width && image.height == height);
        check(image.pixelCount() == image.pixels.size());
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                Pixel const& p = image.at(x, y);
                if (format == PF_PixelFormat_ARGB128) {
                    // Float After Effects pixels are copied bit for bit.
                    float argb[4];
                    std::memcpy(argb, world.row(y) + 16 * x, 16);
                    check(std::memcmp(&p.a, &argb[0], 4) == 0 && std::memcmp(&p.r, &argb[1], 4) == 0 &&
                          std::memcmp(&p.g, &argb[2], 4) == 0 && std::memcmp(&p.b, &argb[3], 4) == 0);
                } else if (format != PrPixelFormat_BGRA_4444_32f) {
                    check(std::isfinite(p.r) && std::isfinite(p.g) && std::isfinite(p.b) && std::isfinite(p.a));
                    // 16-bit channels may hold up to 65535, twice full scale.
                    check(p.a >= 0.0f && p.a <= (format == PF_PixelFormat_ARGB64 ? 2.0f : 1.0f));
                } else {
                    check(!(p.a < 0.0f) && !(p.a > 1.0f));
                }
            }
    }

    // Write the image back into a world of the same description.
    if (readErr == PF_Err_NONE) {
        FuzzWorld out(width, height, rowbytes, bytesForStride, true);
        const PF_Err writeErr = pf::writeWorld(image, format, &out.def, alphaView);
        check(writeErr == PF_Err_NONE);
        check(out.guardsIntact(pixelBytes));
        // Integer After Effects pixels survive the round trip (16-bit up to full scale).
        if (!alphaView && (format == PF_PixelFormat_ARGB32 || format == PF_PixelFormat_ARGB64))
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    if (format == PF_PixelFormat_ARGB32) {
                        check(std::memcmp(out.row(y) + 4 * x, world.row(y) + 4 * x, 4) == 0);
                    } else {
                        std::uint16_t a[4], b[4];
                        std::memcpy(a, world.row(y) + 8 * x, 8);
                        std::memcpy(b, out.row(y) + 8 * x, 8);
                        for (int c = 0; c < 4; ++c) check(b[c] == std::min<std::uint16_t>(a[c], 32768));
                    }
                }
    }

    // Any engine image (any float bits, any size) into the world.
    const int imageWidth = in.ConsumeBool() ? width : in.ConsumeIntegralInRange<int>(-1, 40);
    const int imageHeight = in.ConsumeBool() ? height : in.ConsumeIntegralInRange<int>(-1, 40);
    Image any(imageWidth, imageHeight);
    for (Pixel& p : any.pixels) {
        float v[4] = {};
        for (float& c : v) {
            const std::uint32_t bits = in.ConsumeIntegral<std::uint32_t>();
            std::memcpy(&c, &bits, 4);
        }
        p = {v[0], v[1], v[2], v[3]};
    }
    FuzzWorld target(width, height, rowbytes, bytesForStride, withData);
    const std::vector<std::uint8_t> untouched = target.bytes;
    const PF_Err writeErr = pf::writeWorld(any, format, &target.def, in.ConsumeBool());
    const bool writable = withData && knownFormat(format) && width >= 0 && height >= 0 &&
                          std::llabs(static_cast<long long>(rowbytes)) >= static_cast<long long>(rowLength) &&
                          any.width == width && any.height == height;
    check(writable == (writeErr == PF_Err_NONE));
    if (writeErr != PF_Err_NONE) {
        check(writeErr == PF_Err_BAD_CALLBACK_PARAM || writeErr == PF_Err_UNRECOGNIZED_PARAM_TYPE);
        check(target.bytes == untouched);  // nothing written on error
    } else {
        check(target.guardsIntact(pixelBytes));
        if (format == PrPixelFormat_BGRA_4444_32f || format == PF_PixelFormat_ARGB128)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    float px[4];
                    std::memcpy(px, target.row(y) + 16 * x, 16);
                    const float alpha = format == PF_PixelFormat_ARGB128 ? px[0] : px[3];
                    check(alpha >= 0.0f && alpha <= 1.0f);
                }
    }
    return 0;
}

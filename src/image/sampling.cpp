#include "image/sampling.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "image/vector_units.h"

namespace raydrift::sampling {

using image::Image;
using image::Pixel;
namespace vec = image::vec;

namespace {

// out[k] = rdLerp(a[k], b[k], t) for the n floats of two rows' pixels, V lanes at a time.
template <class V>
RD_VECTOR_INLINE std::size_t lerpLanes(float const* a, float const* b, float t, float* out, std::size_t n) {
    constexpr std::size_t kLanes = sizeof(V) / sizeof(float);
    const V weight = vec::splatAll<V>(t);
    std::size_t k = 0;
    for (; k + kLanes <= n; k += kLanes) {
        V x, y;
        std::memcpy(&x, a + k, sizeof x);
        std::memcpy(&y, b + k, sizeof y);
        const V v = vec::mulAdd(y - x, weight, x);
        std::memcpy(out + k, &v, sizeof v);
    }
    return k;
}
#if RD_HAVE_AVX2_VARIANT
RD_TARGET_AVX2 std::size_t lerpLanesAvx2(float const* a, float const* b, float t, float* out, std::size_t n) {
    return lerpLanes<vec::F8>(a, b, t, out, n);
}
#endif

void lerpRows(Pixel const* a, Pixel const* b, float t, Pixel* out, std::size_t pixels) {
    float const* x = reinterpret_cast<float const*>(a);
    float const* y = reinterpret_cast<float const*>(b);
    float* o = reinterpret_cast<float*>(out);
    const std::size_t n = pixels * 4;  // whole pixels: the four-lane form ends the row
    std::size_t k = 0;
#if RD_HAVE_AVX2_VARIANT
    if (vec::units() >= vec::Units::Avx2) k = lerpLanesAvx2(x, y, t, o, n);
#endif
    lerpLanes<vec::F4>(x + k, y + k, t, o + k, n - k);
}

}  // namespace

bool mapCoordinate(int c, int size, EdgeMode mode, int& mapped) {
    mapped = 0;
    if (size < 1) return false;
    switch (mode) {
        case EdgeMode::Wrap: {
            int r = c % size;
            if (r < 0) r += size;
            mapped = r;
            return true;
        }
        case EdgeMode::Clamp:
            mapped = c < 0 ? 0 : (c < size - 1 ? c : size - 1);
            return true;
        case EdgeMode::Mirror: {
            if (size == 1) return true;
            // 2·size − 2 in 64 bits: size can be up to INT_MAX.
            const long long n = 2LL * size - 2;
            long long r = static_cast<long long>(c) % n;
            if (r < 0) r += n;
            mapped = static_cast<int>(r < size ? r : n - r);
            return true;
        }
        case EdgeMode::Transparent:
            if (static_cast<unsigned>(c) < static_cast<unsigned>(size)) {
                mapped = c;
                return true;
            }
            return false;
    }
    return false;
}

int saturatingInt(float v) {
    // Largest floats below ±2^31; one more pixel (+1) must not overflow either.
    if (!(v > -2147483520.0f)) return -2147483520;
    if (v > 2147483520.0f) return 2147483520;
    return static_cast<int>(v);
}

Pixel fetch(Image const& image, int x, int y, EdgeMode mode) {
    int mx = 0;
    if (!mapCoordinate(x, image.width, mode, mx)) return {};
    int my = 0;
    if (!mapCoordinate(y, image.height, mode, my)) return {};
    return image.pixels[static_cast<std::size_t>(my) * image.width + mx];
}

Pixel sampleBilinear(Image const& image, float x, float y, EdgeMode mode) {
    const float fa = std::floor(x);
    const float fb = std::floor(y);
    const int a = saturatingInt(fa);
    const int b = saturatingInt(fb);
    const float fx = x - fa;
    const float fy = y - fb;
    Pixel p00, p10, p01, p11;
    if (a >= 0 && b >= 0 && a + 1 < image.width && b + 1 < image.height) {
        const std::size_t row = static_cast<std::size_t>(b) * image.width;
        const std::size_t next = row + image.width;
        p00 = image.pixels[row + a];
        p10 = image.pixels[row + a + 1];
        p01 = image.pixels[next + a];
        p11 = image.pixels[next + a + 1];
    } else {
        p00 = fetch(image, a, b, mode);
        p10 = fetch(image, a + 1, b, mode);
        p01 = fetch(image, a, b + 1, mode);
        p11 = fetch(image, a + 1, b + 1, mode);
    }
    return image::lerp(image::lerp(p00, p10, fx), image::lerp(p01, p11, fx), fy);
}

std::vector<BilinearGrid::Axis> BilinearGrid::axis(int count, int size, float scale, int offset,
                                                   EdgeMode mode) const {
    std::vector<Axis> table;
    if (count <= 0) return table;
    table.resize(static_cast<std::size_t>(count));
    const float off = static_cast<float>(offset);
    for (int i = 0; i < count; ++i) {
        const float c = rdMulAdd(static_cast<float>(i) + 0.5f, scale, -0.5f) + off;
        const float fj = std::floor(c);
        const int j = saturatingInt(fj);
        Axis& e = table[static_cast<std::size_t>(i)];
        e.weight = c - fj;
        int m = 0;
        e.index0 = mapCoordinate(j, size, mode, m) ? m : -1;
        e.index1 = mapCoordinate(j + 1, size, mode, m) ? m : -1;
    }
    return table;
}

int BilinearGrid::loadRow(int row, int avoidSlot) {
    if (cachedRow[0] == row) return 0;
    if (cachedRow[1] == row) return 1;
    const int slot = avoidSlot == 0 ? 1 : 0;
    std::vector<Pixel>& out = rowCache[static_cast<std::size_t>(slot)];
    out.resize(columns.size());
    if (row < 0) {
        std::fill(out.begin(), out.end(), Pixel{});
    } else {
        const Pixel* src = source->pixels.data() + static_cast<std::size_t>(row) * source->width;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const Axis& c = columns[i];
            const vec::F4 p0 = c.index0 >= 0 ? vec::load(src + c.index0) : vec::F4{};
            const vec::F4 p1 = c.index1 >= 0 ? vec::load(src + c.index1) : vec::F4{};
            vec::store(&out[i], vec::lerp(p0, p1, c.weight));
        }
    }
    cachedRow[static_cast<std::size_t>(slot)] = row;
    return slot;
}

void BilinearGrid::resampleRow(int j, std::vector<Pixel>& out) {
    const Axis& r = rows[static_cast<std::size_t>(j)];
    const int sA = loadRow(r.index0, -1);
    const int sB = loadRow(r.index1, sA);
    const std::vector<Pixel>& a = rowCache[static_cast<std::size_t>(sA)];
    const std::vector<Pixel>& b = rowCache[static_cast<std::size_t>(sB)];
    out.resize(columns.size());
    lerpRows(a.data(), b.data(), r.weight, out.data(), columns.size());
}

BilinearGrid makeGrid(Image const& source, int outWidth, int outHeight, float scaleX, float scaleY,
                      int offset, EdgeMode mode) {
    BilinearGrid grid;
    grid.source = &source;
    grid.columns = grid.axis(outWidth, source.width, scaleX, offset, mode);
    grid.rows = grid.axis(outHeight, source.height, scaleY, offset, mode);
    return grid;
}

}  // namespace raydrift::sampling

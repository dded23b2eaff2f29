#include "host/bounds.h"

#include <algorithm>
#include <cstdint>

namespace raydrift::bounds {

void blit(image::Image const& src, image::Image& dst, int dx, int dy) {
    // 64-bit so that offsets near the int range cannot overflow the overlap.
    const std::int64_t x0 = std::max<std::int64_t>(0, dx);
    const std::int64_t y0 = std::max<std::int64_t>(0, dy);
    const std::int64_t x1 = std::min<std::int64_t>(dst.width, std::int64_t{dx} + src.width);
    const std::int64_t y1 = std::min<std::int64_t>(dst.height, std::int64_t{dy} + src.height);
    if (x1 <= x0 || y1 <= y0) return;
    for (std::int64_t y = y0; y < y1; ++y) {
        image::Pixel const* from = &src.at(static_cast<int>(x0 - dx), static_cast<int>(y - dy));
        std::copy(from, from + (x1 - x0), &dst.at(static_cast<int>(x0), static_cast<int>(y)));
    }
}

}  // namespace raydrift::bounds

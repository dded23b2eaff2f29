#include "image/luminance.h"

namespace raydrift::image {

void extractLuminanceRange(Image const& src, Image& dst, RenderSettings const& settings) {
    if (&src != &dst) dst.resize(src.width, src.height);
    const std::size_t n = src.pixelCount();
    for (std::size_t i = 0; i < n; ++i) {
        const Pixel p = src.pixels[i];
        const float m = luminanceRangeMask(luma(p), settings);
        dst.pixels[i] = {p.r * m, p.g * m, p.b * m, p.a * m};
    }
}

bool hasTransparentForeground(Image const& image) {
    for (Pixel const& p : image.pixels)
        if (p.a < 0.9999f) return true;
    return false;
}

}  // namespace raydrift::image

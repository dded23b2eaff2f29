#include "image/color.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "image/color_math.h"
#include "image/luminance.h"
#include "image/parallel.h"
#include "image/sampling.h"

namespace raydrift::image {

namespace {

inline RdRgba toRgba(Pixel const& p) { return rdRgba(p.r, p.g, p.b, p.a); }
inline Pixel toPixel(RdRgba const& p) { return {p.r, p.g, p.b, p.a}; }

// Alpha of the input frame under streak pixel (x, y). Direct index inside the frame;
// the margins beyond it see the frame through the edge mode, and nothing there (a
// Transparent edge) is alpha 0, which takes the full tint.
struct InputAlpha {
    Image const* frame = nullptr;
    int marginX = 0;
    int marginY = 0;
    EdgeMode edge = EdgeMode::Clamp;

    float at(int x, int y) const {
        const int ix = x - marginX;
        const int iy = y - marginY;
        if (static_cast<unsigned>(ix) < static_cast<unsigned>(frame->width) &&
            static_cast<unsigned>(iy) < static_cast<unsigned>(frame->height))
            return frame->pixels[static_cast<std::size_t>(iy) * frame->width + ix].a;
        int mx = 0;
        int my = 0;
        if (!sampling::mapCoordinate(ix, frame->width, edge, mx) ||
            !sampling::mapCoordinate(iy, frame->height, edge, my))
            return 0.0f;
        return frame->pixels[static_cast<std::size_t>(my) * frame->width + mx].a;
    }
};

bool sizesMatch(Image const& input, Image const& image, int marginX, int marginY) {
    return static_cast<std::int64_t>(input.width) + 2 * static_cast<std::int64_t>(marginX) ==
               image.width &&
           static_cast<std::int64_t>(input.height) + 2 * static_cast<std::int64_t>(marginY) ==
               image.height;
}

unsigned long workOf(Image const& image) { return static_cast<unsigned long>(image.pixelCount()); }

}  // namespace

float referenceScale(int width, int height) {
    // In double, as the streak stage derives its own scale: both must agree on the frame.
    return static_cast<float>(std::sqrt(static_cast<double>(std::max(width, 1)) *
                                        static_cast<double>(std::max(height, 1)) / 2073600.0));
}

void applyColor(Image& image, Image& scratch, RenderSettings const& settings,
                Image const* inputFrame, int marginX, int marginY) {
    if (image.pixels.empty()) return;

    const float amount = rdClamp01(settings.tint);
    const bool chromatic = settings.chromaticAmount > 0.0f;
    const bool protect = inputFrame != nullptr && amount > 0.0f &&
                         sizesMatch(*inputFrame, image, marginX, marginY) &&
                         hasTransparentForeground(*inputFrame);
    InputAlpha inputAlpha;
    if (protect) inputAlpha = {inputFrame, marginX, marginY, settings.edgeMode};
    const float saturation = settings.saturation;
    const float tr = settings.tintR;
    const float tg = settings.tintG;
    const float tb = settings.tintB;
    const int width = image.width;

    if (!(amount == 0.0f && saturation == 1.0f)) {
        // A protected tint with fringes waits until after the displacement, so that it
        // follows the input frame's alpha at the pixel the fringe ends up on.
        const bool deferTint = protect && chromatic;
        parallel::ranges(image.height, workOf(image), [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                Pixel* row = image.pixels.data() + static_cast<std::size_t>(y) * width;
                for (int x = 0; x < width; ++x) {
                    float a = amount;
                    if (deferTint)
                        a = 0.0f;
                    else if (protect)
                        a = a * rdTintScale(inputAlpha.at(x, y));
                    row[x] = toPixel(rdColorPixel(toRgba(row[x]), saturation, a, tr, tg, tb));
                }
            }
        });
    }

    if (!chromatic) return;

    const float s = settings.scale > 0.0f ? settings.scale : referenceScale(image.width, image.height);
    const float d = settings.chromaticAmount * s;
    // The angle is used as given, not reduced to one turn: the GPU path computes the
    // same sine and cosine from the same float.
    const float theta = settings.direction * 0.017453292f;
    const float sn = std::sin(theta);
    const float cs = std::cos(theta);
    const float aheadX = d * sn;
    const float aheadY = -cs * d;
    const float behindX = -sn * d;
    const float behindY = cs * d;
    const EdgeMode edge = settings.edgeMode;
    const int channels = settings.channels;

    // The displaced image is built beside the coloured one and swapped in; a caller
    // that passes the same image twice still gets a separate buffer.
    Image aliasGuard;
    Image& target = &scratch == &image ? aliasGuard : scratch;
    target.resize(image.width, image.height);
    Image const& coloured = image;
    parallel::ranges(image.height, workOf(image), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const float fy = static_cast<float>(y);
            Pixel const* in = coloured.pixels.data() + static_cast<std::size_t>(y) * width;
            Pixel* out = target.pixels.data() + static_cast<std::size_t>(y) * width;
            for (int x = 0; x < width; ++x) {
                const float fx = static_cast<float>(x);
                const Pixel A = sampling::sampleBilinear(coloured, aheadX + fx, aheadY + fy, edge);
                const Pixel C = sampling::sampleBilinear(coloured, fx + behindX, fy + behindY, edge);
                RdRgba p = rdChromaticPixel(toRgba(A), toRgba(in[x]), toRgba(C), channels);
                if (protect) p = rdTintPixel(p, amount * rdTintScale(inputAlpha.at(x, y)), tr, tg, tb);
                out[x] = toPixel(p);
            }
        }
    });
    std::swap(image, target);
}

}  // namespace raydrift::image

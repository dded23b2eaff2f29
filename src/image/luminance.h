// The luminance matte: which light takes part in the streaks.
#pragma once

#include <cstddef>

#include "image/frame_rows.h"
#include "image/image.h"
#include "image/lit_groups.h"
#include "settings/render_settings.h"

namespace raydrift::image {

// Luma of a premultiplied pixel, taken from its unpremultiplied colour (Rec. 709).
// Alpha at or below 1e-6 gives 0.
inline float luma(Pixel const& p) { return rdLumaPremultiplied(p.r, p.g, p.b, p.a); }

// How much of a pixel of luma `luma` passes: 1 at or above lowCut, a smoothstep over
// [lowCut − lowFeather, lowCut], 0 below; likewise above highCut; inverted on request.
inline float luminanceRangeMask(float luma, RenderSettings const& settings) {
    return rdLuminanceRangeMask(luma, settings.lowCut, settings.lowFeather, settings.highCut,
                                settings.highFeather, settings.invert ? 1 : 0);
}

// masks[i] = luminanceRangeMask(luma(pixels[i]), settings) for i < count, to the bit;
// four pixels at a time.
void luminanceRangeMasks(Pixel const* pixels, std::size_t count, RenderSettings const& settings, float* masks);
void luminanceRangeMasks(ArgbPixel const* pixels, std::size_t count, RenderSettings const& settings, float* masks);

// Adds the n pixels at `in`, a source row from a block boundary on, into the sums of their
// 4-pixel blocks, each block's pixels in order: sums[x / 4] += in[x] · mask of in[x] per
// channel (a product, then a sum), and plains[x / 4] += in[x] where plains is not null.
// The last block may be partial. `masks` is scratch for n floats.
void addMaskedBlocks(Pixel const* in, std::size_t n, RenderSettings const& settings, Pixel* sums, Pixel* plains,
                     float* masks);
void addMaskedBlocks(ArgbPixel const* in, std::size_t n, RenderSettings const& settings, Pixel* sums,
                     Pixel* plains, float* masks);

// dst = src with every pixel (colour and alpha) multiplied by its mask. dst takes src's
// size; dst and src may be the same image. src may be a caller's rows. With `lit`, which
// runs of dst's pixels hold light is noted there as they are written.
void extractLuminanceRange(RowSource const& src, Image& dst, RenderSettings const& settings,
                           LitGroups* lit = nullptr);

// True when some pixel has alpha below 0.9999 (a NaN alpha is not transparency).
bool hasTransparentForeground(RowSource const& rows);

}  // namespace raydrift::image

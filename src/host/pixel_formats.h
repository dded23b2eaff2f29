// Conversion between the hosts' pixel worlds and the engine's premultiplied float RGBA.
//
// After Effects worlds are premultiplied ARGB: 8-bit (full scale 255), 16-bit (full scale
// 32768, not 65535) and 32-bit float (1.0, unbounded). Premiere Pro's software worlds are
// BGRA with straight alpha, 8-bit or 32-bit float. Rows are `rowbytes` apart; a negative
// `rowbytes` walks the rows upwards from `data`, as the hosts allow.
#pragma once

#include <cstdint>

#include "AE_Effect.h"
#include "image/frame_rows.h"
#include "image/image.h"

namespace raydrift::pixel_formats {

// Premiere Pro's 8-bit pixel, in memory order.
struct Bgra8 {
    std::uint8_t blue, green, red, alpha;
};

// Premiere Pro's float pixel, in memory order.
struct BgraFloat {
    float blue, green, red, alpha;
};

// Bytes of one pixel of a format this module knows; 0 for any other code.
int bytesPerPixel(int format);

// Resizes `image` to the world's size and fills it, premultiplying straight-alpha
// formats. 516 when the world or its data is missing, its size is below 1×1 or its
// rows are shorter than `rowbytes` says; 514 for an unknown format (image untouched).
PF_Err readWorld(PF_LayerDef const* world, int format, image::Image& image);

// Writes every pixel of the world from the image of the same size. Alpha is clamped to
// [0, 1]; integer channels are clamped and rounded half away from zero, and a NaN
// channel is written as 0. `alphaView` writes straight colour to After Effects worlds
// (Premiere worlds are always straight). 516 for a missing world or data, a size
// mismatch or short rows; 514 for an unknown format. Nothing is written on error.
PF_Err writeWorld(image::Image const& image, int format, PF_LayerDef* world, bool alphaView);

// The checks readWorld and writeWorld make, for an input and an output of the same size
// (at least 1×1) handed to the engine as rows; the same codes.
PF_Err checkRows(PF_LayerDef const* input, int inputFormat, PF_LayerDef const* output, int outputFormat);

// The input and output worlds as the engine's rows: each row read as readWorld reads it
// and written as writeWorld writes it, to the bit, without a frame-sized image between.
// The worlds must have passed checkRows and outlive the rows.
image::FrameRows worldRows(PF_LayerDef const* input, int inputFormat, PF_LayerDef* output, int outputFormat,
                           bool alphaView);

}  // namespace raydrift::pixel_formats

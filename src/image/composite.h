// The last stage of a frame: streaks over the input with one of fourteen blend modes,
// or the streaks alone (on black, or as an alpha-carrying layer).
#pragma once

#include <cstddef>

#include "image/frame_rows.h"
#include "image/image.h"
#include "settings/render_settings.h"

namespace raydrift::image {

// How compositeMapped finds the streak pixel of output pixel (x, y).
struct CompositeMapping {
    float scaleX = 1.0f;  // effect pixels per output pixel along x (resampling only)
    float scaleY = 1.0f;  // the same along y
    int margin = 0;       // output (x, y) lies over effect (x + margin, y + margin)
    bool resample = false;              // false: direct read; true: bilinear resampling
    EdgeMode edge = EdgeMode::Clamp;    // what resampling taps outside the effect read
};

// out = base, every bit; row by row where either side is a caller's rows. The zero-strength
// composites and a frame with nothing to add show the base this way.
void copyRows(RowSource const& base, RowSink const& out);

// One channel of a blend: a is the base's straight colour, b the streak's straight
// colour times the intensity. Any mode outside the enumeration blends as Normal.
float blendChannel(float a, float b, BlendMode mode);

// Composites `effect` (streaks, premultiplied, the base's size, pixel i over pixel i)
// onto `base` into `out`, which takes the base's size and is fully written.
// Views Black and Alpha show the streaks alone; every other view blends them with
// `blendMode` at strength `opacity` × gain `intensity`. In the blended views a pixel the
// streaks leave uncovered (coverage exactly 0) is the base pixel bit for bit, including
// −0, negative HDR and NaN payloads, and zero strength copies the whole base. `out` may
// be the base or the effect. Throws std::invalid_argument when the effect's size differs
// from the base's. Rows are split over parallel::ranges; the result does not depend on
// the split. Base and output may also be a caller's rows (frame_rows.h), read and
// written one row at a time; the same holds for compositeRows and compositeMapped.
void composite(RowSource const& base, Image const& effect, RowSink const& out, RenderSettings const& settings);

// Rows [y0, y1) of composite(base, effect, out, settings), the effect's rows given as
// `effectRows` (row y0 first, rows `stride` pixels apart). `out` must already have the
// base's size and must not hold the effect rows. Calls for disjoint ranges may run at once.
void compositeRows(RowSource const& base, Pixel const* effectRows, std::size_t stride, RowSink const& out,
                   RenderSettings const& settings, int y0, int y1);

// As composite, for an effect with a margin or at another resolution: the streak pixel
// of output (x, y) is effect (x + margin, y + margin), or with `resample` the bilinear
// sample at ((x + 0.5)·scaleX − 0.5 + margin, (y + 0.5)·scaleY − 0.5 + margin) with taps
// outside the effect read through `edge`. With `colorOverride` the saturation and tint of
// the settings it points to are applied to every fetched streak pixel first, the tint
// protected (scaled by 1 − clamp01(base alpha)) when the base has some transparency;
// strength, blend mode and view always come from `settings`. `out` may be the base or
// the effect. Throws std::invalid_argument when a direct read would leave the effect.
void compositeMapped(RowSource const& base, Image const& effect, RowSink const& out,
                     RenderSettings const& settings, CompositeMapping const& mapping,
                     RenderSettings const* colorOverride);

}  // namespace raydrift::image

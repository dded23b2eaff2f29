// Streak colour: saturation, tint (with the protected tint of layers that have
// transparent areas) and chromatic aberration, on a streak image with a margin.
#pragma once

#include "image/image.h"
#include "settings/render_settings.h"

namespace raydrift::image {

// Pixels of a width × height image per pixel of a 1920×1080 frame:
// √(max(w, 1)·max(h, 1) / kReferenceFramePixels), evaluated in double and rounded to float. Used wherever `scale` is not positive.
float referenceScale(int width, int height);

// Recolours the streak image in place. Saturation pulls each colour towards its luma,
// the tint (amount clamp01(`tint`)) towards tint colour × alpha; alpha is unchanged.
// With `chromaticAmount` > 0 two channels are displaced by ±chromaticAmount·scale pixels
// along the streak axis (direction θ: ahead is (sin θ, −cos θ)), read bilinearly through
// `edgeMode`, and alpha becomes the largest of the three taps.
//
// `inputFrame` (may be null) is the unprocessed frame under the streaks: streak pixel
// (x, y) lies over input pixel (x − marginX, y − marginY). When it has the streak image's
// size less the margins and some transparency, the tint is protected: scaled by
// 1 − clamp01(input alpha), so opaque parts of the layer stay untinted; positions beyond
// the input frame read its alpha through `edgeMode` (nothing there counts as alpha 0).
//
// `scratch` is the caller's work image: when the chromatic step runs, `image` and
// `scratch` exchange contents and sizes (afterwards `scratch` holds the coloured,
// undisplaced streaks); otherwise it is untouched. It must not be `inputFrame`.
// Rows are split over parallel::ranges; the result does not depend on the split.
void applyColor(Image& image, Image& scratch, RenderSettings const& settings,
                Image const* inputFrame, int marginX, int marginY);

}  // namespace raydrift::image

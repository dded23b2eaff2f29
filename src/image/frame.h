// The CPU renderer's one entry point: a whole frame, at full resolution or through the
// quarter-resolution Performance path.
#pragma once

#include <cstddef>

#include "image/image.h"
#include "settings/render_settings.h"

namespace raydrift::image {

// Renders one frame: `dst` becomes the output of src's size (premultiplied float RGBA);
// its previous content and size do not matter, and it may be `src` itself.
// The frame is first offered to the GPU frame renderer when settings.useGpu asks for it
// (and there is something to render); a declined frame renders here. While rendering,
// parallel::activeFrames counts this frame, so concurrent frames share the workers.
// Failures (std::bad_alloc, or an exception from a stage) leave as exceptions with
// `dst` unspecified and the frame no longer counted.
void processFrame(Image const& src, Image& dst, RenderSettings const& settings);

// The quarter-resolution selection: pixel (X, Y) of `selected` (resized to
// ceil(w/4) × ceil(h/4)) is the mean over the source pixels (4X + i, 4Y + j) inside the
// frame of pixel × its luminance mask; edge blocks average their real pixels only. With
// `smallSource` (resized likewise) the plain mean of the same pixels is stored there too.
// Pixels are summed in block order (j outer, i inner) whatever the thread split.
void reduceQuarter(Image const& src, Image& selected, Image* smallSource,
                   RenderSettings const& settings);

// Frees the working image processFrame keeps between frames (the host's global set-down).
void releaseWorkingMemory() noexcept;

// Gives `image` capacity for `pixels` pixels without touching them, so that later resizes
// up to that size neither move nor copy it; when it has to grow its content is dropped
// (callers overwrite it). On Linux the untouched buffer is offered huge pages, which makes
// the first touch of a fresh frame-sized buffer several times cheaper; a hint only.
void reserveFramePixels(Image& image, std::size_t pixels);

// The most pixels either image of generateStreak holds for a width × height selection
// with `margin`: the canvas, the result with its margin, or the selection itself.
std::size_t streakWorkingPixels(int width, int height, RenderSettings const& settings, int margin);

// Streak margin the chromatic shift needs at full resolution: ceil(amount·scale) + 2.
// Throws std::bad_alloc when the shift is not finite or too large to address.
int fullChromaticMargin(float amount, float scale);

// The same on the quarter path of a width × height frame: the full-size shift enlarged
// by 3 pixels, scaled down by the larger of the two reduction ratios, plus 2:
// ceil(max(kw/w, kh/h)·(ceil(amount·scale) + 3)) + 2.
int quarterChromaticMargin(float amount, float scale, int width, int height);

}  // namespace raydrift::image

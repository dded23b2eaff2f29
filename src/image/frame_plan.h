// Everything the frame driver decides before it touches a pixel: which path a frame
// takes, at which size the streaks are made, the scales and margins of each stage, the
// streak canvas, and how many pixels of working images the frame will hold.
//
// processFrame renders by this plan; the host's memory estimate, the benchmark's stage
// breakdown and the GPU frame graph read the same plan instead of re-deriving it, so
// they cannot drift apart. Sizes that can overflow are computed in 64 bits.
#pragma once

#include <cstdint>

#include "image/composite.h"
#include "image/image.h"
#include "image/streak.h"
#include "settings/render_settings.h"

namespace raydrift::image {

// What a frame becomes.
enum class FramePath : std::int32_t {
    Matte,    // the threshold matte in grey, from `settings` (no jitter)
    Source,   // nothing to add: a copy of the source
    Black,    // nothing to add, Black view: opaque black
    Clear,    // nothing to add, Alpha view: transparent black
    Full,     // streaks made at full resolution
    Quarter,  // streaks made on the ceil(w/4) × ceil(h/4) reduction, resampled back
};

struct FramePlan {
    FramePath path = FramePath::Source;
    int width = 0;   // w: the source and the output
    int height = 0;  // h

    // The rest is filled for the Full and Quarter paths only.
    RenderSettings animated;  // the settings with jitter applied; every stage reads it
    int workWidth = 0;        // the selection the streaks are made from: w × h, or
    int workHeight = 0;       // kw × kh = ceil(w/4) × ceil(h/4) on the quarter path
    float ratioX = 1.0f;      // kw / w and kh / h (1 at full resolution)
    float ratioY = 1.0f;
    bool chromatic = false;   // chromatic aberration on: the streaks get a margin
    // Quarter path with tint and chromatic aberration: the 4×4 mean of the plain source
    // (`smallSource`) is built for the colour stage, and the source is checked for
    // transparency; a transparent foreground leaves the tint to the compositor
    // (colorSettings.tint = 0, deferredColor as the compositor's colour).
    bool tintedFringes = false;
    float scale = 1.0f;       // s: animated.scale, or derived from the full frame's size
    int margin = 0;           // streak margin on each side (0 without chromatic aberration)
    RenderSettings streakSettings;  // for generateStreak (scale reduced on the quarter path)
    RenderSettings colorSettings;   // for applyColor (scale = s × √(ratioX·ratioY))
    RenderSettings deferredColor;   // animated without chromatic shift, saturation 1
    StreakGeometry streak;          // generateStreak's geometry for the selection
    CompositeMapping mapping;       // output pixel → streak pixel
    // Full path, no chromatic aberration, saturation 1 and no tint: the plain compositor.
    bool plainComposite = false;
    // The compositor recolours with `animated` (no chromatic aberration on either path).
    bool colorFromAnimated = false;

    // Pixels of each working image. Both images of the streak ping-pong are reserved to
    // `workingPixels` up front; the quarter path keeps the output's frame aside.
    std::uint64_t workingPixels = 0;
    std::uint64_t smallSourcePixels = 0;
    std::uint64_t outputPixels = 0;  // w × h
    // The most pixels of engine images the frame holds at once, the output included and
    // the source not (a frame rendered in place also holds a copy of its source).
    std::uint64_t peakPixels = 0;
    std::uint64_t peakBytes() const;  // peakPixels × sizeof(Pixel), saturating
};

// Whether processFrame offers a frame with these settings to the GPU renderer first:
// Use GPU is on and the frame is a matte or adds something.
bool offersFrameToGpu(RenderSettings const& settings);

// The plan of a width × height frame (negative sizes count as 0). Throws std::bad_alloc
// for a frame whose images could not be addressed (a size beyond the int range, a
// canvas or a chromatic shift too large), before anything of the frame's size exists.
FramePlan planFrame(std::int64_t width, std::int64_t height, RenderSettings const& settings);

// Streak margin the chromatic shift needs at full resolution: ceil(amount·scale) + 2.
// Throws std::bad_alloc when the shift is not finite or too large to address.
int fullChromaticMargin(float amount, float scale);

// The same on the quarter path of a width × height frame: the full-size shift enlarged
// by 3 pixels, scaled down by the larger of the two reduction ratios, plus 2:
// ceil(max(kw/w, kh/h)·(ceil(amount·scale) + 3)) + 2.
int quarterChromaticMargin(float amount, float scale, int width, int height);

// ⌈n / 4⌉ for n ≥ 0 (negative as 0), without overflowing next to the int limit.
int quarterSize(int n);

// The most pixels either image of generateStreak holds for a width × height selection
// with `margin`: the canvas, the result with its margin, or the selection itself.
std::uint64_t streakWorkingPixels(int width, int height, RenderSettings const& settings, int margin);

}  // namespace raydrift::image

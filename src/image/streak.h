// Streak generation: the selected light smeared into lines along the Direction angle,
// separably, in a canvas whose vertical axis runs along the streak.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "image/image.h"
#include "image/lit_groups.h"
#include "settings/render_settings.h"

namespace raydrift::image {

// Everything generateStreak derives from the frame size, the settings and the margin.
// The GPU frame graph fills its constant block from the same record, so both renderers
// agree on the canvas to the last pixel.
struct StreakGeometry {
    float scale = 1.0f;   // s: `scale` if positive, else derived from the frame size
    int length = 0;       // L: streak length in pixels (may be ≤ 0: no vertical pass)
    int halfWidth = 0;    // HW: box half-width in pixels (may be ≤ 0: no horizontal pass)
    float strength = 0.0f;  // d: diffraction strength in [0, 1]; 0 when L < 1
    float sn = 0.0f;      // sine and cosine of Direction, snapped to 0 below 1e-6
    float cs = 1.0f;
    bool axisAligned = true;  // the rotation is a pixel permutation: nearest-pixel reads
    float cx = 0.0f;      // image centre
    float cy = 0.0f;
    float ex = 0.0f;      // half the extent of the rotated image
    float ey = 0.0f;
    int extraMargin = 0;  // m2: room for the margin in the rotated frame
    int half = 0;         // (max(L, 0) + 1) / 2
    int padX = 0;         // canvas columns beside the image on each side
    int padTop = 0;       // canvas rows above the image
    int below = 0;        // canvas rows under the image, for light entering from outside
    float ox = 0.0f;      // rotated-frame position of canvas pixel (0, 0)
    float oy = 0.0f;
    int canvasWidth = 0;  // ww
    int canvasHeight = 0;  // wh
    int reach = 0;        // r: rows the vertical profile reaches (half when symmetric)
    int outputWidth = 0;  // w + 2·margin
    int outputHeight = 0;  // h + 2·margin
};

// The geometry for a width × height selection and `margin` extra pixels on each side of
// the result. Non-finite Direction counts as 0, non-finite Length or Width as 0. Throws
// std::bad_alloc when the canvas or the result could not be addressed as an image.
StreakGeometry streakGeometry(int width, int height, RenderSettings const& settings, int margin);

// Details factor of canvas column `column` for a canvas starting at `ox` in the rotated
// frame, at streak scale `scale` (noise cells are one 1080p-relative pixel wide).
// The streak's direction as sin and cos, each snapped to 0 within 1e-6 of it.
void streakAxes(RenderSettings const& settings, float& sn, float& cs);
// Whether the direction is off the axes: the streak passes then rotate the selection.
bool obliqueStreak(RenderSettings const& settings);

// In [1 − min(details, 1), 1]; 1 when details ≤ 0.
float detailsFactor(int column, float ox, float scale, float details);

// Turns the selection in `image` (premultiplied) into the streak image of
// (w + 2·margin) × (h + 2·margin), pixel (x + margin, y + margin) aligned with source
// pixel (x, y). `scratch` is working memory; on return it holds an intermediate.
// Light outside the selection is read through settings.edgeMode. Non-finite selection
// values contribute no light instead of spreading along whole rows and columns.
// Throws std::bad_alloc when the canvas cannot be allocated. `lit`, when given, says which
// runs of the selection hold light (as the pass that made it noted), so that they need
// not be looked for.
void generateStreak(Image& image, Image& scratch, RenderSettings const& settings, int margin,
                    LitGroups const* lit = nullptr);

// Receives rows [y0, y1) of a streak result: row y0 at `first`, rows `stride` pixels
// apart. Called from several threads at once, for disjoint ranges.
using StreakRows = std::function<void(int y0, int y1, Pixel const* first, std::size_t stride)>;

// generateStreak, handing the result to `rows` band by band while it is made instead of
// storing it (the next pass reads each band while it is in the cache). Before the first
// call `scratch` takes the result's size and is then left to `rows`, which may write it;
// `image` ends up holding an intermediate. Every row of the result is handed over once.
void generateStreak(Image& image, Image& scratch, RenderSettings const& settings, int margin,
                    StreakRows const& rows, LitGroups const* lit = nullptr);

// dst(x, y) = the mean of src over columns x − R … x + R, with R = min(radius, 2·width),
// reading outside columns through `edge` (zero for Transparent) and always dividing by
// the full window 2R + 1. Float prefix sums, O(1) per pixel. radius < 1 copies.
// dst may be src.
void boxBlurHorizontal(Image const& src, Image& dst, int radius, EdgeMode edge);

// The triangular profile along the streak. Not symmetric: each source row lights itself
// with weight r + 1 and the r rows above it with r, r − 1, … 1 (r = length); symmetric:
// rows y − r … y + r with weights 1 … r + 1 … 1 (r = (length + 1) / 2). Normalised to
// unit sum; rows outside count as zero. Colour and alpha are raised to at least 0 and
// alpha limited to at most 1. Sums are double, O(1) per pixel. dst may be src.
void verticalStreak(Image const& src, Image& dst, int length, bool symmetric);
// The same, writing only output rows [0, rows): the rows under them are left as dst held
// them. The running sums still start at the top, so those rows come out bit for bit as
// in the full pass.
void verticalStreak(Image const& src, Image& dst, int length, bool symmetric, int rows);

}  // namespace raydrift::image

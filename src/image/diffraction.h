// The diffraction pass: the streak's box across and profile along, with every tap of the
// profile modulated by a cosine so that the streak shows bright and dark bands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "image/image.h"

namespace raydrift::image {

// The modulated profile. Taps k = −above … below, weight w(k) = symmetric ?
// above + 1 − |k| : length + 1 − k, modulation c(k) = 1 + depth·cos(step·k), normalised
// by `normaliser` = Σ w(k)·c(k) so that a flat field stays flat.
struct FlareProfile {
    int halfWidth = 0;   // box half-width across the streak
    int length = 1;      // L
    bool symmetric = false;
    int above = 0;       // hs: taps on rows above the output row
    int below = 1;       // E: taps on rows below it
    int taps = 2;        // Lv = above + below + 1
    double depth = 0.0;  // m = 0.85·min(d, 1): every c(k) stays at least 0.15
    double step = 0.0;   // ω: at most three cosine periods over the profile
    double normaliser = 1.0;  // N
};

// The profile for a box half-width, a length ≥ 1 and a strength d in (0, 1] (values
// outside are clamped; a NaN strength counts as 0).
FlareProfile flareProfile(int halfWidth, int length, bool symmetric, float strength);

// Replaces `canvas` by its box-blurred (half-width halfWidth, divided by the full box)
// and modulated-profile streak, in place and in double precision, O(1) per pixel.
// Outside the canvas counts as zero. Colour is raised to at least 0, alpha limited to
// [0, 1]. `scratch` is not needed by this pass and is left as it is. With `rows` below the
// canvas height only rows [0, rows) receive the streak; the rows under them keep the
// box-blurred canvas (every output row is its own prefix-sum window, so the rows written
// do not change).
void applyFlareStreak(Image& canvas, Image& scratch, int halfWidth, int length, bool symmetric,
                      float strength, int rows = std::numeric_limits<int>::max());

// The two halves of applyFlareStreak, for a caller that runs the box on each band of
// canvas rows as it produces it: the box across `count` rows of `width` pixels, `stride`
// pixels apart, in place, and then the profile along the columns over the whole canvas.
// Columns per segment of a partly written canvas row.
constexpr int kLitSegment = 32;

// For a box of half-width `halfWidth` over rows [first, first + count·stride) of `width`
// pixels whose outputs [0, columns) are wanted, where row r was written only in the
// segments t that lit[r·segments + t] marks (the others read as +0 and may hold
// anything): marks in keep[t] the segments the box must read and write, those within
// the half-width of a written one in any of the rows, and clears their unwritten pixels.
// `lit` then marks them written. False when there are none: every window is +0 and the
// rows stay as they are.
bool keepLitSegments(Pixel* first, std::size_t stride, int count, int width, long long columns, long long halfWidth,
                     std::uint8_t* lit, int segments, std::uint8_t* keep);

class FlareBox {
public:
    FlareBox(int width, int halfWidth);
    // Rows [first, first + count·stride) in place. With `columns` below the width, only
    // outputs [0, columns) are wanted: the sums stop where their windows do, so the
    // pixels from columns + halfWidth on are neither read nor written. With `lit`, row r
    // was written only in the kLitSegment-column segments t where lit[r·segments + t] is
    // set; the others read as +0 and may hold anything (see blurLit).
    void blur(Pixel* first, int count, std::size_t stride, int columns = -1, std::uint8_t* lit = nullptr,
              int segments = 0);

private:
    int width_;
    long long halfWidth_;
    double inverse_;
    std::size_t mask_;          // ring entries − 1
    std::vector<double> ring_;  // the latest running sums (4 doubles) of each row run together
    std::vector<std::uint8_t> keep_;
};
// With `columnEnd` set, column x needs rows [columnStart[x], columnEnd[x]) only (within
// [0, rows)): a block of columns writes the rows from the first to the last any of its
// columns needs and keeps the others as they were. Every sum still runs from row 0, so
// each row written is the same either way. columnStart may be null (from row 0).
// With `lit`, row y was written only in the segments t where lit[y·segments + t] is set
// (segments = the canvas width in kLitSegment-column segments, rounded up); the pass reads
// +0 for the others.
void applyFlareProfile(Image& canvas, FlareProfile const& profile, int rows, int const* columnEnd = nullptr,
                       int const* columnStart = nullptr, std::uint8_t const* lit = nullptr);

}  // namespace raydrift::image

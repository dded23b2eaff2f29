// Edge modes, point-wise bilinear sampling and the cached separable resampler.
#pragma once

#include <array>
#include <vector>

#include "image/image.h"

namespace raydrift::sampling {

// Maps an integer coordinate into [0, size) under the edge mode. Returns false, with
// mapped = 0, when nothing lies there (Transparent outside, size < 1, unknown mode).
bool mapCoordinate(int coordinate, int size, EdgeMode mode, int& mapped);

// An integral float as int, saturated far outside the int range; NaN goes to the
// negative end. Positions that far out read whatever the edge mode gives there.
int saturatingInt(float v);

// Pixel (x, y) of the image as the edge mode sees it; zero where the mode yields nothing.
image::Pixel fetch(image::Image const& image, int x, int y, EdgeMode mode);

// Bilinear sample at a continuous position; pixel (i, j) has its centre at (i, j).
// Interior reads go straight to the pixels; only the border consults the edge mode.
image::Pixel sampleBilinear(image::Image const& image, float x, float y, EdgeMode mode);

// Separable bilinear resampling of one source into one output size, with a two-row
// cache of horizontally interpolated source rows. One thread at a time; the source
// must stay unchanged and alive while the grid is used.
struct BilinearGrid {
    struct Axis {
        int index0 = -1;      // mapped lower neighbour, −1 where the edge mode yields nothing
        int index1 = -1;      // mapped upper neighbour, likewise
        float weight = 0.0f;  // towards index1, in [0, 1)
    };

    image::Image const* source = nullptr;
    std::vector<Axis> columns;
    std::vector<Axis> rows;
    std::array<std::vector<image::Pixel>, 2> rowCache;
    // −2 marks an empty slot: −1 is a real request (an all-transparent row).
    std::array<int, 2> cachedRow{-2, -2};

    // `count` output positions over a source axis of `size` pixels; `scale` is source
    // pixels per output pixel, `offset` shifts into a source carrying that much margin.
    std::vector<Axis> axis(int count, int size, float scale, int offset, EdgeMode mode) const;

    // Makes source row `row` (interpolated along `columns`) resident and returns its slot.
    // A row that must be filled never goes into `avoidSlot` (−1: no constraint).
    int loadRow(int row, int avoidSlot);

    // Output row j into `out` (resized to the column count). Rows should be requested
    // in increasing order so that both cached source rows are reused.
    void resampleRow(int j, std::vector<image::Pixel>& out);
};

// A grid over `source` for an output of outWidth × outHeight, both axes set up and the
// cache empty.
BilinearGrid makeGrid(image::Image const& source, int outWidth, int outHeight, float scaleX,
                      float scaleY, int offset, EdgeMode mode);

}  // namespace raydrift::sampling

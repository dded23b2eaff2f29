// Moving pixels between images that cover different rectangles of one layer.
#pragma once

#include "image/image.h"

namespace raydrift::bounds {

// Copies the part of `src` that, with its top-left corner at (dx, dy) of `dst`, overlaps
// `dst`, whole rows at a time. Every other `dst` pixel keeps its value; an empty overlap
// (including offsets far outside) copies nothing.
void blit(image::Image const& src, image::Image& dst, int dx, int dy);

}  // namespace raydrift::bounds

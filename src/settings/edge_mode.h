// How a read outside an image is answered: a render setting that the sampling of every
// stage follows.
#pragma once

#include <cstdint>

namespace raydrift {

// What a read outside an image returns. The numbers are stored in settings and index
// the GPU kernels' edge handling; the Edge Mode menu offers the first three.
enum class EdgeMode : std::int32_t {
    Wrap = 0,         // periodic tiling
    Clamp = 1,        // nearest edge pixel
    Mirror = 2,       // reflection without repeating the edge pixel (period 2·size − 2)
    Transparent = 3,  // nothing: a zero pixel
};

}  // namespace raydrift

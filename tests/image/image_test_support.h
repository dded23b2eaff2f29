// Small pieces the image tests share: exact comparisons, NaN payloads, and running a
// pass without worker threads.
#pragma once

#include <cstdint>
#include <cstring>

#include "image/image.h"
#include "image/parallel.h"

namespace raydrift::image {

inline bool bitEqual(Image const& a, Image const& b) {
    return a.width == b.width && a.height == b.height &&
           std::memcmp(a.pixels.data(), b.pixels.data(), a.pixels.size() * sizeof(Pixel)) == 0;
}

inline bool bitEqual(Pixel const& a, Pixel const& b) { return std::memcmp(&a, &b, sizeof(Pixel)) == 0; }

// A quiet NaN carrying `payload` in its low mantissa bits.
inline float nanWithPayload(std::uint32_t payload) {
    const std::uint32_t bits = 0x7fc00000u | (payload & 0x003fffffu);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Runs `f` with the worker threads held off: counted frames beyond the machine's
// threads leave no helper to start, so every pass runs on the calling thread.
template <class F>
auto serially(F&& f) {
    struct Hold {
        std::uint32_t saved = parallel::activeFrames.load();
        Hold() { parallel::activeFrames.store(1000); }
        ~Hold() { parallel::activeFrames.store(saved); }
    } hold;
    return f();
}

}  // namespace raydrift::image

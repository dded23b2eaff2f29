// Frame-sized engine images kept between renders.
//
// A 1080p float frame is 33 MB, above the size at which the C library maps fresh memory
// for every allocation, so an image allocated per render is a new mapping whose every
// page faults on first touch. Through the host that cost a third of a Performance
// render (bench: default-1080p). Renders borrow their input and output images here
// and give them back; a few idle images are kept, the rest released.
#pragma once

#include <cstddef>

#include "image/image.h"

namespace raydrift::frame_buffers {

// Idle images kept at most: two per frame for two frames in flight.
inline constexpr std::size_t kIdleLimit = 4;

// An image with whatever size and content it was given back with (empty when none is
// idle). Thread-safe.
image::Image take();

// Keeps `img` for a later render, or releases it when kIdleLimit are already idle (the
// smallest goes). Thread-safe; never throws.
void give(image::Image&& img) noexcept;

// Releases every idle image (global set-down).
void clear() noexcept;

// Idle images and their bytes, for tests.
std::size_t idleCount();
std::size_t idleBytes();

// An image borrowed for one scope, given back however the scope ends.
class Borrowed {
public:
    Borrowed() : image(take()) {}
    ~Borrowed() { give(static_cast<image::Image&&>(image)); }
    Borrowed(Borrowed const&) = delete;
    Borrowed& operator=(Borrowed const&) = delete;
    image::Image image;
};

}  // namespace raydrift::frame_buffers

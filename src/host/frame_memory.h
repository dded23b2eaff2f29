// What one CPU render through the host needs in memory, known before any of it exists.
//
// A frame's working images follow from its size and settings alone: the layer image, the
// engine's streak canvas and its partner, the result and, on the way out, a cropped copy.
// A large layer at an angle with long streaks needs a canvas of billions of pixels; the
// render asks for the total first and answers the host "out of memory" when the machine
// could not hold it, instead of trying (an allocation that fails half-way through a
// frame, or succeeds only to be killed by the system when touched, loses the host).
#pragma once

#include <cstdint>

#include "settings/render_settings.h"

namespace raydrift::frame_memory {

// Bytes of engine images processFrame holds at its peak for a width × height source
// under `settings` (jitter applied inside), the result included, the source not.
// Computed in 64 bits for any size; saturates at UINT64_MAX. A size the engine cannot
// address at all is reported as UINT64_MAX.
std::uint64_t frameBytes(std::int64_t width, std::int64_t height, RenderSettings const& settings);

// The most one render may hold: the machine's physical memory, at most 64 GiB (the
// engine addresses no image beyond 2^32 pixels anyway).
std::uint64_t limit();

// Replaces limit() for tests (0 restores the machine's).
void setLimit(std::uint64_t bytes);

// a + b and a × b without wrapping.
std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b);
std::uint64_t saturatingMul(std::uint64_t a, std::uint64_t b);

}  // namespace raydrift::frame_memory

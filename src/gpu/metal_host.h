// Rendering on frames that already live in the host's Metal buffers: import, the same
// pass graph as frames in memory, export, all in one command buffer. Frames the GPU
// cannot reproduce are rendered on the CPU and still delivered through the host's
// buffers; only malformed frame descriptions reach the caller as errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "settings/render_settings.h"

namespace raydrift::metal {

// One host frame. Pixels are blue, green, red, alpha: four halves or four floats.
struct HostFrame {
    void* input = nullptr;   // MTLBuffer with the source pixels
    void* output = nullptr;  // MTLBuffer that receives the result
    std::int32_t width = 0;  // canvas: the image the effect is computed on
    std::int32_t height = 0;
    std::int32_t inPitch = 0;  // bytes per row
    std::int32_t outPitch = 0;
    bool halfPixels = false;
    bool ae = true;  // premultiplied input (After Effects); false: straight (Premiere Pro)
    std::int32_t sourceWidth = 0;  // 0: the canvas size
    std::int32_t sourceHeight = 0;
    std::int32_t sourceX = 0;  // canvas position of the input's first pixel
    std::int32_t sourceY = 0;
    std::int32_t destWidth = 0;  // 0: the canvas size
    std::int32_t destHeight = 0;
    std::int32_t destX = 0;  // canvas position of the output's first pixel
    std::int32_t destY = 0;
};

// The host's GPU allocator: both callbacks or neither (then the device allocates).
struct HostMemory {
    void* user = nullptr;
    void* (*allocate)(void* user, std::size_t bytes) = nullptr;  // MTLBuffer or null; may throw
    void (*release)(void* user, void* buffer) = nullptr;
};

struct HostParams;

// The host constants of a frame: zero sizes resolved to the canvas, pitches, the pixel
// type and alpha convention, and how the export treats `view` (straight output for the
// second host and the Alpha view, untouched pixels copied for the second host's blended
// views). Nothing is checked here.
HostParams hostParams(HostFrame const& frame, ViewMode view);

class HostRenderer {
public:
    // `device` (MTLDevice) and `queue` (MTLCommandQueue) are borrowed. Throws "Host Metal
    // handles missing", "Incomplete host allocator", or the context's failures.
    HostRenderer(void* device, void* queue, HostMemory memory);
    ~HostRenderer();
    HostRenderer(HostRenderer const&) = delete;
    HostRenderer& operator=(HostRenderer const&) = delete;

    // Throws std::runtime_error for a malformed frame (nothing written) and whatever the
    // CPU fallback throws; every other failure ends in the fallback.
    void render(HostFrame const& frame, RenderSettings const& settings);
    // Returns when everything committed earlier on the host's queue has completed.
    void synchronize();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace raydrift::metal

// The host-GPU renderer as the two hosts' GPU paths use it, the failures they share, and
// the process-wide switch that turns host-GPU rendering off after an unrecoverable one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "PrSDKGPUDeviceSuite.h"
#include "settings/render_settings.h"

namespace raydrift::nativegpu {

// One host GPU frame; the fields of metal::HostFrame, in its order.
struct Frame {
    void* input = nullptr;
    void* output = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t inPitch = 0;
    std::int32_t outPitch = 0;
    bool halfPixels = false;
    bool ae = true;
    std::int32_t sourceWidth = 0;
    std::int32_t sourceHeight = 0;
    std::int32_t sourceX = 0;
    std::int32_t sourceY = 0;
    std::int32_t destWidth = 0;
    std::int32_t destHeight = 0;
    std::int32_t destX = 0;
    std::int32_t destY = 0;
};

// The host has no GPU memory left for this request: worth one retry after freeing.
class MemoryPressure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SessionDisabled : public std::runtime_error {
public:
    SessionDisabled() : std::runtime_error("Native GPU disabled for this process; recreate effect or restart host") {}
};

// Set after an unrecoverable host-GPU failure; never cleared.
extern std::atomic<bool> nativeDisabled;

// A host GPU device (Metal, CUDA or OpenCL) through its device suite: frames rendered in
// the host's buffers, memory drawn from the host's allocator.
class Renderer {
public:
    // Metal: throws "Native Metal host device/suites unavailable" unless the device meets
    // the minimum requirements and the suite can allocate and free. CUDA and OpenCL: the
    // device, memory-suite, driver and precision refusals, each with its own message.
    Renderer(PrGPUDeviceInfo const& info, PrSDKGPUDeviceSuite const* suite, unsigned deviceIndex);
    ~Renderer();
    Renderer(Renderer const&) = delete;
    Renderer& operator=(Renderer const&) = delete;

    // CUDA and OpenCL: queues the frame on the host's stream or queue and returns without
    // waiting; failures propagate, the memory ones as MemoryPressure.
    void render(Frame const& frame, RenderSettings const& settings);
    void synchronize();
    // Waits like synchronize and gives back the buffers kept between frames (none on Metal).
    void releaseBuffers();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace raydrift::nativegpu

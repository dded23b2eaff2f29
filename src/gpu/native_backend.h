// What the CUDA and OpenCL back ends offer the host-GPU renderer: the 16 kernels by
// their place in one list, launches with one argument layout, asynchronous uploads from
// pinned memory, and waits on the host's stream or queue.
#pragma once

#include <cstddef>
#include <memory>

#include "PrSDKGPUDeviceSuite.h"
#include "gpu/kernels/kernel_source.h"

namespace raydrift::nativegpu {

enum class Kernel {
    prepare,
    selectFrame,
    rotate,
    horizontal,
    horizontalRolling,
    horizontalPrefix,
    horizontalWindow,
    vertical,
    verticalRolling,
    verticalModulated,
    crop,
    extendOriginal,
    upscale,
    tintFrame,
    chromaticFrame,
    compositeFrame,
};
inline constexpr int kKernelCount = 16;

// Every kernel's arguments, in this order; the pointers are device buffers.
struct KernelArguments {
    void* src = nullptr;
    void* dst = nullptr;
    void* original = nullptr;
    metal::Params params{};
    void* table = nullptr;  // doubles: normalisations, modulation, row phases
    void* factors = nullptr;
    void* flags = nullptr;
    void* hostIn = nullptr;
    void* hostOut = nullptr;
    metal::HostParams host{};
};

class Backend {
public:
    virtual ~Backend() = default;
    // The messages for a pinned-memory allocation or release the host refused.
    virtual const char* stagingFailure() const = 0;
    virtual const char* stagingReleaseFailure() const = 0;
    // Around each use from a calling thread (CUDA pushes and pops the host's context).
    virtual void enter() = 0;
    virtual void leave() = 0;
    // Queues one kernel over width × height threads (width threads when linear).
    virtual void launch(Kernel kernel, int width, int height, bool linear, KernelArguments const& arguments) = 0;
    // Queues a copy of `bytes` from pinned `staged` into `buffer`; waitUpload waits for it.
    virtual void write(void* buffer, const void* staged, std::size_t bytes) = 0;
    virtual void waitUpload() = 0;
    // Hands the queued work to the device without waiting.
    virtual void submit() = 0;
    // Waits until everything queued on the host's stream or queue has finished.
    virtual void synchronize() = 0;
};

// The back end for a CUDA (framework 0) or OpenCL (1) device. Throws the driver's and the
// device's refusals with their fixed messages.
std::unique_ptr<Backend> makeBackend(PrGPUDeviceInfo const& info);

}  // namespace raydrift::nativegpu

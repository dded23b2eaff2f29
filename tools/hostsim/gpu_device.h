// The GPU devices the simulated host offers its plug-in: the system's Metal device (on
// Linux only a test's software device), CUDA devices through the CUDA driver and OpenCL
// devices through the OpenCL ICD, both loaded by name as a host does. Each device holds
// what a host keeps per device (CUDA: a context and a stream; OpenCL: a context and an
// in-order queue) and hands out device buffers and host memory through its driver.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "AE_Effect.h"

namespace hostsim {

enum class GpuBackend { Metal, Cuda, OpenCL };

// "Metal", "CUDA" or "OpenCL".
const char* backendName(GpuBackend backend);

// One device a back end sees; `index` counts within its back end.
struct GpuDevice {
    GpuBackend backend = GpuBackend::Metal;
    int index = 0;
    std::string name;
    bool cpu = false;  // an OpenCL device of the CPU type (such as PoCL's)
};

// Every device, Metal first (the system default now), then CUDA, then OpenCL; the driver
// libraries are opened on the first call and their devices listed once for the process
// (a missing driver lists nothing).
std::vector<GpuDevice> gpuDevices();

namespace detail {

// An open device. Buffers are the back end's own handles (MTL::Buffer*, a CUDA device
// pointer, a cl_mem); reads wait for all work queued on the device's stream or queue.
class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;
    virtual GpuDevice const& device() const = 0;
    // The framework numbers of the first and the second host.
    virtual PF_GPU_Framework aeFramework() const = 0;
    virtual unsigned prFramework() const = 0;
    // The handles both hosts' device records carry (null where the back end has none).
    virtual void* platformHandle() const { return nullptr; }
    virtual void* deviceHandle() const = 0;
    virtual void* contextHandle() const { return nullptr; }
    virtual void* queueHandle() const = 0;
    // Null when the device has no memory for it.
    virtual void* allocate(std::size_t bytes) = 0;
    virtual void release(void* buffer) = 0;
    virtual void* allocateHost(std::size_t bytes) = 0;
    virtual void releaseHost(void* pointer) = 0;
    virtual void write(void* buffer, const void* data, std::size_t bytes) = 0;
    virtual void read(void* buffer, void* data, std::size_t bytes) = 0;
    virtual void finish() = 0;
};

// Opens `device`; throws std::runtime_error with a one-line reason.
std::unique_ptr<DeviceBackend> openDevice(GpuDevice const& device);

}  // namespace detail

}  // namespace hostsim

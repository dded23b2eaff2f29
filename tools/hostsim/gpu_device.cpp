#include "gpu_device.h"

#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include "Metal/Metal.hpp"
#include "PrSDKGPUDeviceSuite.h"
#include "cuda_driver.h"

namespace hostsim {

const char* backendName(GpuBackend backend) {
    switch (backend) {
    case GpuBackend::Metal: return "Metal";
    case GpuBackend::Cuda: return "CUDA";
    case GpuBackend::OpenCL: return "OpenCL";
    }
    return "?";
}

namespace {

template <typename F>
void fetch(void* library, F& function, const char* name) {
    function = library ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
}

// --- CUDA driver -------------------------------------------------------------------------

using rdcuda::CUcontext;
using rdcuda::CUdeviceptr;
using rdcuda::CUresult;
using rdcuda::CUstream;

struct Cuda {
    bool ready = false;
    CUresult (*cuInit)(unsigned) = nullptr;
    CUresult (*cuDeviceGetCount)(int*) = nullptr;
    CUresult (*cuDeviceGet)(int*, int) = nullptr;
    CUresult (*cuDeviceGetName)(char*, int, int) = nullptr;
    CUresult (*cuCtxCreate)(CUcontext*, unsigned, int) = nullptr;
    CUresult (*cuCtxDestroy)(CUcontext) = nullptr;
    CUresult (*cuCtxPushCurrent)(CUcontext) = nullptr;
    CUresult (*cuCtxPopCurrent)(CUcontext*) = nullptr;
    CUresult (*cuStreamCreate)(CUstream*, unsigned) = nullptr;
    CUresult (*cuStreamDestroy)(CUstream) = nullptr;
    CUresult (*cuStreamSynchronize)(CUstream) = nullptr;
    CUresult (*cuMemAlloc)(CUdeviceptr*, std::size_t) = nullptr;
    CUresult (*cuMemFree)(CUdeviceptr) = nullptr;
    CUresult (*cuMemAllocHost)(void**, std::size_t) = nullptr;
    CUresult (*cuMemFreeHost)(void*) = nullptr;
    CUresult (*cuMemcpyHtoD)(CUdeviceptr, const void*, std::size_t) = nullptr;
    CUresult (*cuMemcpyDtoH)(void*, CUdeviceptr, std::size_t) = nullptr;
};

Cuda const& cuda() {
    static const Cuda api = [] {
        Cuda c;
        void* library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!library) return c;
        fetch(library, c.cuInit, "cuInit");
        fetch(library, c.cuDeviceGetCount, "cuDeviceGetCount");
        fetch(library, c.cuDeviceGet, "cuDeviceGet");
        fetch(library, c.cuDeviceGetName, "cuDeviceGetName");
        fetch(library, c.cuCtxCreate, "cuCtxCreate_v2");
        fetch(library, c.cuCtxDestroy, "cuCtxDestroy_v2");
        fetch(library, c.cuCtxPushCurrent, "cuCtxPushCurrent_v2");
        fetch(library, c.cuCtxPopCurrent, "cuCtxPopCurrent_v2");
        fetch(library, c.cuStreamCreate, "cuStreamCreate");
        fetch(library, c.cuStreamDestroy, "cuStreamDestroy_v2");
        fetch(library, c.cuStreamSynchronize, "cuStreamSynchronize");
        fetch(library, c.cuMemAlloc, "cuMemAlloc_v2");
        fetch(library, c.cuMemFree, "cuMemFree_v2");
        fetch(library, c.cuMemAllocHost, "cuMemAllocHost_v2");
        fetch(library, c.cuMemFreeHost, "cuMemFreeHost");
        fetch(library, c.cuMemcpyHtoD, "cuMemcpyHtoD_v2");
        fetch(library, c.cuMemcpyDtoH, "cuMemcpyDtoH_v2");
        c.ready = c.cuInit && c.cuDeviceGetCount && c.cuDeviceGet && c.cuDeviceGetName && c.cuCtxCreate &&
                  c.cuCtxDestroy && c.cuCtxPushCurrent && c.cuCtxPopCurrent && c.cuStreamCreate &&
                  c.cuStreamDestroy && c.cuStreamSynchronize && c.cuMemAlloc && c.cuMemFree && c.cuMemAllocHost &&
                  c.cuMemFreeHost && c.cuMemcpyHtoD && c.cuMemcpyDtoH && c.cuInit(0) == rdcuda::CUDA_SUCCESS;
        return c;
    }();
    return api;
}

void check(CUresult result, const char* what) {
    if (result != rdcuda::CUDA_SUCCESS) throw std::runtime_error(std::string(what) + " failed: CUDA error " + std::to_string(result));
}

class CudaDevice final : public detail::DeviceBackend {
public:
    explicit CudaDevice(GpuDevice device) : device_(std::move(device)) {
        Cuda const& c = cuda();
        if (!c.ready) throw std::runtime_error("CUDA driver unavailable");
        int ordinal = 0;
        check(c.cuDeviceGet(&ordinal, device_.index), "cuDeviceGet");
        check(c.cuCtxCreate(&context_, 0, ordinal), "cuCtxCreate");
        CUcontext popped = nullptr;
        const CUresult made = c.cuStreamCreate(&stream_, 0);
        c.cuCtxPopCurrent(&popped);
        if (made != rdcuda::CUDA_SUCCESS) {
            c.cuCtxDestroy(context_);
            check(made, "cuStreamCreate");
        }
    }
    ~CudaDevice() override {
        Cuda const& c = cuda();
        Scope scope(context_);
        c.cuStreamSynchronize(stream_);
        c.cuStreamDestroy(stream_);
        scope.end();
        c.cuCtxDestroy(context_);
    }
    GpuDevice const& device() const override { return device_; }
    PF_GPU_Framework aeFramework() const override { return PF_GPU_Framework_CUDA; }
    unsigned prFramework() const override { return PrGPUDeviceFramework_CUDA; }
    void* deviceHandle() const override { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(device_.index)); }
    void* contextHandle() const override { return context_; }
    void* queueHandle() const override { return stream_; }
    void* allocate(std::size_t bytes) override {
        Scope scope(context_);
        CUdeviceptr pointer = 0;
        if (cuda().cuMemAlloc(&pointer, bytes ? bytes : 1) != rdcuda::CUDA_SUCCESS) return nullptr;
        return reinterpret_cast<void*>(static_cast<std::uintptr_t>(pointer));
    }
    void release(void* buffer) override {
        Scope scope(context_);
        // Work queued on the host's stream may still read the buffer.
        cuda().cuStreamSynchronize(stream_);
        cuda().cuMemFree(reinterpret_cast<std::uintptr_t>(buffer));
    }
    void* allocateHost(std::size_t bytes) override {
        Scope scope(context_);
        void* pointer = nullptr;
        if (cuda().cuMemAllocHost(&pointer, bytes ? bytes : 1) != rdcuda::CUDA_SUCCESS) return nullptr;
        return pointer;
    }
    void releaseHost(void* pointer) override {
        Scope scope(context_);
        cuda().cuStreamSynchronize(stream_);
        cuda().cuMemFreeHost(pointer);
    }
    void write(void* buffer, const void* data, std::size_t bytes) override {
        Scope scope(context_);
        check(cuda().cuStreamSynchronize(stream_), "cuStreamSynchronize");
        check(cuda().cuMemcpyHtoD(reinterpret_cast<std::uintptr_t>(buffer), data, bytes), "cuMemcpyHtoD");
    }
    void read(void* buffer, void* data, std::size_t bytes) override {
        Scope scope(context_);
        check(cuda().cuStreamSynchronize(stream_), "cuStreamSynchronize");
        check(cuda().cuMemcpyDtoH(data, reinterpret_cast<std::uintptr_t>(buffer), bytes), "cuMemcpyDtoH");
    }
    void finish() override {
        Scope scope(context_);
        check(cuda().cuStreamSynchronize(stream_), "cuStreamSynchronize");
    }

private:
    struct Scope {
        explicit Scope(CUcontext context) { active = cuda().cuCtxPushCurrent(context) == rdcuda::CUDA_SUCCESS; }
        ~Scope() { end(); }
        void end() {
            CUcontext popped = nullptr;
            if (active) cuda().cuCtxPopCurrent(&popped);
            active = false;
        }
        bool active = false;
    };
    GpuDevice device_;
    CUcontext context_ = nullptr;
    CUstream stream_ = nullptr;
};

// --- OpenCL ------------------------------------------------------------------------------

struct OpenCl {
    bool ready = false;
    decltype(&::clGetPlatformIDs) clGetPlatformIDs = nullptr;
    decltype(&::clGetDeviceIDs) clGetDeviceIDs = nullptr;
    decltype(&::clGetDeviceInfo) clGetDeviceInfo = nullptr;
    decltype(&::clCreateContext) clCreateContext = nullptr;
    decltype(&::clReleaseContext) clReleaseContext = nullptr;
    decltype(&::clCreateCommandQueue) clCreateCommandQueue = nullptr;
    decltype(&::clReleaseCommandQueue) clReleaseCommandQueue = nullptr;
    decltype(&::clCreateBuffer) clCreateBuffer = nullptr;
    decltype(&::clReleaseMemObject) clReleaseMemObject = nullptr;
    decltype(&::clEnqueueWriteBuffer) clEnqueueWriteBuffer = nullptr;
    decltype(&::clEnqueueReadBuffer) clEnqueueReadBuffer = nullptr;
    decltype(&::clFinish) clFinish = nullptr;
    // Every device of every platform, in enumeration order.
    std::vector<std::pair<cl_platform_id, cl_device_id>> devices;
};

OpenCl const& openCl() {
    static const OpenCl api = [] {
        OpenCl c;
        void* library = dlopen("libOpenCL.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!library) return c;
        fetch(library, c.clGetPlatformIDs, "clGetPlatformIDs");
        fetch(library, c.clGetDeviceIDs, "clGetDeviceIDs");
        fetch(library, c.clGetDeviceInfo, "clGetDeviceInfo");
        fetch(library, c.clCreateContext, "clCreateContext");
        fetch(library, c.clReleaseContext, "clReleaseContext");
        fetch(library, c.clCreateCommandQueue, "clCreateCommandQueue");
        fetch(library, c.clReleaseCommandQueue, "clReleaseCommandQueue");
        fetch(library, c.clCreateBuffer, "clCreateBuffer");
        fetch(library, c.clReleaseMemObject, "clReleaseMemObject");
        fetch(library, c.clEnqueueWriteBuffer, "clEnqueueWriteBuffer");
        fetch(library, c.clEnqueueReadBuffer, "clEnqueueReadBuffer");
        fetch(library, c.clFinish, "clFinish");
        c.ready = c.clGetPlatformIDs && c.clGetDeviceIDs && c.clGetDeviceInfo && c.clCreateContext &&
                  c.clReleaseContext && c.clCreateCommandQueue && c.clReleaseCommandQueue && c.clCreateBuffer &&
                  c.clReleaseMemObject && c.clEnqueueWriteBuffer && c.clEnqueueReadBuffer && c.clFinish;
        if (!c.ready) return c;
        cl_uint platforms = 0;
        if (c.clGetPlatformIDs(0, nullptr, &platforms) != CL_SUCCESS || platforms == 0) return c;
        std::vector<cl_platform_id> ids(platforms);
        if (c.clGetPlatformIDs(platforms, ids.data(), nullptr) != CL_SUCCESS) return c;
        for (cl_platform_id platform : ids) {
            cl_uint count = 0;
            if (c.clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 0, nullptr, &count) != CL_SUCCESS || count == 0)
                continue;
            std::vector<cl_device_id> devices(count);
            if (c.clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, count, devices.data(), nullptr) != CL_SUCCESS) continue;
            for (cl_device_id device : devices) c.devices.emplace_back(platform, device);
        }
        return c;
    }();
    return api;
}

class OpenClDevice final : public detail::DeviceBackend {
public:
    explicit OpenClDevice(GpuDevice device) : device_(std::move(device)) {
        OpenCl const& c = openCl();
        if (!c.ready) throw std::runtime_error("OpenCL driver unavailable");
        if (device_.index < 0 || static_cast<std::size_t>(device_.index) >= c.devices.size())
            throw std::runtime_error("OpenCL device unavailable");
        platform_ = c.devices[static_cast<std::size_t>(device_.index)].first;
        id_ = c.devices[static_cast<std::size_t>(device_.index)].second;
        const cl_context_properties properties[] = {CL_CONTEXT_PLATFORM,
                                                    reinterpret_cast<cl_context_properties>(platform_), 0};
        cl_int err = CL_SUCCESS;
        context_ = c.clCreateContext(properties, 1, &id_, nullptr, nullptr, &err);
        if (!context_ || err != CL_SUCCESS) throw std::runtime_error("OpenCL context failed: " + std::to_string(err));
        queue_ = c.clCreateCommandQueue(context_, id_, 0, &err);  // in order
        if (!queue_ || err != CL_SUCCESS) {
            c.clReleaseContext(context_);
            throw std::runtime_error("OpenCL queue failed: " + std::to_string(err));
        }
    }
    ~OpenClDevice() override {
        openCl().clFinish(queue_);
        openCl().clReleaseCommandQueue(queue_);
        openCl().clReleaseContext(context_);
    }
    GpuDevice const& device() const override { return device_; }
    PF_GPU_Framework aeFramework() const override { return PF_GPU_Framework_OPENCL; }
    unsigned prFramework() const override { return PrGPUDeviceFramework_OpenCL; }
    void* platformHandle() const override { return platform_; }
    void* deviceHandle() const override { return id_; }
    void* contextHandle() const override { return context_; }
    void* queueHandle() const override { return queue_; }
    void* allocate(std::size_t bytes) override {
        cl_int err = CL_SUCCESS;
        cl_mem buffer = openCl().clCreateBuffer(context_, CL_MEM_READ_WRITE, bytes ? bytes : 1, nullptr, &err);
        return err == CL_SUCCESS ? buffer : nullptr;
    }
    // The queue keeps a released buffer alive for the commands that use it.
    void release(void* buffer) override { openCl().clReleaseMemObject(static_cast<cl_mem>(buffer)); }
    void* allocateHost(std::size_t bytes) override { return std::malloc(bytes ? bytes : 1); }
    void releaseHost(void* pointer) override {
        openCl().clFinish(queue_);  // an upload may still read it
        std::free(pointer);
    }
    void write(void* buffer, const void* data, std::size_t bytes) override {
        const cl_int err = openCl().clEnqueueWriteBuffer(queue_, static_cast<cl_mem>(buffer), CL_TRUE, 0, bytes, data,
                                                         0, nullptr, nullptr);
        if (err != CL_SUCCESS) throw std::runtime_error("OpenCL write failed: " + std::to_string(err));
    }
    void read(void* buffer, void* data, std::size_t bytes) override {
        const cl_int err = openCl().clEnqueueReadBuffer(queue_, static_cast<cl_mem>(buffer), CL_TRUE, 0, bytes, data,
                                                        0, nullptr, nullptr);
        if (err != CL_SUCCESS) throw std::runtime_error("OpenCL read failed: " + std::to_string(err));
    }
    void finish() override {
        const cl_int err = openCl().clFinish(queue_);
        if (err != CL_SUCCESS) throw std::runtime_error("OpenCL finish failed: " + std::to_string(err));
    }

private:
    GpuDevice device_;
    cl_platform_id platform_ = nullptr;
    cl_device_id id_ = nullptr;
    cl_context context_ = nullptr;
    cl_command_queue queue_ = nullptr;
};

// --- Metal -------------------------------------------------------------------------------

class MetalDevice final : public detail::DeviceBackend {
public:
    explicit MetalDevice(GpuDevice device) : device_(std::move(device)) {
        metal_ = MTL::CreateSystemDefaultDevice();
        if (!metal_) throw std::runtime_error("Metal device unavailable");
        queue_ = metal_->newCommandQueue();
    }
    ~MetalDevice() override {
        if (queue_) queue_->release();
        metal_->release();
    }
    GpuDevice const& device() const override { return device_; }
    PF_GPU_Framework aeFramework() const override { return PF_GPU_Framework_METAL; }
    unsigned prFramework() const override { return PrGPUDeviceFramework_Metal; }
    void* deviceHandle() const override { return metal_; }
    void* queueHandle() const override { return queue_; }
    void* allocate(std::size_t bytes) override { return metal_->newBuffer(bytes, MTL::ResourceStorageModeShared); }
    void release(void* buffer) override { static_cast<MTL::Buffer*>(buffer)->release(); }
    void* allocateHost(std::size_t bytes) override { return std::malloc(bytes ? bytes : 1); }
    void releaseHost(void* pointer) override { std::free(pointer); }
    void write(void* buffer, const void* data, std::size_t bytes) override {
        std::memcpy(static_cast<MTL::Buffer*>(buffer)->contents(), data, bytes);
    }
    void read(void* buffer, void* data, std::size_t bytes) override {
        std::memcpy(data, static_cast<MTL::Buffer*>(buffer)->contents(), bytes);
    }
    void finish() override {}  // the plug-in waits for its Metal command buffers

private:
    GpuDevice device_;
    MTL::Device* metal_ = nullptr;
    MTL::CommandQueue* queue_ = nullptr;
};

std::string clText(cl_device_id device, cl_device_info what) {
    std::size_t size = 0;
    if (openCl().clGetDeviceInfo(device, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
    std::string text(size, '\0');
    if (openCl().clGetDeviceInfo(device, what, size, text.data(), nullptr) != CL_SUCCESS) return {};
    while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

std::vector<GpuDevice> gpuDevices() {
    std::vector<GpuDevice> devices;
    if (MTL::Device* metal = MTL::CreateSystemDefaultDevice()) {
        NS::AutoreleasePool* pool = NS::AutoreleasePool::alloc()->init();  // the name is autoreleased
        NS::String* name = metal->name();
        devices.push_back({GpuBackend::Metal, 0, name && name->utf8String() ? name->utf8String() : "Metal device", false});
        pool->release();
        metal->release();
    }
    static const std::vector<GpuDevice> drivers = [] {
        std::vector<GpuDevice> found;
        Cuda const& c = cuda();
        int count = 0;
        if (c.ready && c.cuDeviceGetCount(&count) == rdcuda::CUDA_SUCCESS)
            for (int i = 0; i < count; ++i) {
                char name[256] = {};
                int ordinal = 0;
                if (c.cuDeviceGet(&ordinal, i) != rdcuda::CUDA_SUCCESS ||
                    c.cuDeviceGetName(name, sizeof name - 1, ordinal) != rdcuda::CUDA_SUCCESS)
                    std::strcpy(name, "CUDA device");
                found.push_back({GpuBackend::Cuda, i, name, false});
            }
        OpenCl const& cl = openCl();
        for (std::size_t i = 0; i < cl.devices.size(); ++i) {
            cl_device_type type = 0;
            cl.clGetDeviceInfo(cl.devices[i].second, CL_DEVICE_TYPE, sizeof type, &type, nullptr);
            std::string name = clText(cl.devices[i].second, CL_DEVICE_NAME);
            found.push_back({GpuBackend::OpenCL, static_cast<int>(i), name.empty() ? "OpenCL device" : name,
                             (type & CL_DEVICE_TYPE_CPU) != 0});
        }
        return found;
    }();
    devices.insert(devices.end(), drivers.begin(), drivers.end());
    return devices;
}

namespace detail {

std::unique_ptr<DeviceBackend> openDevice(GpuDevice const& device) {
    switch (device.backend) {
    case GpuBackend::Metal: return std::make_unique<MetalDevice>(device);
    case GpuBackend::Cuda: return std::make_unique<CudaDevice>(device);
    case GpuBackend::OpenCL: return std::make_unique<OpenClDevice>(device);
    }
    throw std::runtime_error("Unknown GPU back end");
}

}  // namespace detail

}  // namespace hostsim

#include "gpu/native_api.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace raydrift::nativegpu {

namespace {

void* openLibrary(const char* name) {
#if defined(_WIN32)
    std::wstring wide(name, name + std::char_traits<char>::length(name));
    return reinterpret_cast<void*>(LoadLibraryExW(wide.c_str(), nullptr, 0x800));
#else
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
#endif
}

void* symbol(void* library, const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
    return dlsym(library, name);
#endif
}

// Fetches `name` into `slot` or throws prefix + name.
template <class Function>
void fetch(void* library, Function& slot, const char* name, const char* prefix) {
    void* address = symbol(library, name);
    if (address == nullptr) throw std::runtime_error(std::string(prefix) + name);
    slot = reinterpret_cast<Function>(address);
}

// One table per process, its failure remembered as the exception it threw.
template <class Api>
struct ProcessTable {
    std::once_flag once;
    Api api;
    std::exception_ptr failure;
    std::atomic<Api const*> override{nullptr};

    template <class Load>
    Api const& get(Load load) {
        if (Api const* replaced = override.load()) return *replaced;
        std::call_once(once, [&] {
            try {
                api = load();
            } catch (...) {
                failure = std::current_exception();
            }
        });
        if (failure) std::rethrow_exception(failure);
        return api;
    }
};

ProcessTable<CudaApi> cudaTable;
ProcessTable<OpenClApi> openClTable;

}  // namespace

CudaApi loadCudaApi(const char* library) {
    CudaApi api;
    api.module = openLibrary(library);
    if (api.module == nullptr) throw std::runtime_error("NVIDIA CUDA driver unavailable");
    const char* missing = "CUDA API missing: ";
    fetch(api.module, api.cuInit, "cuInit", missing);
    fetch(api.module, api.cuCtxPushCurrent, "cuCtxPushCurrent_v2", missing);
    fetch(api.module, api.cuCtxPopCurrent, "cuCtxPopCurrent_v2", missing);
    fetch(api.module, api.cuModuleLoadData, "cuModuleLoadData", missing);
    fetch(api.module, api.cuModuleUnload, "cuModuleUnload", missing);
    fetch(api.module, api.cuModuleGetFunction, "cuModuleGetFunction", missing);
    fetch(api.module, api.cuLaunchKernel, "cuLaunchKernel", missing);
    fetch(api.module, api.cuMemcpyHtoDAsync, "cuMemcpyHtoDAsync_v2", missing);
    fetch(api.module, api.cuStreamSynchronize, "cuStreamSynchronize", missing);
    fetch(api.module, api.cuEventCreate, "cuEventCreate", missing);
    fetch(api.module, api.cuEventRecord, "cuEventRecord", missing);
    fetch(api.module, api.cuEventSynchronize, "cuEventSynchronize", missing);
    fetch(api.module, api.cuEventDestroy, "cuEventDestroy_v2", missing);
    fetch(api.module, api.cuGetErrorName, "cuGetErrorName", missing);
    if (api.cuInit(0) != rdcuda::CUDA_SUCCESS) throw std::runtime_error("NVIDIA CUDA driver unavailable");
    return api;
}

OpenClApi loadOpenClApi(const char* library) {
    OpenClApi api;
    api.module = openLibrary(library);
    if (api.module == nullptr) throw std::runtime_error("OpenCL driver unavailable");
    const char* missing = "OpenCL API missing: ";
    fetch(api.module, api.clGetDeviceInfo, "clGetDeviceInfo", missing);
    fetch(api.module, api.clCreateProgramWithSource, "clCreateProgramWithSource", missing);
    fetch(api.module, api.clBuildProgram, "clBuildProgram", missing);
    fetch(api.module, api.clGetProgramBuildInfo, "clGetProgramBuildInfo", missing);
    fetch(api.module, api.clCreateKernel, "clCreateKernel", missing);
    fetch(api.module, api.clSetKernelArg, "clSetKernelArg", missing);
    fetch(api.module, api.clEnqueueNDRangeKernel, "clEnqueueNDRangeKernel", missing);
    fetch(api.module, api.clEnqueueWriteBuffer, "clEnqueueWriteBuffer", missing);
    fetch(api.module, api.clWaitForEvents, "clWaitForEvents", missing);
    fetch(api.module, api.clReleaseEvent, "clReleaseEvent", missing);
    fetch(api.module, api.clFinish, "clFinish", missing);
    fetch(api.module, api.clFlush, "clFlush", missing);
    fetch(api.module, api.clReleaseKernel, "clReleaseKernel", missing);
    fetch(api.module, api.clReleaseProgram, "clReleaseProgram", missing);
    // Missing here is answered when a back end asks for it.
    api.clGetCommandQueueInfo =
        reinterpret_cast<decltype(api.clGetCommandQueueInfo)>(symbol(api.module, "clGetCommandQueueInfo"));
    return api;
}

CudaApi const& cudaApi() {
    return cudaTable.get([] { return loadCudaApi(kCudaLibrary); });
}

OpenClApi const& openClApi() {
    return openClTable.get([] { return loadOpenClApi(kOpenClLibrary); });
}

void overrideCudaApi(CudaApi const* api) { cudaTable.override.store(api); }
void overrideOpenClApi(OpenClApi const* api) { openClTable.override.store(api); }

}  // namespace raydrift::nativegpu

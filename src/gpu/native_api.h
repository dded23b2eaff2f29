// The CUDA driver and OpenCL, opened by name only when a host hands out such a device:
// the plug-in loads and renders without either. Each function table is built once per
// process; a failure is remembered and answered again with the same message.
#pragma once

#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>

#include <string>

#include "cuda_driver.h"

namespace raydrift::nativegpu {

#if defined(_WIN32)
inline constexpr const char* kCudaLibrary = "nvcuda.dll";
inline constexpr const char* kOpenClLibrary = "OpenCL.dll";
#else
inline constexpr const char* kCudaLibrary = "libcuda.so.1";
inline constexpr const char* kOpenClLibrary = "libOpenCL.so.1";
#endif

struct CudaApi {
    void* module = nullptr;
    rdcuda::cuInit_t cuInit = nullptr;
    rdcuda::cuCtxPushCurrent_t cuCtxPushCurrent = nullptr;
    rdcuda::cuCtxPopCurrent_t cuCtxPopCurrent = nullptr;
    rdcuda::cuModuleLoadData_t cuModuleLoadData = nullptr;
    rdcuda::cuModuleUnload_t cuModuleUnload = nullptr;
    rdcuda::cuModuleGetFunction_t cuModuleGetFunction = nullptr;
    rdcuda::cuLaunchKernel_t cuLaunchKernel = nullptr;
    rdcuda::cuMemcpyHtoDAsync_t cuMemcpyHtoDAsync = nullptr;
    rdcuda::cuStreamSynchronize_t cuStreamSynchronize = nullptr;
    rdcuda::cuEventCreate_t cuEventCreate = nullptr;
    rdcuda::cuEventRecord_t cuEventRecord = nullptr;
    rdcuda::cuEventSynchronize_t cuEventSynchronize = nullptr;
    rdcuda::cuEventDestroy_t cuEventDestroy = nullptr;
    rdcuda::cuGetErrorName_t cuGetErrorName = nullptr;
};

struct OpenClApi {
    void* module = nullptr;
    decltype(&::clGetDeviceInfo) clGetDeviceInfo = nullptr;
    decltype(&::clCreateProgramWithSource) clCreateProgramWithSource = nullptr;
    decltype(&::clBuildProgram) clBuildProgram = nullptr;
    decltype(&::clGetProgramBuildInfo) clGetProgramBuildInfo = nullptr;
    decltype(&::clCreateKernel) clCreateKernel = nullptr;
    decltype(&::clSetKernelArg) clSetKernelArg = nullptr;
    decltype(&::clEnqueueNDRangeKernel) clEnqueueNDRangeKernel = nullptr;
    decltype(&::clEnqueueWriteBuffer) clEnqueueWriteBuffer = nullptr;
    decltype(&::clWaitForEvents) clWaitForEvents = nullptr;
    decltype(&::clReleaseEvent) clReleaseEvent = nullptr;
    decltype(&::clFinish) clFinish = nullptr;
    decltype(&::clFlush) clFlush = nullptr;
    decltype(&::clReleaseKernel) clReleaseKernel = nullptr;
    decltype(&::clReleaseProgram) clReleaseProgram = nullptr;
    // Fetched when a back end is built, not with the table.
    decltype(&::clGetCommandQueueInfo) clGetCommandQueueInfo = nullptr;
};

// Opens `library` and fetches every function (cuInit(0) is called once the CUDA table
// is complete). Throws "NVIDIA CUDA driver unavailable" / "OpenCL driver unavailable"
// when the library does not open, "CUDA API missing: " / "OpenCL API missing: " and the
// name when a function is absent. The library stays open for the process.
CudaApi loadCudaApi(const char* library);
OpenClApi loadOpenClApi(const char* library);

// The process-wide tables, built on first use from the system's library.
CudaApi const& cudaApi();
OpenClApi const& openClApi();

// Tests put a table of their own in place of the process-wide one; null restores it.
void overrideCudaApi(CudaApi const* api);
void overrideOpenClApi(OpenClApi const* api);

}  // namespace raydrift::nativegpu

// The few CUDA driver types and entry points Raydrift uses, declared here so that the
// plug-in builds without a CUDA installation; the functions are fetched by name from the
// driver library at run time, never linked.
#pragma once

#include <cstddef>

namespace rdcuda {

using CUresult = int;
using CUdeviceptr = unsigned long long;
struct CUctx_st;
struct CUmod_st;
struct CUfunc_st;
struct CUstream_st;
struct CUevent_st;
using CUcontext = CUctx_st*;
using CUmodule = CUmod_st*;
using CUfunction = CUfunc_st*;
using CUstream = CUstream_st*;
using CUevent = CUevent_st*;

inline constexpr CUresult CUDA_SUCCESS = 0;
inline constexpr CUresult CUDA_ERROR_OUT_OF_MEMORY = 2;
inline constexpr unsigned CU_EVENT_DISABLE_TIMING = 2;

using cuInit_t = CUresult (*)(unsigned flags);
using cuCtxPushCurrent_t = CUresult (*)(CUcontext context);
using cuCtxPopCurrent_t = CUresult (*)(CUcontext* context);
using cuModuleLoadData_t = CUresult (*)(CUmodule* module, const void* image);
using cuModuleUnload_t = CUresult (*)(CUmodule module);
using cuModuleGetFunction_t = CUresult (*)(CUfunction* function, CUmodule module, const char* name);
using cuLaunchKernel_t = CUresult (*)(CUfunction function, unsigned gridX, unsigned gridY, unsigned gridZ,
                                      unsigned blockX, unsigned blockY, unsigned blockZ, unsigned sharedBytes,
                                      CUstream stream, void** parameters, void** extra);
using cuMemcpyHtoDAsync_t = CUresult (*)(CUdeviceptr destination, const void* source, std::size_t bytes,
                                         CUstream stream);
using cuStreamSynchronize_t = CUresult (*)(CUstream stream);
using cuEventCreate_t = CUresult (*)(CUevent* event, unsigned flags);
using cuEventRecord_t = CUresult (*)(CUevent event, CUstream stream);
using cuEventSynchronize_t = CUresult (*)(CUevent event);
using cuEventDestroy_t = CUresult (*)(CUevent event);
using cuGetErrorName_t = CUresult (*)(CUresult error, const char** name);

}  // namespace rdcuda

// The second host's GPU device suite and device-info record, as far as the plug-in's GPU
// renderers read them. Our own declaration; the vendor SDK replaces it.
#pragma once

#include <cstddef>

#include "PrGPUFilterModule.h"

enum PrGPUDeviceFramework : csSDK_uint32 {
    PrGPUDeviceFramework_CUDA = 0,
    PrGPUDeviceFramework_OpenCL = 1,
    PrGPUDeviceFramework_Metal = 2,
};

typedef struct {
    csSDK_uint32 outDeviceFramework;  // PrGPUDeviceFramework
    prBool outMeetsMinimumRequirementsForAcceleration;
    void* outPlatformHandle;
    void* outDeviceHandle;        // MTLDevice on Metal
    void* outContextHandle;
    void* outCommandQueueHandle;  // MTLCommandQueue on Metal
} PrGPUDeviceInfo;

typedef struct {
    prSuiteError (*GetDeviceCount)(csSDK_uint32* outDeviceCount);
    prSuiteError (*GetDeviceInfo)(csSDK_uint32 inSuiteVersion, csSDK_uint32 inDeviceIndex,
                                  PrGPUDeviceInfo* outDeviceInfo);
    prSuiteError (*AcquireExclusiveDeviceAccess)(csSDK_uint32 inDeviceIndex);
    prSuiteError (*ReleaseExclusiveDeviceAccess)(csSDK_uint32 inDeviceIndex);
    prSuiteError (*AllocateDeviceMemory)(csSDK_uint32 inDeviceIndex, std::size_t inSizeInBytes,
                                         void** outMemory);
    prSuiteError (*FreeDeviceMemory)(csSDK_uint32 inDeviceIndex, void* inMemory);
    // Page-locked host memory for transfers (CUDA and OpenCL devices).
    prSuiteError (*AllocateHostMemory)(csSDK_uint32 inDeviceIndex, std::size_t inSizeInBytes, void** outMemory);
    prSuiteError (*FreeHostMemory)(csSDK_uint32 inDeviceIndex, void* inMemory);
} PrSDKGPUDeviceSuite;

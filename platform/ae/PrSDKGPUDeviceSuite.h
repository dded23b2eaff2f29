// The second host's GPU device suite ("MediaCore GPU Device Suite" version 2) and its
// device-info record. Our own declaration; the vendor SDK replaces it.
#pragma once

#include <cstddef>

#include "PrGPUFilterModule.h"

#define kPrSDKGPUDeviceSuite "MediaCore GPU Device Suite"
#define kPrSDKGPUDeviceSuiteVersion2 2

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
    prSuiteError (*PurgeDeviceMemory)(csSDK_uint32 inDeviceIndex, std::size_t inRequestedBytesToPurge,
                                      std::size_t* outBytesPurged);
    prSuiteError (*AllocateHostMemory)(csSDK_uint32 inDeviceIndex, std::size_t inSizeInBytes, void** outMemory);
    prSuiteError (*FreeHostMemory)(csSDK_uint32 inDeviceIndex, void* inMemory);
    prSuiteError (*PurgeHostMemory)(csSDK_uint32 inDeviceIndex, std::size_t inRequestedBytesToPurge,
                                    std::size_t* outBytesPurged);
    // A new GPU frame of `inPixelFormat` on the device.
    prSuiteError (*CreateGPUPPix)(csSDK_uint32 inDeviceIndex, csSDK_uint32 inPixelFormat, csSDK_int32 inWidth,
                                  csSDK_int32 inHeight, csSDK_int32 inPARNumerator, csSDK_int32 inPARDenominator,
                                  csSDK_int32 inFieldType, PPixHand* outPPixHand);
    prSuiteError (*GetGPUPPixData)(PPixHand inPPixHand, void** outData);  // MTLBuffer on Metal
    prSuiteError (*GetGPUPPixDeviceIndex)(PPixHand inPPixHand, csSDK_uint32* outDeviceIndex);
    prSuiteError (*GetGPUPPixSize)(PPixHand inPPixHand, std::size_t* outSizeInBytes);
} PrSDKGPUDeviceSuite;

// Premiere Pro's GPU filter interface: the entry point that hands out a table of
// filter callbacks. Only the shape the entry point needs is declared here.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::uint32_t csSDK_uint32;
typedef std::int32_t csSDK_int32;
typedef std::int64_t csSDK_int64;
typedef std::int32_t prBool;
typedef std::int32_t prSuiteError;
typedef struct PPix* PPixHand_;
typedef PPixHand_* PPixHand;

inline constexpr prSuiteError suiteError_NoError = 0;
inline constexpr prSuiteError suiteError_Fail = static_cast<prSuiteError>(0x80000000u);
inline constexpr prSuiteError suiteError_InvalidParms = static_cast<prSuiteError>(0x80000001u);
inline constexpr prSuiteError suiteError_OutOfMemory = static_cast<prSuiteError>(0x80000002u);
inline constexpr prSuiteError suiteError_NotImplemented = static_cast<prSuiteError>(0x80000004u);

#define PrGPUFilterInterfaceVersion2 2

struct SPBasicSuite;

typedef struct {
    void* reserved;
    SPBasicSuite* (*getSPBasicSuite)();
} PrSDKUtilityFuncs;

typedef struct {
    csSDK_int32 piInterfaceVer;
    PrSDKUtilityFuncs* utilFuncs;
} piSuites, *piSuitesPtr;

typedef struct {
    piSuitesPtr piSuites;
    csSDK_int64 inNodeID;
    csSDK_uint32 inDeviceIndex;
    void* ioPrivatePluginData;
    prBool outIsRealtime;
} PrGPUFilterInstance;

typedef struct PrGPUFilterRenderParams PrGPUFilterRenderParams;
typedef struct PrGPUFilterFrameDependency PrGPUFilterFrameDependency;

typedef struct {
    prSuiteError (*CreateInstance)(PrGPUFilterInstance* ioInstanceData);
    prSuiteError (*DisposeInstance)(PrGPUFilterInstance* ioInstanceData);
    prSuiteError (*GetFrameDependencies)(PrGPUFilterInstance* inInstanceData,
                                         const PrGPUFilterRenderParams* inRenderParams,
                                         csSDK_int32* ioQueryIndex,
                                         PrGPUFilterFrameDependency* outFrameDependencies);
    prSuiteError (*Precompute)(PrGPUFilterInstance* inInstanceData,
                               const PrGPUFilterRenderParams* inRenderParams,
                               csSDK_int32 inIndex, PPixHand inFrame);
    prSuiteError (*Render)(PrGPUFilterInstance* inInstanceData,
                           const PrGPUFilterRenderParams* inRenderParams,
                           const PPixHand* inFrames, std::size_t inFrameCount,
                           PPixHand* outFrame);
} PrGPUFilter;

typedef struct {
    csSDK_uint32 outInterfaceVersion;
    std::uint8_t reserved[16];  // match name, left empty
} PrGPUFilterInfo;

typedef prSuiteError (*PrGPUFilterEntry)(csSDK_uint32 inHostInterfaceVersion,
                                         csSDK_int32* ioIndex, prBool inStartup,
                                         piSuitesPtr piSuites, PrGPUFilter* outFilter,
                                         PrGPUFilterInfo* outFilterInfo);

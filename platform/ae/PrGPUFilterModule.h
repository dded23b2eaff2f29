// Premiere Pro's GPU filter interface: the entry point that hands out a table of filter
// callbacks, the instance and render records, frame dependencies and parameter values.
// Our own declaration; the vendor SDK replaces it.
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

typedef csSDK_int64 PrTime;

typedef struct PrGPUFilterRenderParams {
    PrTime inClipTime;  // the frame's time in the clip, in ticks
    PrTime inSequenceTime;
    csSDK_int32 inQuality;
    float inDownsampleFactorX;
    float inDownsampleFactorY;
    csSDK_uint32 inRenderWidth;
    csSDK_uint32 inRenderHeight;
    csSDK_uint32 inRenderPARNum;
    csSDK_uint32 inRenderPARDen;
    csSDK_int32 inRenderFieldType;
    PrTime inRenderTicksPerFrame;
    csSDK_int32 inRenderField;
} PrGPUFilterRenderParams;

typedef struct PrGPUFilterFrameDependency {
    csSDK_int32 outDependencyType;
    csSDK_int32 outTrackID;
    PrTime outSequenceTime;
    csSDK_int32 outPrecomputeFrameIndex;
    prBool outNeedsFieldSeparation;
} PrGPUFilterFrameDependency;

// A parameter value: the representation code, then the value.
enum PrParamType : csSDK_int32 {
    kPrParamType_Int8 = 1,
    kPrParamType_Int16 = 2,
    kPrParamType_Int32 = 3,
    kPrParamType_Int64 = 4,
    kPrParamType_Float32 = 5,
    kPrParamType_Float64 = 6,
    kPrParamType_Bool = 7,
    kPrParamType_Point = 8,
};

typedef struct {
    csSDK_int32 mType;  // PrParamType
    union {
        std::int8_t mInt8;
        std::int16_t mInt16;
        csSDK_int32 mInt32;
        csSDK_int64 mInt64;
        float mFloat32;
        double mFloat64;
        std::uint8_t mBool;
        struct {
            double x, y;
        } mPoint;
    };
} PrParam;

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

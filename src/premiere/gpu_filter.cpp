#include "premiere/gpu_filter.h"

#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "PrSDKPixelFormat.h"
#include "host/export.h"
#include "settings/param_indices.h"
#include "settings/parameters.h"

namespace raydrift::nativegpu {

namespace {

constexpr csSDK_uint32 kFloatFrames = PrPixelFormat_GPU_BGRA_4444_32f;  // '@CDA'
constexpr csSDK_uint32 kHalfFrames = PrPixelFormat_GPU_BGRA_4444_16f;   // '@CDa'

}  // namespace

template <typename Suite>
Suite const* Filter::acquire(const char* name, std::int32_t version) {
    const void* suite = nullptr;
    if (basic->AcquireSuite(name, version, &suite) != kSPNoError)
        throw std::runtime_error(std::string("Premiere suite unavailable: ") + name);
    if (suite == nullptr) {
        basic->ReleaseSuite(name, version);
        throw std::runtime_error(std::string("Premiere suite unavailable: ") + name);
    }
    return static_cast<Suite const*>(suite);
}

Filter::Filter(SPBasicSuite const* basicSuite, csSDK_int32 node, csSDK_uint32 device)
    : basic(basicSuite), nodeId(node), deviceIndex(device) {
    if (basic == nullptr || basic->AcquireSuite == nullptr || basic->ReleaseSuite == nullptr)
        throw std::runtime_error("Premiere basic suite unavailable");
    try {
        gpuSuite = acquire<PrSDKGPUDeviceSuite>(kPrSDKGPUDeviceSuite, kPrSDKGPUDeviceSuiteVersion2);
        ppixSuite = acquire<PrSDKPPixSuite>(kPrSDKPPixSuite, kPrSDKPPixSuiteVersion1);
        segmentSuite = acquire<PrSDKVideoSegmentSuite>(kPrSDKVideoSegmentSuite, kPrSDKVideoSegmentSuiteVersion9);
        timeSuite = acquire<PrSDKTimeSuite>(kPrSDKTimeSuite, kPrSDKTimeSuiteVersion1);
        if (!timeSuite->GetTicksPerSecond || timeSuite->GetTicksPerSecond(&ticksPerSecond) != suiteError_NoError)
            throw std::runtime_error("Premiere timebase unavailable");
        if (!gpuSuite->GetDeviceInfo ||
            gpuSuite->GetDeviceInfo(kPrSDKGPUDeviceSuiteVersion2, deviceIndex, &deviceInfo) != suiteError_NoError)
            throw std::runtime_error("Premiere GPU unavailable");
        if (!settings(0).useGpu) throw std::runtime_error("Use GPU disabled; software path requested");
        renderer = std::make_unique<Renderer>(deviceInfo, gpuSuite, deviceIndex);
    } catch (...) {
        release();
        throw;
    }
}

Filter::~Filter() { release(); }

void Filter::release() {
    if (renderer && pendingOutput) {
        try {
            renderer->synchronize();
            ppixSuite->Dispose(pendingOutput);
        } catch (...) {
        }
    }
    pendingOutput = nullptr;
    renderer.reset();
    if (timeSuite) basic->ReleaseSuite(kPrSDKTimeSuite, kPrSDKTimeSuiteVersion1);
    if (segmentSuite) basic->ReleaseSuite(kPrSDKVideoSegmentSuite, kPrSDKVideoSegmentSuiteVersion9);
    if (ppixSuite) basic->ReleaseSuite(kPrSDKPPixSuite, kPrSDKPPixSuiteVersion1);
    if (gpuSuite) basic->ReleaseSuite(kPrSDKGPUDeviceSuite, kPrSDKGPUDeviceSuiteVersion2);
    timeSuite = nullptr;
    segmentSuite = nullptr;
    ppixSuite = nullptr;
    gpuSuite = nullptr;
}

double Filter::number(PrParam const& p) {
    switch (p.mType) {
    case kPrParamType_Int8: return p.mInt8;
    case kPrParamType_Int16: return p.mInt16;
    case kPrParamType_Int32: return p.mInt32;
    case kPrParamType_Int64: return static_cast<double>(p.mInt64);
    case kPrParamType_Float32: return p.mFloat32;
    case kPrParamType_Float64: return p.mFloat64;
    case kPrParamType_Bool: return p.mBool;
    default: throw std::runtime_error("Unsupported Premiere parameter representation");
    }
}

PrParam Filter::param(int index, PrTime time) const {
    PrParam p;
    std::memset(&p, 0, sizeof p);
    if (!segmentSuite->GetParam || segmentSuite->GetParam(nodeId, index - 1, time, &p) != suiteError_NoError)
        throw std::runtime_error("Premiere parameter query failed: " + std::to_string(index));
    return p;
}

RenderSettings Filter::settings(PrTime time) const {
    std::array<PF_ParamDef, kParamCount> defs{};
    std::array<PF_ParamDef*, kParamCount> pointers{};
    for (std::size_t i = 0; i < defs.size(); ++i) pointers[i] = &defs[i];
    auto def = [&defs](int index) -> PF_ParamDef& { return defs[static_cast<std::size_t>(index)]; };
    for (int index : {kParamUseGpu, kParamInvert, kParamSymmetric, kParamJitterLength, kParamJitterWidth})
        def(index).u.bd.value = number(param(index, time)) != 0.0 ? 1 : 0;
    // Premiere numbers menu items from 0.
    for (int index : {kParamView, kParamOutput, kParamEdgeMode, kParamChannels, kParamBlendMode})
        def(index).u.pd.value = static_cast<PF_ParamValue>(std::trunc(number(param(index, time)))) + 1;
    for (int index : {kParamThreshold, kParamThresholdSmooth, kParamLength, kParamWidth, kParamIntensity,
                      kParamDiffraction, kParamLengthJitterAmount, kParamLengthJitterSpeed, kParamWidthJitterAmount,
                      kParamWidthJitterSpeed, kParamTintMix, kParamChromaticAmount, kParamDetails})
        def(index).u.fs_d.value = number(param(index, time));
    const PrParam direction = param(kParamDirection, time);
    def(kParamDirection).u.ad.value = direction.mType == kPrParamType_Int32
                                          ? direction.mInt32
                                          : static_cast<PF_Fixed>(std::lround(number(direction) * 65536.0));
    const PrParam colour = param(kParamTintColor, time);
    PF_Pixel& tint = def(kParamTintColor).u.cd.value;
    if (colour.mType == kPrParamType_Int32) {
        const auto v = static_cast<std::uint32_t>(colour.mInt32);
        tint = PF_Pixel{255, static_cast<A_u_char>(v >> 16), static_cast<A_u_char>(v >> 8), static_cast<A_u_char>(v)};
    } else if (colour.mType == kPrParamType_Int64) {
        const auto v = static_cast<std::uint64_t>(colour.mInt64);
        tint = PF_Pixel{255, static_cast<A_u_char>(v >> 40), static_cast<A_u_char>(v >> 24),
                        static_cast<A_u_char>(v >> 8)};
    } else {
        throw std::runtime_error("Unsupported Premiere color representation: type=" + std::to_string(colour.mType));
    }
    const double seconds =
        ticksPerSecond != 0 ? static_cast<double>(time) / static_cast<double>(ticksPerSecond) : 0.0;
    return SettingsFromParams(pointers.data(), seconds);
}

PPixHand Filter::body(PrGPUFilterRenderParams const& params, PPixHand input, RenderSettings const& s,
                      PPixHand& made) {
    csSDK_uint32 format = 0;
    prRect bounds{};
    csSDK_int32 inPitch = 0;
    if (!ppixSuite->GetPixelFormat || !ppixSuite->GetBounds || !ppixSuite->GetRowBytes ||
        ppixSuite->GetPixelFormat(input, &format) || ppixSuite->GetBounds(input, &bounds) ||
        ppixSuite->GetRowBytes(input, &inPitch))
        throw std::runtime_error("Premiere GPU input metadata failed");
    if (format != kFloatFrames && format != kHalfFrames) throw std::runtime_error("Unsupported Premiere GPU pixel format");
    const csSDK_int32 width = bounds.right - bounds.left, height = bounds.bottom - bounds.top;
    if (!gpuSuite->CreateGPUPPix || !gpuSuite->GetGPUPPixData)
        throw std::runtime_error("Premiere output allocation failed");
    const prSuiteError created = gpuSuite->CreateGPUPPix(
        deviceIndex, format, width, height, static_cast<csSDK_int32>(params.inRenderPARNum),
        static_cast<csSDK_int32>(params.inRenderPARDen), params.inRenderFieldType, &made);
    if (created == suiteError_OutOfMemory || (created == suiteError_NoError && made == nullptr))
        throw MemoryPressure("Premiere output allocation failed");
    if (created != suiteError_NoError) throw std::runtime_error("Premiere output allocation failed");
    Frame frame;
    csSDK_int32 outPitch = 0;
    if (gpuSuite->GetGPUPPixData(input, &frame.input) || gpuSuite->GetGPUPPixData(made, &frame.output) ||
        ppixSuite->GetRowBytes(made, &outPitch))
        throw std::runtime_error("Premiere GPU buffer access failed");
    frame.width = width;
    frame.height = height;
    frame.inPitch = inPitch;
    frame.outPitch = outPitch;
    frame.halfPixels = format == kHalfFrames;
    frame.ae = false;
    renderer->render(frame, s);
    return made;
}

prSuiteError Filter::render(PrGPUFilterRenderParams const& params, PPixHand input, PPixHand* out) {
    *out = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (nativeDisabled.load()) return suiteError_Fail;
    PPixHand made = nullptr;
    try {
        const RenderSettings s = settings(params.inClipTime);
        if (nativeDisabled.load()) throw SessionDisabled();
        try {
            *out = body(params, input, s, made);
        } catch (MemoryPressure const&) {
            try {
                renderer->releaseBuffers();
                if (made) {
                    const prSuiteError disposed = ppixSuite->Dispose(made);
                    made = nullptr;
                    if (disposed) throw std::runtime_error("Native output disposal failed");
                }
                if (nativeDisabled.load()) throw SessionDisabled();
                *out = body(params, input, s, made);
            } catch (...) {
                nativeDisabled.store(true);
                throw;
            }
        }
        return suiteError_NoError;
    } catch (...) {
        *out = nullptr;
        nativeDisabled.store(true);
        bool synchronized = false;
        try {
            renderer->synchronize();
            synchronized = true;
        } catch (...) {
        }
        if (made && synchronized) ppixSuite->Dispose(made);
        else if (made) pendingOutput = made;  // the device may still be writing it
        return suiteError_Fail;
    }
}

}  // namespace raydrift::nativegpu

namespace {

using raydrift::nativegpu::Filter;

prSuiteError create(PrGPUFilterInstance* instance) {
    if (!instance || !instance->piSuites || !instance->piSuites->utilFuncs ||
        !instance->piSuites->utilFuncs->getSPBasicSuite)
        return suiteError_NotImplemented;
    instance->ioPrivatePluginData = nullptr;
    if (raydrift::nativegpu::nativeDisabled.load()) return suiteError_NotImplemented;
    SPBasicSuite const* basic = instance->piSuites->utilFuncs->getSPBasicSuite();
    try {
        // Inside After Effects the effect renders through that host's own GPU path.
        const void* appInfo = nullptr;
        if (basic && basic->AcquireSuite && basic->ReleaseSuite &&
            basic->AcquireSuite(kPrSDKAppInfoSuite, kPrSDKAppInfoSuiteVersion3, &appInfo) == kSPNoError) {
            csSDK_uint32 app = 0;
            auto const* suite = static_cast<PrSDKAppInfoSuite const*>(appInfo);
            const bool known = suite && suite->GetAppInfo && suite->GetAppInfo(kAppInfo_AppFourCC, &app) == suiteError_NoError;
            basic->ReleaseSuite(kPrSDKAppInfoSuite, kPrSDKAppInfoSuiteVersion3);
            if (known && app == kAppAfterEffects) return suiteError_NotImplemented;
        }
        auto filter = std::make_unique<Filter>(basic, static_cast<csSDK_int32>(instance->inNodeID),
                                               instance->inDeviceIndex);
        instance->outIsRealtime = 0;
        instance->ioPrivatePluginData = filter.release();
        return suiteError_NoError;
    } catch (std::exception const&) {
        return suiteError_NotImplemented;
    }
}

prSuiteError dispose(PrGPUFilterInstance* instance) {
    if (!instance) return suiteError_NoError;
    delete static_cast<Filter*>(instance->ioPrivatePluginData);
    instance->ioPrivatePluginData = nullptr;
    return suiteError_NoError;
}

prSuiteError dependencies(PrGPUFilterInstance*, const PrGPUFilterRenderParams*, csSDK_int32*,
                          PrGPUFilterFrameDependency*) {
    return suiteError_NotImplemented;  // no other frames needed
}

prSuiteError precompute(PrGPUFilterInstance*, const PrGPUFilterRenderParams*, csSDK_int32, PPixHand) {
    return suiteError_NotImplemented;
}

prSuiteError render(PrGPUFilterInstance* instance, const PrGPUFilterRenderParams* params, const PPixHand* frames,
                    std::size_t count, PPixHand* out) {
    if (!instance || !out || count == 0 || !frames || !params || !instance->ioPrivatePluginData)
        return suiteError_InvalidParms;
    return static_cast<Filter*>(instance->ioPrivatePluginData)->render(*params, frames[0], out);
}

}  // namespace

extern "C" RAYDRIFT_EXPORT prSuiteError xGPUFilterEntry(csSDK_uint32 version, csSDK_int32* index, prBool inStartup,
                                                        piSuitesPtr, PrGPUFilter* table, PrGPUFilterInfo* info) {
    if (!inStartup) return suiteError_NoError;
    if (version == 0 || !index || !table || !info || *index != 0) return suiteError_InvalidParms;
    *table = PrGPUFilter{create, dispose, dependencies, precompute, render};
    std::memset(info, 0, sizeof *info);
    info->outInterfaceVersion = PrGPUFilterInterfaceVersion2;
    return suiteError_NoError;
}

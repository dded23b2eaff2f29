// Premiere Pro's GPU filter: one Filter per effect instance on a GPU-rendered sequence,
// rendering Premiere's GPU frames through the host-buffer renderer. Declining is always
// safe: Premiere then renders the instance through the effect's software entry.
#pragma once

#include <memory>
#include <mutex>

#include "PrSDKGPUDeviceSuite.h"
#include "PrSDKGPUFilterSuites.h"
#include "SPBasic.h"
#include "gpu/native_gpu.h"
#include "settings/render_settings.h"

namespace raydrift::nativegpu {

class Filter {
public:
    // Acquires the suites, reads the device and builds the renderer; throws
    // std::runtime_error with the reason on any failure, with everything acquired released.
    Filter(SPBasicSuite const* basic, csSDK_int32 nodeId, csSDK_uint32 deviceIndex);
    ~Filter();
    Filter(Filter const&) = delete;
    Filter& operator=(Filter const&) = delete;

    // The render callback's work for one frame; a suite error code.
    prSuiteError render(PrGPUFilterRenderParams const& params, PPixHand input, PPixHand* out);

    // The effect's settings at `time` (ticks), read from Premiere's parameter values.
    RenderSettings settings(PrTime time) const;
    // The value of effect parameter `index` at `time`.
    PrParam param(int index, PrTime time) const;
    static double number(PrParam const& value);

private:
    void release();  // the pending output, the renderer, then the suites in reverse
    template <typename Suite>
    Suite const* acquire(const char* name, std::int32_t version);
    PPixHand body(PrGPUFilterRenderParams const& params, PPixHand input, RenderSettings const& s, PPixHand& made);

    SPBasicSuite const* basic = nullptr;
    PrSDKGPUDeviceSuite const* gpuSuite = nullptr;
    PrSDKPPixSuite const* ppixSuite = nullptr;
    PrSDKVideoSegmentSuite const* segmentSuite = nullptr;
    PrSDKTimeSuite const* timeSuite = nullptr;
    PrGPUDeviceInfo deviceInfo{};
    csSDK_int32 nodeId = 0;
    csSDK_uint32 deviceIndex = 0;
    PrTime ticksPerSecond = 0;
    std::unique_ptr<Renderer> renderer;
    std::mutex mutex;
    PPixHand pendingOutput = nullptr;
};

}  // namespace raydrift::nativegpu

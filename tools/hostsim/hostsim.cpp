// The simulated host: commands, callbacks and the smart pre-render/render sequence.
#include "hostsim.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>

#include "AE_AdvEffectSuites.h"
#include "AE_EffectCBSuites.h"
#include "AE_EffectGPUSuites.h"
#include "AE_EffectSuites.h"
#include "AE_EffectUI.h"
#include "Metal/Metal.hpp"
#include "PrSDKGPUDeviceSuite.h"
#include "PrSDKGPUFilterSuites.h"
#include "PrSDKPixelFormat.h"
#include "ui_suites.h"

#ifndef RAYDRIFT_DEFAULT_PLUGIN_PATH
#define RAYDRIFT_DEFAULT_PLUGIN_PATH "raydrift_plugin.so"
#endif

namespace hostsim {

namespace {

std::atomic<int> gLiveHandles{0};

struct HostHandle {
    void* block;
    A_HandleSize size;
};

struct HostState;

// Everything one command sees: its parameters, worlds and what the callbacks recorded.
// effect_ref points here; the suites, which get no effect_ref, find it per thread.
struct Call {
    HostState* impl = nullptr;
    FrameRequest const* request = nullptr;
    std::vector<PF_ParamDef> values;
    std::vector<PF_ParamDef*> pointers;
    PF_LayerDef inputDef{};
    PF_LayerDef outputDef{};
    int inputFormat = PF_PixelFormat_INVALID;
    int outputFormat = PF_PixelFormat_INVALID;
    PF_LRect layerBounds{0, 0, 0, 0};  // the input's pixels in layer coordinates
    A_long refWidth = 0, refHeight = 0;
    bool pixelsCheckedOut = false;
    void* gpuInput = nullptr;  // the GPU worlds' buffers of a GPU frame
    void* gpuOutput = nullptr;
    SmartTrace trace;
    PF_ProgPtr ref() { return reinterpret_cast<PF_ProgPtr>(this); }
    // Parameter set-up.
    ParamsSetupResult* setup = nullptr;
    int failAt = 0;
    PF_Err failCode = PF_Err_NONE;
    int abortChecks = 0;  // PF_ABORT calls so far
};

thread_local Call* tlsCall = nullptr;

struct CallScope {
    Call* previous;
    explicit CallScope(Call& call) : previous(tlsCall) { tlsCall = &call; }
    ~CallScope() { tlsCall = previous; }
};

Call& callOf(PF_ProgPtr ref) { return *reinterpret_cast<Call*>(ref); }

bool isEmpty(PF_LRect const& r) { return r.right <= r.left || r.bottom <= r.top; }

PF_LRect intersect(PF_LRect const& a, PF_LRect const& b) {
    PF_LRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
               std::min(a.bottom, b.bottom)};
    return isEmpty(r) ? PF_LRect{0, 0, 0, 0} : r;
}

struct HostState {
    void* library = nullptr;
    EntryPoints entry;
    HostKind kind = HostKind::AfterEffects;
    Registration reg;
    PF_OutFlags outFlags = 0;
    PF_OutFlags2 outFlags2 = 0;
    A_u_long version = 0;
    std::vector<int> formats;
    PF_Handle globalData = nullptr;
    std::vector<PF_ParamDef> params;
    std::deque<std::string> strings;  // menu items and labels the parameter list points at
    mutable std::mutex hiddenMutex;
    std::set<std::string> hidden;
    std::atomic<int> suitesHeld{0};  // acquired through the basic suite, not yet released
    // The GPU device: announced at most once at a time, as device 0.
    std::optional<GpuDevice> chosenDevice;  // none: the system's Metal device
    std::unique_ptr<detail::DeviceBackend> gpuDevice;
    bool gpuAnnounced = false;
    bool gpuAccepted = false;
    void* gpuData = nullptr;
    mutable std::mutex gpuMutex;
    GpuFaults gpuFaults;
    long allocationsMade = 0;
    std::atomic<int> deviceAllocations{0}, hostAllocations{0}, exclusiveHeld{0}, allocationsRefused{0};
    // The GPU filter: its table, one instance, and the frames it holds.
    PrGPUFilter filter{};
    bool filterStarted = false;
    PrGPUFilterInstance instance{};
    long outputsMade = 0;
    std::atomic<int> gpuFrames{0};

    GpuFaults faults() const {
        std::lock_guard<std::mutex> lock(gpuMutex);
        return gpuFaults;
    }
    // The framework announced and reported for the device.
    PF_GPU_Framework framework() const {
        return faults().framework.value_or(gpuDevice ? gpuDevice->aeFramework() : PF_GPU_Framework_METAL);
    }
    // Opens the chosen device unless one is open; false when there is none.
    bool openGpu() {
        if (gpuDevice) return true;
        try {
            gpuDevice = detail::openDevice(chosenDevice.value_or(GpuDevice{}));
        } catch (std::exception const&) {
            gpuDevice.reset();
        }
        return gpuDevice != nullptr;
    }

    const char* keep(const char* text) {
        strings.emplace_back(text ? text : "");
        return strings.back().c_str();
    }
    bool suiteHidden(const char* name) const {
        std::lock_guard<std::mutex> lock(hiddenMutex);
        return hidden.count(name) != 0;
    }
    PF_InData inData(Call& call, FrameRequest const& request);
    void prepare(Call& call, FrameRequest const* request, World const* input);
    PF_Err send(PF_Cmd cmd, Call& call, PF_InData& in, PF_OutData& out, PF_LayerDef* output, void* extra);
    void start();
    void stop();
    PF_Err retireGpu();
};

// --- Suites ---------------------------------------------------------------------------

int ansiSprintf(A_char* buffer, const A_char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, PF_MAX_EFFECT_MSG_LEN + 1, format, args);
    va_end(args);
    return n;
}

const PF_ANSICallbacksSuite1 kAnsiSuite = {
    [](A_FpLong x) { return std::atan(x); },
    [](A_FpLong y, A_FpLong x) { return std::atan2(y, x); },
    [](A_FpLong x) { return std::ceil(x); },
    [](A_FpLong x) { return std::cos(x); },
    [](A_FpLong x) { return std::exp(x); },
    [](A_FpLong x) { return std::fabs(x); },
    [](A_FpLong x) { return std::floor(x); },
    [](A_FpLong x, A_FpLong y) { return std::fmod(x, y); },
    [](A_FpLong x, A_FpLong y) { return std::hypot(x, y); },
    [](A_FpLong x) { return std::log(x); },
    [](A_FpLong x) { return std::log10(x); },
    [](A_FpLong x, A_FpLong y) { return std::pow(x, y); },
    [](A_FpLong x) { return std::sin(x); },
    [](A_FpLong x) { return std::sqrt(x); },
    [](A_FpLong x) { return std::tan(x); },
    ansiSprintf,
    [](A_char* dst, const A_char* src) { return std::strcpy(dst, src); },
    [](A_FpLong x) { return std::asin(x); },
    [](A_FpLong x) { return std::acos(x); },
};

PF_Handle newHandle(A_HandleSize size) {
    void* block = std::calloc(size ? size : 1, 1);
    if (!block) return nullptr;
    ++gLiveHandles;
    return new HostHandle{block, size};
}

const PF_HandleSuite2 kHandleSuite = {
    newHandle,
    [](PF_Handle h) -> void* { return h ? static_cast<HostHandle*>(h)->block : nullptr; },
    [](PF_Handle) {},
    [](PF_Handle h) {
        if (!h) return;
        auto* handle = static_cast<HostHandle*>(h);
        std::free(handle->block);
        delete handle;
        --gLiveHandles;
    },
    [](PF_Handle h) -> A_HandleSize { return h ? static_cast<HostHandle*>(h)->size : 0; },
    [](A_HandleSize size, PF_Handle* h) -> PF_Err {
        if (!h || !*h) return PF_Err_BAD_CALLBACK_PARAM;
        auto* handle = static_cast<HostHandle*>(*h);
        void* block = std::realloc(handle->block, size ? size : 1);
        if (!block) return PF_Err_OUT_OF_MEMORY;
        handle->block = block;
        handle->size = size;
        return PF_Err_NONE;
    },
};

// The format of a world this call handed out; anything else is not the host's world.
PF_Err worldFormat(const PF_EffectWorld* world, PF_PixelFormat* format) {
    if (!world || !format) return PF_Err_BAD_CALLBACK_PARAM;
    Call* call = tlsCall;
    if (!call) return PF_Err_BAD_CALLBACK_PARAM;
    if (world == &call->inputDef || (call->pointers.size() > 0 && world == &call->values[0].u.ld))
        *format = call->inputFormat;
    else if (world == &call->outputDef)
        *format = call->outputFormat;
    else if (world->data && world->data == call->inputDef.data)
        *format = call->inputFormat;  // a checked-out copy of the input layer
    else if (!detail::uiWorldFormat(world, format))
        return PF_Err_BAD_CALLBACK_PARAM;
    return PF_Err_NONE;
}

const PF_WorldSuite2 kWorldSuite = {
    [](PF_ProgPtr, A_long, A_long, PF_Boolean, PF_PixelFormat, PF_EffectWorld*) -> PF_Err {
        return PF_Err_INTERNAL_STRUCT_DAMAGED;  // the effect never asks for worlds
    },
    [](PF_ProgPtr, PF_EffectWorld*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    worldFormat,
};

PF_Err addFormat(PF_ProgPtr ref, PrPixelFormat format);
PF_Err clearFormats(PF_ProgPtr ref);

const PF_PixelFormatSuite1 kPixelFormatSuite = {
    addFormat,
    clearFormats,
    [](PF_ProgPtr, A_u_long, A_u_long, PF_WorldFlags, PrPixelFormat, PF_EffectWorld*) -> PF_Err {
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    },
    [](PF_ProgPtr, PF_EffectWorld*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](PF_EffectWorld* world, PrPixelFormat* format) { return worldFormat(world, format); },
    [](PrPixelFormat, void*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](PrPixelFormat, void*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](PrPixelFormat, float, float, float, float, void*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
};

PF_Err appColor(PF_App_ColorType, PF_App_Color* color) {
    if (!color) return PF_Err_BAD_CALLBACK_PARAM;
    *color = PF_App_Color{0x3333, 0x3333, 0x3333};
    return PF_Err_NONE;
}
PF_Err appBackground(PF_App_Color* color) { return appColor(PF_App_Color_PANEL_BACKGROUND, color); }
PF_Err appLanguage(A_char tag[4]) {
    std::memcpy(tag, "en", 3);
    return PF_Err_NONE;
}

const PF_AppSuite1 kAppSuite1 = {appBackground, appColor, appLanguage};
const PF_AppSuite6 kAppSuite6 = {
    appBackground,
    appColor,
    appLanguage,
    [](void*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](A_long, void*, A_short*, A_short*, A_short*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](A_long) -> PF_Err { return PF_Err_NONE; },
    detail::invalidateRect,
};

// --- The GPU device suite ----------------------------------------------------------------

PF_Err gpuDeviceInfo(PF_ProgPtr ref, A_u_long index, PF_GPUDeviceInfo* info) {
    HostState& host = *callOf(ref).impl;
    if (!info || index != 0 || !host.gpuDevice) return PF_Err_BAD_CALLBACK_PARAM;
    const GpuFaults faults = host.faults();
    std::memset(info, 0, sizeof *info);
    info->device_framework = faults.framework.value_or(host.gpuDevice->aeFramework());
    info->compatibleB = faults.incompatible ? 0 : 1;
    info->platformPV = host.gpuDevice->platformHandle();
    info->devicePV = host.gpuDevice->deviceHandle();
    info->contextPV = host.gpuDevice->contextHandle();
    info->command_queuePV = host.gpuDevice->queueHandle();
    return PF_Err_NONE;
}

PF_Err gpuAllocate(PF_ProgPtr ref, A_u_long index, std::size_t size, void** memory) {
    HostState& host = *callOf(ref).impl;
    if (!memory || index != 0 || !host.gpuDevice) return PF_Err_BAD_CALLBACK_PARAM;
    *memory = nullptr;
    {
        std::lock_guard<std::mutex> lock(host.gpuMutex);
        const long n = ++host.allocationsMade;
        GpuFaults const& f = host.gpuFaults;
        if (f.failAllocation > 0 && n >= f.failAllocation && n < f.failAllocation + f.failAllocations) {
            ++host.allocationsRefused;
            return PF_Err_OUT_OF_MEMORY;
        }
    }
    void* buffer = host.gpuDevice->allocate(size);
    if (!buffer) return PF_Err_OUT_OF_MEMORY;
    ++host.deviceAllocations;
    *memory = buffer;
    return PF_Err_NONE;
}

PF_Err gpuFree(PF_ProgPtr ref, A_u_long, void* memory) {
    if (!memory) return PF_Err_BAD_CALLBACK_PARAM;
    HostState& host = *callOf(ref).impl;
    if (!host.gpuDevice) return PF_Err_BAD_CALLBACK_PARAM;
    host.gpuDevice->release(memory);
    --host.deviceAllocations;
    return PF_Err_NONE;
}

PF_Err gpuWorldData(PF_ProgPtr ref, PF_EffectWorld* world, void** data) {
    Call& call = callOf(ref);
    if (!world || !data) return PF_Err_BAD_CALLBACK_PARAM;
    *data = nullptr;
    if (PF_Err err = call.impl->faults().worldData) return err;
    if (world == &call.inputDef && call.gpuInput) *data = call.gpuInput;
    else if (world == &call.outputDef && call.gpuOutput) *data = call.gpuOutput;
    else return PF_Err_BAD_CALLBACK_PARAM;
    return PF_Err_NONE;
}

PF_Err gpuPurge(PF_ProgPtr, A_u_long, std::size_t, std::size_t* purged) {
    if (purged) *purged = 0;
    return PF_Err_NONE;
}

const PF_GPUDeviceSuite1 kGpuDeviceSuite = {
    [](PF_ProgPtr ref, A_u_long* count) -> PF_Err {
        if (!count) return PF_Err_BAD_CALLBACK_PARAM;
        *count = callOf(ref).impl->gpuDevice ? 1 : 0;
        return PF_Err_NONE;
    },
    gpuDeviceInfo,
    [](PF_ProgPtr ref, A_u_long) -> PF_Err {
        HostState& host = *callOf(ref).impl;
        if (PF_Err err = host.faults().exclusiveAccess) return err;
        ++host.exclusiveHeld;
        return PF_Err_NONE;
    },
    [](PF_ProgPtr ref, A_u_long) -> PF_Err {
        --callOf(ref).impl->exclusiveHeld;
        return PF_Err_NONE;
    },
    gpuAllocate,
    gpuFree,
    gpuPurge,
    [](PF_ProgPtr ref, A_u_long, std::size_t size, void** memory) -> PF_Err {
        HostState& host = *callOf(ref).impl;
        if (!memory || !host.gpuDevice) return PF_Err_BAD_CALLBACK_PARAM;
        *memory = host.gpuDevice->allocateHost(size);
        if (!*memory) return PF_Err_OUT_OF_MEMORY;
        ++host.hostAllocations;
        return PF_Err_NONE;
    },
    [](PF_ProgPtr ref, A_u_long, void* memory) -> PF_Err {
        HostState& host = *callOf(ref).impl;
        if (!memory || !host.gpuDevice) return PF_Err_BAD_CALLBACK_PARAM;
        host.gpuDevice->releaseHost(memory);
        --host.hostAllocations;
        return PF_Err_NONE;
    },
    gpuPurge,
    [](PF_ProgPtr, A_u_long, A_long, A_long, PF_RationalScale, PF_Field, PF_PixelFormat, PF_Boolean,
       PF_EffectWorld**) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },  // the effect never asks
    [](PF_ProgPtr, PF_EffectWorld*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    gpuWorldData,
    [](PF_ProgPtr, PF_EffectWorld* world, std::size_t* size) -> PF_Err {
        if (!world || !size) return PF_Err_BAD_CALLBACK_PARAM;
        *size = static_cast<std::size_t>(world->rowbytes) * static_cast<std::size_t>(world->height);
        return PF_Err_NONE;
    },
    [](PF_ProgPtr, PF_EffectWorld*, A_u_long* index) -> PF_Err {
        if (!index) return PF_Err_BAD_CALLBACK_PARAM;
        *index = 0;
        return PF_Err_NONE;
    },
};

const PF_GPUDeviceSuite1 kGpuDeviceSuiteWithoutWorldData = [] {
    PF_GPUDeviceSuite1 suite = kGpuDeviceSuite;
    suite.GetGPUWorldData = nullptr;
    return suite;
}();

// --- The second host's GPU filter suites ---------------------------------------------------

constexpr PrTime kTicksPerSecond = 254016000000;

// A GPU frame: a buffer of BGRA floats or halves on the host's device.
struct GpuPPix {
    void* buffer = nullptr;
    csSDK_uint32 format = 0;
    csSDK_int32 width = 0, height = 0, rowBytes = 0;
    detail::DeviceBackend* device = nullptr;
    std::size_t bytes() const {
        return static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(std::max(height, 1));
    }
};

GpuPPix* ppixOf(PPixHand h) { return reinterpret_cast<GpuPPix*>(h); }

// A new frame of the host's own; null when the device has no memory for it.
GpuPPix* newPPix(HostState& host, csSDK_uint32 format, csSDK_int32 width, csSDK_int32 height) {
    const csSDK_int32 pixelBytes = format == PrPixelFormat_GPU_BGRA_4444_16f ? 8 : 16;
    auto* frame = new GpuPPix{nullptr, format, width, height, width * pixelBytes, host.gpuDevice.get()};
    frame->buffer = host.gpuDevice->allocate(frame->bytes());
    if (!frame->buffer) {
        delete frame;
        return nullptr;
    }
    frame->device->write(frame->buffer, std::vector<std::uint8_t>(frame->bytes()).data(), frame->bytes());
    return frame;
}

void deletePPix(GpuPPix* frame) {
    if (frame->buffer) frame->device->release(frame->buffer);
    delete frame;
}

prSuiteError prDeviceInfo(csSDK_uint32, csSDK_uint32 index, PrGPUDeviceInfo* info) {
    HostState& host = *tlsCall->impl;
    if (!info || index != 0 || !host.gpuDevice) return suiteError_InvalidParms;
    std::memset(info, 0, sizeof *info);
    info->outDeviceFramework = host.gpuDevice->prFramework();
    info->outMeetsMinimumRequirementsForAcceleration = 1;
    info->outPlatformHandle = host.gpuDevice->platformHandle();
    info->outDeviceHandle = host.gpuDevice->deviceHandle();
    info->outContextHandle = host.gpuDevice->contextHandle();
    info->outCommandQueueHandle = host.gpuDevice->queueHandle();
    return suiteError_NoError;
}

// The device suite's memory entries answer as the first host's, in the second's codes.
prSuiteError prCode(PF_Err err) {
    return err == PF_Err_NONE ? suiteError_NoError : err == PF_Err_OUT_OF_MEMORY ? suiteError_OutOfMemory : suiteError_Fail;
}

prSuiteError prCreatePPix(csSDK_uint32, csSDK_uint32 format, csSDK_int32 width, csSDK_int32 height, csSDK_int32,
                          csSDK_int32, csSDK_int32, PPixHand* out) {
    HostState& host = *tlsCall->impl;
    if (!out || width < 1 || height < 1) return suiteError_InvalidParms;
    *out = nullptr;
    {
        std::lock_guard<std::mutex> lock(host.gpuMutex);
        const long n = ++host.outputsMade;
        GpuFaults const& f = host.gpuFaults;
        if (f.failOutput > 0 && n >= f.failOutput && n < f.failOutput + f.failOutputs) return suiteError_OutOfMemory;
    }
    GpuPPix* frame = newPPix(host, format, width, height);
    if (!frame) return suiteError_OutOfMemory;
    ++host.gpuFrames;
    *out = reinterpret_cast<PPixHand>(frame);
    return suiteError_NoError;
}

const PrSDKGPUDeviceSuite kPrGpuSuite = {
    [](csSDK_uint32* count) -> prSuiteError {
        if (!count) return suiteError_InvalidParms;
        *count = tlsCall->impl->gpuDevice ? 1 : 0;
        return suiteError_NoError;
    },
    prDeviceInfo,
    [](csSDK_uint32 index) { return prCode(kGpuDeviceSuite.AcquireExclusiveDeviceAccess(tlsCall->ref(), index)); },
    [](csSDK_uint32 index) { return prCode(kGpuDeviceSuite.ReleaseExclusiveDeviceAccess(tlsCall->ref(), index)); },
    [](csSDK_uint32 index, std::size_t size, void** memory) { return prCode(gpuAllocate(tlsCall->ref(), index, size, memory)); },
    [](csSDK_uint32 index, void* memory) { return prCode(gpuFree(tlsCall->ref(), index, memory)); },
    [](csSDK_uint32, std::size_t, std::size_t* purged) -> prSuiteError { return prCode(gpuPurge(nullptr, 0, 0, purged)); },
    [](csSDK_uint32 index, std::size_t size, void** memory) {
        return prCode(kGpuDeviceSuite.AllocateHostMemory(tlsCall->ref(), index, size, memory));
    },
    [](csSDK_uint32 index, void* memory) { return prCode(kGpuDeviceSuite.FreeHostMemory(tlsCall->ref(), index, memory)); },
    [](csSDK_uint32, std::size_t, std::size_t* purged) -> prSuiteError { return prCode(gpuPurge(nullptr, 0, 0, purged)); },
    prCreatePPix,
    [](PPixHand h, void** data) -> prSuiteError {
        if (!h || !data) return suiteError_InvalidParms;
        *data = ppixOf(h)->buffer;
        return suiteError_NoError;
    },
    [](PPixHand h, csSDK_uint32* index) -> prSuiteError {
        if (!h || !index) return suiteError_InvalidParms;
        *index = 0;
        return suiteError_NoError;
    },
    [](PPixHand h, std::size_t* size) -> prSuiteError {
        if (!h || !size) return suiteError_InvalidParms;
        *size = ppixOf(h)->bytes();
        return suiteError_NoError;
    },
};

const PrSDKPPixSuite kPPixSuite = {
    [](PPixHand h) -> prSuiteError {
        if (!h) return suiteError_InvalidParms;
        if (prSuiteError err = tlsCall->impl->faults().disposeResult) return err;
        deletePPix(ppixOf(h));
        --tlsCall->impl->gpuFrames;
        return suiteError_NoError;
    },
    nullptr,
    [](PPixHand h, prRect* bounds) -> prSuiteError {
        if (!h || !bounds) return suiteError_InvalidParms;
        *bounds = prRect{0, 0, ppixOf(h)->height, ppixOf(h)->width};
        return suiteError_NoError;
    },
    [](PPixHand h, csSDK_int32* rowBytes) -> prSuiteError {
        if (!h || !rowBytes) return suiteError_InvalidParms;
        *rowBytes = ppixOf(h)->rowBytes;
        return suiteError_NoError;
    },
    nullptr,
    [](PPixHand h, csSDK_uint32* format) -> prSuiteError {
        if (!h || !format) return suiteError_InvalidParms;
        *format = ppixOf(h)->format;
        return suiteError_NoError;
    },
    nullptr,
    nullptr,
    nullptr,
};

// A parameter's value in the form the second host gives it: checkboxes as booleans,
// menus counted from 0, sliders and angles as doubles, colours as 32-bit 0xRRGGBB; the
// request may give any value in another representation.
prSuiteError prGetParam(csSDK_int32, csSDK_int32 index, PrTime, PrParam* out) {
    Call& call = *tlsCall;
    const std::size_t effectIndex = static_cast<std::size_t>(index) + 1;
    if (!out || index < 0 || effectIndex >= call.values.size()) return suiteError_InvalidParms;
    std::memset(out, 0, sizeof *out);
    if (call.request)
        for (PremiereValue const& v : call.request->premiereValues)
            if (v.index == static_cast<int>(effectIndex)) {
                *out = v.value;
                return suiteError_NoError;
            }
    PF_ParamDef const& def = call.values[effectIndex];
    switch (def.param_type) {
    case PF_Param_CHECKBOX: out->mType = kPrParamType_Bool, out->mBool = def.u.bd.value ? 1 : 0; break;
    case PF_Param_POPUP: out->mType = kPrParamType_Int32, out->mInt32 = def.u.pd.value - 1; break;
    case PF_Param_FLOAT_SLIDER: out->mType = kPrParamType_Float64, out->mFloat64 = def.u.fs_d.value; break;
    case PF_Param_ANGLE: out->mType = kPrParamType_Float64, out->mFloat64 = def.u.ad.value / 65536.0; break;
    case PF_Param_COLOR:
        out->mType = kPrParamType_Int32;
        out->mInt32 = (def.u.cd.value.red << 16) | (def.u.cd.value.green << 8) | def.u.cd.value.blue;
        break;
    default: out->mType = kPrParamType_Int32, out->mInt32 = 0; break;
    }
    return suiteError_NoError;
}

const PrSDKVideoSegmentSuite kSegmentSuite = [] {
    PrSDKVideoSegmentSuite suite{};
    suite.GetParam = prGetParam;
    return suite;
}();

const PrSDKTimeSuite kTimeSuite = {
    [](PrTime* ticks) -> prSuiteError {
        if (!ticks) return suiteError_InvalidParms;
        *ticks = kTicksPerSecond;
        return suiteError_NoError;
    },
    nullptr,
    nullptr,
};

const PrSDKAppInfoSuite kAppInfoSuite = {
    [](csSDK_int32 selector, void* info) -> prSuiteError {
        if (selector != kAppInfo_AppFourCC || !info) return suiteError_InvalidParms;
        const csSDK_uint32 code = tlsCall->impl->kind == HostKind::Premiere ? kAppPremierePro : kAppAfterEffects;
        std::memcpy(info, &code, sizeof code);
        return suiteError_NoError;
    },
};

SPErr acquireSuite(const char* name, std::int32_t version, const void** suite) {
    if (!name || !suite) return kSPBadParameterError;
    *suite = nullptr;
    if (tlsCall && tlsCall->impl->suiteHidden(name)) return kSPSuiteNotFoundError;
    const std::string n = name;
    if (n == kPFANSISuite && version == kPFANSISuiteVersion1) *suite = &kAnsiSuite;
    else if (n == kPFHandleSuite && version == kPFHandleSuiteVersion2) *suite = &kHandleSuite;
    else if (n == kPFWorldSuite && version == kPFWorldSuiteVersion2) *suite = &kWorldSuite;
    else if (n == kPFPixelFormatSuite && version == kPFPixelFormatSuiteVersion1) *suite = &kPixelFormatSuite;
    else if (n == kPFAppSuite && version == kPFAppSuiteVersion1) *suite = &kAppSuite1;
    else if (n == kPFAppSuite && version == kPFAppSuiteVersion6) *suite = &kAppSuite6;
    else if (tlsCall && tlsCall->impl->faults().refusedSuite == n) *suite = nullptr;
    else if (n == kPrSDKGPUDeviceSuite && version == kPrSDKGPUDeviceSuiteVersion2) *suite = &kPrGpuSuite;
    else if (n == kPrSDKPPixSuite && version == kPrSDKPPixSuiteVersion1) *suite = &kPPixSuite;
    else if (n == kPrSDKVideoSegmentSuite && version == kPrSDKVideoSegmentSuiteVersion9) *suite = &kSegmentSuite;
    else if (n == kPrSDKTimeSuite && version == kPrSDKTimeSuiteVersion1) *suite = &kTimeSuite;
    else if (n == kPrSDKAppInfoSuite && version == kPrSDKAppInfoSuiteVersion3) *suite = &kAppInfoSuite;
    else if (n == kPFGPUDeviceSuite && version == kPFGPUDeviceSuiteVersion1 && tlsCall &&
             tlsCall->impl->kind == HostKind::AfterEffects)
        *suite = tlsCall->impl->faults().missingWorldData ? &kGpuDeviceSuiteWithoutWorldData : &kGpuDeviceSuite;
    else *suite = detail::uiSuite(n, version);
    if (!*suite) return kSPSuiteNotFoundError;
    if (tlsCall) ++tlsCall->impl->suitesHeld;
    return kSPNoError;
}

SPErr releaseSuite(const char*, std::int32_t) {
    if (tlsCall) --tlsCall->impl->suitesHeld;
    return kSPNoError;
}

const SPBasicSuite kBasicSuite = {
    acquireSuite,
    releaseSuite,
    [](const char* a, const char* b) -> SPBoolean { return a && b && std::strcmp(a, b) == 0; },
    [](std::size_t size, void** block) -> SPErr {
        if (!block) return kSPBadParameterError;
        *block = std::malloc(size ? size : 1);
        return *block ? kSPNoError : static_cast<SPErr>(PF_Err_OUT_OF_MEMORY);
    },
    [](void* block) -> SPErr {
        std::free(block);
        return kSPNoError;
    },
    [](void* block, std::size_t size, void** out) -> SPErr {
        if (!out) return kSPBadParameterError;
        *out = std::realloc(block, size ? size : 1);
        return *out ? kSPNoError : static_cast<SPErr>(PF_Err_OUT_OF_MEMORY);
    },
    []() -> SPErr { return kSPUnimplementedError; },
};

// --- Interaction callbacks -------------------------------------------------------------

PF_Err checkoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long, A_long, A_u_long, PF_ParamDef* param) {
    Call& call = callOf(ref);
    ++call.trace.paramCheckouts;
    if (call.request) {
        switch (call.request->throwFromCheckout) {
        case HostThrow::Int: throw static_cast<PF_Err>(call.request->thrownCode);
        case HostThrow::BadAlloc: throw std::bad_alloc();
        case HostThrow::Other: throw std::runtime_error("host failure");
        case HostThrow::None: break;
        }
    }
    if (!param) return PF_Err_BAD_CALLBACK_PARAM;
    if (index < 0 || index >= static_cast<PF_ParamIndex>(call.values.size())) return PF_Err_INVALID_INDEX;
    *param = call.values[static_cast<std::size_t>(index)];
    return PF_Err_NONE;
}

PF_Err checkinParam(PF_ProgPtr ref, PF_ParamDef* param) {
    ++callOf(ref).trace.paramCheckins;
    return param ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM;
}

PF_Err addParam(PF_ProgPtr ref, PF_ParamIndex, PF_ParamDefPtr def) {
    Call& call = callOf(ref);
    if (!call.setup) return PF_Err_INTERNAL_STRUCT_DAMAGED;  // only during parameter set-up
    if (!def) return PF_Err_BAD_CALLBACK_PARAM;
    const int position = static_cast<int>(call.setup->added.size()) + 1;
    if (position == call.failAt) return call.failCode;
    // The host keeps its own copy: the definition and its strings die with the call.
    PF_ParamDef copy = *def;
    copy.name[PF_MAX_EFFECT_PARAM_NAME_LEN] = '\0';
    switch (copy.param_type) {
    case PF_Param_POPUP: copy.u.pd.u.namesptr = call.impl->keep(copy.u.pd.u.namesptr); break;
    case PF_Param_CHECKBOX: copy.u.bd.u.nameptr = call.impl->keep(copy.u.bd.u.nameptr); break;
    case PF_Param_BUTTON: copy.u.button_d.u.namesptr = call.impl->keep(copy.u.button_d.u.namesptr); break;
    default: break;
    }
    call.setup->added.push_back(copy);
    return PF_Err_NONE;
}

PF_Err abortCheck(PF_ProgPtr ref) {
    Call& call = callOf(ref);
    if (!call.request) return PF_Err_NONE;
    return ++call.abortChecks >= call.request->abortFromCheck ? call.request->abortCode : PF_Err_NONE;
}

PF_Err progress(PF_ProgPtr ref, A_long, A_long) { return abortCheck(ref); }

PF_Err registerUi(PF_ProgPtr ref, PF_CustomUIInfo* info) {
    Call& call = callOf(ref);
    if (!info) return PF_Err_BAD_CALLBACK_PARAM;
    if (call.setup) {
        call.setup->uiRegistered = true;
        call.setup->uiEvents = info->events;
    }
    return PF_Err_NONE;
}

// --- Smart render callbacks ------------------------------------------------------------

PF_Err checkoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long id, const PF_RenderRequest* req, A_long, A_long,
                     A_u_long, PF_CheckoutResult* result) {
    Call& call = callOf(ref);
    if (!req || !result) return PF_Err_BAD_CALLBACK_PARAM;
    if (index != 0) return PF_Err_INVALID_INDEX;
    call.trace.checkoutIds.push_back(id);
    std::memset(result, 0, sizeof *result);
    result->max_result_rect = call.layerBounds;
    result->result_rect = isEmpty(req->rect) ? call.layerBounds : intersect(req->rect, call.layerBounds);
    result->par = PF_RationalScale{1, 1};
    result->ref_width = call.refWidth;
    result->ref_height = call.refHeight;
    if (id == 0) call.pixelsCheckedOut = true;
    return PF_Err_NONE;
}

PF_Err checkoutLayerPixels(PF_ProgPtr ref, A_long id, PF_EffectWorld** pixels) {
    Call& call = callOf(ref);
    if (!pixels) return PF_Err_BAD_CALLBACK_PARAM;
    *pixels = nullptr;
    if (id != 0 || !call.pixelsCheckedOut) return PF_Err_BAD_CALLBACK_PARAM;
    *pixels = &call.inputDef;
    return PF_Err_NONE;
}

PF_Err checkinLayerPixels(PF_ProgPtr ref, A_long id) {
    return id == 0 && callOf(ref).pixelsCheckedOut ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM;
}

PF_Err checkoutOutput(PF_ProgPtr ref, PF_EffectWorld** output) {
    if (!output) return PF_Err_BAD_CALLBACK_PARAM;
    *output = &callOf(ref).outputDef;
    return PF_Err_NONE;
}

int bitDepth(int format) {
    switch (format) {
    case PF_PixelFormat_ARGB64: return 16;
    case PF_PixelFormat_ARGB128:
    case PrPixelFormat_BGRA_4444_32f: return 32;
    default: return 8;
    }
}

PF_Err addFormat(PF_ProgPtr ref, PrPixelFormat format) {
    callOf(ref).impl->formats.push_back(format);
    return PF_Err_NONE;
}

PF_Err clearFormats(PF_ProgPtr ref) {
    callOf(ref).impl->formats.clear();
    return PF_Err_NONE;
}

PF_Err registrationCallback(PF_PluginDataPtr inPtr, const A_u_char* name, const A_u_char* matchName,
                            const A_u_char* category, const A_u_char* entryPoint, A_long kind, A_long major,
                            A_long minor, A_long reserved, const A_u_char* url) {
    auto* reg = reinterpret_cast<Registration*>(inPtr);
    auto text = [](const A_u_char* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : std::string(); };
    reg->name = text(name);
    reg->matchName = text(matchName);
    reg->category = text(category);
    reg->entryPoint = text(entryPoint);
    reg->supportUrl = text(url);
    reg->kind = kind;
    reg->apiMajor = major;
    reg->apiMinor = minor;
    reg->reservedInfo = reserved;
    return PF_Err_NONE;
}

}  // namespace

struct Host::Impl : HostState {};

// --- Host::Impl ----------------------------------------------------------------------------

PF_InData HostState::inData(Call& call, FrameRequest const& request) {
    PF_InData in;
    std::memset(&in, 0, sizeof in);
    in.inter.checkout_param = checkoutParam;
    in.inter.checkin_param = checkinParam;
    in.inter.add_param = addParam;
    in.inter.abort = abortCheck;
    in.inter.progress = progress;
    in.inter.register_ui = registerUi;
    in.effect_ref = reinterpret_cast<PF_ProgPtr>(&call);
    in.appl_id = kind == HostKind::Premiere ? PF_AppId_Premiere : PF_AppId_AfterEffects;
    in.version = PF_VERSION(13, 29, 0, PF_Stage_RELEASE, 0);
    in.num_params = static_cast<A_long>(params.size());  // the input layer, then what set-up added
    in.current_time = request.currentTime;
    in.time_step = request.timeStep;
    in.local_time_step = request.timeStep;
    in.total_time = static_cast<A_long>(std::clamp<std::int64_t>(std::int64_t{request.timeStep} * 100, INT32_MIN, INT32_MAX));
    in.time_scale = request.timeScale;
    in.field = PF_Field_FRAME;
    in.downsample_x = request.downsampleX;
    in.downsample_y = request.downsampleY;
    in.pixel_aspect_ratio = PF_RationalScale{1, 1};
    in.global_data = globalData;
    in.pica_basicP = &kBasicSuite;
    return in;
}

// Parameter values for the call: the request's (missing entries at their defaults) with
// the input layer at 0.
void HostState::prepare(Call& call, FrameRequest const* request, World const* input) {
    call.impl = this;
    call.request = request;
    call.values = params;
    if (request)
        for (std::size_t i = 1; i < std::min(request->params.size(), call.values.size()); ++i)
            call.values[i] = request->params[i];
    if (input) {
        call.inputDef = input->def();
        call.inputFormat = input->format();
        call.values[0].u.ld = call.inputDef;
    }
    call.pointers.clear();
    for (PF_ParamDef& def : call.values) call.pointers.push_back(&def);
}

PF_Err HostState::send(PF_Cmd cmd, Call& call, PF_InData& in, PF_OutData& out, PF_LayerDef* output, void* extra) {
    CallScope scope(call);
    return entry.effectMain(cmd, &in, &out, call.pointers.empty() ? nullptr : call.pointers.data(), output, extra);
}

void HostState::start() {
    if (!entry.registration || !entry.effectMain) throw std::runtime_error("plug-in has no entry points");
    SPBasicSuite basic = kBasicSuite;
    reg.result = entry.registration(reinterpret_cast<PF_PluginDataPtr>(&reg), registrationCallback, &basic,
                                    kind == HostKind::Premiere ? "Premiere Pro" : "After Effects", "13.29");
    if (reg.result) throw std::runtime_error("plug-in registration failed with error " + std::to_string(reg.result));

    // The input layer the host adds before the effect's own parameters.
    PF_ParamDef layer;
    std::memset(&layer, 0, sizeof layer);
    layer.param_type = PF_Param_LAYER;
    std::strcpy(layer.name, "Input");
    params.assign(1, layer);

    FrameRequest defaultsRequest;
    Call call;
    prepare(call, &defaultsRequest, nullptr);
    PF_InData in = inData(call, defaultsRequest);
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    if (PF_Err err = send(PF_Cmd_GLOBAL_SETUP, call, in, out, nullptr, nullptr))
        throw std::runtime_error("plug-in global set-up failed with error " + std::to_string(err) +
                                 (out.return_msg[0] ? std::string(": ") + out.return_msg : std::string()));
    version = out.my_version;
    outFlags = out.out_flags;
    outFlags2 = out.out_flags2;
    globalData = out.global_data;

    ParamsSetupResult setup;
    Call setupCall;
    prepare(setupCall, &defaultsRequest, nullptr);
    setupCall.setup = &setup;
    in = inData(setupCall, defaultsRequest);
    std::memset(&out, 0, sizeof out);
    setup.err = send(PF_Cmd_PARAMS_SETUP, setupCall, in, out, nullptr, nullptr);
    if (setup.err) throw std::runtime_error("plug-in parameter set-up failed with error " + std::to_string(setup.err));
    if (out.num_params != static_cast<A_long>(setup.added.size()) + 1)
        throw std::runtime_error("plug-in declared " + std::to_string(out.num_params) + " parameters but added " +
                                 std::to_string(setup.added.size() + 1));
    params.insert(params.end(), setup.added.begin(), setup.added.end());

    Call sequenceCall;
    prepare(sequenceCall, &defaultsRequest, nullptr);
    in = inData(sequenceCall, defaultsRequest);
    std::memset(&out, 0, sizeof out);
    if (PF_Err err = send(PF_Cmd_SEQUENCE_SETUP, sequenceCall, in, out, nullptr, nullptr))
        throw std::runtime_error("plug-in sequence set-up failed with error " + std::to_string(err));
}

// GPU device set-down for an announced device, then the device is given up.
PF_Err HostState::retireGpu() {
    PF_Err err = PF_Err_NONE;
    if (gpuAnnounced && entry.effectMain) {
        FrameRequest defaultsRequest;
        Call call;
        prepare(call, &defaultsRequest, nullptr);
        PF_InData in = inData(call, defaultsRequest);
        PF_OutData out;
        std::memset(&out, 0, sizeof out);
        PF_GPUDeviceSetdownInput input{gpuData, framework(), 0};
        PF_GPUDeviceSetdownExtra extra{&input};
        err = send(PF_Cmd_GPU_DEVICE_SETDOWN, call, in, out, nullptr, &extra);
    }
    gpuAnnounced = gpuAccepted = false;
    gpuData = nullptr;
    // The second host's instance may still render on the device.
    if (!instance.ioPrivatePluginData) gpuDevice.reset();
    return err;
}

void HostState::stop() {
    if (!entry.effectMain) return;
    if (filter.DisposeInstance && instance.ioPrivatePluginData) {
        FrameRequest defaults;
        Call call;
        prepare(call, &defaults, nullptr);
        CallScope scope(call);
        filter.DisposeInstance(&instance);
        instance.ioPrivatePluginData = nullptr;
    }
    retireGpu();
    FrameRequest defaultsRequest;
    for (PF_Cmd cmd : {PF_Cmd_SEQUENCE_SETDOWN, PF_Cmd_GLOBAL_SETDOWN}) {
        Call call;
        prepare(call, &defaultsRequest, nullptr);
        PF_InData in = inData(call, defaultsRequest);
        PF_OutData out;
        std::memset(&out, 0, sizeof out);
        send(cmd, call, in, out, nullptr, nullptr);
    }
    // The plug-in disposes of its global data at set-down; what it leaves, the host frees.
    globalData = nullptr;
}

// --- Host ------------------------------------------------------------------------------------

Host::Host(std::string const& pluginPath, HostKind kind) : impl_(std::make_unique<Impl>()) {
    impl_->kind = kind;
    dlerror();
    impl_->library = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!impl_->library) {
        const char* why = dlerror();
        throw std::runtime_error("cannot load plug-in " + pluginPath + ": " + (why ? why : "unknown error"));
    }
    impl_->entry.registration =
        reinterpret_cast<PF_PluginDataEntryFunction2Ptr>(dlsym(impl_->library, "PluginDataEntryFunction2"));
    impl_->entry.effectMain = reinterpret_cast<PF_EffectMainPtr>(dlsym(impl_->library, "EffectMain"));
    impl_->entry.gpuFilter = reinterpret_cast<PrGPUFilterEntry>(dlsym(impl_->library, "xGPUFilterEntry"));
    if (!impl_->entry.registration || !impl_->entry.effectMain || !impl_->entry.gpuFilter) {
        dlclose(impl_->library);
        throw std::runtime_error("plug-in " + pluginPath + " lacks an entry point");
    }
    try {
        impl_->start();
    } catch (...) {
        dlclose(impl_->library);
        throw;
    }
}

Host::Host(EntryPoints const& entry, HostKind kind) : impl_(std::make_unique<Impl>()) {
    impl_->kind = kind;
    impl_->entry = entry;
    impl_->start();
}

Host::~Host() {
    try {
        impl_->stop();
    } catch (...) {
    }
    if (impl_->library) dlclose(impl_->library);
}

HostKind Host::kind() const { return impl_->kind; }
std::vector<PF_ParamDef> const& Host::params() const { return impl_->params; }
std::vector<PF_ParamDef> Host::defaults() const { return impl_->params; }
PF_OutFlags Host::outFlags() const { return impl_->outFlags; }
PF_OutFlags2 Host::outFlags2() const { return impl_->outFlags2; }
Registration const& Host::registration() const { return impl_->reg; }
A_u_long Host::version() const { return impl_->version; }
std::vector<int> const& Host::pixelFormats() const { return impl_->formats; }
EntryPoints const& Host::entryPoints() const { return impl_->entry; }
int Host::liveHandles() const { return gLiveHandles.load(); }

int Host::heldSuites() const { return impl_->suitesHeld.load(); }

bool Host::acceptsFormat(int format) const {
    if (impl_->kind == HostKind::Premiere)
        return std::find(impl_->formats.begin(), impl_->formats.end(), format) != impl_->formats.end();
    return format == PF_PixelFormat_ARGB32 || format == PF_PixelFormat_ARGB64 || format == PF_PixelFormat_ARGB128;
}

void Host::hideSuite(std::string const& name) {
    std::lock_guard<std::mutex> lock(impl_->hiddenMutex);
    impl_->hidden.insert(name);
}

void Host::clearHiddenSuites() {
    std::lock_guard<std::mutex> lock(impl_->hiddenMutex);
    impl_->hidden.clear();
}

std::string Host::aboutMessage() {
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    if (PF_Err err = command(PF_Cmd_ABOUT, nullptr, nullptr, &out))
        throw std::runtime_error("about command failed with error " + std::to_string(err));
    out.return_msg[PF_MAX_EFFECT_MSG_LEN] = '\0';
    return out.return_msg;
}

PF_Err Host::command(PF_Cmd cmd, void* extra, FrameRequest const* request, PF_OutData* outData) {
    FrameRequest defaultsRequest;
    FrameRequest const& req = request ? *request : defaultsRequest;
    Call call;
    impl_->prepare(call, &req, nullptr);
    PF_InData in = impl_->inData(call, req);
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    const PF_Err err = impl_->send(cmd, call, in, out, nullptr, extra);
    if (outData) *outData = out;
    return err;
}

ParamsSetupResult Host::setupParameters(int failAt, PF_Err failCode) {
    ParamsSetupResult result;
    FrameRequest defaultsRequest;
    Call call;
    impl_->prepare(call, &defaultsRequest, nullptr);
    call.setup = &result;
    call.failAt = failAt;
    call.failCode = failCode;
    PF_InData in = impl_->inData(call, defaultsRequest);
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    result.err = impl_->send(PF_Cmd_PARAMS_SETUP, call, in, out, nullptr, nullptr);
    result.numParams = out.num_params;
    return result;
}

PF_Err Host::globalSetup(PF_OutData& out) {
    FrameRequest defaultsRequest;
    Call call;
    impl_->prepare(call, &defaultsRequest, nullptr);
    PF_InData in = impl_->inData(call, defaultsRequest);
    std::memset(&out, 0, sizeof out);
    const PF_Err err = impl_->send(PF_Cmd_GLOBAL_SETUP, call, in, out, nullptr, nullptr);
    if (out.global_data) kHandleSuite.host_dispose_handle(out.global_data);
    out.global_data = nullptr;
    return err;
}

PF_Err Host::event(PF_EventExtra& extra, FrameRequest& request, World const* input,
                   std::vector<PF_ParamIndex>* changed, PF_OutData* outData) {
    Call call;
    impl_->prepare(call, &request, input);
    // The change flags are the plug-in's answer; they share the slot of the id.
    for (PF_ParamDef& def : call.values) def.uu.change_flags = PF_ChangeFlag_NONE;
    PF_InData in = impl_->inData(call, request);
    if (input) {
        in.width = input->width();
        in.height = input->height();
        in.extent_hint = PF_LRect{0, 0, input->width(), input->height()};
    }
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    const PF_Err err = impl_->send(PF_Cmd_EVENT, call, in, out, nullptr, &extra);
    const std::size_t n = std::min(request.params.size(), call.values.size());
    for (std::size_t i = 1; i < n; ++i) {
        if (!(call.values[i].uu.change_flags & PF_ChangeFlag_CHANGED_VALUE)) continue;
        const A_long id = request.params[i].uu.id;
        request.params[i] = call.values[i];
        request.params[i].uu.id = id;
        if (changed) changed->push_back(static_cast<PF_ParamIndex>(i));
    }
    if (outData) *outData = out;
    return err;
}

PF_Err Host::announceGpu() {
    HostState& host = *impl_;
    if (host.kind != HostKind::AfterEffects) return PF_Err_NONE;
    host.retireGpu();
    if (!host.openGpu()) return PF_Err_NONE;
    PF_GPUDeviceSetupInput input{host.framework(), 0};
    PF_GPUDeviceSetupOutput output{nullptr};
    PF_GPUDeviceSetupExtra extra{&input, &output};
    PF_OutData out;
    const PF_Err err = command(PF_Cmd_GPU_DEVICE_SETUP, &extra, nullptr, &out);
    host.gpuAnnounced = true;
    host.gpuData = output.gpu_data;
    host.gpuAccepted = !err && output.gpu_data && (out.out_flags2 & PF_OutFlag2_SUPPORTS_GPU_RENDER_F32);
    return err;
}

bool Host::gpuAccepted() const { return impl_->gpuAccepted; }

void Host::useGpuDevice(std::optional<GpuDevice> const& device) {
    impl_->retireGpu();
    disposeGpuInstance();
    impl_->gpuDevice.reset();
    impl_->chosenDevice = device;
}

PF_Err Host::retireGpu() { return impl_->retireGpu(); }

void Host::setGpuFaults(GpuFaults const& faults) {
    std::lock_guard<std::mutex> lock(impl_->gpuMutex);
    impl_->gpuFaults = faults;
    impl_->allocationsMade = 0;
}

GpuCounts Host::gpuCounts() const {
    return GpuCounts{impl_->deviceAllocations.load(), impl_->hostAllocations.load(), impl_->exclusiveHeld.load(),
                     impl_->allocationsRefused.load(), impl_->gpuFrames.load()};
}

namespace {

SPBasicSuite* basicForFilter() { return const_cast<SPBasicSuite*>(&kBasicSuite); }
PrSDKUtilityFuncs kUtilityFuncs{nullptr, basicForFilter};
piSuites kPiSuites{PrGPUFilterInterfaceVersion2, &kUtilityFuncs};

std::uint16_t toHalf(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    const std::uint16_t sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
    const float a = std::fabs(f);
    if (!(a == a)) return static_cast<std::uint16_t>(sign | 0x7e00u);
    if (a >= 65520.0f) return static_cast<std::uint16_t>(sign | 0x7c00u);
    if (a < 6.103515625e-05f)  // subnormal: multiples of 2^-24, rounded to nearest even
        return static_cast<std::uint16_t>(sign | static_cast<std::uint16_t>(std::nearbyint(std::ldexp(a, 24))));
    int e;
    const float m = std::frexp(a, &e);  // a = m·2^e, m in [0.5, 1)
    const auto mantissa = static_cast<std::uint32_t>(std::nearbyint(std::ldexp(m, 11)));  // 1024 … 2048
    const std::uint32_t word = (static_cast<std::uint32_t>(e - 1 + 15) << 10) + (mantissa - 1024);
    return static_cast<std::uint16_t>(sign | word);
}

float fromHalf(std::uint16_t h) {
    const int exponent = (h >> 10) & 0x1f;
    const float mantissa = static_cast<float>(h & 0x3ff);
    const float magnitude = exponent == 0    ? std::ldexp(mantissa, -24)
                            : exponent == 31 ? (mantissa == 0 ? INFINITY : NAN)
                                             : std::ldexp(1024.0f + mantissa, exponent - 25);
    return (h & 0x8000) ? -magnitude : magnitude;
}

}  // namespace

PrSuiteErrorCode Host::gpuFilterStartup(int index) {
    if (!impl_->entry.gpuFilter) return suiteError_NotImplemented;
    csSDK_int32 i = index;
    PrGPUFilterInfo info{};
    const prSuiteError err = impl_->entry.gpuFilter(PrGPUFilterInterfaceVersion2, &i, 1, &kPiSuites, &impl_->filter, &info);
    impl_->filterStarted = err == suiteError_NoError && info.outInterfaceVersion == PrGPUFilterInterfaceVersion2;
    return err;
}

PrSuiteErrorCode Host::createGpuInstance(std::vector<PremiereValue> const& values) {
    HostState& host = *impl_;
    if (!host.filterStarted || !host.filter.CreateInstance) return suiteError_NotImplemented;
    disposeGpuInstance();
    host.openGpu();
    FrameRequest defaults;  // without a device the plug-in is still asked, and declines
    defaults.premiereValues = values;
    Call call;
    host.prepare(call, &defaults, nullptr);
    CallScope scope(call);
    host.instance = PrGPUFilterInstance{&kPiSuites, 1, 0, nullptr, 1};
    return host.filter.CreateInstance(&host.instance);
}

bool Host::gpuInstance() const { return impl_->instance.ioPrivatePluginData != nullptr; }

PrSuiteErrorCode Host::renderGpuFrame(World const& input, World& output, FrameRequest const& request, int pixels) {
    HostState& host = *impl_;
    if (!host.filter.Render || !host.gpuDevice) return suiteError_NotImplemented;
    const int w = input.width(), h = input.height();
    const bool half = pixels == PrPixelFormat_GPU_BGRA_4444_16f;
    GpuPPix* in = newPPix(host, static_cast<csSDK_uint32>(pixels), w, h);
    if (!in) return suiteError_OutOfMemory;
    std::vector<std::uint8_t> staged(in->bytes());
    auto* bytes = staged.data();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float argb[4];
            input.get(x, y, argb);
            const float bgra[4] = {argb[3], argb[2], argb[1], argb[0]};
            std::uint8_t* p = bytes + static_cast<std::ptrdiff_t>(y) * in->rowBytes + x * (half ? 8 : 16);
            for (int c = 0; c < 4; ++c) {
                if (half) {
                    const std::uint16_t v = toHalf(bgra[c]);
                    std::memcpy(p + 2 * c, &v, 2);
                } else {
                    std::memcpy(p + 4 * c, &bgra[c], 4);
                }
            }
        }
    in->device->write(in->buffer, staged.data(), staged.size());
    Call call;
    host.prepare(call, &request, nullptr);
    CallScope scope(call);
    PrGPUFilterRenderParams params{};
    params.inClipTime = static_cast<PrTime>(static_cast<double>(request.currentTime) * kTicksPerSecond /
                                            std::max<A_u_long>(request.timeScale, 1));
    params.inRenderWidth = static_cast<csSDK_uint32>(w);
    params.inRenderHeight = static_cast<csSDK_uint32>(h);
    params.inRenderPARNum = params.inRenderPARDen = 1;
    PPixHand frames[1] = {reinterpret_cast<PPixHand>(in)};
    PPixHand out = nullptr;
    const prSuiteError err = host.filter.Render(&host.instance, &params, frames, 1, &out);
    deletePPix(in);
    if (err || !out) return err ? err : suiteError_Fail;
    GpuPPix* result = ppixOf(out);
    std::vector<std::uint8_t> readBack(result->bytes());
    result->device->read(result->buffer, readBack.data(), readBack.size());  // after the queued frame
    auto const* rbytes = readBack.data();
    for (int y = 0; y < std::min(h, output.height()); ++y)
        for (int x = 0; x < std::min(w, output.width()); ++x) {
            std::uint8_t const* p = rbytes + static_cast<std::ptrdiff_t>(y) * result->rowBytes + x * (half ? 8 : 16);
            float bgra[4];
            for (int c = 0; c < 4; ++c) {
                if (half) {
                    std::uint16_t v;
                    std::memcpy(&v, p + 2 * c, 2);
                    bgra[c] = fromHalf(v);
                } else {
                    std::memcpy(&bgra[c], p + 4 * c, 4);
                }
            }
            const float argb[4] = {bgra[3], bgra[2], bgra[1], bgra[0]};
            output.set(x, y, argb);
        }
    deletePPix(result);  // the host takes the output frame over
    --host.gpuFrames;
    return suiteError_NoError;
}

PrSuiteErrorCode Host::disposeGpuInstance() {
    HostState& host = *impl_;
    if (!host.filter.DisposeInstance || !host.instance.ioPrivatePluginData) return suiteError_NoError;
    FrameRequest defaults;
    Call call;
    host.prepare(call, &defaults, nullptr);
    CallScope scope(call);
    const prSuiteError err = host.filter.DisposeInstance(&host.instance);
    host.instance.ioPrivatePluginData = nullptr;
    return err;
}

PrSuiteErrorCode Host::gpuFilterShutdown() {
    disposeGpuInstance();
    if (!impl_->entry.gpuFilter) return suiteError_NoError;
    csSDK_int32 index = 0;
    impl_->filterStarted = false;
    return impl_->entry.gpuFilter(PrGPUFilterInterfaceVersion2, &index, 0, &kPiSuites, nullptr, nullptr);
}

std::vector<std::uint8_t> Host::globalDataBytes() const {
    if (!impl_->globalData) return {};
    auto const* handle = static_cast<HostHandle const*>(impl_->globalData);
    auto const* bytes = static_cast<std::uint8_t const*>(handle->block);
    return std::vector<std::uint8_t>(bytes, bytes + handle->size);
}

namespace {

// A smart render on GPU worlds: the input's pixels uploaded as float BGRA, an output world
// covering `result`, and what the plug-in wrote copied back into `output`.
PF_Err renderGpu(HostState& host, Call& call, PF_InData& in, PF_OutData& out, PF_SmartRenderExtra& extra,
                 PF_LRect const& result, World const& input, World& output) {
    const int iw = input.width(), ih = input.height();
    const int ow = std::max(result.right - result.left - call.request->gpuOutputNarrower, 1);
    const int oh = std::max(result.bottom - result.top, 1);
    detail::DeviceBackend& device = *host.gpuDevice;
    const std::size_t inBytes = static_cast<std::size_t>(iw) * static_cast<std::size_t>(ih) * 16;
    const std::size_t outBytes = static_cast<std::size_t>(ow) * static_cast<std::size_t>(oh) * 16;
    call.gpuInput = device.allocate(inBytes);
    call.gpuOutput = device.allocate(outBytes);
    PF_Err err = PF_Err_OUT_OF_MEMORY;
    if (call.gpuInput && call.gpuOutput) try {
        std::vector<float> pixels(inBytes / 4);
        for (int y = 0; y < ih; ++y)
            for (int x = 0; x < iw; ++x) {
                float argb[4];
                input.get(x, y, argb);
                float* p = pixels.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(iw) + static_cast<std::size_t>(x)) * 4;
                p[0] = argb[3], p[1] = argb[2], p[2] = argb[1], p[3] = argb[0];
            }
        device.write(call.gpuInput, pixels.data(), inBytes);
        pixels.assign(outBytes / 4, 0.0f);
        device.write(call.gpuOutput, pixels.data(), outBytes);
        auto gpuWorld = [](PF_LayerDef def, int width, int height) {
            def.data = nullptr;
            def.width = width;
            def.height = height;
            def.rowbytes = width * 16;
            return def;
        };
        call.inputDef = gpuWorld(call.inputDef, iw, ih);
        call.outputDef = gpuWorld(call.outputDef, ow, oh);
        call.outputDef.origin_x = result.left;
        call.outputDef.origin_y = result.top;
        call.inputFormat = call.outputFormat = PF_PixelFormat_GPU_BGRA128;
        const auto start = std::chrono::steady_clock::now();
        err = host.send(PF_Cmd_SMART_RENDER_GPU, call, in, out, nullptr, &extra);
        if (!err) {
            device.finish();  // the frame the plug-in queued
            call.trace.gpuMilliseconds =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            device.read(call.gpuOutput, pixels.data(), outBytes);
        }
        for (int y = 0; !err && y < std::min(oh, output.height()); ++y)
            for (int x = 0; x < std::min(ow, output.width()); ++x) {
                float const* p = pixels.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(ow) + static_cast<std::size_t>(x)) * 4;
                const float argb[4] = {p[3], p[2], p[1], p[0]};
                output.set(x, y, argb);
            }
    } catch (std::exception const&) {
        err = PF_Err_INTERNAL_STRUCT_DAMAGED;  // the device failed the host's own transfers
    }
    if (call.gpuInput) device.release(call.gpuInput);
    if (call.gpuOutput) device.release(call.gpuOutput);
    call.gpuInput = call.gpuOutput = nullptr;
    return err;
}

}  // namespace

PF_Err Host::render(World const& input, World& output, FrameRequest const& request) {
    return render(input, output, request, nullptr);
}

PF_Err Host::render(World const& input, World& output, FrameRequest const& request, SmartTrace* trace) {
    Call call;
    impl_->prepare(call, &request, &input);
    call.outputDef = output.def();
    call.outputFormat = output.format();
    PF_InData in = impl_->inData(call, request);
    PF_OutData out;
    std::memset(&out, 0, sizeof out);

    const bool plain = impl_->kind == HostKind::Premiere || request.plainRender;
    if (plain) {
        in.width = input.width();
        in.height = input.height();
        in.extent_hint = PF_LRect{0, 0, input.width(), input.height()};
        const PF_Err err = impl_->send(PF_Cmd_RENDER, call, in, out, &call.outputDef, nullptr);
        if (trace) *trace = call.trace;
        return err;
    }

    // The layer at the current resolution is what the input world covers at its origin;
    // its size before downsampling is what the host reports as the reference size.
    const A_long w = input.def().width, h = input.def().height;
    call.inputDef.origin_x = request.inputOriginX;
    call.inputDef.origin_y = request.inputOriginY;
    // Saturated: a test may place the input anywhere, the host's arithmetic never wraps.
    auto saturated = [](std::int64_t v) {
        return static_cast<A_long>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
    };
    call.layerBounds = w > 0 && h > 0 ? PF_LRect{request.inputOriginX, request.inputOriginY,
                                                 saturated(std::int64_t{request.inputOriginX} + w),
                                                 saturated(std::int64_t{request.inputOriginY} + h)}
                                      : PF_LRect{0, 0, 0, 0};
    auto upsampled = [](A_long size, PF_RationalScale s) {
        if (s.num <= 0) return size;
        const double v = std::ceil(static_cast<double>(size) * std::max<A_u_long>(s.den, 1) / s.num);
        return static_cast<A_long>(std::min(v, static_cast<double>(INT32_MAX)));
    };
    call.refWidth = request.refWidth > 0 ? request.refWidth : upsampled(std::max(w, 0), request.downsampleX);
    call.refHeight = request.refHeight > 0 ? request.refHeight : upsampled(std::max(h, 0), request.downsampleY);
    in.width = call.refWidth;
    in.height = call.refHeight;
    in.extent_hint = PF_LRect{0, 0, std::max(w, 0), std::max(h, 0)};

    PF_PreRenderInput preIn;
    std::memset(&preIn, 0, sizeof preIn);
    preIn.output_request.rect = request.requestRect ? *request.requestRect : PF_LRect{0, 0, w, h};
    preIn.output_request.field = PF_Field_FRAME;
    preIn.output_request.channel_mask = PF_ChannelMask_ARGB;
    preIn.bitdepth = static_cast<short>(bitDepth(output.format()));
    preIn.what_gpu = PF_GPU_Framework_NONE;
    const bool gpu = request.gpu && impl_->gpuData && input.format() == PF_PixelFormat_ARGB128 &&
                     output.format() == PF_PixelFormat_ARGB128;
    if (gpu) {
        preIn.gpu_data = impl_->gpuData;
        preIn.what_gpu = impl_->framework();
    }
    PF_PreRenderOutput preOut;
    std::memset(&preOut, 0, sizeof preOut);
    PF_PreRenderCallbacks preCb;
    std::memset(&preCb, 0, sizeof preCb);
    preCb.checkout_layer = checkoutLayer;
    PF_PreRenderExtra preExtra{&preIn, &preOut, &preCb};

    call.trace.preRenderErr = impl_->send(PF_Cmd_SMART_PRE_RENDER, call, in, out, nullptr, &preExtra);
    call.trace.resultRect = preOut.result_rect;
    call.trace.maxResultRect = preOut.max_result_rect;
    call.trace.flags = preOut.flags;
    call.trace.hadPreRenderData = preOut.pre_render_data != nullptr;
    PF_Err err = call.trace.preRenderErr;
    if (!err) {
        PF_SmartRenderInput renderIn;
        std::memset(&renderIn, 0, sizeof renderIn);
        renderIn.output_request = preIn.output_request;
        renderIn.bitdepth = preIn.bitdepth;
        renderIn.pre_render_data = preOut.pre_render_data;
        renderIn.what_gpu = PF_GPU_Framework_NONE;
        PF_SmartRenderCallbacks renderCb{checkoutLayerPixels, checkinLayerPixels, checkoutOutput};
        PF_SmartRenderExtra renderExtra{&renderIn, &renderCb};
        std::memset(&out, 0, sizeof out);
        if (gpu && (preOut.flags & PF_RenderOutputFlag_GPU_RENDER_POSSIBLE)) {
            renderIn.gpu_data = preIn.gpu_data;
            renderIn.what_gpu = preIn.what_gpu;
            call.trace.gpuRendered = true;
            call.trace.renderErr = renderGpu(*impl_, call, in, out, renderExtra, preOut.result_rect, input, output);
        } else {
            call.trace.renderErr = impl_->send(PF_Cmd_SMART_RENDER, call, in, out, nullptr, &renderExtra);
        }
        err = call.trace.renderErr;
    }
    if (preOut.pre_render_data) {
        if (preOut.delete_pre_render_data_func) {
            preOut.delete_pre_render_data_func(preOut.pre_render_data);
        } else if (!err) {
            err = PF_Err_INTERNAL_STRUCT_DAMAGED;  // the host could never free it
        }
    }
    if (trace) *trace = call.trace;
    return err;
}

std::string defaultPluginPath() {
    if (const char* path = std::getenv("RAYDRIFT_PLUGIN"); path && *path) return path;
    return RAYDRIFT_DEFAULT_PLUGIN_PATH;
}

}  // namespace hostsim

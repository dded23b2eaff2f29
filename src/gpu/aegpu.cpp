#include "gpu/aegpu.h"

#include <memory>
#include <mutex>

#include "AEFX_SuiteHelper.h"
#include "AE_EffectGPUSuites.h"
#include "gpu/native_gpu.h"

namespace raydrift::aegpu {

namespace {

// One announced device: its renderer, and whether a failed frame took it out of service.
struct State {
    std::mutex mutex;
    std::unique_ptr<nativegpu::Renderer> renderer;
    A_long framework = PF_GPU_Framework_NONE;
    A_u_long deviceIndex = 0;
    std::atomic<bool> disabled{false};
};

struct SuitePair {
    PF_GPUDeviceSuite1 const* suite;
    PF_ProgPtr effect;
};

// The suite the memory callbacks forward to, set while a GPU entry point works with a
// renderer on this thread.
thread_local SuitePair const* current = nullptr;

class CurrentScope {
public:
    explicit CurrentScope(SuitePair const* pair) : saved_(current) { current = pair; }
    ~CurrentScope() { current = saved_; }
    CurrentScope(CurrentScope const&) = delete;
    CurrentScope& operator=(CurrentScope const&) = delete;

private:
    SuitePair const* saved_;
};

// Exclusive access to a device for as long as the guard lives; a refusal is thrown.
class Access {
public:
    Access(PF_GPUDeviceSuite1 const* suite, PF_ProgPtr effect, A_u_long device)
        : suite_(suite), effect_(effect), device_(device) {
        if (PF_Err err = suite_->AcquireExclusiveDeviceAccess(effect_, device_)) throw static_cast<int>(err);
        acquired_ = true;
    }
    ~Access() {
        if (acquired_) suite_->ReleaseExclusiveDeviceAccess(effect_, device_);
    }
    Access(Access const&) = delete;
    Access& operator=(Access const&) = delete;

private:
    PF_GPUDeviceSuite1 const* suite_;
    PF_ProgPtr effect_;
    A_u_long device_;
    bool acquired_ = false;
};

prSuiteError suiteResult(PF_Err err) {
    if (err == PF_Err_NONE) return suiteError_NoError;
    return err == PF_Err_OUT_OF_MEMORY ? suiteError_OutOfMemory : suiteError_Fail;
}

prSuiteError allocate(csSDK_uint32 device, std::size_t bytes, void** handle) {
    if (current == nullptr) return suiteError_Fail;
    return suiteResult(current->suite->AllocateDeviceMemory(current->effect, device, bytes, handle));
}
prSuiteError freeDevice(csSDK_uint32 device, void* handle) {
    if (current == nullptr) return suiteError_Fail;
    return suiteResult(current->suite->FreeDeviceMemory(current->effect, device, handle));
}
prSuiteError allocateHost(csSDK_uint32 device, std::size_t bytes, void** pointer) {
    if (current == nullptr) return suiteError_Fail;
    return suiteResult(current->suite->AllocateHostMemory(current->effect, device, bytes, pointer));
}
prSuiteError freeHost(csSDK_uint32 device, void* pointer) {
    if (current == nullptr) return suiteError_Fail;
    return suiteResult(current->suite->FreeHostMemory(current->effect, device, pointer));
}

// The renderer's view of the host's memory: the second host's suite shape with only the
// memory entries set.
constexpr PrSDKGPUDeviceSuite memory = [] {
    PrSDKGPUDeviceSuite table{};
    table.AllocateDeviceMemory = allocate;
    table.FreeDeviceMemory = freeDevice;
    table.AllocateHostMemory = allocateHost;
    table.FreeHostMemory = freeHost;
    return table;
}();

bool complete(PF_GPUDeviceSuite1 const* s) {
    return s->GetDeviceInfo && s->AcquireExclusiveDeviceAccess && s->ReleaseExclusiveDeviceAccess &&
           s->AllocateDeviceMemory && s->FreeDeviceMemory && s->AllocateHostMemory && s->FreeHostMemory &&
           s->GetGPUWorldData;
}

using DeviceSuite = AEFX_SuiteScoper<PF_GPUDeviceSuite1>;

}  // namespace

bool available(const void* gpuData, int framework) {
    auto const* state = static_cast<State const*>(gpuData);
    return state != nullptr && !state->disabled.load() && state->framework == framework &&
           !nativegpu::nativeDisabled.load();
}

PF_Err setup(PF_InData* in_data, PF_OutData* out_data, PF_GPUDeviceSetupExtra* extra) {
    if (!in_data || !out_data || !extra || !extra->input || !extra->output) return PF_Err_BAD_CALLBACK_PARAM;
    extra->output->gpu_data = nullptr;
    out_data->out_flags2 &= ~static_cast<PF_OutFlags2>(PF_OutFlag2_SUPPORTS_GPU_RENDER_F32);
    // The second host's framework number for the device record the renderer takes.
    csSDK_uint32 recordFramework = 0;
    switch (extra->input->what_gpu) {
#if !defined(_WIN32)  // Metal devices exist only where the Metal back end is built
    case PF_GPU_Framework_METAL: recordFramework = PrGPUDeviceFramework_Metal; break;
#endif
    case PF_GPU_Framework_CUDA: recordFramework = PrGPUDeviceFramework_CUDA; break;
    case PF_GPU_Framework_OPENCL: recordFramework = PrGPUDeviceFramework_OpenCL; break;
    default: return PF_Err_NONE;
    }
    try {
        DeviceSuite suite(in_data, kPFGPUDeviceSuite, kPFGPUDeviceSuiteVersion1);
        if (!complete(suite.get())) return PF_Err_NONE;
        const A_u_long device = extra->input->device_index;
        PF_GPUDeviceInfo info{};
        if (suite->GetDeviceInfo(in_data->effect_ref, device, &info) || !info.compatibleB ||
            info.device_framework != extra->input->what_gpu)
            return PF_Err_NONE;
        auto state = std::make_unique<State>();
        state->framework = extra->input->what_gpu;
        state->deviceIndex = device;
        {
            Access access(suite.get(), in_data->effect_ref, device);
            const SuitePair pair{suite.get(), in_data->effect_ref};
            CurrentScope scope(&pair);
            PrGPUDeviceInfo record{};
            record.outDeviceFramework = recordFramework;
            record.outMeetsMinimumRequirementsForAcceleration = 1;
            record.outPlatformHandle = info.platformPV;
            record.outDeviceHandle = info.devicePV;
            record.outContextHandle = info.contextPV;
            record.outCommandQueueHandle = info.command_queuePV;
            state->renderer = std::make_unique<nativegpu::Renderer>(record, &memory, device);
        }
        extra->output->gpu_data = state.release();
        out_data->out_flags2 |= PF_OutFlag2_SUPPORTS_GPU_RENDER_F32;
    } catch (int) {
    } catch (std::exception const&) {
    }
    return PF_Err_NONE;
}

PF_Err render(PF_InData* in_data, PF_SmartRenderExtra* extra, PF_LayerDef* input, PF_LayerDef* output,
              RenderSettings const& settings, PF_LRect const& canvas, PF_LRect const& outputRect, int, int) {
    if (!in_data || !extra || !extra->input) return PF_Err_BAD_CALLBACK_PARAM;
    auto* state = static_cast<State*>(const_cast<void*>(extra->input->gpu_data));
    if (!state || state->disabled.load() || state->framework != extra->input->what_gpu ||
        nativegpu::nativeDisabled.load() || !input || !output || !settings.useGpu)
        return PF_Err_BAD_CALLBACK_PARAM;

    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->disabled.load()) return PF_Err_BAD_CALLBACK_PARAM;
    try {
        DeviceSuite suite(in_data, kPFGPUDeviceSuite, kPFGPUDeviceSuiteVersion1);
        if (!complete(suite.get())) throw static_cast<int>(PF_Err_BAD_CALLBACK_PARAM);
        Access access(suite.get(), in_data->effect_ref, state->deviceIndex);
        const SuitePair pair{suite.get(), in_data->effect_ref};
        CurrentScope scope(&pair);

        nativegpu::Frame frame;
        if (PF_Err err = suite->GetGPUWorldData(in_data->effect_ref, input, &frame.input)) throw static_cast<int>(err);
        if (PF_Err err = suite->GetGPUWorldData(in_data->effect_ref, output, &frame.output)) throw static_cast<int>(err);
        frame.width = canvas.right - canvas.left;
        frame.height = canvas.bottom - canvas.top;
        frame.inPitch = input->rowbytes;
        frame.outPitch = output->rowbytes;
        frame.halfPixels = false;
        frame.ae = true;
        frame.sourceWidth = input->width;
        frame.sourceHeight = input->height;
        frame.sourceX = input->origin_x - canvas.left;
        frame.sourceY = input->origin_y - canvas.top;
        frame.destWidth = output->width;
        frame.destHeight = output->height;
        frame.destX = outputRect.left - canvas.left;
        frame.destY = outputRect.top - canvas.top;
        if (output->width != outputRect.right - outputRect.left || output->height != outputRect.bottom - outputRect.top)
            throw static_cast<int>(PF_Err_BAD_CALLBACK_PARAM);

        if (in_data->inter.abort)
            if (PF_Err interrupted = in_data->inter.abort(in_data->effect_ref)) return interrupted;
        if (nativegpu::nativeDisabled.load()) throw nativegpu::SessionDisabled();
        try {
            state->renderer->render(frame, settings);
        } catch (nativegpu::MemoryPressure const&) {
            try {
                state->renderer->releaseBuffers();
                if (nativegpu::nativeDisabled.load()) throw nativegpu::SessionDisabled();
                state->renderer->render(frame, settings);
            } catch (...) {
                nativegpu::nativeDisabled.store(true);
                throw;
            }
        }
        return in_data->inter.abort ? in_data->inter.abort(in_data->effect_ref) : PF_Err_NONE;
    } catch (...) {
        // Suite, access and the memory route are released by now.
        state->disabled.store(true);
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
}

PF_Err setdown(PF_InData* in_data, PF_GPUDeviceSetdownExtra* extra) {
    if (!extra || !extra->input || !extra->input->gpu_data) return PF_Err_NONE;
    std::unique_ptr<State> state(static_cast<State*>(extra->input->gpu_data));
    extra->input->gpu_data = nullptr;
    try {
        if (!in_data) throw static_cast<int>(PF_Err_BAD_CALLBACK_PARAM);
        DeviceSuite suite(in_data, kPFGPUDeviceSuite, kPFGPUDeviceSuiteVersion1);
        if (!complete(suite.get())) throw static_cast<int>(PF_Err_BAD_CALLBACK_PARAM);
        std::lock_guard<std::mutex> lock(state->mutex);
        Access access(suite.get(), in_data->effect_ref, state->deviceIndex);
        const SuitePair pair{suite.get(), in_data->effect_ref};
        CurrentScope scope(&pair);
        if (state->renderer) {
            state->renderer->synchronize();
            state->renderer.reset();
        }
    } catch (...) {
        // The device may still use the renderer's objects: it is abandoned, not destroyed.
        static_cast<void>(state->renderer.release());
    }
    return PF_Err_NONE;
}

}  // namespace raydrift::aegpu

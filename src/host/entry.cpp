#include "host/entry.h"

#include <cstring>
#include <new>

#include "AEFX_SuiteHelper.h"
#include "AEGP_SuiteHandler.h"
#include "AE_EffectUI.h"
#include "AE_EffectVers.h"
#include "AE_Macros.h"
#include "gpu/aegpu.h"
#include "gpu/metal_context.h"
#include "host/frame_buffers.h"
#include "host/plugin_info.h"
#include "host/smart_render.h"
#include "settings/param_indices.h"
#include "settings/parameters.h"
#include "settings/render_settings.h"
#include "ui/about.h"
#include "ui/gpu_names.h"
#include "ui/histogram.h"

namespace raydrift {

namespace {

PF_Err about(PF_InData* in_data, PF_OutData* out_data) {
    if (!in_data || !out_data) return PF_Err_BAD_CALLBACK_PARAM;
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    const PF_ANSICallbacksSuite1* ansi = suites.ANSICallbacksSuite1();
    if (!ansi->sprintf) throw static_cast<PF_Err>(PF_Err_BAD_CALLBACK_PARAM);
    ansi->sprintf(out_data->return_msg, "%s v%s\r%s", kPluginName, releaseVersion().c_str(), kCompanyName);
    return PF_Err_NONE;
}

PF_Err globalSetup(PF_InData* in_data, PF_OutData* out_data) {
    if (!in_data || !out_data) return PF_Err_BAD_CALLBACK_PARAM;
    out_data->my_version = kPluginVersion;
    out_data->out_flags = kOutFlags;
    out_data->out_flags2 = kOutFlags2;

    if (in_data->appl_id == PF_AppId_Premiere) {
        PF_Err err = PF_Err_NONE;
        {
            AEFX_SuiteScoper<PF_PixelFormatSuite1> formats(in_data, kPFPixelFormatSuite,
                                                           kPFPixelFormatSuiteVersion1, out_data);
            if (!formats->ClearSupportedPixelFormats || !formats->AddSupportedPixelFormat)
                err = PF_Err_BAD_CALLBACK_PARAM;
            // Float first: Premiere Pro prefers the earliest format it can provide.
            ERR(formats->ClearSupportedPixelFormats(in_data->effect_ref));
            ERR(formats->AddSupportedPixelFormat(in_data->effect_ref, PrPixelFormat_BGRA_4444_32f));
            ERR(formats->AddSupportedPixelFormat(in_data->effect_ref, PrPixelFormat_BGRA_4444_8u));
            out_data->out_flags2 = kPremiereOutFlags2;
        }
        if (err) return err;
    }
    return ui::SetupHistogramGlobal(in_data, out_data);
}

PF_Err globalSetdown(PF_InData* in_data) {
    // The GPU context goes first (its compiled kernels and queue), then the kept frame
    // buffers and the histogram's global handle.
    metal::shutdown();
    frame_buffers::clear();
    return ui::SetdownHistogramGlobal(in_data);
}

PF_Err checkboxAt(PF_InData* in_data, int index, PF_ParamValue& value) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    if (PF_Err err = PF_CHECKOUT_PARAM(in_data, index, in_data->current_time, in_data->time_step,
                                       in_data->time_scale, &def))
        return err;
    value = def.u.bd.value;
    return PF_CHECKIN_PARAM(in_data, &def);
}

// Jitter is the only thing that makes a frame change over time without a parameter
// changing, so the host need only re-render over time while a Jitter switch is on.
PF_Err queryDynamicFlags(PF_InData* in_data, PF_OutData* out_data) {
    if (!in_data || !out_data) return PF_Err_BAD_CALLBACK_PARAM;
    out_data->out_flags |= PF_OutFlag_NON_PARAM_VARY;
    if (in_data->appl_id == PF_AppId_Premiere) return PF_Err_NONE;
    if (!in_data->inter.checkout_param || !in_data->inter.checkin_param) return PF_Err_BAD_CALLBACK_PARAM;
    PF_ParamValue length = 0;
    PF_ParamValue width = 0;
    if (PF_Err err = checkboxAt(in_data, kParamJitterLength, length)) return err;
    if (PF_Err err = checkboxAt(in_data, kParamJitterWidth, width)) return err;
    if (length == 0 && width == 0) out_data->out_flags &= ~PF_OutFlag_NON_PARAM_VARY;
    return PF_Err_NONE;
}

PF_Err userChangedParam(void* extra) {
    auto const* changed = static_cast<PF_UserChangedParamExtra const*>(extra);
    if (changed && changed->param_index == kParamInfoButton) return ui::openSupport();
    return PF_Err_NONE;
}

PF_Err event(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params, void* extra) {
    auto* e = static_cast<PF_EventExtra*>(extra);
    if (e && (e->e_type == PF_Event_DRAW || e->e_type == PF_Event_DO_CLICK) &&
        (e->effect_win.index == kParamAboutPanel || e->effect_win.index == kParamGpuHardware))
        return ui::drawInfo(in_data, out_data, params, e);
    return ui::HandleHistogramEvent(in_data, out_data, params, e);
}

PF_Err dispatch(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                PF_LayerDef* output, void* extra) {
    switch (cmd) {
    case PF_Cmd_ABOUT:
        return about(in_data, out_data);
    case PF_Cmd_GLOBAL_SETUP:
        return globalSetup(in_data, out_data);
    case PF_Cmd_GLOBAL_SETDOWN:
        return globalSetdown(in_data);
    case PF_Cmd_PARAMS_SETUP:
        return SetupParameters(in_data, out_data, params, output, ui::gpuNames().size());
    case PF_Cmd_RENDER:
        return RenderFrame(in_data, out_data, params, output);
    case PF_Cmd_USER_CHANGED_PARAM:
        return userChangedParam(extra);
    case PF_Cmd_EVENT:
        return event(in_data, out_data, params, extra);
    case PF_Cmd_QUERY_DYNAMIC_FLAGS:
        return queryDynamicFlags(in_data, out_data);
    case PF_Cmd_SMART_PRE_RENDER:
        return SmartPreRender(in_data, out_data, static_cast<PF_PreRenderExtra*>(extra));
    case PF_Cmd_SMART_RENDER:
    case PF_Cmd_SMART_RENDER_GPU:
        return SmartRender(in_data, out_data, static_cast<PF_SmartRenderExtra*>(extra));
    case PF_Cmd_GPU_DEVICE_SETUP:
        return aegpu::setup(in_data, out_data, static_cast<PF_GPUDeviceSetupExtra*>(extra));
    case PF_Cmd_GPU_DEVICE_SETDOWN:
        return aegpu::setdown(in_data, static_cast<PF_GPUDeviceSetdownExtra*>(extra));
    default:
        return PF_Err_NONE;
    }
}

const A_u_char* bytes(const char* text) { return reinterpret_cast<const A_u_char*>(text); }

}  // namespace

}  // namespace raydrift

extern "C" PF_Err PluginDataEntryFunction2(PF_PluginDataPtr inPtr, PF_PluginDataCB2 inPluginDataCallBackPtr,
                                           SPBasicSuite*, const char*, const char*) {
    using namespace raydrift;
    if (!inPluginDataCallBackPtr) return PF_Err_BAD_CALLBACK_PARAM;
    try {
        return inPluginDataCallBackPtr(inPtr, bytes(kPluginName), bytes(kPluginMatchName), bytes(kPluginCategory),
                                       bytes(kEntryPointName), PF_PLUGIN_KIND_EFFECT, PF_PLUG_IN_VERSION,
                                       PF_PLUG_IN_SUBVERS, kReservedInfo, bytes(kSupportUrl));
    } catch (PF_Err code) {
        return code;
    } catch (std::bad_alloc const&) {
        return PF_Err_OUT_OF_MEMORY;
    } catch (...) {
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
}

// The one exception boundary: below it errors travel as exceptions (suite helpers throw
// the host's code as an int), above it only host error codes exist.
extern "C" PF_Err EffectMain(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                             PF_LayerDef* output, void* extra) {
    try {
        return raydrift::dispatch(cmd, in_data, out_data, params, output, extra);
    } catch (PF_Err code) {
        return code;
    } catch (std::bad_alloc const&) {
        return PF_Err_OUT_OF_MEMORY;
    } catch (...) {
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
}

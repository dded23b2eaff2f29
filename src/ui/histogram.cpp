#include "ui/histogram.h"

#include <cstdint>

#include "AEGP_SuiteHandler.h"

namespace raydrift::ui {

PF_Err SetupHistogramGlobal(PF_InData* in_data, PF_OutData* out_data) {
    if (!in_data || !out_data) return PF_Err_BAD_CALLBACK_PARAM;
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    const PF_HandleSuite2* handles = suites.HandleSuite2();
    PF_Handle handle = handles->host_new_handle(sizeof(std::uint32_t));
    if (!handle) return PF_Err_OUT_OF_MEMORY;
    void* data = handles->host_lock_handle(handle);
    if (!data) {
        handles->host_dispose_handle(handle);
        return PF_Err_OUT_OF_MEMORY;
    }
    // The registration identifier: 0 means "not registered", and the control then
    // leaves its cache as it is.
    *static_cast<std::uint32_t*>(data) = 0;
    handles->host_unlock_handle(handle);
    out_data->global_data = handle;
    return PF_Err_NONE;
}

PF_Err SetdownHistogramGlobal(PF_InData* in_data) {
    if (!in_data || !in_data->global_data) return PF_Err_NONE;
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    suites.HandleSuite2()->host_dispose_handle(in_data->global_data);
    in_data->global_data = nullptr;
    return PF_Err_NONE;
}

PF_Err HandleHistogramEvent(PF_InData*, PF_OutData*, PF_ParamDef**, PF_EventExtra*) {
    // The control draws nothing yet: every event is accepted and ignored.
    return PF_Err_NONE;
}

}  // namespace raydrift::ui

#include "AEFX_SuiteHelper.h"

#include <cstring>

void AEFX_ReportSuiteFailure(PF_OutData* out_data, const char* message) {
    if (!out_data) return;
    out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
    std::strncpy(out_data->return_msg, message, PF_MAX_EFFECT_MSG_LEN);
    out_data->return_msg[PF_MAX_EFFECT_MSG_LEN] = '\0';
}

PF_Err AEFX_AcquireSuite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                         std::int32_t version, const char* error_stringPC, void** suitePP) {
    const void* suite = nullptr;
    const SPBasicSuite* basic = in_data ? in_data->pica_basicP : nullptr;
    if (!suitePP || !basic || !basic->AcquireSuite ||
        basic->AcquireSuite(name, version, &suite) != 0 || !suite) {
        AEFX_ReportSuiteFailure(out_data, error_stringPC ? error_stringPC : AEFX_ACQUIRE_FAILED_MESSAGE);
        if (suitePP) *suitePP = nullptr;
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    *suitePP = const_cast<void*>(suite);
    return PF_Err_NONE;
}

PF_Err AEFX_ReleaseSuite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                         std::int32_t version, const char* error_stringPC) {
    const SPBasicSuite* basic = in_data ? in_data->pica_basicP : nullptr;
    if (!basic || !basic->ReleaseSuite || basic->ReleaseSuite(name, version) != 0) {
        AEFX_ReportSuiteFailure(out_data, error_stringPC ? error_stringPC : AEFX_RELEASE_FAILED_MESSAGE);
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    return PF_Err_NONE;
}

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

namespace {

struct DrawbotSuiteName {
    const char* name;
    std::int32_t version;
};

const DrawbotSuiteName kDrawbotSuites[4] = {
    {kDRAWBOT_DrawSuite, kDRAWBOT_DrawSuite_Version1},
    {kDRAWBOT_SupplierSuite, kDRAWBOT_SupplierSuite_Version1},
    {kDRAWBOT_SurfaceSuite, kDRAWBOT_SurfaceSuite_Version2},
    {kDRAWBOT_PathSuite, kDRAWBOT_PathSuite_Version1},
};

}  // namespace

PF_Err AEFX_AcquireDrawbotSuites(PF_InData* in_data, PF_OutData* out_data, DRAWBOT_Suites* suitesP) {
    if (!suitesP) {
        AEFX_ReportSuiteFailure(out_data, AEFX_NULL_DRAWBOT_SUITES_MESSAGE);
        return PF_Err_UNRECOGNIZED_PARAM_TYPE;
    }
    void* got[4] = {nullptr, nullptr, nullptr, nullptr};
    PF_Err err = PF_Err_NONE;
    int held = 0;
    for (; held < 4 && !err; ++held)
        err = AEFX_AcquireSuite(in_data, out_data, kDrawbotSuites[held].name, kDrawbotSuites[held].version,
                                nullptr, &got[held]);
    if (err) {
        // The failed one is not held; give back the ones before it.
        for (int i = 0; i < held - 1; ++i)
            AEFX_ReleaseSuite(in_data, nullptr, kDrawbotSuites[i].name, kDrawbotSuites[i].version, nullptr);
        got[0] = got[1] = got[2] = got[3] = nullptr;
    }
    suitesP->drawbot_suiteP = static_cast<DRAWBOT_DrawbotSuite1*>(got[0]);
    suitesP->supplier_suiteP = static_cast<DRAWBOT_SupplierSuite1*>(got[1]);
    suitesP->surface_suiteP = static_cast<DRAWBOT_SurfaceSuite2*>(got[2]);
    suitesP->path_suiteP = static_cast<DRAWBOT_PathSuite1*>(got[3]);
    return err;
}

PF_Err AEFX_ReleaseDrawbotSuites(PF_InData* in_data, PF_OutData* out_data) {
    PF_Err err = PF_Err_NONE;
    for (DrawbotSuiteName const& suite : kDrawbotSuites) {
        const PF_Err e = AEFX_ReleaseSuite(in_data, out_data, suite.name, suite.version, nullptr);
        if (!err) err = e;
    }
    return err;
}

// Suite acquisition helpers in the shape the effect SDK's utility sources give them:
// free functions that report a failure to the user and return an error, and a scoped
// acquirer that throws the missing-suite error.
#pragma once

#include "AE_Effect.h"
#include "DrawbotSuite.h"

#define AEFX_ACQUIRE_FAILED_MESSAGE "Not able to acquire AEFX Suite."
#define AEFX_RELEASE_FAILED_MESSAGE "Not able to release AEFX Suite."

// On failure: PF_OutFlag_DISPLAY_ERROR_MESSAGE, the message (or error_stringPC) in
// return_msg, and PF_Err_BAD_CALLBACK_PARAM.
PF_Err AEFX_AcquireSuite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                         std::int32_t version, const char* error_stringPC, void** suitePP);
PF_Err AEFX_ReleaseSuite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                         std::int32_t version, const char* error_stringPC);

// The four drawing suites, acquired and released together.
typedef struct {
    DRAWBOT_DrawbotSuite1* drawbot_suiteP;
    DRAWBOT_SupplierSuite1* supplier_suiteP;
    DRAWBOT_SurfaceSuite2* surface_suiteP;
    DRAWBOT_PathSuite1* path_suiteP;
} DRAWBOT_Suites;

#define AEFX_NULL_DRAWBOT_SUITES_MESSAGE "NULL suite pointer passed to AEFX_AcquireDrawbotSuites"

// All four or none: a suite that cannot be acquired is reported as AEFX_AcquireSuite
// does, the ones already held are released and every pointer is null. A null
// destination is reported and answered with 514.
PF_Err AEFX_AcquireDrawbotSuites(PF_InData* in_data, PF_OutData* out_data, DRAWBOT_Suites* suitesP);
// Releases the suites AEFX_AcquireDrawbotSuites acquired; the first error is returned.
PF_Err AEFX_ReleaseDrawbotSuites(PF_InData* in_data, PF_OutData* out_data);

// Writes the failure report into out_data (when given): the display flag and the message.
void AEFX_ReportSuiteFailure(PF_OutData* out_data, const char* message);

// Holds one suite for its lifetime. A suite the host does not provide is reported as
// above and thrown as A_Err_MISSING_SUITE (13).
template <typename SuiteType>
class AEFX_SuiteScoper {
public:
    AEFX_SuiteScoper(const PF_InData* in_data, const char* suite_name, std::int32_t version,
                     PF_OutData* out_data = nullptr, const char* err_str = nullptr)
        : basic_(in_data ? in_data->pica_basicP : nullptr), name_(suite_name), version_(version) {
        const void* suite = nullptr;
        if (!basic_ || !basic_->AcquireSuite ||
            basic_->AcquireSuite(name_, version_, &suite) != 0 || !suite) {
            AEFX_ReportSuiteFailure(out_data, err_str ? err_str : AEFX_ACQUIRE_FAILED_MESSAGE);
            throw static_cast<A_Err>(A_Err_MISSING_SUITE);
        }
        suite_ = static_cast<const SuiteType*>(suite);
    }
    ~AEFX_SuiteScoper() {
        if (suite_ && basic_->ReleaseSuite) basic_->ReleaseSuite(name_, version_);
    }
    AEFX_SuiteScoper(AEFX_SuiteScoper const&) = delete;
    AEFX_SuiteScoper& operator=(AEFX_SuiteScoper const&) = delete;

    const SuiteType* operator->() const { return suite_; }
    const SuiteType* get() const { return suite_; }

private:
    const SPBasicSuite* basic_;
    const char* name_;
    std::int32_t version_;
    const SuiteType* suite_ = nullptr;
};

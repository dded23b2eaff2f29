// The SDK's suite handler: acquires suites lazily from the basic suite on first use
// and releases every acquired suite when it goes out of scope. A suite the host does
// not provide throws PF_Err_BAD_CALLBACK_PARAM.
#pragma once

#include "AE_AdvEffectSuites.h"
#include "AE_EffectCBSuites.h"
#include "AE_EffectSuites.h"
#include "SPBasic.h"

class AEGP_SuiteHandler {
public:
    explicit AEGP_SuiteHandler(const SPBasicSuite* pica_basicP);
    ~AEGP_SuiteHandler();
    AEGP_SuiteHandler(AEGP_SuiteHandler const&) = delete;
    AEGP_SuiteHandler& operator=(AEGP_SuiteHandler const&) = delete;

    const PF_ANSICallbacksSuite1* ANSICallbacksSuite1() const;
    const PF_HandleSuite2* HandleSuite2() const;
    const PF_WorldSuite2* WorldSuite2() const;
    const PF_PixelFormatSuite1* PixelFormatSuite1() const;
    const PF_AppSuite6* AppSuite6() const;

private:
    struct Slot {
        const char* name;
        std::int32_t version;
        mutable const void* suite;
    };
    const void* load(Slot& slot) const;
    [[noreturn]] static void MissingSuiteError();

    const SPBasicSuite* basic_;
    mutable Slot ansi_{kPFANSISuite, kPFANSISuiteVersion1, nullptr};
    mutable Slot handle_{kPFHandleSuite, kPFHandleSuiteVersion2, nullptr};
    mutable Slot world_{kPFWorldSuite, kPFWorldSuiteVersion2, nullptr};
    mutable Slot pixelFormat_{kPFPixelFormatSuite, kPFPixelFormatSuiteVersion1, nullptr};
    mutable Slot app_{kPFAppSuite, kPFAppSuiteVersion6, nullptr};
};

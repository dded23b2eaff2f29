// Premiere Pro's GPU filter entry. Until the filter renders, every instance is declined
// so that Premiere Pro renders the effect through EffectMain's software path.
#include "PrGPUFilterModule.h"
#include "host/export.h"

extern "C" RAYDRIFT_EXPORT prSuiteError xGPUFilterEntry(csSDK_uint32, csSDK_int32*, prBool inStartup,
                                                        piSuitesPtr, PrGPUFilter*, PrGPUFilterInfo*) {
    if (!inStartup) return suiteError_NoError;
    return suiteError_NotImplemented;
}

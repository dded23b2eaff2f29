// The plug-in's entry points as the hosts call them.
#pragma once

#include "AE_Effect.h"
#include "host/export.h"

extern "C" {

// Registers the effect through the host's callback and returns its result.
RAYDRIFT_EXPORT PF_Err PluginDataEntryFunction2(PF_PluginDataPtr inPtr,
                                                PF_PluginDataCB2 inPluginDataCallBackPtr,
                                                SPBasicSuite* inSPBasicSuitePtr,
                                                const char* inHostName,
                                                const char* inHostVersion);

// Every effect command. No exception leaves it: a thrown int is returned as the error,
// std::bad_alloc as 4 and anything else as 512.
RAYDRIFT_EXPORT PF_Err EffectMain(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                  PF_ParamDef* params[], PF_LayerDef* output, void* extra);
}

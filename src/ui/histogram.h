// The histogram control's host-facing entry points.
#pragma once

#include "AE_Effect.h"
#include "AE_EffectUI.h"

namespace raydrift::ui {

// Allocates the effect's global data: a 4-byte host handle holding the plug-in's
// registration identifier (0 until the control registers with the host). 4 when the
// handle cannot be made or locked; a missing handle suite is thrown as 516.
PF_Err SetupHistogramGlobal(PF_InData* in_data, PF_OutData* out_data);

// Disposes the global handle, if any. Always PF_Err_NONE.
PF_Err SetdownHistogramGlobal(PF_InData* in_data);

// Every custom-UI event the about panel does not take.
PF_Err HandleHistogramEvent(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                            PF_EventExtra* extra);

}  // namespace raydrift::ui

// The about panel's host-facing entry points.
#pragma once

#include "AE_Effect.h"
#include "AE_EffectUI.h"

namespace raydrift::ui {

// Draw and click events of the about panel; PF_Err_NONE for events it does not take.
PF_Err drawInfo(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                PF_EventExtra* extra);

// Opens the support page in the system's default handler: PF_Err_NONE, or
// PF_Err_INTERNAL_STRUCT_DAMAGED when it could not be opened.
PF_Err openSupport();

}  // namespace raydrift::ui

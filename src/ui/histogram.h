// The histogram control's host-facing entry points.
#pragma once

#include "AE_Effect.h"
#include "AE_EffectUI.h"

namespace raydrift::ui {

// The purpose the histogram's asynchronous input renders carry, by which the render
// manager tells them from other requests: the four characters "TSHG".
inline constexpr A_u_long kHistogramPurpose =
    (A_u_long{'T'} << 24) | (A_u_long{'S'} << 16) | (A_u_long{'H'} << 8) | A_u_long{'G'};

// Allocates the effect's global data: a 4-byte host handle holding the plug-in's AEGP
// identifier. After Effects registers the effect as an AEGP (its asynchronous input
// render needs one); Premiere Pro has no AEGPs and the handle holds 0. 4 when the
// handle cannot be made or locked; a missing handle suite is thrown as 516; a missing
// utility suite (13) or a failed registration is returned with the handle disposed.
PF_Err SetupHistogramGlobal(PF_InData* in_data, PF_OutData* out_data);

// Disposes the global handle, if any. Always PF_Err_NONE.
PF_Err SetdownHistogramGlobal(PF_InData* in_data);

// Every custom-UI event the about panel does not take. Draws the input's luminance
// histogram with the Threshold band, and moves Threshold / Threshold Smooth when the
// user drags the triangle or the square. The per-context cache lives in the context
// from its first new-context or draw event until its close-context event. Events
// without a context, or not on the histogram's control, do nothing.
PF_Err HandleHistogramEvent(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                            PF_EventExtra* extra);

}  // namespace raydrift::ui

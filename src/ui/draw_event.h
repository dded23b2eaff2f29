// What every custom control does around its drawing: the suites, the context's
// supplier and surface, and the release of the suites however the drawing ends.
#pragma once

#include "AEFX_SuiteHelper.h"
#include "AE_EffectSuites.h"
#include "AE_EffectUI.h"
#include "AE_Macros.h"
#include "DrawbotSuite.h"

namespace raydrift::ui {

struct DrawTarget {
    DRAWBOT_Suites const& suites;
    DRAWBOT_SupplierRef supplier;
    DRAWBOT_SurfaceRef surface;
};

// Runs `paint(DrawTarget)` on the draw event's context and marks the event handled when
// it succeeds. Returns the first error: a suite that cannot be acquired, the drawing
// reference, `paint`'s own, or the suites' release.
template <typename Paint>
PF_Err paintContext(PF_InData* in_data, PF_OutData* out_data, PF_EventExtra* extra, Paint&& paint) {
    AEFX_SuiteScoper<PF_EffectCustomUISuite1> ui(in_data, kPFEffectCustomUISuite, kPFEffectCustomUISuiteVersion1,
                                                 out_data);
    DRAWBOT_Suites suites;
    PF_Err err = AEFX_AcquireDrawbotSuites(in_data, out_data, &suites);
    if (err) return err;
    DRAWBOT_DrawRef drawRef = nullptr;
    DRAWBOT_SupplierRef supplier = nullptr;
    DRAWBOT_SurfaceRef surface = nullptr;
    ERR(ui->PF_GetDrawingReference ? ui->PF_GetDrawingReference(extra->contextH, &drawRef)
                                   : PF_Err_BAD_CALLBACK_PARAM);
    ERR(suites.drawbot_suiteP->GetSupplier(drawRef, &supplier));
    ERR(suites.drawbot_suiteP->GetSurface(drawRef, &surface));
    try {
        if (!err) err = paint(DrawTarget{suites, supplier, surface});
    } catch (...) {
        AEFX_ReleaseDrawbotSuites(in_data, nullptr);
        throw;
    }
    if (!err) extra->evt_out_flags |= PF_EO_HANDLED_EVENT;
    const PF_Err releaseErr = AEFX_ReleaseDrawbotSuites(in_data, out_data);
    return err ? err : releaseErr;
}

}  // namespace raydrift::ui

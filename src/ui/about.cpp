#include "ui/about.h"

namespace raydrift::ui {

PF_Err drawInfo(PF_InData*, PF_OutData*, PF_ParamDef**, PF_EventExtra*) {
    // Nothing is drawn yet; the host keeps its own background in the panel.
    return PF_Err_NONE;
}

PF_Err openSupport() {
    // No default-handler service on this platform: the page cannot be opened.
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
}

}  // namespace raydrift::ui

// The about panel: the mark, the company, the version, the Support button and the GPU
// hardware list.
#pragma once

#include <string>
#include <vector>

#include "AE_Effect.h"
#include "AE_EffectUI.h"

namespace raydrift::ui {

// Draw and click events of the about panel; PF_Err_NONE for events it does not take.
PF_Err drawInfo(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                PF_EventExtra* extra);

// "Raydrift v" and the release version, e.g. u"Raydrift v1.0.0".
std::u16string versionLabel();

// Opens the support page in the system's default handler: PF_Err_NONE, or
// PF_Err_INTERNAL_STRUCT_DAMAGED when it could not be opened.
PF_Err openSupport();

// Hands `url` to a handler without waiting for it; true when one was started.
using UrlLauncher = bool (*)(const char* url);

// The desktop's default handler (xdg-open), started detached and without a shell.
bool openWithDesktop(const char* url);

// The launcher openSupport uses, for tests; null puts the desktop's back. Returns the
// one it replaces.
UrlLauncher setUrlLauncher(UrlLauncher launcher);

// The list the panel draws: gpuNames() unless a test puts another one in; null puts
// gpuNames() back. The list must outlive the draw events that use it.
void setPanelGpuNames(std::vector<std::u16string> const* names);

}  // namespace raydrift::ui

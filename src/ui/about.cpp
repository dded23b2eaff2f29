#include "ui/about.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "host/plugin_info.h"
#endif

namespace raydrift::ui {

PF_Err drawInfo(PF_InData*, PF_OutData*, PF_ParamDef**, PF_EventExtra*) {
    // Nothing is drawn yet; the host keeps its own background in the panel.
    return PF_Err_NONE;
}

#if defined(_WIN32)
PF_Err openSupport() {
    // The address is ASCII, so widening byte by byte is exact.
    std::wstring url;
    for (const char* c = kSupportUrl; *c != 0; ++c) url.push_back(static_cast<wchar_t>(*c));
    const HINSTANCE result = ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32 ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
}
#else
PF_Err openSupport() {
    // No default-handler service on this platform: the page cannot be opened.
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
}
#endif

}  // namespace raydrift::ui

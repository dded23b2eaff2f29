// What the effect tells the hosts about itself: names, version and capability flags.
// The plug-in property list (raydrift_pipl.r) repeats the version and flag words; a
// test keeps the two in step.
#pragma once

#include "AE_Effect.h"
#include "settings/render_settings.h"

namespace raydrift {

inline constexpr const char* kPluginName = "Raydrift";
inline constexpr const char* kPluginMatchName = "TESSALY Raydrift";
inline constexpr const char* kPluginCategory = "Tessaly Plugins";
inline constexpr const char* kSupportUrl = "https://www.tessaly.com/raydrift/support";
inline constexpr const char* kCompanyName = "Tessaly";
inline constexpr const char* kEntryPointName = "EffectMain";
// The reserved-info word the registration callback expects.
inline constexpr A_long kReservedInfo = 8;

inline constexpr A_long kPluginVersion =
    PF_VERSION(kVersionMajor, kVersionMinor, kVersionBugfix, PF_Stage_RELEASE, 1);

inline constexpr PF_OutFlags kOutFlags =
    PF_OutFlag_NON_PARAM_VARY | PF_OutFlag_CUSTOM_UI | PF_OutFlag_DEEP_COLOR_AWARE;

inline constexpr PF_OutFlags2 kOutFlags2 =
    PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS | PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG |
    PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE |
    PF_OutFlag2_CUSTOM_UI_ASYNC_MANAGER | PF_OutFlag2_SUPPORTS_GPU_RENDER_F32 |
    PF_OutFlag2_SUPPORTS_THREADED_RENDERING;

// Premiere Pro renders through the plain command and its own GPU filter; it gets none
// of the smart, GPU, asynchronous-UI or dynamic-flag capabilities.
inline constexpr PF_OutFlags2 kPremiereOutFlags2 = PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG |
                                                   PF_OutFlag2_FLOAT_COLOR_AWARE |
                                                   PF_OutFlag2_SUPPORTS_THREADED_RENDERING;

}  // namespace raydrift

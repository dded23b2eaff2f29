// Inside the simulated host: the suites of the custom-UI layer (ui_events.cpp,
// drawbot.cpp) as the basic suite hands them out, and the answers the host's own world
// and application suites need from it.
#pragma once

#include <string>

#include "AE_Effect.h"
#include "AE_EffectUI.h"

namespace hostsim::detail {

// The custom-UI, Drawbot and AEGP suites by name and version; null for any other.
const void* uiSuite(std::string const& name, int version);

// The format of a world the custom-UI layer handed out (a rendered input frame).
bool uiWorldFormat(PF_EffectWorld const* world, PF_PixelFormat* format);

// PF_InvalidateRect of the application suite: recorded by the panel that owns the context.
PF_Err invalidateRect(const PF_ContextH contextH, const PF_Rect* rect);

}  // namespace hostsim::detail

// The Direct3D 11 renderer for frames held in CPU memory, the Windows counterpart of the
// Metal frame renderer. Each entry point renders and returns true, or declines: returns
// false, leaves its output untouched and, when `message` is not null, stores the reason
// there; it never throws. The caller renders a declined frame on the CPU. Every entry
// leases one of two context slots and runs its device work under one work mutex.
#pragma once

#include <string>

#include "gpu/windows/d3d11_plan.h"
#include "image/image.h"
#include "settings/render_settings.h"

namespace raydrift::d3d11 {

// The whole frame (settings not yet animated: the time jitter is applied here).
bool frame(image::Image const& input, image::Image& output, RenderSettings const& settings,
           std::string* message);

// The whole frame on a host world in its own layout, written into the host's output.
bool nativeFrame(NativeWorld const& world, RenderSettings const& settings, std::string* message);

// The Matte view.
bool matte(image::Image const& input, image::Image& output, RenderSettings const& settings,
           std::string* message);

// The streak stage of a frame the CPU renders, the counterpart of image::generateStreak
// with the same arguments and result: `selection` becomes its streak image of
// (w + 2·margin) × (h + 2·margin); `scratch` is working memory. `settings` are the stage's
// (animated) settings. Declines Color Dodge without double precision, a float vertical
// pass beyond the sampled workload limit, buffers beyond the memory budget and selections
// the float passes cannot reproduce (non-finite or very bright values).
bool streaks(image::Image& selection, image::Image& scratch, RenderSettings const& settings, int margin,
             std::string* message);

// Waits for every leased context, then destroys both contexts with their shaders and
// buffers; the next request creates a new primary context.
void shutdown();

}  // namespace raydrift::d3d11

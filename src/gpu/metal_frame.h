// The GPU frame renderer's entry point for frames held in CPU memory. The CPU frame
// driver offers it every frame whose settings ask for the GPU; declining is never an
// error, the CPU then renders the frame.
#pragma once

#include <string>

#include "image/image.h"
#include "settings/render_settings.h"

namespace raydrift::metal {

// Renders `input` into `output` on the GPU and returns true, or declines: returns false,
// leaves `output` untouched and, when `error` is not null, stores the reason there.
// Never throws. Declined: frames the GPU cannot reproduce within the CPU's rounding
// (Color Dodge and Burn or negative colour under a non-additive blend, non-finite or very
// bright input), settings beyond its safety limits, and every device failure. Without a
// Metal device ("No Metal device", as on Linux) every frame is declined.
bool frame(image::Image const& input, image::Image& output, RenderSettings const& settings,
           std::string* error);

}  // namespace raydrift::metal

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
// Never throws. This build has no Metal device, so every frame is declined ("Invalid
// Metal software frame" for an empty input or input and output being one image, else
// "No Metal device").
bool frame(image::Image const& input, image::Image& output, RenderSettings const& settings,
           std::string* error);

}  // namespace raydrift::metal

#include "gpu/metal_frame.h"

namespace raydrift::metal {

namespace {
void decline(std::string* error, char const* reason) noexcept {
    if (error == nullptr) return;
    try {
        *error = reason;
    } catch (...) {
        // Out of memory for the message: the frame is declined all the same.
    }
}
}  // namespace

bool frame(image::Image const& input, image::Image& output, RenderSettings const& /*settings*/,
           std::string* error) {
    if (&input == &output || input.pixels.empty()) {
        decline(error, "Invalid Metal software frame");
        return false;
    }
    decline(error, "No Metal device");
    return false;
}

}  // namespace raydrift::metal

// Moving pictures between files and host worlds the way a host does: After Effects worlds
// are premultiplied ARGB (8-bit full scale 255, 16-bit full scale 32768, float 1.0),
// Premiere Pro worlds straight BGRA (8-bit or float).
#pragma once

#include <vector>

#include "hostsim.h"
#include "image/image.h"
#include "image_io.h"

namespace raydrift::cli {

// The world format a host of `kind` renders a picture in at `depth` bits (8, 16, 32).
// Premiere Pro has no 16-bit world and renders 16-bit pictures in float.
int worldFormat(hostsim::HostKind kind, int depth);

// A world of `format` holding `picture`. Integer channels are clamped and rounded half
// away from zero; a NaN sample becomes 0.
hostsim::World toWorld(Picture const& picture, int format);
// The same into `world`, which is reused when its size and format match (every pixel is
// written, so nothing is cleared first).
void toWorld(Picture const& picture, int format, hostsim::World& world);

// The world's pixels as premultiplied RGBA floats. In the Alpha view the effect writes
// straight colour into every world, premultiplied ones included.
void fromWorld(hostsim::World const& world, bool alphaView, std::vector<float>& rgba);

// An engine image (premultiplied float RGBA) as a float picture without a file, for the
// built-in scenes.
Picture pictureOf(image::Image const& image);

// Pixels whose bytes the render left exactly as they came in.
void untouchedPixels(hostsim::World const& input, hostsim::World const& output, std::vector<bool>& same);

}  // namespace raydrift::cli

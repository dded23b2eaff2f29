// What the real Metal has no word for: the seam through which tests install a system
// default device, and the object accounting that lets a test see a leak or an
// over-release it caused.
#pragma once

#include <cstdint>

#include "Metal/Metal.hpp"

namespace rdmtl {

// MTL::CreateSystemDefaultDevice answers `device` (retained) from now on; null removes it.
void installSystemDefaultDevice(MTL::Device* device);

// Foundation objects alive now, and faults counted since the process started: a release
// of an object whose count was already zero, an autorelease with no pool on the thread.
std::int64_t liveObjects();
std::int64_t overReleases();
std::int64_t orphanAutoreleases();

}  // namespace rdmtl

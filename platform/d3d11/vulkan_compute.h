// A minimal Vulkan compute runner behind the software Direct3D device: the HLSL text the
// plug-in hands to D3DCompile goes through glslang's HLSL front end to SPIR-V (registers
// t0…t3, u0…u3, b0…b1 at bindings 0…3, 8…11, 16…17 of set 0), and a dispatch runs that
// SPIR-V on the first Vulkan device with double-precision shaders (Mesa's lavapipe here),
// with the bound buffers copied in and the unordered-access ones copied back. For the
// tests only: every dispatch waits for the device.
#pragma once

#include <string>
#include <vector>

namespace rdvk {

using Bytes = std::vector<unsigned char>;

// Whether a Vulkan device with double precision and glslang are there; the device's name.
bool available(std::string* device = nullptr);

// Compiles `entry` of `source` (cached by `label`); false with glslang's log on failure.
bool compile(std::string const& label, std::string const& source, std::string const& entry, std::string* log);

// Runs compiled `label` over x × y × z thread groups; null slots are left unbound.
void dispatch(std::string const& label, Bytes* const t[4], Bytes* const u[4], Bytes* const b[2], unsigned x,
              unsigned y, unsigned z);

}  // namespace rdvk

// The product mark the about panel shows.
#pragma once

#include <array>
#include <cstdint>

namespace raydrift::ui {

inline constexpr int kLogoWidth = 150;
inline constexpr int kLogoHeight = 56;
inline constexpr int kLogoRowBytes = 4 * kLogoWidth;

// Blue, green, red, alpha bytes per pixel, premultiplied, rows top to bottom.
extern const std::array<std::uint8_t, static_cast<std::size_t>(kLogoRowBytes) * kLogoHeight> kLogoPixels;

}  // namespace raydrift::ui

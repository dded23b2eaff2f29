// The units the render settings are written in.
#pragma once

namespace raydrift {

// Reference frame: Length, Width and the chromatic amount are pixels of a 1920 × 1080
// frame, so a look carries over to any resolution; a frame of w × h pixels scales them
// by √(w·h / kReferenceFramePixels). Exact in float and double.
inline constexpr float kReferenceFramePixels = 1920.0f * 1080.0f;

// Direction is in degrees; the streak and colour stages turn it with this factor
// (π / 180 rounded to float).
inline constexpr float kRadiansPerDegree = 0.017453292f;

// Angle parameters arrive as 16.16 fixed point: 65536 units per degree.
inline constexpr double kFixedOne = 65536.0;
inline constexpr float kFixedToFloat = 1.52587890625e-5f;  // 1 / 65536, exact

}  // namespace raydrift

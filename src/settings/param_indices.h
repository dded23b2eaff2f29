// Positions of the effect's parameters in the host's parameter array. Position 0 is the
// input layer, which the host adds itself; only the positions code reads are named.
#pragma once

#include <array>

namespace raydrift {

inline constexpr int kParamInfoButton = 2;
inline constexpr int kParamAboutPanel = 4;
inline constexpr int kParamGpuHardware = 5;
inline constexpr int kParamUseGpu = 6;
inline constexpr int kParamHistogram = 9;
inline constexpr int kParamThreshold = 10;
inline constexpr int kParamThresholdSmooth = 11;
inline constexpr int kParamInvert = 12;
inline constexpr int kParamView = 13;
inline constexpr int kParamOutput = 14;
inline constexpr int kParamLength = 18;
inline constexpr int kParamWidth = 19;
inline constexpr int kParamDirection = 20;
inline constexpr int kParamSymmetric = 21;
inline constexpr int kParamIntensity = 22;
inline constexpr int kParamDetails = 25;
inline constexpr int kParamDiffraction = 26;
inline constexpr int kParamBlendMode = 27;
inline constexpr int kParamEdgeMode = 28;
inline constexpr int kParamChannels = 31;
inline constexpr int kParamChromaticAmount = 32;
inline constexpr int kParamJitterLength = 38;
inline constexpr int kParamLengthJitterSpeed = 39;
inline constexpr int kParamLengthJitterAmount = 40;
inline constexpr int kParamJitterWidth = 41;
inline constexpr int kParamWidthJitterSpeed = 42;
inline constexpr int kParamWidthJitterAmount = 43;
inline constexpr int kParamTintColor = 47;
inline constexpr int kParamTintMix = 48;
// Input layer included: the effect adds positions 1 to 61.
inline constexpr int kParamCount = 62;

// The parameters a render reads, in the order smart pre-render checks them out.
inline constexpr std::array<int, 25> kRenderParameterIndices = {
    kParamUseGpu,         kParamView,           kParamOutput,
    kParamThreshold,      kParamThresholdSmooth, kParamInvert,
    kParamLength,         kParamWidth,          kParamDirection,
    kParamSymmetric,      kParamIntensity,      kParamDetails,
    kParamDiffraction,    kParamBlendMode,      kParamEdgeMode,
    kParamChannels,       kParamChromaticAmount, kParamJitterLength,
    kParamLengthJitterSpeed, kParamLengthJitterAmount, kParamJitterWidth,
    kParamWidthJitterSpeed, kParamWidthJitterAmount, kParamTintColor,
    kParamTintMix,
};

}  // namespace raydrift

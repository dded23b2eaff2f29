// Everything one frame render needs, filled from the effect's parameters at one time.
#pragma once

#include <cstdint>
#include <string>

#include "settings/edge_mode.h"

namespace raydrift {

enum class ViewMode : std::int32_t {
    Matte = 0,        // the threshold matte only
    Performance = 1,  // normal view, streaks at quarter resolution
    Quality = 2,      // normal view at full resolution
    Black = 3,        // streaks on black
    Alpha = 4,        // streaks as an alpha-carrying layer
};

// In the order of the Blend Mode menu; any other value composites as Normal.
enum class BlendMode : std::int32_t {
    Normal = 0,
    Add,
    LinearDodge,
    Screen,
    Lighten,
    Multiply,
    Darken,
    Overlay,
    SoftLight,
    HardLight,
    ColorDodge,
    ColorBurn,
    Difference,
    Exclusion,
};

// A plain value record: any value is accepted by every consumer. Sizes (length, width,
// chromatic amount) are in pixels of a 1920×1080 frame times `scale`.
struct RenderSettings {
    float scale = 0.0f;  // ≤ 0: derive √(max(w,1)·max(h,1) / kReferenceFramePixels) from the frame
    bool useGpu = true;
    bool performance = false;
    ViewMode view = ViewMode::Quality;
    float lowCut = 0.396f;
    float lowFeather = 0.0f;
    float highCut = 3.4028235e38f;  // the largest float: the upper cut is open
    float highFeather = 0.0f;
    bool invert = false;
    float length = 200.0f;
    float width = 0.0f;
    float direction = 0.0f;  // degrees
    bool symmetric = false;
    float details = 0.0f;
    std::int32_t channels = 0;  // 0 "R&B", 1 "R&G", 2 "G&B"
    float diffraction = 0.0f;
    float intensity = 1.0f;  // gain above 100 %
    bool jitterLength = false;
    bool jitterWidth = false;
    bool jitterDiffraction = false;
    float lengthJitterAmount = 20.0f;
    float lengthJitterSpeed = 25.0f;
    float widthJitterAmount = 20.0f;
    float widthJitterSpeed = 25.0f;
    float diffractionJitterAmount = 20.0f;
    float diffractionJitterSpeed = 25.0f;
    double time = 0.0;  // seconds
    float saturation = 1.0f;
    float tint = 0.0f;
    float tintR = 0.0f;
    float tintG = 1.0f;
    float tintB = 1.0f;
    float chromaticAmount = 0.0f;
    BlendMode blendMode = BlendMode::Normal;
    float opacity = 1.0f;  // strength below 100 %
    EdgeMode edgeMode = EdgeMode::Clamp;

    bool operator==(RenderSettings const&) const = default;
};

// A copy with the Jitter applied to length, width and diffraction. Deterministic in
// time: the same time gives the same values on every render and machine.
RenderSettings animatedSettings(RenderSettings const& settings);

// The noise value in [0, 1] at integer n with seed constant k (SplitMix64's output
// function on the state n + k, top 24 bits).
float jitterNoise(std::int64_t n, std::uint64_t k);

// The release as "major.minor.bugfix", e.g. "1.0.0".
std::string releaseVersion();

// The release, from the project version the build is configured with (the one place it
// is written); the plug-in property list repeats it and a test compares the two.
inline constexpr int kVersionMajor = RAYDRIFT_VERSION_MAJOR;
inline constexpr int kVersionMinor = RAYDRIFT_VERSION_MINOR;
inline constexpr int kVersionBugfix = RAYDRIFT_VERSION_PATCH;

}  // namespace raydrift

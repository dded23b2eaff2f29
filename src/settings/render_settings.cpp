#include "settings/render_settings.h"

#include <algorithm>
#include <cmath>


namespace raydrift {

float jitterNoise(std::int64_t n, std::uint64_t k) {
    std::uint64_t z = static_cast<std::uint64_t>(n) + k;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return static_cast<float>(z >> 40) / 16777215.0f;
}

namespace {

float jittered(float base, float amount, float speed, double time, std::uint64_t seed,
               float upper) {
    if (!(std::isfinite(amount) && amount > 0.0f)) return base;
    if (!std::isfinite(time)) return base;
    if (!(std::isfinite(speed) && speed > 0.0f)) return base;
    const double t = std::clamp(time * static_cast<double>(speed), -1e12, 1e12);
    const double ft = std::floor(t);
    const std::int64_t i = static_cast<std::int64_t>(ft);
    const float f = static_cast<float>(t - ft);
    const float r0 = jitterNoise(i, seed);
    const float r1 = jitterNoise(i + 1, seed);
    const float w = (3.0f - (f + f)) * (f * f);
    const float v = (r1 - r0) * w + r0;
    const float s = v < 0.0f ? -1.0f : 2.0f * std::min(1.0f, v) - 1.0f;
    const float result = amount * s + base;
    return result < 0.0f ? 0.0f : std::min(result, upper);
}

}  // namespace

RenderSettings animatedSettings(RenderSettings const& settings) {
    RenderSettings s = settings;
    if (s.jitterLength)
        s.length = jittered(s.length, s.lengthJitterAmount, s.lengthJitterSpeed, s.time,
                            0x9e3779b97f4a7c15ull, 1000.0f);
    if (s.jitterWidth)
        s.width = jittered(s.width, s.widthJitterAmount, s.widthJitterSpeed, s.time,
                           0xd1b54a32d192ed03ull, 500.0f);
    if (s.jitterDiffraction)
        s.diffraction = jittered(s.diffraction, s.diffractionJitterAmount,
                                 s.diffractionJitterSpeed, s.time, 0x94d049bb133111ebull, 500.0f);
    return s;
}

std::string releaseVersion() {
    return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
           std::to_string(kVersionBugfix);
}

}  // namespace raydrift

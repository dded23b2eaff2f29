// SettingsFromParams and animatedSettings over any parameter values: every byte of every
// parameter record the settings read is the fuzzer's (NaN, infinities, huge and negative
// sliders, menus out of range, any angle), at any time. Whatever comes in, the record
// that comes out holds values every renderer accepts.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "AE_Effect.h"
#include "settings/param_indices.h"
#include "settings/parameters.h"
#include "settings/render_settings.h"

namespace {

using raydrift::RenderSettings;

bool same(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A jittered value stays within its clamp, or keeps its base exactly when the jitter
// cannot apply.
void checkJitter(bool on, float base, float animated, float amount, float speed, double time, float upper) {
    const bool applies = on && std::isfinite(amount) && amount > 0.0f && std::isfinite(time) &&
                         std::isfinite(speed) && speed > 0.0f;
    if (!applies) {
        check(same(base, animated));
        return;
    }
    // A NaN base stays NaN through the arithmetic and the clamp's comparisons.
    if (std::isnan(base)) return;
    check(animated >= 0.0f && animated <= upper);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::array<PF_ParamDef, raydrift::kParamCount> defs{};
    std::array<PF_ParamDef*, raydrift::kParamCount> params{};
    for (int index : raydrift::kRenderParameterIndices) {
        PF_ParamDef& def = defs[static_cast<std::size_t>(index)];
        // The union the settings read, byte for byte; a few entries stay missing.
        std::array<std::uint8_t, sizeof def.u> bytes{};
        const std::size_t n = in.ConsumeData(bytes.data(), in.ConsumeIntegralInRange<std::size_t>(0, 8));
        std::memcpy(&def.u, bytes.data(), n);
        if (in.ConsumeIntegralInRange<int>(0, 15) != 0) params[static_cast<std::size_t>(index)] = &def;
    }
    double time = 0.0;
    std::uint64_t timeBits = in.ConsumeIntegral<std::uint64_t>();
    std::memcpy(&time, &timeBits, sizeof time);

    const RenderSettings s = raydrift::SettingsFromParams(params.data(), time);
    // Menus always land on an item; strength is never NaN and stays in its ranges.
    check(static_cast<int>(s.view) >= 0 && static_cast<int>(s.view) <= 4);
    check(s.channels >= 0 && s.channels <= 2);
    check(static_cast<int>(s.blendMode) >= 0 && static_cast<int>(s.blendMode) <= 13);
    check(static_cast<int>(s.edgeMode) >= 0 && static_cast<int>(s.edgeMode) <= 2);
    check(s.opacity >= 0.0f && s.opacity <= 1.0f);
    check(s.intensity >= 1.0f && s.intensity <= 10.0f);
    check(s.opacity >= 1.0f || s.intensity <= 1.0f);
    for (float c : {s.tintR, s.tintG, s.tintB}) check(c >= 0.0f && c <= 1.0f);
    check(std::isfinite(s.direction));
    check(s.scale == 0.0f && !s.jitterDiffraction);
    check(std::memcmp(&s.time, &time, sizeof time) == 0);

    // Jitter on every channel, the diffraction one included, at the same and other times.
    RenderSettings jittery = s;
    jittery.jitterDiffraction = in.ConsumeBool();
    jittery.diffractionJitterAmount = in.ConsumeFloatingPoint<float>();
    jittery.diffractionJitterSpeed = in.ConsumeFloatingPoint<float>();
    if (in.ConsumeBool()) jittery.time = in.ConsumeFloatingPoint<double>();
    const RenderSettings a = raydrift::animatedSettings(jittery);
    const RenderSettings again = raydrift::animatedSettings(jittery);
    check(std::memcmp(&a.length, &again.length, sizeof a.length) == 0);
    check(std::memcmp(&a.width, &again.width, sizeof a.width) == 0);
    check(std::memcmp(&a.diffraction, &again.diffraction, sizeof a.diffraction) == 0);
    checkJitter(jittery.jitterLength, jittery.length, a.length, jittery.lengthJitterAmount,
                jittery.lengthJitterSpeed, jittery.time, 1000.0f);
    checkJitter(jittery.jitterWidth, jittery.width, a.width, jittery.widthJitterAmount, jittery.widthJitterSpeed,
                jittery.time, 500.0f);
    checkJitter(jittery.jitterDiffraction, jittery.diffraction, a.diffraction, jittery.diffractionJitterAmount,
                jittery.diffractionJitterSpeed, jittery.time, 500.0f);
    // Nothing but the three jittered values changes.
    RenderSettings rest = a;
    rest.length = jittery.length;
    rest.width = jittery.width;
    rest.diffraction = jittery.diffraction;
    check(std::memcmp(&rest.time, &jittery.time, sizeof rest.time) == 0);
    check(rest.lowCut == jittery.lowCut || (std::isnan(rest.lowCut) && std::isnan(jittery.lowCut)));
    return 0;
}

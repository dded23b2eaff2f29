#include <algorithm>
#include <cmath>

#include "AE_Effect.h"
#include "settings/param_indices.h"
#include "settings/parameters.h"
#include "settings/units.h"

namespace raydrift {

namespace {

// Readers of one parameter kind. A missing entry reads as zero, which every field
// below maps to a valid value.
PF_ParamValue checkbox(PF_ParamDef* const* params, int index) {
    return params[index] ? params[index]->u.bd.value : 0;
}
PF_ParamValue menu(PF_ParamDef* const* params, int index) {
    return params[index] ? params[index]->u.pd.value : 0;
}
double slider(PF_ParamDef* const* params, int index) {
    return params[index] ? params[index]->u.fs_d.value : 0.0;
}
PF_Fixed angle(PF_ParamDef* const* params, int index) {
    return params[index] ? params[index]->u.ad.value : 0;
}
PF_Pixel colour(PF_ParamDef* const* params, int index) {
    return params[index] ? params[index]->u.cd.value : PF_Pixel{0, 0, 0, 0};
}

// Menus are 1-based; 0, negative and too-large values fall back to an edge item.
std::int32_t menuItem(PF_ParamValue value, PF_ParamValue items) {
    return value <= 0 ? 0 : std::min(value, items) - 1;
}

}  // namespace

RenderSettings SettingsFromParams(PF_ParamDef* const* params, double time) {
    RenderSettings s;
    s.useGpu = checkbox(params, kParamUseGpu) != 0;

    const PF_ParamValue view = menu(params, kParamView);
    const PF_ParamValue output = menu(params, kParamOutput);
    s.performance = output == 1;
    if (view <= 1)
        s.view = s.performance ? ViewMode::Performance : ViewMode::Quality;
    else if (view == 2)
        s.view = ViewMode::Matte;
    else if (view == 3)
        s.view = ViewMode::Black;
    else
        s.view = ViewMode::Alpha;

    s.lowCut = static_cast<float>(slider(params, kParamThreshold) / 100.0);
    s.lowFeather = static_cast<float>(slider(params, kParamThresholdSmooth) / 100.0);
    s.invert = checkbox(params, kParamInvert) != 0;
    s.length = static_cast<float>(slider(params, kParamLength));
    s.width = static_cast<float>(slider(params, kParamWidth));
    s.direction = static_cast<float>(angle(params, kParamDirection)) * kFixedToFloat;
    s.symmetric = checkbox(params, kParamSymmetric) != 0;

    // Whole percent, halves away from zero; up to 100 % it is opacity, above it gain.
    // A NaN slider (no host sends one) counts as 0 %, not as a NaN strength.
    const float r = static_cast<float>(std::round(slider(params, kParamIntensity)));
    const float x = !(r >= 0.0f) ? 0.0f : std::min(r, 1000.0f) / 100.0f;
    s.opacity = std::min(1.0f, x);
    s.intensity = std::max(1.0f, x);

    s.edgeMode = static_cast<EdgeMode>(menuItem(menu(params, kParamEdgeMode), 3));
    s.diffraction = static_cast<float>(slider(params, kParamDiffraction));
    s.jitterLength = checkbox(params, kParamJitterLength) != 0;
    s.jitterWidth = checkbox(params, kParamJitterWidth) != 0;
    s.lengthJitterAmount = static_cast<float>(slider(params, kParamLengthJitterAmount));
    s.lengthJitterSpeed = static_cast<float>(slider(params, kParamLengthJitterSpeed));
    s.widthJitterAmount = static_cast<float>(slider(params, kParamWidthJitterAmount));
    s.widthJitterSpeed = static_cast<float>(slider(params, kParamWidthJitterSpeed));
    s.time = time;
    s.tint = static_cast<float>(slider(params, kParamTintMix) / 100.0);
    const PF_Pixel tint = colour(params, kParamTintColor);
    s.tintR = static_cast<float>(tint.red) / 255.0f;
    s.tintG = static_cast<float>(tint.green) / 255.0f;
    s.tintB = static_cast<float>(tint.blue) / 255.0f;
    s.chromaticAmount = static_cast<float>(slider(params, kParamChromaticAmount));
    s.channels = menuItem(menu(params, kParamChannels), 3);
    s.details = static_cast<float>(slider(params, kParamDetails) / 100.0);
    s.blendMode = static_cast<BlendMode>(menuItem(menu(params, kParamBlendMode), 14));
    return s;
}

}  // namespace raydrift

#include "settings/parameters.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "AE_EffectUI.h"
#include "AE_Macros.h"
#include "settings/param_indices.h"

namespace raydrift {

namespace {

constexpr PF_ParamUIFlags kHidden = PF_PUI_INVISIBLE | PF_PUI_NO_ECW_UI;
constexpr PF_ParamUIFlags kCustomControl = PF_PUI_CONTROL | PF_PUI_DONT_ERASE_CONTROL;

// Stable identifiers are saved in projects: never renumber, never reuse.
PF_ParamDef base(PF_ParamType type, A_long id, const char* name) {
    PF_ParamDef def;
    std::memset(&def, 0, sizeof def);
    def.param_type = type;
    def.uu.id = id;
    std::strncpy(def.name, name, PF_MAX_EFFECT_PARAM_NAME_LEN);
    return def;
}

PF_ParamDef groupStart(A_long id, const char* name, bool collapsed) {
    PF_ParamDef def = base(PF_Param_GROUP_START, id, name);
    if (collapsed) def.flags = PF_ParamFlag_START_COLLAPSED;
    return def;
}

PF_ParamDef groupEnd(A_long id) { return base(PF_Param_GROUP_END, id, ""); }

PF_ParamDef floatSlider(A_long id, const char* name, float max, float sliderMax, float dflt,
                        A_short precision, bool percent) {
    PF_ParamDef def = base(PF_Param_FLOAT_SLIDER, id, name);
    def.u.fs_d.valid_min = 0.0f;
    def.u.fs_d.valid_max = max;
    def.u.fs_d.slider_min = 0.0f;
    def.u.fs_d.slider_max = sliderMax;
    def.u.fs_d.value = dflt;
    def.u.fs_d.dephault = dflt;
    def.u.fs_d.precision = precision;
    def.u.fs_d.display_flags = percent ? PF_ValueDisplayFlag_PERCENT : PF_ValueDisplayFlag_NONE;
    return def;
}

PF_ParamDef checkbox(A_long id, const char* name, const char* label, bool on = false) {
    PF_ParamDef def = base(PF_Param_CHECKBOX, id, name);
    def.u.bd.value = on ? 1 : 0;
    def.u.bd.dephault = on ? 1 : 0;
    def.u.bd.u.nameptr = label;
    return def;
}

PF_ParamDef menu(A_long id, const char* name, const char* items, A_short count, A_short dflt) {
    PF_ParamDef def = base(PF_Param_POPUP, id, name);
    def.u.pd.num_choices = count;
    def.u.pd.dephault = dflt;
    def.u.pd.value = dflt;
    def.u.pd.u.namesptr = items;
    return def;
}

PF_ParamDef button(A_long id, const char* name, const char* label) {
    PF_ParamDef def = base(PF_Param_BUTTON, id, name);
    def.u.button_d.u.namesptr = label;
    return def;
}

PF_ParamDef colour(A_long id, const char* name, PF_Pixel value) {
    PF_ParamDef def = base(PF_Param_COLOR, id, name);
    def.u.cd.value = value;
    def.u.cd.dephault = value;
    return def;
}

PF_ParamDef hidden(PF_ParamDef def) {
    def.ui_flags |= kHidden;
    return def;
}

PF_ParamDef withFlags(PF_ParamDef def, PF_ParamFlags flags) {
    def.flags |= flags;
    return def;
}

constexpr const char* kViewItems = "Normal|Matte|Black|Alpha";
constexpr const char* kOutputItems = "Performance|Quality";
constexpr const char* kOldViewItems = "Matte|Performance|Quality|Black|Alpha";
constexpr const char* kBlendItems =
    "Normal|Add|Linear Dodge|Screen|Lighten|Multiply|Darken|Overlay|Soft Light|Hard Light|"
    "Color Dodge|Color Burn|Difference|Exclusion";
constexpr const char* kEdgeItems = "Wrap|Clamp|Mirror";
constexpr const char* kChannelItems = "R&B|R&G|G&B";
constexpr const char* kOldEdgeItems = "Wrap|Clamp|Mirror|Transparent";

// Positions 1 to 61 in order. The hidden "Reserved" entries keep the list's shape (and
// with it every saved project's parameter positions); they are never read.
std::vector<PF_ParamDef> parameterList(bool premiere, std::size_t gpuCount) {
    // Premiere Pro shows a checkbox's label beside it, After Effects its name.
    auto label = [premiere](const char* name) { return premiere ? name : ""; };
    constexpr PF_ParamFlags noTime = PF_ParamFlag_CANNOT_TIME_VARY;

    PF_ParamDef aboutPanel = withFlags(base(PF_Param_NO_DATA, 43, ""), noTime);
    aboutPanel.ui_flags = kCustomControl;
    aboutPanel.ui_width = 360;
    aboutPanel.ui_height = static_cast<A_short>(aboutPanelHeight(gpuCount));

    // As a colour the histogram gets a value the render never reads; Premiere Pro would
    // draw a swatch for it, so there it carries no data.
    PF_ParamDef histogram = premiere ? base(PF_Param_NO_DATA, 2, "Histogram")
                                     : colour(2, "Histogram", PF_Pixel{255, 0, 0, 0});
    histogram.flags = PF_ParamFlag_SUPERVISE | noTime;
    histogram.ui_flags = kCustomControl;
    histogram.ui_width = 300;
    histogram.ui_height = 126;

    return {
        groupStart(41, "About & Support", true),                                       // 1
        hidden(withFlags(button(42, "Raydrift", "i"), PF_ParamFlag_SUPERVISE | noTime)),  // 2
        hidden(withFlags(button(70, "Reserved", ""), noTime)),                          // 3
        aboutPanel,                                                                     // 4
        hidden(withFlags(base(PF_Param_NO_DATA, 44, "GPU Hardware"), noTime)),          // 5
        withFlags(checkbox(56, "Use GPU", label("Use GPU"), true), noTime),             // 6
        groupEnd(45),                                                                   // 7
        groupStart(1, "Input", false),                                                  // 8
        histogram,                                                                      // 9
        floatSlider(3, "Threshold", 100, 100, 39.6f, 1, true),                     // 10
        floatSlider(4, "Threshold Smooth", 100, 100, 0, 1, true),                       // 11
        checkbox(7, "Invert", label("Invert")),                                         // 12
        menu(75, "View", kViewItems, 4, 1),                                             // 13
        menu(76, "Output", kOutputItems, 2, 1),                                         // 14
        hidden(menu(68, "Reserved", kOldViewItems, 5, 2)),                              // 15
        groupEnd(8),                                                                    // 16
        groupStart(9, "Streak", false),                                                 // 17
        floatSlider(10, "Length", 1000, 1000, 200, 1, false),                           // 18
        floatSlider(11, "Width", 500, 500, 0, 1, false),                                // 19
        base(PF_Param_ANGLE, 12, "Direction"),                                          // 20
        checkbox(13, "Symetric Blur", label("Symetric Blur")),                          // 21
        floatSlider(69, "Intensity", 1000, 1000, 100, 0, true),                         // 22
        groupEnd(29),                                                                   // 23
        groupStart(46, "Style", false),                                                 // 24
        floatSlider(47, "Details", 100, 100, 0, 1, true),                               // 25
        floatSlider(14, "Diffraction", 500, 500, 0, 1, false),                          // 26
        menu(37, "Blend Mode", kBlendItems, 14, 1),                                     // 27
        menu(71, "Edge Mode", kEdgeItems, 3, 2),                                        // 28
        groupStart(48, "Chromatic Aberration", true),                                   // 29
        hidden(checkbox(49, "Reserved", "")),                                           // 30
        menu(50, "Channels", kChannelItems, 3, 1),                                      // 31
        floatSlider(34, "Amount", 100, 100, 0, 1, true),                                // 32
        groupEnd(51),                                                                   // 33
        hidden(groupStart(72, "Reserved", true)),                                       // 34
        hidden(floatSlider(73, "Reserved", 100, 100, 0, 1, true)),                      // 35
        hidden(groupEnd(74)),                                                           // 36
        groupStart(18, "Jitter", true),                                                 // 37
        checkbox(19, "Length", label("Length")),                                        // 38
        floatSlider(21, "Speed", 1000, 100, 25, 0, false),                              // 39
        floatSlider(20, "Amount", 1000, 1000, 20, 1, false),                            // 40
        checkbox(22, "Width", label("Width")),                                          // 41
        floatSlider(24, "Speed", 1000, 100, 25, 0, false),                              // 42
        floatSlider(23, "Amount", 500, 500, 20, 1, false),                              // 43
        groupEnd(28),                                                                   // 44
        groupStart(52, "Tint", true),                                                   // 45
        hidden(checkbox(53, "Reserved", "")),                                           // 46
        colour(33, "Color", PF_Pixel{255, 0, 255, 255}),                                // 47
        floatSlider(32, "Mix", 100, 100, 0, 1, true),                                   // 48
        groupEnd(54),                                                                   // 49
        groupEnd(55),                                                                   // 50
        hidden(floatSlider(57, "Reserved", 100, 100, 100, 1, false)),                   // 51
        hidden(floatSlider(58, "Reserved", 100, 100, 0, 1, false)),                     // 52
        hidden(floatSlider(59, "Reserved", 1000, 1000, 100, 1, false)),                 // 53
        hidden(floatSlider(60, "Reserved", 200, 200, 100, 1, false)),                   // 54
        hidden(floatSlider(61, "Reserved", 100, 100, 100, 1, false)),                   // 55
        hidden(menu(62, "Reserved", kOldEdgeItems, 4, 2)),                              // 56
        hidden(checkbox(63, "Reserved", "")),                                           // 57
        hidden(floatSlider(64, "Reserved", 500, 500, 100, 1, false)),                   // 58
        hidden(checkbox(65, "Reserved", "")),                                           // 59
        hidden(floatSlider(66, "Reserved", 500, 500, 20, 1, false)),                    // 60
        hidden(floatSlider(67, "Reserved", 1000, 1000, 25, 1, false)),                  // 61
    };
}

}  // namespace

int aboutPanelHeight(std::size_t gpuCount) {
    return 240 + 38 * static_cast<int>(std::min<std::size_t>(gpuCount, 100));
}

PF_Err SetupParameters(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** /*params*/,
                       PF_LayerDef* /*output*/, std::size_t gpuNameCount) {
    if (!in_data || !out_data || !in_data->inter.add_param) return PF_Err_BAD_CALLBACK_PARAM;
    const bool premiere = in_data->appl_id == PF_AppId_Premiere;
    std::vector<PF_ParamDef> list = parameterList(premiere, gpuNameCount);
    for (PF_ParamDef& def : list)
        if (PF_Err err = PF_ADD_PARAM(in_data, -1, &def)) return err;

    if (in_data->inter.register_ui) {
        PF_CustomUIInfo info;
        std::memset(&info, 0, sizeof info);
        info.events = PF_CustomEFlag_EFFECT;
        (void)in_data->inter.register_ui(in_data->effect_ref, &info);
    }
    out_data->num_params = kParamCount;
    return PF_Err_NONE;
}

}  // namespace raydrift

// The parameter list as a host learns it at parameter set-up.
#include <gtest/gtest.h>

#include <string>

#include "AE_EffectUI.h"
#include "host/entry.h"
#include "host_test_support.h"
#include "settings/parameters.h"
#include "ui/gpu_names.h"

namespace hosttest {
namespace {

using hostsim::Host;
using hostsim::HostKind;

constexpr A_long kHidden = PF_PUI_INVISIBLE | PF_PUI_NO_ECW_UI;
constexpr A_long kNoTime = PF_ParamFlag_CANNOT_TIME_VARY;
constexpr A_long kCollapsed = PF_ParamFlag_START_COLLAPSED;
constexpr A_long kSupervise = PF_ParamFlag_SUPERVISE;

// One row per position. For float sliders: valid max, slider max, default, precision,
// percent. For menus: item string, count, default. For checkboxes: default and whether
// Premiere Pro labels it with its name. For buttons: the label in `items`.
struct Row {
    int index;
    A_long id;
    A_long type;
    const char* name;
    A_long uiFlags;
    A_long flags;
    double validMax = 0, sliderMax = 0, dflt = 0;
    int precision = 0;
    bool percent = false;
    const char* items = nullptr;
    int count = 0;
    bool labelled = false;
};

constexpr A_long F = PF_Param_FLOAT_SLIDER, M = PF_Param_POPUP, C = PF_Param_CHECKBOX, GS = PF_Param_GROUP_START,
                 GE = PF_Param_GROUP_END, B = PF_Param_BUTTON, N = PF_Param_NO_DATA;

const char* kBlend =
    "Normal|Add|Linear Dodge|Screen|Lighten|Multiply|Darken|Overlay|Soft Light|Hard Light|Color Dodge|"
    "Color Burn|Difference|Exclusion";

const Row kRows[] = {
    {1, 41, GS, "About & Support", 0, kCollapsed},
    {2, 42, B, "Raydrift", kHidden, kSupervise | kNoTime, 0, 0, 0, 0, false, "i"},
    {3, 70, B, "Reserved", kHidden, kNoTime, 0, 0, 0, 0, false, ""},
    {4, 43, N, "", PF_PUI_CONTROL | PF_PUI_DONT_ERASE_CONTROL, kNoTime},
    {5, 44, N, "GPU Hardware", kHidden, kNoTime},
    {6, 56, C, "Use GPU", 0, kNoTime, 0, 0, 1, 0, false, nullptr, 0, true},
    {7, 45, GE, "", 0, 0},
    {8, 1, GS, "Input", 0, 0},
    {9, 2, -1, "Histogram", PF_PUI_CONTROL | PF_PUI_DONT_ERASE_CONTROL, kSupervise | kNoTime},
    {10, 3, F, "Threshold", 0, 0, 100, 100, 39.6, 1, true},
    {11, 4, F, "Threshold Smooth", 0, 0, 100, 100, 0, 1, true},
    {12, 7, C, "Invert", 0, 0, 0, 0, 0, 0, false, nullptr, 0, true},
    {13, 75, M, "View", 0, 0, 0, 0, 1, 0, false, "Normal|Matte|Black|Alpha", 4},
    {14, 76, M, "Output", 0, 0, 0, 0, 1, 0, false, "Performance|Quality", 2},
    {15, 68, M, "Reserved", kHidden, 0, 0, 0, 2, 0, false, "Matte|Performance|Quality|Black|Alpha", 5},
    {16, 8, GE, "", 0, 0},
    {17, 9, GS, "Streak", 0, 0},
    {18, 10, F, "Length", 0, 0, 1000, 1000, 200, 1, false},
    {19, 11, F, "Width", 0, 0, 500, 500, 0, 1, false},
    {20, 12, PF_Param_ANGLE, "Direction", 0, 0},
    {21, 13, C, "Symetric Blur", 0, 0, 0, 0, 0, 0, false, nullptr, 0, true},
    {22, 69, F, "Intensity", 0, 0, 1000, 1000, 100, 0, true},
    {23, 29, GE, "", 0, 0},
    {24, 46, GS, "Style", 0, 0},
    {25, 47, F, "Details", 0, 0, 100, 100, 0, 1, true},
    {26, 14, F, "Diffraction", 0, 0, 500, 500, 0, 1, false},
    {27, 37, M, "Blend Mode", 0, 0, 0, 0, 1, 0, false, kBlend, 14},
    {28, 71, M, "Edge Mode", 0, 0, 0, 0, 2, 0, false, "Wrap|Clamp|Mirror", 3},
    {29, 48, GS, "Chromatic Aberration", 0, kCollapsed},
    {30, 49, C, "Reserved", kHidden, 0},
    {31, 50, M, "Channels", 0, 0, 0, 0, 1, 0, false, "R&B|R&G|G&B", 3},
    {32, 34, F, "Amount", 0, 0, 100, 100, 0, 1, true},
    {33, 51, GE, "", 0, 0},
    {34, 72, GS, "Reserved", kHidden, kCollapsed},
    {35, 73, F, "Reserved", kHidden, 0, 100, 100, 0, 1, true},
    {36, 74, GE, "", kHidden, 0},
    {37, 18, GS, "Jitter", 0, kCollapsed},
    {38, 19, C, "Length", 0, 0, 0, 0, 0, 0, false, nullptr, 0, true},
    {39, 21, F, "Speed", 0, 0, 1000, 100, 25, 0, false},
    {40, 20, F, "Amount", 0, 0, 1000, 1000, 20, 1, false},
    {41, 22, C, "Width", 0, 0, 0, 0, 0, 0, false, nullptr, 0, true},
    {42, 24, F, "Speed", 0, 0, 1000, 100, 25, 0, false},
    {43, 23, F, "Amount", 0, 0, 500, 500, 20, 1, false},
    {44, 28, GE, "", 0, 0},
    {45, 52, GS, "Tint", 0, kCollapsed},
    {46, 53, C, "Reserved", kHidden, 0},
    {47, 33, PF_Param_COLOR, "Color", 0, 0},
    {48, 32, F, "Mix", 0, 0, 100, 100, 0, 1, true},
    {49, 54, GE, "", 0, 0},
    {50, 55, GE, "", 0, 0},
    {51, 57, F, "Reserved", kHidden, 0, 100, 100, 100, 1, false},
    {52, 58, F, "Reserved", kHidden, 0, 100, 100, 0, 1, false},
    {53, 59, F, "Reserved", kHidden, 0, 1000, 1000, 100, 1, false},
    {54, 60, F, "Reserved", kHidden, 0, 200, 200, 100, 1, false},
    {55, 61, F, "Reserved", kHidden, 0, 100, 100, 100, 1, false},
    {56, 62, M, "Reserved", kHidden, 0, 0, 0, 2, 0, false, "Wrap|Clamp|Mirror|Transparent", 4},
    {57, 63, C, "Reserved", kHidden, 0},
    {58, 64, F, "Reserved", kHidden, 0, 500, 500, 100, 1, false},
    {59, 65, C, "Reserved", kHidden, 0},
    {60, 66, F, "Reserved", kHidden, 0, 500, 500, 20, 1, false},
    {61, 67, F, "Reserved", kHidden, 0, 1000, 1000, 25, 1, false},
};

void checkList(std::vector<PF_ParamDef> const& params, bool premiere) {
    ASSERT_EQ(params.size(), 62u);
    EXPECT_EQ(params[0].param_type, PF_Param_LAYER);
    ASSERT_EQ(std::size(kRows), 61u);
    for (Row const& row : kRows) {
        SCOPED_TRACE("parameter " + std::to_string(row.index) + (premiere ? " (Premiere)" : " (After Effects)"));
        PF_ParamDef const& p = params[static_cast<std::size_t>(row.index)];
        const A_long type = row.type == -1 ? (premiere ? PF_Param_NO_DATA : PF_Param_COLOR) : row.type;
        EXPECT_EQ(p.uu.id, row.id);
        EXPECT_EQ(p.param_type, type);
        EXPECT_STREQ(p.name, row.name);
        EXPECT_EQ(p.ui_flags, row.uiFlags);
        EXPECT_EQ(p.flags, row.flags);
        switch (type) {
        case PF_Param_FLOAT_SLIDER:
            EXPECT_EQ(p.u.fs_d.valid_min, 0.0f);
            EXPECT_EQ(p.u.fs_d.slider_min, 0.0f);
            EXPECT_EQ(p.u.fs_d.valid_max, static_cast<float>(row.validMax));
            EXPECT_EQ(p.u.fs_d.slider_max, static_cast<float>(row.sliderMax));
            EXPECT_EQ(p.u.fs_d.dephault, static_cast<float>(row.dflt));
            EXPECT_FLOAT_EQ(static_cast<float>(p.u.fs_d.value), static_cast<float>(row.dflt));
            EXPECT_EQ(p.u.fs_d.precision, row.precision);
            EXPECT_EQ(p.u.fs_d.display_flags, row.percent ? PF_ValueDisplayFlag_PERCENT : 0);
            EXPECT_EQ(p.u.fs_d.phase, 0.0);
            EXPECT_EQ(p.u.fs_d.curve_tolerance, 0.0f);
            EXPECT_EQ(p.u.fs_d.fs_flags, 0u);
            break;
        case PF_Param_POPUP:
            EXPECT_STREQ(p.u.pd.u.namesptr, row.items);
            EXPECT_EQ(p.u.pd.num_choices, row.count);
            EXPECT_EQ(p.u.pd.dephault, static_cast<int>(row.dflt));
            EXPECT_EQ(p.u.pd.value, static_cast<int>(row.dflt));
            break;
        case PF_Param_CHECKBOX:
            EXPECT_EQ(p.u.bd.dephault, static_cast<int>(row.dflt));
            EXPECT_EQ(p.u.bd.value, static_cast<int>(row.dflt));
            EXPECT_STREQ(p.u.bd.u.nameptr, premiere && row.labelled ? row.name : "");
            break;
        case PF_Param_BUTTON:
            EXPECT_STREQ(p.u.button_d.u.namesptr, row.items);
            break;
        case PF_Param_COLOR: {
            const bool cyan = row.index == raydrift::kParamTintColor;
            for (PF_Pixel const& c : {p.u.cd.value, p.u.cd.dephault}) {
                EXPECT_EQ(c.alpha, 255);
                EXPECT_EQ(c.red, 0);
                EXPECT_EQ(c.green, cyan ? 255 : 0);
                EXPECT_EQ(c.blue, cyan ? 255 : 0);
            }
            break;
        }
        case PF_Param_ANGLE:
            EXPECT_EQ(p.u.ad.value, 0);
            EXPECT_EQ(p.u.ad.dephault, 0);
            break;
        default:
            break;
        }
    }
    PF_ParamDef const& about = params[raydrift::kParamAboutPanel];
    EXPECT_EQ(about.ui_width, 360);
    EXPECT_EQ(about.ui_height, 240 + 38 * static_cast<int>(raydrift::ui::gpuNames().size()));
    PF_ParamDef const& histogram = params[raydrift::kParamHistogram];
    EXPECT_EQ(histogram.ui_width, 300);
    EXPECT_EQ(histogram.ui_height, 126);
}

TEST(HostParameters, ListAsEachHostLearnsIt) {
    for (HostKind kind : {HostKind::AfterEffects, HostKind::Premiere}) {
        Host host(hostsim::defaultPluginPath(), kind);
        checkList(host.params(), kind == HostKind::Premiere);
        const hostsim::ParamsSetupResult again = host.setupParameters();
        EXPECT_EQ(again.err, PF_Err_NONE);
        EXPECT_EQ(again.numParams, 62);
        EXPECT_TRUE(again.uiRegistered);
        EXPECT_EQ(again.uiEvents, PF_CustomEFlag_EFFECT);
    }
}

// The same list from the plug-in code linked into this program.
TEST(HostParameters, StaticallyLinkedPluginGivesTheSameList) {
    Host host(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
    checkList(host.params(), false);
}

// The first add_param error ends set-up there: nothing after it is added, the custom
// controls are not registered and num_params stays unset.
TEST(HostParameters, AddParamFailureStopsAtThatParameter) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    for (int failAt : {1, 9, 30, 61}) {
        const hostsim::ParamsSetupResult r = host.setupParameters(failAt, PF_Err_OUT_OF_MEMORY);
        EXPECT_EQ(r.err, PF_Err_OUT_OF_MEMORY);
        EXPECT_EQ(r.added.size(), static_cast<std::size_t>(failAt - 1));
        EXPECT_FALSE(r.uiRegistered);
        EXPECT_EQ(r.numParams, 0);
    }
    EXPECT_EQ(host.setupParameters(5, PF_Err_INTERNAL_STRUCT_DAMAGED).err, PF_Err_INTERNAL_STRUCT_DAMAGED);
}

TEST(HostParameters, AboutPanelHeightFollowsTheGpuNames) {
    EXPECT_EQ(raydrift::aboutPanelHeight(0), 240);
    EXPECT_EQ(raydrift::aboutPanelHeight(3), 354);
    EXPECT_EQ(raydrift::aboutPanelHeight(100), 4040);
    EXPECT_EQ(raydrift::aboutPanelHeight(250), 4040);
    // Without CUDA or OpenCL GPUs the list is the fixed line alone.
    ASSERT_FALSE(raydrift::ui::gpuNames().empty());
    if (raydrift::ui::gpuNames()[0] == u"No GPU hardware reported by the system.") {
        EXPECT_EQ(raydrift::ui::gpuNames().size(), 1u);
    }
}

// Saved with every parameter at its default, a project renders with the documented
// settings.
TEST(HostParameters, DefaultsGiveTheDocumentedSettings) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    const raydrift::RenderSettings s = settingsOf(host.defaults(), 0.0);
    EXPECT_FLOAT_EQ(s.lowCut, 0.396f);
    EXPECT_EQ(s.length, 200.0f);
    EXPECT_EQ(s.opacity, 1.0f);
    EXPECT_EQ(s.intensity, 1.0f);
    EXPECT_EQ(s.view, raydrift::ViewMode::Performance);
    EXPECT_TRUE(s.performance);
    EXPECT_EQ(s.blendMode, raydrift::BlendMode::Normal);
    EXPECT_EQ(s.edgeMode, raydrift::EdgeMode::Clamp);
    EXPECT_EQ(s.channels, 0);
    EXPECT_EQ(s.tintR, 0.0f);
    EXPECT_EQ(s.tintG, 1.0f);
    EXPECT_EQ(s.tintB, 1.0f);
    EXPECT_EQ(s.tint, 0.0f);
    EXPECT_TRUE(s.useGpu);
}

}  // namespace
}  // namespace hosttest

// The command line's own logic: parameter names and values, frame patterns, and the
// benchmark scenarios reached through the plug-in's parameters.
#include <gtest/gtest.h>

#include "cli_error.h"
#include "hostsim.h"
#include "param_names.h"
#include "scenes.h"
#include "sequence.h"
#include "settings/param_indices.h"
#include "settings/parameters.h"
#include "settings/render_settings.h"

namespace raydrift::cli {
namespace {

class PluginParams : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        host = new hostsim::Host(hostsim::defaultPluginPath(), hostsim::HostKind::AfterEffects);
    }
    static void TearDownTestSuite() {
        delete host;
        host = nullptr;
    }
    static hostsim::Host* host;
};
hostsim::Host* PluginParams::host = nullptr;

template <class F>
std::string usageMessage(F&& f) {
    try {
        f();
    } catch (UsageError const& e) {
        EXPECT_EQ(e.exitCode, kExitUsage);
        return e.what();
    }
    ADD_FAILURE() << "no usage error";
    return {};
}

TEST_F(PluginParams, NamesResolveByUniquePathSuffix) {
    const auto params = describeParams(host->params());
    ASSERT_EQ(params.size(), static_cast<std::size_t>(kParamCount));
    EXPECT_EQ(findParam(params, "Blend Mode").index, kParamBlendMode);
    EXPECT_EQ(findParam(params, "  blend mode ").index, kParamBlendMode);
    EXPECT_EQ(findParam(params, "Threshold").index, kParamThreshold);
    EXPECT_EQ(findParam(params, "Streak/Length").index, kParamLength);
    EXPECT_EQ(findParam(params, "Jitter/Length").index, kParamJitterLength);
    EXPECT_EQ(findParam(params, "Jitter/Length/Amount").index, kParamLengthJitterAmount);
    EXPECT_EQ(findParam(params, "Width/Speed").index, kParamWidthJitterSpeed);
    EXPECT_EQ(findParam(params, "Chromatic Aberration/Amount").index, kParamChromaticAmount);
    // A name found at several depths means the shallowest.
    EXPECT_EQ(findParam(params, "Length").index, kParamLength);
    EXPECT_EQ(findParam(params, "width").index, kParamWidth);
    EXPECT_EQ(findParam(params, "Amount").index, kParamChromaticAmount);

    // Hidden placeholders and group headings cannot be set, and a repeated name lists
    // the qualified names that resolve it.
    EXPECT_NE(usageMessage([&] { findParam(params, "Reserved"); }).find("unknown parameter"), std::string::npos);
    const std::string ambiguous = usageMessage([&] { findParam(params, "Speed"); });
    EXPECT_NE(ambiguous.find("ambiguous"), std::string::npos);
    EXPECT_NE(ambiguous.find("\"Style/Jitter/Width/Speed\""), std::string::npos) << ambiguous;
    const std::string unknown = usageMessage([&] { findParam(params, "Glow"); });
    EXPECT_NE(unknown.find("\"Style/Blend Mode\""), std::string::npos) << unknown;
}

TEST_F(PluginParams, ValuesInTheUnitsOfTheControls) {
    const auto params = describeParams(host->params());
    std::vector<PF_ParamDef> defs = host->defaults();
    auto set = [&](std::string const& name, std::string const& value) {
        ParamInfo const& p = findParam(params, name);
        applyValue(p, value, defs[static_cast<std::size_t>(p.index)]);
        return defs[static_cast<std::size_t>(p.index)];
    };
    EXPECT_EQ(set("Threshold", "55.5%").u.fs_d.value, 55.5);
    EXPECT_EQ(set("Blend Mode", "screen").u.pd.value, 4);
    EXPECT_EQ(set("Blend Mode", "Exclusion").u.pd.value, 14);
    EXPECT_EQ(set("Direction", "-270").u.ad.value, -270 * 65536);
    EXPECT_EQ(set("Direction", "12.5").u.ad.value, 12.5 * 65536);
    EXPECT_EQ(set("Invert", "on").u.bd.value, 1);
    EXPECT_EQ(set("Invert", "off").u.bd.value, 0);
    const PF_Pixel hex = set("Color", "#FF8000").u.cd.value;
    EXPECT_EQ(hex.red, 255);
    EXPECT_EQ(hex.green, 128);
    EXPECT_EQ(hex.blue, 0);
    const PF_Pixel rgb = set("Color", "1, 2,3").u.cd.value;
    EXPECT_EQ(rgb.red + rgb.green * 10 + rgb.blue * 100, 321);

    for (auto [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"Length", "1000.5"}, {"Length", "-1"}, {"Length", "nan"}, {"Length", "inf"},
             {"Length", "12px"}, {"Blend Mode", "Glow"}, {"Invert", "maybe"}, {"Color", "#12345"},
             {"Color", "256,0,0"}, {"Direction", "1e9"}}) {
        const std::string msg = usageMessage([&] { set(name, value); });
        EXPECT_NE(msg.find("accepted"), std::string::npos) << name << "=" << value << ": " << msg;
    }
    EXPECT_NE(usageMessage([&] { set("Blend Mode", "Glow"); }).find("Screen"), std::string::npos);
    EXPECT_NE(usageMessage([&] { splitAssignment("Length"); }).find("Name=value"), std::string::npos);
    EXPECT_EQ(splitAssignment(" Blend Mode = Screen ").second, "Screen");
}

// The bench command reaches each scenario through the plug-in's parameters; it must
// arrive at exactly the settings the engine benchmark uses, or the two tables would not
// compare.
TEST_F(PluginParams, ScenariosReachTheirSettingsThroughParameters) {
    const auto params = describeParams(host->params());
    for (bench::Scenario const& s : bench::standardScenarios()) {
        std::vector<PF_ParamDef> defs = host->defaults();
        applyAssignments(params, scenarioAssignments(s.name), defs);
        std::vector<PF_ParamDef*> pointers;
        for (PF_ParamDef& d : defs) pointers.push_back(&d);
        EXPECT_EQ(SettingsFromParams(pointers.data(), 0.0), s.settings) << s.name;
    }
}

TEST(FramePatterns, HashesAndPrintfStyle) {
    auto p = findFramePattern("dir.v2/shot.####.exr");
    ASSERT_TRUE(p);
    EXPECT_EQ(framePath(*p, 7), "dir.v2/shot.0007.exr");
    EXPECT_EQ(framePath(*p, 123456), "dir.v2/shot.123456.exr");
    p = findFramePattern("shot.%04d.exr");
    ASSERT_TRUE(p);
    EXPECT_EQ(framePath(*p, 42), "shot.0042.exr");
    p = findFramePattern("shot_%d.png");
    ASSERT_TRUE(p);
    EXPECT_EQ(framePath(*p, 42), "shot_42.png");
    EXPECT_FALSE(findFramePattern("a#b/shot.exr"));
    EXPECT_FALSE(findFramePattern("100%.png"));

    EXPECT_EQ(parseFrameRange("1-120").last, 120);
    EXPECT_EQ(parseFrameRange("7").first, 7);
    for (const char* bad : {"", "5-1", "-3", "a-b", "1-", "1--2", "9999999999"})
        EXPECT_THROW(parseFrameRange(bad), UsageError) << bad;
}

}  // namespace
}  // namespace raydrift::cli

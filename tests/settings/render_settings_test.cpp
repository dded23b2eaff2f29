#include "settings/parameters.h"
#include "settings/render_settings.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>

#include "AE_Effect.h"
#include "settings/param_indices.h"

namespace {

using namespace raydrift;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A host parameter array in which only the render parameters exist, as a host that
// checked out just those would hand it over. Values start at the effect's defaults.
struct Params {
    std::array<PF_ParamDef, kParamCount> defs{};
    std::array<PF_ParamDef*, kParamCount> array{};

    Params() {
        std::memset(defs.data(), 0, sizeof(defs));
        for (int index : kRenderParameterIndices) array[index] = &defs[index];
        check(kParamUseGpu, 1);
        menu(kParamView, 1);
        menu(kParamOutput, 1);
        slider(kParamThreshold, 39.6);
        slider(kParamLength, 200);
        slider(kParamIntensity, 100);
        menu(kParamBlendMode, 1);
        menu(kParamEdgeMode, 2);
        menu(kParamChannels, 1);
        slider(kParamLengthJitterSpeed, 25);
        slider(kParamLengthJitterAmount, 20);
        slider(kParamWidthJitterSpeed, 25);
        slider(kParamWidthJitterAmount, 20);
        defs[kParamTintColor].u.cd.value = {255, 0, 255, 255};
    }
    void check(int i, int v) { defs[i].u.bd.value = v; }
    void menu(int i, int v) { defs[i].u.pd.value = v; }
    void slider(int i, double v) { defs[i].u.fs_d.value = v; }
    RenderSettings read(double time = 0.0) const { return SettingsFromParams(array.data(), time); }
};

TEST(ParameterIndices, RenderTable) {
    EXPECT_EQ(kParamCount, 62);
    std::set<int> seen(kRenderParameterIndices.begin(), kRenderParameterIndices.end());
    EXPECT_EQ(seen.size(), 25u);
    EXPECT_EQ(*seen.begin(), 6);
    EXPECT_EQ(*seen.rbegin(), 48);
    EXPECT_EQ(kRenderParameterIndices.front(), kParamUseGpu);
    EXPECT_EQ(kRenderParameterIndices.back(), kParamTintMix);
}

TEST(RenderSettings, DefaultRecordIsTheDefaultProject) {
    // The record's defaults and the parameter list's defaults describe one effect: a
    // fresh instance reads back as the default record, but for the Output menu, which
    // starts on Performance, and the time.
    RenderSettings expected;
    expected.performance = true;
    expected.view = ViewMode::Performance;
    expected.time = 1.5;
    const RenderSettings s = Params().read(1.5);
    EXPECT_TRUE(s == expected);
    EXPECT_EQ(s.lowCut, expected.lowCut);
    EXPECT_EQ(s.length, expected.length);
    EXPECT_EQ(s.tintR, expected.tintR);
    EXPECT_EQ(s.tintG, expected.tintG);
    EXPECT_EQ(s.tintB, expected.tintB);
    // The menus' numbers are stored and index the GPU kernels.
    EXPECT_EQ(static_cast<int>(BlendMode::Exclusion), 13);
    EXPECT_EQ(static_cast<int>(ViewMode::Alpha), 4);
    EXPECT_EQ(static_cast<int>(EdgeMode::Transparent), 3);
    EXPECT_EQ(releaseVersion(), RAYDRIFT_PROJECT_VERSION);  // the project version, as configured
}

TEST(SettingsFromParams, IntensitySplitsIntoOpacityAndGain) {
    struct Case { double slider; float opacity, intensity; };
    const Case cases[] = {{0, 0, 1}, {40, 0.4f, 1}, {100, 1, 1}, {250, 1, 2.5f}, {1000, 1, 10},
                          {99.5, 1, 1}, {99.4, 0.99f, 1}, {0.5, 0.01f, 1}, {-3, 0, 1}, {5000, 1, 10},
                          {std::nan(""), 0, 1}};
    for (Case const& c : cases) {
        Params p;
        p.slider(kParamIntensity, c.slider);
        const RenderSettings s = p.read();
        EXPECT_EQ(s.opacity, c.opacity) << c.slider;
        EXPECT_EQ(s.intensity, c.intensity) << c.slider;
    }
}

TEST(SettingsFromParams, ViewOutputAndMenusFold) {
    struct Case { int view, output; ViewMode mode; bool performance; };
    const Case cases[] = {
        {1, 1, ViewMode::Performance, true}, {1, 2, ViewMode::Quality, false},
        {0, 2, ViewMode::Quality, false},    {-7, 1, ViewMode::Performance, true},
        {2, 1, ViewMode::Matte, true},       {2, 2, ViewMode::Matte, false},
        {3, 2, ViewMode::Black, false},      {4, 1, ViewMode::Alpha, true},
        {9, 2, ViewMode::Alpha, false},      {1, 0, ViewMode::Quality, false},
        {1, 3, ViewMode::Quality, false},
    };
    for (Case const& c : cases) {
        Params p;
        p.menu(kParamView, c.view);
        p.menu(kParamOutput, c.output);
        const RenderSettings s = p.read();
        EXPECT_EQ(s.view, c.mode) << c.view << "/" << c.output;
        EXPECT_EQ(s.performance, c.performance) << c.view << "/" << c.output;
    }
    // Other menus: 1-based; 0 and negatives give the first item, too large the last.
    struct MenuCase { int value, edge, channels, blend; };
    const MenuCase menus[] = {{0, 0, 0, 0}, {-5, 0, 0, 0}, {1, 0, 0, 0}, {3, 2, 2, 2},
                              {4, 2, 2, 3}, {14, 2, 2, 13}, {99, 2, 2, 13}};
    for (MenuCase const& m : menus) {
        Params p;
        p.menu(kParamEdgeMode, m.value);
        p.menu(kParamChannels, m.value);
        p.menu(kParamBlendMode, m.value);
        const RenderSettings s = p.read();
        EXPECT_EQ(static_cast<int>(s.edgeMode), m.edge) << m.value;
        EXPECT_EQ(s.channels, m.channels) << m.value;
        EXPECT_EQ(static_cast<int>(s.blendMode), m.blend) << m.value;
    }
}

TEST(SettingsFromParams, ValuesAndUnits) {
    Params p;
    p.check(kParamUseGpu, 0);
    p.slider(kParamThreshold, 50);
    p.slider(kParamThresholdSmooth, 12.3);
    p.check(kParamInvert, 1);
    p.slider(kParamLength, 333.3);
    p.slider(kParamWidth, 40);
    p.defs[kParamDirection].u.ad.value = 30 * 65536 + 32768;  // 30.5°
    p.check(kParamSymmetric, 7);
    p.slider(kParamDetails, 45);
    p.slider(kParamDiffraction, 250);
    p.slider(kParamChromaticAmount, 10);
    p.check(kParamJitterLength, 1);
    p.check(kParamJitterWidth, 1);
    p.slider(kParamLengthJitterSpeed, 3);
    p.slider(kParamLengthJitterAmount, 50);
    p.slider(kParamWidthJitterSpeed, 4);
    p.slider(kParamWidthJitterAmount, 6);
    p.slider(kParamTintMix, 50);
    p.defs[kParamTintColor].u.cd.value = {255, 51, 128, 0};
    const RenderSettings s = p.read(2.0);
    EXPECT_FALSE(s.useGpu);
    EXPECT_EQ(s.lowCut, 0.5f);
    EXPECT_EQ(s.lowFeather, static_cast<float>(12.3 / 100.0));
    EXPECT_TRUE(s.invert);
    EXPECT_EQ(s.length, static_cast<float>(333.3));
    EXPECT_EQ(s.width, 40.0f);
    EXPECT_EQ(s.direction, 30.5f);
    EXPECT_TRUE(s.symmetric);
    EXPECT_EQ(s.details, 0.45f);
    EXPECT_EQ(s.diffraction, 250.0f);
    EXPECT_EQ(s.chromaticAmount, 10.0f);  // not divided by 100
    EXPECT_TRUE(s.jitterLength);
    EXPECT_TRUE(s.jitterWidth);
    EXPECT_EQ(s.lengthJitterSpeed, 3.0f);
    EXPECT_EQ(s.lengthJitterAmount, 50.0f);
    EXPECT_EQ(s.widthJitterSpeed, 4.0f);
    EXPECT_EQ(s.widthJitterAmount, 6.0f);
    EXPECT_EQ(s.tint, 0.5f);
    EXPECT_EQ(s.tintR, 51.0f / 255.0f);
    EXPECT_EQ(s.tintG, 128.0f / 255.0f);
    EXPECT_EQ(s.tintB, 0.0f);
    // Negative angles pass unreduced.
    p.defs[kParamDirection].u.ad.value = -270 * 65536;
    EXPECT_EQ(p.read().direction, -270.0f);
}

TEST(Jitter, NoiseIsSplitMix64) {
    // SplitMix64 seeded with 0 first returns 0xe220a8397b1dcdaf: its state is then the
    // golden-ratio constant, which is our length seed at n = 0.
    EXPECT_EQ(jitterNoise(0, 0x9e3779b97f4a7c15ull), static_cast<float>(0xe220a8u) / 16777215.0f);
    for (std::int64_t n = -1000; n < 1000; ++n) {
        const float v = jitterNoise(n, 0xd1b54a32d192ed03ull);
        ASSERT_GE(v, 0.0f);
        ASSERT_LE(v, 1.0f);
    }
}

RenderSettings jitteredLength(float base, float amount, float speed, double time) {
    RenderSettings s;
    s.jitterLength = true;
    s.length = base;
    s.lengthJitterAmount = amount;
    s.lengthJitterSpeed = speed;
    s.time = time;
    return animatedSettings(s);
}

TEST(Jitter, LeavesValueUnlessAllInputsAreUsable) {
    const float bad[] = {0.0f, -1.0f, kNaN, kInf, -kInf};
    for (float v : bad) {
        EXPECT_EQ(jitteredLength(123.0f, v, 25.0f, 1.3).length, 123.0f) << "amount " << v;
        EXPECT_EQ(jitteredLength(123.0f, 20.0f, v, 1.3).length, 123.0f) << "speed " << v;
    }
    EXPECT_EQ(jitteredLength(123.0f, 20.0f, 25.0f, std::nan("")).length, 123.0f);
    EXPECT_EQ(jitteredLength(123.0f, 20.0f, 25.0f, HUGE_VAL).length, 123.0f);
    // Switch off: nothing moves, whatever the amounts.
    RenderSettings off;
    off.time = 3.7;
    off.lengthJitterAmount = 500;
    const RenderSettings same = animatedSettings(off);
    EXPECT_EQ(same.length, off.length);
    EXPECT_EQ(same.width, off.width);
    EXPECT_EQ(same.diffraction, off.diffraction);
    // A positive subnormal speed counts as a speed.
    EXPECT_NE(jitteredLength(123.0f, 20.0f, 1e-40f, 0.0).length, 123.0f);
}

TEST(Jitter, ValuesAndBounds) {
    // At time 0 the offset is A·(2·r0 − 1), not zero.
    const float r0 = jitterNoise(0, 0x9e3779b97f4a7c15ull);
    EXPECT_EQ(jitteredLength(200.0f, 20.0f, 25.0f, 0.0).length, 20.0f * (2.0f * r0 - 1.0f) + 200.0f);
    // On whole steps of 1/Speed the curve passes through the noise values.
    const float r3 = jitterNoise(3, 0x9e3779b97f4a7c15ull);
    EXPECT_EQ(jitteredLength(200.0f, 20.0f, 2.0f, 1.5).length, 20.0f * (2.0f * r3 - 1.0f) + 200.0f);
    // Deterministic and smooth: nearby times, nearby values.
    EXPECT_EQ(jitteredLength(200.0f, 20.0f, 25.0f, 0.77).length,
              jitteredLength(200.0f, 20.0f, 25.0f, 0.77).length);
    EXPECT_NEAR(jitteredLength(200.0f, 20.0f, 1.0f, 0.5).length,
                jitteredLength(200.0f, 20.0f, 1.0f, 0.5001).length, 0.01f);

    // Never outside the parameter ranges, even from the bounds.
    for (double t = -5.0; t < 5.0; t += 0.0731) {
        EXPECT_LE(jitteredLength(1000.0f, 300.0f, 3.0f, t).length, 1000.0f);
        EXPECT_GE(jitteredLength(0.0f, 300.0f, 3.0f, t).length, 0.0f);
        RenderSettings w;
        w.jitterWidth = true;
        w.jitterDiffraction = true;
        w.width = 500.0f;
        w.diffraction = 0.0f;
        w.widthJitterAmount = 400.0f;
        w.diffractionJitterAmount = 400.0f;
        w.time = t;
        const RenderSettings a = animatedSettings(w);
        EXPECT_LE(a.width, 500.0f);
        EXPECT_GE(a.width, 0.0f);
        EXPECT_GE(a.diffraction, 0.0f);
        EXPECT_LE(a.diffraction, 500.0f);
    }

    // Beyond ±1e12 / Speed seconds the noise is frozen at the clamp.
    EXPECT_EQ(jitteredLength(200.0f, 20.0f, 25.0f, 1e13).length,
              jitteredLength(200.0f, 20.0f, 25.0f, 1e15).length);
    EXPECT_EQ(jitteredLength(200.0f, 20.0f, 25.0f, -1e13).length,
              jitteredLength(200.0f, 20.0f, 25.0f, -1e300).length);
    const float frozen = jitterNoise(1000000000000LL, 0x9e3779b97f4a7c15ull);
    EXPECT_EQ(jitteredLength(200.0f, 20.0f, 25.0f, 1e13).length,
              20.0f * (2.0f * frozen - 1.0f) + 200.0f);
}

TEST(Jitter, ChannelsAreIndependent) {
    RenderSettings s;
    s.jitterLength = s.jitterWidth = s.jitterDiffraction = true;
    s.length = 300;
    s.width = 100;
    s.diffraction = 100;
    s.time = 0.25;
    const RenderSettings a = animatedSettings(s);
    // Three seeds: the channels do not move together.
    EXPECT_NE(a.length - s.length, a.width - s.width);
    EXPECT_NE(a.width - s.width, a.diffraction - s.diffraction);
    // Only the three targets change.
    RenderSettings b = a;
    b.length = s.length;
    b.width = s.width;
    b.diffraction = s.diffraction;
    EXPECT_TRUE(b == s);
}

}  // namespace

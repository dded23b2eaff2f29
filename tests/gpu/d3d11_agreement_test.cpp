// Frames through the CPU engine and through the Direct3D renderer on the software device,
// which runs the HLSL kernels' C++ build, and again where a Vulkan device with double
// precision is installed (Mesa's lavapipe) with the kernels as glslang's SPIR-V of the
// same HLSL text: within 2^-16 · max(|cpu|, 1) per channel, whole frames on engine images,
// the streak stage alone, and host worlds in each of their layouts.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "PrSDKPixelFormat.h"
#include "agreement_scenarios.h"
#include "gpu/windows/d3d11_backend.h"
#include "gpu_test_support.h"
#include "host/pixel_formats.h"
#include "image/frame.h"
#include "image/streak.h"
#include "scenarios.h"
#include "software_d3d11.h"

namespace raydrift::d3d11 {
namespace {

using image::Image;

Image cpuFrame(Image const& input, RenderSettings settings) {
    settings.useGpu = false;
    Image out;
    image::processFrame(input, out, settings);
    return out;
}

enum class Entry { Frame, Matte, Streaks };

// The streak stage on its own: the selection through the CPU streak generator and through
// the Direct3D entry (settings animated, as the frame driver hands them on).
bool streakStage(Image const& selection, Image& gpu, Image& cpu, RenderSettings settings, int margin,
                 std::string* reason) {
    settings = animatedSettings(settings);
    Image scratch;
    cpu = selection;
    image::generateStreak(cpu, scratch, settings, margin);
    gpu = selection;
    return streaks(gpu, scratch, settings, margin, reason);
}

// Parameter: the kernels run on Vulkan (skipped without a device) or as C++.
class D3D11Agreement : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        shutdown();  // shaders are compiled for one kind of device
        std::string device;
        if (GetParam() && !rdd3d::useVulkan(true, &device))
            GTEST_SKIP() << "no Vulkan device with double-precision shaders here";
        if (GetParam()) std::printf("kernels as SPIR-V on %s\n", device.c_str());
    }
    void TearDown() override {
        shutdown();
        rdd3d::useVulkan(false);
    }
};
INSTANTIATE_TEST_SUITE_P(Devices, D3D11Agreement, ::testing::Bool(),
                         [](::testing::TestParamInfo<bool> const& p) { return p.param ? "Vulkan" : "Cpp"; });

TEST_P(D3D11Agreement, WholeFramesAndStreakStagesMatchTheCpuEngine) {
    struct Case {
        const char* name;
        std::function<void(RenderSettings&)> set;
        bool transparent;
        Entry entry = Entry::Frame;
        bool fp64 = true;
        int margin = 0;
        bool identical = false;  // bit for bit: the stage only moves pixels
    };
    std::vector<Case> cases = {
        {"quality", [](RenderSettings&) {}, false},
        {"matte", [](RenderSettings& s) { s.view = ViewMode::Matte; }, true},
        {"performance", [](RenderSettings& s) { s.view = ViewMode::Performance; }, false},
        {"black", [](RenderSettings& s) { s.view = ViewMode::Black; }, false},
        {"alpha", [](RenderSettings& s) { s.view = ViewMode::Alpha; }, true},
        {"color dodge", [](RenderSettings& s) { s.blendMode = BlendMode::ColorDodge; s.width = 12.0f; }, false},
        {"wide box (rolling)", [](RenderSettings& s) { s.width = 300.0f; }, false},
        {"long profile (rolling)", [](RenderSettings& s) { s.length = 2400.0f; }, false},
        {"symmetric diffraction", [](RenderSettings& s) { s.symmetric = true; s.diffraction = 250.0f; }, false},
        {"direction 90 chromatic", [](RenderSettings& s) { s.direction = 90.0f; s.chromaticAmount = 10.0f; }, false},
        {"mirror edges chromatic", [](RenderSettings& s) { s.edgeMode = EdgeMode::Mirror; s.chromaticAmount = 10.0f; s.width = 20.0f; }, false},
        {"details quarter", [](RenderSettings& s) { s.details = 0.6f; s.view = ViewMode::Performance; }, false},
        {"protected tint chromatic", [](RenderSettings& s) { s.tint = 0.7f; s.chromaticAmount = 10.0f; }, true},
        {"width only", [](RenderSettings& s) { s.width = 40.0f; s.length = 0.0f; }, false},
        {"stage quality", [](RenderSettings& s) { s.width = 6.0f; }, false, Entry::Streaks},
        {"stage color dodge", [](RenderSettings& s) { s.blendMode = BlendMode::ColorDodge; s.width = 12.0f; }, false, Entry::Streaks},
        {"stage wide box (rolling)", [](RenderSettings& s) { s.width = 300.0f; }, false, Entry::Streaks},
        {"stage long profile", [](RenderSettings& s) { s.length = 2400.0f; }, false, Entry::Streaks},
        {"stage symmetric diffr.", [](RenderSettings& s) { s.symmetric = true; s.diffraction = 250.0f; }, true, Entry::Streaks},
        {"stage details margin", [](RenderSettings& s) { s.details = 0.6f; s.edgeMode = EdgeMode::Mirror; }, false, Entry::Streaks, true, 5},
        {"stage direction 90", [](RenderSettings& s) { s.direction = 90.0f; s.width = 10.0f; }, false, Entry::Streaks, true, 3},
        {"stage margin only", [](RenderSettings& s) { s.length = 0.0f; s.edgeMode = EdgeMode::Clamp; }, false, Entry::Streaks, true, 4, true},
        {"stage no fp64", [](RenderSettings& s) { s.width = 6.0f; }, false, Entry::Streaks, false},
        {"stage no fp64 diffr.", [](RenderSettings& s) { s.diffraction = 400.0f; s.direction = -20.0f; }, false, Entry::Streaks, false, 2},
    };
    for (int mode = 0; mode < 14; ++mode)
        if (mode != static_cast<int>(BlendMode::ColorDodge))
            cases.push_back({"blend", [mode](RenderSettings& s) { s.blendMode = static_cast<BlendMode>(mode); s.opacity = 0.8f; }, false});
    std::printf("%-26s %10s %10s\n", "scenario", "identical", "worst/bar");
    for (Case const& c : cases) {
        shutdown();
        rdd3d::resetFaults();
        rdd3d::faults().fp64 = c.fp64;
        RenderSettings settings = metal::baseSettings();
        c.set(settings);
        const Entry entry = settings.view == ViewMode::Matte ? Entry::Matte : c.entry;
        const Image input = bench::syntheticFrame(48, 32, c.transparent, 20, 7);
        Image gpu, cpu;
        std::string reason;
        bool rendered = false;
        if (entry == Entry::Streaks) {
            rendered = streakStage(input, gpu, cpu, settings, c.margin, &reason);
        } else {
            cpu = cpuFrame(input, settings);
            rendered = entry == Entry::Matte ? matte(input, gpu, settings, &reason) : frame(input, gpu, settings, &reason);
        }
        ASSERT_TRUE(rendered) << c.name << ": " << reason;
        const metal::Agreement a = metal::agreement(gpu, cpu);
        std::printf("%-26s %9.2f%% %10.4f\n", c.name, 100.0 * a.identicalShare, a.worst);
        ASSERT_TRUE(a.sameSize) << c.name;
        EXPECT_LE(a.worst, 1.0) << c.name;
        if (c.identical) {
            EXPECT_EQ(a.identicalShare, 1.0) << c.name;
        }
    }
    rdd3d::resetFaults();
    shutdown();
}

// A host world in each layout, rendered in place by the GPU, against the CPU's reading,
// frame and writing of the same world.
TEST_P(D3D11Agreement, HostWorldsMatchTheCpuPath) {
    rdd3d::resetFaults();
    struct Layout {
        int code;
        int format;
        int bytes;
    };
    const Layout layouts[] = {{0, PrPixelFormat_BGRA_4444_32f, 16}, {1, PrPixelFormat_BGRA_4444_8u, 4},
                              {2, PF_PixelFormat_ARGB32, 4}, {3, PF_PixelFormat_ARGB64, 8},
                              {4, PF_PixelFormat_ARGB128, 16}};
    const Image frameImage = bench::syntheticFrame(40, 24, true, 20, 3);
    for (ViewMode view : {ViewMode::Quality, ViewMode::Alpha}) {
        for (Layout const& l : layouts) {
            RenderSettings settings = metal::baseSettings();
            settings.view = view;
            settings.width = 8.0f;
            const int w = frameImage.width, h = frameImage.height;
            std::vector<unsigned char> in(static_cast<std::size_t>(w * h * l.bytes));
            PF_LayerDef world{};
            world.data = reinterpret_cast<PF_PixelPtr>(in.data());
            world.rowbytes = w * l.bytes;
            world.width = w;
            world.height = h;
            ASSERT_EQ(pixel_formats::writeWorld(frameImage, l.format, &world, false), PF_Err_NONE);
            // The CPU: read, render, write.
            Image read;
            ASSERT_EQ(pixel_formats::readWorld(&world, l.format, read), PF_Err_NONE);
            const Image cpu = cpuFrame(read, settings);
            std::vector<unsigned char> cpuBytes(in.size());
            PF_LayerDef cpuWorld = world;
            cpuWorld.data = reinterpret_cast<PF_PixelPtr>(cpuBytes.data());
            ASSERT_EQ(pixel_formats::writeWorld(cpu, l.format, &cpuWorld, view == ViewMode::Alpha), PF_Err_NONE);
            // The GPU, straight from the host bytes into the host's output.
            std::vector<unsigned char> gpuBytes(in.size());
            NativeWorld native;
            native.input = in.data();
            native.output = gpuBytes.data();
            native.width = w;
            native.height = h;
            native.inputStride = native.outputStride = w * l.bytes;
            native.inputLayout = native.outputLayout = l.code;
            std::string reason;
            ASSERT_TRUE(nativeFrame(native, settings, &reason)) << reason;
            // Back to floats through the CPU's reader, where the bar applies.
            Image gpuRead, cpuRead;
            PF_LayerDef gpuWorld = world;
            gpuWorld.data = reinterpret_cast<PF_PixelPtr>(gpuBytes.data());
            ASSERT_EQ(pixel_formats::readWorld(&gpuWorld, l.format, gpuRead), PF_Err_NONE);
            ASSERT_EQ(pixel_formats::readWorld(&cpuWorld, l.format, cpuRead), PF_Err_NONE);
            // The Alpha view writes straight colour into the premultiplied layouts, which
            // divides both renderers' rounding by alpha: compare it premultiplied again.
            if (view == ViewMode::Alpha && l.code >= 2)
                for (Image* img : {&gpuRead, &cpuRead})
                    for (image::Pixel& p : img->pixels) p = {p.r * p.a, p.g * p.a, p.b * p.a, p.a};
            const metal::Agreement a = metal::agreement(gpuRead, cpuRead);
            const bool integer = l.bytes < 16;
            std::printf("layout %d view %d: %6.2f%% identical pixels, worst %.4f\n", l.code,
                        static_cast<int>(view), 100.0 * a.identicalShare, a.worst);
            // Integer layouts: one quantisation step apart at most where rounding flips.
            EXPECT_LE(a.worst, integer ? (l.bytes == 4 ? 65536.0 / 255.0 : 2.0) : 1.0) << "layout " << l.code;
        }
    }
    shutdown();
}

}  // namespace
}  // namespace raydrift::d3d11

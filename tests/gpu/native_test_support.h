// The agreement scenarios through a CUDA or OpenCL renderer: each frame handed over as
// the first host does (premultiplied BGRA floats), compared with the CPU engine.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "agreement_scenarios.h"
#include "gpu/native_gpu.h"
#include "gpu_test_support.h"
#include "image/frame.h"

namespace raydrift::nativegpu {

// What an action threw: MemoryPressure marked "pressure: ", "" when nothing was thrown.
inline std::string failure(std::function<void()> const& action) {
    try {
        action();
    } catch (MemoryPressure const& e) {
        return std::string("pressure: ") + e.what();
    } catch (std::exception const& e) {
        return e.what();
    }
    return "";
}

// `render` takes the frame description and the input bytes and returns the output bytes.
// `allocations` counts the host's device allocations: a second frame of the same size
// must make none.
using RenderBytes =
    std::function<std::vector<std::uint8_t>(Frame const&, std::vector<std::uint8_t> const&, RenderSettings const&)>;

inline void expectScenarioAgreement(const char* backend, int const* allocations, RenderBytes const& render) {
    std::vector<metal::Scenario> list = metal::scenarios();
    for (BlendMode mode : {BlendMode::ColorDodge, BlendMode::ColorBurn})
        list.push_back({mode == BlendMode::ColorDodge ? "color dodge" : "color burn", [mode](RenderSettings& s) {
                            s.blendMode = mode;
                            s.width = 12.0f;
                        }});
    std::printf("%-34s %10s %12s\n", (std::string("scenario (") + backend + ")").c_str(), "identical", "worst/bar");
    for (metal::Scenario const& scenario : list) {
        RenderSettings settings = metal::baseSettings();
        scenario.set(settings);
        const image::Image input = metal::testFrame(scenario.transparent);
        RenderSettings cpuSettings = settings;
        cpuSettings.useGpu = false;
        image::Image cpu;
        image::processFrame(input, cpu, cpuSettings);
        if (settings.view == ViewMode::Alpha) {
            // The host receives the Alpha view unpremultiplied.
            for (image::Pixel& p : cpu.pixels) {
                p.a = std::clamp(p.a, 0.0f, 1.0f);
                const float k = p.a > 1e-6f ? static_cast<float>(1.0 / static_cast<double>(p.a)) : 0.0f;
                p = {p.r * k, p.g * k, p.b * k, p.a};
            }
        }
        std::vector<std::uint8_t> bytes(input.pixels.size() * 16);
        for (std::size_t i = 0; i < input.pixels.size(); ++i) {
            image::Pixel const& p = input.pixels[i];
            const float bgra[4] = {p.b, p.g, p.r, p.a};
            std::memcpy(bytes.data() + 16 * i, bgra, 16);
        }
        Frame frame;
        frame.width = input.width;
        frame.height = input.height;
        frame.inPitch = frame.outPitch = input.width * 16;
        const std::vector<std::uint8_t> out = render(frame, bytes, settings);
        image::Image gpu(input.width, input.height);
        for (std::size_t i = 0; i < gpu.pixels.size(); ++i) {
            float v[4];
            std::memcpy(v, out.data() + 16 * i, 16);
            gpu.pixels[i] = {v[2], v[1], v[0], v[3]};
        }
        if (scenario.name == "quality") {
            const int before = *allocations;
            render(frame, bytes, settings);
            EXPECT_EQ(*allocations, before) << "the second frame of a size reuses every buffer";
        }
        const metal::Agreement a = metal::agreement(gpu, cpu);
        std::printf("%-34s %9.2f%% %12.4f\n", scenario.name.c_str(), 100.0 * a.identicalShare, a.worst);
        EXPECT_LE(a.worst, 1.0) << scenario.name;
        if (scenario.exact) {
            EXPECT_EQ(a.identicalShare, 1.0) << scenario.name;
        }
    }
}

}  // namespace raydrift::nativegpu

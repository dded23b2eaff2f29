// The same frames through the CPU engine and through the GPU renderer on the software
// Metal device: bit-identical where the renderers promise it, otherwise within a 16-bit
// step (2^-16 relative above 1, absolute below), per channel.
#include <cstdio>

#include "gpu/metal_frame.h"
#include "agreement_scenarios.h"
#include "gpu_test_support.h"
#include "image/frame.h"

namespace raydrift::metal {
namespace {

using image::Image;

class GpuAgreementTest : public SoftwareGpuTest {};

TEST_F(GpuAgreementTest, FramesMatchTheCpuEngine) {
    std::printf("%-34s %10s %12s\n", "scenario", "identical", "worst/bar");
    for (Scenario const& scenario : scenarios()) {
        RenderSettings settings = baseSettings();
        scenario.set(settings);
        const Image input = testFrame(scenario.transparent);

        RenderSettings cpuSettings = settings;
        cpuSettings.useGpu = false;
        Image cpu;
        image::processFrame(input, cpu, cpuSettings);

        Image gpu;
        std::string reason;
        const bool rendered = frame(input, gpu, settings, &reason);
        ASSERT_TRUE(rendered) << scenario.name << ": " << reason;
        const Agreement a = agreement(gpu, cpu);
        std::printf("%-34s %9.2f%% %12.4f\n", scenario.name.c_str(), 100.0 * a.identicalShare, a.worst);
        ASSERT_TRUE(a.sameSize) << scenario.name;
        EXPECT_LE(a.worst, 1.0) << scenario.name;
        if (scenario.exact) {
            EXPECT_EQ(a.identicalShare, 1.0) << scenario.name;
        } else {
            // Streaks drawn: a frame equal to its input would agree without proving anything.
            EXPECT_LT(agreement(cpu, input).identicalShare, 0.8) << scenario.name;
        }
    }
}

}  // namespace
}  // namespace raydrift::metal

// The GPU frame renderer on the software Metal device next to the CPU engine, per
// standard scenario. The software device runs the kernels' C++ build on CPU threads: its
// speed says nothing about a real GPU, only what the tests and the fuzzer pay.
//
//   build/bench/raydrift_gpu_bench --benchmark_filter=quality-1080p
#include <benchmark/benchmark.h>

#include <string>

#include "gpu/metal_context.h"
#include "gpu/metal_frame.h"
#include "image/frame.h"
#include "metal_seam.h"
#include "scenarios.h"
#include "software/software_device.h"

namespace {

using raydrift::bench::Scenario;

void cpuFrame(benchmark::State& state, Scenario const& scenario) {
    const raydrift::image::Image input = raydrift::bench::syntheticFrame(scenario.width, scenario.height,
                                                                         scenario.transparentBorder);
    raydrift::image::Image output;
    for (auto _ : state) raydrift::image::processFrame(input, output, scenario.settings);
}

void softwareGpuFrame(benchmark::State& state, Scenario const& scenario) {
    const raydrift::image::Image input = raydrift::bench::syntheticFrame(scenario.width, scenario.height,
                                                                         scenario.transparentBorder);
    raydrift::RenderSettings settings = scenario.settings;
    settings.useGpu = true;
    raydrift::image::Image output;
    std::string reason;
    for (auto _ : state)
        if (!raydrift::metal::frame(input, output, settings, &reason)) {
            state.SkipWithError(reason.c_str());
            break;
        }
}

}  // namespace

int main(int argc, char** argv) {
    MTL::Device* device = rdmtl::newSoftwareDevice();
    rdmtl::installSystemDefaultDevice(device);
    device->release();
    for (Scenario const& scenario : raydrift::bench::standardScenarios()) {
        benchmark::RegisterBenchmark(("cpu/" + scenario.name).c_str(), cpuFrame, scenario)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(("software-gpu/" + scenario.name).c_str(), softwareGpuFrame, scenario)
            ->Unit(benchmark::kMillisecond)->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    raydrift::metal::shutdown();
    rdmtl::installSystemDefaultDevice(nullptr);
    return 0;
}

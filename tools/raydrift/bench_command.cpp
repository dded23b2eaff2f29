// `raydrift bench`: the standard frame scenarios rendered through the plug-in as a host
// would (float worlds, smart render), next to the engine called directly, so the cost of
// the host boundary shows.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "cli_error.h"
#include "commands.h"
#include "gpu_choice.h"
#include "image/frame.h"
#include "param_names.h"
#include "scenes.h"
#include "worlds.h"

namespace raydrift::cli {

namespace {

struct Timing {
    double median = 0, min = 0, max = 0;
};

// The milliseconds one call of `run` takes.
template <class F>
double timed(F&& run) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

Timing summarize(std::vector<double> ms) {
    if (ms.empty()) return {};
    std::sort(ms.begin(), ms.end());
    const std::size_t n = ms.size();
    return {n % 2 ? ms[n / 2] : 0.5 * (ms[n / 2 - 1] + ms[n / 2]), ms.front(), ms.back()};
}

// Frames rendered before the timed ones: first-touch allocations, caches, and the
// plug-in's working images settling into their sizes.
constexpr int kWarmUpFrames = 2;

// The process's resident peak is reset before each scenario (Linux's clear_refs), so the
// figure is that scenario's own peak; -1 where the system does not say.
void resetPeakMemory() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double peakMemoryMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return -1.0;
}

hostsim::World floatWorld(image::Image const& img, int format) {
    hostsim::World w(img.width, img.height, format);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            image::Pixel const& p = img.pixels[std::size_t(y) * std::size_t(img.width) + std::size_t(x)];
            const float argb[4] = {p.a, p.r, p.g, p.b};
            w.set(x, y, argb);
        }
    return w;
}

}  // namespace

int benchCommand(Args args) {
    const PluginOptions options = takePluginOptions(args);
    int iterations = 10;
    bool json = false, list = false, engine = true;
    GpuMode gpuMode = GpuMode::Off;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string v;
        if (takeValue(args, i, "--iterations", v)) {
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (!end || *end || n < 1 || n > 10000)
                throw UsageError("--iterations expects a whole number from 1 to 10000, got \"" + v + "\"");
            iterations = static_cast<int>(n);
        } else if (takeValue(args, i, "--gpu", v)) {
            gpuMode = parseGpuMode(v);
        } else if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--list") {
            list = true;
        } else if (args[i] == "--no-engine") {
            engine = false;
        } else if (!args[i].empty() && args[i][0] == '-') {
            throw UsageError("unknown option \"" + args[i] + "\" for bench (see raydrift help)");
        } else {
            names.push_back(args[i]);
        }
    }

    const std::vector<bench::Scenario> all = bench::standardScenarios();
    std::vector<bench::Scenario> chosen;
    if (names.empty()) chosen = all;
    for (std::string const& n : names) {
        bench::Scenario const* s = bench::findScenario(all, n);
        if (!s) {
            std::string known;
            for (bench::Scenario const& k : all) known += (known.empty() ? "" : ", ") + k.name;
            throw UsageError("unknown scenario \"" + n + "\"; known: " + known);
        }
        chosen.push_back(*s);
    }
    if (list) {
        for (bench::Scenario const& s : chosen) std::printf("%s\n", s.name.c_str());
        return 0;
    }

    const auto host = loadHost(options);
    const std::vector<ParamInfo> params = describeParams(host->params());
    const int format = worldFormat(host->kind(), 32);
    bool gpu = false;
    if (const std::optional<hostsim::GpuDevice> device = pickGpuDevice(gpuMode)) {
        gpu = offerGpuDevice(*host, *device);
        std::fprintf(stderr, gpu ? "device: %s\n" : "device: %s declined by the plug-in; timing the CPU\n",
                     deviceLabel(*device).c_str());
    } else if (gpuMode != GpuMode::Off) {
        std::fprintf(stderr, "no GPU device; timing the CPU\n");
    }

    if (json) std::printf("[\n");
    else if (gpu)
        std::printf("%-20s %-10s %9s %9s %9s %8s %9s %10s %10s\n", "scenario", "size", "median ms", "min ms",
                    "max ms", "MP/s", "peak MiB", "GPU ms", "engine ms");
    else
        std::printf("%-20s %-10s %9s %9s %9s %8s %9s %10s\n", "scenario", "size", "median ms", "min ms",
                    "max ms", "MP/s", "peak MiB", "engine ms");
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        bench::Scenario const& s = chosen[k];
        hostsim::FrameRequest request;
        request.params = host->defaults();
        applyAssignments(params, scenarioAssignments(s.name), request.params);
        // The scenarios time the CPU engine unless a device was offered.
        if (gpu) applyAssignments(params, {"Use GPU=on"}, request.params);
        request.gpu = gpu;
        std::vector<double> gpuMs;  // the render command and the device's work, per frame
        long cpuFrames = 0;

        resetPeakMemory();
        Timing host_ms, engine_ms;
        double peak = -1.0;
        {
            const image::Image src = bench::syntheticFrame(s.width, s.height, s.transparentBorder);
            const hostsim::World input = floatWorld(src, format);
            hostsim::World output(s.width, s.height, format);
            PF_Err err = PF_Err_NONE;
            auto hostFrame = [&] {
                hostsim::SmartTrace trace;
                const PF_Err e = host->render(input, output, request, &trace);
                if (e) err = e;
                if (trace.gpuRendered) gpuMs.push_back(trace.gpuMilliseconds);
                else cpuFrames += gpu;
            };
            image::Image dst;
            auto engineFrame = [&] { image::processFrame(src, dst, s.settings); };
            for (int i = 0; i < kWarmUpFrames; ++i) hostFrame();
            peak = peakMemoryMiB();  // the plug-in's own: the engine has not run yet
            gpuMs.clear();
            cpuFrames = 0;
            if (engine)
                for (int i = 0; i < kWarmUpFrames; ++i) engineFrame();
            // The plug-in and the engine take turns frame by frame: load that comes and
            // goes on the machine meets both alike instead of showing as host cost.
            std::vector<double> hostTimes, engineTimes;
            for (int i = 0; i < iterations; ++i) {
                hostTimes.push_back(timed(hostFrame));
                if (engine) engineTimes.push_back(timed(engineFrame));
            }
            host_ms = summarize(hostTimes);
            engine_ms = summarize(engineTimes);
            if (err) throw CliError("scenario " + s.name + ": the effect returned error " + std::to_string(err));
        }
        const double mps = s.width * double(s.height) / (host_ms.median * 1000.0);
        double gpuMedian = -1.0;
        if (!gpuMs.empty()) {
            std::sort(gpuMs.begin(), gpuMs.end());
            const std::size_t n = gpuMs.size();
            gpuMedian = n == 0 ? -1.0 : n % 2 ? gpuMs[n / 2] : 0.5 * (gpuMs[n / 2 - 1] + gpuMs[n / 2]);
        }
        if (gpu && cpuFrames > 0)
            std::fprintf(stderr, "%s: %ld frame(s) rendered on the CPU (the plug-in declined the GPU)\n",
                         s.name.c_str(), cpuFrames);
        char size[32];
        std::snprintf(size, sizeof size, "%dx%d", s.width, s.height);
        if (json) {
            std::printf("  {\"scenario\": \"%s\", \"width\": %d, \"height\": %d, \"iterations\": %d, "
                        "\"median_ms\": %.3f, \"min_ms\": %.3f, \"max_ms\": %.3f, \"megapixels_per_s\": %.2f, "
                        "\"peak_mib\": %.1f",
                        s.name.c_str(), s.width, s.height, iterations, host_ms.median, host_ms.min,
                        host_ms.max, mps, peak);
            if (gpu) std::printf(", \"gpu_median_ms\": %.3f", gpuMedian);
            if (engine) std::printf(", \"engine_median_ms\": %.3f", engine_ms.median);
            std::printf("}%s\n", k + 1 < chosen.size() ? "," : "");
        } else {
            std::printf("%-20s %-10s %9.2f %9.2f %9.2f %8.1f %9.1f", s.name.c_str(), size, host_ms.median,
                        host_ms.min, host_ms.max, mps, peak);
            if (gpu) std::printf(" %10.2f", gpuMedian);
            if (engine) std::printf(" %10.2f", engine_ms.median);
            std::printf("\n");
        }
        std::fflush(stdout);
    }
    if (json) std::printf("]\n");
    return 0;
}

}  // namespace raydrift::cli

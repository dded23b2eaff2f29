// Whole frames through the CPU renderer, per standard scenario, plus a per-stage
// breakdown that follows the frame driver's own sequence of calls.
//
//   build/bench/raydrift_frame_bench                       every scenario, median of 5
//   build/bench/raydrift_frame_bench --benchmark_filter=frame/quality-4k
//
// Times: wall clock, and the CPU time of every thread of the process (on a busy machine
// the second still shows the work a frame takes). Counters: peak_MiB is the most heap memory the frame held beyond its input and output
// (measured once, outside the timed loop, by counting operator new) when the output is
// reused from the previous frame; peak_frames is the same in frame-sized float RGBA
// buffers; fresh_frames is the same for a frame rendered into a new, empty output (its
// own w × h pixels not counted). stage_* counters are milliseconds per frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image/frame.h"
#include "scenarios.h"

// ---- heap accounting: every allocation of the process goes through these -------------

namespace {
std::atomic<long long> liveBytes{0};
std::atomic<long long> peakBytes{0};

void noteAllocation(std::size_t size) {
    const long long now = liveBytes.fetch_add(static_cast<long long>(size)) + static_cast<long long>(size);
    long long peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
}

// The block size is kept in a 16-byte header so that delete can account for it.
constexpr std::size_t kHeader = 16;

void* allocate(std::size_t size) {
    void* block = std::malloc(size + kHeader);
    if (block == nullptr) throw std::bad_alloc();
    *static_cast<std::size_t*>(block) = size;
    noteAllocation(size);
    return static_cast<char*>(block) + kHeader;
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    void* block = static_cast<char*>(p) - kHeader;
    liveBytes.fetch_sub(static_cast<long long>(*static_cast<std::size_t*>(block)));
    std::free(block);
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

using raydrift::RenderSettings;
using raydrift::bench::Scenario;
using raydrift::image::Image;
namespace img = raydrift::image;

double frameBytes(Scenario const& s) { return 16.0 * s.width * s.height; }

// Peak heap beyond what is live on entry (the input and a sized output), for one frame.
long long peakOfOneFrame(Image const& src, Image& dst, RenderSettings const& settings) {
    const long long before = liveBytes.load();
    peakBytes.store(before);
    img::processFrame(src, dst, settings);
    return peakBytes.load() - before;
}

void frameBenchmark(benchmark::State& state, Scenario const& scenario) {
    const Image src = raydrift::bench::syntheticFrame(scenario.width, scenario.height,
                                                      scenario.transparentBorder);
    Image dst;
    // A fresh output, as a host that allocates one per frame hands it over: everything the
    // frame allocates beyond the output's own w × h pixels counts.
    Image fresh;
    const long long freshPeak = peakOfOneFrame(src, fresh, scenario.settings);
    img::processFrame(src, dst, scenario.settings);  // sizes dst like the host's output
    const long long peak = peakOfOneFrame(src, dst, scenario.settings);
    for (auto _ : state) {
        img::processFrame(src, dst, scenario.settings);
        benchmark::DoNotOptimize(dst.pixels.data());
        benchmark::ClobberMemory();
    }
    state.counters["peak_MiB"] = static_cast<double>(peak) / (1024.0 * 1024.0);
    state.counters["peak_frames"] = static_cast<double>(peak) / frameBytes(scenario);
    state.counters["fresh_frames"] =
        static_cast<double>(freshPeak) / frameBytes(scenario) - 1.0;
}

// The same frame with its input and output in a host's layout (float ARGB), which the
// engine reads and writes span by span: next to frame/, the cost of working on a host's
// worlds instead of its own images.
void rowsBenchmark(benchmark::State& state, Scenario const& scenario) {
    const Image src = raydrift::bench::syntheticFrame(scenario.width, scenario.height,
                                                      scenario.transparentBorder);
    const std::size_t w = static_cast<std::size_t>(scenario.width);
    std::vector<float> input(src.pixels.size() * 4), output(input.size());
    for (std::size_t i = 0; i < src.pixels.size(); ++i) {
        img::Pixel const& p = src.pixels[i];
        const float argb[4] = {p.a, p.r, p.g, p.b};
        std::memcpy(&input[4 * i], argb, sizeof argb);
    }
    img::FrameRows rows;
    rows.width = scenario.width;
    rows.height = scenario.height;
    rows.read = [&](int y, int x, int count, img::Pixel* pixels) {
        float const* q = &input[(static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)) * 4];
        for (int i = 0; i < count; ++i, q += 4) pixels[i] = {q[1], q[2], q[3], q[0]};
    };
    rows.write = [&](int y, int x, int count, img::Pixel const* pixels) {
        float* q = &output[(static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)) * 4];
        for (int i = 0; i < count; ++i, q += 4) {
            const float argb[4] = {pixels[i].a, pixels[i].r, pixels[i].g, pixels[i].b};
            std::memcpy(q, argb, sizeof argb);
        }
    };
    Image source, scratch;
    img::processFrame(rows, source, scratch, scenario.settings);
    for (auto _ : state) {
        img::processFrame(rows, source, scratch, scenario.settings);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
}

// ---- per-stage breakdown ---------------------------------------------------------------

using Clock = std::chrono::steady_clock;

struct StageTimes {
    std::vector<std::string> names;
    std::vector<double> ms;
    Clock::time_point last = Clock::now();
    std::size_t next = 0;
    void start() {
        next = 0;
        last = Clock::now();
    }
    void lap(char const* name) {
        const Clock::time_point now = Clock::now();
        if (next == names.size()) {
            names.emplace_back(name);
            ms.push_back(0.0);
        }
        ms[next++] += std::chrono::duration<double, std::milli>(now - last).count();
        last = now;
    }
};

// The frame driver's own stages for the Normal, Black and Alpha views, timed one by one
// through its stage hook, so that each stage's share of a frame can be read off.
void runStages(Image const& src, Image& dst, RenderSettings const& settings, StageTimes& t) {
    const img::FramePlan plan = img::planFrame(src.width, src.height, settings);
    t.start();
    img::renderPlan(src, dst, plan, [&t](char const* stage) { t.lap(stage); });
}

void stageBenchmark(benchmark::State& state, Scenario const& scenario) {
    const Image src = raydrift::bench::syntheticFrame(scenario.width, scenario.height,
                                                      scenario.transparentBorder);
    Image dst;
    StageTimes times;
    runStages(src, dst, scenario.settings, times);
    times = StageTimes{};
    for (auto _ : state) {
        runStages(src, dst, scenario.settings, times);
        benchmark::DoNotOptimize(dst.pixels.data());
    }
    for (std::size_t i = 0; i < times.names.size(); ++i)
        state.counters[times.names[i]] =
            benchmark::Counter(times.ms[i], benchmark::Counter::kAvgIterations);
}

// The machine's memory bandwidth, next to which the passes' costs read: a copy of a
// buffer far beyond the caches (bytes read plus bytes written, per second), on one
// thread and on two.
void memoryCopy(benchmark::State& state) {
    const std::size_t bytes = std::size_t{256} << 20;
    const int threads = static_cast<int>(state.range(0));
    std::vector<char> from(bytes, 1), to(bytes, 0);
    for (auto _ : state) {
        std::vector<std::thread> workers;
        const std::size_t share = bytes / static_cast<std::size_t>(threads);
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                std::memcpy(to.data() + share * static_cast<std::size_t>(t),
                            from.data() + share * static_cast<std::size_t>(t), share);
            });
        for (std::thread& w : workers) w.join();
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) * 2 * static_cast<long long>(bytes));
}

}  // namespace

int main(int argc, char** argv) {
    static const std::vector<Scenario> scenarios = raydrift::bench::standardScenarios();
    for (Scenario const& s : scenarios) {
        benchmark::RegisterBenchmark(("frame/" + s.name).c_str(), frameBenchmark, s)
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->UseRealTime()
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    }
    for (Scenario const& s : scenarios) {
        benchmark::RegisterBenchmark(("rows/" + s.name).c_str(), rowsBenchmark, s)
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->UseRealTime()
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    }
    for (Scenario const& s : scenarios) {
        if (s.settings.view == raydrift::ViewMode::Matte) continue;
        benchmark::RegisterBenchmark(("stages/" + s.name).c_str(), stageBenchmark, s)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Repetitions(3)
            ->ReportAggregatesOnly(true);
    }
    benchmark::RegisterBenchmark("memory/copy-256MiB", memoryCopy)
        ->Arg(1)
        ->Arg(2)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

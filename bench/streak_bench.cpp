// Streak generation over the settings that size its work: Length, Width, Direction (0 is
// the nearest-pixel path, 30 the bilinear one) and Diffraction (250 replaces the two blurs
// by the modulated pass), at 1080p and 2160p. The cost per pixel must not grow with Length
// or Width, so compare rows that differ only in those.
//
//   raydrift_streak_bench --benchmark_filter='h:1080/' --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <random>

#include "image/diffraction.h"
#include "image/streak.h"

namespace {

using raydrift::RenderSettings;
using raydrift::image::Image;

Image selection(int w, int h) {
    Image img(w, h);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    // Sparse bright spots, as a thresholded frame would give.
    for (auto& p : img.pixels)
        if (u(rng) < 0.02f) p = {u(rng) * 4.0f, u(rng) * 4.0f, u(rng) * 4.0f, 1.0f};
    return img;
}

// Args: frame height (1080 or 2160, 16:9), Length, Width, Direction, Diffraction.
void BM_GenerateStreak(benchmark::State& state) {
    const int h = static_cast<int>(state.range(0));
    const Image src = selection(h * 16 / 9, h);
    RenderSettings s;
    s.scale = 1.0f;  // Length and Width in pixels of this frame, at every size
    s.length = static_cast<float>(state.range(1));
    s.width = static_cast<float>(state.range(2));
    s.direction = static_cast<float>(state.range(3));
    s.diffraction = static_cast<float>(state.range(4));
    s.edgeMode = raydrift::EdgeMode::Clamp;
    // The full-resolution frame driver's margin without chromatic aberration.
    constexpr int kMargin = 2;
    Image image, scratch;
    for (auto _ : state) {
        // Restoring the selection is not streak work.
        state.PauseTiming();
        image = src;
        state.ResumeTiming();
        raydrift::image::generateStreak(image, scratch, s, kMargin);
        benchmark::DoNotOptimize(image.pixels.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(src.pixelCount()));
}

BENCHMARK(BM_GenerateStreak)
    ->ArgNames({"h", "length", "width", "dir", "diffraction"})
    ->ArgsProduct({{1080, 2160}, {0, 50, 200, 1000}, {0, 40}, {0, 30}, {0, 250}})
    ->Unit(benchmark::kMillisecond)
    // The passes run on worker threads too: wall time, and the CPU time of all threads
    // (steadier than wall time on a loaded machine).
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// The diffraction profile alone on a canvas the size the diffraction-1080p scenario
// rotates into (2237 × 2109 at 30°, Length 200, the crop reading the rows above the last 205). Args: canvas width, height, Length,
// symmetric.
void BM_FlareProfile(benchmark::State& state) {
    Image canvas = selection(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const auto profile = raydrift::image::flareProfile(10, static_cast<int>(state.range(2)), state.range(3) != 0, 0.5f);
    for (auto _ : state) {
        raydrift::image::applyFlareProfile(canvas, profile, canvas.height - 205);
        benchmark::DoNotOptimize(canvas.pixels.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(canvas.pixelCount()));
}

BENCHMARK(BM_FlareProfile)
    ->ArgNames({"ww", "wh", "length", "symmetric"})
    ->ArgsProduct({{2237}, {2109}, {200}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

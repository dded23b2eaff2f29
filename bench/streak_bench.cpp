// Streak generation on a 1080p selection: the axis-aligned (nearest-pixel) and rotated
// (bilinear) paths, and the diffraction pass that replaces the two blurs.
#include <benchmark/benchmark.h>

#include <random>

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

void runStreak(benchmark::State& state, float direction, float diffraction, bool symmetric) {
    const Image src = selection(1920, 1080);
    RenderSettings s;
    s.length = 200.0f;
    s.width = 8.0f;
    s.direction = direction;
    s.diffraction = diffraction;
    s.symmetric = symmetric;
    s.details = 0.3f;
    Image image, scratch;
    for (auto _ : state) {
        image = src;
        raydrift::image::generateStreak(image, scratch, s, 12);
        benchmark::DoNotOptimize(image.pixels.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(src.pixelCount()));
}

void BM_StreakAxisAligned(benchmark::State& state) { runStreak(state, 0.0f, 0.0f, false); }
void BM_StreakRotated(benchmark::State& state) { runStreak(state, 30.0f, 0.0f, false); }
void BM_StreakRotatedSymmetric(benchmark::State& state) { runStreak(state, 30.0f, 0.0f, true); }
void BM_StreakDiffraction(benchmark::State& state) { runStreak(state, 30.0f, 250.0f, false); }

BENCHMARK(BM_StreakAxisAligned)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreakRotated)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreakRotatedSymmetric)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreakDiffraction)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

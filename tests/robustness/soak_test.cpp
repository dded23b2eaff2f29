// Sustained threaded rendering through the host: threads × frames with settings and
// sizes varied at random. Every 50th frame must equal the same frame rendered alone, the
// engine's frame and worker counts must return to zero, and resident memory must stay
// flat once the first 50 frames have settled the buffers and the allocator.
//
// The default is short enough for every CI run. The full soak (4 threads × 500 frames),
// together with the other long robustness cases:
//   RAYDRIFT_LONG=1 ctest --test-dir build -L raydrift_robustness_tests
// RAYDRIFT_SOAK_FRAMES (frames per thread) and RAYDRIFT_SOAK_THREADS (default 4) set the
// soak's size directly.
#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/entry.h"
#include "host/frame_buffers.h"
#include "host_test_support.h"
#include "image/frame.h"
#include "image/parallel.h"

#if defined(__SANITIZE_ADDRESS__)
#define RAYDRIFT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RAYDRIFT_ASAN 1
#endif
#endif

// Resident memory tracks live memory only when the allocator gives freed pages back: the
// C library's does for blocks it maps on their own (a fixed threshold, set in the test,
// instead of one that rises with every large block freed), the address sanitizer's when
// told to, and its quarantine (256 MB by default) holds freed blocks back for a while.
#if defined(__SANITIZE_THREAD__)
#define RAYDRIFT_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RAYDRIFT_TSAN 1
#endif
#endif
#ifdef RAYDRIFT_TSAN
// From the sanitizers' allocator interface (not every compiler ships its header).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#ifdef RAYDRIFT_ASAN
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=4:allocator_release_to_os_interval_ms=0";
}
#endif

namespace {

using namespace hosttest;
using hostsim::FrameRequest;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::World;

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::max(1, std::atoi(v)) : fallback;
}

// Resident bytes of this process.
[[maybe_unused]] long residentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * 4096;
}

// Resident bytes with the reused frame buffers released, as global set-down releases
// them: they are bounded by design (a few idle images), but which ones are idle depends
// on which frames finished last, a few megabytes either way.
// Under the thread sanitizer the process's resident memory is mostly the tool's own
// shadow and history, which grow with every address and thread it has seen; there the
// memory the program holds is the sanitizer allocator's count of live bytes.
long settledResidentBytes() {
    raydrift::frame_buffers::clear();
#ifdef RAYDRIFT_TSAN
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
    return residentBytes();
#endif
}

struct Job {
    HostKind kind;
    World input;
    FrameRequest request;
};

// Frame i of the soak, the same for every run.
Job makeJob(Host& ae, Host& pr, int i) {
    std::mt19937 rng(static_cast<unsigned>(i) * 2654435761u + 17u);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto real = [&rng](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    const int formats[] = {kArgb, kAe16, kAe32, kBgra, kBGra};
    const int format = formats[pick(0, 4)];
    const HostKind kind = isStraight(format) ? HostKind::Premiere : HostKind::AfterEffects;
    Host& host = kind == HostKind::Premiere ? pr : ae;
    FrameRequest r;
    r.params = host.defaults();
    r.currentTime = pick(0, 5000);
    r.plainRender = pick(0, 4) == 0;
    setMenu(r.params, raydrift::kParamView, pick(0, 9) < 7 ? 1 : pick(2, 4));
    setMenu(r.params, raydrift::kParamOutput, pick(1, 2));
    setMenu(r.params, raydrift::kParamBlendMode, pick(1, 14));
    setMenu(r.params, raydrift::kParamEdgeMode, pick(1, 3));
    setMenu(r.params, raydrift::kParamChannels, pick(1, 3));
    setFloat(r.params, raydrift::kParamThreshold, real(5.0, 80.0));
    setFloat(r.params, raydrift::kParamThresholdSmooth, real(0.0, 40.0));
    setCheckbox(r.params, raydrift::kParamInvert, pick(0, 7) == 0);
    setFloat(r.params, raydrift::kParamLength, real(0.0, 1000.0));
    setFloat(r.params, raydrift::kParamWidth, pick(0, 2) == 0 ? 0.0 : real(0.0, 120.0));
    r.params[raydrift::kParamDirection].u.ad.value = pick(-720, 720) << 16;
    setCheckbox(r.params, raydrift::kParamSymmetric, pick(0, 3) == 0);
    setFloat(r.params, raydrift::kParamIntensity, real(0.0, 400.0));
    setFloat(r.params, raydrift::kParamDetails, pick(0, 2) == 0 ? real(0.0, 100.0) : 0.0);
    setFloat(r.params, raydrift::kParamDiffraction, pick(0, 2) == 0 ? real(0.0, 500.0) : 0.0);
    setFloat(r.params, raydrift::kParamChromaticAmount, pick(0, 2) == 0 ? real(0.0, 100.0) : 0.0);
    setFloat(r.params, raydrift::kParamTintMix, pick(0, 2) == 0 ? real(0.0, 100.0) : 0.0);
    setCheckbox(r.params, raydrift::kParamJitterLength, pick(0, 3) == 0);
    setCheckbox(r.params, raydrift::kParamJitterWidth, pick(0, 3) == 0);
    int w = pick(1, 160), h = pick(1, 120);
    // Every tenth frame is the largest the soak renders (size, canvas and margin), so the
    // first 50 frames already grow the reused buffers to what the rest will need: growth
    // after that is what a leak would show.
    if (i % 10 == 0) {
        w = 160, h = 120;
        setMenu(r.params, raydrift::kParamView, 1);
        setMenu(r.params, raydrift::kParamOutput, 2);
        setFloat(r.params, raydrift::kParamLength, 1000.0);
        setFloat(r.params, raydrift::kParamWidth, 120.0);
        r.params[raydrift::kParamDirection].u.ad.value = 45 << 16;
        setFloat(r.params, raydrift::kParamChromaticAmount, 100.0);
        setFloat(r.params, raydrift::kParamIntensity, 100.0);
        setCheckbox(r.params, raydrift::kParamJitterLength, false);
        setCheckbox(r.params, raydrift::kParamJitterWidth, false);
    }
    return {kind, testWorld(w, h, format, static_cast<unsigned>(i)), r};
}

TEST(Soak, ThreadedFramesStayExactCountedAndFlat) {
    const int threads = envInt("RAYDRIFT_SOAK_THREADS", 4);
    const char* longRun = std::getenv("RAYDRIFT_LONG");
    const int perThread = envInt("RAYDRIFT_SOAK_FRAMES", longRun && *longRun && *longRun != '0' ? 500 : 40);
    const int total = threads * perThread;
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 32 * 1024);
    mallopt(M_TRIM_THRESHOLD, 32 * 1024);
#endif
    const int settle = std::min(50, total);
    Host ae(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
    Host pr(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::Premiere);
    const int handles = ae.liveHandles();

    // Every 50th frame's output, kept for the serial comparison; made before the run, so
    // that what the test itself keeps is not counted as growth.
    std::vector<World> checked;
    for (int i = 0; i < total; i += 50) checked.push_back(blankLike(makeJob(ae, pr, i).input));
    std::atomic<int> failures{0};
    std::atomic<int> next{0};
    // The same threads render all frames; they meet once the first `settle` frames are
    // done, so that memory is measured between frames, with the workers still alive.
    std::mutex mutex;
    std::condition_variable wake;
    int waiting = 0;
    bool measured = false;
    long settled = 0;
    auto render = [&](int i) {
        Job job = makeJob(ae, pr, i);
        World scratch;
        World& out = i % 50 == 0 ? checked[static_cast<std::size_t>(i / 50)] : (scratch = blankLike(job.input));
        Host& host = job.kind == HostKind::Premiere ? pr : ae;
        if (host.render(job.input, out, job.request) != PF_Err_NONE || !out.guardsIntact()) ++failures;
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            int i = next++;
            for (; i < settle; i = next++) render(i);
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (++waiting == threads) {
                    // The engine keeps one working image, the largest seen so far; a
                    // larger frame after this point would read as growth.
                    raydrift::image::releaseWorkingMemory();
                    settled = settledResidentBytes();
                    measured = true;
                    wake.notify_all();
                }
                wake.wait(lock, [&] { return measured; });
            }
            for (; i < total; i = next++) render(i);
        });
    for (std::thread& t : pool) t.join();
    EXPECT_LE(raydrift::frame_buffers::idleCount(), raydrift::frame_buffers::kIdleLimit);
    raydrift::image::releaseWorkingMemory();
    const long finished = settledResidentBytes();

    std::printf("soak: %d threads x %d frames, memory %ld KiB after %d frames, %ld KiB after %d\n", threads,
                perThread, settled / 1024, settle, finished / 1024, total);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(raydrift::parallel::activeFrames.load(), 0u);
    EXPECT_EQ(raydrift::parallel::helpersInUse.load(), 0u);
    EXPECT_EQ(ae.liveHandles(), handles);
    ASSERT_GT(settled, 0) << "no /proc/self/statm";
#ifndef RAYDRIFT_ASAN
    // Under the address sanitizer its allocator keeps its own pools and shadow, so resident
    // memory says nothing about what the frames keep; the other builds judge it.
    EXPECT_LE(finished, settled + settled / 10)
        << "resident memory grew from " << settled / 1024 << " KiB after " << settle << " frames to "
        << finished / 1024 << " KiB after " << total;
#endif

    // The sampled frames again, one at a time.
    for (int i = 0; i < total; i += 50) {
        Job job = makeJob(ae, pr, i);
        World alone = blankLike(job.input);
        Host& host = job.kind == HostKind::Premiere ? pr : ae;
        ASSERT_EQ(host.render(job.input, alone, job.request), PF_Err_NONE) << "frame " << i;
        EXPECT_EQ(differingPixels(checked[static_cast<std::size_t>(i / 50)], alone), 0) << "frame " << i;
    }
}

}  // namespace

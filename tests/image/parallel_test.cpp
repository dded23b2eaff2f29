#include "image/parallel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

namespace par = raydrift::parallel;

// Puts the process-wide counters back however a test ends.
struct CounterGuard {
    std::uint32_t frames = par::activeFrames.load();
    ~CounterGuard() { par::activeFrames.store(frames); }
};

TEST(ParallelSplit, StartUpLimits) {
    EXPECT_GE(par::hardwareThreads, 1u);
    EXPECT_EQ(par::helperLimit, std::min<std::uint32_t>(par::hardwareThreads - 1, 7));
}

TEST(ParallelSplit, DecisionForAnyMachine) {
    // 1080p on 16 threads, one frame: 7 workers, 8 ranges of 135 rows.
    EXPECT_EQ(par::wantedWorkers(1080, 1920ul * 1080, 16, 7, 1), 7u);
    EXPECT_EQ(par::wantedWorkers(1080, 1920ul * 1080, 16, 7, 0), 7u);  // outside any frame
    for (std::uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(par::rangeBegin(1080, 8, i + 1) - par::rangeBegin(1080, 8, i), 135);
    EXPECT_EQ(par::rangeBegin(1080, 8, 8), 1080);

    // Single core: no helpers at all.
    EXPECT_EQ(par::wantedWorkers(1080, 1920ul * 1080, 1, 0, 1), 0u);
    // Small passes stay serial: 200×100, under 2^18 pixels, under 64 rows.
    EXPECT_EQ(par::wantedWorkers(100, 200ul * 100, 16, 7, 1), 0u);
    EXPECT_EQ(par::wantedWorkers(1000, 262143, 16, 7, 1), 0u);
    EXPECT_EQ(par::wantedWorkers(63, 1ul << 24, 16, 7, 1), 0u);
    // At least 131072 pixels and 32 rows per range.
    EXPECT_EQ(par::wantedWorkers(64, 1ul << 24, 16, 7, 1), 1u);
    EXPECT_EQ(par::wantedWorkers(10000, 262144, 16, 7, 1), 1u);
    EXPECT_EQ(par::wantedWorkers(10000, 131072ul * 5, 16, 7, 1), 4u);

    // Two frames on 8 threads: at most 3 workers per pass and 6 in all.
    EXPECT_EQ(par::wantedWorkers(1080, 1920ul * 1080, 8, 7, 2), 3u);
    EXPECT_EQ(par::availableWorkers(8, 7, 2), 6u);
    std::atomic<std::uint32_t> inUse{0};
    EXPECT_EQ(par::reserveWorkers(inUse, 6, 3), 3u);
    EXPECT_EQ(par::reserveWorkers(inUse, 6, 3), 3u);
    EXPECT_EQ(par::reserveWorkers(inUse, 6, 3), 0u);
    EXPECT_EQ(inUse.load(), 6u);
    inUse = 5;
    EXPECT_EQ(par::reserveWorkers(inUse, 6, 3), 1u);  // only what is left
    // More frames than threads: everyone serial.
    EXPECT_EQ(par::wantedWorkers(1080, 1920ul * 1080, 8, 7, 9), 0u);
    EXPECT_EQ(par::availableWorkers(8, 7, 9), 0u);
}

// Runs ranges over `count` and checks that the ranges cover it exactly once.
void expectExactCover(int count, unsigned long work) {
    std::vector<std::atomic<int>> hits(static_cast<std::size_t>(count));
    std::atomic<int> calls{0};
    par::ranges(count, work, [&](int begin, int end) {
        ++calls;
        for (int i = begin; i < end; ++i) hits[static_cast<std::size_t>(i)]++;
    });
    for (int i = 0; i < count; ++i) ASSERT_EQ(hits[static_cast<std::size_t>(i)].load(), 1) << i;
    EXPECT_GE(calls.load(), 1);
    EXPECT_LE(calls.load(), 8);
}

TEST(ParallelRanges, CoversEveryIndexOnce) {
    int calls = 0;
    std::thread::id caller = std::this_thread::get_id(), ran;
    par::ranges(0, 0, [&](int b, int e) {
        ++calls;
        ran = std::this_thread::get_id();
        EXPECT_EQ(b, 0);
        EXPECT_EQ(e, 0);
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ran, caller);

    expectExactCover(100, 20000);
    expectExactCover(1080, 1920ul * 1080);
    expectExactCover(4097, 1ul << 26);
    EXPECT_EQ(par::helpersInUse.load(), 0u);
}

TEST(ParallelRanges, ResultsDoNotDependOnWorkers) {
    // Float work whose result would change if ranges overlapped or rows were split
    // differently inside a row.
    const int rows = 512, cols = 1024;
    auto render = [&] {
        std::vector<float> out(static_cast<std::size_t>(rows) * cols);
        par::ranges(rows, static_cast<unsigned long>(rows) * cols, [&](int b, int e) {
            for (int y = b; y < e; ++y) {
                float acc = 0.1f * static_cast<float>(y);
                for (int x = 0; x < cols; ++x) {
                    acc = acc * 0.999f + 0.37f * static_cast<float>(x);
                    out[static_cast<std::size_t>(y) * cols + x] = acc;
                }
            }
        });
        return out;
    };
    CounterGuard guard;
    const auto parallel = render();
    par::activeFrames = 1000;  // more frames than threads: every pass serial
    const auto serial = render();
    EXPECT_EQ(parallel, serial);
}

TEST(ParallelRanges, LowestExceptionWinsAndCountersReturn) {
    const std::uint32_t before = par::helpersInUse.load();
    std::atomic<int> finished{0};
    try {
        par::ranges(1000, 1ul << 22, [&](int begin, int) {
            finished++;
            throw std::runtime_error("range " + std::to_string(begin));
        });
        FAIL() << "no exception";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "range 0");
    }
    EXPECT_EQ(finished.load(), static_cast<int>(std::min<std::uint32_t>(par::helperLimit, 7) + 1));
    EXPECT_EQ(par::helpersInUse.load(), before);
}

TEST(ParallelRanges, ThreadStartFailureRunsOnCaller) {
    if (par::helperLimit == 0) GTEST_SKIP() << "single-core machine: passes are always serial";
    par::detail::failingThreadStarts = 7;
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> onCaller{0}, ranges{0};
    std::vector<int> hits(2000, 0);
    par::ranges(2000, 1ul << 24, [&](int b, int e) {
        ranges++;
        if (std::this_thread::get_id() == caller) onCaller++;
        for (int i = b; i < e; ++i) hits[static_cast<std::size_t>(i)]++;
    });
    par::detail::failingThreadStarts = 0;
    EXPECT_GE(ranges.load(), 2);
    EXPECT_EQ(onCaller.load(), ranges.load());
    EXPECT_TRUE(std::all_of(hits.begin(), hits.end(), [](int h) { return h == 1; }));
    EXPECT_EQ(par::helpersInUse.load(), 0u);
}

TEST(ParallelRanges, ConcurrentFramesShareTheMachine) {
    // Several frames at once: the reservation never passes what the frames may hold,
    // and every counter returns to zero.
    CounterGuard guard;
    std::atomic<std::uint32_t> peak{0};
    std::vector<std::thread> frames;
    for (int f = 0; f < 4; ++f)
        frames.emplace_back([&] {
            par::activeFrames++;
            for (int pass = 0; pass < 20; ++pass)
                par::ranges(512, 1ul << 22, [&](int, int) {
                    std::uint32_t now = par::helpersInUse.load();
                    std::uint32_t seen = peak.load();
                    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
                    }
                });
            par::activeFrames--;
        });
    for (auto& t : frames) t.join();
    EXPECT_LE(peak.load(), par::helperLimit);
    EXPECT_EQ(par::helpersInUse.load(), 0u);
    EXPECT_EQ(par::activeFrames.load(), guard.frames);
}

}  // namespace

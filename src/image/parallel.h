// Fan-out of one heavy pass over short-lived worker threads, shared fairly among the
// frames the host renders at once. No thread pool: workers live for one call.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

namespace raydrift::parallel {

// Hardware concurrency (1 when the platform reports 0), fixed at library load.
extern const std::uint32_t hardwareThreads;
// min(hardwareThreads − 1, 7): at most 8 ranges per pass.
extern const std::uint32_t helperLimit;
// Frames inside the frame driver; the driver increments and decrements it.
extern std::atomic<std::uint32_t> activeFrames;
// Worker threads running for any pass of any frame.
extern std::atomic<std::uint32_t> helpersInUse;

inline constexpr int kMaxWorkers = 7;
inline constexpr unsigned long kSerialWork = 262144;    // below this many pixels: one thread
inline constexpr unsigned long kWorkPerRange = 131072;  // pixels per range, at least
inline constexpr int kSerialCount = 64;                 // below this many rows: one thread
inline constexpr int kCountPerRange = 32;               // rows (or columns) per range, at least

// Workers one pass would like to start, for a machine of `hardware` threads with
// `limit` = helperLimit and `active` frames in flight (0 counts as 1). 0 means serial.
std::uint32_t wantedWorkers(int count, unsigned long work, std::uint32_t hardware,
                            std::uint32_t limit, std::uint32_t active);

// The most workers all passes together may hold with `active` frames in flight.
std::uint32_t availableWorkers(std::uint32_t hardware, std::uint32_t limit, std::uint32_t active);

// Reserves up to `wanted` workers from `inUse` without passing `available`; returns the
// number reserved (possibly 0). Lock-free; never waits.
std::uint32_t reserveWorkers(std::atomic<std::uint32_t>& inUse, std::uint32_t available,
                             std::uint32_t wanted);

// Range i of `parts` over [0, count): [count·i / parts, count·(i + 1) / parts).
inline int rangeBegin(int count, std::uint32_t parts, std::uint32_t i) {
    return static_cast<int>(static_cast<std::uint64_t>(count) * i / parts);
}

namespace detail {
// Test seam: while positive, that many worker starts fail as if the system had refused
// the thread (each failure decrements it).
extern std::atomic<int> failingThreadStarts;

inline std::thread startThread(auto&& run) {
    if (failingThreadStarts.load(std::memory_order_relaxed) > 0 &&
        failingThreadStarts.fetch_sub(1, std::memory_order_relaxed) > 0)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::forward<decltype(run)>(run));
}
}  // namespace detail

// Calls body(begin, end) for disjoint ranges covering [0, count), possibly on several
// threads, and returns when all have finished. `work` (pixels touched) only steers the
// decision to go parallel. An exception from a range is rethrown here after every
// range has finished and the reservation is returned; of several, the lowest range's.
template <class F>
void ranges(int count, unsigned long work, F&& body) {
    const std::uint32_t wanted = wantedWorkers(count, work, hardwareThreads, helperLimit,
                                               activeFrames.load(std::memory_order_acquire));
    if (wanted == 0) {
        body(0, count);
        return;
    }
    const std::uint32_t available = availableWorkers(
        hardwareThreads, helperLimit, activeFrames.load(std::memory_order_acquire));
    const std::uint32_t workers = reserveWorkers(helpersInUse, available, wanted);
    if (workers == 0) {
        body(0, count);
        return;
    }

    const std::uint32_t parts = workers + 1;
    std::thread threads[kMaxWorkers];
    std::exception_ptr errors[kMaxWorkers + 1];
    auto run = [&](std::uint32_t i) {
        try {
            body(rangeBegin(count, parts, i), rangeBegin(count, parts, i + 1));
        } catch (...) {
            errors[i] = std::current_exception();
        }
    };
    for (std::uint32_t i = 0; i < workers; ++i) {
        try {
            threads[i] = detail::startThread([&run, i] { run(i); });
        } catch (...) {
            // No thread: this range costs parallelism, not correctness.
            run(i);
        }
    }
    run(workers);
    for (std::uint32_t i = 0; i < workers; ++i)
        if (threads[i].joinable()) threads[i].join();
    helpersInUse.fetch_sub(workers, std::memory_order_release);

    for (std::uint32_t i = 0; i <= workers; ++i)
        if (errors[i]) std::rethrow_exception(errors[i]);
}

}  // namespace raydrift::parallel

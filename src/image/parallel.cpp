#include "image/parallel.h"

#include <algorithm>

namespace raydrift::parallel {

namespace {
std::uint32_t detectHardwareThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1u : static_cast<std::uint32_t>(n);
}
}  // namespace

// Defined in this order in one translation unit: the limit is computed from the count.
const std::uint32_t hardwareThreads = detectHardwareThreads();
const std::uint32_t helperLimit =
    std::min<std::uint32_t>(hardwareThreads - 1, static_cast<std::uint32_t>(kMaxWorkers));
std::atomic<std::uint32_t> activeFrames{0};
std::atomic<std::uint32_t> helpersInUse{0};

namespace detail {
std::atomic<int> failingThreadStarts{0};
}

std::uint32_t wantedWorkers(int count, unsigned long work, std::uint32_t hardware,
                            std::uint32_t limit, std::uint32_t active) {
    active = std::max<std::uint32_t>(active, 1);
    const std::uint32_t perFrame = hardware / active;
    const std::uint32_t cap = std::min(perFrame >= 1 ? perFrame - 1 : 0u, limit);
    if (work < kSerialWork || cap == 0 || count < kSerialCount) return 0;
    const unsigned long byWork = work / kWorkPerRange;
    const unsigned long byCount = static_cast<unsigned long>(count / kCountPerRange);
    return static_cast<std::uint32_t>(std::min<unsigned long>(std::min(byWork, byCount) - 1, cap));
}

std::uint32_t availableWorkers(std::uint32_t hardware, std::uint32_t limit, std::uint32_t active) {
    active = std::max<std::uint32_t>(active, 1);
    const std::uint32_t free = hardware > active ? hardware - active : 0;
    return std::min(free, limit);
}

std::uint32_t reserveWorkers(std::atomic<std::uint32_t>& inUse, std::uint32_t available,
                             std::uint32_t wanted) {
    std::uint32_t current = inUse.load(std::memory_order_relaxed);
    for (;;) {
        if (current >= available) return 0;
        const std::uint32_t take = std::min(available - current, wanted);
        if (inUse.compare_exchange_weak(current, current + take, std::memory_order_acq_rel,
                                        std::memory_order_relaxed))
            return take;
    }
}

}  // namespace raydrift::parallel

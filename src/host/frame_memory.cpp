#include "host/frame_memory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>

#include "image/frame_plan.h"

namespace raydrift::frame_memory {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kCeiling = std::uint64_t{64} << 30;

std::atomic<std::uint64_t> testLimit{0};

std::uint64_t physicalMemory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status) || status.ullTotalPhys == 0) return kCeiling;
    return status.ullTotalPhys;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return kCeiling;
    return saturatingMul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(pageSize));
#endif
}

}  // namespace

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }

std::uint64_t saturatingMul(std::uint64_t a, std::uint64_t b) {
    if (a == 0 || b == 0) return 0;
    return a > kMax / b ? kMax : a * b;
}

std::uint64_t frameBytes(std::int64_t width, std::int64_t height, RenderSettings const& settings) {
    try {
        return image::planFrame(width, height, settings).peakBytes();
    } catch (std::bad_alloc const&) {
        // The engine's own answer for a frame it cannot address.
        return kMax;
    }
}

std::uint64_t limit() {
    if (const std::uint64_t forced = testLimit.load(std::memory_order_relaxed)) return forced;
    static const std::uint64_t machine = std::min(physicalMemory(), kCeiling);
    return machine;
}

void setLimit(std::uint64_t bytes) { testLimit.store(bytes, std::memory_order_relaxed); }

}  // namespace raydrift::frame_memory

#include "host/frame_memory.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>

#include "image/frame.h"
#include "image/image.h"

namespace raydrift::frame_memory {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kPixelBytes = sizeof(image::Pixel);
constexpr std::uint64_t kCeiling = std::uint64_t{64} << 30;

std::atomic<std::uint64_t> testLimit{0};

std::uint64_t physicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return kCeiling;
    return saturatingMul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(pageSize));
}

std::uint64_t pixels(std::int64_t w, std::int64_t h) {
    return saturatingMul(static_cast<std::uint64_t>(std::max<std::int64_t>(w, 0)),
                         static_cast<std::uint64_t>(std::max<std::int64_t>(h, 0)));
}

float referenceScale(int w, int h) {
    return std::sqrt(static_cast<float>(std::max(w, 1)) * static_cast<float>(std::max(h, 1)) / 2073600.0f);
}

// The frame driver's choices, step for step: which path, which margin, which canvas.
std::uint64_t enginePixels(int w, int h, RenderSettings const& settings) {
    const std::uint64_t frame = pixels(w, h);
    // The same test as the driver's (a NaN strength renders).
    if (settings.view == ViewMode::Matte || settings.opacity <= 0.0f || settings.intensity <= 0.0f) return frame;
    const RenderSettings animated = animatedSettings(settings);
    const bool chromatic = animated.chromaticAmount > 0.0f;
    const float s = animated.scale > 0.0f ? animated.scale : referenceScale(w, h);
    const bool quarter = (animated.performance || animated.view == ViewMode::Performance) &&
                         std::max(animated.length, animated.width) > 0.0f && w >= 2 && h >= 2;
    if (!quarter) {
        const int margin = chromatic ? image::fullChromaticMargin(animated.chromaticAmount, s) : 0;
        // The selection and the result, each grown to the largest streak image.
        return saturatingMul(2, image::streakWorkingPixels(w, h, animated, margin));
    }
    // The driver computes ceil(size / 4) as (size + 3) / 4 in int.
    if (w > INT32_MAX - 3 || h > INT32_MAX - 3) throw std::bad_alloc();
    const int kw = (w + 3) / 4;
    const int kh = (h + 3) / 4;
    RenderSettings streakSettings = animated;
    if (animated.scale > 0.0f)
        streakSettings.scale = animated.scale * std::sqrt((static_cast<float>(kw) * static_cast<float>(kh)) /
                                                          (static_cast<float>(w) * static_cast<float>(h)));
    const int margin = chromatic ? image::quarterChromaticMargin(animated.chromaticAmount, s, w, h) : 0;
    const std::uint64_t small = pixels(kw, kh);
    // Two small streak images, the small source, and the full-size result.
    return saturatingAdd(saturatingAdd(saturatingMul(2, image::streakWorkingPixels(kw, kh, streakSettings, margin)),
                                       small),
                         frame);
}

}  // namespace

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }

std::uint64_t saturatingMul(std::uint64_t a, std::uint64_t b) {
    if (a == 0 || b == 0) return 0;
    return a > kMax / b ? kMax : a * b;
}

std::uint64_t frameBytes(std::int64_t width, std::int64_t height, RenderSettings const& settings) {
    if (width > INT32_MAX || height > INT32_MAX) return kMax;
    try {
        return saturatingMul(enginePixels(static_cast<int>(std::max<std::int64_t>(width, 0)),
                                          static_cast<int>(std::max<std::int64_t>(height, 0)), settings),
                             kPixelBytes);
    } catch (std::bad_alloc const&) {
        // The engine's own answer for a canvas it cannot address.
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

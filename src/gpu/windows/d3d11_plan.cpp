#include "gpu/windows/d3d11_plan.h"

#include <limits>
#include <stdexcept>

namespace raydrift::d3d11 {

const char* const kStreakEntries[kStreakKernelCount] = {
    "rotate",          "horizontal",     "vertical",
    "crop",            "upscale",        "horizontalRolling",
    "verticalRolling", "extendOriginal", "verticalModulatedRolling",
    "luminanceMatte",  "horizontalCpuPrefix", "horizontalCpuWindow"};
const char* const kFrameEntries[kFrameKernelCount] = {"selectFrame", "tintFrame", "chromaticFrame",
                                                      "compositeFrame", "prepareNativeFrame"};
const char* const kStageBudgetMessage = "Insufficient GPU memory budget; CPU fallback";
const char* const kFrameBudgetMessage = "Insufficient GPU frame memory budget";

namespace {

// A float vertical pass reads this many weighted samples at most: beyond it, single
// precision drifts too far from the CPU's double sums.
constexpr double kSampledWorkloadLimit = 12e9;

}  // namespace

bool needsDoubles(StreakKernel kernel) {
    return kernel == StreakKernel::HorizontalRolling || kernel == StreakKernel::VerticalRolling ||
           kernel == StreakKernel::VerticalModulatedRolling;
}

bool precisionSensitive(RenderSettings const& settings) {
    return settings.blendMode == BlendMode::ColorDodge && settings.view != ViewMode::Black &&
           settings.view != ViewMode::Alpha;
}

std::vector<StreakKernel> streakPasses(image::StreakGeometry const& g, RenderSettings const& settings,
                                       bool fp64, bool needsMargin) {
    std::vector<StreakKernel> passes;
    if (g.length <= 0 && g.halfWidth <= 0) {
        if (needsMargin) passes.push_back(StreakKernel::ExtendOriginal);
        return passes;
    }
    const bool sensitive = precisionSensitive(settings);
    const bool modulated = g.strength > 0.0f;
    passes.push_back(StreakKernel::Rotate);
    if (g.halfWidth > 0) {
        if (sensitive && !modulated) {
            passes.push_back(StreakKernel::HorizontalCpuPrefix);
            passes.push_back(StreakKernel::HorizontalCpuWindow);
        } else if (fp64 && (g.halfWidth >= 64 || sensitive)) {
            passes.push_back(StreakKernel::HorizontalRolling);
        } else {
            passes.push_back(StreakKernel::Horizontal);
        }
    }
    // No length, no profile: the CPU leaves the box result as it is.
    if (g.length > 0) {
        if (!fp64)
            passes.push_back(StreakKernel::Vertical);
        else if (modulated)
            passes.push_back(StreakKernel::VerticalModulatedRolling);
        else if (g.reach >= 512 || (sensitive && g.reach >= 1))
            passes.push_back(StreakKernel::VerticalRolling);
        else
            passes.push_back(StreakKernel::Vertical);
    }
    passes.push_back(StreakKernel::Crop);
    return passes;
}

void checkStreakStage(image::StreakGeometry const& g, RenderSettings const& settings, bool fp64) {
    if (fp64) return;
    if (precisionSensitive(settings) && (g.length > 0 || g.halfWidth > 0))
        throw std::runtime_error("GPU FP64 unavailable for precision-sensitive blend; CPU fallback");
    const double taps = settings.symmetric ? 2.0 * g.reach + 1.0 : g.reach + 1.0;
    const double samples = static_cast<double>(g.canvasWidth) * static_cast<double>(g.canvasHeight) * taps;
    if (samples > kSampledWorkloadLimit) throw std::runtime_error("GPU sampled workload limit; CPU fallback");
}

void checkBudget(std::optional<MemoryInfo> const& info, std::uint64_t extra, const char* message) {
    if (!info) return;
    const std::uint64_t left = info->currentUsage > info->budget ? 0 : info->budget - info->currentUsage;
    // floor(9·left / 10) without overflow.
    const std::uint64_t allowed = left / 10 * 9 + left % 10 * 9 / 10;
    if (extra > allowed) throw std::runtime_error(message);
}

std::uint64_t extraBytes(std::vector<std::uint64_t> const& cached, std::vector<std::uint64_t> const& needed) {
    std::uint64_t extra = 0;
    for (std::size_t i = 0; i < needed.size(); ++i) {
        const std::uint64_t have = i < cached.size() ? cached[i] : 0;
        if (needed[i] > have) {
            const std::uint64_t more = needed[i] - have;
            extra = more > std::numeric_limits<std::uint64_t>::max() - extra
                        ? std::numeric_limits<std::uint64_t>::max()
                        : extra + more;
        }
    }
    return extra;
}

std::uint64_t structuredBytes(std::uint64_t elements, std::uint64_t stride) {
    if (stride != 0 && elements > std::numeric_limits<std::uint64_t>::max() / stride)
        throw std::runtime_error("GPU buffer too large");
    return elements * stride;
}

std::uint32_t rawBytes(std::uint64_t bytes) {
    if (bytes == 0 || bytes % 4 != 0 || bytes >= (std::uint64_t{1} << 32))
        throw std::runtime_error("Invalid native GPU buffer size");
    return static_cast<std::uint32_t>(bytes);
}

int nativeBytesPerPixel(std::int32_t layout) {
    switch (layout) {
    case 0:
    case 4:
        return 16;
    case 1:
    case 2:
        return 4;
    case 3:
        return 8;
    default:
        return 0;
    }
}

NativeWorld checkedNativeWorld(NativeWorld w) {
    if (w.sourceWidth == 0) w.sourceWidth = w.width;
    if (w.sourceHeight == 0) w.sourceHeight = w.height;
    if (w.destinationWidth == 0) w.destinationWidth = w.width;
    if (w.destinationHeight == 0) w.destinationHeight = w.height;
    const std::int64_t inBytes = nativeBytesPerPixel(w.inputLayout);
    const std::int64_t outBytes = nativeBytesPerPixel(w.outputLayout);
    const bool ok = w.input != nullptr && w.output != nullptr && w.width > 0 && w.height > 0 &&
                    w.sourceWidth > 0 && w.sourceHeight > 0 && w.destinationWidth > 0 &&
                    w.destinationHeight > 0 && inBytes > 0 && outBytes > 0 &&
                    w.inputStride >= w.sourceWidth * inBytes && w.inputStride % 4 == 0 &&
                    w.outputStride >= w.destinationWidth * outBytes && w.destinationX >= 0 &&
                    w.destinationY >= 0 &&
                    std::int64_t{w.destinationX} + w.destinationWidth <= w.width &&
                    std::int64_t{w.destinationY} + w.destinationHeight <= w.height;
    if (!ok) throw std::runtime_error("Unsupported native world layout");
    return w;
}

}  // namespace raydrift::d3d11

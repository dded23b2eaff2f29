#include "ui/gpu_names.h"

#include "gpu/metal_context.h"

namespace raydrift::ui {

namespace {

// The devices this build's GPU back ends can use: the Metal device when there is one
// (on Linux only a test's software device).
std::vector<std::u16string> systemGpuNames() {
    const metal::DeviceInfo info = metal::deviceInfo();
    if (!info.available) return {};
    return metalGpuNames(info);
}

}  // namespace

std::vector<std::u16string> namesOrNoneLine(std::vector<std::u16string> names) {
    if (names.empty()) names.push_back(u"No GPU hardware reported by the system.");
    return names;
}

std::vector<std::u16string> adapterNames(std::vector<AdapterDescription> const& adapters) {
    std::vector<std::u16string> names;
    for (AdapterDescription const& a : adapters)
        if (a.described && !a.software) names.push_back(a.name);
    return names;
}

std::vector<std::u16string> const& gpuNames() {
    static const std::vector<std::u16string> names = namesOrNoneLine(systemGpuNames());
    return names;
}

}  // namespace raydrift::ui

#include "ui/gpu_names.h"

namespace raydrift::ui {

namespace {

// The devices this build's GPU back ends can use. None on this platform yet.
std::vector<std::u16string> systemGpuNames() { return {}; }

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

#include "ui/gpu_names.h"

namespace raydrift::ui {

namespace {

std::vector<std::u16string> systemGpuNames() {
    // This build has no GPU back end to ask, so the system reports nothing.
    return {};
}

}  // namespace

std::vector<std::u16string> const& gpuNames() {
    static const std::vector<std::u16string> names = [] {
        std::vector<std::u16string> list = systemGpuNames();
        if (list.empty()) list.push_back(u"No GPU hardware reported by the system.");
        return list;
    }();
    return names;
}

}  // namespace raydrift::ui

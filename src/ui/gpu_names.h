// The graphics hardware the system reports, as the about panel lists it.
#pragma once

#include <string>
#include <vector>

namespace raydrift::ui {

// Built once on first use (thread-safe) and kept for the process. Never empty: with
// nothing reported it holds the single line "No GPU hardware reported by the system.".
std::vector<std::u16string> const& gpuNames();

// The list as shown: `names`, or the fixed line when there are none.
std::vector<std::u16string> namesOrNoneLine(std::vector<std::u16string> names);

// The line for a Metal device description (anything with a UTF-16 `name` and a bool
// `available`, as the Metal back end describes its default device).
template <typename DeviceInfo>
std::vector<std::u16string> metalGpuNames(DeviceInfo const& info) {
    if (!info.available) return {u"No Metal device available."};
    if (info.name.empty()) return {u"Metal device (name unavailable)"};
    return {std::u16string(info.name)};
}

// One adapter as the system's adapter enumeration describes it.
struct AdapterDescription {
    bool described = false;  // its description could be read
    bool software = false;   // a software renderer, not hardware
    std::u16string name;
};

// The hardware adapters' names in enumeration order: undescribed and software adapters
// are left out.
std::vector<std::u16string> adapterNames(std::vector<AdapterDescription> const& adapters);

}  // namespace raydrift::ui

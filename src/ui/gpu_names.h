// The graphics hardware the system reports, as the about panel lists it.
#pragma once

#include <string>
#include <vector>

namespace raydrift::ui {

// Built once on first use (thread-safe) and kept for the process. Never empty: with
// nothing reported it holds the single line "No GPU hardware reported by the system.".
std::vector<std::u16string> const& gpuNames();

}  // namespace raydrift::ui

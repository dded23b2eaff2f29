// The mark's pixels, expanded from the run-length data scripts/make-logo.py writes, so
// the program holds the whole image as constant data and the repository only the runs.
#include "ui/logo.h"

namespace raydrift::ui {

namespace {

#include "ui/logo_runs.inc"

using LogoBytes = std::array<std::uint8_t, static_cast<std::size_t>(kLogoRowBytes) * kLogoHeight>;

constexpr LogoBytes expandRuns() {
    LogoBytes out{};
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < sizeof kLogoRuns; i += 2) {
        std::uint8_t const* colour = kLogoPalette[kLogoRuns[i + 1]];
        for (int n = 0; n < kLogoRuns[i]; ++n)
            for (int c = 0; c < 4; ++c) out[at++] = colour[c];  // runs past the end fail to compile
    }
    if (at != out.size()) throw "the logo's runs do not cover the image";
    return out;
}

}  // namespace

constexpr LogoBytes kLogoPixels = expandRuns();

}  // namespace raydrift::ui

// Image sequences named with a frame-number pattern: shot.####.exr or shot.%04d.exr.
#pragma once

#include <optional>
#include <string>

namespace raydrift::cli {

struct FramePattern {
    std::string prefix;
    std::string suffix;
    int digits = 0;  // zero padding; 0 means none (%d)
};

// The pattern in a path, if it has one: the last run of '#' (its length is the padding)
// or a printf-style %d / %0Nd.
std::optional<FramePattern> findFramePattern(std::string const& path);

std::string framePath(FramePattern const& pattern, long frame);

struct FrameRange {
    long first = 0;
    long last = 0;
};

// "A-B" or "N", A ≤ B, frames ≥ 0. Throws UsageError.
FrameRange parseFrameRange(std::string const& text);

}  // namespace raydrift::cli

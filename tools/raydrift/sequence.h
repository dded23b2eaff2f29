// Image sequences named with a frame-number pattern: shot.####.exr or shot.%04d.exr.
#pragma once

#include <optional>
#include <string>
#include <vector>

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

// Frame lists as compositors write them: "N", "A-B", "A-BxS" (every S-th frame from A),
// and any of these joined by commas ("1-10x2,15,20-22"); frames ≥ 0, in the order given,
// each once. Throws UsageError.
std::vector<long> parseFrameList(std::string const& text);

}  // namespace raydrift::cli

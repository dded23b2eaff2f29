#include "sequence.h"

#include <cstdio>
#include <cstdlib>

#include "cli_error.h"

namespace raydrift::cli {

std::optional<FramePattern> findFramePattern(std::string const& path) {
    const auto slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const auto hashEnd = path.find_last_of('#');
    if (hashEnd != std::string::npos && hashEnd >= nameStart) {
        std::size_t begin = hashEnd;
        while (begin > nameStart && path[begin - 1] == '#') --begin;
        return FramePattern{path.substr(0, begin), path.substr(hashEnd + 1),
                            static_cast<int>(hashEnd - begin + 1)};
    }
    for (std::size_t i = path.find('%', nameStart); i != std::string::npos; i = path.find('%', i + 1)) {
        std::size_t j = i + 1;
        int digits = 0;
        bool zero = false;
        if (j < path.size() && path[j] == '0') {
            zero = true;
            ++j;
        }
        while (j < path.size() && path[j] >= '0' && path[j] <= '9' && digits < 100)
            digits = digits * 10 + (path[j++] - '0');
        if (j < path.size() && path[j] == 'd')
            return FramePattern{path.substr(0, i), path.substr(j + 1), zero || digits ? digits : 0};
    }
    return std::nullopt;
}

std::string framePath(FramePattern const& pattern, long frame) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%0*ld", pattern.digits, frame);
    return pattern.prefix + buf + pattern.suffix;
}

FrameRange parseFrameRange(std::string const& text) {
    auto fail = [&] {
        throw UsageError("--frames expects A-B or N with whole frame numbers from 0, got \"" + text + "\"");
    };
    auto parse = [&](std::string const& s) {
        if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 9) fail();
        return std::strtol(s.c_str(), nullptr, 10);
    };
    const auto dash = text.find('-');
    FrameRange r;
    if (dash == std::string::npos) {
        r.first = r.last = parse(text);
    } else {
        r.first = parse(text.substr(0, dash));
        r.last = parse(text.substr(dash + 1));
    }
    if (r.last < r.first) fail();
    return r;
}

}  // namespace raydrift::cli

#include "sequence.h"

#include <cstdio>
#include <cstdlib>
#include <set>

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

std::vector<long> parseFrameList(std::string const& text) {
    // A list longer than this is a typo ("1-1000000000"), not a shot.
    constexpr std::size_t kMaxFrames = 1000000;
    auto fail = [&] {
        throw UsageError("--frames expects N, A-B, A-BxSTEP or a comma-separated list of them "
                         "(1-10x2,15) with whole frame numbers from 0, got \"" + text + "\"");
    };
    auto parse = [&](std::string const& s) {
        if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 9) fail();
        return std::strtol(s.c_str(), nullptr, 10);
    };
    std::vector<long> frames;
    std::set<long> seen;
    std::size_t start = 0;
    do {
        const std::size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? text.size() + 1 : comma + 1;
        long step = 1;
        if (const auto x = item.find('x'); x != std::string::npos) {
            step = parse(item.substr(x + 1));
            item = item.substr(0, x);
            if (step < 1 || item.find('-') == std::string::npos) fail();
        }
        const auto dash = item.find('-');
        const long first = parse(item.substr(0, dash));
        const long last = dash == std::string::npos ? first : parse(item.substr(dash + 1));
        if (last < first) fail();
        for (long f = first; f <= last; f += step) {
            if (seen.insert(f).second) frames.push_back(f);
            if (frames.size() > kMaxFrames) fail();
        }
    } while (start <= text.size());
    return frames;
}

}  // namespace raydrift::cli

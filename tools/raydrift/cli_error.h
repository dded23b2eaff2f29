// Errors the command line reports as one line and an exit code.
#pragma once

#include <stdexcept>
#include <string>

namespace raydrift::cli {

inline constexpr int kExitFailure = 1;  // a render, a file or the plug-in failed
inline constexpr int kExitUsage = 2;    // the command line asked for something that does not exist

struct CliError : std::runtime_error {
    int exitCode;
    CliError(std::string const& message, int code = kExitFailure)
        : std::runtime_error(message), exitCode(code) {}
};

struct UsageError : CliError {
    explicit UsageError(std::string const& message) : CliError(message, kExitUsage) {}
};

}  // namespace raydrift::cli

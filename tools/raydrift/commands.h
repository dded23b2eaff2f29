// The command-line renderer's commands. Each takes the arguments after its name and
// returns the process exit code; usage and file problems leave as CliError.
#pragma once

#include <string>
#include <vector>

#include "hostsim.h"

namespace raydrift::cli {

using Args = std::vector<std::string>;

// Options every command that loads the plug-in accepts.
struct PluginOptions {
    std::string pluginPath;  // empty: hostsim's default
    hostsim::HostKind kind = hostsim::HostKind::AfterEffects;
};

// Takes "--plugin PATH" and "--host aftereffects|premiere" out of `args`.
PluginOptions takePluginOptions(Args& args);

// Loads the plug-in; a failure becomes a CliError naming the library.
std::unique_ptr<hostsim::Host> loadHost(PluginOptions const& options);

// "--depth" values: 8, 16 or 32 bits. Throws UsageError otherwise.
int parseDepth(std::string const& text);

// A whole number from `low` to `high` for option `name`. Throws UsageError.
long parseWhole(std::string const& name, std::string const& text, long low, long high);

int renderCommand(Args args);
int paramsCommand(Args args);
int infoCommand(Args args);
int benchCommand(Args args);
int uiCommand(Args args);

// The value of option `name` at args[i] ("--name VALUE" or "--name=VALUE"), advancing i;
// nullopt-like empty return with `found` false when args[i] is not that option.
bool takeValue(Args const& args, std::size_t& i, std::string const& name, std::string& value);

}  // namespace raydrift::cli

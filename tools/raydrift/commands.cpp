#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "cli_error.h"
#include "param_names.h"
#include "settings/render_settings.h"
#include "ui/gpu_names.h"

namespace raydrift::cli {

namespace {

void rejectLeftovers(Args const& args, std::string const& command) {
    if (!args.empty())
        throw UsageError("unexpected argument \"" + args.front() + "\" for " + command +
                         " (see raydrift help)");
}

}  // namespace

bool takeValue(Args const& args, std::size_t& i, std::string const& name, std::string& value) {
    std::string const& a = args[i];
    if (a == name) {
        if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
        value = args[++i];
        return true;
    }
    if (a.size() > name.size() + 1 && a.compare(0, name.size(), name) == 0 && a[name.size()] == '=') {
        value = a.substr(name.size() + 1);
        return true;
    }
    return false;
}

int parseDepth(std::string const& text) {
    if (text != "8" && text != "16" && text != "32")
        throw UsageError("--depth expects 8, 16 or 32, got \"" + text + "\"");
    return std::stoi(text);
}

long parseWhole(std::string const& name, std::string const& text, long low, long high) {
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || !end || *end || n < low || n > high)
        throw UsageError(name + " expects a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", got \"" + text + "\"");
    return n;
}

PluginOptions takePluginOptions(Args& args) {
    PluginOptions options;
    Args rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string value;
        if (takeValue(args, i, "--plugin", value)) {
            options.pluginPath = value;
        } else if (takeValue(args, i, "--host", value)) {
            if (value == "aftereffects" || value == "ae")
                options.kind = hostsim::HostKind::AfterEffects;
            else if (value == "premiere" || value == "ppro")
                options.kind = hostsim::HostKind::Premiere;
            else
                throw UsageError("unknown host \"" + value + "\"; accepted: aftereffects, premiere");
        } else {
            rest.push_back(args[i]);
        }
    }
    args = rest;
    return options;
}

std::unique_ptr<hostsim::Host> loadHost(PluginOptions const& options) {
    const std::string path = options.pluginPath.empty() ? hostsim::defaultPluginPath() : options.pluginPath;
    try {
        return std::make_unique<hostsim::Host>(path, options.kind);
    } catch (std::bad_alloc const&) {
        throw;
    } catch (std::exception const& e) {
        throw CliError("cannot load the plug-in '" + path + "': " + e.what());
    }
}

int paramsCommand(Args args) {
    const PluginOptions options = takePluginOptions(args);
    rejectLeftovers(args, "params");
    const auto host = loadHost(options);
    const std::vector<ParamInfo> params = describeParams(host->params());

    std::printf("%3s  %-44s %-13s %-12s %s\n", "#", "Parameter", "Type", "Default", "Range or items");
    for (ParamInfo const& p : params) {
        if (p.index == 0) {
            std::printf("%3d  %-40s %-13s\n", p.index, "(input layer)", "layer");
            continue;
        }
        if (p.type == PF_Param_GROUP_END) continue;
        std::string name = p.path;
        if (p.type == PF_Param_GROUP_START) name += "/";
        if (p.name.empty()) name += "(panel)";
        if (p.hidden) name += " (hidden)";
        else if (p.control) name += " (control)";
        const bool valued = p.settable || p.hidden;
        std::printf("%3d  %-44s %-13s %-12s %s\n", p.index, name.c_str(),
                    p.type == PF_Param_GROUP_START ? "group" : typeName(p.type).c_str(),
                    valued ? defaultText(p).c_str() : "", valued ? rangeText(p).c_str() : "");
    }
    std::printf("\nSet any parameter with --set \"Name=value\"; where a name repeats, qualify it\n"
                "by enough of its path to be unique (\"Jitter/Length/Amount\").\n");
    return 0;
}

int infoCommand(Args args) {
    const PluginOptions options = takePluginOptions(args);
    rejectLeftovers(args, "info");
    const auto host = loadHost(options);
    std::string about = host->aboutMessage();
    std::replace(about.begin(), about.end(), '\r', '\n');
    std::printf("raydrift %s\n", releaseVersion().c_str());
    std::printf("plug-in: %s\n", options.pluginPath.empty() ? hostsim::defaultPluginPath().c_str()
                                                            : options.pluginPath.c_str());
    std::printf("\n%s\n\nGPU Hardware:\n", about.c_str());
    for (std::u16string const& name : ui::gpuNames()) std::printf("  %s\n", hostsim::utf8(name).c_str());
    return 0;
}

}  // namespace raydrift::cli

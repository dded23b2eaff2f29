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

struct ParamDoc {
    const char* path;
    const char* unit;
    const char* meaning;
};

// What each control means, in the units its value is given in. `params --markdown` refuses
// to print a reference that misses a settable parameter, so a new control cannot go
// undocumented.
const ParamDoc kParamDocs[] = {
    {"About & Support/Use GPU", "on/off", "Render on the GPU when the host offers one."},
    {"Input/Threshold", "% of luma",
     "Pixels whose luminance (Rec. 709 luma of the straight colour, 100 % = 1.0) is above this make streaks."},
    {"Input/Threshold Smooth", "% of luma",
     "Width of the soft band below Threshold in which pixels fade in instead of switching on."},
    {"Input/Invert", "on/off", "Select the pixels below Threshold instead of those above it."},
    {"Input/View", "menu",
     "Normal: streaks over the source. Matte: the selection. Black: the streaks on black. Alpha: the streaks as a "
     "layer whose alpha carries them."},
    {"Input/Output", "menu",
     "Performance computes the streaks at quarter resolution and scales them up; Quality at full resolution."},
    {"Streak/Length", "pixels of a 1920 × 1080 frame",
     "Length of the streaks. Sizes scale with the square root of the frame's area, so a 3840 × 2160 frame gets "
     "streaks twice as long in pixels."},
    {"Streak/Width", "pixels of a 1920 × 1080 frame", "Width of the streaks across their direction (0: one pixel)."},
    {"Streak/Direction", "degrees", "Direction the streaks run from each light: 0 points up, angles turn clockwise."},
    {"Streak/Symetric Blur", "on/off", "Streaks run both ways from each light, fading towards both ends."},
    {"Streak/Intensity", "%",
     "Below 100 % the effect fades out (its opacity); above 100 % the streaks' light is multiplied."},
    {"Style/Details", "%", "Breaks the streaks into strands: noise dims columns of the streaks by up to this much."},
    {"Style/Diffraction", "0 to 500", "Strength of diffraction banding along the streaks; 500 is full modulation."},
    {"Style/Blend Mode", "menu", "How the streaks combine with the source (see below)."},
    {"Style/Edge Mode", "menu", "What the streaks read beyond the frame's edges: wrapped, clamped or mirrored pixels."},
    {"Style/Chromatic Aberration/Channels", "menu", "The pair of colour channels shifted apart."},
    {"Style/Chromatic Aberration/Amount", "pixels of a 1920 × 1080 frame",
     "How far the two channels are shifted along the streaks (hosts label the slider %)."},
    {"Style/Jitter/Length", "on/off", "Length wanders over time, the same at the same time on every render."},
    {"Style/Jitter/Length/Speed", "levels per second", "How often the jittered Length reaches a new random level."},
    {"Style/Jitter/Length/Amount", "pixels of a 1920 × 1080 frame", "How far Length wanders either way."},
    {"Style/Jitter/Width", "on/off", "Width wanders over time, the same at the same time on every render."},
    {"Style/Jitter/Width/Speed", "levels per second", "How often the jittered Width reaches a new random level."},
    {"Style/Jitter/Width/Amount", "pixels of a 1920 × 1080 frame", "How far Width wanders either way."},
    {"Style/Tint/Color", "#rrggbb", "The colour the streaks are tinted towards."},
    {"Style/Tint/Mix", "%", "How much of the tint colour replaces the streaks' own colour."},
};

constexpr const char* kBlendModeNote =
    "Add and Linear Dodge add the streaks' light and keep HDR highlights bright. Screen, Overlay, Soft Light, Hard "
    "Light and Exclusion are defined for colours in 0…1: over HDR highlights (values above 1) they give dark "
    "cores, so use Add or Linear Dodge on HDR plates.";

std::string markdownCell(std::string text) {
    std::string out;
    for (char c : text) out += c == '|' ? std::string("\\|") : std::string(1, c);
    return out;
}

std::string parameterReference(std::vector<ParamInfo> const& params) {
    std::string md = "| Parameter | Default | Range or items | Unit | Meaning |\n|---|---|---|---|---|\n";
    for (ParamInfo const& p : params) {
        if (!p.settable) continue;
        const auto doc = std::find_if(std::begin(kParamDocs), std::end(kParamDocs),
                                      [&](ParamDoc const& d) { return p.path == d.path; });
        if (doc == std::end(kParamDocs)) throw CliError("no reference text for the parameter \"" + p.path + "\"");
        md += "| `" + p.path + "` | " + markdownCell(defaultText(p)) + " | " + markdownCell(rangeText(p)) + " | " +
              doc->unit + " | " + doc->meaning + " |\n";
    }
    return md + "\n" + kBlendModeNote + "\n";
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
    const auto markdown = std::find(args.begin(), args.end(), "--markdown");
    const bool asMarkdown = markdown != args.end();
    if (asMarkdown) args.erase(markdown);
    rejectLeftovers(args, "params");
    const auto host = loadHost(options);
    const std::vector<ParamInfo> params = describeParams(host->params());
    if (asMarkdown) {
        std::fputs(parameterReference(params).c_str(), stdout);
        return 0;
    }

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
    // Every device `render --gpu` can use, as the host's back ends see them.
    std::printf("\nDevices:\n  %-8s %s\n", "CPU", "the engine's own CPU path (--gpu off)");
    for (hostsim::GpuDevice const& d : hostsim::gpuDevices())
        std::printf("  %-8s %s%s\n", hostsim::backendName(d.backend), d.name.c_str(),
                    d.cpu ? " (CPU device: only with --gpu opencl)" : "");
    return 0;
}

}  // namespace raydrift::cli

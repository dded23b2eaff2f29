// `raydrift ui histogram` and `raydrift ui about`: the effect's custom controls drawn the
// way a host's effect panel shows them (the histogram for an input), at twice the pixel
// density so they read well on paper.
#include <cstdio>
#include <string>

#include "cli_error.h"
#include "commands.h"
#include "image_io.h"
#include "param_names.h"
#include "scenes.h"
#include "settings/param_indices.h"
#include "worlds.h"

namespace raydrift::cli {

namespace {

// The control's size in the effect panel.
constexpr int kPanelWidth = 300;
constexpr int kPanelHeight = 126;
constexpr double kPixelDensity = 2.0;

struct UiOptions {
    std::string control;
    std::string input;
    std::string output;
    std::vector<std::string> assignments;
    int depth = 0;  // 0: follows the input
};

UiOptions parse(Args const& args) {
    UiOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string v;
        if (takeValue(args, i, "-o", v) || takeValue(args, i, "--output", v)) {
            o.output = v;
        } else if (takeValue(args, i, "--set", v)) {
            o.assignments.push_back(v);
        } else if (takeValue(args, i, "--depth", v)) {
            o.depth = parseDepth(v);
        } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
            throw UsageError("unknown option \"" + args[i] + "\" for ui (see raydrift help)");
        } else if (o.control.empty()) {
            o.control = args[i];
        } else if (o.input.empty()) {
            o.input = args[i];
        } else {
            throw UsageError("ui takes a control and one INPUT; got \"" + o.input + "\" and \"" + args[i] + "\"");
        }
    }
    if (o.control.empty()) throw UsageError("ui needs a control to draw; controls: histogram, about");
    if (o.control != "histogram" && o.control != "about")
        throw UsageError("unknown control \"" + o.control + "\"; controls: histogram, about");
    if (o.control == "about" && (!o.input.empty() || !o.assignments.empty() || o.depth))
        throw UsageError("ui about takes no INPUT, --set or --depth");
    if (o.output.empty()) o.output = o.control + "-panel.png";
    return o;
}

// The custom control the plug-in declared under this name.
int controlIndex(std::vector<ParamInfo> const& params, std::string const& name) {
    for (ParamInfo const& p : params)
        if (p.control && p.name == name) return p.index;
    throw CliError("the plug-in declares no \"" + name + "\" control");
}

int writePanel(hostsim::Panel const& panel, std::string const& output) {
    if (!panel.writePng(output)) throw CliError("cannot write '" + output + "'");
    std::fprintf(stderr, "wrote %s (%d×%d)\n", output.c_str(), panel.imageWidth(), panel.imageHeight());
    return 0;
}

}  // namespace

int uiCommand(Args args) {
    const PluginOptions pluginOptions = takePluginOptions(args);
    const UiOptions o = parse(args);
    const auto host = loadHost(pluginOptions);

    if (o.control == "about") {
        // The panel at the size the plug-in declared for it.
        PF_ParamDef const& about = host->params().at(kParamAboutPanel);
        hostsim::Panel panel(*host, kParamAboutPanel, PF_Rect{0, 0, about.ui_width, about.ui_height}, kPixelDensity);
        if (PF_Err err = panel.show()) throw CliError("the about panel failed to draw (error " + std::to_string(err) + ")");
        return writePanel(panel, o.output);
    }
    const std::vector<ParamInfo> params = describeParams(host->params());
    hostsim::Panel panel(*host, controlIndex(params, "Histogram"), PF_Rect{0, 0, kPanelWidth, kPanelHeight},
                         kPixelDensity);
    applyAssignments(params, o.assignments, panel.request().params);
    const Picture picture = o.input.empty() ? pictureOf(demoScene()) : readPicture(o.input, {"", "raw"});
    const int depth = o.depth ? o.depth : worldDepth(picture.type);
    panel.setInput(toWorld(picture, worldFormat(host->kind(), depth)));

    PF_Err err = panel.newContext();
    if (!err) err = panel.show();
    if (err) throw CliError("the histogram control failed to draw (error " + std::to_string(err) + ")");
    return writePanel(panel, o.output);
}

}  // namespace raydrift::cli

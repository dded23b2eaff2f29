// raydrift: the light-streak effect for image files and sequences, rendered through the
// plug-in exactly as a video host would drive it.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "cli_error.h"
#include "commands.h"
#include "param_names.h"
#include "settings/render_settings.h"

namespace {

struct Command {
    const char* name;
    int (*run)(raydrift::cli::Args);
    const char* help;
};

constexpr const char* kPluginOptions =
    "options of every command that loads the plug-in:\n"
    "  --host aftereffects|premiere   the host personality (default aftereffects)\n"
    "  --plugin PATH                  the plug-in library (default: the one built with\n"
    "                                 this program, or $RAYDRIFT_PLUGIN)\n";

const Command kCommands[] = {
    {"render", raydrift::cli::renderCommand,
     "  render [INPUT] [-o OUTPUT] [--set \"Name=value\" ...]\n"
     "         renders an image or a sequence (shot.####.exr, shot.%04d.exr); with no\n"
     "         INPUT, renders the built-in demo scene to raydrift-demo.png\n"
     "         --frames LIST     frames of a sequence: 1-120, 1-10x2, 1,5,9 (default:\n"
     "                           every frame found)\n"
     "         --fps N           frame rate; time = frame / fps, so Jitter animates (24)\n"
     "         --jobs N          frames rendered at once (1)\n"
     "         --depth 8|16|32   host world depth (default: follows the input file)\n"
     "         --gpu auto|cuda|opencl|off   render through the host's GPU path on a\n"
     "                           device (float worlds): auto takes a CUDA or OpenCL GPU\n"
     "                           when there is one, else the CPU; opencl may take a CPU\n"
     "                           OpenCL device (such as PoCL) when there is no GPU (off)\n"
     "         --subimage N|NAME the part of a multi-part file to render (0); the\n"
     "                           others are copied unchanged\n"
     "         --colorspace auto|raw|NAME   what the input's values encode: auto renders\n"
     "                           sRGB files (PNG, JPEG, files tagged so) in linear light\n"
     "                           and encodes the result back; raw renders the stored\n"
     "                           values; NAME is any colour space OpenImageIO knows\n"
     "         -d uint8|uint16|half|float   output sample type (default: the input's)\n"
     "         --compression NAME           output compression (default: the input's)\n"
     "         --quality 1-100              quality of lossy output formats\n"
     "         --overwrite       allow the output to replace the input\n"
     "         --fail-fast       stop at the first failed frame\n"
     "         --verbose         read, render and write times of every frame\n"
     "         --quiet           no progress output\n"},
    {"params", raydrift::cli::paramsCommand,
     "  params [--markdown]    the parameters as a host sees them; --markdown prints the\n"
     "                         reference table of the README (units and meanings)\n"},
    {"info", raydrift::cli::infoCommand, "  info                   version, about message, GPU hardware and every device\n"
     "                         with its back end\n"},
    {"bench", raydrift::cli::benchCommand,
     "  bench [SCENARIO ...] [--iterations N] [--json] [--list] [--no-engine]\n"
     "        [--gpu auto|cuda|opencl|off]\n"
     "         the standard frame scenarios rendered through the plug-in; with --gpu on\n"
     "         a device, with the GPU time and the time with transfers apart\n"},
    {"ui", raydrift::cli::uiCommand,
     "  ui histogram [INPUT] [-o PANEL.png] [--set \"Name=value\" ...] [--depth 8|16|32]\n"
     "         draws the histogram control for INPUT (default: the demo scene) at 2x\n"
     "  ui about [-o PANEL.png]\n"
     "         draws the about panel (logo, version, Support button, GPU hardware) at 2x\n"},
};

std::string usage() {
    std::string text = "usage: raydrift <command> [options]   (raydrift <command> --help)\n\ncommands:\n";
    for (Command const& c : kCommands) text += c.help;
    return text + "\n" + kPluginOptions;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace raydrift::cli;
    Args args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(usage().c_str(), stderr);
        return kExitUsage;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    try {
        for (Command const& c : kCommands) {
            if (command != c.name) continue;
            for (std::string const& a : args)
                if (a == "--help" || a == "-h") {
                    std::printf("usage: raydrift %s\n%s", c.help + 2, kPluginOptions);
                    return 0;
                }
            return c.run(args);
        }
        if (command == "help" || command == "--help" || command == "-h") {
            std::fputs(usage().c_str(), stdout);
            return 0;
        }
        if (command == "--version") {
            std::printf("raydrift %s\n", raydrift::releaseVersion().c_str());
            return 0;
        }
        std::vector<std::string> names;
        for (Command const& c : kCommands) names.push_back(c.name);
        throw UsageError("unknown command \"" + command + "\";" + didYouMean(command, names) +
                         " commands: render, params, info, bench, ui, help");
    } catch (CliError const& e) {
        std::fprintf(stderr, "raydrift: %s\n", e.what());
        return e.exitCode;
    } catch (std::bad_alloc const&) {
        std::fprintf(stderr, "raydrift: out of memory\n");
        return kExitFailure;
    } catch (std::exception const& e) {
        std::fprintf(stderr, "raydrift: %s\n", e.what());
        return kExitFailure;
    }
}

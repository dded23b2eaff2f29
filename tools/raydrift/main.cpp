// raydrift: the light-streak effect for image files and sequences, rendered through the
// plug-in exactly as a video host would drive it.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>

#include "cli_error.h"
#include "commands.h"
#include "settings/render_settings.h"

namespace {

constexpr const char* kUsage =
    "usage: raydrift <command> [options]\n"
    "\n"
    "commands:\n"
    "  render [INPUT] [-o OUTPUT] [--set \"Name=value\" ...]\n"
    "         renders an image or a sequence (shot.####.exr, shot.%04d.exr); with no\n"
    "         INPUT, renders the built-in demo scene to raydrift-demo.png\n"
    "         --frames A-B      frames of a sequence (default: every frame found)\n"
    "         --fps N           frame rate; time = frame / fps, so Jitter animates (24)\n"
    "         --jobs N          frames rendered at once (1)\n"
    "         --depth 8|16|32   host world depth (default: follows the input file)\n"
    "         --fail-fast       stop at the first failed frame\n"
    "         --quiet           no progress output\n"
    "  params [--host H]      the parameters as a host sees them\n"
    "  info                   version, about message and GPU hardware\n"
    "  bench [SCENARIO ...] [--iterations N] [--json] [--list]\n"
    "         the standard frame scenarios rendered through the plug-in\n"
    "  ui histogram [INPUT] [-o PANEL.png] [--set \"Name=value\" ...] [--depth 8|16|32]\n"
    "         draws the histogram control for INPUT (default: the demo scene) at 2x\n"
    "  ui about [-o PANEL.png]\n"
    "         draws the about panel (logo, version, Support button, GPU hardware) at 2x\n"
    "\n"
    "options of every command that loads the plug-in:\n"
    "  --host aftereffects|premiere   the host personality (default aftereffects)\n"
    "  --plugin PATH                  the plug-in library (default: the one built with\n"
    "                                 this program, or $RAYDRIFT_PLUGIN)\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace raydrift::cli;
    Args args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    try {
        if (command == "render") return renderCommand(args);
        if (command == "params") return paramsCommand(args);
        if (command == "info") return infoCommand(args);
        if (command == "bench") return benchCommand(args);
        if (command == "ui") return uiCommand(args);
        if (command == "help" || command == "--help" || command == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (command == "--version") {
            std::printf("raydrift %s\n", raydrift::releaseVersion().c_str());
            return 0;
        }
        throw UsageError("unknown command \"" + command + "\"; commands: render, params, info, bench, ui, help");
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

// `raydrift render`: one image, an image sequence, or the demo scene.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <thread>

#include "cli_error.h"
#include "commands.h"
#include "image_io.h"
#include "param_names.h"
#include "progress.h"
#include "scenes.h"
#include "sequence.h"
#include "worlds.h"

namespace raydrift::cli {

namespace {

struct RenderOptions {
    std::string input;
    std::string output;
    std::vector<std::string> assignments;
    std::optional<FrameRange> frames;
    double fps = 24.0;
    int jobs = 1;
    int depth = 0;  // 0: follows the input
    bool failFast = false;
    bool quiet = false;
};

RenderOptions parse(Args const& args) {
    RenderOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string v;
        if (takeValue(args, i, "-o", v) || takeValue(args, i, "--output", v)) {
            o.output = v;
        } else if (takeValue(args, i, "--set", v)) {
            o.assignments.push_back(v);
        } else if (takeValue(args, i, "--frames", v)) {
            o.frames = parseFrameRange(v);
        } else if (takeValue(args, i, "--fps", v)) {
            char* end = nullptr;
            o.fps = std::strtod(v.c_str(), &end);
            if (!end || *end || !(o.fps > 0.0 && o.fps <= 1000.0))
                throw UsageError("--fps expects a frame rate above 0 and up to 1000, got \"" + v + "\"");
        } else if (takeValue(args, i, "--jobs", v)) {
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (!end || *end || n < 1 || n > 64)
                throw UsageError("--jobs expects a whole number from 1 to 64, got \"" + v + "\"");
            o.jobs = static_cast<int>(n);
        } else if (takeValue(args, i, "--depth", v)) {
            o.depth = parseDepth(v);
        } else if (args[i] == "--fail-fast") {
            o.failFast = true;
        } else if (args[i] == "--quiet" || args[i] == "-q") {
            o.quiet = true;
        } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
            throw UsageError("unknown option \"" + args[i] + "\" for render (see raydrift help)");
        } else if (o.input.empty()) {
            o.input = args[i];
        } else {
            throw UsageError("render takes one INPUT; got \"" + o.input + "\" and \"" + args[i] + "\"");
        }
    }
    return o;
}

std::string lowerExtension(std::string const& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// The sample type an output file gets: the input's, unless the format cannot hold it.
SampleType outputType(std::string const& path, SampleType input) {
    const std::string ext = lowerExtension(path);
    const bool floating = input == SampleType::Half || input == SampleType::Float;
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".bmp" || ext == ".gif") return SampleType::UInt8;
    if ((ext == ".png" || ext == ".dpx") && floating) return SampleType::UInt16;
    if (ext == ".exr" && !floating) return SampleType::Half;
    return input;
}

std::string errorText(PF_Err err) {
    switch (err) {
        case PF_Err_OUT_OF_MEMORY: return "out of memory (error 4)";
        case PF_Err_INTERNAL_STRUCT_DAMAGED: return "internal error (error 512)";
        case PF_Err_UNRECOGNIZED_PARAM_TYPE: return "unsupported world (error 514)";
        case PF_Err_BAD_CALLBACK_PARAM: return "bad world or parameter (error 516)";
        default: return "error " + std::to_string(err);
    }
}

class Renderer {
public:
    Renderer(hostsim::Host& host, std::vector<PF_ParamDef> params, RenderOptions const& options)
        : host_(host), params_(std::move(params)), options_(options) {}

    // Renders `picture` (read from `source`, or built in) at `frame` and writes `outPath`.
    void render(Picture const& picture, long frame, std::string const& outPath, SampleType outType) {
        const int depth = options_.depth ? options_.depth : worldDepth(picture.type);
        const int format = worldFormat(host_.kind(), depth);
        const hostsim::World input = toWorld(picture, format);
        hostsim::World output(picture.width, picture.height, format);

        hostsim::FrameRequest request;
        request.params = params_;
        // Milliframes keep fractional rates (23.976) exact enough for Jitter's clock.
        request.timeScale = static_cast<A_u_long>(std::lround(options_.fps * 1000.0));
        request.timeStep = 1000;
        request.currentTime = static_cast<A_long>(frame * 1000);
        const PF_Err err = host_.render(input, output, request);
        if (err != PF_Err_NONE) throw CliError("the effect failed: " + errorText(err));

        Picture result;
        result.header = picture.header;
        fromWorld(output, result);
        const std::vector<bool> untouched = untouchedPixels(input, output);
        writePicture(outPath, result, outType, &picture, &untouched);
    }

private:
    hostsim::Host& host_;
    std::vector<PF_ParamDef> params_;
    RenderOptions const& options_;
};

std::vector<long> existingFrames(FramePattern const& pattern) {
    std::filesystem::path prefix(pattern.prefix);
    std::filesystem::path dir = prefix.parent_path();
    const std::string stem = prefix.filename().string();
    if (dir.empty()) dir = ".";
    std::vector<long> frames;
    std::error_code ec;
    for (auto const& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() <= stem.size() + pattern.suffix.size()) continue;
        if (name.compare(0, stem.size(), stem) != 0) continue;
        if (name.compare(name.size() - pattern.suffix.size(), pattern.suffix.size(), pattern.suffix) != 0)
            continue;
        const std::string digits =
            name.substr(stem.size(), name.size() - stem.size() - pattern.suffix.size());
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (pattern.digits && static_cast<int>(digits.size()) != pattern.digits) continue;
        frames.push_back(std::strtol(digits.c_str(), nullptr, 10));
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

int renderSequence(Renderer& renderer, RenderOptions const& o, FramePattern const& in) {
    if (o.output.empty()) throw UsageError("a sequence needs -o with a frame pattern (shot.####.exr)");
    const auto out = findFramePattern(o.output);
    if (!out) throw UsageError("the output of a sequence needs a frame pattern (#### or %04d): \"" + o.output + "\"");

    std::vector<long> frames;
    if (o.frames) {
        for (long f = o.frames->first; f <= o.frames->last; ++f) frames.push_back(f);
    } else {
        frames = existingFrames(in);
        if (frames.empty()) throw CliError("no frames found for '" + o.input + "'");
    }

    Progress progress(static_cast<long>(frames.size()), !o.quiet && isatty(STDERR_FILENO) != 0,
                      o.quiet ? nullptr : stderr);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    auto work = [&] {
        for (;;) {
            if (stop.load()) return;
            const std::size_t i = next.fetch_add(1);
            if (i >= frames.size()) return;
            const std::string inPath = framePath(in, frames[i]);
            const std::string outPath = framePath(*out, frames[i]);
            try {
                const Picture picture = readPicture(inPath);
                renderer.render(picture, frames[i], outPath, outputType(outPath, picture.type));
                progress.frameDone(inPath, true);
            } catch (std::exception const& e) {
                progress.frameDone(inPath, false, e.what());
                if (o.failFast) stop.store(true);
            }
        }
    };
    const int jobs = std::min<int>(o.jobs, static_cast<int>(frames.size()));
    std::vector<std::thread> threads;
    for (int j = 1; j < jobs; ++j) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    progress.finish();

    const long missing = static_cast<long>(frames.size()) - progress.rendered() - progress.failed();
    if (progress.failed() || missing) {
        std::fprintf(stderr, "raydrift: %ld of %zu frames not rendered\n", progress.failed() + missing,
                     frames.size());
        return kExitFailure;
    }
    return 0;
}

}  // namespace

int renderCommand(Args args) {
    const PluginOptions pluginOptions = takePluginOptions(args);
    const RenderOptions o = parse(args);
    const auto host = loadHost(pluginOptions);

    // Every --set is checked before anything renders, so a typo costs nothing.
    const std::vector<ParamInfo> params = describeParams(host->params());
    std::vector<PF_ParamDef> values = host->defaults();
    applyAssignments(params, o.assignments, values);
    Renderer renderer(*host, values, o);

    if (o.input.empty()) {
        const std::string out = o.output.empty() ? "raydrift-demo.png" : o.output;
        const Picture demo = pictureOf(demoScene());
        const SampleType type =
            lowerExtension(out) == ".png" ? SampleType::UInt8 : outputType(out, SampleType::Float);
        renderer.render(demo, 0, out, type);
        if (!o.quiet) std::fprintf(stderr, "wrote %s\n", out.c_str());
        return 0;
    }
    if (const auto pattern = findFramePattern(o.input)) return renderSequence(renderer, o, *pattern);

    std::string out = o.output;
    if (out.empty()) {
        const std::filesystem::path in(o.input);
        out = (in.parent_path() / (in.stem().string() + "-raydrift" + in.extension().string())).string();
    }
    if (findFramePattern(out)) throw UsageError("one input image needs a plain output name, got \"" + out + "\"");
    const Picture picture = readPicture(o.input);
    const long frame = o.frames ? o.frames->first : 0;
    renderer.render(picture, frame, out, outputType(out, picture.type));
    if (!o.quiet) std::fprintf(stderr, "wrote %s\n", out.c_str());
    return 0;
}

}  // namespace raydrift::cli

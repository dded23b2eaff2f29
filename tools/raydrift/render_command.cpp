// `raydrift render`: one image, an image sequence, or the demo scene.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <thread>

#include "cli_error.h"
#include "commands.h"
#include "gpu_choice.h"
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
    std::optional<std::vector<long>> frames;
    double fps = 24.0;
    int jobs = 1;
    int depth = 0;  // 0: follows the input
    bool failFast = false;
    bool quiet = false;
    bool verbose = false;
    bool overwrite = false;
    GpuMode gpu = GpuMode::Off;
    ReadOptions read;
    WriteOptions write;
};

const std::vector<std::string> kRenderOptions = {
    "-o", "--output", "--set", "--frames", "--fps", "--jobs", "--depth", "--fail-fast", "--quiet",
    "--verbose", "--overwrite", "--gpu", "--subimage", "--colorspace", "-d", "--compression", "--quality"};

RenderOptions parse(Args const& args) {
    RenderOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string v;
        if (takeValue(args, i, "-o", v) || takeValue(args, i, "--output", v)) {
            o.output = v;
        } else if (takeValue(args, i, "--set", v)) {
            o.assignments.push_back(v);
        } else if (takeValue(args, i, "--frames", v)) {
            o.frames = parseFrameList(v);
        } else if (takeValue(args, i, "--fps", v)) {
            char* end = nullptr;
            o.fps = std::strtod(v.c_str(), &end);
            if (!end || *end || !(o.fps > 0.0 && o.fps <= 1000.0))
                throw UsageError("--fps expects a frame rate above 0 and up to 1000, got \"" + v + "\"");
        } else if (takeValue(args, i, "--jobs", v)) {
            o.jobs = static_cast<int>(parseWhole("--jobs", v, 1, 64));
        } else if (takeValue(args, i, "--depth", v)) {
            o.depth = parseDepth(v);
        } else if (takeValue(args, i, "--gpu", v)) {
            o.gpu = parseGpuMode(v);
        } else if (takeValue(args, i, "--subimage", v)) {
            o.read.subimage = v;
        } else if (takeValue(args, i, "--colorspace", v)) {
            checkColourSpace(v);
            o.read.colourSpace = v;
        } else if (takeValue(args, i, "-d", v)) {
            o.write.type = parseSampleType(v);
        } else if (takeValue(args, i, "--compression", v)) {
            o.write.compression = v;
        } else if (takeValue(args, i, "--quality", v)) {
            o.write.quality = static_cast<int>(parseWhole("--quality", v, 1, 100));
        } else if (args[i] == "--fail-fast") {
            o.failFast = true;
        } else if (args[i] == "--quiet" || args[i] == "-q") {
            o.quiet = true;
        } else if (args[i] == "--verbose" || args[i] == "-v") {
            o.verbose = true;
        } else if (args[i] == "--overwrite") {
            o.overwrite = true;
        } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
            throw UsageError("unknown option \"" + args[i] + "\" for render;" +
                             didYouMean(args[i].substr(0, args[i].find('=')), kRenderOptions) +
                             " (see raydrift render --help)");
        } else if (o.input.empty()) {
            o.input = args[i];
        } else {
            throw UsageError("render takes one INPUT; got \"" + o.input + "\" and \"" + args[i] + "\"");
        }
    }
    o.write.quiet = o.quiet;
    if (o.gpu != GpuMode::Off && o.depth != 0 && o.depth != 32)
        throw UsageError("--gpu renders on 32-bit float worlds; drop --depth or give --depth 32");
    return o;
}

std::string lowerExtension(std::string const& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
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

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Replacing an input is allowed only when asked for: a typo in -o must not destroy a plate.
void refuseOverwritingInput(std::string const& input, std::string const& output, bool overwrite) {
    std::error_code ec;
    if (!overwrite && std::filesystem::equivalent(input, output, ec))
        throw UsageError("'" + output + "' is the input; pass --overwrite to replace it");
}

// What one job keeps from frame to frame: a sequence of same-sized frames allocates its
// buffers and worlds once, and no frame pays for clearing memory it overwrites.
struct JobBuffers {
    Picture picture;
    hostsim::World input;
    hostsim::World output;
    std::vector<float> result;
    std::vector<bool> untouched;
};

class Renderer {
public:
    Renderer(hostsim::Host& host, std::vector<ParamInfo> const& params, std::vector<PF_ParamDef> values,
             RenderOptions const& options, bool gpu)
        : host_(host), params_(std::move(values)), options_(options), write_(options.write), gpu_(gpu) {
        const ParamInfo& view = findParam(params, "View");
        alphaView_ = params_.at(static_cast<std::size_t>(view.index)).u.pd.value >= kAlphaViewItem;
        write_.parameters = changedParameters(params, params_);
    }

    // Reads `inPath`, renders it at `frame` and writes `outPath`.
    void renderFile(std::string const& inPath, long frame, std::string const& outPath, JobBuffers& job) {
        const auto start = std::chrono::steady_clock::now();
        readPicture(inPath, options_.read, job.picture);
        const double readMs = millisecondsSince(start);
        render(job.picture, frame, outPath, job, readMs, inPath);
    }

    // Renders `picture` at `frame` and writes `outPath`.
    void render(Picture const& picture, long frame, std::string const& outPath, JobBuffers& job,
                double readMs = 0.0, std::string const& inName = {}) {
        auto start = std::chrono::steady_clock::now();
        // Linear light needs float: 8 bits would band the darks.
        // The GPU path renders float worlds, uploaded to the device once per frame.
        const int depth = options_.depth                ? options_.depth
                          : gpu_ || !picture.colourSpace.empty() ? 32
                                                                 : worldDepth(picture.type);
        const int format = worldFormat(host_.kind(), depth);
        toWorld(picture, format, job.input);
        hostsim::World const& input = job.input;
        hostsim::World& output = job.output;
        // The effect writes every pixel of the output it is given.
        if (output.width() != picture.width || output.height() != picture.height || output.format() != format)
            output = hostsim::World(picture.width, picture.height, format);

        hostsim::FrameRequest request;
        request.params = params_;
        // Milliframes keep fractional rates (23.976) exact enough for Jitter's clock.
        request.timeScale = static_cast<A_u_long>(std::lround(options_.fps * 1000.0));
        request.timeStep = 1000;
        request.currentTime = static_cast<A_long>(frame * 1000);
        request.gpu = gpu_;
        hostsim::SmartTrace trace;
        PF_Err err = host_.render(input, output, request, &trace);
        if (gpu_ && trace.gpuRendered && err != PF_Err_NONE && err != PF_Interrupt_CANCEL) {
            // A frame the device failed: the plug-in takes the device out of service and
            // this frame, like the rest, renders on the CPU.
            request.gpu = false;
            err = host_.render(input, output, request);
            ++gpuFailed_;
        }
        if (gpu_ && !trace.gpuRendered) ++cpuFrames_;
        if (err != PF_Err_NONE) throw CliError("the effect failed: " + errorText(err));
        fromWorld(output, alphaView_, job.result);
        untouchedPixels(input, output, job.untouched);
        const double renderMs = millisecondsSince(start);

        start = std::chrono::steady_clock::now();
        writePicture(outPath, job.result, picture, &job.untouched, write_);
        if (options_.verbose)
            std::fprintf(stderr, "frame %ld: %s -> %s  read %.1f ms, render %.1f ms, write %.1f ms\n", frame,
                         inName.empty() ? "(demo)" : inName.c_str(), outPath.c_str(), readMs, renderMs,
                         millisecondsSince(start));
    }

    // Frames the plug-in rendered on the CPU although a device was offered, and frames the
    // device failed.
    long cpuFrames() const { return cpuFrames_.load(); }
    long gpuFailed() const { return gpuFailed_.load(); }

private:
    static constexpr int kAlphaViewItem = 4;  // "Alpha" in the View menu
    hostsim::Host& host_;
    std::vector<PF_ParamDef> params_;
    RenderOptions const& options_;
    WriteOptions write_;
    bool alphaView_ = false;
    bool gpu_ = false;
    std::atomic<long> cpuFrames_{0}, gpuFailed_{0};
};

// The device of --gpu offered to the plug-in; false when frames render on the CPU.
bool chooseDevice(hostsim::Host& host, RenderOptions const& o) {
    if (o.gpu == GpuMode::Off) return false;
    const std::optional<hostsim::GpuDevice> device = pickGpuDevice(o.gpu);
    if (!device) {
        if (!o.quiet) std::fprintf(stderr, "no GPU device; rendering on the CPU\n");
        return false;
    }
    if (!offerGpuDevice(host, *device)) {
        if (!o.quiet)
            std::fprintf(stderr, "%s: the plug-in declined the device; rendering on the CPU\n",
                         deviceLabel(*device).c_str());
        return false;
    }
    if (!o.quiet) std::fprintf(stderr, "rendering on %s\n", deviceLabel(*device).c_str());
    return true;
}

// What the frames did on the device, when not all of them rendered there.
void reportFallback(Renderer const& renderer, bool quiet) {
    if (quiet) return;
    if (renderer.cpuFrames() > 0)
        std::fprintf(stderr, "%ld frame(s) rendered on the CPU: the plug-in declined the GPU for them\n",
                     renderer.cpuFrames());
    if (renderer.gpuFailed() > 0)
        std::fprintf(stderr, "%ld frame(s) failed on the GPU and rendered on the CPU\n", renderer.gpuFailed());
}

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
        frames = *o.frames;
    } else {
        frames = existingFrames(in);
        if (frames.empty()) throw CliError("no frames found for '" + o.input + "'");
    }

    for (long f : frames) refuseOverwritingInput(framePath(in, f), framePath(*out, f), o.overwrite);

    Progress progress(static_cast<long>(frames.size()), !o.quiet && !o.verbose && isatty(STDERR_FILENO) != 0,
                      o.quiet ? nullptr : stderr);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    auto work = [&] {
        JobBuffers job;
        for (;;) {
            if (stop.load()) return;
            const std::size_t i = next.fetch_add(1);
            if (i >= frames.size()) return;
            const std::string inPath = framePath(in, frames[i]);
            const std::string outPath = framePath(*out, frames[i]);
            try {
                renderer.renderFile(inPath, frames[i], outPath, job);
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
    RenderOptions o = parse(args);
    const auto host = loadHost(pluginOptions);

    // Every --set is checked before anything renders, so a typo costs nothing.
    const std::vector<ParamInfo> params = describeParams(host->params());
    std::vector<PF_ParamDef> values = host->defaults();
    applyAssignments(params, o.assignments, values);

    const bool gpu = chooseDevice(*host, o);
    if (o.input.empty()) {
        const std::string out = o.output.empty() ? "raydrift-demo.png" : o.output;
        if (!o.write.type && lowerExtension(out) == ".png") o.write.type = SampleType::UInt8;
        Renderer renderer(*host, params, values, o, gpu);
        JobBuffers job;
        renderer.render(pictureOf(demoScene()), 0, out, job);
        reportFallback(renderer, o.quiet);
        if (!o.quiet) std::fprintf(stderr, "wrote %s\n", out.c_str());
        return 0;
    }
    Renderer renderer(*host, params, values, o, gpu);
    if (const auto pattern = findFramePattern(o.input)) {
        const int result = renderSequence(renderer, o, *pattern);
        reportFallback(renderer, o.quiet);
        return result;
    }

    if (o.frames)
        throw UsageError("--frames needs a sequence (an INPUT with #### or %04d); \"" + o.input +
                         "\" is a single image");
    std::string out = o.output;
    if (out.empty()) {
        const std::filesystem::path in(o.input);
        out = (in.parent_path() / (in.stem().string() + "-raydrift" + in.extension().string())).string();
    }
    if (findFramePattern(out)) throw UsageError("one input image needs a plain output name, got \"" + out + "\"");
    refuseOverwritingInput(o.input, out, o.overwrite);
    JobBuffers job;
    renderer.renderFile(o.input, 0, out, job);
    reportFallback(renderer, o.quiet);
    if (!o.quiet) std::fprintf(stderr, "wrote %s\n", out.c_str());
    return 0;
}

}  // namespace raydrift::cli

#include "gpu/metal_frame.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "gpu/metal_graph.h"
#include "image/streak.h"
#include "image/frame_plan.h"

namespace raydrift::metal {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// (hi, lo): a double carried as two floats.
void split(double x, float& hi, float& lo) {
    hi = static_cast<float>(x);
    lo = static_cast<float>(x - static_cast<double>(hi));
}

float derivedScale(int w, int h) {
    return static_cast<float>(std::sqrt(static_cast<double>(std::max(w, 1)) *
                                        static_cast<double>(std::max(h, 1)) / 2073600.0));
}

// The streak passes' reference scale: the selected image's, or the given one, which the
// quarter path shrinks with the image.
float streakScale(Constants const& c, RenderSettings const& s) {
    if (!(s.scale > 0.0f)) return derivedScale(c.kw, c.kh);
    if (c.factor != 4) return s.scale;
    return s.scale * std::sqrt((static_cast<float>(c.kw) * static_cast<float>(c.kh)) /
                               (static_cast<float>(c.iw) * static_cast<float>(c.ih)));
}

void decline(std::string* error, const char* reason) noexcept {
    if (error == nullptr) return;
    try {
        *error = reason;
    } catch (...) {
        // Out of memory for the message: the frame is declined all the same.
    }
}

bool blendedView(ViewMode view) {
    return view != ViewMode::Matte && view != ViewMode::Black && view != ViewMode::Alpha;
}

}  // namespace

double phaseStep(Constants const& c) {
    const double n = static_cast<double>((c.symmetric != 0 ? c.r + 1 : 1) + c.r);
    return std::min(n * 0.25, 3.0) * kTwoPi / n;
}

void setMaskConstants(Constants& c, RenderSettings const& s) {
    c.lowCut = s.lowCut;
    c.lowFeather = s.lowFeather;
    c.highCut = s.highCut;
    c.highFeather = s.highFeather;
    c.reserved0 = s.invert ? 1.0f : 0.0f;
}

Constants parameters(int w, int h, RenderSettings const& s, ExactSums* exact) {
    // The geometry is the CPU's own frame plan. A matte or zero-strength frame has none
    // of its own, so it is planned as the frame with streaks it would otherwise be; the
    // settings are already animated, so the plan must not animate them again.
    RenderSettings planned = s;
    planned.jitterLength = planned.jitterWidth = planned.jitterDiffraction = false;
    if (planned.view == ViewMode::Matte) planned.view = ViewMode::Quality;
    if (!(planned.opacity > 0.0f && planned.intensity > 0.0f)) planned.opacity = planned.intensity = 1.0f;
    const bool quarter = (s.performance || s.view == ViewMode::Performance) && w >= 2 && h >= 2 &&
                         (s.length > 0.0f || s.width > 0.0f);

    Constants c{};
    c.iw = w;
    c.ih = h;
    c.factor = quarter ? 4 : 1;
    c.kw = quarter ? image::quarterSize(w) : w;
    c.kh = quarter ? image::quarterSize(h) : h;
    const float sigma = streakScale(c, s);
    if (!(sigma > 0.0f && sigma <= 64.0f)) throw std::runtime_error("Unsupported Metal reference scale");
    if (!(std::isfinite(s.length) && std::isfinite(s.width) && s.length >= 0.0f && s.width >= 0.0f &&
          sigma * s.length <= 16384.0f && sigma * s.width <= 8192.0f))
        throw std::runtime_error("Metal spatial settings exceed safe limit");
    const float sigmaC = s.scale > 0.0f ? s.scale : derivedScale(w, h);
    if (s.chromaticAmount > 0.0f && !(std::isfinite(s.chromaticAmount) && sigmaC * s.chromaticAmount <= 8192.0f))
        throw std::runtime_error("Metal chromatic halo exceeds safe limit");
    if (!std::isfinite(std::remainder(s.direction, 360.0f) * 0.017453292f))
        throw std::runtime_error("Nonfinite Metal direction");
    // The kernels reproduce the CPU only for finite settings (an infinite gain turns the
    // last bit of a streak sum into an infinite difference) and for the four edge modes
    // (the CPU reads nothing through any other value, even inside the image).
    for (const float v : {s.lowCut, s.lowFeather, s.highCut, s.highFeather, s.saturation, s.tint, s.intensity,
                          s.opacity, s.tintR, s.tintG, s.tintB, s.details, s.diffraction, s.chromaticAmount})
        if (!std::isfinite(v)) throw std::runtime_error("Nonfinite Metal settings");
    const int edge = static_cast<int>(s.edgeMode);
    if (edge < 0 || edge > static_cast<int>(EdgeMode::Transparent)) throw std::runtime_error("Unsupported Metal edge mode");

    const image::FramePlan plan = image::planFrame(w, h, planned);
    if (plan.path != image::FramePath::Full && plan.path != image::FramePath::Quarter)
        throw std::logic_error("frame plan without streaks");
    c.sx = plan.ratioX;
    c.sy = plan.ratioY;
    setStreakConstants(c, plan.streak, s, plan.margin, exact);
    if (plan.chromatic) {
        const float d = s.chromaticAmount * plan.colorSettings.scale;
        const float alpha = s.direction * 0.017453292f;
        c.dx = d * std::sin(alpha);
        c.dy = -(std::cos(alpha) * d);
    }

    c.view = static_cast<int>(s.view);
    c.blend = static_cast<int>(s.blendMode);
    c.channels = s.channels;

    setMaskConstants(c, s);
    c.saturation = s.saturation;
    c.tint = std::clamp(s.tint, 0.0f, 1.0f);
    c.intensity = s.intensity;
    c.opacity = s.opacity;
    c.tr = s.tintR;
    c.tg = s.tintG;
    c.tb = s.tintB;
    return c;
}

void setStreakConstants(Constants& c, image::StreakGeometry const& g, RenderSettings const& s, int margin,
                        ExactSums* exact) {
    c.cs = g.cs;
    c.sn = g.sn;
    c.ox = g.ox;
    c.oy = g.oy;
    c.ww = g.canvasWidth;
    c.wh = g.canvasHeight;
    const int L = g.length;
    const int R = g.halfWidth;
    c.length = std::max(L, 0);
    c.radius = std::max(R, 0);
    c.r = g.reach;
    c.symmetric = s.symmetric ? 1 : 0;
    c.margin = margin;
    c.cw = c.kw + 2 * c.margin;
    c.ch = c.kh + 2 * c.margin;
    c.edge = static_cast<int>(s.edgeMode);
    c.noSpatial = (L < 1 && R < 1) ? 1 : 0;
    c.quarter = g.axisAligned ? 1 : 0;
    c.details = s.details;

    const double M = L > 0 ? static_cast<double>(g.strength) * 0.85 : 0.0;
    split(M, c.modulation, c.modulationLo);

    const int B = 2 * c.radius + 1;
    if (M > 0.0) {
        const double step = phaseStep(c);
        double S = 0.0;
        for (int k = c.symmetric != 0 ? -c.r : 0; k <= c.r; ++k)
            S += static_cast<double>(c.r + 1 - std::abs(k)) * std::fma(M, std::cos(step * k), 1.0);
        split(1.0 / S, c.inverseHi, c.inverseLo);
        split(1.0 / static_cast<double>(B), c.hInverseHi, c.hInverseLo);
        if (exact != nullptr) *exact = {1.0 / S, M, 1.0 / static_cast<double>(B)};
    } else {
        const double weights = c.symmetric != 0 ? static_cast<double>(c.r + 1) * static_cast<double>(c.r + 1)
                                                : (c.length + 1.0) * 0.5 * (c.length + 2.0);
        split(1.0 / weights, c.inverseHi, c.inverseLo);
        c.hInverseHi = 1.0f / static_cast<float>(B);
        if (exact != nullptr) *exact = {1.0 / weights, 0.0, 1.0 / static_cast<double>(B)};
    }
}

std::uint64_t frameBytes(Constants const& c, std::uint64_t pixels) {
    const auto n = [](int v) { return static_cast<std::uint64_t>(std::max(v, 0)); };
    const std::uint64_t spatial = c.noSpatial != 0 ? 0 : 2 * (n(c.wh) + n(c.wh) * n(c.ww));
    const std::uint64_t colour = n(c.cw) * n(c.ch) * (c.margin >= 1 ? 2 : 1);
    return 16 * (n(c.kw) * n(c.kh) + 2 * pixels + n(c.wh) + spatial + colour) + 4 * n(c.ww) + 4096;
}

std::vector<float> phaseTable(Constants const& c) {
    const std::size_t rows = static_cast<std::size_t>(std::max(c.wh, 1));
    std::vector<float> phases(rows * 4, 0.0f);
    const double step = phaseStep(c);
    for (std::size_t y = 0; y < static_cast<std::size_t>(std::max(c.wh, 0)); ++y) {
        split(std::cos(step * static_cast<double>(y)), phases[4 * y], phases[4 * y + 1]);
        split(std::sin(step * static_cast<double>(y)), phases[4 * y + 2], phases[4 * y + 3]);
    }
    return phases;
}

std::vector<float> detailsFactors(Constants const& c, RenderSettings const& settings) {
    std::vector<float> factors(static_cast<std::size_t>(std::max(c.ww, 1)), 1.0f);
    if (settings.details > 0.0f && c.noSpatial == 0) {
        const float sigma = std::max(streakScale(c, settings), 0.001f);
        for (int x = 0; x < c.ww; ++x)
            factors[static_cast<std::size_t>(x)] = image::detailsFactor(x, c.ox, sigma, settings.details);
    }
    return factors;
}

Graph::Graph(Context& context, MTL::Buffer* original, RenderSettings const& settings,
             Constants const& constants, HostArena* arena)
    : context_(context), constants_(constants), arena_(arena), original_(Owned<MTL::Buffer>::retain(original)) {
    Constants const& c = constants_;
    params_ = Owned<MTL::Buffer>::retain(context.buffer(sizeof(Constants), &c, true));

    const std::vector<float> phases = phaseTable(c);
    phases_ = Owned<MTL::Buffer>::retain(context.buffer(phases.size() * sizeof(float), phases.data(), true));
    const std::vector<float> factors = detailsFactors(c, settings);
    factors_ = Owned<MTL::Buffer>::retain(context.buffer(factors.size() * sizeof(float), factors.data(), true));

    const std::uint32_t zero = 0;
    flags_ = Owned<MTL::Buffer>::retain(context.buffer(sizeof zero, &zero, true));

    MTL::CommandBuffer* commands = context.queue()->commandBuffer();
    if (commands == nullptr) throw std::runtime_error("Metal command buffer unavailable");
    commands->setLabel(NS::String::string("Raydrift complete spatial frame", NS::UTF8StringEncoding));
    commandBuffer_ = Owned<MTL::CommandBuffer>::retain(commands);
}

MTL::Buffer* Graph::image(std::size_t elements, bool shared) {
    const std::size_t bytes = std::max<std::size_t>(elements, 1) * 16;
    MTL::Buffer* buffer = arena_ != nullptr ? arena_->buffer(context_, bytes) : context_.buffer(bytes, nullptr, shared);
    images_.push_back(Owned<MTL::Buffer>::retain(buffer));
    return buffer;
}

void Graph::pass(Pass pass, MTL::Buffer* source, MTL::Buffer* destination, int width, int height,
                 bool linear) {
    MTL::ComputeCommandEncoder* encoder = commandBuffer_->computeCommandEncoder();
    if (encoder == nullptr) throw std::runtime_error("Metal compute encoder unavailable");
    MTL::ComputePipelineState* pipeline = context_.pipeline(pass);
    encoder->setComputePipelineState(pipeline);
    encoder->setBuffer(source, 0, 0);
    encoder->setBuffer(destination, 0, 1);
    encoder->setBuffer(original_.get(), 0, 2);
    encoder->setBuffer(params_.get(), 0, 3);
    encoder->setBuffer(phases_.get(), 0, 4);
    encoder->setBuffer(factors_.get(), 0, 5);
    encoder->setBuffer(flags_.get(), 0, 6);
    const NS::UInteger most = pipeline->maxTotalThreadsPerThreadgroup();
    const NS::UInteger simd = std::max<NS::UInteger>(pipeline->threadExecutionWidth(), 1);
    const MTL::Size group = linear ? MTL::Size{std::min<NS::UInteger>(most, 64), 1, 1}
                                   : MTL::Size{simd, std::min<NS::UInteger>(most / simd, 8), 1};
    encoder->dispatchThreads(MTL::Size{static_cast<NS::UInteger>(std::max(width, 0)),
                                       static_cast<NS::UInteger>(std::max(height, 0)), 1},
                             group);
    encoder->endEncoding();
}

MTL::Buffer* Graph::encode() {
    Constants const& c = constants_;
    const auto area = [](int w, int h) {
        return static_cast<std::size_t>(std::max(w, 0)) * static_cast<std::size_t>(std::max(h, 0));
    };
    MTL::Buffer* result = image(area(c.iw, c.ih), arena_ == nullptr);
    MTL::Buffer* original = original_.get();
    if (c.view == static_cast<int>(ViewMode::Matte) || c.opacity <= 0.0f || c.intensity <= 0.0f) {
        pass(Pass::compositeFrame, original, result, c.iw, c.ih, false);
        return result;
    }
    MTL::Buffer* selected = image(area(c.kw, c.kh), false);
    pass(Pass::selectSource, original, selected, c.kw, c.kh, false);
    MTL::Buffer* streaks = selected;
    if (c.noSpatial == 0) {
        MTL::Buffer* work = image(area(c.ww, c.wh), false);
        MTL::Buffer* prefix = image(area(c.ww + 1, c.wh), false);
        pass(Pass::rotateSource, selected, work, c.ww, c.wh, false);
        MTL::Buffer* blurred = work;
        MTL::Buffer* spare = prefix;
        if (c.modulation > 0.0f) {
            pass(Pass::horizontalAccurate, work, prefix, c.wh, 1, true);
            blurred = prefix;
            spare = work;
        } else if (c.radius >= 1) {
            pass(Pass::horizontalPrefix, work, prefix, c.wh, 1, true);
            pass(Pass::horizontalWindow, prefix, work, c.ww, c.wh, false);
        }
        streaks = blurred;
        if (c.length >= 1) {
            pass(c.modulation > 0.0f ? Pass::verticalModulated : Pass::verticalSimple, blurred, spare, c.ww, 1, true);
            streaks = spare;
        }
    }
    MTL::Buffer* colour = image(area(c.cw, c.ch), false);
    pass(Pass::cropSource, streaks, colour, c.cw, c.ch, false);
    if (c.margin >= 1) {
        MTL::Buffer* temporary = image(area(c.cw, c.ch), false);
        pass(Pass::colorSource, colour, temporary, c.cw, c.ch, false);
        pass(Pass::chromaticSource, temporary, colour, c.cw, c.ch, false);
    }
    pass(Pass::compositeFrame, colour, result, c.iw, c.ih, false);
    return result;
}

bool frame(image::Image const& input, image::Image& output, RenderSettings const& settings,
           std::string* error) {
    try {
        AutoreleaseScope pool;
        if (&input == &output || input.pixels.empty()) throw std::runtime_error("Invalid Metal software frame");
        const RenderSettings animated = animatedSettings(settings);
        if (blendedView(animated.view)) {
            if (animated.blendMode == BlendMode::ColorDodge || animated.blendMode == BlendMode::ColorBurn)
                throw std::runtime_error("Precision-sensitive Dodge/Burn uses CPU renderer");
            if (animated.blendMode != BlendMode::Add && animated.blendMode != BlendMode::LinearDodge) {
                for (image::Pixel const& p : input.pixels)
                    if (p.r < 0.0f || p.g < 0.0f || p.b < 0.0f)
                        throw std::runtime_error("Signed HDR with non-additive blend uses CPU renderer");
            }
        }
        const Constants constants = parameters(input.width, input.height, animated);
        const std::shared_ptr<Context> context = sharedContext();
        const std::size_t pixels = input.pixelCount();
        AdmissionGate::Admission admission =
            admissionGate.acquire(frameBytes(constants, pixels), standardPolicy(context->device()));
        MTL::Buffer* original = context->buffer(pixels * sizeof(image::Pixel), input.pixels.data(), true);
        Graph graph(*context, original, animated, constants, nullptr);
        MTL::Buffer* result = graph.encode();
        MTL::CommandBuffer* commands = graph.commandBuffer();
        commands->commit();
        commands->waitUntilCompleted();
        if (commands->status() != MTL::CommandBufferStatusCompleted)
            throw std::runtime_error("Metal command: " + errorMessage(commands->error()));
        std::uint32_t flags = 0;
        std::memcpy(&flags, graph.flags()->contents(), sizeof flags);
        if ((flags & 2u) != 0) throw std::runtime_error("Nonfinite/high-HDR input uses CPU precision renderer");
        std::vector<image::Pixel> rendered(pixels);
        std::memcpy(rendered.data(), result->contents(), pixels * sizeof(image::Pixel));
        output.width = input.width;
        output.height = input.height;
        output.pixels = std::move(rendered);
        return true;
    } catch (std::exception const& e) {
        decline(error, e.what());
    } catch (...) {
        decline(error, "Unknown Metal failure");
    }
    return false;
}

}  // namespace raydrift::metal

#include "gpu/metal_host.h"

#include <cstring>
#include <mutex>
#include <stdexcept>

#include "gpu/metal_graph.h"
#include "image/frame.h"

namespace raydrift::metal {

namespace {

// Commits, waits, and requires the command buffer to have completed.
void finishCommand(MTL::CommandBuffer* commands) {
    commands->commit();
    commands->waitUntilCompleted();
    if (commands->status() != MTL::CommandBufferStatusCompleted)
        throw std::runtime_error("Host Metal command: " + errorMessage(commands->error()));
}

MTL::CommandBuffer* newCommands(Context const& context) {
    MTL::CommandBuffer* commands = context.queue()->commandBuffer();
    if (commands == nullptr) throw std::runtime_error("Metal command buffer unavailable");
    return commands;
}

// Encodes one importHost or exportHost dispatch; `input` and `original` are read by the
// export only.
void hostPass(Context& context, MTL::CommandBuffer* commands, Pass pass, MTL::Buffer* source,
              MTL::Buffer* destination, HostParams const& hp, MTL::Buffer* flags, MTL::Buffer* input,
              MTL::Buffer* original) {
    MTL::ComputeCommandEncoder* encoder = commands->computeCommandEncoder();
    if (encoder == nullptr) throw std::runtime_error("Host encoder unavailable");
    MTL::ComputePipelineState* pipeline = context.pipeline(pass);
    encoder->setComputePipelineState(pipeline);
    encoder->setBuffer(source, 0, 0);
    encoder->setBuffer(destination, 0, 1);
    encoder->setBytes(&hp, sizeof hp, 2);
    encoder->setBuffer(flags, 0, 3);
    const bool exporting = pass == Pass::exportHost;
    if (exporting) {
        encoder->setBuffer(input, 0, 4);
        encoder->setBuffer(original, 0, 5);
    }
    const NS::UInteger e = pipeline->threadExecutionWidth();
    const NS::UInteger m = pipeline->maxTotalThreadsPerThreadgroup();
    const MTL::Size group{e, e == 0 ? 0 : std::min<NS::UInteger>(m / e, 8), 1};
    const int w = exporting ? hp.dw : hp.w;
    const int h = exporting ? hp.dh : hp.h;
    encoder->dispatchThreads(MTL::Size{static_cast<NS::UInteger>(w), static_cast<NS::UInteger>(h), 1}, group);
    encoder->endEncoding();
}

std::uint32_t flagsOf(MTL::Buffer* flags) {
    std::uint32_t word = 0;
    std::memcpy(&word, flags->contents(), sizeof word);
    return word;
}

bool blendedView(ViewMode view) { return view == ViewMode::Performance || view == ViewMode::Quality; }

}  // namespace

struct HostRenderer::Impl {
    Impl(void* device, void* queue, HostMemory hostMemory)
        : context(static_cast<MTL::Device*>(device), static_cast<MTL::CommandQueue*>(queue)),
          memory(hostMemory) {}

    void render(HostFrame const& frame, RenderSettings const& settings);
    void fallback(HostParams const& hp, MTL::Buffer* input, MTL::Buffer* output, RenderSettings const& settings);

    Context context;
    HostMemory memory;
    std::mutex mutex;
};

HostParams hostParams(HostFrame const& frame, ViewMode view) {
    HostParams hp{};
    hp.w = frame.width;
    hp.h = frame.height;
    hp.sw = frame.sourceWidth != 0 ? frame.sourceWidth : frame.width;
    hp.sh = frame.sourceHeight != 0 ? frame.sourceHeight : frame.height;
    hp.sx = frame.sourceX;
    hp.sy = frame.sourceY;
    hp.dw = frame.destWidth != 0 ? frame.destWidth : frame.width;
    hp.dh = frame.destHeight != 0 ? frame.destHeight : frame.height;
    hp.dx = frame.destX;
    hp.dy = frame.destY;
    hp.inPitch = frame.inPitch;
    hp.outPitch = frame.outPitch;
    hp.halfPixels = frame.halfPixels ? 1 : 0;
    hp.ae = frame.ae ? 1 : 0;
    hp.straightOut = view == ViewMode::Alpha ? 1 : (frame.ae ? 0 : 1);
    hp.copyOriginal = !frame.ae && blendedView(view) ? 1 : 0;
    return hp;
}

void HostRenderer::Impl::render(HostFrame const& frame, RenderSettings const& settings) {
    std::lock_guard<std::mutex> lock(mutex);
    if (frame.width < 1 || frame.width > 32768 || frame.height < 1 || frame.height > 32768)
        throw std::runtime_error("Invalid host canvas");
    HostParams hp = hostParams(frame, settings.view);
    if (hp.sw < 1 || hp.sh < 1 || hp.dw < 1 || hp.dh < 1 || hp.dw > 32768 || hp.dh > 32768)
        throw std::runtime_error("Invalid host bounds");
    const std::int64_t pixelBytes = frame.halfPixels ? 8 : 16;
    if (frame.input == nullptr || frame.output == nullptr || hp.sw * pixelBytes > hp.inPitch ||
        hp.dw * pixelBytes > hp.outPitch)
        throw std::runtime_error("Invalid host buffer/pitch");
    if (hp.inPitch % pixelBytes != 0 || hp.outPitch % pixelBytes != 0) throw std::runtime_error("Unaligned host pitch");
    auto* input = static_cast<MTL::Buffer*>(frame.input);
    auto* output = static_cast<MTL::Buffer*>(frame.output);
    if (input == output || input->device() != context.device() || output->device() != context.device())
        throw std::runtime_error("Host Metal device/alias mismatch");
    if (input->length() < static_cast<std::uint64_t>(std::int64_t{hp.inPitch} * hp.sh) ||
        output->length() < static_cast<std::uint64_t>(std::int64_t{hp.outPitch} * hp.dh))
        throw std::runtime_error("Host Metal buffer too small");

    const RenderSettings animated = animatedSettings(settings);
    hp.rejectNegative = blendedView(animated.view) && animated.blendMode != BlendMode::Add &&
                                animated.blendMode != BlendMode::LinearDodge
                            ? 1
                            : 0;
    try {
        if (!animated.useGpu || ((animated.blendMode == BlendMode::ColorDodge ||
                                  animated.blendMode == BlendMode::ColorBurn) &&
                                 blendedView(animated.view)))
            throw std::runtime_error("CPU precision/settings renderer required");
        const Constants constants = parameters(frame.width, frame.height, animated);
        const std::uint64_t canvas = static_cast<std::uint64_t>(frame.width) * static_cast<std::uint64_t>(frame.height);
        // Released in reverse: the graph's buffers, the arena's allocations, the admission.
        AdmissionGate::Admission admission =
            admissionGate.acquire(frameBytes(constants, canvas), standardPolicy(context.device()));
        HostArena arena(memory.user, memory.allocate, memory.release);
        MTL::Buffer* work = arena.buffer(context, canvas * 16);
        Graph graph(context, work, animated, constants, &arena);
        hostPass(context, graph.commandBuffer(), Pass::importHost, input, work, hp, graph.flags(), nullptr, nullptr);
        MTL::Buffer* result = graph.encode();
        hostPass(context, graph.commandBuffer(), Pass::exportHost, result, output, hp, graph.flags(), input, work);
        finishCommand(graph.commandBuffer());
        const std::uint32_t flags = flagsOf(graph.flags());
        if ((flags & 2u) != 0 || ((flags & 4u) != 0 && hp.rejectNegative != 0))
            throw std::runtime_error("GPU detected CPU precision input");
        return;
    } catch (std::exception const&) {
        // Everything of the GPU attempt is released by now; the CPU renders the frame.
    }
    fallback(hp, input, output, settings);
}

void HostRenderer::Impl::fallback(HostParams const& hp, MTL::Buffer* input, MTL::Buffer* output,
                                  RenderSettings const& settings) {
    const std::size_t pixels = static_cast<std::size_t>(hp.w) * static_cast<std::size_t>(hp.h);
    const std::size_t bytes = pixels * sizeof(image::Pixel);
    const std::uint32_t zero = 0;
    MTL::Buffer* work = context.buffer(bytes, nullptr, true);
    MTL::Buffer* flags = context.buffer(sizeof zero, &zero, true);
    MTL::CommandBuffer* importing = newCommands(context);
    hostPass(context, importing, Pass::importHost, input, work, hp, flags, nullptr, nullptr);
    finishCommand(importing);

    image::Image src(hp.w, hp.h);
    std::memcpy(src.pixels.data(), work->contents(), bytes);
    RenderSettings cpu = settings;
    cpu.useGpu = false;
    image::Image dst;
    image::processFrame(src, dst, cpu);

    MTL::Buffer* rendered = context.buffer(bytes, dst.pixels.data(), true);
    MTL::Buffer* original = context.buffer(bytes, src.pixels.data(), true);
    MTL::Buffer* freshFlags = context.buffer(sizeof zero, &zero, true);
    HostParams all = hp;
    all.rejectNegative = 0;
    MTL::CommandBuffer* exporting = newCommands(context);
    hostPass(context, exporting, Pass::exportHost, rendered, output, all, freshFlags, input, original);
    finishCommand(exporting);
}

HostRenderer::HostRenderer(void* device, void* queue, HostMemory memory) {
    if (device == nullptr || queue == nullptr) throw std::runtime_error("Host Metal handles missing");
    if ((memory.allocate == nullptr) != (memory.release == nullptr)) throw std::runtime_error("Incomplete host allocator");
    impl_ = std::make_unique<Impl>(device, queue, memory);
}

HostRenderer::~HostRenderer() = default;

void HostRenderer::render(HostFrame const& frame, RenderSettings const& settings) {
    AutoreleaseScope pool;
    impl_->render(frame, settings);
}

void HostRenderer::synchronize() {
    AutoreleaseScope pool;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    finishCommand(newCommands(impl_->context));
}

}  // namespace raydrift::metal

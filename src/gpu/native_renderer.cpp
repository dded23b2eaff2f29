// The host-GPU renderer. Metal devices go to the Metal host renderer; on CUDA and OpenCL
// devices the frame runs on the host's own stream or queue, from the host's input buffer
// to its output buffer: import, the streak passes, colour, and a composite that writes
// the host's layout. Nothing waits for the GPU; the host synchronises its frames.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "gpu/metal_graph.h"
#include "gpu/metal_host.h"
#include "gpu/native_backend.h"
#include "gpu/native_gpu.h"

namespace raydrift::nativegpu {

std::atomic<bool> nativeDisabled{false};

namespace {

metal::HostFrame hostFrame(Frame const& f) {
    return {f.input,        f.output,        f.width,   f.height,  f.inPitch,   f.outPitch,
            f.halfPixels,   f.ae,            f.sourceWidth, f.sourceHeight, f.sourceX, f.sourceY,
            f.destWidth,    f.destHeight,    f.destX,   f.destY};
}

// Holds the back end entered (the CUDA context pushed) for a scope.
struct Entered {
    explicit Entered(Backend& b) : backend(b) { backend.enter(); }
    ~Entered() { backend.leave(); }
    Entered(Entered const&) = delete;
    Entered& operator=(Entered const&) = delete;
    Backend& backend;
};

// Buffer slots: canvas, selection and flags at fixed places, the rest by role.
enum Slot { kCanvas = 0, kSelection = 1, kWork = 2, kSpare = 3, kColour = 4, kTemporary = 5, kUpscaled = 6,
            kTable = 7, kFactors = 8, kFlags = 10, kSlotCount = 11 };

std::size_t area(int w, int h) { return static_cast<std::size_t>(std::max(w, 0)) * static_cast<std::size_t>(std::max(h, 0)); }

}  // namespace

struct Renderer::Impl {
    PrSDKGPUDeviceSuite const* suite = nullptr;
    std::uint32_t deviceIndex = 0;
    std::unique_ptr<metal::HostRenderer> metal;

    // CUDA and OpenCL.
    std::unique_ptr<Backend> backend;
    std::mutex mutex;
    struct Buffer {
        void* handle = nullptr;
        std::size_t bytes = 0;
    };
    Buffer slots[kSlotCount];
    void* staging = nullptr;
    std::size_t stagingBytes = 0;

    ~Impl() {
        if (backend == nullptr) return;
        try {
            releaseBuffers();
        } catch (...) {
            // The host tears the device down regardless.
        }
    }

    static void* allocate(void* user, std::size_t bytes) {
        auto* self = static_cast<Impl*>(user);
        void* handle = nullptr;
        const prSuiteError result = self->suite->AllocateDeviceMemory(self->deviceIndex, bytes, &handle);
        if (result == suiteError_OutOfMemory || (result == suiteError_NoError && handle == nullptr))
            throw MemoryPressure("Host Metal allocation failed");
        if (result != suiteError_NoError) throw std::runtime_error("Host Metal allocation failed");
        return handle;
    }
    static void release(void* user, void* buffer) {
        auto* self = static_cast<Impl*>(user);
        self->suite->FreeDeviceMemory(self->deviceIndex, buffer);
    }

    // The slot's buffer at exactly `bytes`: kept when the size matches, else replaced.
    void* slot(int index, std::size_t bytes) {
        if (bytes == 0) throw std::runtime_error("Empty native buffer");
        Buffer& b = slots[index];
        if (b.handle != nullptr && b.bytes == bytes) return b.handle;
        if (b.handle != nullptr) {
            backend->synchronize();
            if (suite->FreeDeviceMemory(deviceIndex, b.handle) != suiteError_NoError)
                throw std::runtime_error("Native buffer release failed");
            b = {};
        }
        void* handle = nullptr;
        const prSuiteError result = suite->AllocateDeviceMemory(deviceIndex, bytes, &handle);
        if (result == suiteError_OutOfMemory || (result == suiteError_NoError && handle == nullptr))
            throw MemoryPressure("Premiere GPU memory allocation failed");
        if (result != suiteError_NoError) throw std::runtime_error("Premiere GPU memory allocation failed");
        b = {handle, bytes};
        return handle;
    }

    // Copies `bytes` into `buffer` through the pinned staging buffer, asynchronously.
    void upload(void* buffer, const void* data, std::size_t bytes) {
        backend->waitUpload();
        if (stagingBytes < bytes) {
            freeStaging();
            void* memory = nullptr;
            const prSuiteError result = suite->AllocateHostMemory(deviceIndex, bytes, &memory);
            if (result == suiteError_OutOfMemory || (result == suiteError_NoError && memory == nullptr))
                throw MemoryPressure(backend->stagingFailure());
            if (result != suiteError_NoError) throw std::runtime_error(backend->stagingFailure());
            staging = memory;
            stagingBytes = bytes;
        }
        std::memcpy(staging, data, bytes);
        backend->write(buffer, staging, bytes);
    }

    void freeStaging() {
        if (staging == nullptr) return;
        void* memory = staging;
        staging = nullptr;
        stagingBytes = 0;
        if (suite->FreeHostMemory(deviceIndex, memory) != suiteError_NoError)
            throw std::runtime_error(backend->stagingReleaseFailure());
    }

    void render(Frame const& frame, RenderSettings const& settings);

    void releaseBuffers() {
        std::lock_guard<std::mutex> lock(mutex);
        Entered entered(*backend);
        backend->synchronize();
        backend->waitUpload();
        freeStaging();
        for (Buffer& b : slots) {
            if (b.handle == nullptr) continue;
            void* handle = b.handle;
            b = {};
            if (suite->FreeDeviceMemory(deviceIndex, handle) != suiteError_NoError)
                throw std::runtime_error("Native buffer release failed");
        }
    }
};

void Renderer::Impl::render(Frame const& frame, RenderSettings const& settings) {
    metal::HostParams hp = metal::hostParams(hostFrame(frame), ViewMode::Quality);
    const std::int64_t pixelBytes = frame.halfPixels ? 8 : 16;
    // The export may copy input pixels while it writes: the buffers must differ.
    if (frame.input == nullptr || frame.output == nullptr || frame.input == frame.output || hp.w < 1 || hp.h < 1 || hp.sw < 1 || hp.sh < 1 ||
        hp.dw < 1 || hp.dh < 1 || hp.inPitch < hp.sw * pixelBytes || hp.outPitch < hp.dw * pixelBytes)
        throw std::runtime_error("Invalid native GPU frame");

    std::lock_guard<std::mutex> lock(mutex);
    Entered entered(*backend);

    const RenderSettings s = animatedSettings(settings);
    const metal::HostParams exported = metal::hostParams(hostFrame(frame), s.view);
    hp.straightOut = exported.straightOut;
    hp.copyOriginal = exported.copyOriginal;
    metal::ExactSums exact;
    const metal::Constants c = metal::parameters(frame.width, frame.height, s, &exact);

    KernelArguments a;
    a.params = c;
    a.host = hp;
    a.hostIn = frame.input;
    a.hostOut = frame.output;
    void* canvas = slot(kCanvas, area(c.iw, c.ih) * 16);
    a.flags = slot(kFlags, 4);
    const std::uint32_t zero = 0;
    upload(a.flags, &zero, sizeof zero);
    a.table = a.factors = a.original = canvas;
    const auto run = [&](Kernel k, void* src, void* dst, int w, int h, bool linear = false) {
        a.src = src;
        a.dst = dst;
        backend->launch(k, w, h, linear, a);
    };
    run(Kernel::prepare, nullptr, canvas, c.iw, c.ih);
    a.original = canvas;

    if (s.view == ViewMode::Matte || c.opacity <= 0.0f || c.intensity <= 0.0f) {
        run(Kernel::compositeFrame, canvas, canvas, hp.dw, hp.dh);
        backend->submit();
        return;
    }
    // ColorDodge and ColorBurn divide by nearly cancelling terms: they need the CPU's
    // own rounding of every sum.
    const bool sensitive = (s.blendMode == BlendMode::ColorDodge || s.blendMode == BlendMode::ColorBurn) &&
                           s.view != ViewMode::Black && s.view != ViewMode::Alpha;
    void* selection = slot(kSelection, area(c.kw, c.kh) * 16);
    run(Kernel::selectFrame, canvas, selection, c.kw, c.kh);
    void* colour = slot(kColour, area(c.cw, c.ch) * 16);
    if (c.noSpatial != 0) {
        run(Kernel::extendOriginal, selection, colour, c.cw, c.ch);
    } else {
        std::vector<double> table(3 + 2 * static_cast<std::size_t>(std::max(c.wh, 0)), 0.0);
        table[0] = exact.inverse;
        table[1] = exact.modulation;
        table[2] = exact.hInverse;
        const double step = metal::phaseStep(c);
        for (int y = 0; y < c.wh; ++y) {
            table[3 + 2 * static_cast<std::size_t>(y)] = std::cos(step * y);
            table[4 + 2 * static_cast<std::size_t>(y)] = std::sin(step * y);
        }
        a.table = slot(kTable, table.size() * sizeof(double));
        upload(a.table, table.data(), table.size() * sizeof(double));
        const std::vector<float> factors = metal::detailsFactors(c, s);
        a.factors = slot(kFactors, factors.size() * sizeof(float));
        upload(a.factors, factors.data(), factors.size() * sizeof(float));

        void* work = slot(kWork, area(c.ww, c.wh) * 16);
        void* spare = slot(kSpare, area(c.ww + 1, c.wh) * 16);
        const bool modulated = exact.modulation > 0.0;
        run(Kernel::rotate, selection, work, c.ww, c.wh);
        void* blurred = work;
        void* other = spare;
        if (c.radius >= 1 && !modulated) {
            // The CPU's box: float prefix sums and window differences, in its order.
            run(Kernel::horizontalPrefix, work, spare, c.wh, 1, true);
            run(Kernel::horizontalWindow, spare, work, c.ww, c.wh);
        } else if (c.radius >= 1) {
            if (c.radius > 63 || sensitive)
                run(Kernel::horizontalRolling, work, spare, c.wh, 1, true);
            else
                run(Kernel::horizontal, work, spare, c.ww, c.wh);
            blurred = spare;
            other = work;
        }
        void* streaks = blurred;
        if (c.length >= 1) {
            if (modulated)
                run(Kernel::verticalModulated, blurred, other, c.ww, 1, true);
            else if (c.r > 511 || sensitive)
                run(Kernel::verticalRolling, blurred, other, c.ww, 1, true);
            else
                run(Kernel::vertical, blurred, other, c.ww, c.wh);
            streaks = other;
        }
        run(Kernel::crop, streaks, colour, c.cw, c.ch);
    }
    if (c.margin >= 1) {
        void* temporary = slot(kTemporary, area(c.cw, c.ch) * 16);
        run(Kernel::tintFrame, colour, temporary, c.cw, c.ch);
        run(Kernel::chromaticFrame, temporary, colour, c.cw, c.ch);
    }
    void* upscaled = colour;
    if (c.factor == 4) {
        upscaled = slot(kUpscaled, area(c.iw, c.ih) * 16);
        run(Kernel::upscale, colour, upscaled, c.iw, c.ih);
    }
    run(Kernel::compositeFrame, colour, upscaled, hp.dw, hp.dh);
    backend->submit();
}

Renderer::Renderer(PrGPUDeviceInfo const& info, PrSDKGPUDeviceSuite const* suite, unsigned deviceIndex) {
    impl_ = std::make_unique<Impl>();
    impl_->suite = suite;
    impl_->deviceIndex = deviceIndex;
    if (info.outDeviceFramework == PrGPUDeviceFramework_Metal) {
        if (!info.outMeetsMinimumRequirementsForAcceleration || suite == nullptr ||
            suite->AllocateDeviceMemory == nullptr || suite->FreeDeviceMemory == nullptr)
            throw std::runtime_error("Native Metal host device/suites unavailable");
        impl_->metal = std::make_unique<metal::HostRenderer>(
            info.outDeviceHandle, info.outCommandQueueHandle,
            metal::HostMemory{impl_.get(), &Impl::allocate, &Impl::release});
        return;
    }
    if (info.outDeviceFramework != PrGPUDeviceFramework_CUDA && info.outDeviceFramework != PrGPUDeviceFramework_OpenCL)
        throw std::runtime_error("Native GPU backend unsupported; software fallback");
    if (!info.outMeetsMinimumRequirementsForAcceleration || info.outContextHandle == nullptr || suite == nullptr)
        throw std::runtime_error("Native GPU device unavailable");
    if (suite->AllocateDeviceMemory == nullptr || suite->FreeDeviceMemory == nullptr ||
        suite->AllocateHostMemory == nullptr || suite->FreeHostMemory == nullptr)
        throw std::runtime_error("Native GPU memory suite incomplete; software fallback");
    impl_->backend = makeBackend(info);
}

Renderer::~Renderer() = default;

void Renderer::render(Frame const& frame, RenderSettings const& settings) {
    if (impl_->backend != nullptr) {
        impl_->render(frame, settings);
        return;
    }
    impl_->metal->render(hostFrame(frame), settings);
}

void Renderer::synchronize() {
    if (impl_->backend == nullptr) {
        impl_->metal->synchronize();
        return;
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Entered entered(*impl_->backend);
    impl_->backend->synchronize();
}

void Renderer::releaseBuffers() {
    if (impl_->backend == nullptr) {
        impl_->metal->synchronize();
        return;
    }
    impl_->releaseBuffers();
}

}  // namespace raydrift::nativegpu

// The host-buffer renderer against the CPU route through the same host buffers: half and
// float pixels, both alpha conventions, offsets and sizes, padded pitches; untouched
// pixels kept bit for bit; every failure either thrown with nothing written or ended in
// the fallback with the output complete.
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gpu/metal_host.h"
#include "gpu/native_gpu.h"
#include "gpu_test_support.h"
#include "image/frame.h"
#include "scenarios.h"

namespace raydrift::metal {
namespace {

using image::Image;

float fromHalf(std::uint16_t h) {
    const int exponent = (h >> 10) & 0x1f;
    const float mantissa = static_cast<float>(h & 0x3ff);
    const float magnitude = exponent == 0    ? std::ldexp(mantissa, -24)
                            : exponent == 31 ? (mantissa == 0 ? INFINITY : NAN)
                                             : std::ldexp(1024.0f + mantissa, exponent - 25);
    return (h & 0x8000) ? -magnitude : magnitude;
}
// Exact for the values the tests write (multiples of 1/1024 below 64, and zeros).
std::uint16_t toHalf(float f) {
    std::uint16_t sign = std::signbit(f) ? 0x8000 : 0;
    f = std::fabs(f);
    if (f == 0.0f) return sign;
    int e;
    const float m = std::frexp(f, &e);  // f = m·2^e, m in [0.5, 1)
    if (e - 1 < -14) return static_cast<std::uint16_t>(sign | static_cast<int>(std::ldexp(f, 24)));
    return static_cast<std::uint16_t>(sign | ((e - 1 + 15) << 10) | (static_cast<int>(std::ldexp(m, 11)) & 0x3ff));
}
float quantised(float v) { return std::round(v * 1024.0f) / 1024.0f; }

struct HostCase {
    std::string name;
    bool half = false;
    bool ae = true;
    ViewMode view = ViewMode::Quality;
    BlendMode blend = BlendMode::Normal;
    int sw = 0, sh = 0, sx = 0, sy = 0;  // 0: the canvas
    int dw = 0, dh = 0, dx = 0, dy = 0;
    int padding = 0;                     // extra pixels of pitch
};

constexpr int kW = 48, kH = 32;

// Host buffers of one case, filled in BGRA order; a sentinel byte marks what nothing
// may write.
struct HostBuffers {
    MTL::Buffer* input;
    MTL::Buffer* output;
    HostFrame frame;
    int pixelBytes;
    ~HostBuffers() {
        input->release();
        output->release();
    }
};

std::unique_ptr<HostBuffers> makeBuffers(MTL::Device* device, HostCase const& c) {
    auto b = std::make_unique<HostBuffers>();
    const int sw = c.sw ? c.sw : kW, sh = c.sh ? c.sh : kH, dw = c.dw ? c.dw : kW, dh = c.dh ? c.dh : kH;
    b->pixelBytes = c.half ? 8 : 16;
    const int inPitch = (sw + c.padding) * b->pixelBytes, outPitch = (dw + c.padding) * b->pixelBytes;
    b->input = device->newBuffer(static_cast<NS::UInteger>(inPitch * sh), MTL::ResourceStorageModeShared);
    b->output = device->newBuffer(static_cast<NS::UInteger>(outPitch * dh), MTL::ResourceStorageModeShared);
    std::memset(b->input->contents(), 0x5a, b->input->length());
    std::memset(b->output->contents(), 0x5a, b->output->length());
    Image scene = bench::syntheticFrame(sw, sh, true, 12, 9);
    for (int k = 0; k < 4; ++k) {  // lights that make streaks
        const int x = 8 + 9 * k, y = 8 + 4 * k;
        if (x < sw && y < sh) scene.at(x, y) = {3.0f, 2.0f + 0.25f * static_cast<float>(k), 1.0f, 1.0f};
    }
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x) {
            image::Pixel p = scene.at(x, y);
            float a = p.a;
            float r = p.r, g = p.g, bl = p.b;
            if (!c.ae && a > 0.0f) r /= a, g /= a, bl /= a;  // straight for the second host
            if (x < 3 && y < 3) r = 0.75f, g = -0.0f, bl = 0.5f, a = 0.0f;  // hidden colour, −0
            const float v[4] = {quantised(bl), g == 0.0f ? g : quantised(g), quantised(r), quantised(a)};
            auto* row = static_cast<std::uint8_t*>(b->input->contents()) + y * inPitch + x * b->pixelBytes;
            for (int k = 0; k < 4; ++k) {
                if (c.half) {
                    const std::uint16_t h = toHalf(v[k]);
                    std::memcpy(row + 2 * k, &h, 2);
                } else {
                    std::memcpy(row + 4 * k, &v[k], 4);
                }
            }
        }
    b->frame = HostFrame{b->input, b->output, kW, kH, inPitch, outPitch, c.half, c.ae,
                         c.sw, c.sh, c.sx, c.sy, c.dw, c.dh, c.dx, c.dy};
    return b;
}

float channel(HostBuffers const& b, int x, int y, int k) {
    auto const* row = static_cast<std::uint8_t const*>(b.output->contents()) + y * b.frame.outPitch + x * b.pixelBytes;
    if (b.pixelBytes == 8) {
        std::uint16_t h;
        std::memcpy(&h, row + 2 * k, 2);
        return fromHalf(h);
    }
    float f;
    std::memcpy(&f, row + 4 * k, 4);
    return f;
}

RenderSettings hostSettings(HostCase const& c) {
    RenderSettings s;
    s.scale = 0.25f;
    s.length = 80.0f;
    s.width = 8.0f;
    s.direction = 20.0f;
    s.lowCut = 0.5f;
    s.view = c.view;
    s.blendMode = c.blend;
    return s;
}

class HostRendererTest : public SoftwareGpuTest {
protected:
    MTL::CommandQueue* queue_ = nullptr;
    void SetUp() override {
        SoftwareGpuTest::SetUp();
        queue_ = device_->newCommandQueue();
    }
    void TearDown() override {
        queue_->release();
        SoftwareGpuTest::TearDown();
    }
};

TEST_F(HostRendererTest, MatchesTheCpuRouteThroughTheSameBuffers) {
    const std::vector<HostCase> cases = {
        {"float ae quality"},
        {"half ae quality", true},
        {"float premiere quality", false, false},
        {"half premiere performance", true, false, ViewMode::Performance},
        {"float ae alpha", false, true, ViewMode::Alpha},
        {"half premiere alpha", true, false, ViewMode::Alpha},
        {"float premiere matte", false, false, ViewMode::Matte},
        {"float ae black screen", false, true, ViewMode::Black, BlendMode::Screen},
        {"offsets and padding", false, true, ViewMode::Quality, BlendMode::Add, 40, 30, 3, 1, 56, 20, -4, 5, 3},
        {"output beyond the canvas", true, false, ViewMode::Quality, BlendMode::Normal, 0, 0, 0, 0, 20, 10, 40, 30, 1},
        {"input smaller and offset", true, true, ViewMode::Quality, BlendMode::Screen, 30, 20, 10, 6, 0, 0, 0, 0, 2},
    };
    for (HostCase const& c : cases) {
        SCOPED_TRACE(c.name);
        HostRenderer renderer(device_, queue_, HostMemory{});
        auto gpu = makeBuffers(device_, c);
        auto cpu = makeBuffers(device_, c);
        const RenderSettings settings = hostSettings(c);
        RenderSettings cpuSettings = settings;
        cpuSettings.useGpu = false;
        const std::int64_t dispatched = rdmtl::dispatches();
        renderer.render(gpu->frame, settings);
        EXPECT_GT(rdmtl::dispatches() - dispatched, 2) << "rendered by the fallback's two passes";
        renderer.render(cpu->frame, cpuSettings);
        const int dw = c.dw ? c.dw : kW, dh = c.dh ? c.dh : kH;
        const int sw = c.sw ? c.sw : kW, sh = c.sh ? c.sh : kH;
        double worst = 0.0;
        for (int j = 0; j < dh; ++j)
            for (int i = 0; i < dw; ++i) {
                const int x = i + c.dx, y = j + c.dy;
                const bool inCanvas = x >= 0 && x < kW && y >= 0 && y < kH;
                for (int k = 0; k < 4; ++k) {
                    const float g = channel(*gpu, i, j, k), e = channel(*cpu, i, j, k);
                    if (!inCanvas) {
                        ASSERT_EQ(g, 0.0f) << "outside the canvas at " << i << "," << j;
                    }
                    const double step = c.half ? std::ldexp(1.0, -10) : std::ldexp(1.0, -16);
                    worst = std::fmax(worst, std::fabs(g - e) / (step * std::fmax(std::fabs(e), 1.0)));
                }
                // Hidden colour and −0 survive, bit for bit, where the second host's
                // blended views leave a pixel alone (the corner, at full resolution).
                const int hx = x - c.sx, hy = y - c.sy;
                if (!c.ae && c.view == ViewMode::Quality && inCanvas &&
                    hx >= 0 && hx < 3 && hy >= 0 && hy < 3 && hx < sw && hy < sh) {
                    auto const* in = static_cast<std::uint8_t const*>(gpu->input->contents()) + hy * gpu->frame.inPitch + hx * gpu->pixelBytes;
                    auto const* out = static_cast<std::uint8_t const*>(gpu->output->contents()) + j * gpu->frame.outPitch + i * gpu->pixelBytes;
                    EXPECT_EQ(std::memcmp(in, out, static_cast<std::size_t>(gpu->pixelBytes)), 0) << i << "," << j;
                }
            }
        EXPECT_LE(worst, 1.0);
        // Row padding is never written.
        for (HostBuffers const* b : {gpu.get(), cpu.get()})
            for (int j = 0; j < dh; ++j)
                for (int byte = dw * b->pixelBytes; byte < b->frame.outPitch; ++byte)
                    ASSERT_EQ(static_cast<std::uint8_t const*>(b->output->contents())[j * b->frame.outPitch + byte], 0x5a);
    }

    // The Alpha view of the first host is written straight: the CPU frame divided by alpha.
    HostCase c{"alpha straight", false, true, ViewMode::Alpha};
    HostRenderer renderer(device_, queue_, HostMemory{});
    auto b = makeBuffers(device_, c);
    renderer.render(b->frame, hostSettings(c));
    Image canvas(kW, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            float v[4];
            std::memcpy(v, static_cast<std::uint8_t const*>(b->input->contents()) + y * b->frame.inPitch + x * 16, 16);
            canvas.at(x, y) = {v[2], v[1], v[0], v[3]};
        }
    RenderSettings s = hostSettings(c);
    s.useGpu = false;
    Image expected;
    image::processFrame(canvas, expected, s);
    int checked = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const image::Pixel p = expected.at(x, y);
            if (!(p.a > 1e-3f)) continue;
            ++checked;
            EXPECT_NEAR(channel(*b, x, y, 2), p.r / p.a, 1e-4f * std::fmax(1.0f, p.r / p.a));
            EXPECT_NEAR(channel(*b, x, y, 3), p.a, 1e-6f);
        }
    EXPECT_GT(checked, 10);
}

struct Allocator {
    MTL::Device* device;
    int allocations = 0, releases = 0;
    enum Mode { Normal, Null, OtherDevice, Throws } mode = Normal;
    MTL::Device* other = nullptr;
    static void* allocate(void* user, std::size_t bytes) {
        auto* a = static_cast<Allocator*>(user);
        if (a->mode == Null) return nullptr;
        if (a->mode == Throws) throw nativegpu::MemoryPressure("Host Metal allocation failed");
        ++a->allocations;
        return (a->mode == OtherDevice ? a->other : a->device)->newBuffer(bytes, MTL::ResourceStorageModePrivate);
    }
    static void release(void* user, void* buffer) {
        ++static_cast<Allocator*>(user)->releases;
        static_cast<MTL::Buffer*>(buffer)->release();
    }
};

// A device suite over the software device; its allocator can be told to report
// out-of-memory or a failure.
MTL::Device* gSuiteDevice = nullptr;
prSuiteError gSuiteResult = suiteError_NoError;
int gSuiteLive = 0;
prSuiteError suiteAllocate(csSDK_uint32, std::size_t bytes, void** out) {
    if (gSuiteResult != suiteError_NoError) return gSuiteResult;
    *out = gSuiteDevice->newBuffer(bytes, MTL::ResourceStorageModePrivate);
    ++gSuiteLive;
    return suiteError_NoError;
}
nativegpu::Frame native(HostFrame const& f) {
    return {f.input,       f.output,       f.width,   f.height,  f.inPitch,   f.outPitch,   f.halfPixels, f.ae,
            f.sourceWidth, f.sourceHeight, f.sourceX, f.sourceY, f.destWidth, f.destHeight, f.destX,      f.destY};
}
prSuiteError suiteFree(csSDK_uint32, void* memory) {
    static_cast<MTL::Buffer*>(memory)->release();
    --gSuiteLive;
    return suiteError_NoError;
}

TEST_F(HostRendererTest, DeviceSuiteRendererFallsBackUnderMemoryPressure) {
    gSuiteDevice = device_;
    PrSDKGPUDeviceSuite suite{};
    suite.AllocateDeviceMemory = suiteAllocate;
    suite.FreeDeviceMemory = suiteFree;
    const PrGPUDeviceInfo info{PrGPUDeviceFramework_Metal, 1, nullptr, device_, nullptr, queue_};
    nativegpu::Renderer renderer(info, &suite, 0);
    const HostCase plain{"plain"};
    RenderSettings cpuOnly = hostSettings(plain);
    cpuOnly.useGpu = false;
    auto expected = makeBuffers(device_, plain);
    renderer.render(native(expected->frame), cpuOnly);
    for (prSuiteError result : {suiteError_NoError, suiteError_OutOfMemory, suiteError_Fail}) {
        gSuiteResult = result;
        auto b = makeBuffers(device_, plain);
        renderer.render(native(b->frame), hostSettings(plain));
        renderer.releaseBuffers();
        EXPECT_EQ(gSuiteLive, 0);
        // Without host memory the fallback delivers exactly the CPU route.
        if (result != suiteError_NoError) {
            EXPECT_EQ(std::memcmp(b->output->contents(), expected->output->contents(), b->output->length()), 0);
        }
    }
    gSuiteResult = suiteError_NoError;
}

TEST_F(HostRendererTest, FailuresThrowOrFallBack) {
    const HostCase plain{"plain"};
    const RenderSettings settings = hostSettings(plain);
    // Malformed frames: thrown, nothing written.
    struct Invalid {
        std::string message;
        std::function<void(HostFrame&, HostBuffers&)> spoil;
    };
    MTL::Device* other = rdmtl::newSoftwareDevice("Other GPU");
    MTL::Buffer* foreign = other->newBuffer(kW * kH * 16, MTL::ResourceStorageModeShared);
    const std::vector<Invalid> invalid = {
        {"Invalid host canvas", [](HostFrame& f, HostBuffers&) { f.width = 32769; }},
        {"Invalid host canvas", [](HostFrame& f, HostBuffers&) { f.height = 0; }},
        {"Invalid host bounds", [](HostFrame& f, HostBuffers&) { f.destWidth = 32769; }},
        {"Invalid host bounds", [](HostFrame& f, HostBuffers&) { f.sourceHeight = -1; }},
        {"Invalid host buffer/pitch", [](HostFrame& f, HostBuffers&) { f.inPitch -= 1; }},
        {"Invalid host buffer/pitch", [](HostFrame& f, HostBuffers&) { f.input = nullptr; }},
        {"Unaligned host pitch", [](HostFrame& f, HostBuffers&) { f.outPitch += 4; }},
        {"Host Metal device/alias mismatch", [](HostFrame& f, HostBuffers&) { f.output = f.input; }},
        {"Host Metal device/alias mismatch", [foreign](HostFrame& f, HostBuffers&) { f.input = foreign; }},
        {"Host Metal buffer too small", [](HostFrame& f, HostBuffers&) { f.sourceHeight = kH + 1; }},
    };
    for (Invalid const& row : invalid) {
        HostRenderer renderer(device_, queue_, HostMemory{});
        auto b = makeBuffers(device_, plain);
        row.spoil(b->frame, *b);
        std::vector<std::uint8_t> before(static_cast<std::uint8_t*>(b->output->contents()),
                                         static_cast<std::uint8_t*>(b->output->contents()) + b->output->length());
        try {
            renderer.render(b->frame, settings);
            ADD_FAILURE() << row.message << ": not thrown";
        } catch (std::runtime_error const& e) {
            EXPECT_EQ(e.what(), row.message);
        }
        EXPECT_EQ(std::memcmp(before.data(), b->output->contents(), before.size()), 0) << row.message;
    }

    // The CPU route delivered through the buffers, for reference.
    HostRenderer reference(device_, queue_, HostMemory{});
    auto expected = makeBuffers(device_, plain);
    RenderSettings cpuOnly = settings;
    cpuOnly.useGpu = false;
    reference.render(expected->frame, cpuOnly);
    const auto sameAsCpuRoute = [&](HostBuffers const& b) {
        return std::memcmp(b.output->contents(), expected->output->contents(), b.output->length()) == 0;
    };

    // Failures after validation: the fallback fills the output exactly as the CPU route.
    struct Fallback {
        std::string name;
        Allocator::Mode mode;
        std::function<void(RenderSettings&, HostBuffers&, rdmtl::Faults&)> provoke;
    };
    const std::vector<Fallback> fallbacks = {
        {"CPU precision/settings renderer required", Allocator::Normal,
         [](RenderSettings& s, HostBuffers&, rdmtl::Faults&) { s.useGpu = false; }},
        {"GPU detected CPU precision input", Allocator::Normal,
         [](RenderSettings&, HostBuffers& b, rdmtl::Faults&) {
             static_cast<float*>(b.input->contents())[4 * (kW * 10 + 10)] = NAN;
         }},
        {"Host Metal image allocation failed", Allocator::Null, nullptr},
        {"Invalid host Metal allocation", Allocator::OtherDevice, nullptr},
        {"Host Metal allocation failed", Allocator::Throws, nullptr},
        {"Metal frame exceeds memory budget", Allocator::Normal,
         [](RenderSettings&, HostBuffers&, rdmtl::Faults& f) { f.recommendedWorkingSet = 65536; }},
        {"Metal compute encoder unavailable", Allocator::Normal,
         [](RenderSettings&, HostBuffers&, rdmtl::Faults& f) { f.failEncoder = 2; }},
    };
    for (Fallback const& row : fallbacks) {
        SCOPED_TRACE(row.name);
        Allocator allocator{device_};
        allocator.mode = row.mode;
        allocator.other = other;
        HostRenderer renderer(device_, queue_, HostMemory{&allocator, &Allocator::allocate, &Allocator::release});
        auto b = makeBuffers(device_, plain);
        auto ref = makeBuffers(device_, plain);
        RenderSettings s = settings;
        rdmtl::Faults faults;
        if (row.provoke) row.provoke(s, *b, faults);
        if (row.provoke) row.provoke(s, *ref, faults);
        rdmtl::setFaults(faults);
        renderer.render(b->frame, s);
        rdmtl::clearFaults();
        RenderSettings cpuRoute = s;
        cpuRoute.useGpu = false;
        reference.render(ref->frame, cpuRoute);
        EXPECT_EQ(std::memcmp(b->output->contents(), ref->output->contents(), b->output->length()), 0);
        EXPECT_EQ(allocator.allocations, allocator.releases) << "every host allocation given back";
        EXPECT_EQ(admissionGate.active(), 0u);
    }
    {
        // Negative colour: discarded under Normal, kept under Add (the GPU's own result).
        HostRenderer renderer(device_, queue_, HostMemory{});
        auto b = makeBuffers(device_, plain);
        static_cast<float*>(b->input->contents())[4 * (kW * 20 + 20) + 1] = -0.5f;
        renderer.render(b->frame, settings);
        auto ref = makeBuffers(device_, plain);
        static_cast<float*>(ref->input->contents())[4 * (kW * 20 + 20) + 1] = -0.5f;
        reference.render(ref->frame, cpuOnly);
        EXPECT_EQ(std::memcmp(b->output->contents(), ref->output->contents(), b->output->length()), 0);
    }
    EXPECT_FALSE(sameAsCpuRoute(*makeBuffers(device_, plain))) << "an untouched output is not the frame";

    // Failures inside the fallback, and of synchronize, reach the caller.
    const std::vector<std::pair<std::string, rdmtl::Faults>> thrown = [] {
        std::vector<std::pair<std::string, rdmtl::Faults>> list;
        rdmtl::Faults f;
        f.failEncoder = 1;
        list.push_back({"Host encoder unavailable", f});
        f = {};
        f.commandError = "lost device";
        list.push_back({"Host Metal command: lost device", f});
        f = {};
        f.maxBufferLength = 1024;
        list.push_back({"Metal buffer size exceeds device limit", f});
        f = {};
        f.failAllocation = 1;
        list.push_back({"Metal allocation failed", f});
        return list;
    }();
    for (auto const& [message, faults] : thrown) {
        HostRenderer renderer(device_, queue_, HostMemory{});
        auto b = makeBuffers(device_, plain);
        rdmtl::setFaults(faults);
        try {
            renderer.render(b->frame, cpuOnly);
            ADD_FAILURE() << message << ": not thrown";
        } catch (std::runtime_error const& e) {
            EXPECT_EQ(e.what(), message);
        }
        rdmtl::clearFaults();
    }
    HostRenderer renderer(device_, queue_, HostMemory{});
    rdmtl::Faults noObject;
    noObject.commandErrorWithoutObject = true;
    rdmtl::setFaults(noObject);
    try {
        renderer.synchronize();
        ADD_FAILURE() << "synchronize: not thrown";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Host Metal command: unknown Metal error");
    }
    rdmtl::clearFaults();
    renderer.synchronize();

    // Construction.
    const auto constructionError = [](std::function<void()> make) -> std::string {
        try {
            make();
        } catch (std::runtime_error const& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(constructionError([&] { HostRenderer r(nullptr, queue_, HostMemory{}); }), "Host Metal handles missing");
    EXPECT_EQ(constructionError([&] { HostRenderer r(device_, queue_, HostMemory{nullptr, &Allocator::allocate, nullptr}); }),
              "Incomplete host allocator");
    MTL::CommandQueue* otherQueue = other->newCommandQueue();
    EXPECT_EQ(constructionError([&] { HostRenderer r(device_, otherQueue, HostMemory{}); }),
              "Metal command queue unavailable/device mismatch");
    otherQueue->release();
    PrGPUDeviceInfo info{PrGPUDeviceFramework_Metal, 1, nullptr, device_, nullptr, queue_};
    PrSDKGPUDeviceSuite suite{};
    EXPECT_EQ(constructionError([&] { nativegpu::Renderer r(info, &suite, 0); }),
              "Native Metal host device/suites unavailable");
    info.outDeviceFramework = PrGPUDeviceFramework_CUDA;
    EXPECT_EQ(constructionError([&] { nativegpu::Renderer r(info, nullptr, 0); }),
              "Native Metal host device/suites unavailable");
    EXPECT_EQ(nativegpu::SessionDisabled().what(),
              std::string("Native GPU disabled for this process; recreate effect or restart host"));
    EXPECT_FALSE(nativegpu::nativeDisabled.load());
    foreign->release();
    other->release();
}

}  // namespace
}  // namespace raydrift::metal

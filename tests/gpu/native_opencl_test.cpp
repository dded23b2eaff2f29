// The host-GPU renderer on OpenCL (PoCL where there is no GPU): the agreement scenarios
// against the CPU engine, host frames against the CPU route through the same host
// buffers, buffer reuse, and every refusal and failure with its message.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <dlfcn.h>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "agreement_scenarios.h"
#include "gpu/native_api.h"
#include "gpu/native_gpu.h"
#include "gpu_test_support.h"
#include "host_cases.h"
#include "native_test_support.h"
#include "image/frame.h"

namespace raydrift::nativegpu {
namespace {

using image::Image;

// The host: one context and in-order queue on the first OpenCL device, its memory
// through the device suite, allocations counted and failures injected.
struct ClHost {
    cl_platform_id platform = nullptr;
    cl_device_id device = nullptr;
    cl_context context = nullptr;
    cl_command_queue queue = nullptr;
    int allocations = 0;
    int failAllocations = 0;     // answer out-of-memory this many times
    int failHostAllocations = 0;
    prSuiteError freeAnswer = suiteError_NoError;
    prSuiteError freeHostAnswer = suiteError_NoError;
};
ClHost* host = nullptr;

prSuiteError allocateDevice(csSDK_uint32, std::size_t bytes, void** out) {
    *out = nullptr;
    if (host->failAllocations > 0) return --host->failAllocations, suiteError_OutOfMemory;
    cl_int error = CL_SUCCESS;
    *out = clCreateBuffer(host->context, CL_MEM_READ_WRITE, bytes, nullptr, &error);
    ++host->allocations;
    return error == CL_SUCCESS ? suiteError_NoError : suiteError_OutOfMemory;
}
prSuiteError freeDevice(csSDK_uint32, void* memory) {
    clReleaseMemObject(static_cast<cl_mem>(memory));
    return host->freeAnswer;
}
prSuiteError allocateHost(csSDK_uint32, std::size_t bytes, void** out) {
    *out = nullptr;
    if (host->failHostAllocations > 0) return --host->failHostAllocations, suiteError_OutOfMemory;
    *out = std::malloc(bytes);
    return suiteError_NoError;
}
prSuiteError freeHost(csSDK_uint32, void* memory) {
    std::free(memory);
    return host->freeHostAnswer;
}
const PrSDKGPUDeviceSuite kSuite = [] {
    PrSDKGPUDeviceSuite suite{};
    suite.AllocateDeviceMemory = &allocateDevice;
    suite.FreeDeviceMemory = &freeDevice;
    suite.AllocateHostMemory = &allocateHost;
    suite.FreeHostMemory = &freeHost;
    return suite;
}();

class OpenClTest : public metal::SoftwareGpuTest {
protected:
    void SetUp() override {
        metal::SoftwareGpuTest::SetUp();
        cl_uint count = 0;
        if (clGetPlatformIDs(1, &cl_.platform, &count) != CL_SUCCESS || count == 0 ||
            clGetDeviceIDs(cl_.platform, CL_DEVICE_TYPE_ALL, 1, &cl_.device, &count) != CL_SUCCESS || count == 0)
            GTEST_SKIP() << "no OpenCL device";
        cl_int error = CL_SUCCESS;
        cl_.context = clCreateContext(nullptr, 1, &cl_.device, nullptr, nullptr, &error);
        ASSERT_EQ(error, CL_SUCCESS);
        cl_.queue = clCreateCommandQueue(cl_.context, cl_.device, 0, &error);
        ASSERT_EQ(error, CL_SUCCESS);
        host = &cl_;
    }
    void TearDown() override {
        if (cl_.queue != nullptr) clReleaseCommandQueue(cl_.queue);
        if (cl_.context != nullptr) clReleaseContext(cl_.context);
        host = nullptr;
        overrideOpenClApi(nullptr);
        metal::SoftwareGpuTest::TearDown();
    }
    PrGPUDeviceInfo info() const {
        return {PrGPUDeviceFramework_OpenCL, 1, cl_.platform, cl_.device, cl_.context, cl_.queue};
    }
    // Renders `input` (bytes of the frame's input layout) into a copy of `output`.
    std::vector<std::uint8_t> render(Renderer& renderer, Frame frame, std::vector<std::uint8_t> const& input,
                                     std::vector<std::uint8_t> output, RenderSettings const& settings) {
        cl_int error = CL_SUCCESS;
        cl_mem in = clCreateBuffer(cl_.context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, input.size(),
                                   const_cast<std::uint8_t*>(input.data()), &error);
        cl_mem out = clCreateBuffer(cl_.context, CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR, output.size(), output.data(), &error);
        frame.input = in;
        frame.output = out;
        renderer.render(frame, settings);
        clEnqueueReadBuffer(cl_.queue, out, CL_TRUE, 0, output.size(), output.data(), 0, nullptr, nullptr);
        clReleaseMemObject(in);
        clReleaseMemObject(out);
        return output;
    }
    ClHost cl_;
};

bool dlopenable(const char* name) {
    void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

TEST_F(OpenClTest, FramesMatchTheCpuEngine) {
    Renderer renderer(info(), &kSuite, 0);
    expectScenarioAgreement("OpenCL", &cl_.allocations, [&](Frame const& frame, std::vector<std::uint8_t> const& bytes,
                                                              RenderSettings const& settings) {
        return render(renderer, frame, bytes, bytes, settings);
    });
}

TEST_F(OpenClTest, HostFramesMatchTheCpuRoute) {
    Renderer renderer(info(), &kSuite, 0);
    MTL::CommandQueue* queue = device_->newCommandQueue();
    const std::vector<metal::HostCase> cases = {
        {"half ae quality", true},
        {"float premiere quality", false, false},
        {"half premiere performance", true, false, ViewMode::Performance},
        {"half premiere alpha", true, false, ViewMode::Alpha},
        {"float premiere matte", false, false, ViewMode::Matte},
        {"offsets and padding", false, true, ViewMode::Quality, BlendMode::Add, 40, 30, 3, 1, 56, 20, -4, 5, 3},
        {"output beyond the canvas", true, false, ViewMode::Quality, BlendMode::Normal, 0, 0, 0, 0, 20, 10, 40, 30, 1},
        {"input smaller and offset", true, true, ViewMode::Quality, BlendMode::Screen, 30, 20, 10, 6, 0, 0, 0, 0, 2},
    };
    for (metal::HostCase const& c : cases) {
        SCOPED_TRACE(c.name);
        auto cpu = metal::makeBuffers(device_, c);
        const auto* inBytes = static_cast<std::uint8_t const*>(cpu->input->contents());
        const std::vector<std::uint8_t> input(inBytes, inBytes + cpu->input->length());
        const auto* outBytes = static_cast<std::uint8_t const*>(cpu->output->contents());
        const std::vector<std::uint8_t> blank(outBytes, outBytes + cpu->output->length());
        const RenderSettings settings = metal::hostSettings(c);
        RenderSettings cpuSettings = settings;
        cpuSettings.useGpu = false;
        metal::HostRenderer(device_, queue, metal::HostMemory{}).render(cpu->frame, cpuSettings);
        metal::HostFrame const& h = cpu->frame;
        const Frame frame{nullptr, nullptr, h.width, h.height, h.inPitch, h.outPitch, h.halfPixels, h.ae,
                          h.sourceWidth, h.sourceHeight, h.sourceX, h.sourceY, h.destWidth, h.destHeight, h.destX, h.destY};
        const std::vector<std::uint8_t> gpu = render(renderer, frame, input, blank, settings);
        const auto* expected = static_cast<std::uint8_t const*>(cpu->output->contents());
        std::size_t identical = 0, pixels = 0;
        double worst = 0.0;
        const int dw = c.dw ? c.dw : metal::kW, dh = c.dh ? c.dh : metal::kH;
        for (int j = 0; j < dh; ++j) {
            for (int i = 0; i < dw; ++i, ++pixels) {
                const std::size_t at = static_cast<std::size_t>(j * h.outPitch + i * cpu->pixelBytes);
                if (std::memcmp(gpu.data() + at, expected + at, static_cast<std::size_t>(cpu->pixelBytes)) == 0) {
                    ++identical;
                    continue;
                }
                for (int k = 0; k < 4; ++k) {
                    float g, e;
                    if (c.half) {
                        std::uint16_t gh, eh;
                        std::memcpy(&gh, gpu.data() + at + 2 * k, 2);
                        std::memcpy(&eh, expected + at + 2 * k, 2);
                        g = metal::fromHalf(gh), e = metal::fromHalf(eh);
                    } else {
                        std::memcpy(&g, gpu.data() + at + 4 * k, 4);
                        std::memcpy(&e, expected + at + 4 * k, 4);
                    }
                    // Half output: one step of its own; float: the 16-bit bar.
                    const double step = c.half ? std::ldexp(1.0, -10) : std::ldexp(1.0, -16);
                    worst = std::fmax(worst, std::fabs(g - e) / (step * std::fmax(std::fabs(e), 1.0)));
                }
            }
            // Row padding is never written.
            for (int byte = dw * cpu->pixelBytes; byte < h.outPitch; ++byte)
                ASSERT_EQ(gpu[static_cast<std::size_t>(j * h.outPitch + byte)], 0x5a);
        }
        std::printf("%-34s %9.2f%% %12.4f\n", c.name.c_str(), 100.0 * static_cast<double>(identical) / static_cast<double>(pixels), worst);
        EXPECT_LE(worst, 1.0);
    }
    queue->release();
}

// Two threads share one renderer with frames of two sizes, so slots are replaced while
// the other thread's frames are queued: every frame is the one a lone thread renders.
TEST_F(OpenClTest, ConcurrentFramesOnOneRenderer) {
    Renderer renderer(info(), &kSuite, 0);
    RenderSettings settings = metal::baseSettings();
    settings.width = 10.0f;
    struct Job {
        Frame frame;
        std::vector<std::uint8_t> bytes, expected;
    };
    std::vector<Job> jobs;
    for (int size : {24, 40}) {
        const Image input = metal::testFrame(false, size, size / 2);
        Job job;
        job.frame.width = input.width;
        job.frame.height = input.height;
        job.frame.inPitch = job.frame.outPitch = input.width * 16;
        job.bytes.resize(input.pixels.size() * 16);
        for (std::size_t i = 0; i < input.pixels.size(); ++i) {
            const float bgra[4] = {input.pixels[i].b, input.pixels[i].g, input.pixels[i].r, input.pixels[i].a};
            std::memcpy(job.bytes.data() + 16 * i, bgra, 16);
        }
        job.expected = render(renderer, job.frame, job.bytes, job.bytes, settings);
        jobs.push_back(std::move(job));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 6; ++k) {
                Job const& job = jobs[static_cast<std::size_t>((t + k) % 2)];
                if (render(renderer, job.frame, job.bytes, job.bytes, settings) != job.expected) ++mismatches;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// What the seams below change in the real OpenCL table.
struct ClFaults {
    bool noDoubles = false;
    bool noCorrectDivision = false;
    bool buildFails = false;
    cl_int launchAnswer = CL_SUCCESS;
} faults;
OpenClApi real;

cl_int deviceInfo(cl_device_id device, cl_device_info name, std::size_t size, void* value, std::size_t* returned) {
    const cl_int code = real.clGetDeviceInfo(device, name, size, value, returned);
    auto* config = static_cast<cl_device_fp_config*>(value);
    if (name == CL_DEVICE_DOUBLE_FP_CONFIG && faults.noDoubles) *config = 0;
    if (name == CL_DEVICE_SINGLE_FP_CONFIG && faults.noCorrectDivision) *config &= ~CL_FP_CORRECTLY_ROUNDED_DIVIDE_SQRT;
    return code;
}
cl_int build(cl_program program, cl_uint count, const cl_device_id* devices, const char* options,
             void(CL_CALLBACK* notify)(cl_program, void*), void* user) {
    if (faults.buildFails) return CL_BUILD_PROGRAM_FAILURE;
    return real.clBuildProgram(program, count, devices, options, notify, user);
}
cl_int buildInfo(cl_program program, cl_device_id device, cl_program_build_info name, std::size_t size, void* value,
                 std::size_t* returned) {
    if (!faults.buildFails || name != CL_PROGRAM_BUILD_LOG)
        return real.clGetProgramBuildInfo(program, device, name, size, value, returned);
    static const char log[] = "<source>:1:1: error: unknown type name 'flaot'";
    if (returned != nullptr) *returned = sizeof log;
    if (value != nullptr) std::memcpy(value, log, std::min(size, sizeof log));
    return CL_SUCCESS;
}
cl_int enqueue(cl_command_queue queue, cl_kernel kernel, cl_uint dimensions, const std::size_t* offset,
               const std::size_t* global, const std::size_t* local, cl_uint waits, const cl_event* list, cl_event* event) {
    if (faults.launchAnswer != CL_SUCCESS) return faults.launchAnswer;
    return real.clEnqueueNDRangeKernel(queue, kernel, dimensions, offset, global, local, waits, list, event);
}

TEST_F(OpenClTest, EveryRefusalAndFailureHasItsMessage) {
    real = loadOpenClApi(kOpenClLibrary);
    OpenClApi seamed = real;
    seamed.clGetDeviceInfo = &deviceInfo;
    seamed.clBuildProgram = &build;
    seamed.clGetProgramBuildInfo = &buildInfo;
    seamed.clEnqueueNDRangeKernel = &enqueue;
    faults = {};
    overrideOpenClApi(&seamed);

    cl_int error = CL_SUCCESS;
    cl_command_queue outOfOrder =
        clCreateCommandQueue(cl_.context, cl_.device, CL_QUEUE_OUT_OF_ORDER_EXEC_MODE_ENABLE, &error);
    ASSERT_EQ(error, CL_SUCCESS);
    PrSDKGPUDeviceSuite noHostMemory = kSuite;
    noHostMemory.FreeHostMemory = nullptr;
    const auto make = [&](PrGPUDeviceInfo i, PrSDKGPUDeviceSuite const* suite = &kSuite) {
        return failure([&] { Renderer r(i, suite, 0); });
    };
    const auto with = [&](std::function<void(PrGPUDeviceInfo&)> change) {
        PrGPUDeviceInfo i = info();
        change(i);
        return make(i);
    };
    const auto faulty = [&](std::function<void(ClFaults&)> change) {
        faults = {};
        change(faults);
        const std::string message = make(info());
        faults = {};
        return message;
    };
    const std::pair<std::string, std::string> construction[] = {
        {failure([] { loadCudaApi("libraydrift-absent.so.1"); }), "NVIDIA CUDA driver unavailable"},
        {failure([] { loadOpenClApi("libraydrift-absent.so.1"); }), "OpenCL driver unavailable"},
        {failure([] { loadCudaApi("libm.so.6"); }), "CUDA API missing: cuInit"},
        {failure([] { loadOpenClApi("libm.so.6"); }), "OpenCL API missing: clGetDeviceInfo"},
        {with([](PrGPUDeviceInfo& i) { i.outDeviceFramework = 7; }), "Native GPU backend unsupported; software fallback"},
        {with([](PrGPUDeviceInfo& i) { i.outMeetsMinimumRequirementsForAcceleration = 0; }), "Native GPU device unavailable"},
        {with([](PrGPUDeviceInfo& i) { i.outContextHandle = nullptr; }), "Native GPU device unavailable"},
        {make(info(), nullptr), "Native GPU device unavailable"},
        {make(info(), &noHostMemory), "Native GPU memory suite incomplete; software fallback"},
        {with([](PrGPUDeviceInfo& i) { i.outCommandQueueHandle = nullptr; }), "OpenCL host handles unavailable; software fallback"},
        {with([](PrGPUDeviceInfo& i) { i.outDeviceHandle = nullptr; }), "OpenCL host handles unavailable; software fallback"},
        {with([&](PrGPUDeviceInfo& i) { i.outCommandQueueHandle = outOfOrder; }),
         "OpenCL out-of-order host queue unsupported; software fallback"},
        {faulty([](ClFaults& f) { f.noDoubles = true; }), "OpenCL strict floating precision unavailable; software fallback"},
        {faulty([](ClFaults& f) { f.noCorrectDivision = true; }), "OpenCL strict floating precision unavailable; software fallback"},
        {faulty([](ClFaults& f) { f.buildFails = true; }), "<source>:1:1: error: unknown type name 'flaot'"},
    };
    for (auto const& [got, expected] : construction) EXPECT_EQ(got, expected);
    clReleaseCommandQueue(outOfOrder);
    if (dlopenable(kCudaLibrary)) {
        std::printf("CUDA driver present: its absence is not shown here\n");
    } else {
        PrGPUDeviceInfo cuda = info();
        cuda.outDeviceFramework = PrGPUDeviceFramework_CUDA;
        EXPECT_EQ(make(cuda), "NVIDIA CUDA driver unavailable");
        EXPECT_EQ(make(cuda), "NVIDIA CUDA driver unavailable") << "the failure is remembered";
    }

    // Frames: a malformed one, the host out of memory (then freed and retried once), the
    // pinned staging refused, launches refused, buffers the host will not take back.
    const Image input = metal::testFrame(false, 24, 16);
    std::vector<std::uint8_t> bytes(input.pixels.size() * 16, 0);
    Frame frame;
    frame.width = input.width;
    frame.height = input.height;
    frame.inPitch = frame.outPitch = input.width * 16;
    const RenderSettings settings = metal::baseSettings();
    Renderer renderer(info(), &kSuite, 0);
    EXPECT_EQ(failure([&] { renderer.render(frame, settings); }), "Invalid native GPU frame");
    Frame aliased = frame;
    aliased.input = aliased.output = cl_.context;
    EXPECT_EQ(failure([&] { renderer.render(aliased, settings); }), "Invalid native GPU frame");
    Frame narrow = frame;
    narrow.outPitch = 16;
    EXPECT_EQ(failure([&] { render(renderer, narrow, bytes, bytes, settings); }), "Invalid native GPU frame");
    cl_.failAllocations = 1;
    EXPECT_EQ(failure([&] { render(renderer, frame, bytes, bytes, settings); }),
              "pressure: Premiere GPU memory allocation failed");
    renderer.releaseBuffers();
    EXPECT_EQ(failure([&] { render(renderer, frame, bytes, bytes, settings); }), "") << "the retry renders";
    {
        Renderer fresh(info(), &kSuite, 0);
        cl_.failHostAllocations = 1;
        EXPECT_EQ(failure([&] { render(fresh, frame, bytes, bytes, settings); }),
                  "pressure: Premiere OpenCL host allocation failed");
    }
    faults.launchAnswer = CL_MEM_OBJECT_ALLOCATION_FAILURE;
    EXPECT_EQ(failure([&] { render(renderer, frame, bytes, bytes, settings); }), "pressure: OpenCL memory error -4");
    faults.launchAnswer = CL_OUT_OF_RESOURCES;
    EXPECT_EQ(failure([&] { render(renderer, frame, bytes, bytes, settings); }), "OpenCL error -5");
    faults = {};
    render(renderer, frame, bytes, bytes, settings);
    cl_.freeHostAnswer = static_cast<prSuiteError>(1);
    EXPECT_EQ(failure([&] { renderer.releaseBuffers(); }), "OpenCL pinned free failed");
    cl_.freeHostAnswer = suiteError_NoError;
    render(renderer, frame, bytes, bytes, settings);
    cl_.freeAnswer = static_cast<prSuiteError>(1);
    EXPECT_EQ(failure([&] { renderer.releaseBuffers(); }), "Native buffer release failed");
    cl_.freeAnswer = suiteError_NoError;
}

}  // namespace
}  // namespace raydrift::nativegpu

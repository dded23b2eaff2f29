// The host-GPU renderer on CUDA. Without a driver, a stand-in driver table shows what the
// back end asks of the driver (the module, the 16 kernels, balanced context pushes,
// launches) and how each answer maps onto its failures. With a driver and a device, the
// agreement scenarios run on the GPU; otherwise that test reports itself skipped.
#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gpu/kernels/native_source.h"
#include "gpu/native_api.h"
#include "native_test_support.h"

namespace raydrift::nativegpu {
namespace {

using namespace rdcuda;

// Memory for the stand-in driver: plain host memory, allocations counted.
struct Memory {
    int allocations = 0;
    int failHost = 0;
} memory;
prSuiteError allocate(csSDK_uint32, std::size_t bytes, void** out) {
    ++memory.allocations;
    *out = std::calloc(1, bytes);
    return suiteError_NoError;
}
prSuiteError release(csSDK_uint32, void* p) {
    std::free(p);
    return suiteError_NoError;
}
prSuiteError allocateHost(csSDK_uint32, std::size_t bytes, void** out) {
    *out = nullptr;
    if (memory.failHost > 0) return --memory.failHost, suiteError_OutOfMemory;
    *out = std::malloc(bytes);
    return suiteError_NoError;
}
const PrSDKGPUDeviceSuite kHostSuite = [] {
    PrSDKGPUDeviceSuite suite{};
    suite.AllocateDeviceMemory = &allocate;
    suite.FreeDeviceMemory = &release;
    suite.AllocateHostMemory = &allocateHost;
    suite.FreeHostMemory = &release;
    return suite;
}();

struct Driver {
    std::vector<std::string> functions;
    int depth = 0, launches = 0, unloads = 0, destroyed = 0;
    CUresult launchAnswer = CUDA_SUCCESS, functionAnswer = CUDA_SUCCESS;
} driver;

CudaApi standIn() {
    CudaApi api;
    api.cuInit = [](unsigned) { return CUDA_SUCCESS; };
    api.cuCtxPushCurrent = [](CUcontext) { return ++driver.depth, CUDA_SUCCESS; };
    api.cuCtxPopCurrent = [](CUcontext*) { return --driver.depth, CUDA_SUCCESS; };
    api.cuModuleLoadData = [](CUmodule* m, const void* image) {
        *m = reinterpret_cast<CUmodule>(0x10);
        return static_cast<const char*>(image)[0] != '\0' ? CUDA_SUCCESS : 218;
    };
    api.cuModuleUnload = [](CUmodule) { return ++driver.unloads, CUDA_SUCCESS; };
    api.cuModuleGetFunction = [](CUfunction* f, CUmodule, const char* name) {
        driver.functions.push_back(name);
        *f = reinterpret_cast<CUfunction>(0x20);
        return driver.functionAnswer;
    };
    api.cuLaunchKernel = [](CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, CUstream,
                            void** parameters, void**) {
        ++driver.launches;
        return parameters != nullptr && driver.depth > 0 ? driver.launchAnswer : 1;
    };
    api.cuMemcpyHtoDAsync = [](CUdeviceptr to, const void* from, std::size_t bytes, CUstream) {
        std::memcpy(reinterpret_cast<void*>(to), from, bytes);
        return CUDA_SUCCESS;
    };
    api.cuStreamSynchronize = [](CUstream) { return CUDA_SUCCESS; };
    api.cuEventCreate = [](CUevent* e, unsigned) {
        *e = reinterpret_cast<CUevent>(0x30);
        return CUDA_SUCCESS;
    };
    api.cuEventRecord = [](CUevent, CUstream) { return CUDA_SUCCESS; };
    api.cuEventSynchronize = [](CUevent) { return CUDA_SUCCESS; };
    api.cuEventDestroy = [](CUevent) { return ++driver.destroyed, CUDA_SUCCESS; };
    api.cuGetErrorName = [](CUresult e, const char** name) {
        *name = e == CUDA_ERROR_OUT_OF_MEMORY ? "CUDA_ERROR_OUT_OF_MEMORY" : (e == 500 ? "CUDA_ERROR_NOT_FOUND" : nullptr);
        return *name != nullptr ? CUDA_SUCCESS : 1;
    };
    return api;
}

TEST(CudaTest, TheBackEndThroughAStandInDriver) {
    const CudaApi api = standIn();
    overrideCudaApi(&api);
    driver = {};
    memory = {};
    int context = 0, stream = 0;
    const PrGPUDeviceInfo info{PrGPUDeviceFramework_CUDA, 1, nullptr, nullptr, &context, &stream};
    if (metal::kNativePtx[0] == '\0') {
        EXPECT_EQ(failure([&] { Renderer r(info, &kHostSuite, 0); }), "CUDA kernels not built into this plug-in");
        overrideCudaApi(nullptr);
        GTEST_SKIP() << "built without nvcc: no PTX";
    }
    {
        Renderer renderer(info, &kHostSuite, 0);
        const std::vector<std::string> kernels = {
            "prepare", "selectFrame", "rotate", "horizontal", "horizontalRolling", "horizontalPrefix", "horizontalWindow",
            "vertical", "verticalRolling", "verticalModulated", "crop", "extendOriginal", "upscale", "tintFrame",
            "chromaticFrame", "compositeFrame"};
        EXPECT_EQ(driver.functions, kernels);
        EXPECT_EQ(driver.depth, 0);

        std::vector<std::uint8_t> in(24 * 16 * 16), out(in.size());
        Frame frame{in.data(), out.data(), 24, 16, 24 * 16, 24 * 16};
        const RenderSettings settings = metal::baseSettings();
        renderer.render(frame, settings);
        const int allocations = memory.allocations;
        EXPECT_GE(driver.launches, 6);  // import, selection, rotation, box, profile, crop, composite
        renderer.render(frame, settings);
        EXPECT_EQ(memory.allocations, allocations) << "the second frame of a size reuses every buffer";
        EXPECT_EQ(driver.depth, 0) << "every push popped";

        driver.launchAnswer = CUDA_ERROR_OUT_OF_MEMORY;
        EXPECT_EQ(failure([&] { renderer.render(frame, settings); }), "pressure: CUDA_ERROR_OUT_OF_MEMORY");
        driver.launchAnswer = 999;
        EXPECT_EQ(failure([&] { renderer.render(frame, settings); }), "CUDA driver failure");
        EXPECT_EQ(driver.depth, 0);
        driver.launchAnswer = CUDA_SUCCESS;
        renderer.releaseBuffers();
        memory.failHost = 1;
        EXPECT_EQ(failure([&] { renderer.render(frame, settings); }), "pressure: Premiere pinned memory allocation failed");
    }
    EXPECT_EQ(driver.unloads, 1);
    EXPECT_EQ(driver.destroyed, 1);
    driver = {};
    driver.functionAnswer = 500;
    EXPECT_EQ(failure([&] { Renderer r(info, &kHostSuite, 0); }), "CUDA_ERROR_NOT_FOUND");
    EXPECT_EQ(driver.unloads, 1) << "the module is unloaded when a kernel is missing";
    EXPECT_EQ(driver.destroyed, 1);
    EXPECT_EQ(driver.depth, 0);
    overrideCudaApi(nullptr);
}

// The driver functions a host uses to make a context, a stream and memory.
struct HostDriver {
    void* library = nullptr;
    CUresult (*cuDeviceGet)(int*, int) = nullptr;
    CUresult (*cuCtxCreate)(CUcontext*, unsigned, int) = nullptr;
    CUresult (*cuCtxDestroy)(CUcontext) = nullptr;
    CUresult (*cuStreamCreate)(CUstream*, unsigned) = nullptr;
    CUresult (*cuStreamDestroy)(CUstream) = nullptr;
    CUresult (*cuMemAlloc)(CUdeviceptr*, std::size_t) = nullptr;
    CUresult (*cuMemFree)(CUdeviceptr) = nullptr;
    CUresult (*cuMemAllocHost)(void**, std::size_t) = nullptr;
    CUresult (*cuMemFreeHost)(void*) = nullptr;
    CUresult (*cuMemcpyHtoD)(CUdeviceptr, const void*, std::size_t) = nullptr;
    CUresult (*cuMemcpyDtoH)(void*, CUdeviceptr, std::size_t) = nullptr;
    CUresult (*cuCtxPushCurrent)(CUcontext) = nullptr;
    CUresult (*cuCtxPopCurrent)(CUcontext*) = nullptr;
    CUresult (*cuStreamSynchronize)(CUstream) = nullptr;
    CUcontext context = nullptr;
    CUstream stream = nullptr;
} cuda;

template <class F>
bool fetch(F& slot, const char* name) {
    slot = reinterpret_cast<F>(dlsym(cuda.library, name));
    return slot != nullptr;
}

// Suite callbacks run with the host's context current, as a host does.
struct Current {
    Current() { cuda.cuCtxPushCurrent(cuda.context); }
    ~Current() {
        CUcontext c;
        cuda.cuCtxPopCurrent(&c);
    }
};
prSuiteError deviceAllocate(csSDK_uint32, std::size_t bytes, void** out) {
    Current current;
    CUdeviceptr p = 0;
    ++memory.allocations;
    const CUresult r = cuda.cuMemAlloc(&p, bytes);
    *out = reinterpret_cast<void*>(p);
    return r == CUDA_SUCCESS ? suiteError_NoError : suiteError_OutOfMemory;
}
prSuiteError deviceFree(csSDK_uint32, void* p) {
    Current current;
    return cuda.cuMemFree(reinterpret_cast<CUdeviceptr>(p)) == CUDA_SUCCESS ? suiteError_NoError : 1;
}
prSuiteError pinnedAllocate(csSDK_uint32, std::size_t bytes, void** out) {
    Current current;
    return cuda.cuMemAllocHost(out, bytes) == CUDA_SUCCESS ? suiteError_NoError : suiteError_OutOfMemory;
}
prSuiteError pinnedFree(csSDK_uint32, void* p) {
    Current current;
    return cuda.cuMemFreeHost(p) == CUDA_SUCCESS ? suiteError_NoError : 1;
}
const PrSDKGPUDeviceSuite kCudaSuite = [] {
    PrSDKGPUDeviceSuite suite{};
    suite.AllocateDeviceMemory = &deviceAllocate;
    suite.FreeDeviceMemory = &deviceFree;
    suite.AllocateHostMemory = &pinnedAllocate;
    suite.FreeHostMemory = &pinnedFree;
    return suite;
}();

TEST(CudaTest, FramesMatchTheCpuEngineOnTheDevice) {
    cuda.library = dlopen(kCudaLibrary, RTLD_NOW | RTLD_LOCAL);
    if (cuda.library == nullptr) GTEST_SKIP() << "no CUDA driver";
    int device = 0;
    ASSERT_TRUE(fetch(cuda.cuDeviceGet, "cuDeviceGet") && fetch(cuda.cuCtxCreate, "cuCtxCreate_v2") &&
                fetch(cuda.cuCtxDestroy, "cuCtxDestroy_v2") && fetch(cuda.cuStreamCreate, "cuStreamCreate") &&
                fetch(cuda.cuStreamDestroy, "cuStreamDestroy_v2") && fetch(cuda.cuMemAlloc, "cuMemAlloc_v2") &&
                fetch(cuda.cuMemFree, "cuMemFree_v2") && fetch(cuda.cuMemAllocHost, "cuMemAllocHost_v2") &&
                fetch(cuda.cuMemFreeHost, "cuMemFreeHost") && fetch(cuda.cuMemcpyHtoD, "cuMemcpyHtoD_v2") &&
                fetch(cuda.cuMemcpyDtoH, "cuMemcpyDtoH_v2") && fetch(cuda.cuCtxPushCurrent, "cuCtxPushCurrent_v2") &&
                fetch(cuda.cuCtxPopCurrent, "cuCtxPopCurrent_v2") &&
                fetch(cuda.cuStreamSynchronize, "cuStreamSynchronize"));
    CudaApi const& api = cudaApi();  // cuInit(0)
    (void)api;
    if (cuda.cuDeviceGet(&device, 0) != CUDA_SUCCESS) GTEST_SKIP() << "no CUDA device";
    ASSERT_EQ(cuda.cuCtxCreate(&cuda.context, 0, device), CUDA_SUCCESS);
    ASSERT_EQ(cuda.cuStreamCreate(&cuda.stream, 0), CUDA_SUCCESS);
    CUcontext popped;
    cuda.cuCtxPopCurrent(&popped);
    memory = {};
    {
        const PrGPUDeviceInfo info{PrGPUDeviceFramework_CUDA, 1, nullptr, nullptr, cuda.context, cuda.stream};
        Renderer renderer(info, &kCudaSuite, 0);
        expectScenarioAgreement("CUDA", &memory.allocations, [&](Frame const& f, std::vector<std::uint8_t> const& bytes,
                                                                  RenderSettings const& settings) {
            void* in = nullptr;
            void* out = nullptr;
            deviceAllocate(0, bytes.size(), &in);
            deviceAllocate(0, bytes.size(), &out);
            memory.allocations -= 2;  // the frame's own buffers, not the renderer's
            std::vector<std::uint8_t> result(bytes.size());
            {
                Current current;
                cuda.cuMemcpyHtoD(reinterpret_cast<CUdeviceptr>(in), bytes.data(), bytes.size());
                cuda.cuMemcpyHtoD(reinterpret_cast<CUdeviceptr>(out), bytes.data(), bytes.size());
            }
            Frame frame = f;
            frame.input = in;
            frame.output = out;
            renderer.render(frame, settings);
            renderer.synchronize();
            {
                Current current;
                cuda.cuMemcpyDtoH(result.data(), reinterpret_cast<CUdeviceptr>(out), bytes.size());
            }
            deviceFree(0, in);
            deviceFree(0, out);
            return result;
        });
        renderer.releaseBuffers();
    }
    cuda.cuCtxPushCurrent(cuda.context);
    cuda.cuStreamDestroy(cuda.stream);
    cuda.cuCtxDestroy(cuda.context);
}

}  // namespace
}  // namespace raydrift::nativegpu

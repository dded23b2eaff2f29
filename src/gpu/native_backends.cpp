// The CUDA and OpenCL back ends: the kernels loaded or built once per renderer, launches,
// uploads from pinned memory and waits on the host's own stream or queue, and each API's
// results mapped onto the renderer's failures.
#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu/kernels/native_source.h"
#include "gpu/native_api.h"
#include "gpu/native_backend.h"
#include "gpu/native_gpu.h"

namespace raydrift::nativegpu {

namespace {

using rdcuda::CUdeviceptr;
using rdcuda::CUresult;

const char* const kKernelNames[kKernelCount] = {
    "prepare",        "selectFrame", "rotate",           "horizontal",     "horizontalRolling", "horizontalPrefix",
    "horizontalWindow", "vertical",  "verticalRolling",  "verticalModulated", "crop",            "extendOriginal",
    "upscale",        "tintFrame",   "chromaticFrame",   "compositeFrame"};

// ---------------------------------------------------------------- CUDA

class CudaBackend final : public Backend {
public:
    CudaBackend(PrGPUDeviceInfo const& info, CudaApi const& api) : api_(api), context_(info.outContextHandle) {
        stream_ = static_cast<rdcuda::CUstream>(info.outCommandQueueHandle);
        if (metal::kNativePtx[0] == '\0') throw std::runtime_error("CUDA kernels not built into this plug-in");
        push();
        try {
            check(api_.cuModuleLoadData(&module_, metal::kNativePtx));
            check(api_.cuEventCreate(&upload_, rdcuda::CU_EVENT_DISABLE_TIMING));
            for (int k = 0; k < kKernelCount; ++k) check(api_.cuModuleGetFunction(&kernels_[k], module_, kKernelNames[k]));
        } catch (...) {
            release();
            pop();
            throw;
        }
        pop();
    }
    ~CudaBackend() override { release(); }

    const char* stagingFailure() const override { return "Premiere pinned memory allocation failed"; }
    const char* stagingReleaseFailure() const override { return "Native pinned release failed"; }
    void enter() override { push(); }
    void leave() override { pop(); }

    void launch(Kernel kernel, int width, int height, bool linear, KernelArguments const& a) override {
        CUdeviceptr p[8];
        void* const handles[8] = {a.src, a.dst, a.original, a.table, a.factors, a.flags, a.hostIn, a.hostOut};
        for (int i = 0; i < 8; ++i) p[i] = reinterpret_cast<CUdeviceptr>(handles[i]);
        metal::Params params = a.params;
        metal::HostParams host = a.host;
        void* parameters[10] = {&p[0], &p[1], &p[2], &params, &p[3], &p[4], &p[5], &p[6], &p[7], &host};
        const unsigned bx = linear ? 64u : 16u, by = linear ? 1u : 16u;
        const unsigned w = static_cast<unsigned>(width), h = static_cast<unsigned>(height);
        check(api_.cuLaunchKernel(kernels_[static_cast<int>(kernel)], (w + bx - 1) / bx, (h + by - 1) / by, 1, bx, by,
                                  1, 0, stream_, parameters, nullptr));
    }
    void write(void* buffer, const void* staged, std::size_t bytes) override {
        check(api_.cuMemcpyHtoDAsync(reinterpret_cast<CUdeviceptr>(buffer), staged, bytes, stream_));
        check(api_.cuEventRecord(upload_, stream_));
        pending_ = true;
    }
    void waitUpload() override {
        if (!pending_) return;
        pending_ = false;
        check(api_.cuEventSynchronize(upload_));
    }
    void submit() override {}
    void synchronize() override { check(api_.cuStreamSynchronize(stream_)); }

private:
    void check(CUresult result) const {
        if (result == rdcuda::CUDA_SUCCESS) return;
        const char* name = nullptr;
        if (api_.cuGetErrorName(result, &name) != rdcuda::CUDA_SUCCESS) name = nullptr;
        if (result == rdcuda::CUDA_ERROR_OUT_OF_MEMORY)
            throw MemoryPressure(name != nullptr ? name : "CUDA allocation failed");
        throw std::runtime_error(name != nullptr ? name : "CUDA driver failure");
    }
    void push() { check(api_.cuCtxPushCurrent(static_cast<rdcuda::CUcontext>(context_))); }
    void pop() {
        rdcuda::CUcontext popped = nullptr;
        api_.cuCtxPopCurrent(&popped);
    }
    void release() noexcept {
        if (upload_ != nullptr) api_.cuEventDestroy(upload_);
        if (module_ != nullptr) api_.cuModuleUnload(module_);
        upload_ = nullptr;
        module_ = nullptr;
    }

    CudaApi const& api_;
    void* context_;
    rdcuda::CUstream stream_ = nullptr;
    rdcuda::CUmodule module_ = nullptr;
    rdcuda::CUevent upload_ = nullptr;
    std::array<rdcuda::CUfunction, kKernelCount> kernels_{};
    bool pending_ = false;
};

// ---------------------------------------------------------------- OpenCL

void clCheck(cl_int code) {
    if (code == CL_SUCCESS) return;
    if (code == CL_OUT_OF_HOST_MEMORY || code == CL_MEM_OBJECT_ALLOCATION_FAILURE)
        throw MemoryPressure("OpenCL memory error " + std::to_string(code));
    throw std::runtime_error("OpenCL error " + std::to_string(code));
}

class OpenClBackend final : public Backend {
public:
    OpenClBackend(PrGPUDeviceInfo const& info, OpenClApi const& api)
        : api_(api),
          context_(static_cast<cl_context>(info.outContextHandle)),
          queue_(static_cast<cl_command_queue>(info.outCommandQueueHandle)),
          device_(static_cast<cl_device_id>(info.outDeviceHandle)) {
        if (api_.clGetCommandQueueInfo == nullptr) throw std::runtime_error("OpenCL API missing: clGetCommandQueueInfo");
        cl_command_queue_properties properties = 0;
        clCheck(api_.clGetCommandQueueInfo(queue_, CL_QUEUE_PROPERTIES, sizeof properties, &properties, nullptr));
        if ((properties & CL_QUEUE_OUT_OF_ORDER_EXEC_MODE_ENABLE) != 0)
            throw std::runtime_error("OpenCL out-of-order host queue unsupported; software fallback");
        cl_device_fp_config doubles = 0, singles = 0;
        clCheck(api_.clGetDeviceInfo(device_, CL_DEVICE_DOUBLE_FP_CONFIG, sizeof doubles, &doubles, nullptr));
        clCheck(api_.clGetDeviceInfo(device_, CL_DEVICE_SINGLE_FP_CONFIG, sizeof singles, &singles, nullptr));
        if (doubles == 0 || (singles & CL_FP_CORRECTLY_ROUNDED_DIVIDE_SQRT) == 0)
            throw std::runtime_error("OpenCL strict floating precision unavailable; software fallback");
        try {
            build();
        } catch (...) {
            release();
            throw;
        }
    }
    ~OpenClBackend() override { release(); }

    const char* stagingFailure() const override { return "Premiere OpenCL host allocation failed"; }
    const char* stagingReleaseFailure() const override { return "OpenCL pinned free failed"; }
    void enter() override {}
    void leave() override {}

    void launch(Kernel kernel, int width, int height, bool linear, KernelArguments const& a) override {
        cl_kernel k = kernels_[static_cast<int>(kernel)];
        const auto memory = [&](cl_uint index, void* handle) {
            cl_mem m = static_cast<cl_mem>(handle);
            clCheck(api_.clSetKernelArg(k, index, sizeof m, &m));
        };
        memory(0, a.src);
        memory(1, a.dst);
        memory(2, a.original);
        clCheck(api_.clSetKernelArg(k, 3, sizeof a.params, &a.params));
        memory(4, a.table);
        memory(5, a.factors);
        memory(6, a.flags);
        memory(7, a.hostIn);
        memory(8, a.hostOut);
        clCheck(api_.clSetKernelArg(k, 9, sizeof a.host, &a.host));
        const std::size_t global[2] = {static_cast<std::size_t>(width), static_cast<std::size_t>(height)};
        clCheck(api_.clEnqueueNDRangeKernel(queue_, k, linear ? 1 : 2, nullptr, global, nullptr, 0, nullptr, nullptr));
    }
    void write(void* buffer, const void* staged, std::size_t bytes) override {
        clCheck(api_.clEnqueueWriteBuffer(queue_, static_cast<cl_mem>(buffer), CL_FALSE, 0, bytes, staged, 0, nullptr,
                                          &upload_));
        clCheck(api_.clFlush(queue_));
    }
    void waitUpload() override {
        if (upload_ == nullptr) return;
        cl_event event = upload_;
        upload_ = nullptr;
        const cl_int waited = api_.clWaitForEvents(1, &event);
        api_.clReleaseEvent(event);
        clCheck(waited);
    }
    void submit() override { clCheck(api_.clFlush(queue_)); }
    void synchronize() override { clCheck(api_.clFinish(queue_)); }

private:
    void build() {
        std::string text = std::string("#define SM_CPU_FMA ") + (RAYDRIFT_CPU_FMA ? "1" : "0") + "\n";
        for (const char* piece : metal::kNativePieces) text += piece;
        const char* source = text.c_str();
        const std::size_t length = text.size();
        cl_int code = CL_SUCCESS;
        program_ = api_.clCreateProgramWithSource(context_, 1, &source, &length, &code);
        clCheck(code);
        if (api_.clBuildProgram(program_, 1, &device_, "-cl-std=CL1.2 -cl-fp32-correctly-rounded-divide-sqrt", nullptr,
                                nullptr) != CL_SUCCESS) {
            std::size_t size = 0;
            api_.clGetProgramBuildInfo(program_, device_, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
            std::string log(size, '\0');
            api_.clGetProgramBuildInfo(program_, device_, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr);
            while (!log.empty() && (log.back() == '\0' || log.back() == '\n')) log.pop_back();
            throw std::runtime_error(log.empty() ? "OpenCL program build failed" : log);
        }
        for (int k = 0; k < kKernelCount; ++k) {
            // rotate() is an OpenCL C built-in: the kernel has another name there.
            const char* name = static_cast<Kernel>(k) == Kernel::rotate ? "rotateImage" : kKernelNames[k];
            kernels_[k] = api_.clCreateKernel(program_, name, &code);
            clCheck(code);
        }
    }
    void release() noexcept {
        if (upload_ != nullptr) {
            api_.clWaitForEvents(1, &upload_);
            api_.clReleaseEvent(upload_);
            upload_ = nullptr;
        }
        for (cl_kernel& k : kernels_)
            if (k != nullptr) api_.clReleaseKernel(k), k = nullptr;
        if (program_ != nullptr) api_.clReleaseProgram(program_);
        program_ = nullptr;
    }

    OpenClApi const& api_;
    cl_context context_;
    cl_command_queue queue_;
    cl_device_id device_;
    cl_program program_ = nullptr;
    std::array<cl_kernel, kKernelCount> kernels_{};
    cl_event upload_ = nullptr;
};

}  // namespace

std::unique_ptr<Backend> makeBackend(PrGPUDeviceInfo const& info) {
    if (info.outDeviceFramework == PrGPUDeviceFramework_CUDA) return std::make_unique<CudaBackend>(info, cudaApi());
    if (info.outContextHandle == nullptr || info.outCommandQueueHandle == nullptr || info.outDeviceHandle == nullptr)
        throw std::runtime_error("OpenCL host handles unavailable; software fallback");
    return std::make_unique<OpenClBackend>(info, openClApi());
}

}  // namespace raydrift::nativegpu

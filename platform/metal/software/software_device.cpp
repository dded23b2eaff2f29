#include "software/software_device.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace rdmtl {

namespace {

std::mutex gFaultMutex;
Faults gFaults;
std::atomic<long> gAllocations{0};
std::atomic<long> gEncoders{0};
std::atomic<std::int64_t> gPrivateReads{0};
std::atomic<std::int64_t> gDispatches{0};
std::atomic<unsigned> gOrderSeed{0};
std::atomic<int> gInFlight{0};
std::atomic<int> gMostInFlight{0};

Faults currentFaults() {
    std::lock_guard<std::mutex> lock(gFaultMutex);
    return gFaults;
}

// True when this call is the n-th counted one since the faults were set.
bool nth(std::atomic<long>& counter, long n) {
    if (n <= 0) return false;
    return counter.fetch_add(1, std::memory_order_relaxed) + 1 == n;
}

template <class T>
T* autoreleased(T* object) {
    object->autorelease();
    return object;
}

class SoftwareDevice;

// What a failure from outside C++ looks like to the plug-in: no std::exception.
struct ForeignException {};

class SoftwareBuffer final : public MTL::Buffer {
public:
    SoftwareBuffer(MTL::Device* device, NS::UInteger length, bool isPrivate)
        : device_(device), length_(length), private_(isPrivate),
          storage_(new std::byte[std::max<NS::UInteger>(length, 1)]) {
        // GPU memory nobody wrote reads as NaN, so a pass that reads what an earlier pass
        // never wrote shows up in the picture.
        std::memset(storage_.get(), isPrivate ? 0xff : 0, length);
    }
    void* contents() override {
        if (private_) {
            gPrivateReads.fetch_add(1, std::memory_order_relaxed);
            return nullptr;
        }
        return storage_.get();
    }
    NS::UInteger length() const override { return length_; }
    MTL::Device* device() const override { return device_; }
    std::byte* storage() { return storage_.get(); }

private:
    MTL::Device* device_;
    NS::UInteger length_;
    bool private_;
    std::unique_ptr<std::byte[]> storage_;
};

class SoftwareFunction final : public MTL::Function {
public:
    SoftwareFunction(std::string name, KernelFunction entry)
        : name_(std::move(name)), function_(entry) {}
    NS::String* name() const override { return NS::String::string(name_.c_str(), NS::UTF8StringEncoding); }
    KernelFunction function() const { return function_; }

private:
    std::string name_;
    KernelFunction function_;
};

class SoftwareLibrary final : public MTL::Library {
public:
    explicit SoftwareLibrary(std::string source) : source_(std::move(source)) {}
    MTL::Function* newFunction(NS::String* name) override {
        if (name == nullptr) return nullptr;
        const std::string wanted = name->utf8String();
        if (currentFaults().missingFunction == wanted) return nullptr;
        // The entry point must be in the text handed over, not only in the C++ build.
        if (source_.find("kernel void " + wanted + "(") == std::string::npos) return nullptr;
        const KernelLibrary library = kernelLibrary();
        for (std::size_t i = 0; i < library.count; ++i)
            if (wanted == library.entries[i].name)
                return new SoftwareFunction(wanted, library.entries[i].function);
        return nullptr;
    }

private:
    std::string source_;
};

class SoftwarePipeline final : public MTL::ComputePipelineState {
public:
    explicit SoftwarePipeline(KernelFunction entry) : function_(entry) {}
    NS::UInteger threadExecutionWidth() const override { return 32; }
    NS::UInteger maxTotalThreadsPerThreadgroup() const override { return 1024; }
    KernelFunction function() const { return function_; }

private:
    KernelFunction function_;
};

struct Dispatch {
    KernelFunction function = nullptr;
    KernelArguments arguments{};
    MTL::Size grid{};
};

// Runs one grid: rows (or, for a one-row grid, columns) in chunks taken by worker
// threads from a rotating start, so no two runs visit the grid in the same order.
void run(Dispatch const& d) {
    gDispatches.fetch_add(1, std::memory_order_relaxed);
    const NS::UInteger w = d.grid.width;
    const NS::UInteger h = d.grid.height * std::max<NS::UInteger>(d.grid.depth, 1);
    if (w == 0 || h == 0) return;
    const bool byColumn = h == 1;
    const NS::UInteger lines = byColumn ? w : h;
    const NS::UInteger chunk = std::max<NS::UInteger>(1, lines / 64);
    const NS::UInteger chunks = (lines + chunk - 1) / chunk;
    const NS::UInteger start = gOrderSeed.fetch_add(7, std::memory_order_relaxed) % chunks;
    std::atomic<NS::UInteger> next{0};
    auto worker = [&] {
        for (;;) {
            const NS::UInteger n = next.fetch_add(1, std::memory_order_relaxed);
            if (n >= chunks) return;
            // Every other chunk from the far end: neighbours run out of order.
            const NS::UInteger k = (start + ((n & 1) ? chunks - 1 - n / 2 : n / 2)) % chunks;
            const NS::UInteger first = k * chunk;
            const NS::UInteger last = std::min(lines, first + chunk);
            for (NS::UInteger line = first; line < last; ++line) {
                if (byColumn) {
                    d.function(d.arguments, static_cast<unsigned>(line), 0);
                } else {
                    for (NS::UInteger x = w; x-- > 0;)
                        d.function(d.arguments, static_cast<unsigned>(x), static_cast<unsigned>(line));
                }
            }
        }
    };
    const unsigned threads =
        static_cast<unsigned>(std::min<NS::UInteger>(std::max(2u, std::thread::hardware_concurrency()), chunks));
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
}

class SoftwareCommandBuffer;

class SoftwareEncoder final : public MTL::ComputeCommandEncoder {
public:
    explicit SoftwareEncoder(SoftwareCommandBuffer* owner);
    ~SoftwareEncoder() override;
    void setComputePipelineState(MTL::ComputePipelineState* state) override;
    void setBuffer(MTL::Buffer* buffer, NS::UInteger offset, NS::UInteger index) override;
    void setBytes(const void* bytes, NS::UInteger length, NS::UInteger index) override;
    void dispatchThreads(MTL::Size threadsPerGrid, MTL::Size threadsPerThreadgroup) override;
    void endEncoding() override;

private:
    SoftwareCommandBuffer* owner_;
    SoftwarePipeline* pipeline_ = nullptr;
    KernelArguments bound_{};
};

class SoftwareCommandBuffer final : public MTL::CommandBuffer {
public:
    ~SoftwareCommandBuffer() override {
        for (NS::Object* object : held_) object->release();
        if (error_ != nullptr) error_->release();
    }
    void setLabel(NS::String* label) override { label_ = label != nullptr ? label->utf8String() : ""; }
    MTL::ComputeCommandEncoder* computeCommandEncoder() override {
        if (status_ != MTL::CommandBufferStatusNotEnqueued) return nullptr;
        if (nth(gEncoders, currentFaults().failEncoder)) return nullptr;
        return autoreleased(new SoftwareEncoder(this));
    }
    void commit() override {
        if (status_ != MTL::CommandBufferStatusNotEnqueued) return;
        if (currentFaults().foreignException) throw ForeignException{};
        status_ = MTL::CommandBufferStatusCommitted;
        const int now = gInFlight.fetch_add(1) + 1;
        for (int most = gMostInFlight.load(); now > most && !gMostInFlight.compare_exchange_weak(most, now);) {
        }
        for (Dispatch const& d : dispatches_) run(d);
        gInFlight.fetch_sub(1);
        const Faults f = currentFaults();
        if (!f.commandError.empty()) {
            error_ = new NS::Error(f.commandError);
            status_ = MTL::CommandBufferStatusError;
        } else if (f.commandErrorWithoutObject) {
            status_ = MTL::CommandBufferStatusError;
        } else {
            status_ = MTL::CommandBufferStatusCompleted;
        }
        // Completed work lets go of what it used, as Metal does.
        for (NS::Object* object : held_) object->release();
        held_.clear();
        dispatches_.clear();
        bytes_.clear();
    }
    void waitUntilCompleted() override {}
    MTL::CommandBufferStatus status() const override { return status_; }
    NS::Error* error() const override { return error_; }

    void hold(NS::Object* object) { held_.push_back(object->retain()); }
    void* keepBytes(const void* bytes, NS::UInteger length) {
        bytes_.emplace_back(static_cast<const std::byte*>(bytes), static_cast<const std::byte*>(bytes) + length);
        return bytes_.back().data();
    }
    void add(Dispatch const& d) { dispatches_.push_back(d); }
    bool committed() const { return status_ != MTL::CommandBufferStatusNotEnqueued; }

private:
    std::string label_;
    MTL::CommandBufferStatus status_ = MTL::CommandBufferStatusNotEnqueued;
    NS::Error* error_ = nullptr;
    std::vector<NS::Object*> held_;
    std::vector<Dispatch> dispatches_;
    std::vector<std::vector<std::byte>> bytes_;
};

SoftwareEncoder::SoftwareEncoder(SoftwareCommandBuffer* owner) : owner_(owner) { owner_->retain(); }
SoftwareEncoder::~SoftwareEncoder() { owner_->release(); }

void SoftwareEncoder::setComputePipelineState(MTL::ComputePipelineState* state) {
    pipeline_ = static_cast<SoftwarePipeline*>(state);
    if (state != nullptr) owner_->hold(state);
}

void SoftwareEncoder::setBuffer(MTL::Buffer* buffer, NS::UInteger offset, NS::UInteger index) {
    if (index >= 8) return;
    if (buffer == nullptr) {
        bound_.buffers[index] = nullptr;
        return;
    }
    owner_->hold(buffer);
    bound_.buffers[index] = static_cast<SoftwareBuffer*>(buffer)->storage() + offset;
}

void SoftwareEncoder::setBytes(const void* bytes, NS::UInteger length, NS::UInteger index) {
    if (index >= 8) return;
    bound_.buffers[index] = owner_->keepBytes(bytes, length);
}

void SoftwareEncoder::dispatchThreads(MTL::Size threadsPerGrid, MTL::Size) {
    if (pipeline_ == nullptr || owner_->committed()) return;
    Dispatch d;
    d.function = pipeline_->function();
    d.arguments = bound_;
    d.grid = threadsPerGrid;
    owner_->add(d);
}

void SoftwareEncoder::endEncoding() {}

class SoftwareQueue final : public MTL::CommandQueue {
public:
    explicit SoftwareQueue(MTL::Device* device) : device_(device) { device_->retain(); }
    ~SoftwareQueue() override { device_->release(); }
    MTL::CommandBuffer* commandBuffer() override {
        if (currentFaults().noCommandBuffer) return nullptr;
        return autoreleased(new SoftwareCommandBuffer());
    }
    MTL::Device* device() const override { return device_; }

private:
    MTL::Device* device_;
};

class SoftwareDevice final : public MTL::Device {
public:
    explicit SoftwareDevice(std::string name) : name_(std::move(name)) {}
    NS::String* name() const override { return NS::String::string(name_.c_str(), NS::UTF8StringEncoding); }
    MTL::CommandQueue* newCommandQueue() override {
        if (currentFaults().noQueue) return nullptr;
        return new SoftwareQueue(this);
    }
    MTL::Buffer* newBuffer(NS::UInteger length, MTL::ResourceOptions options) override {
        if (!allocationAllowed(length)) return nullptr;
        return new SoftwareBuffer(this, length, (options & MTL::ResourceStorageModePrivate) != 0);
    }
    MTL::Buffer* newBuffer(const void* bytes, NS::UInteger length, MTL::ResourceOptions options) override {
        if (!allocationAllowed(length)) return nullptr;
        auto* buffer = new SoftwareBuffer(this, length, (options & MTL::ResourceStorageModePrivate) != 0);
        if (bytes != nullptr && length > 0) std::memcpy(buffer->storage(), bytes, length);
        return buffer;
    }
    MTL::Library* newLibrary(NS::String* source, MTL::CompileOptions* options, NS::Error** error) override {
        const Faults f = currentFaults();
        std::string message = f.compileError;
        if (message.empty() && source == nullptr) message = "no source";
        if (message.empty()) {
            // The options must ask for the fusing choice the C++ build was made with.
            int wanted = -1;
            if (options != nullptr && options->preprocessorMacros() != nullptr) {
                NS::Dictionary* macros = options->preprocessorMacros();
                auto* key = static_cast<NS::String*>(macros->key());
                auto* value = static_cast<NS::Number*>(macros->object(key));
                if (key != nullptr && std::string(key->utf8String()) == "SM_CPU_FMA" && value != nullptr)
                    wanted = value->intValue();
            }
            if (wanted != kernelLibrary().cpuFma)
                message = "SM_CPU_FMA must be " + std::to_string(kernelLibrary().cpuFma);
            else if (options->fastMathEnabled())
                message = "fast math would reassociate the two-float sums";
        }
        if (!message.empty()) {
            if (error != nullptr) *error = NS::Error::error(message.c_str());
            return nullptr;
        }
        return new SoftwareLibrary(source->utf8String());
    }
    MTL::ComputePipelineState* newComputePipelineState(MTL::Function* function, NS::Error** error) override {
        const Faults f = currentFaults();
        if (!f.pipelineError.empty() || f.pipelineErrorWithoutObject || function == nullptr) {
            if (error != nullptr)
                *error = f.pipelineError.empty() ? nullptr : NS::Error::error(f.pipelineError.c_str());
            return nullptr;
        }
        return new SoftwarePipeline(static_cast<SoftwareFunction*>(function)->function());
    }
    NS::UInteger maxBufferLength() const override { return currentFaults().maxBufferLength; }
    std::uint64_t recommendedMaxWorkingSetSize() const override { return currentFaults().recommendedWorkingSet; }
    bool hasUnifiedMemory() const override { return currentFaults().unifiedMemory; }
    bool supportsFamily(MTL::GPUFamily family) const override {
        return family == MTL::GPUFamilyApple1 ? currentFaults().appleFamily : family == MTL::GPUFamilyMac2;
    }

private:
    bool allocationAllowed(NS::UInteger length) const {
        const Faults f = currentFaults();
        if (nth(gAllocations, f.failAllocation)) return false;
        return length <= f.maxBufferLength;
    }
    std::string name_;
};

}  // namespace

MTL::Device* newSoftwareDevice(const char* name) {
    return new SoftwareDevice(name != nullptr ? name : "");
}

void setFaults(Faults const& faults) {
    std::lock_guard<std::mutex> lock(gFaultMutex);
    gFaults = faults;
    gAllocations.store(0, std::memory_order_relaxed);
    gEncoders.store(0, std::memory_order_relaxed);
    gMostInFlight.store(0);
}

std::int64_t privateReads() { return gPrivateReads.load(std::memory_order_relaxed); }
std::int64_t dispatches() { return gDispatches.load(std::memory_order_relaxed); }
int mostCommandBuffersAtOnce() { return gMostInFlight.load(); }

}  // namespace rdmtl

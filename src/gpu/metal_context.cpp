#include "gpu/metal_context.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "gpu/kernels/kernel_source.h"

namespace raydrift::metal {

namespace {

constexpr const char* kKernelNames[kPassCount] = {
    "selectSource",     "rotateSource",   "horizontalPrefix", "horizontalWindow", "horizontalAccurate",
    "verticalSimple",   "verticalModulated", "cropSource",    "colorSource",      "chromaticSource",
    "compositeFrame",   "importHost",     "exportHost",
};

// The kernels reproduce this build's CPU arithmetic, fused or not.
#if defined(RAYDRIFT_CPU_FMA) && RAYDRIFT_CPU_FMA
constexpr int kCpuFma = 1;
#else
constexpr int kCpuFma = 0;
#endif

NS::String* text(const char* utf8) { return NS::String::string(utf8, NS::UTF8StringEncoding); }

std::string kernelSource() {
    std::string source;
    for (const char* piece : kKernelPieces) source += piece;
    return source;
}

std::u16string utf16(const char* s) {
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p != 0) {
        char32_t c = *p;
        int extra = c < 0x80 ? 0 : c < 0xe0 ? 1 : c < 0xf0 ? 2 : 3;
        if (extra > 0) c &= (0x3fu >> extra);
        ++p;
        for (; extra > 0 && (*p & 0xc0u) == 0x80u; --extra, ++p) c = (c << 6) | (*p & 0x3fu);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xd800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xdc00 + (c & 0x3ff)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::mutex contextMutex;
std::shared_ptr<Context> sharedSlot;
bool contextFailed = false;
std::string contextFailure;

}  // namespace

std::string errorMessage(NS::Error* error) {
    if (error == nullptr) return "unknown Metal error";
    NS::String* description = error->localizedDescription();
    const char* utf8 = description != nullptr ? description->utf8String() : nullptr;
    return utf8 != nullptr ? utf8 : "unknown Metal error";
}

Context::Context(MTL::Device* device, MTL::CommandQueue* queue) {
    AutoreleaseScope pool;
    device_ = device != nullptr ? Owned<MTL::Device>::retain(device)
                                : Owned<MTL::Device>::adopt(MTL::CreateSystemDefaultDevice());
    if (!device_) throw std::runtime_error("No Metal device");
    queue_ = queue != nullptr ? Owned<MTL::CommandQueue>::retain(queue)
                              : Owned<MTL::CommandQueue>::adopt(device_->newCommandQueue());
    if (!queue_ || queue_->device() != device_.get())
        throw std::runtime_error("Metal command queue unavailable/device mismatch");

    const std::string source = kernelSource();
    auto options = Owned<MTL::CompileOptions>::adopt(MTL::CompileOptions::alloc()->init());
    options->setPreprocessorMacros(NS::Dictionary::dictionary(NS::Number::number(kCpuFma), text("SM_CPU_FMA")));
    options->setLanguageVersion(MTL::LanguageVersion2_4);
    // The two-float sums are error-free transformations: reassociating them loses the
    // low parts.
    options->setFastMathEnabled(false);
    NS::Error* error = nullptr;
    auto library = Owned<MTL::Library>::adopt(device_->newLibrary(text(source.c_str()), options.get(), &error));
    if (!library) throw std::runtime_error("Metal shader: " + errorMessage(error));

    pipelines_.reserve(kPassCount);
    for (const char* name : kKernelNames) {
        auto function = Owned<MTL::Function>::adopt(library->newFunction(text(name)));
        if (!function) throw std::runtime_error("Missing Metal entry point");
        error = nullptr;
        auto pipeline = Owned<MTL::ComputePipelineState>::adopt(
            device_->newComputePipelineState(function.get(), &error));
        if (!pipeline) throw std::runtime_error("Metal pipeline: " + errorMessage(error));
        pipelines_.push_back(std::move(pipeline));
    }
}

MTL::Buffer* Context::buffer(std::size_t size, const void* bytes, bool shared) const {
    if (size == 0 || size > device_->maxBufferLength())
        throw std::runtime_error("Metal buffer size exceeds device limit");
    MTL::Buffer* buffer =
        bytes != nullptr ? device_->newBuffer(bytes, size, MTL::ResourceStorageModeShared)
                         : device_->newBuffer(size, shared ? MTL::ResourceStorageModeShared
                                                           : MTL::ResourceStorageModePrivate);
    if (buffer == nullptr) throw std::runtime_error("Metal allocation failed");
    buffer->autorelease();
    return buffer;
}

HostArena::~HostArena() {
    for (void* handle : allocations_) {
        try {
            release_(user_, handle);
        } catch (...) {
            // A host that throws from its release still gets every other buffer back.
        }
    }
}

MTL::Buffer* HostArena::buffer(Context& context, std::size_t size) {
    if (allocate_ == nullptr) return context.buffer(size, nullptr, false);
    void* handle = allocate_(user_, size);
    if (handle == nullptr) throw std::runtime_error("Host Metal image allocation failed");
    try {
        allocations_.push_back(handle);
    } catch (...) {
        release_(user_, handle);
        throw;
    }
    auto* buffer = static_cast<MTL::Buffer*>(handle);
    if (buffer->device() != context.device() || buffer->length() < size)
        throw std::runtime_error("Invalid host Metal allocation");
    return buffer;
}

AdmissionGate admissionGate;

AdmissionGate::Admission& AdmissionGate::Admission::operator=(Admission&& other) noexcept {
    if (this != &other) {
        release();
        gate_ = std::exchange(other.gate_, nullptr);
        bytes_ = other.bytes_;
    }
    return *this;
}

void AdmissionGate::Admission::release() noexcept {
    if (gate_ != nullptr) std::exchange(gate_, nullptr)->give(bytes_);
}

void AdmissionGate::give(std::uint64_t bytes) noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        usedBytes_ -= bytes;
        active_ -= 1;
    }
    changed_.notify_all();
}

bool AdmissionGate::admissible(void const* ticket, std::uint64_t bytes, Policy const& policy) const {
    const bool first = ticket == nullptr ? waiters_.empty() : (!waiters_.empty() && waiters_.front() == ticket);
    return first && active_ < policy.maxActive && usedBytes_ <= policy.budgetBytes - bytes;
}

AdmissionGate::Admission AdmissionGate::acquire(std::uint64_t bytes, Policy policy) {
    if (policy.maxActive == 0 || bytes > policy.budgetBytes)
        throw std::runtime_error("Metal frame exceeds memory budget");
    std::unique_lock<std::mutex> lock(mutex_);
    if (!admissible(nullptr, bytes, policy)) {
        const char request = 0;
        const void* ticket = &request;
        waiters_.push_back(ticket);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(policy.timeoutMs);
        const auto leave = [&] { waiters_.erase(std::find(waiters_.begin(), waiters_.end(), ticket)); };
        bool admitted = false;
        try {
            for (;;) {
                if (admissible(ticket, bytes, policy)) {
                    admitted = true;
                    break;
                }
                if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                    admitted = admissible(ticket, bytes, policy);
                    break;
                }
            }
        } catch (...) {
            leave();
            changed_.notify_all();
            throw;
        }
        leave();
        if (!admitted) {
            changed_.notify_all();
            throw std::runtime_error("Metal admission wait timed out");
        }
    }
    active_ += 1;
    usedBytes_ += bytes;
    changed_.notify_all();
    return Admission(this, bytes);
}

unsigned AdmissionGate::active() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return active_;
}
std::uint64_t AdmissionGate::usedBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return usedBytes_;
}
std::size_t AdmissionGate::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiters_.size();
}

AdmissionGate::Policy standardPolicy(MTL::Device* device) {
    const std::uint64_t cap = device->hasUnifiedMemory() && device->supportsFamily(MTL::GPUFamilyApple1)
                                  ? std::uint64_t{1} << 32
                                  : std::uint64_t{1} << 31;
    return {2u, std::min<std::uint64_t>(device->recommendedMaxWorkingSetSize() / 4, cap), 2000u};
}

std::shared_ptr<Context> sharedContext() {
    std::lock_guard<std::mutex> lock(contextMutex);
    if (contextFailed) throw std::runtime_error(contextFailure);
    if (!sharedSlot) {
        try {
            sharedSlot = std::make_shared<Context>(nullptr, nullptr);
        } catch (std::exception const& e) {
            contextFailed = true;
            contextFailure = e.what();
            throw;
        }
    }
    return sharedSlot;
}

void shutdown() {
    std::shared_ptr<Context> dropped;
    std::lock_guard<std::mutex> lock(contextMutex);
    dropped = std::move(sharedSlot);
    contextFailed = false;
    contextFailure.clear();
}

DeviceInfo deviceInfo() noexcept {
    DeviceInfo info;
    try {
        AutoreleaseScope pool;
        auto device = Owned<MTL::Device>::adopt(MTL::CreateSystemDefaultDevice());
        if (!device) return info;
        NS::String* name = device->name();
        info.name = utf16(name != nullptr && name->utf8String() != nullptr ? name->utf8String() : "");
        info.available = true;
    } catch (...) {
        info = DeviceInfo{};
    }
    return info;
}

}  // namespace raydrift::metal

// The Metal device side shared by the GPU renderers: the compiled context, buffers, the
// host allocator arena, the admission gate that keeps concurrent frames within a memory
// budget, the process-wide shared context, and the about panel's device name.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Metal/Metal.hpp"

namespace raydrift::metal {

// Pipeline index of each kernel, in pipeline order.
enum class Pass : std::int32_t {
    selectSource = 0,
    rotateSource,
    horizontalPrefix,
    horizontalWindow,
    horizontalAccurate,
    verticalSimple,
    verticalModulated,
    cropSource,
    colorSource,
    chromaticSource,
    compositeFrame,
    importHost,
    exportHost,
};
inline constexpr int kPassCount = 13;

// One owned reference to a Foundation object, released on every exit.
template <class T>
class Owned {
public:
    Owned() = default;
    // Takes over the reference a new…() call returned.
    static Owned adopt(T* object) { return Owned(object); }
    // Keeps an autoreleased object beyond its pool.
    static Owned retain(T* object) {
        if (object != nullptr) object->retain();
        return Owned(object);
    }
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Owned(Owned const&) = delete;
    Owned& operator=(Owned const&) = delete;
    ~Owned() { reset(); }
    void reset() {
        if (object_ != nullptr) std::exchange(object_, nullptr)->release();
    }
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit Owned(T* object) : object_(object) {}
    T* object_ = nullptr;
};

// An autorelease pool for one scope.
class AutoreleaseScope {
public:
    AutoreleaseScope() : pool_(NS::AutoreleasePool::alloc()->init()) {}
    ~AutoreleaseScope() { pool_->release(); }
    AutoreleaseScope(AutoreleaseScope const&) = delete;
    AutoreleaseScope& operator=(AutoreleaseScope const&) = delete;

private:
    NS::AutoreleasePool* pool_;
};

// A Metal error's description in UTF-8, or "unknown Metal error" without one.
std::string errorMessage(NS::Error* error);

// The device, its queue and the thirteen compiled pipelines. Compiling is slow: one per
// device, kept.
class Context {
public:
    // Null handles mean the system default device and a new queue. Throws on every failure.
    Context(MTL::Device* device, MTL::CommandQueue* queue);
    Context(Context const&) = delete;
    Context& operator=(Context const&) = delete;

    MTL::Device* device() const { return device_.get(); }
    MTL::CommandQueue* queue() const { return queue_.get(); }
    MTL::ComputePipelineState* pipeline(Pass pass) const {
        return pipelines_[static_cast<std::size_t>(pass)].get();
    }

    // An autoreleased buffer: a shared copy of `bytes` when given, else a new shared or
    // private (GPU-only) buffer.
    MTL::Buffer* buffer(std::size_t size, const void* bytes, bool shared) const;

private:
    Owned<MTL::Device> device_;
    Owned<MTL::CommandQueue> queue_;
    std::vector<Owned<MTL::ComputePipelineState>> pipelines_;
};

// The host's GPU allocator. Either both callbacks are set or neither.
using HostAllocate = void* (*)(void* user, std::size_t bytes);
using HostRelease = void (*)(void* user, void* buffer);

// Draws a frame's buffers from the host's allocator and gives every one back, in
// allocation order, when the frame ends.
class HostArena {
public:
    HostArena(void* user, HostAllocate allocate, HostRelease release)
        : user_(user), allocate_(allocate), release_(release) {}
    ~HostArena();
    HostArena(HostArena const&) = delete;
    HostArena& operator=(HostArena const&) = delete;

    MTL::Buffer* buffer(Context& context, std::size_t size);

private:
    void* user_;
    HostAllocate allocate_;
    HostRelease release_;
    std::vector<void*> allocations_;
};

// Admits at most `maxActive` GPU frames at once within a byte budget; later requests
// wait in arrival order, each at most `timeoutMs`.
class AdmissionGate {
public:
    struct Policy {
        unsigned maxActive;
        std::uint64_t budgetBytes;
        unsigned timeoutMs;
    };

    // One admitted frame; gives its slot and bytes back when destroyed.
    class Admission {
    public:
        Admission() = default;
        Admission(Admission&& other) noexcept
            : gate_(std::exchange(other.gate_, nullptr)), bytes_(other.bytes_) {}
        Admission& operator=(Admission&& other) noexcept;
        Admission(Admission const&) = delete;
        Admission& operator=(Admission const&) = delete;
        ~Admission() { release(); }
        void release() noexcept;

    private:
        friend class AdmissionGate;
        Admission(AdmissionGate* gate, std::uint64_t bytes) : gate_(gate), bytes_(bytes) {}
        AdmissionGate* gate_ = nullptr;
        std::uint64_t bytes_ = 0;
    };

    // Returns once admitted; throws "Metal frame exceeds memory budget" or "Metal
    // admission wait timed out".
    Admission acquire(std::uint64_t bytes, Policy policy);

    // For tests and diagnostics: frames admitted, their bytes, requests waiting.
    unsigned active() const;
    std::uint64_t usedBytes() const;
    std::size_t waiting() const;

private:
    bool admissible(void const* ticket, std::uint64_t bytes, Policy const& policy) const;
    void give(std::uint64_t bytes) noexcept;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<void const*> waiters_;
    unsigned active_ = 0;
    std::uint64_t usedBytes_ = 0;
};

extern AdmissionGate admissionGate;

// At most 2 frames, a quarter of the device's recommended working set capped at 4 GiB
// (unified Apple GPUs) or 2 GiB, a wait of at most 2000 ms.
AdmissionGate::Policy standardPolicy(MTL::Device* device);

// The process-wide context of the CPU-memory GPU path, created on first use; a creation
// failure is remembered and raised again until shutdown.
std::shared_ptr<Context> sharedContext();

struct DeviceInfo {
    std::u16string name;
    bool available = false;
};

// The default Metal device's name; never throws.
DeviceInfo deviceInfo() noexcept;

// Drops the shared context and forgets a remembered failure; called at global set-down.
void shutdown();

}  // namespace raydrift::metal

// Our declarations of the Metal operations the plug-in calls, named after Apple's C++
// binding. The classes are interfaces: on macOS the real binding takes this folder's place;
// here the software device (platform/metal/software) implements them. Objects returned by
// new…() hold one reference for the caller; the others are autoreleased.
#pragma once

#include <cstdint>

#include "Foundation/Foundation.hpp"

namespace MTL {

struct Size {
    NS::UInteger width;
    NS::UInteger height;
    NS::UInteger depth;
};

enum ResourceOptions : NS::UInteger {
    ResourceStorageModeShared = 0,
    ResourceStorageModePrivate = 2 << 4,
};

enum CommandBufferStatus : NS::UInteger {
    CommandBufferStatusNotEnqueued = 0,
    CommandBufferStatusEnqueued = 1,
    CommandBufferStatusCommitted = 2,
    CommandBufferStatusScheduled = 3,
    CommandBufferStatusCompleted = 4,
    CommandBufferStatusError = 5,
};

enum GPUFamily : NS::Integer {
    GPUFamilyApple1 = 1001,
    GPUFamilyMac2 = 2002,
};

enum LanguageVersion : NS::UInteger { LanguageVersion2_4 = (2 << 16) + 4 };

class Device;

class Buffer : public NS::Object {
public:
    // CPU-visible bytes; a private (GPU-only) buffer has none.
    virtual void* contents() = 0;
    virtual NS::UInteger length() const = 0;
    virtual Device* device() const = 0;
};

class Function : public NS::Object {
public:
    virtual NS::String* name() const = 0;
};

class Library : public NS::Object {
public:
    // A new function, or null when the library has no entry point of that name.
    virtual Function* newFunction(NS::String* name) = 0;
};

class ComputePipelineState : public NS::Object {
public:
    virtual NS::UInteger threadExecutionWidth() const = 0;
    virtual NS::UInteger maxTotalThreadsPerThreadgroup() const = 0;
};

class CompileOptions : public NS::Object {
public:
    static CompileOptions* alloc();
    CompileOptions* init();

    void setPreprocessorMacros(NS::Dictionary* macros);
    NS::Dictionary* preprocessorMacros() const;
    void setLanguageVersion(LanguageVersion version);
    LanguageVersion languageVersion() const;
    void setFastMathEnabled(bool enabled);
    bool fastMathEnabled() const;

    CompileOptions();
    ~CompileOptions() override;

private:
    NS::Dictionary* macros_ = nullptr;
    LanguageVersion version_ = LanguageVersion2_4;
    bool fastMath_ = true;
};

class ComputeCommandEncoder : public NS::Object {
public:
    virtual void setComputePipelineState(ComputePipelineState* state) = 0;
    virtual void setBuffer(Buffer* buffer, NS::UInteger offset, NS::UInteger index) = 0;
    virtual void setBytes(const void* bytes, NS::UInteger length, NS::UInteger index) = 0;
    virtual void dispatchThreads(Size threadsPerGrid, Size threadsPerThreadgroup) = 0;
    virtual void endEncoding() = 0;
};

class CommandBuffer : public NS::Object {
public:
    virtual void setLabel(NS::String* label) = 0;
    // An autoreleased encoder, or null.
    virtual ComputeCommandEncoder* computeCommandEncoder() = 0;
    virtual void commit() = 0;
    virtual void waitUntilCompleted() = 0;
    virtual CommandBufferStatus status() const = 0;
    virtual NS::Error* error() const = 0;
};

class CommandQueue : public NS::Object {
public:
    // An autoreleased command buffer, or null.
    virtual CommandBuffer* commandBuffer() = 0;
    virtual Device* device() const = 0;
};

class Device : public NS::Object {
public:
    virtual NS::String* name() const = 0;
    virtual CommandQueue* newCommandQueue() = 0;
    virtual Buffer* newBuffer(NS::UInteger length, ResourceOptions options) = 0;
    virtual Buffer* newBuffer(const void* bytes, NS::UInteger length, ResourceOptions options) = 0;
    virtual Library* newLibrary(NS::String* source, CompileOptions* options, NS::Error** error) = 0;
    virtual ComputePipelineState* newComputePipelineState(Function* function, NS::Error** error) = 0;
    virtual NS::UInteger maxBufferLength() const = 0;
    virtual std::uint64_t recommendedMaxWorkingSetSize() const = 0;
    virtual bool hasUnifiedMemory() const = 0;
    virtual bool supportsFamily(GPUFamily family) const = 0;
};

// The system's default device, with one reference for the caller; null when the machine
// has none (always, on Linux, unless a test installed the software device).
Device* CreateSystemDefaultDevice();

}  // namespace MTL

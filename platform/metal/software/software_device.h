// A Metal device in software: it runs the C++ build of the kernel source. Compiling looks
// the entry points up in that build; a dispatch runs its grid on worker threads in no
// fixed order; a private buffer has no CPU-visible contents; every failure the plug-in
// must survive can be injected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Metal/Metal.hpp"

namespace rdmtl {

// What one kernel invocation sees: the storage bound at each buffer index (inline bytes
// included), already offset.
struct KernelArguments {
    void* buffers[8];
};
using KernelFunction = void (*)(KernelArguments const& arguments, unsigned x, unsigned y);
struct KernelEntry {
    const char* name;
    KernelFunction function;
};
struct KernelLibrary {
    const KernelEntry* entries;
    std::size_t count;
    int cpuFma;  // the SM_CPU_FMA the C++ build was compiled with
};
// Provided by the C++ build of the kernel source.
KernelLibrary kernelLibrary();

// Faults and device values. A default-constructed record is a healthy device.
struct Faults {
    std::string compileError;        // newLibrary fails with this description
    std::string missingFunction;     // newFunction of this name answers null
    std::string pipelineError;       // newComputePipelineState fails with this description
    bool pipelineErrorWithoutObject = false;
    long failAllocation = 0;         // the n-th newBuffer from now answers null (1 = the next)
    bool noQueue = false;            // newCommandQueue answers null
    bool noCommandBuffer = false;    // commandBuffer answers null
    long failEncoder = 0;            // the n-th computeCommandEncoder from now answers null
    std::string commandError;        // command buffers end with this error
    bool commandErrorWithoutObject = false;  // … or with an error status and no error object
    bool foreignException = false;   // commit raises an exception that is no std::exception,
                                     // as an Objective-C exception would
    std::uint64_t recommendedWorkingSet = std::uint64_t{8} << 30;
    NS::UInteger maxBufferLength = NS::UInteger{1} << 32;
    bool unifiedMemory = true;
    bool appleFamily = true;
};

// A new software device (one reference for the caller).
MTL::Device* newSoftwareDevice(const char* name = "Raydrift Software GPU");

// The faults every software device obeys from now on; the allocation, encoder and
// command-buffer counters restart.
void setFaults(Faults const& faults);
inline void clearFaults() { setFaults(Faults{}); }

// CPU reads of private buffers attempted so far, and dispatches run.
std::int64_t privateReads();
std::int64_t dispatches();
// The most command buffers that ran at once since the faults were last set.
int mostCommandBuffersAtOnce();

}  // namespace rdmtl

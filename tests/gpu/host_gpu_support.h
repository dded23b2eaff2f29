// The hosts' GPU paths under test: the software Metal device as the system's default,
// native GPU rendering switched back on around each test, and the check that a host got
// back every suite, exclusive access, allocation and GPU frame the plug-in took.
#pragma once

#include <string>

#include "gpu/native_gpu.h"
#include "gpu_test_support.h"
#include "hostsim.h"

// The plug-in's second entry, the second host's GPU filter.
extern "C" prSuiteError xGPUFilterEntry(csSDK_uint32, csSDK_int32*, prBool, piSuitesPtr, PrGPUFilter*,
                                        PrGPUFilterInfo*);

namespace hosttest {

class HostGpuTest : public raydrift::metal::SoftwareGpuTest {
protected:
    void SetUp() override {
        raydrift::nativegpu::nativeDisabled.store(false);
        SoftwareGpuTest::SetUp();
    }
    void TearDown() override {
        raydrift::nativegpu::nativeDisabled.store(false);
        SoftwareGpuTest::TearDown();
    }
    static void expectNothingHeld(hostsim::Host const& host, std::string const& what) {
        const hostsim::GpuCounts counts = host.gpuCounts();
        EXPECT_EQ(host.heldSuites(), 0) << what;
        EXPECT_EQ(counts.deviceAllocations, 0) << what;
        EXPECT_EQ(counts.hostAllocations, 0) << what;
        EXPECT_EQ(counts.exclusiveHeld, 0) << what;
        EXPECT_EQ(counts.gpuFrames, 0) << what;
    }
};

}  // namespace hosttest

// The software Metal device installed as the system default for a test, and the checks
// every GPU test shares: no Foundation object outlives the test, none is over-released.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "gpu/metal_context.h"
#include "image/image.h"
#include "metal_seam.h"
#include "software/software_device.h"

namespace raydrift::metal {

class SoftwareGpuTest : public ::testing::Test {
protected:
    void SetUp() override {
        rdmtl::clearFaults();
        shutdown();
        liveBefore_ = rdmtl::liveObjects();
        overBefore_ = rdmtl::overReleases();
        orphansBefore_ = rdmtl::orphanAutoreleases();
        privateBefore_ = rdmtl::privateReads();
        device_ = rdmtl::newSoftwareDevice();
        rdmtl::installSystemDefaultDevice(device_);
    }
    void TearDown() override {
        rdmtl::installSystemDefaultDevice(nullptr);
        device_->release();
        shutdown();
        rdmtl::clearFaults();
        EXPECT_EQ(rdmtl::liveObjects(), liveBefore_) << "Foundation objects leaked";
        EXPECT_EQ(rdmtl::overReleases(), overBefore_);
        EXPECT_EQ(rdmtl::orphanAutoreleases(), orphansBefore_);
        EXPECT_EQ(rdmtl::privateReads(), privateBefore_) << "a private buffer was read by the CPU";
    }
    MTL::Device* device_ = nullptr;

private:
    std::int64_t liveBefore_ = 0, overBefore_ = 0, orphansBefore_ = 0, privateBefore_ = 0;
};

// How far a GPU frame is from the CPU's: pixels that agree bit for bit, and the largest
// channel error measured against the bar 2^-16 · max(|cpu|, 1).
struct Agreement {
    double identicalShare = 0.0;
    double worst = 0.0;  // in units of the bar: ≤ 1 passes
    bool sameSize = false;
};

inline Agreement agreement(image::Image const& gpu, image::Image const& cpu) {
    Agreement a;
    a.sameSize = gpu.width == cpu.width && gpu.height == cpu.height && gpu.pixels.size() == cpu.pixels.size();
    if (!a.sameSize || cpu.pixels.empty()) return a;
    std::size_t identical = 0;
    for (std::size_t i = 0; i < cpu.pixels.size(); ++i) {
        if (std::memcmp(&gpu.pixels[i], &cpu.pixels[i], sizeof(image::Pixel)) == 0) {
            ++identical;
            continue;
        }
        const float g[4] = {gpu.pixels[i].r, gpu.pixels[i].g, gpu.pixels[i].b, gpu.pixels[i].a};
        const float c[4] = {cpu.pixels[i].r, cpu.pixels[i].g, cpu.pixels[i].b, cpu.pixels[i].a};
        for (int k = 0; k < 4; ++k) {
            if (g[k] == c[k] || (std::isnan(g[k]) && std::isnan(c[k]))) continue;
            const double bar = std::ldexp(std::fmax(std::fabs(static_cast<double>(c[k])), 1.0), -16);
            const double error = std::fabs(static_cast<double>(g[k]) - static_cast<double>(c[k]));
            a.worst = std::fmax(a.worst, std::isnan(error) ? 1e30 : error / bar);
        }
    }
    a.identicalShare = static_cast<double>(identical) / static_cast<double>(cpu.pixels.size());
    return a;
}

}  // namespace raydrift::metal

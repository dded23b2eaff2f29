// Threaded rendering: several frames in flight at once give the same bits as alone.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host_test_support.h"

namespace hosttest {
namespace {

using hostsim::FrameRequest;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::World;

struct Job {
    Host* host;
    World input;
    FrameRequest request;
};

TEST(HostConcurrency, ThreadedFramesMatchSerialFrames) {
    Host ae(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    Host pr(hostsim::defaultPluginPath(), HostKind::Premiere);
    const int formats[] = {kArgb, kAe16, kAe32, kBgra, kBGra};
    std::vector<Job> jobs;
    for (int i = 0; i < 100; ++i) {
        const int format = formats[i % 5];
        Host& host = isStraight(format) ? pr : ae;
        FrameRequest request;
        request.params = host.defaults();
        request.currentTime = i;
        setMenu(request.params, raydrift::kParamOutput, 1 + i % 2);
        setMenu(request.params, raydrift::kParamView, 1 + (i / 2) % 4);
        setMenu(request.params, raydrift::kParamBlendMode, 1 + i % 14);
        setFloat(request.params, raydrift::kParamThreshold, 10.0 + i % 7 * 5.0);
        setFloat(request.params, raydrift::kParamLength, 50.0 + 37.0 * (i % 9));
        setFloat(request.params, raydrift::kParamWidth, i % 4 * 40.0);
        setFloat(request.params, raydrift::kParamDiffraction, i % 3 == 0 ? 80.0 : 0.0);
        setCheckbox(request.params, raydrift::kParamJitterLength, i % 5 == 1);
        request.params[raydrift::kParamDirection].u.ad.value = (i * 17 % 360) << 16;
        jobs.push_back({&host, testWorld(48 + i % 17, 32 + i % 11, format, 100 + i), request});
    }
    std::vector<World> serial;
    for (Job const& job : jobs) {
        World out = blankLike(job.input);
        ASSERT_EQ(job.host->render(job.input, out, job.request), PF_Err_NONE);
        serial.push_back(std::move(out));
    }

    std::vector<World> threaded;
    for (Job const& job : jobs) threaded.push_back(blankLike(job.input));
    std::atomic<int> next{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = next++; i < static_cast<int>(jobs.size()); i = next++)
                if (jobs[static_cast<std::size_t>(i)].host->render(jobs[static_cast<std::size_t>(i)].input,
                                                                   threaded[static_cast<std::size_t>(i)],
                                                                   jobs[static_cast<std::size_t>(i)].request) !=
                    PF_Err_NONE)
                    ++failures;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (std::size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(differingPixels(threaded[i], serial[i]), 0) << "frame " << i;
}

}  // namespace
}  // namespace hosttest

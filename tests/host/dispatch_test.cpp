// Registration, every command of the dispatch table, global set-up, dynamic flags and
// the exception boundary, through the loaded plug-in.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "AE_EffectUI.h"
#include "host/entry.h"
#include "host/plugin_info.h"
#include "host_test_support.h"
#include "ui/about.h"

namespace hosttest {
namespace {

using hostsim::FrameRequest;
using hostsim::Host;
using hostsim::HostKind;

TEST(HostDispatch, RegistrationAndGlobalSetup) {
    Host ae(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    hostsim::Registration const& reg = ae.registration();
    EXPECT_EQ(reg.name, "Raydrift");
    EXPECT_EQ(reg.matchName, "TESSALY Raydrift");
    EXPECT_EQ(reg.category, "Tessaly Plugins");
    EXPECT_EQ(reg.entryPoint, "EffectMain");
    EXPECT_EQ(reg.kind, PF_FourCC('e', 'F', 'K', 'T'));
    EXPECT_EQ(reg.apiMajor, 13);
    EXPECT_EQ(reg.apiMinor, 29);
    EXPECT_EQ(reg.reservedInfo, 8);
    EXPECT_EQ(reg.supportUrl, raydrift::kSupportUrl);

    EXPECT_EQ(ae.version(), 525825u);
    EXPECT_EQ(ae.outFlags(), PF_OutFlag_NON_PARAM_VARY | PF_OutFlag_CUSTOM_UI | PF_OutFlag_DEEP_COLOR_AWARE);
    EXPECT_EQ(ae.outFlags2(), PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS | PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG |
                                  PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE |
                                  PF_OutFlag2_CUSTOM_UI_ASYNC_MANAGER | PF_OutFlag2_SUPPORTS_GPU_RENDER_F32 |
                                  PF_OutFlag2_SUPPORTS_THREADED_RENDERING);
    EXPECT_TRUE(ae.pixelFormats().empty());

    Host pr(hostsim::defaultPluginPath(), HostKind::Premiere);
    EXPECT_EQ(pr.version(), 525825u);
    EXPECT_EQ(pr.outFlags(), ae.outFlags());
    EXPECT_EQ(pr.outFlags2(), PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG | PF_OutFlag2_FLOAT_COLOR_AWARE |
                                  PF_OutFlag2_SUPPORTS_THREADED_RENDERING);
    EXPECT_EQ(pr.pixelFormats(), (std::vector<int>{kBGra, kBgra}));

    // Without the pixel-format suite Premiere's set-up fails with the missing-suite code
    // and tells the user.
    pr.hideSuite("PF Pixel Format Suite");
    PF_OutData out;
    EXPECT_EQ(pr.globalSetup(out), 13);
    EXPECT_TRUE(out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    EXPECT_STREQ(out.return_msg, "Not able to acquire AEFX Suite.");
    pr.clearHiddenSuites();
    EXPECT_EQ(pr.globalSetup(out), PF_Err_NONE);
}

TEST(HostDispatch, MissingPluginIsAOneLineError) {
    try {
        Host host("/nonexistent/raydrift_plugin.so", HostKind::AfterEffects);
        FAIL() << "loaded a plug-in that does not exist";
    } catch (std::runtime_error const& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/raydrift_plugin.so"), std::string::npos);
    }
}

// Global set-up makes the 4-byte global handle; global set-down disposes of it.
TEST(HostDispatch, GlobalHandleLivesFromSetupToSetdown) {
    // Counted while a first host holds its own handle.
    const int before = Host(hostsim::defaultPluginPath(), HostKind::AfterEffects).liveHandles() - 1;
    {
        Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
        EXPECT_EQ(host.liveHandles(), before + 1);
    }
    Host probe(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    EXPECT_EQ(probe.liveHandles(), before + 1);  // only the probe's own
}

TEST(HostDispatch, AboutMessage) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    EXPECT_EQ(host.aboutMessage(), "Raydrift v" RAYDRIFT_PROJECT_VERSION "\rTessaly");
    host.hideSuite("PF ANSI Suite");
    EXPECT_EQ(host.command(PF_Cmd_ABOUT), PF_Err_BAD_CALLBACK_PARAM);
}

// Every command number the host can send is answered without harm; the ones outside
// the table do nothing.
TEST(HostDispatch, EveryCommandIsAnswered) {
    for (HostKind kind : {HostKind::AfterEffects, HostKind::Premiere}) {
        Host host(hostsim::defaultPluginPath(), kind);
        for (PF_Cmd cmd = 0; cmd < 40; ++cmd) {
            if (cmd == PF_Cmd_GLOBAL_SETDOWN || cmd == PF_Cmd_RENDER || cmd == PF_Cmd_SMART_PRE_RENDER ||
                cmd == PF_Cmd_SMART_RENDER || cmd == PF_Cmd_SMART_RENDER_GPU || cmd == PF_Cmd_PARAMS_SETUP ||
                cmd == PF_Cmd_GLOBAL_SETUP)
                continue;  // these need their own data; exercised elsewhere
            SCOPED_TRACE("command " + std::to_string(cmd));
            PF_OutData out;
            // GPU device set-up without its records is a bad call; everything else is answered.
            EXPECT_EQ(host.command(cmd, nullptr, nullptr, &out),
                      cmd == PF_Cmd_GPU_DEVICE_SETUP ? PF_Err_BAD_CALLBACK_PARAM : PF_Err_NONE);
            // The about command writes its message; the dynamic-flags query answers in
            // the flags; every other command leaves the out data as the host gave it.
            if (cmd == PF_Cmd_ABOUT) {
                EXPECT_EQ(std::string(out.return_msg), "Raydrift v" RAYDRIFT_PROJECT_VERSION "\rTessaly");
            } else if (cmd != PF_Cmd_QUERY_DYNAMIC_FLAGS) {
                PF_OutData untouched;
                std::memset(&untouched, 0, sizeof untouched);
                EXPECT_EQ(std::memcmp(&out, &untouched, sizeof out), 0);
            }
        }
        // Smart commands without their extra are refused, not crashed on.
        EXPECT_EQ(host.command(PF_Cmd_SMART_PRE_RENDER), PF_Err_BAD_CALLBACK_PARAM);
        EXPECT_EQ(host.command(PF_Cmd_SMART_RENDER), PF_Err_BAD_CALLBACK_PARAM);
        EXPECT_EQ(host.command(PF_Cmd_SMART_RENDER_GPU), PF_Err_BAD_CALLBACK_PARAM);
        EXPECT_EQ(host.command(PF_Cmd_RENDER), PF_Err_BAD_CALLBACK_PARAM);
        EXPECT_EQ(host.command(1000), PF_Err_NONE);
        EXPECT_EQ(host.command(-1), PF_Err_NONE);
    }
}

TEST(HostDispatch, UserChangedParamAndEvents) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    PF_UserChangedParamExtra changed{raydrift::kParamThreshold};
    EXPECT_EQ(host.command(PF_Cmd_USER_CHANGED_PARAM, &changed), PF_Err_NONE);
    EXPECT_EQ(host.command(PF_Cmd_USER_CHANGED_PARAM, nullptr), PF_Err_NONE);
    // The info button opens the support page; 512 when no handler starts. (The plug-in
    // linked in, so that the test's launcher is the one it calls.)
    static int launches = 0;
    raydrift::ui::setUrlLauncher([](const char*) { return ++launches == 1; });
    Host linked(hostsim::EntryPoints{PluginDataEntryFunction2, EffectMain, nullptr}, HostKind::AfterEffects);
    changed.param_index = raydrift::kParamInfoButton;
    EXPECT_EQ(linked.command(PF_Cmd_USER_CHANGED_PARAM, &changed), PF_Err_NONE);
    EXPECT_EQ(linked.command(PF_Cmd_USER_CHANGED_PARAM, &changed), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(launches, 2);
    raydrift::ui::setUrlLauncher(nullptr);

    for (A_long type : {PF_Event_DRAW, PF_Event_DO_CLICK, PF_Event_DRAG, PF_Event_IDLE, PF_Event_ADJUST_CURSOR})
        for (A_long index : {raydrift::kParamAboutPanel, raydrift::kParamGpuHardware, raydrift::kParamHistogram}) {
            PF_EventExtra event;
            std::memset(&event, 0, sizeof event);
            event.e_type = type;
            event.effect_win.index = index;
            event.effect_win.area = PF_EA_CONTROL;
            EXPECT_EQ(host.command(PF_Cmd_EVENT, &event), PF_Err_NONE);
        }
    EXPECT_EQ(host.command(PF_Cmd_EVENT, nullptr), PF_Err_NONE);

    PF_GPUDeviceSetupInput setupIn{PF_GPU_Framework_CUDA, 0};
    PF_GPUDeviceSetupOutput setupOut{reinterpret_cast<void*>(1)};
    PF_GPUDeviceSetupExtra setup{&setupIn, &setupOut};
    EXPECT_EQ(host.command(PF_Cmd_GPU_DEVICE_SETUP, &setup), PF_Err_NONE);
    EXPECT_EQ(setupOut.gpu_data, nullptr);
    PF_GPUDeviceSetdownInput setdownIn{nullptr, PF_GPU_Framework_CUDA, 0};
    PF_GPUDeviceSetdownExtra setdown{&setdownIn};
    EXPECT_EQ(host.command(PF_Cmd_GPU_DEVICE_SETDOWN, &setdown), PF_Err_NONE);
}

// Only Jitter makes frames change over time without a parameter changing.
TEST(HostDispatch, DynamicFlagsFollowTheJitterSwitches) {
    Host ae(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    FrameRequest request;
    request.params = ae.defaults();
    PF_OutData out;
    for (int lengthOn = 0; lengthOn < 2; ++lengthOn)
        for (int widthOn = 0; widthOn < 2; ++widthOn) {
            setCheckbox(request.params, raydrift::kParamJitterLength, lengthOn);
            setCheckbox(request.params, raydrift::kParamJitterWidth, widthOn);
            ASSERT_EQ(ae.command(PF_Cmd_QUERY_DYNAMIC_FLAGS, nullptr, &request, &out), PF_Err_NONE);
            EXPECT_EQ((out.out_flags & PF_OutFlag_NON_PARAM_VARY) != 0, lengthOn || widthOn);
        }
    Host pr(hostsim::defaultPluginPath(), HostKind::Premiere);
    request.params = pr.defaults();
    ASSERT_EQ(pr.command(PF_Cmd_QUERY_DYNAMIC_FLAGS, nullptr, &request, &out), PF_Err_NONE);
    EXPECT_TRUE(out.out_flags & PF_OutFlag_NON_PARAM_VARY);
}

// Whatever is thrown below EffectMain comes back as a host error code.
TEST(HostDispatch, ExceptionBoundary) {
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    const hostsim::World input = testWorld(8, 8, kArgb, 1);
    hostsim::World output = blankLike(input);
    FrameRequest request;
    request.params = host.defaults();
    request.throwFromCheckout = hostsim::HostThrow::Int;
    request.thrownCode = 1234;
    EXPECT_EQ(host.render(input, output, request), 1234);
    EXPECT_EQ(host.command(PF_Cmd_QUERY_DYNAMIC_FLAGS, nullptr, &request), 1234);
    request.throwFromCheckout = hostsim::HostThrow::BadAlloc;
    EXPECT_EQ(host.render(input, output, request), PF_Err_OUT_OF_MEMORY);
    request.throwFromCheckout = hostsim::HostThrow::Other;
    EXPECT_EQ(host.render(input, output, request), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_EQ(differingPixels(output, blankLike(input)), 0);

    // A missing world suite at render: reported to the user and answered 13.
    request.throwFromCheckout = hostsim::HostThrow::None;
    host.hideSuite("PF World Suite");
    hostsim::SmartTrace trace;
    EXPECT_EQ(host.render(input, output, request, &trace), 13);
    EXPECT_EQ(trace.renderErr, 13);
    host.clearHiddenSuites();
    EXPECT_EQ(host.render(input, output, request), PF_Err_NONE);

    // Premiere's plain render asks for the pixel-format suite.
    Host pr(hostsim::defaultPluginPath(), HostKind::Premiere);
    const hostsim::World bgra = testWorld(8, 8, kBgra, 1);
    hostsim::World bgraOut = blankLike(bgra);
    FrameRequest prRequest;
    prRequest.params = pr.defaults();
    pr.hideSuite("PF Pixel Format Suite");
    EXPECT_EQ(pr.render(bgra, bgraOut, prRequest), 13);
    EXPECT_EQ(differingPixels(bgraOut, blankLike(bgra)), 0);
}

// The property list carries the same version and flag words global set-up reports.
TEST(HostDispatch, PropertyListMatchesGlobalSetup) {
    std::ifstream file(RAYDRIFT_PIPL_PATH);
    ASSERT_TRUE(file) << RAYDRIFT_PIPL_PATH;
    std::stringstream text;
    text << file.rdbuf();
    const std::string pipl = text.str();
    auto word = [&pipl](const char* property) -> long long {
        const std::regex re(std::string(property) + R"(\s*\{\s*(0x[0-9A-Fa-f]+|\d+))");
        std::smatch m;
        if (!std::regex_search(pipl, m, re)) return -1;
        return std::stoll(m[1].str(), nullptr, 0);
    };
    Host host(hostsim::defaultPluginPath(), HostKind::AfterEffects);
    EXPECT_EQ(word("AE_Effect_Version"), static_cast<long long>(host.version()));
    EXPECT_EQ(word("AE_Effect_Global_OutFlags"), host.outFlags());
    EXPECT_EQ(word("AE_Effect_Global_OutFlags_2"), host.outFlags2());
    EXPECT_EQ(word("AE_Effect_Info_Flags"), 0);
    EXPECT_EQ(word("AE_Reserved_Info"), 0);
    auto quoted = [](const char* name) {
        std::string q(1, '"');
        q.append(name);
        q.push_back('"');
        return q;
    };
    EXPECT_NE(pipl.find(quoted(raydrift::kPluginMatchName)), std::string::npos);
    EXPECT_NE(pipl.find(quoted(raydrift::kSupportUrl)), std::string::npos);
    EXPECT_TRUE(std::regex_search(pipl, std::regex(R"(AE_Effect_Spec_Version\s*\{\s*13,\s*29)")));
}

// The library shows the host its three entry points and nothing else.
TEST(HostDispatch, ExportsExactlyTheEntryPoints) {
    const std::string command = "nm -D --defined-only '" + hostsim::defaultPluginPath() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream fields(line);
        std::string address, kind, name;
        if (fields >> address >> kind >> name) names.insert(name);
        else if (!address.empty() && !kind.empty()) names.insert(kind);
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(names, (std::set<std::string>{"EffectMain", "PluginDataEntryFunction2", "xGPUFilterEntry"}));
}

// Premiere's GPU filter is offered, but without a Metal device (none on Linux) every
// instance is declined, so Premiere renders through EffectMain; nothing stays acquired.
TEST(HostDispatch, GpuFilterDeclinesWithoutAMetalDevice) {
    Host host(hostsim::defaultPluginPath(), HostKind::Premiere);
    ASSERT_NE(host.entryPoints().gpuFilter, nullptr);
    EXPECT_EQ(host.gpuFilterStartup(), suiteError_NoError);
    EXPECT_EQ(host.createGpuInstance(), suiteError_NotImplemented);
    EXPECT_FALSE(host.gpuInstance());
    EXPECT_EQ(host.heldSuites(), 0);
    EXPECT_EQ(host.gpuFilterShutdown(), suiteError_NoError);
}

}  // namespace
}  // namespace hosttest

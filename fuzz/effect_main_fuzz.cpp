// EffectMain driven by the simulated host with arbitrary command sequences: renders of
// any size, pixel format, row stride, time, downsampling, requested rectangle, layer
// placement and parameter values (any bits in any render parameter), interleaved with
// the other commands, hidden suites, aborts and throwing host callbacks. The plug-in
// answers every command with one of its error codes, writes only inside the output
// world, and leaves no frame, worker or host handle behind.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "AE_Effect.h"
#include "AE_AdvEffectSuites.h"
#include "AE_EffectCBSuites.h"
#include "AE_EffectSuites.h"
#include "AE_EffectUI.h"
#include "PrSDKPixelFormat.h"
#include "host/entry.h"
#include "host/frame_memory.h"
#include "hostsim.h"
#include "image/parallel.h"
#include "settings/param_indices.h"

namespace {

using hostsim::FrameRequest;
using hostsim::Host;
using hostsim::HostKind;
using hostsim::World;

constexpr int kFormats[] = {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128,
                            PrPixelFormat_BGRA_4444_8u, PrPixelFormat_BGRA_4444_32f};

// What the suite helpers throw when the host lacks a suite.
constexpr PF_Err kMissingSuite = 13;

struct Hosts {
    std::unique_ptr<Host> ae;
    std::unique_ptr<Host> pr;
    Hosts() {
        const hostsim::EntryPoints entry{PluginDataEntryFunction2, EffectMain, nullptr};
        ae = std::make_unique<Host>(entry, HostKind::AfterEffects);
        pr = std::make_unique<Host>(entry, HostKind::Premiere);
        // Frames stay small here; a frame the budget refuses is answered 4 before any
        // of its images exists, which libFuzzer's allocation limit would otherwise catch.
        raydrift::frame_memory::setLimit(std::uint64_t{16} << 20);
    }
};

Hosts& hosts() {
    static Hosts* h = new Hosts();
    return *h;
}

bool knownError(PF_Err err, PF_Err abortCode) {
    return err == PF_Err_NONE || err == PF_Err_OUT_OF_MEMORY || err == PF_Err_INTERNAL_STRUCT_DAMAGED ||
           err == PF_Err_UNRECOGNIZED_PARAM_TYPE || err == PF_Err_BAD_CALLBACK_PARAM ||
           err == PF_Err_INVALID_INDEX || err == kMissingSuite || (abortCode != PF_Err_NONE && err == abortCode);
}

// Any value in the render parameters, typed as the host holds it.
void fuzzParams(FuzzedDataProvider& in, Host const& host, std::vector<PF_ParamDef>& params) {
    const int edits = in.ConsumeIntegralInRange<int>(0, 8);
    for (int e = 0; e < edits; ++e) {
        const std::size_t pick = in.ConsumeIntegralInRange<std::size_t>(0, raydrift::kRenderParameterIndices.size() - 1);
        PF_ParamDef& def = params[static_cast<std::size_t>(raydrift::kRenderParameterIndices[pick])];
        switch (host.params()[static_cast<std::size_t>(raydrift::kRenderParameterIndices[pick])].param_type) {
        case PF_Param_CHECKBOX: def.u.bd.value = in.ConsumeIntegral<A_long>(); break;
        case PF_Param_POPUP: def.u.pd.value = in.ConsumeIntegral<A_long>(); break;
        case PF_Param_ANGLE: def.u.ad.value = in.ConsumeIntegral<A_long>(); break;
        case PF_Param_COLOR:
            def.u.cd.value.red = in.ConsumeIntegral<A_u_char>();
            def.u.cd.value.green = in.ConsumeIntegral<A_u_char>();
            def.u.cd.value.blue = in.ConsumeIntegral<A_u_char>();
            break;
        case PF_Param_FLOAT_SLIDER: {
            if (in.ConsumeBool()) {
                def.u.fs_d.value = in.ConsumeFloatingPointInRange<double>(-10.0, 1100.0);
            } else {
                const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
                std::memcpy(&def.u.fs_d.value, &bits, sizeof bits);
            }
            break;
        }
        default: break;
        }
    }
}

void fillWorld(FuzzedDataProvider& in, World& world) {
    const int bytes = World::pixelBytes(world.format());
    for (int y = 0; y < world.height(); ++y) {
        std::uint8_t* row = world.row(y);
        for (int i = 0; i < world.width() * bytes; ++i) row[i] = in.ConsumeIntegral<std::uint8_t>();
    }
}

void render(FuzzedDataProvider& in, Host& host) {
    const bool premiere = host.kind() == HostKind::Premiere;
    const int format = premiere ? kFormats[3 + in.ConsumeIntegralInRange<int>(0, 1)]
                                : kFormats[in.ConsumeIntegralInRange<int>(0, 2)];
    const int w = in.ConsumeIntegralInRange<int>(0, 24);
    const int h = in.ConsumeIntegralInRange<int>(0, 24);
    const int bytes = World::pixelBytes(format);
    const int pad = in.ConsumeIntegralInRange<int>(0, 3) * bytes;
    const int rowbytes = in.ConsumeBool() ? 0 : (in.ConsumeBool() ? -(w * bytes + pad) : w * bytes + pad);
    World input(w, h, format, rowbytes);
    fillWorld(in, input);

    FrameRequest request;
    request.params = host.defaults();
    fuzzParams(in, host, request.params);
    request.currentTime = in.ConsumeIntegral<A_long>();
    request.timeStep = in.ConsumeIntegral<A_long>();
    request.timeScale = in.ConsumeIntegral<A_u_long>();
    if (in.ConsumeBool()) {
        request.downsampleX = {in.ConsumeIntegralInRange<A_long>(-2, 8), in.ConsumeIntegralInRange<A_u_long>(0, 8)};
        request.downsampleY = {in.ConsumeIntegralInRange<A_long>(-2, 8), in.ConsumeIntegralInRange<A_u_long>(0, 8)};
    }
    if (in.ConsumeBool()) {
        request.inputOriginX = in.ConsumeIntegral<A_long>();
        request.inputOriginY = in.ConsumeIntegral<A_long>();
    }
    if (in.ConsumeBool()) {
        request.refWidth = in.ConsumeIntegral<A_long>();
        request.refHeight = in.ConsumeIntegral<A_long>();
    }
    int outW = w, outH = h;
    if (in.ConsumeBool()) {
        PF_LRect r;
        r.left = in.ConsumeIntegral<A_long>();
        r.top = in.ConsumeIntegral<A_long>();
        r.right = in.ConsumeIntegral<A_long>();
        r.bottom = in.ConsumeIntegral<A_long>();
        if (in.ConsumeBool()) {  // near the layer, where rectangles overlap
            r = {in.ConsumeIntegralInRange<A_long>(-8, 30), in.ConsumeIntegralInRange<A_long>(-8, 30),
                 in.ConsumeIntegralInRange<A_long>(-8, 40), in.ConsumeIntegralInRange<A_long>(-8, 40)};
        }
        request.requestRect = r;
        // The output the host would make for what the plug-in will report.
        const long long left = std::max<long long>(r.left, std::min<long long>(request.inputOriginX, 0));
        const long long right = std::min<long long>(r.right, std::max<long long>(static_cast<long long>(request.inputOriginX) + w, w));
        const long long top = std::max<long long>(r.top, std::min<long long>(request.inputOriginY, 0));
        const long long bottom = std::min<long long>(r.bottom, std::max<long long>(static_cast<long long>(request.inputOriginY) + h, h));
        outW = right > left && right - left <= 64 ? static_cast<int>(right - left) : 0;
        outH = bottom > top && bottom - top <= 64 ? static_cast<int>(bottom - top) : 0;
    }
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        outW = in.ConsumeIntegralInRange<int>(0, 40);
        outH = in.ConsumeIntegralInRange<int>(0, 40);
    }
    request.plainRender = !premiere && in.ConsumeIntegralInRange<int>(0, 3) == 0;
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) request.abortCode = in.ConsumeIntegral<PF_Err>();
    switch (in.ConsumeIntegralInRange<int>(0, 31)) {
    case 0: request.throwFromCheckout = hostsim::HostThrow::Int; request.thrownCode = in.ConsumeIntegral<PF_Err>(); break;
    case 1: request.throwFromCheckout = hostsim::HostThrow::BadAlloc; break;
    case 2: request.throwFromCheckout = hostsim::HostThrow::Other; break;
    default: break;
    }
    const int outFormat = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? kFormats[in.ConsumeIntegralInRange<int>(0, 4)]
                                                                     : format;
    const int outBytes = World::pixelBytes(outFormat);
    const int outPad = in.ConsumeIntegralInRange<int>(0, 2) * outBytes;
    World output(outW, outH, outFormat, in.ConsumeBool() ? 0 : outW * outBytes + outPad);
    if (in.ConsumeIntegralInRange<int>(0, 31) == 0) output.setFormat(in.ConsumeIntegral<int>());
    if (in.ConsumeIntegralInRange<int>(0, 31) == 0) input.setFormat(in.ConsumeIntegral<int>());

    const PF_Err err = host.render(input, output, request);
    if (std::getenv("RAYDRIFT_FUZZ_VERBOSE"))
        std::fprintf(stderr, "%s in %s %dx%d rb %d at (%d, %d) ref %dx%d, out %s %dx%d rb %d, plain %d: %d\n",
                     premiere ? "pr" : "ae", hostsim::formatName(input.format()).c_str(), w, h,
                     input.def().rowbytes, request.inputOriginX, request.inputOriginY, request.refWidth,
                     request.refHeight, hostsim::formatName(output.format()).c_str(), output.width(),
                     output.height(), output.def().rowbytes, request.plainRender, err);
    const PF_Err thrown = request.throwFromCheckout == hostsim::HostThrow::Int ? request.thrownCode : PF_Err_NONE;
    check(knownError(err, request.abortCode) || (thrown != PF_Err_NONE && err == thrown));
    // The guards are laid out for the formats the worlds were made with.
    output.setFormat(outFormat);
    input.setFormat(format);
    check(output.guardsIntact());
    check(input.guardsIntact());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Hosts& h = hosts();
    const int handles = h.ae->liveHandles();
    const int steps = in.ConsumeIntegralInRange<int>(1, 6);
    for (int step = 0; step < steps && in.remaining_bytes() > 0; ++step) {
        Host& host = in.ConsumeBool() ? *h.pr : *h.ae;
        FrameRequest request;
        request.params = host.defaults();
        switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0:
        case 1:
        case 2:
        case 3: render(in, host); break;
        case 4: {
            PF_UserChangedParamExtra extra{in.ConsumeIntegral<PF_ParamIndex>()};
            // The hidden info button opens a web page: never from a fuzzer.
            if (extra.param_index == raydrift::kParamInfoButton) extra.param_index = 0;
            check(host.command(PF_Cmd_USER_CHANGED_PARAM, in.ConsumeBool() ? &extra : nullptr) == PF_Err_NONE);
            break;
        }
        case 5: {
            fuzzParams(in, host, request.params);
            request.timeScale = in.ConsumeIntegral<A_u_long>();
            const PF_Err err = host.command(PF_Cmd_QUERY_DYNAMIC_FLAGS, nullptr, &request);
            check(knownError(err, PF_Err_NONE));
            break;
        }
        case 6: {
            // Commands a host may send with no extra at all, and numbers it never uses.
            static const PF_Cmd kCommands[] = {PF_Cmd_ABOUT, PF_Cmd_SEQUENCE_SETUP, PF_Cmd_SEQUENCE_RESETUP,
                                               PF_Cmd_SEQUENCE_FLATTEN, PF_Cmd_SEQUENCE_SETDOWN,
                                               PF_Cmd_DO_DIALOG, PF_Cmd_FRAME_SETUP, PF_Cmd_FRAME_SETDOWN,
                                               PF_Cmd_UPDATE_PARAMS_UI, PF_Cmd_EVENT, PF_Cmd_SMART_PRE_RENDER,
                                               PF_Cmd_SMART_RENDER, PF_Cmd_SMART_RENDER_GPU,
                                               PF_Cmd_GPU_DEVICE_SETUP, PF_Cmd_GPU_DEVICE_SETDOWN,
                                               PF_Cmd_GET_EXTERNAL_DEPENDENCIES, PF_Cmd_COMPLETELY_GENERAL};
            const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
            const PF_Cmd cmd = pick < 200 ? kCommands[pick % (sizeof kCommands / sizeof kCommands[0])]
                                          : static_cast<PF_Cmd>(in.ConsumeIntegral<int>());
            if (cmd == PF_Cmd_GLOBAL_SETDOWN || cmd == PF_Cmd_RENDER) break;  // need their own set-up
            check(knownError(host.command(cmd, nullptr, &request), PF_Err_NONE));
            break;
        }
        case 7: {
            PF_OutData out;
            check(knownError(host.globalSetup(out), PF_Err_NONE));
            break;
        }
        case 8: {
            const auto result = host.setupParameters(in.ConsumeIntegralInRange<int>(0, 70),
                                                     in.ConsumeIntegral<PF_Err>());
            (void)result;
            break;
        }
        case 9: {
            static const char* const kSuites[] = {kPFANSISuite, kPFHandleSuite, kPFWorldSuite,
                                                  kPFPixelFormatSuite, kPFAppSuite};
            host.hideSuite(kSuites[in.ConsumeIntegralInRange<int>(0, 4)]);
            break;
        }
        case 10: {
            PF_GPUDeviceSetupInput setupIn{static_cast<PF_GPU_Framework>(in.ConsumeIntegralInRange<int>(0, 4)),
                                           in.ConsumeIntegral<A_u_long>()};
            PF_GPUDeviceSetupOutput setupOut{nullptr};
            PF_GPUDeviceSetupExtra extra{&setupIn, &setupOut};
            check(knownError(host.command(PF_Cmd_GPU_DEVICE_SETUP, &extra), PF_Err_NONE));
            break;
        }
        default: host.clearHiddenSuites(); break;
        }
    }
    h.ae->clearHiddenSuites();
    h.pr->clearHiddenSuites();
    check(raydrift::parallel::activeFrames.load() == 0);
    check(raydrift::parallel::helpersInUse.load() == 0);
    check(h.ae->liveHandles() == handles);
    return 0;
}

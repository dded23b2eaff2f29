// The simulated host: commands, callbacks and the smart pre-render/render sequence.
#include "hostsim.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>

#include "AE_AdvEffectSuites.h"
#include "AE_EffectCBSuites.h"
#include "AE_EffectSuites.h"
#include "AE_EffectUI.h"
#include "PrSDKPixelFormat.h"
#include "ui_suites.h"

#ifndef RAYDRIFT_DEFAULT_PLUGIN_PATH
#define RAYDRIFT_DEFAULT_PLUGIN_PATH "raydrift_plugin.so"
#endif

namespace hostsim {

namespace {

std::atomic<int> gLiveHandles{0};

struct HostHandle {
    void* block;
    A_HandleSize size;
};

struct HostState;

// Everything one command sees: its parameters, worlds and what the callbacks recorded.
// effect_ref points here; the suites, which get no effect_ref, find it per thread.
struct Call {
    HostState* impl = nullptr;
    FrameRequest const* request = nullptr;
    std::vector<PF_ParamDef> values;
    std::vector<PF_ParamDef*> pointers;
    PF_LayerDef inputDef{};
    PF_LayerDef outputDef{};
    int inputFormat = PF_PixelFormat_INVALID;
    int outputFormat = PF_PixelFormat_INVALID;
    PF_LRect layerBounds{0, 0, 0, 0};  // the input's pixels in layer coordinates
    A_long refWidth = 0, refHeight = 0;
    bool pixelsCheckedOut = false;
    SmartTrace trace;
    // Parameter set-up.
    ParamsSetupResult* setup = nullptr;
    int failAt = 0;
    PF_Err failCode = PF_Err_NONE;
};

thread_local Call* tlsCall = nullptr;

struct CallScope {
    Call* previous;
    explicit CallScope(Call& call) : previous(tlsCall) { tlsCall = &call; }
    ~CallScope() { tlsCall = previous; }
};

Call& callOf(PF_ProgPtr ref) { return *reinterpret_cast<Call*>(ref); }

bool isEmpty(PF_LRect const& r) { return r.right <= r.left || r.bottom <= r.top; }

PF_LRect intersect(PF_LRect const& a, PF_LRect const& b) {
    PF_LRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
               std::min(a.bottom, b.bottom)};
    return isEmpty(r) ? PF_LRect{0, 0, 0, 0} : r;
}

struct HostState {
    void* library = nullptr;
    EntryPoints entry;
    HostKind kind = HostKind::AfterEffects;
    Registration reg;
    PF_OutFlags outFlags = 0;
    PF_OutFlags2 outFlags2 = 0;
    A_u_long version = 0;
    std::vector<int> formats;
    PF_Handle globalData = nullptr;
    std::vector<PF_ParamDef> params;
    std::deque<std::string> strings;  // menu items and labels the parameter list points at
    mutable std::mutex hiddenMutex;
    std::set<std::string> hidden;
    std::atomic<int> suitesHeld{0};  // acquired through the basic suite, not yet released

    const char* keep(const char* text) {
        strings.emplace_back(text ? text : "");
        return strings.back().c_str();
    }
    bool suiteHidden(const char* name) const {
        std::lock_guard<std::mutex> lock(hiddenMutex);
        return hidden.count(name) != 0;
    }
    PF_InData inData(Call& call, FrameRequest const& request);
    void prepare(Call& call, FrameRequest const* request, World const* input);
    PF_Err send(PF_Cmd cmd, Call& call, PF_InData& in, PF_OutData& out, PF_LayerDef* output, void* extra);
    void start();
    void stop();
};

// --- Suites ---------------------------------------------------------------------------

int ansiSprintf(A_char* buffer, const A_char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, PF_MAX_EFFECT_MSG_LEN + 1, format, args);
    va_end(args);
    return n;
}

const PF_ANSICallbacksSuite1 kAnsiSuite = {
    [](A_FpLong x) { return std::atan(x); },
    [](A_FpLong y, A_FpLong x) { return std::atan2(y, x); },
    [](A_FpLong x) { return std::ceil(x); },
    [](A_FpLong x) { return std::cos(x); },
    [](A_FpLong x) { return std::exp(x); },
    [](A_FpLong x) { return std::fabs(x); },
    [](A_FpLong x) { return std::floor(x); },
    [](A_FpLong x, A_FpLong y) { return std::fmod(x, y); },
    [](A_FpLong x, A_FpLong y) { return std::hypot(x, y); },
    [](A_FpLong x) { return std::log(x); },
    [](A_FpLong x) { return std::log10(x); },
    [](A_FpLong x, A_FpLong y) { return std::pow(x, y); },
    [](A_FpLong x) { return std::sin(x); },
    [](A_FpLong x) { return std::sqrt(x); },
    [](A_FpLong x) { return std::tan(x); },
    ansiSprintf,
    [](A_char* dst, const A_char* src) { return std::strcpy(dst, src); },
    [](A_FpLong x) { return std::asin(x); },
    [](A_FpLong x) { return std::acos(x); },
};

PF_Handle newHandle(A_HandleSize size) {
    void* block = std::calloc(size ? size : 1, 1);
    if (!block) return nullptr;
    ++gLiveHandles;
    return new HostHandle{block, size};
}

const PF_HandleSuite2 kHandleSuite = {
    newHandle,
    [](PF_Handle h) -> void* { return h ? static_cast<HostHandle*>(h)->block : nullptr; },
    [](PF_Handle) {},
    [](PF_Handle h) {
        if (!h) return;
        auto* handle = static_cast<HostHandle*>(h);
        std::free(handle->block);
        delete handle;
        --gLiveHandles;
    },
    [](PF_Handle h) -> A_HandleSize { return h ? static_cast<HostHandle*>(h)->size : 0; },
    [](A_HandleSize size, PF_Handle* h) -> PF_Err {
        if (!h || !*h) return PF_Err_BAD_CALLBACK_PARAM;
        auto* handle = static_cast<HostHandle*>(*h);
        void* block = std::realloc(handle->block, size ? size : 1);
        if (!block) return PF_Err_OUT_OF_MEMORY;
        handle->block = block;
        handle->size = size;
        return PF_Err_NONE;
    },
};

// The format of a world this call handed out; anything else is not the host's world.
PF_Err worldFormat(const PF_EffectWorld* world, PF_PixelFormat* format) {
    if (!world || !format) return PF_Err_BAD_CALLBACK_PARAM;
    Call* call = tlsCall;
    if (!call) return PF_Err_BAD_CALLBACK_PARAM;
    if (world == &call->inputDef || (call->pointers.size() > 0 && world == &call->values[0].u.ld))
        *format = call->inputFormat;
    else if (world == &call->outputDef)
        *format = call->outputFormat;
    else if (world->data && world->data == call->inputDef.data)
        *format = call->inputFormat;  // a checked-out copy of the input layer
    else if (!detail::uiWorldFormat(world, format))
        return PF_Err_BAD_CALLBACK_PARAM;
    return PF_Err_NONE;
}

const PF_WorldSuite2 kWorldSuite = {
    [](PF_ProgPtr, A_long, A_long, PF_Boolean, PF_PixelFormat, PF_EffectWorld*) -> PF_Err {
        return PF_Err_INTERNAL_STRUCT_DAMAGED;  // the effect never asks for worlds
    },
    [](PF_ProgPtr, PF_EffectWorld*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    worldFormat,
};

PF_Err addFormat(PF_ProgPtr ref, PrPixelFormat format);
PF_Err clearFormats(PF_ProgPtr ref);

const PF_PixelFormatSuite1 kPixelFormatSuite = {
    addFormat,
    clearFormats,
    [](PF_ProgPtr, A_u_long, A_u_long, PF_WorldFlags, PrPixelFormat, PF_EffectWorld*) -> PF_Err {
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    },
    [](PF_ProgPtr, PF_EffectWorld*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](PF_EffectWorld* world, PrPixelFormat* format) { return worldFormat(world, format); },
    [](PrPixelFormat, void*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](PrPixelFormat, void*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](PrPixelFormat, float, float, float, float, void*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
};

PF_Err appColor(PF_App_ColorType, PF_App_Color* color) {
    if (!color) return PF_Err_BAD_CALLBACK_PARAM;
    *color = PF_App_Color{0x3333, 0x3333, 0x3333};
    return PF_Err_NONE;
}
PF_Err appBackground(PF_App_Color* color) { return appColor(PF_App_Color_PANEL_BACKGROUND, color); }
PF_Err appLanguage(A_char tag[4]) {
    std::memcpy(tag, "en", 3);
    return PF_Err_NONE;
}

const PF_AppSuite1 kAppSuite1 = {appBackground, appColor, appLanguage};
const PF_AppSuite6 kAppSuite6 = {
    appBackground,
    appColor,
    appLanguage,
    [](void*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](A_long, void*, A_short*, A_short*, A_short*) -> PF_Err { return PF_Err_INTERNAL_STRUCT_DAMAGED; },
    [](A_long) -> PF_Err { return PF_Err_NONE; },
    detail::invalidateRect,
};

SPErr acquireSuite(const char* name, std::int32_t version, const void** suite) {
    if (!name || !suite) return kSPBadParameterError;
    *suite = nullptr;
    if (tlsCall && tlsCall->impl->suiteHidden(name)) return kSPSuiteNotFoundError;
    const std::string n = name;
    if (n == kPFANSISuite && version == kPFANSISuiteVersion1) *suite = &kAnsiSuite;
    else if (n == kPFHandleSuite && version == kPFHandleSuiteVersion2) *suite = &kHandleSuite;
    else if (n == kPFWorldSuite && version == kPFWorldSuiteVersion2) *suite = &kWorldSuite;
    else if (n == kPFPixelFormatSuite && version == kPFPixelFormatSuiteVersion1) *suite = &kPixelFormatSuite;
    else if (n == kPFAppSuite && version == kPFAppSuiteVersion1) *suite = &kAppSuite1;
    else if (n == kPFAppSuite && version == kPFAppSuiteVersion6) *suite = &kAppSuite6;
    else *suite = detail::uiSuite(n, version);
    if (!*suite) return kSPSuiteNotFoundError;
    if (tlsCall) ++tlsCall->impl->suitesHeld;
    return kSPNoError;
}

SPErr releaseSuite(const char*, std::int32_t) {
    if (tlsCall) --tlsCall->impl->suitesHeld;
    return kSPNoError;
}

const SPBasicSuite kBasicSuite = {
    acquireSuite,
    releaseSuite,
    [](const char* a, const char* b) -> SPBoolean { return a && b && std::strcmp(a, b) == 0; },
    [](std::size_t size, void** block) -> SPErr {
        if (!block) return kSPBadParameterError;
        *block = std::malloc(size ? size : 1);
        return *block ? kSPNoError : static_cast<SPErr>(PF_Err_OUT_OF_MEMORY);
    },
    [](void* block) -> SPErr {
        std::free(block);
        return kSPNoError;
    },
    [](void* block, std::size_t size, void** out) -> SPErr {
        if (!out) return kSPBadParameterError;
        *out = std::realloc(block, size ? size : 1);
        return *out ? kSPNoError : static_cast<SPErr>(PF_Err_OUT_OF_MEMORY);
    },
    []() -> SPErr { return kSPUnimplementedError; },
};

// --- Interaction callbacks -------------------------------------------------------------

PF_Err checkoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long, A_long, A_u_long, PF_ParamDef* param) {
    Call& call = callOf(ref);
    ++call.trace.paramCheckouts;
    if (call.request) {
        switch (call.request->throwFromCheckout) {
        case HostThrow::Int: throw static_cast<PF_Err>(call.request->thrownCode);
        case HostThrow::BadAlloc: throw std::bad_alloc();
        case HostThrow::Other: throw std::runtime_error("host failure");
        case HostThrow::None: break;
        }
    }
    if (!param) return PF_Err_BAD_CALLBACK_PARAM;
    if (index < 0 || index >= static_cast<PF_ParamIndex>(call.values.size())) return PF_Err_INVALID_INDEX;
    *param = call.values[static_cast<std::size_t>(index)];
    return PF_Err_NONE;
}

PF_Err checkinParam(PF_ProgPtr ref, PF_ParamDef* param) {
    ++callOf(ref).trace.paramCheckins;
    return param ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM;
}

PF_Err addParam(PF_ProgPtr ref, PF_ParamIndex, PF_ParamDefPtr def) {
    Call& call = callOf(ref);
    if (!call.setup) return PF_Err_INTERNAL_STRUCT_DAMAGED;  // only during parameter set-up
    if (!def) return PF_Err_BAD_CALLBACK_PARAM;
    const int position = static_cast<int>(call.setup->added.size()) + 1;
    if (position == call.failAt) return call.failCode;
    // The host keeps its own copy: the definition and its strings die with the call.
    PF_ParamDef copy = *def;
    copy.name[PF_MAX_EFFECT_PARAM_NAME_LEN] = '\0';
    switch (copy.param_type) {
    case PF_Param_POPUP: copy.u.pd.u.namesptr = call.impl->keep(copy.u.pd.u.namesptr); break;
    case PF_Param_CHECKBOX: copy.u.bd.u.nameptr = call.impl->keep(copy.u.bd.u.nameptr); break;
    case PF_Param_BUTTON: copy.u.button_d.u.namesptr = call.impl->keep(copy.u.button_d.u.namesptr); break;
    default: break;
    }
    call.setup->added.push_back(copy);
    return PF_Err_NONE;
}

PF_Err abortCheck(PF_ProgPtr ref) {
    Call& call = callOf(ref);
    return call.request ? call.request->abortCode : PF_Err_NONE;
}

PF_Err progress(PF_ProgPtr ref, A_long, A_long) { return abortCheck(ref); }

PF_Err registerUi(PF_ProgPtr ref, PF_CustomUIInfo* info) {
    Call& call = callOf(ref);
    if (!info) return PF_Err_BAD_CALLBACK_PARAM;
    if (call.setup) {
        call.setup->uiRegistered = true;
        call.setup->uiEvents = info->events;
    }
    return PF_Err_NONE;
}

// --- Smart render callbacks ------------------------------------------------------------

PF_Err checkoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long id, const PF_RenderRequest* req, A_long, A_long,
                     A_u_long, PF_CheckoutResult* result) {
    Call& call = callOf(ref);
    if (!req || !result) return PF_Err_BAD_CALLBACK_PARAM;
    if (index != 0) return PF_Err_INVALID_INDEX;
    call.trace.checkoutIds.push_back(id);
    std::memset(result, 0, sizeof *result);
    result->max_result_rect = call.layerBounds;
    result->result_rect = isEmpty(req->rect) ? call.layerBounds : intersect(req->rect, call.layerBounds);
    result->par = PF_RationalScale{1, 1};
    result->ref_width = call.refWidth;
    result->ref_height = call.refHeight;
    if (id == 0) call.pixelsCheckedOut = true;
    return PF_Err_NONE;
}

PF_Err checkoutLayerPixels(PF_ProgPtr ref, A_long id, PF_EffectWorld** pixels) {
    Call& call = callOf(ref);
    if (!pixels) return PF_Err_BAD_CALLBACK_PARAM;
    *pixels = nullptr;
    if (id != 0 || !call.pixelsCheckedOut) return PF_Err_BAD_CALLBACK_PARAM;
    *pixels = &call.inputDef;
    return PF_Err_NONE;
}

PF_Err checkinLayerPixels(PF_ProgPtr ref, A_long id) {
    return id == 0 && callOf(ref).pixelsCheckedOut ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM;
}

PF_Err checkoutOutput(PF_ProgPtr ref, PF_EffectWorld** output) {
    if (!output) return PF_Err_BAD_CALLBACK_PARAM;
    *output = &callOf(ref).outputDef;
    return PF_Err_NONE;
}

int bitDepth(int format) {
    switch (format) {
    case PF_PixelFormat_ARGB64: return 16;
    case PF_PixelFormat_ARGB128:
    case PrPixelFormat_BGRA_4444_32f: return 32;
    default: return 8;
    }
}

PF_Err addFormat(PF_ProgPtr ref, PrPixelFormat format) {
    callOf(ref).impl->formats.push_back(format);
    return PF_Err_NONE;
}

PF_Err clearFormats(PF_ProgPtr ref) {
    callOf(ref).impl->formats.clear();
    return PF_Err_NONE;
}

PF_Err registrationCallback(PF_PluginDataPtr inPtr, const A_u_char* name, const A_u_char* matchName,
                            const A_u_char* category, const A_u_char* entryPoint, A_long kind, A_long major,
                            A_long minor, A_long reserved, const A_u_char* url) {
    auto* reg = reinterpret_cast<Registration*>(inPtr);
    auto text = [](const A_u_char* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : std::string(); };
    reg->name = text(name);
    reg->matchName = text(matchName);
    reg->category = text(category);
    reg->entryPoint = text(entryPoint);
    reg->supportUrl = text(url);
    reg->kind = kind;
    reg->apiMajor = major;
    reg->apiMinor = minor;
    reg->reservedInfo = reserved;
    return PF_Err_NONE;
}

}  // namespace

struct Host::Impl : HostState {};

// --- Host::Impl ----------------------------------------------------------------------------

PF_InData HostState::inData(Call& call, FrameRequest const& request) {
    PF_InData in;
    std::memset(&in, 0, sizeof in);
    in.inter.checkout_param = checkoutParam;
    in.inter.checkin_param = checkinParam;
    in.inter.add_param = addParam;
    in.inter.abort = abortCheck;
    in.inter.progress = progress;
    in.inter.register_ui = registerUi;
    in.effect_ref = reinterpret_cast<PF_ProgPtr>(&call);
    in.appl_id = kind == HostKind::Premiere ? PF_AppId_Premiere : PF_AppId_AfterEffects;
    in.version = PF_VERSION(13, 29, 0, PF_Stage_RELEASE, 0);
    in.num_params = static_cast<A_long>(params.size());  // the input layer, then what set-up added
    in.current_time = request.currentTime;
    in.time_step = request.timeStep;
    in.local_time_step = request.timeStep;
    in.total_time = static_cast<A_long>(std::clamp<std::int64_t>(std::int64_t{request.timeStep} * 100, INT32_MIN, INT32_MAX));
    in.time_scale = request.timeScale;
    in.field = PF_Field_FRAME;
    in.downsample_x = request.downsampleX;
    in.downsample_y = request.downsampleY;
    in.pixel_aspect_ratio = PF_RationalScale{1, 1};
    in.global_data = globalData;
    in.pica_basicP = &kBasicSuite;
    return in;
}

// Parameter values for the call: the request's (missing entries at their defaults) with
// the input layer at 0.
void HostState::prepare(Call& call, FrameRequest const* request, World const* input) {
    call.impl = this;
    call.request = request;
    call.values = params;
    if (request)
        for (std::size_t i = 1; i < std::min(request->params.size(), call.values.size()); ++i)
            call.values[i] = request->params[i];
    if (input) {
        call.inputDef = input->def();
        call.inputFormat = input->format();
        call.values[0].u.ld = call.inputDef;
    }
    call.pointers.clear();
    for (PF_ParamDef& def : call.values) call.pointers.push_back(&def);
}

PF_Err HostState::send(PF_Cmd cmd, Call& call, PF_InData& in, PF_OutData& out, PF_LayerDef* output, void* extra) {
    CallScope scope(call);
    return entry.effectMain(cmd, &in, &out, call.pointers.empty() ? nullptr : call.pointers.data(), output, extra);
}

void HostState::start() {
    if (!entry.registration || !entry.effectMain) throw std::runtime_error("plug-in has no entry points");
    SPBasicSuite basic = kBasicSuite;
    reg.result = entry.registration(reinterpret_cast<PF_PluginDataPtr>(&reg), registrationCallback, &basic,
                                    kind == HostKind::Premiere ? "Premiere Pro" : "After Effects", "13.29");
    if (reg.result) throw std::runtime_error("plug-in registration failed with error " + std::to_string(reg.result));

    // The input layer the host adds before the effect's own parameters.
    PF_ParamDef layer;
    std::memset(&layer, 0, sizeof layer);
    layer.param_type = PF_Param_LAYER;
    std::strcpy(layer.name, "Input");
    params.assign(1, layer);

    FrameRequest defaultsRequest;
    Call call;
    prepare(call, &defaultsRequest, nullptr);
    PF_InData in = inData(call, defaultsRequest);
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    if (PF_Err err = send(PF_Cmd_GLOBAL_SETUP, call, in, out, nullptr, nullptr))
        throw std::runtime_error("plug-in global set-up failed with error " + std::to_string(err) +
                                 (out.return_msg[0] ? std::string(": ") + out.return_msg : std::string()));
    version = out.my_version;
    outFlags = out.out_flags;
    outFlags2 = out.out_flags2;
    globalData = out.global_data;

    ParamsSetupResult setup;
    Call setupCall;
    prepare(setupCall, &defaultsRequest, nullptr);
    setupCall.setup = &setup;
    in = inData(setupCall, defaultsRequest);
    std::memset(&out, 0, sizeof out);
    setup.err = send(PF_Cmd_PARAMS_SETUP, setupCall, in, out, nullptr, nullptr);
    if (setup.err) throw std::runtime_error("plug-in parameter set-up failed with error " + std::to_string(setup.err));
    if (out.num_params != static_cast<A_long>(setup.added.size()) + 1)
        throw std::runtime_error("plug-in declared " + std::to_string(out.num_params) + " parameters but added " +
                                 std::to_string(setup.added.size() + 1));
    params.insert(params.end(), setup.added.begin(), setup.added.end());

    Call sequenceCall;
    prepare(sequenceCall, &defaultsRequest, nullptr);
    in = inData(sequenceCall, defaultsRequest);
    std::memset(&out, 0, sizeof out);
    if (PF_Err err = send(PF_Cmd_SEQUENCE_SETUP, sequenceCall, in, out, nullptr, nullptr))
        throw std::runtime_error("plug-in sequence set-up failed with error " + std::to_string(err));
}

void HostState::stop() {
    if (!entry.effectMain) return;
    FrameRequest defaultsRequest;
    for (PF_Cmd cmd : {PF_Cmd_SEQUENCE_SETDOWN, PF_Cmd_GLOBAL_SETDOWN}) {
        Call call;
        prepare(call, &defaultsRequest, nullptr);
        PF_InData in = inData(call, defaultsRequest);
        PF_OutData out;
        std::memset(&out, 0, sizeof out);
        send(cmd, call, in, out, nullptr, nullptr);
    }
    // The plug-in disposes of its global data at set-down; what it leaves, the host frees.
    globalData = nullptr;
}

// --- Host ------------------------------------------------------------------------------------

Host::Host(std::string const& pluginPath, HostKind kind) : impl_(std::make_unique<Impl>()) {
    impl_->kind = kind;
    dlerror();
    impl_->library = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!impl_->library) {
        const char* why = dlerror();
        throw std::runtime_error("cannot load plug-in " + pluginPath + ": " + (why ? why : "unknown error"));
    }
    impl_->entry.registration =
        reinterpret_cast<PF_PluginDataEntryFunction2Ptr>(dlsym(impl_->library, "PluginDataEntryFunction2"));
    impl_->entry.effectMain = reinterpret_cast<PF_EffectMainPtr>(dlsym(impl_->library, "EffectMain"));
    impl_->entry.gpuFilter = reinterpret_cast<PrGPUFilterEntry>(dlsym(impl_->library, "xGPUFilterEntry"));
    if (!impl_->entry.registration || !impl_->entry.effectMain || !impl_->entry.gpuFilter) {
        dlclose(impl_->library);
        throw std::runtime_error("plug-in " + pluginPath + " lacks an entry point");
    }
    try {
        impl_->start();
    } catch (...) {
        dlclose(impl_->library);
        throw;
    }
}

Host::Host(EntryPoints const& entry, HostKind kind) : impl_(std::make_unique<Impl>()) {
    impl_->kind = kind;
    impl_->entry = entry;
    impl_->start();
}

Host::~Host() {
    try {
        impl_->stop();
    } catch (...) {
    }
    if (impl_->library) dlclose(impl_->library);
}

HostKind Host::kind() const { return impl_->kind; }
std::vector<PF_ParamDef> const& Host::params() const { return impl_->params; }
std::vector<PF_ParamDef> Host::defaults() const { return impl_->params; }
PF_OutFlags Host::outFlags() const { return impl_->outFlags; }
PF_OutFlags2 Host::outFlags2() const { return impl_->outFlags2; }
Registration const& Host::registration() const { return impl_->reg; }
A_u_long Host::version() const { return impl_->version; }
std::vector<int> const& Host::pixelFormats() const { return impl_->formats; }
EntryPoints const& Host::entryPoints() const { return impl_->entry; }
int Host::liveHandles() const { return gLiveHandles.load(); }

int Host::heldSuites() const { return impl_->suitesHeld.load(); }

bool Host::acceptsFormat(int format) const {
    if (impl_->kind == HostKind::Premiere)
        return std::find(impl_->formats.begin(), impl_->formats.end(), format) != impl_->formats.end();
    return format == PF_PixelFormat_ARGB32 || format == PF_PixelFormat_ARGB64 || format == PF_PixelFormat_ARGB128;
}

void Host::hideSuite(std::string const& name) {
    std::lock_guard<std::mutex> lock(impl_->hiddenMutex);
    impl_->hidden.insert(name);
}

void Host::clearHiddenSuites() {
    std::lock_guard<std::mutex> lock(impl_->hiddenMutex);
    impl_->hidden.clear();
}

std::string Host::aboutMessage() {
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    if (PF_Err err = command(PF_Cmd_ABOUT, nullptr, nullptr, &out))
        throw std::runtime_error("about command failed with error " + std::to_string(err));
    out.return_msg[PF_MAX_EFFECT_MSG_LEN] = '\0';
    return out.return_msg;
}

PF_Err Host::command(PF_Cmd cmd, void* extra, FrameRequest const* request, PF_OutData* outData) {
    FrameRequest defaultsRequest;
    FrameRequest const& req = request ? *request : defaultsRequest;
    Call call;
    impl_->prepare(call, &req, nullptr);
    PF_InData in = impl_->inData(call, req);
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    const PF_Err err = impl_->send(cmd, call, in, out, nullptr, extra);
    if (outData) *outData = out;
    return err;
}

ParamsSetupResult Host::setupParameters(int failAt, PF_Err failCode) {
    ParamsSetupResult result;
    FrameRequest defaultsRequest;
    Call call;
    impl_->prepare(call, &defaultsRequest, nullptr);
    call.setup = &result;
    call.failAt = failAt;
    call.failCode = failCode;
    PF_InData in = impl_->inData(call, defaultsRequest);
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    result.err = impl_->send(PF_Cmd_PARAMS_SETUP, call, in, out, nullptr, nullptr);
    result.numParams = out.num_params;
    return result;
}

PF_Err Host::globalSetup(PF_OutData& out) {
    FrameRequest defaultsRequest;
    Call call;
    impl_->prepare(call, &defaultsRequest, nullptr);
    PF_InData in = impl_->inData(call, defaultsRequest);
    std::memset(&out, 0, sizeof out);
    const PF_Err err = impl_->send(PF_Cmd_GLOBAL_SETUP, call, in, out, nullptr, nullptr);
    if (out.global_data) kHandleSuite.host_dispose_handle(out.global_data);
    out.global_data = nullptr;
    return err;
}

PF_Err Host::event(PF_EventExtra& extra, FrameRequest& request, World const* input,
                   std::vector<PF_ParamIndex>* changed, PF_OutData* outData) {
    Call call;
    impl_->prepare(call, &request, input);
    // The change flags are the plug-in's answer; they share the slot of the id.
    for (PF_ParamDef& def : call.values) def.uu.change_flags = PF_ChangeFlag_NONE;
    PF_InData in = impl_->inData(call, request);
    if (input) {
        in.width = input->width();
        in.height = input->height();
        in.extent_hint = PF_LRect{0, 0, input->width(), input->height()};
    }
    PF_OutData out;
    std::memset(&out, 0, sizeof out);
    const PF_Err err = impl_->send(PF_Cmd_EVENT, call, in, out, nullptr, &extra);
    const std::size_t n = std::min(request.params.size(), call.values.size());
    for (std::size_t i = 1; i < n; ++i) {
        if (!(call.values[i].uu.change_flags & PF_ChangeFlag_CHANGED_VALUE)) continue;
        const A_long id = request.params[i].uu.id;
        request.params[i] = call.values[i];
        request.params[i].uu.id = id;
        if (changed) changed->push_back(static_cast<PF_ParamIndex>(i));
    }
    if (outData) *outData = out;
    return err;
}

std::vector<std::uint8_t> Host::globalDataBytes() const {
    if (!impl_->globalData) return {};
    auto const* handle = static_cast<HostHandle const*>(impl_->globalData);
    auto const* bytes = static_cast<std::uint8_t const*>(handle->block);
    return std::vector<std::uint8_t>(bytes, bytes + handle->size);
}

PF_Err Host::render(World const& input, World& output, FrameRequest const& request) {
    return render(input, output, request, nullptr);
}

PF_Err Host::render(World const& input, World& output, FrameRequest const& request, SmartTrace* trace) {
    Call call;
    impl_->prepare(call, &request, &input);
    call.outputDef = output.def();
    call.outputFormat = output.format();
    PF_InData in = impl_->inData(call, request);
    PF_OutData out;
    std::memset(&out, 0, sizeof out);

    const bool plain = impl_->kind == HostKind::Premiere || request.plainRender;
    if (plain) {
        in.width = input.width();
        in.height = input.height();
        in.extent_hint = PF_LRect{0, 0, input.width(), input.height()};
        const PF_Err err = impl_->send(PF_Cmd_RENDER, call, in, out, &call.outputDef, nullptr);
        if (trace) *trace = call.trace;
        return err;
    }

    // The layer at the current resolution is what the input world covers at its origin;
    // its size before downsampling is what the host reports as the reference size.
    const A_long w = input.def().width, h = input.def().height;
    call.inputDef.origin_x = request.inputOriginX;
    call.inputDef.origin_y = request.inputOriginY;
    // Saturated: a test may place the input anywhere, the host's arithmetic never wraps.
    auto saturated = [](std::int64_t v) {
        return static_cast<A_long>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
    };
    call.layerBounds = w > 0 && h > 0 ? PF_LRect{request.inputOriginX, request.inputOriginY,
                                                 saturated(std::int64_t{request.inputOriginX} + w),
                                                 saturated(std::int64_t{request.inputOriginY} + h)}
                                      : PF_LRect{0, 0, 0, 0};
    auto upsampled = [](A_long size, PF_RationalScale s) {
        if (s.num <= 0) return size;
        const double v = std::ceil(static_cast<double>(size) * std::max<A_u_long>(s.den, 1) / s.num);
        return static_cast<A_long>(std::min(v, static_cast<double>(INT32_MAX)));
    };
    call.refWidth = request.refWidth > 0 ? request.refWidth : upsampled(std::max(w, 0), request.downsampleX);
    call.refHeight = request.refHeight > 0 ? request.refHeight : upsampled(std::max(h, 0), request.downsampleY);
    in.width = call.refWidth;
    in.height = call.refHeight;
    in.extent_hint = PF_LRect{0, 0, std::max(w, 0), std::max(h, 0)};

    PF_PreRenderInput preIn;
    std::memset(&preIn, 0, sizeof preIn);
    preIn.output_request.rect = request.requestRect ? *request.requestRect : PF_LRect{0, 0, w, h};
    preIn.output_request.field = PF_Field_FRAME;
    preIn.output_request.channel_mask = PF_ChannelMask_ARGB;
    preIn.bitdepth = static_cast<short>(bitDepth(output.format()));
    preIn.what_gpu = PF_GPU_Framework_NONE;
    PF_PreRenderOutput preOut;
    std::memset(&preOut, 0, sizeof preOut);
    PF_PreRenderCallbacks preCb;
    std::memset(&preCb, 0, sizeof preCb);
    preCb.checkout_layer = checkoutLayer;
    PF_PreRenderExtra preExtra{&preIn, &preOut, &preCb};

    call.trace.preRenderErr = impl_->send(PF_Cmd_SMART_PRE_RENDER, call, in, out, nullptr, &preExtra);
    call.trace.resultRect = preOut.result_rect;
    call.trace.maxResultRect = preOut.max_result_rect;
    call.trace.flags = preOut.flags;
    call.trace.hadPreRenderData = preOut.pre_render_data != nullptr;
    PF_Err err = call.trace.preRenderErr;
    if (!err) {
        PF_SmartRenderInput renderIn;
        std::memset(&renderIn, 0, sizeof renderIn);
        renderIn.output_request = preIn.output_request;
        renderIn.bitdepth = preIn.bitdepth;
        renderIn.pre_render_data = preOut.pre_render_data;
        renderIn.what_gpu = PF_GPU_Framework_NONE;
        PF_SmartRenderCallbacks renderCb{checkoutLayerPixels, checkinLayerPixels, checkoutOutput};
        PF_SmartRenderExtra renderExtra{&renderIn, &renderCb};
        std::memset(&out, 0, sizeof out);
        call.trace.renderErr = impl_->send(PF_Cmd_SMART_RENDER, call, in, out, nullptr, &renderExtra);
        err = call.trace.renderErr;
    }
    if (preOut.pre_render_data) {
        if (preOut.delete_pre_render_data_func) {
            preOut.delete_pre_render_data_func(preOut.pre_render_data);
        } else if (!err) {
            err = PF_Err_INTERNAL_STRUCT_DAMAGED;  // the host could never free it
        }
    }
    if (trace) *trace = call.trace;
    return err;
}

std::string defaultPluginPath() {
    if (const char* path = std::getenv("RAYDRIFT_PLUGIN"); path && *path) return path;
    return RAYDRIFT_DEFAULT_PLUGIN_PATH;
}

}  // namespace hostsim

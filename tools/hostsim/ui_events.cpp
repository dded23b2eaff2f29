// Custom controls in the simulated host: the panel that sends a control's events, the
// custom-UI suites, and the AEGP services behind the asynchronous input render.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

#include "AE_AdvEffectSuites.h"
#include "AE_EffectSuites.h"
#include "AE_GeneralPlug.h"
#include "drawbot.h"
#include "hostsim.h"
#include "ui_suites.h"

namespace hostsim {

namespace {

constexpr A_Err kBad = PF_Err_BAD_CALLBACK_PARAM;

// Identifiers handed out by AEGP registration; 0 is never one.
std::atomic<AEGP_PluginID> gNextPluginId{1};
std::mutex gPluginsMutex;
std::set<AEGP_PluginID> gPlugins;

bool registered(AEGP_PluginID id) {
    std::lock_guard<std::mutex> lock(gPluginsMutex);
    return gPlugins.count(id) != 0;
}

// The input box-averaged over `fx` × `fy` blocks, in the input's own format and scale.
World downsampled(World const& input, int fx, int fy) {
    fx = std::max(fx, 1), fy = std::max(fy, 1);
    const int w = (input.width() + fx - 1) / fx, h = (input.height() + fy - 1) / fy;
    World out(w, h, input.format());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sum[4] = {0, 0, 0, 0};
            int n = 0;
            for (int sy = y * fy; sy < std::min(input.height(), (y + 1) * fy); ++sy)
                for (int sx = x * fx; sx < std::min(input.width(), (x + 1) * fx); ++sx) {
                    float v[4];
                    input.get(sx, sy, v);
                    for (int c = 0; c < 4; ++c) sum[c] += v[c];
                    ++n;
                }
            float v[4];
            for (int c = 0; c < 4; ++c) v[c] = static_cast<float>(sum[c] / std::max(n, 1));
            out.set(x, y, v);
        }
    return out;
}

}  // namespace

struct AsyncManager {
    Panel::Impl* panel;
};

struct EffectRef {
    Panel::Impl* panel;
};

struct RenderOptions {
    Panel::Impl* panel;
    A_short downsampleX = 1, downsampleY = 1;
    A_Time time{0, 1};
};

struct Receipt {
    World world;
};

struct Panel::Impl {
    Host& host;
    PF_ParamIndex index;
    PF_Rect frame;
    double scale;
    FrameRequest request;
    std::optional<World> input;
    PF_Context context{};
    PF_Context* contextPtr = &context;
    AsyncManager manager{this};
    std::unique_ptr<detail::Canvas> canvas;
    bool drawing = false;
    std::vector<DrawCall> lastDrawing;
    int unreleased = 0;
    PF_EventOutFlags outFlags = 0;
    PF_Mouse mouse{};
    PF_CursorType cursor = PF_Cursor_NONE;
    std::vector<PF_ParamIndex> changed;
    std::vector<PF_Rect> invalidated;
    // Asynchronous rendering.
    int renderDelay = 1;
    int emptyAnswers = 0;
    int renderRequests = 0;
    bool pending = false;
    A_u_long lastPurpose = 0;
    int lastDownsampleX = 0, lastDownsampleY = 0;
    std::set<Receipt*> receipts;
    std::set<EffectRef*> effects;
    std::set<RenderOptions*> options;

    Impl(Host& h, PF_ParamIndex i, PF_Rect f, double s) : host(h), index(i), frame(f), scale(s) {
        request.params = host.defaults();
        context.magic = 0x43545854;  // 'CTXT'
        context.w_type = PF_Window_EFFECT;
    }
    ~Impl() {
        for (Receipt* r : receipts) delete r;
        for (EffectRef* e : effects) delete e;
        for (RenderOptions* o : options) delete o;
    }

    PF_Err send(PF_EventExtra& extra);
};

namespace {

thread_local Panel::Impl* tlsPanel = nullptr;

struct PanelScope {
    Panel::Impl* previous;
    explicit PanelScope(Panel::Impl* panel) : previous(tlsPanel) { tlsPanel = panel; }
    ~PanelScope() { tlsPanel = previous; }
};

bool ownContext(const PF_ContextH contextH) { return tlsPanel && contextH == &tlsPanel->contextPtr; }

PF_EventExtra blankEvent(PF_EventType type) {
    PF_EventExtra extra;
    std::memset(&extra, 0, sizeof extra);
    extra.e_type = type;
    return extra;
}

}  // namespace

PF_Err Panel::Impl::send(PF_EventExtra& extra) {
    extra.contextH = &contextPtr;
    extra.effect_win.index = index;
    extra.effect_win.area = PF_EA_CONTROL;
    extra.effect_win.current_frame = frame;
    extra.evt_out_flags = PF_EO_NONE;
    changed.clear();
    PanelScope scope(this);
    const PF_Err err = host.event(extra, request, input ? &*input : nullptr, &changed);
    outFlags = extra.evt_out_flags;
    return err;
}

Panel::Panel(Host& host, PF_ParamIndex paramIndex, PF_Rect frame, double scale)
    : impl_(std::make_unique<Impl>(host, paramIndex, frame, scale)) {}

Panel::~Panel() {
    if (impl_->context.reserved_ptr) closeContext();
}

FrameRequest& Panel::request() { return impl_->request; }

void Panel::setInput(World input) {
    impl_->input = std::move(input);
    impl_->emptyAnswers = 0;
}

void Panel::setRenderDelay(int requests) {
    impl_->renderDelay = std::max(requests, 0);
    impl_->emptyAnswers = 0;
}

PF_Err Panel::newContext() {
    PF_EventExtra extra = blankEvent(PF_Event_NEW_CONTEXT);
    return impl_->send(extra);
}

PF_Err Panel::draw() {
    impl_->canvas = std::make_unique<detail::Canvas>(impl_->frame, impl_->scale);
    impl_->pending = false;
    PF_EventExtra extra = blankEvent(PF_Event_DRAW);
    impl_->drawing = true;
    const PF_Err err = impl_->send(extra);
    impl_->drawing = false;
    impl_->lastDrawing = impl_->canvas->calls();
    impl_->unreleased = impl_->canvas->liveObjects();
    return err;
}

PF_Err Panel::show() {
    PF_Err err = draw();
    for (int round = 0; !err && impl_->pending && round < 64; ++round) {
        impl_->emptyAnswers = impl_->renderDelay;  // the render finished
        err = draw();
    }
    return err;
}

PF_Err Panel::click(int x, int y) {
    PF_EventExtra extra = blankEvent(PF_Event_DO_CLICK);
    extra.u.do_click.screen_point = PF_Point{x, y};
    const PF_Err err = impl_->send(extra);
    impl_->mouse = extra.u.do_click;
    return err;
}

PF_Err Panel::drag(int x, int y, bool lastTime) {
    PF_EventExtra extra = blankEvent(PF_Event_DRAG);
    extra.u.drag = impl_->mouse;
    extra.u.drag.screen_point = PF_Point{x, y};
    extra.u.drag.last_time = lastTime ? 1 : 0;
    const PF_Err err = impl_->send(extra);
    impl_->mouse = extra.u.drag;
    return err;
}

PF_Err Panel::adjustCursor(int x, int y) {
    PF_EventExtra extra = blankEvent(PF_Event_ADJUST_CURSOR);
    extra.u.adjust_cursor.screen_point = PF_Point{x, y};
    extra.u.adjust_cursor.set_cursor = PF_Cursor_NONE;
    const PF_Err err = impl_->send(extra);
    impl_->cursor = extra.u.adjust_cursor.set_cursor;
    return err;
}

PF_Err Panel::closeContext() {
    PF_EventExtra extra = blankEvent(PF_Event_CLOSE_CONTEXT);
    return impl_->send(extra);
}

PF_Err Panel::send(PF_EventType type) {
    PF_EventExtra extra = blankEvent(type);
    return impl_->send(extra);
}

PF_EventOutFlags Panel::outFlags() const { return impl_->outFlags; }
PF_Mouse const& Panel::mouse() const { return impl_->mouse; }
PF_CursorType Panel::cursor() const { return impl_->cursor; }
std::vector<PF_ParamIndex> const& Panel::changed() const { return impl_->changed; }
std::vector<PF_Rect> const& Panel::invalidated() const { return impl_->invalidated; }
std::vector<DrawCall> const& Panel::drawing() const { return impl_->lastDrawing; }
int Panel::unreleasedObjects() const { return impl_->unreleased; }
bool Panel::contextHoldsState() const { return impl_->context.reserved_ptr != nullptr; }
int Panel::renderRequests() const { return impl_->renderRequests; }
A_u_long Panel::lastPurpose() const { return impl_->lastPurpose; }
int Panel::lastDownsampleX() const { return impl_->lastDownsampleX; }
int Panel::lastDownsampleY() const { return impl_->lastDownsampleY; }
bool Panel::renderPending() const { return impl_->pending; }
int Panel::framesCheckedOut() const { return static_cast<int>(impl_->receipts.size()); }
int Panel::openAegpObjects() const { return static_cast<int>(impl_->effects.size() + impl_->options.size()); }
int Panel::imageWidth() const { return impl_->canvas ? impl_->canvas->width() : 0; }
int Panel::imageHeight() const { return impl_->canvas ? impl_->canvas->height() : 0; }

void Panel::pixel(int x, int y, float rgba[4]) const {
    rgba[0] = rgba[1] = rgba[2] = rgba[3] = 0.0f;
    if (impl_->canvas) impl_->canvas->pixel(x, y, rgba);
}

bool Panel::writePng(std::string const& path) const { return impl_->canvas && impl_->canvas->writePng(path); }

// --- Suites --------------------------------------------------------------------------

namespace {

PF_Err drawingReference(const PF_ContextH contextH, DRAWBOT_DrawRef* ref) {
    if (!ref) return kBad;
    *ref = nullptr;
    // Only while the context is being drawn.
    if (!ownContext(contextH) || !tlsPanel->drawing || !tlsPanel->canvas) return kBad;
    *ref = tlsPanel->canvas->drawRef();
    return PF_Err_NONE;
}

PF_Err contextAsyncManager(PF_InData* in_data, PF_EventExtra* extra, PF_AsyncManagerP* manager) {
    if (!manager) return kBad;
    *manager = nullptr;
    if (!in_data || !extra || !ownContext(extra->contextH)) return kBad;
    *manager = reinterpret_cast<PF_AsyncManagerP>(&tlsPanel->manager);
    return PF_Err_NONE;
}

const PF_EffectCustomUISuite1 kCustomUi1 = {drawingReference};
const PF_EffectCustomUISuite2 kCustomUi2 = {drawingReference, contextAsyncManager};

const AEGP_UtilitySuite7 kUtility = {
    [](AEGP_GlobalRefcon, const A_char* name, AEGP_PluginID* id) -> A_Err {
        if (!name || !*name || !id) return kBad;
        *id = gNextPluginId++;
        std::lock_guard<std::mutex> lock(gPluginsMutex);
        gPlugins.insert(*id);
        return A_Err_NONE;
    },
};

EffectRef* effectOf(AEGP_EffectRefH h) {
    auto* e = reinterpret_cast<EffectRef*>(h);
    return tlsPanel && tlsPanel->effects.count(e) ? e : nullptr;
}
RenderOptions* optionsOf(AEGP_LayerRenderOptionsH h) {
    auto* o = reinterpret_cast<RenderOptions*>(h);
    return tlsPanel && tlsPanel->options.count(o) ? o : nullptr;
}
Receipt* receiptOf(AEGP_FrameReceiptH h) {
    auto* r = reinterpret_cast<Receipt*>(h);
    return tlsPanel && tlsPanel->receipts.count(r) ? r : nullptr;
}

const AEGP_EffectSuite3 kEffect = {
    [](AEGP_EffectRefH h) -> A_Err {
        EffectRef* e = effectOf(h);
        if (!e) return kBad;
        tlsPanel->effects.erase(e);
        delete e;
        return A_Err_NONE;
    },
};

const AEGP_PFInterfaceSuite1 kPfInterface = {
    [](PF_ProgPtr, AEGP_LayerH* layer) -> A_Err {
        if (!layer) return kBad;
        *layer = nullptr;
        return A_Err_GENERIC;  // no project layers in this host
    },
    [](AEGP_PluginID id, PF_ProgPtr ref, AEGP_EffectRefH* out) -> A_Err {
        if (!out) return kBad;
        *out = nullptr;
        if (!ref || !registered(id) || !tlsPanel) return kBad;
        auto* e = new EffectRef{tlsPanel};
        tlsPanel->effects.insert(e);
        *out = reinterpret_cast<AEGP_EffectRefH>(e);
        return A_Err_NONE;
    },
};

const AEGP_LayerRenderOptionsSuite1 kLayerRenderOptions = {
    [](AEGP_PluginID id, AEGP_EffectRefH effect, AEGP_LayerRenderOptionsH* out) -> A_Err {
        if (!out) return kBad;
        *out = nullptr;
        if (!registered(id) || !effectOf(effect)) return kBad;
        auto* o = new RenderOptions{tlsPanel};
        tlsPanel->options.insert(o);
        *out = reinterpret_cast<AEGP_LayerRenderOptionsH>(o);
        return A_Err_NONE;
    },
    [](AEGP_LayerRenderOptionsH h, A_Time time) -> A_Err {
        RenderOptions* o = optionsOf(h);
        if (!o) return kBad;
        o->time = time;
        return A_Err_NONE;
    },
    [](AEGP_LayerRenderOptionsH h, A_Time* time) -> A_Err {
        RenderOptions* o = optionsOf(h);
        if (!o || !time) return kBad;
        *time = o->time;
        return A_Err_NONE;
    },
    [](AEGP_LayerRenderOptionsH h, A_short x, A_short y) -> A_Err {
        RenderOptions* o = optionsOf(h);
        if (!o || x < 1 || y < 1) return kBad;
        o->downsampleX = x, o->downsampleY = y;
        return A_Err_NONE;
    },
    [](AEGP_LayerRenderOptionsH h, A_short* x, A_short* y) -> A_Err {
        RenderOptions* o = optionsOf(h);
        if (!o || !x || !y) return kBad;
        *x = o->downsampleX, *y = o->downsampleY;
        return A_Err_NONE;
    },
    [](AEGP_LayerRenderOptionsH h) -> A_Err {
        RenderOptions* o = optionsOf(h);
        if (!o) return kBad;
        tlsPanel->options.erase(o);
        delete o;
        return A_Err_NONE;
    },
};

const AEGP_RenderAsyncManagerSuite1 kAsync = {
    [](PF_AsyncManagerP managerP, A_u_long purpose, AEGP_LayerRenderOptionsH h, AEGP_FrameReceiptH* out) -> A_Err {
        if (!out) return kBad;
        *out = nullptr;
        auto* manager = reinterpret_cast<AsyncManager*>(managerP);
        RenderOptions* o = optionsOf(h);
        if (!o || !manager || manager != &tlsPanel->manager) return kBad;
        Panel::Impl& panel = *tlsPanel;
        ++panel.renderRequests;
        panel.lastPurpose = purpose;
        panel.lastDownsampleX = o->downsampleX;
        panel.lastDownsampleY = o->downsampleY;
        if (!panel.input) return A_Err_NONE;  // nothing upstream to render
        if (panel.emptyAnswers < panel.renderDelay) {
            ++panel.emptyAnswers;
            panel.pending = true;
            return A_Err_NONE;
        }
        auto* receipt = new Receipt{downsampled(*panel.input, o->downsampleX, o->downsampleY)};
        panel.receipts.insert(receipt);
        *out = reinterpret_cast<AEGP_FrameReceiptH>(receipt);
        return A_Err_NONE;
    },
};

const AEGP_RenderSuite5 kRender = {
    [](AEGP_FrameReceiptH h) -> A_Err {
        Receipt* r = receiptOf(h);
        if (!r) return kBad;
        tlsPanel->receipts.erase(r);
        delete r;
        return A_Err_NONE;
    },
    [](AEGP_FrameReceiptH h, AEGP_WorldH* world) -> A_Err {
        Receipt* r = receiptOf(h);
        if (!r || !world) return kBad;
        *world = reinterpret_cast<AEGP_WorldH>(&r->world);
        return A_Err_NONE;
    },
};

World* worldOf(AEGP_WorldH h) {
    if (!tlsPanel) return nullptr;
    for (Receipt* r : tlsPanel->receipts)
        if (reinterpret_cast<AEGP_WorldH>(&r->world) == h) return &r->world;
    return nullptr;
}

const AEGP_WorldSuite3 kWorld = {
    [](AEGP_WorldH h, AEGP_WorldType* type) -> A_Err {
        World* w = worldOf(h);
        if (!w || !type) return kBad;
        *type = w->format() == PF_PixelFormat_ARGB64    ? AEGP_WorldType_16
                : w->format() == PF_PixelFormat_ARGB128 ? AEGP_WorldType_32
                                                        : AEGP_WorldType_8;
        return A_Err_NONE;
    },
    [](AEGP_WorldH h, A_long* width, A_long* height) -> A_Err {
        World* w = worldOf(h);
        if (!w || !width || !height) return kBad;
        *width = w->width(), *height = w->height();
        return A_Err_NONE;
    },
    [](AEGP_WorldH h, PF_EffectWorld* out) -> A_Err {
        World* w = worldOf(h);
        if (!w || !out) return kBad;
        *out = w->def();
        return A_Err_NONE;
    },
};

}  // namespace

namespace detail {

const void* uiSuite(std::string const& name, int version) {
    if (name == kPFEffectCustomUISuite && version == kPFEffectCustomUISuiteVersion1) return &kCustomUi1;
    if (name == kPFEffectCustomUISuite && version == kPFEffectCustomUISuiteVersion2) return &kCustomUi2;
    if (name == kDRAWBOT_DrawSuite && version == kDRAWBOT_DrawSuite_Version1) return drawbotSuite();
    if (name == kDRAWBOT_SupplierSuite && version == kDRAWBOT_SupplierSuite_Version1) return supplierSuite();
    if (name == kDRAWBOT_SurfaceSuite && version == kDRAWBOT_SurfaceSuite_Version2) return surfaceSuite();
    if (name == kDRAWBOT_PathSuite && version == kDRAWBOT_PathSuite_Version1) return pathSuite();
    if (name == kAEGPUtilitySuite && version == kAEGPUtilitySuiteVersion7) return &kUtility;
    if (name == kAEGPEffectSuite && version == kAEGPEffectSuiteVersion3) return &kEffect;
    if (name == kAEGPPFInterfaceSuite && version == kAEGPPFInterfaceSuiteVersion1) return &kPfInterface;
    if (name == kAEGPLayerRenderOptionsSuite && version == kAEGPLayerRenderOptionsSuiteVersion1)
        return &kLayerRenderOptions;
    if (name == kAEGPRenderAsyncManagerSuite && version == kAEGPRenderAsyncManagerSuiteVersion1) return &kAsync;
    if (name == kAEGPRenderSuite && version == kAEGPRenderSuiteVersion5) return &kRender;
    if (name == kAEGPWorldSuite && version == kAEGPWorldSuiteVersion3) return &kWorld;
    return nullptr;
}

bool uiWorldFormat(PF_EffectWorld const* world, PF_PixelFormat* format) {
    if (!world || !format || !world->data || !tlsPanel) return false;
    for (Receipt* r : tlsPanel->receipts)
        if (r->world.def().data == world->data) {
            *format = r->world.format();
            return true;
        }
    return false;
}

PF_Err invalidateRect(const PF_ContextH contextH, const PF_Rect* rect) {
    if (!ownContext(contextH)) return kBad;
    tlsPanel->invalidated.push_back(rect ? *rect : tlsPanel->frame);
    return PF_Err_NONE;
}

}  // namespace detail

}  // namespace hostsim

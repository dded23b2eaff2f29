#include "ui/histogram.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "AEFX_SuiteHelper.h"
#include "AEGP_SuiteHandler.h"
#include "AE_AdvEffectSuites.h"
#include "AE_EffectSuites.h"
#include "AE_GeneralPlug.h"
#include "AE_Macros.h"
#include "DrawbotSuite.h"
#include "PrSDKPixelFormat.h"
#include "host/pixel_formats.h"
#include "host/plugin_info.h"
#include "settings/param_indices.h"
#include "ui/draw_event.h"
#include "ui/histogram_math.h"

namespace raydrift::ui {

namespace {

constexpr A_short kInputDownsample = 16;
constexpr double kValueEpsilon = 1e-6;
// Rows converted at a time: bounds the float copy of a full-size input.
constexpr int kBandRows = 64;

constexpr DRAWBOT_ColorRGBA kControlBackground{0.075f, 0.08f, 0.088f, 1.0f};
constexpr DRAWBOT_ColorRGBA kPlotBackground{0.105f, 0.112f, 0.122f, 1.0f};
constexpr DRAWBOT_ColorRGBA kSelectedBand{0.12f, 0.42f, 0.5f, 0.28f};
constexpr DRAWBOT_ColorRGBA kSoftBand{0.12f, 0.42f, 0.5f, 0.14f};
constexpr DRAWBOT_ColorRGBA kFill{0.73f, 0.75f, 0.78f, 0.92f};
constexpr DRAWBOT_ColorRGBA kBaseline{0.31f, 0.33f, 0.36f, 1.0f};
constexpr DRAWBOT_ColorRGBA kAccent{0.28f, 0.78f, 0.88f, 1.0f};
constexpr DRAWBOT_ColorRGBA kHandle{0.57f, 0.66f, 0.7f, 1.0f};

// One per custom-UI context, owned through the context's spare pointer.
struct HistogramCache {
    Histogram histogram;
};

bool onControl(PF_EventExtra const* extra) {
    return (*extra->contextH)->w_type == PF_Window_EFFECT && extra->effect_win.index == kParamHistogram &&
           extra->effect_win.area == PF_EA_CONTROL;
}

// The context's cache, made zero-filled on first use; null only when it cannot be made.
HistogramCache* cacheFromContext(PF_Context* context) {
    if (!context->reserved_ptr) context->reserved_ptr = new (std::nothrow) HistogramCache();
    return static_cast<HistogramCache*>(context->reserved_ptr);
}

void freeCache(PF_Context* context) {
    delete static_cast<HistogramCache*>(context->reserved_ptr);
    context->reserved_ptr = nullptr;
}

bool readableFormat(PF_PixelFormat format) {
    switch (format) {
    case PF_PixelFormat_ARGB32:
    case PF_PixelFormat_ARGB64:
    case PF_PixelFormat_ARGB128:
    case PrPixelFormat_BGRA_4444_8u:
    case PrPixelFormat_BGRA_4444_32f:
        return true;
    default:
        return false;
    }
}

// The histogram of a host world into `cache`. A world without pixels clears it; a
// format other than the three ARGB depths and the two BGRA ones is 516.
PF_Err computeHistogram(PF_EffectWorld const* world, PF_PixelFormat format, HistogramCache& cache) {
    if (!world || !world->data || world->width < 1 || world->height < 1) {
        cache.histogram = Histogram();
        return PF_Err_NONE;
    }
    if (!readableFormat(format)) return PF_Err_BAD_CALLBACK_PARAM;
    LumaCounts counts;
    image::Image band;
    for (A_long y = 0; y < world->height; y += kBandRows) {
        PF_EffectWorld rows = *world;
        rows.data = reinterpret_cast<PF_PixelPtr>(reinterpret_cast<unsigned char*>(world->data) +
                                                  static_cast<std::ptrdiff_t>(y) * world->rowbytes);
        rows.height = std::min<A_long>(kBandRows, world->height - y);
        if (PF_Err err = pixel_formats::readWorld(&rows, format, band)) return err;
        countPixels(band.pixels.data(), static_cast<long>(band.pixels.size()), counts);
    }
    cache.histogram = finishHistogram(counts);
    return PF_Err_NONE;
}

AEGP_PluginID registeredId(PF_InData* in_data) {
    if (!in_data->global_data) return 0;
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    const PF_HandleSuite2* handles = suites.HandleSuite2();
    void* data = handles->host_lock_handle(in_data->global_data);
    if (!data) return 0;
    std::uint32_t id = 0;
    std::memcpy(&id, data, sizeof id);
    handles->host_unlock_handle(in_data->global_data);
    return static_cast<AEGP_PluginID>(id);
}

// After Effects: the input upstream of this effect at 1/16 size, from the context's
// asynchronous render manager so the panel never waits for a render.
PF_Err updateFromAsyncRender(PF_InData* in_data, PF_OutData* out_data, PF_EventExtra* extra,
                             HistogramCache& cache) {
    const AEGP_PluginID id = registeredId(in_data);
    if (id == 0) return PF_Err_NONE;

    // Every suite is acquired before a frame is asked for, so that a frame, once
    // received, can always be checked in.
    AEFX_SuiteScoper<AEGP_EffectSuite3> effects(in_data, kAEGPEffectSuite, kAEGPEffectSuiteVersion3, out_data);
    AEFX_SuiteScoper<AEGP_LayerRenderOptionsSuite1> options(in_data, kAEGPLayerRenderOptionsSuite,
                                                            kAEGPLayerRenderOptionsSuiteVersion1, out_data);
    AEFX_SuiteScoper<AEGP_PFInterfaceSuite1> pf(in_data, kAEGPPFInterfaceSuite, kAEGPPFInterfaceSuiteVersion1,
                                                out_data);
    AEFX_SuiteScoper<PF_EffectCustomUISuite2> ui(in_data, kPFEffectCustomUISuite, kPFEffectCustomUISuiteVersion2,
                                                 out_data);
    AEFX_SuiteScoper<AEGP_RenderAsyncManagerSuite1> async(in_data, kAEGPRenderAsyncManagerSuite,
                                                          kAEGPRenderAsyncManagerSuiteVersion1, out_data);
    AEFX_SuiteScoper<AEGP_RenderSuite5> render(in_data, kAEGPRenderSuite, kAEGPRenderSuiteVersion5, out_data);
    AEFX_SuiteScoper<AEGP_WorldSuite3> worlds(in_data, kAEGPWorldSuite, kAEGPWorldSuiteVersion3, out_data);
    AEFX_SuiteScoper<PF_WorldSuite2> pfWorlds(in_data, kPFWorldSuite, kPFWorldSuiteVersion2, out_data);

    AEGP_FrameReceiptH receipt = nullptr;
    AEGP_EffectRefH effect = nullptr;
    AEGP_LayerRenderOptionsH renderOptions = nullptr;
    PF_AsyncManagerP manager = nullptr;
    PF_Err err = PF_Err_NONE, err2 = PF_Err_NONE;
    ERR(pf->AEGP_GetNewEffectForEffect(id, in_data->effect_ref, &effect));
    ERR(options->AEGP_NewFromUpstreamOfEffect(id, effect, &renderOptions));
    ERR(options->AEGP_SetDownsampleFactor(renderOptions, kInputDownsample, kInputDownsample));
    ERR(ui->PF_GetContextAsyncManager(in_data, extra, &manager));
    ERR(async->AEGP_CheckoutOrRender_LayerFrame_AsyncManager(manager, kHistogramPurpose, renderOptions, &receipt));
    if (renderOptions) ERR2(options->AEGP_Dispose(renderOptions));
    if (effect) ERR2(effects->AEGP_DisposeEffect(effect));
    // Not rendered yet: the host sends another draw event when the frame is ready.
    if (!receipt) return err;

    AEGP_WorldH worldH = nullptr;
    PF_EffectWorld world;
    std::memset(&world, 0, sizeof world);
    PF_PixelFormat format = PF_PixelFormat_INVALID;
    ERR(render->AEGP_GetReceiptWorld(receipt, &worldH));
    ERR(worlds->AEGP_FillOutPFEffectWorld(worldH, &world));
    if (!err && world.data) ERR(pfWorlds->PF_GetPixelFormat(&world, &format));
    ERR(computeHistogram(&world, format, cache));
    ERR2(render->AEGP_CheckinFrame(receipt));
    return err;
}

// Premiere Pro: the checked-out input layer at the current time. Its format comes from
// the pixel-format suite, as for the render: the layer is BGRA (8-bit or float), not
// After Effects' ARGB.
PF_Err updateFromInputLayer(PF_InData* in_data, PF_OutData* out_data, HistogramCache& cache) {
    if (!in_data->inter.checkout_param || !in_data->inter.checkin_param) return PF_Err_BAD_CALLBACK_PARAM;
    PF_ParamDef layer;
    std::memset(&layer, 0, sizeof layer);
    if (PF_Err err = PF_CHECKOUT_PARAM(in_data, 0, in_data->current_time, in_data->time_step, in_data->time_scale,
                                       &layer))
        return err;
    PF_Err err = PF_Err_NONE;
    try {
        PrPixelFormat format = PF_PixelFormat_INVALID;
        if (layer.u.ld.data) {
            AEFX_SuiteScoper<PF_PixelFormatSuite1> formats(in_data, kPFPixelFormatSuite,
                                                           kPFPixelFormatSuiteVersion1, out_data);
            err = formats->GetPixelFormat ? formats->GetPixelFormat(&layer.u.ld, &format)
                                          : PF_Err_BAD_CALLBACK_PARAM;
        }
        ERR(computeHistogram(&layer.u.ld, format, cache));
    } catch (...) {
        PF_CHECKIN_PARAM(in_data, &layer);
        throw;
    }
    const PF_Err checkinErr = PF_CHECKIN_PARAM(in_data, &layer);
    return err ? err : checkinErr;
}

PF_Err updateCachedHistogram(PF_InData* in_data, PF_OutData* out_data, PF_EventExtra* extra,
                             HistogramCache& cache) {
    if (in_data->appl_id == PF_AppId_Premiere) return updateFromInputLayer(in_data, out_data, cache);
    return updateFromAsyncRender(in_data, out_data, extra, cache);
}

// The drawing objects of one draw event, released whatever happens.
class Painter {
public:
    Painter(DRAWBOT_Suites const& suites, DRAWBOT_SupplierRef supplier, DRAWBOT_SurfaceRef surface)
        : s_(suites), supplier_(supplier), surface_(surface) {}

    PF_Err paintRect(DRAWBOT_ColorRGBA const& colour, float left, float top, float width, float height) {
        const DRAWBOT_RectF32 rect{left, top, width, height};
        return s_.surface_suiteP->PaintRect(surface_, &colour, &rect);
    }

    // A pen of that colour and width stroking a two-point path.
    PF_Err drawLine(DRAWBOT_ColorRGBA const& colour, float width, float xa, float ya, float xb, float yb) {
        DRAWBOT_PenRef pen = nullptr;
        DRAWBOT_PathRef path = nullptr;
        PF_Err err = s_.supplier_suiteP->NewPen(supplier_, &colour, width, &pen);
        ERR(s_.supplier_suiteP->NewPath(supplier_, &path));
        ERR(s_.path_suiteP->MoveTo(path, xa, ya));
        ERR(s_.path_suiteP->LineTo(path, xb, yb));
        ERR(s_.surface_suiteP->StrokePath(surface_, pen, path));
        return release(err, reinterpret_cast<DRAWBOT_ObjectRef>(path), reinterpret_cast<DRAWBOT_ObjectRef>(pen));
    }

    // Fills the closed polygon through `n` points with the winding rule.
    PF_Err fillPolygon(DRAWBOT_ColorRGBA const& colour, DRAWBOT_PointF32 const* points, int n) {
        DRAWBOT_BrushRef brush = nullptr;
        DRAWBOT_PathRef path = nullptr;
        PF_Err err = s_.supplier_suiteP->NewBrush(supplier_, &colour, &brush);
        ERR(s_.supplier_suiteP->NewPath(supplier_, &path));
        ERR(s_.path_suiteP->MoveTo(path, points[0].x, points[0].y));
        for (int i = 1; i < n && !err; ++i) err = s_.path_suiteP->LineTo(path, points[i].x, points[i].y);
        ERR(s_.path_suiteP->Close(path));
        ERR(s_.surface_suiteP->FillPath(surface_, brush, path, kDRAWBOT_FillType_Winding));
        return release(err, reinterpret_cast<DRAWBOT_ObjectRef>(path), reinterpret_cast<DRAWBOT_ObjectRef>(brush));
    }

private:
    PF_Err release(PF_Err err, DRAWBOT_ObjectRef a, DRAWBOT_ObjectRef b) {
        PF_Err err2 = PF_Err_NONE;
        if (a) ERR2(s_.supplier_suiteP->ReleaseObject(a));
        if (b) ERR2(s_.supplier_suiteP->ReleaseObject(b));
        return err;
    }

    DRAWBOT_Suites const& s_;
    DRAWBOT_SupplierRef supplier_;
    DRAWBOT_SurfaceRef surface_;
};

PF_Err paintPanel(Painter& p, PF_Rect const& frame, HistogramGeometry const& g, Histogram const& histogram) {
    const float left = static_cast<float>(frame.left), top = static_cast<float>(frame.top);
    const float right = static_cast<float>(frame.right), bottom = static_cast<float>(frame.bottom);
    PF_Err err = p.paintRect(kControlBackground, left, top, std::max(right - left, 0.0f),
                             std::max(bottom - top, 0.0f));
    ERR(p.paintRect(kPlotBackground, g.x0, g.y0, g.w, g.h));
    ERR(p.paintRect(kSelectedBand, g.thresholdX, g.y0, g.x1 - g.thresholdX, g.h));
    ERR(p.paintRect(kSoftBand, g.lowerX, g.y0, g.thresholdX - g.lowerX, g.h));
    if (!err && histogram.valid) {
        DRAWBOT_PointF32 points[kHistogramBins + 2];
        points[0] = {g.x0, g.y1};
        for (int i = 0; i < kHistogramBins; ++i)
            points[i + 1] = {g.x0 + (static_cast<float>(i) / 255.0f) * g.w,
                             g.y1 - histogram.bins[i] * (g.h - 2.0f)};
        points[kHistogramBins + 1] = {g.x1, g.y1};
        err = p.fillPolygon(kFill, points, kHistogramBins + 2);
    }
    ERR(p.drawLine(kBaseline, 1.0f, g.x0, g.y1, g.x1, g.y1));
    ERR(p.drawLine(kAccent, 1.25f, g.thresholdX, g.y0, g.thresholdX, g.y1));
    ERR(p.drawLine(kHandle, 1.0f, g.lowerX, g.y0, g.lowerX, g.y1));
    // The upper cut is fixed at the right edge.
    ERR(p.drawLine(kHandle, 1.0f, g.x1, g.y0, g.x1, g.y1));
    ERR(p.drawLine(kAccent, 1.25f, g.x1, g.y0, g.x1, g.y1));
    if (!err) {
        const DRAWBOT_PointF32 triangle[3] = {
            {g.thresholdX, g.y1}, {g.thresholdX - 5.0f, g.y1 + 8.0f}, {g.thresholdX + 5.0f, g.y1 + 8.0f}};
        err = p.fillPolygon(kAccent, triangle, 3);
    }
    ERR(p.paintRect(kHandle, g.lowerX - 4.0f, g.y1 + 14.0f, 8.0f, 8.0f));
    return err;
}

bool readThresholds(PF_ParamDef** params, double& threshold, double& smooth) {
    if (!params || !params[kParamThreshold] || !params[kParamThresholdSmooth]) return false;
    threshold = params[kParamThreshold]->u.fs_d.value;
    smooth = params[kParamThresholdSmooth]->u.fs_d.value;
    return true;
}

HistogramGeometry geometryOf(PF_EventExtra const* extra, double threshold, double smooth) {
    PF_Rect const& f = extra->effect_win.current_frame;
    return histogramGeometry(static_cast<float>(f.left), static_cast<float>(f.top), static_cast<float>(f.right),
                             static_cast<float>(f.bottom), threshold, smooth);
}

PF_Err drawHistogram(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params, PF_EventExtra* extra,
                     HistogramCache const& cache) {
    double threshold = 0.0, smooth = 0.0;
    if (!readThresholds(params, threshold, smooth)) return PF_Err_BAD_CALLBACK_PARAM;
    const HistogramGeometry g = geometryOf(extra, threshold, smooth);

    return paintContext(in_data, out_data, extra, [&](DrawTarget const& t) {
        Painter painter(t.suites, t.supplier, t.surface);
        return paintPanel(painter, extra->effect_win.current_frame, g, cache.histogram);
    });
}

void writeValue(PF_ParamDef* param, double value) {
    param->u.fs_d.value = value;
    param->uu.change_flags |= PF_ChangeFlag_CHANGED_VALUE;
}

PF_Err handlePointerEvent(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params, PF_EventExtra* extra,
                          bool dragging) {
    if (!onControl(extra)) return PF_Err_NONE;
    double threshold = 0.0, smooth = 0.0;
    if (!in_data || !readThresholds(params, threshold, smooth)) return PF_Err_BAD_CALLBACK_PARAM;
    PF_Mouse& mouse = dragging ? extra->u.drag : extra->u.do_click;
    const HistogramGeometry g = geometryOf(extra, threshold, smooth);
    const float mx = static_cast<float>(mouse.screen_point.h), my = static_cast<float>(mouse.screen_point.v);

    HistogramHandle handle = HistogramHandle::None;
    if (!dragging) {
        handle = pickHandle(g, mx, my);
    } else if (mouse.continue_refcon[0] == static_cast<A_long>(HistogramHandle::Threshold)) {
        handle = HistogramHandle::Threshold;
    } else if (mouse.continue_refcon[0] == static_cast<A_long>(HistogramHandle::Lower)) {
        handle = HistogramHandle::Lower;
    } else {
        return PF_Err_NONE;
    }

    const ThresholdValues v = moveHandle(handle, percentAt(g, mx), threshold, smooth);
    if (std::fabs(v.threshold - threshold) > kValueEpsilon) writeValue(params[kParamThreshold], v.threshold);
    if (std::fabs(v.smooth - smooth) > kValueEpsilon) writeValue(params[kParamThresholdSmooth], v.smooth);

    mouse.continue_refcon[0] = static_cast<A_long>(handle);
    mouse.send_drag = mouse.last_time ? 0 : 1;
    if (mouse.last_time) mouse.continue_refcon[0] = 0;
    extra->evt_out_flags |= PF_EO_HANDLED_EVENT | PF_EO_ALWAYS_UPDATE | PF_EO_UPDATE_NOW;

    AEFX_SuiteScoper<PF_AppSuite6> app(in_data, kPFAppSuite, kPFAppSuiteVersion6, out_data);
    if (!app->PF_InvalidateRect) return PF_Err_BAD_CALLBACK_PARAM;
    return app->PF_InvalidateRect(extra->contextH, &extra->effect_win.current_frame);
}

}  // namespace

PF_Err SetupHistogramGlobal(PF_InData* in_data, PF_OutData* out_data) {
    if (!in_data || !out_data) return PF_Err_BAD_CALLBACK_PARAM;
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    const PF_HandleSuite2* handles = suites.HandleSuite2();
    PF_Handle handle = handles->host_new_handle(sizeof(std::uint32_t));
    if (!handle) return PF_Err_OUT_OF_MEMORY;
    void* data = handles->host_lock_handle(handle);
    if (!data) {
        handles->host_dispose_handle(handle);
        return PF_Err_OUT_OF_MEMORY;
    }
    // 0 means "not registered": the control then leaves its cache as it is.
    std::uint32_t id = 0;
    PF_Err err = PF_Err_NONE;
    if (in_data->appl_id != PF_AppId_Premiere) {
        // The asynchronous input render is an AEGP service, so the effect registers as one.
        try {
            AEFX_SuiteScoper<AEGP_UtilitySuite7> utility(in_data, kAEGPUtilitySuite, kAEGPUtilitySuiteVersion7,
                                                         out_data);
            AEGP_PluginID registered = 0;
            err = utility->AEGP_RegisterWithAEGP ? utility->AEGP_RegisterWithAEGP(nullptr, kPluginName, &registered)
                                                 : PF_Err_BAD_CALLBACK_PARAM;
            if (!err) id = static_cast<std::uint32_t>(registered);
        } catch (A_Err code) {
            err = code;
        }
    }
    std::memcpy(data, &id, sizeof id);
    handles->host_unlock_handle(handle);
    if (err) {
        handles->host_dispose_handle(handle);
        return err;
    }
    out_data->global_data = handle;
    return PF_Err_NONE;
}

PF_Err SetdownHistogramGlobal(PF_InData* in_data) {
    if (!in_data || !in_data->global_data) return PF_Err_NONE;
    AEGP_SuiteHandler suites(in_data->pica_basicP);
    suites.HandleSuite2()->host_dispose_handle(in_data->global_data);
    in_data->global_data = nullptr;
    return PF_Err_NONE;
}

PF_Err HandleHistogramEvent(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params,
                            PF_EventExtra* extra) {
    if (!extra || !extra->contextH || !*extra->contextH) return PF_Err_NONE;
    PF_Context* context = *extra->contextH;
    switch (extra->e_type) {
    case PF_Event_NEW_CONTEXT:
        return cacheFromContext(context) ? PF_Err_NONE : PF_Err_OUT_OF_MEMORY;
    case PF_Event_DO_CLICK:
        return handlePointerEvent(in_data, out_data, params, extra, false);
    case PF_Event_DRAG:
        return handlePointerEvent(in_data, out_data, params, extra, true);
    case PF_Event_DRAW: {
        if (!onControl(extra)) return PF_Err_NONE;
        if (!in_data) return PF_Err_BAD_CALLBACK_PARAM;
        HistogramCache* cache = cacheFromContext(context);
        if (!cache) return PF_Err_OUT_OF_MEMORY;
        if (PF_Err err = updateCachedHistogram(in_data, out_data, extra, *cache)) return err;
        return drawHistogram(in_data, out_data, params, extra, *cache);
    }
    case PF_Event_ADJUST_CURSOR:
        if (onControl(extra)) {
            extra->u.adjust_cursor.set_cursor = PF_Cursor_RESIZE_HORIZONTAL;
            extra->evt_out_flags |= PF_EO_HANDLED_EVENT;
        }
        return PF_Err_NONE;
    case PF_Event_CLOSE_CONTEXT:
        freeCache(context);
        return PF_Err_NONE;
    default:
        return PF_Err_NONE;
    }
}

}  // namespace raydrift::ui

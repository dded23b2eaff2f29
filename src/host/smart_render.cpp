#include "host/smart_render.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "AEFX_SuiteHelper.h"
#include "AE_EffectSuites.h"
#include "AE_Macros.h"
#include "PrSDKPixelFormat.h"
#include "gpu/aegpu.h"
#if defined(_WIN32)
#include "gpu/windows/d3d11_backend.h"
#endif
#include "host/bounds.h"
#include "host/frame_buffers.h"
#include "host/frame_memory.h"
#include "host/pixel_formats.h"
#include "image/frame.h"
#include "settings/param_indices.h"
#include "settings/parameters.h"
#include "settings/render_settings.h"
#include "settings/units.h"

namespace raydrift {

namespace {

using image::Image;

constexpr std::int64_t kMaxCanvasPixels = std::int64_t{1} << 32;

struct PreRenderData {
    RenderSettings settings;
    PF_LRect layerRect{0, 0, 0, 0};   // where the effect produces pixels, layer coordinates
    PF_LRect outputRect{0, 0, 0, 0};  // the requested part of it; the output world's extent
    std::int32_t refWidth = 0;        // the layer before downsampling
    std::int32_t refHeight = 0;
};

void deletePreRenderData(void* p) { delete static_cast<PreRenderData*>(p); }

bool isEmpty(PF_LRect const& r) { return r.right <= r.left || r.bottom <= r.top; }

// 64-bit extents: a rectangle spanning most of the int range must not overflow.
std::int64_t rectWidth(PF_LRect const& r) { return std::int64_t{r.right} - r.left; }
std::int64_t rectHeight(PF_LRect const& r) { return std::int64_t{r.bottom} - r.top; }

double frameTime(PF_InData const* in_data) {
    return in_data->time_scale == 0 ? 0.0
                                    : static_cast<double>(in_data->current_time) / in_data->time_scale;
}

// The layer's size at the current resolution: ⌈num·size / den⌉, a denominator of 0
// counting as 1. Saturates instead of leaving the int range.
std::int32_t downsampled(std::int32_t size, PF_RationalScale const& s) {
    const double den = std::max<double>(s.den, 1.0);
    const double v = std::ceil(static_cast<double>(s.num) * std::max(size, 0) / den);
    if (!(v > 0.0)) return 0;
    return v >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<std::int32_t>(v);
}

bool abortRequested(PF_InData* in_data, PF_Err& err) {
    if (!in_data->inter.abort) return false;
    err = PF_ABORT(in_data);
    return err != PF_Err_NONE;
}

// The error writeWorld would give for a missing world, missing data or unknown format,
// found before any work is done.
PF_Err checkOutput(PF_LayerDef const* output, int format) {
    if (!output) return PF_Err_BAD_CALLBACK_PARAM;
    if (pixel_formats::bytesPerPixel(format) == 0) return PF_Err_UNRECOGNIZED_PARAM_TYPE;
    if (!output->data) return PF_Err_BAD_CALLBACK_PARAM;
    return PF_Err_NONE;
}

// Premiere Pro float frames: pixels the effect left as they were get the host's own
// bytes back, which the round trip through premultiplied float would otherwise alter
// (colour under zero alpha above all).
void passThroughUntouched(PF_LayerDef const* input, PF_LayerDef* output, Image const& source,
                          Image const& result, PreRenderData const* pre) {
    const std::int64_t inputShiftX = pre ? std::int64_t{pre->outputRect.left} - input->origin_x : 0;
    const std::int64_t inputShiftY = pre ? std::int64_t{pre->outputRect.top} - input->origin_y : 0;
    const std::int64_t engineShiftX = pre ? std::int64_t{pre->outputRect.left} - pre->layerRect.left : 0;
    const std::int64_t engineShiftY = pre ? std::int64_t{pre->outputRect.top} - pre->layerRect.top : 0;
    auto const* inBase = reinterpret_cast<unsigned char const*>(input->data);
    auto* outBase = reinterpret_cast<unsigned char*>(output->data);
    for (std::int64_t y = 0; y < output->height; ++y) {
        const std::int64_t iy = y + inputShiftY;
        const std::int64_t ey = y + engineShiftY;
        if (iy < 0 || iy >= input->height || ey < 0 || ey >= source.height) continue;
        for (std::int64_t x = 0; x < output->width; ++x) {
            const std::int64_t ix = x + inputShiftX;
            const std::int64_t ex = x + engineShiftX;
            if (ix < 0 || ix >= input->width || ex < 0 || ex >= source.width) continue;
            image::Pixel const& before = source.at(static_cast<int>(ex), static_cast<int>(ey));
            image::Pixel const& after = result.at(static_cast<int>(ex), static_cast<int>(ey));
            if (std::memcmp(&before, &after, sizeof before) != 0) continue;
            std::memcpy(outBase + y * output->rowbytes + x * 16, inBase + iy * input->rowbytes + ix * 16, 16);
        }
    }
}

// Whether `hostPixels` engine pixels of the host side plus `engineBytes` of the frame
// driver fit the memory one render may take.
bool fitsInMemory(std::uint64_t hostPixels, std::uint64_t engineBytes) {
    return frame_memory::saturatingAdd(frame_memory::saturatingMul(hostPixels, sizeof(image::Pixel)), engineBytes) <=
           frame_memory::limit();
}

#if defined(_WIN32)
// The Direct3D renderer's code for a host pixel format; -1 for none.
std::int32_t nativeLayout(int format) {
    switch (format) {
    case PrPixelFormat_BGRA_4444_32f:
        return 0;
    case PrPixelFormat_BGRA_4444_8u:
        return 1;
    case PF_PixelFormat_ARGB32:
        return 2;
    case PF_PixelFormat_ARGB64:
        return 3;
    case PF_PixelFormat_ARGB128:
        return 4;
    default:
        return -1;
    }
}

// Offers the worlds, in their own layouts, to the Direct3D renderer: true when it wrote
// the output. The canvas is the layer (smart render) or the input; the input sits on it
// at its origin, the output is the requested rectangle of it.
bool renderNativeWorlds(PF_LayerDef const* input, PF_LayerDef* output, int readFormat, int outputFormat,
                        RenderSettings const& settings, PreRenderData const* pre) {
    if (!settings.useGpu || !input || !input->data || !output || !output->data) return false;
    d3d11::NativeWorld w;
    w.input = input->data;
    w.output = output->data;
    w.inputStride = input->rowbytes;
    w.outputStride = output->rowbytes;
    w.inputLayout = nativeLayout(readFormat);
    w.outputLayout = nativeLayout(outputFormat);
    w.sourceWidth = input->width;
    w.sourceHeight = input->height;
    w.destinationWidth = output->width;
    w.destinationHeight = output->height;
    if (pre) {
        const std::int64_t values[] = {rectWidth(pre->layerRect), rectHeight(pre->layerRect),
                                       std::int64_t{input->origin_x} - pre->layerRect.left,
                                       std::int64_t{input->origin_y} - pre->layerRect.top,
                                       std::int64_t{pre->outputRect.left} - pre->layerRect.left,
                                       std::int64_t{pre->outputRect.top} - pre->layerRect.top};
        for (std::int64_t v : values)
            if (v < INT32_MIN || v > INT32_MAX) return false;
        w.width = static_cast<std::int32_t>(values[0]);
        w.height = static_cast<std::int32_t>(values[1]);
        w.sourceX = static_cast<std::int32_t>(values[2]);
        w.sourceY = static_cast<std::int32_t>(values[3]);
        w.destinationX = static_cast<std::int32_t>(values[4]);
        w.destinationY = static_cast<std::int32_t>(values[5]);
    } else {
        w.width = input->width;
        w.height = input->height;
    }
    return d3d11::nativeFrame(w, settings, nullptr);
}
#endif

PF_Err processWorldsUnguarded(PF_InData* in_data, PF_LayerDef const* input, PF_LayerDef* output,
                              int outputFormat, RenderSettings const& settings,
                              PreRenderData const* pre, int inputFormat) {
    const int readFormat = inputFormat == PF_PixelFormat_INVALID ? outputFormat : inputFormat;
    const bool hasInput = input && input->data && input->width > 0 && input->height > 0;
#if defined(_WIN32)
    if (renderNativeWorlds(input, output, readFormat, outputFormat, settings, pre)) return PF_Err_NONE;
#endif

    // Premiere Pro's exact pass-through compares the whole source with the whole result.
    const bool passThrough = hasInput && readFormat == PrPixelFormat_BGRA_4444_32f &&
                             outputFormat == PrPixelFormat_BGRA_4444_32f &&
                             (settings.view == ViewMode::Performance || settings.view == ViewMode::Quality);
    // Whether the engine reads the input world and writes the output world row by row, as
    // its passes reach them: when the input is the whole layer and the output all of it,
    // and the two are not one buffer.
    const bool apart = !hasInput || !output || input->data != output->data;
    bool streamed = false;
    frame_buffers::Borrowed borrowedSource;
    Image& source = borrowedSource.image;
    if (pre) {
        if (!output) return PF_Err_BAD_CALLBACK_PARAM;
        if (isEmpty(pre->outputRect)) return PF_Err_NONE;
        if (output->width != rectWidth(pre->outputRect) || output->height != rectHeight(pre->outputRect))
            return PF_Err_BAD_CALLBACK_PARAM;
        if (PF_Err err = checkOutput(output, outputFormat)) return err;
        const std::int64_t layerW = std::max<std::int64_t>(0, rectWidth(pre->layerRect));
        const std::int64_t layerH = std::max<std::int64_t>(0, rectHeight(pre->layerRect));
        if (layerW > INT32_MAX || layerH > INT32_MAX) return PF_Err_BAD_CALLBACK_PARAM;
        // Beyond 2^32 pixels (64 GiB of float pixels) the rectangles cannot describe a real
        // layer; refuse them rather than let the allocation decide.
        if (layerW * layerH > kMaxCanvasPixels) return PF_Err_BAD_CALLBACK_PARAM;
        const bool covers = hasInput && input->width == layerW && input->height == layerH &&
                            input->origin_x == pre->layerRect.left && input->origin_y == pre->layerRect.top;
        // The layer image, the input placed into it, the cropped output and the engine's
        // own images, before any of them exists.
        const std::uint64_t hostPixels = frame_memory::saturatingAdd(
            frame_memory::saturatingAdd(static_cast<std::uint64_t>(layerW * layerH),
                                        static_cast<std::uint64_t>(output->width) * std::max(output->height, 0)),
            hasInput && !covers ? static_cast<std::uint64_t>(input->width) * static_cast<std::uint64_t>(input->height)
                                : 0);
        if (!fitsInMemory(hostPixels, frame_memory::frameBytes(layerW, layerH, settings)))
            return PF_Err_OUT_OF_MEMORY;
        streamed = covers && apart && !passThrough && pre->outputRect.left == pre->layerRect.left &&
                   pre->outputRect.top == pre->layerRect.top && output->width == layerW && output->height == layerH;
        if (!streamed) source.resize(static_cast<int>(layerW), static_cast<int>(layerH));
        // A borrowed image holds an earlier frame: what the input does not cover is clear.
        if (!covers) std::fill(source.pixels.begin(), source.pixels.end(), image::Pixel{});
        if (hasInput && !streamed) {
            if (covers) {
                if (PF_Err err = pixel_formats::readWorld(input, readFormat, source)) return err;
            } else {
                Image placed;
                if (PF_Err err = pixel_formats::readWorld(input, readFormat, placed)) return err;
                const std::int64_t dx = std::int64_t{input->origin_x} - pre->layerRect.left;
                const std::int64_t dy = std::int64_t{input->origin_y} - pre->layerRect.top;
                // Beyond the int range nothing can overlap the layer image.
                if (dx > INT32_MIN && dx < INT32_MAX && dy > INT32_MIN && dy < INT32_MAX)
                    bounds::blit(placed, source, static_cast<int>(dx), static_cast<int>(dy));
            }
        }
    } else {
        if (!input || !output || input->width != output->width || input->height != output->height)
            return PF_Err_BAD_CALLBACK_PARAM;
        if (PF_Err err = checkOutput(output, outputFormat)) return err;
        if (!fitsInMemory(static_cast<std::uint64_t>(std::max(input->width, 0)) * std::max(input->height, 0),
                          frame_memory::frameBytes(input->width, input->height, settings)))
            return PF_Err_OUT_OF_MEMORY;
        streamed = hasInput && apart && !passThrough;
        if (!streamed)
            if (PF_Err err = pixel_formats::readWorld(input, readFormat, source)) return err;
    }
    if (streamed)
        if (PF_Err err = pixel_formats::checkRows(input, readFormat, output, outputFormat)) return err;

    PF_Err err = PF_Err_NONE;
    if (abortRequested(in_data, err)) return err;

    const bool alphaView = settings.view == ViewMode::Alpha;
    frame_buffers::Borrowed borrowedResult;
    Image& result = borrowedResult.image;
    if (streamed) {
        // A cancel is honoured up to the first output row; from there the frame finishes.
        image::FrameRows rows = pixel_formats::worldRows(input, readFormat, output, outputFormat, alphaView);
        rows.proceed = [&] { return !abortRequested(in_data, err); };
        return image::processFrame(rows, source, result, settings) ? PF_Err_NONE : err;
    }
    image::processFrame(source, result, settings);

    if (abortRequested(in_data, err)) return err;

    // One buffer for both worlds: the pass-through needs the host's bytes from before the
    // write, so they are kept aside first.
    std::vector<unsigned char> keptBytes;
    PF_LayerDef kept;
    PF_LayerDef const* original = input;
    if (passThrough && !apart) {
        const std::size_t row = static_cast<std::size_t>(input->width) * 16;
        keptBytes.resize(row * static_cast<std::size_t>(input->height));
        for (int y = 0; y < input->height; ++y)
            std::memcpy(keptBytes.data() + row * static_cast<std::size_t>(y),
                        reinterpret_cast<unsigned char const*>(input->data) +
                            static_cast<std::ptrdiff_t>(y) * input->rowbytes,
                        row);
        kept = *input;
        kept.data = reinterpret_cast<PF_PixelPtr>(keptBytes.data());
        kept.rowbytes = static_cast<A_long>(row);
        original = &kept;
    }

    if (pre && !(pre->outputRect.left == pre->layerRect.left && pre->outputRect.top == pre->layerRect.top &&
                 output->width == result.width && output->height == result.height)) {
        Image cropped(output->width, output->height);
        bounds::blit(result, cropped, static_cast<int>(std::int64_t{pre->layerRect.left} - pre->outputRect.left),
                     static_cast<int>(std::int64_t{pre->layerRect.top} - pre->outputRect.top));
        err = pixel_formats::writeWorld(cropped, outputFormat, output, alphaView);
    } else {
        err = pixel_formats::writeWorld(result, outputFormat, output, alphaView);
    }
    if (err) return err;

    if (passThrough) passThroughUntouched(original, output, source, result, pre);
    return PF_Err_NONE;
}

// The CPU render of one frame. Memory exhaustion is 4, any other failure 512; every
// engine image is released on the way out.
PF_Err processWorlds(PF_InData* in_data, PF_LayerDef const* input, PF_LayerDef* output, int outputFormat,
                     RenderSettings const& settings, PreRenderData const* pre, int inputFormat) {
    try {
        return processWorldsUnguarded(in_data, input, output, outputFormat, settings, pre, inputFormat);
    } catch (std::bad_alloc const&) {
        return PF_Err_OUT_OF_MEMORY;
    } catch (...) {
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
}

// The formats of the smart-render worlds. A missing world suite is reported to the
// user and answered 13; the caller still checks the input back in.
PF_Err worldFormats(PF_InData* in_data, PF_OutData* out_data, PF_EffectWorld const* input,
                    PF_EffectWorld const* output, bool gpuCall, PF_PixelFormat& inputFormat,
                    PF_PixelFormat& outputFormat) {
    try {
        AEFX_SuiteScoper<PF_WorldSuite2> worlds(in_data, kPFWorldSuite, kPFWorldSuiteVersion2, out_data);
        if (!worlds->PF_GetPixelFormat) return PF_Err_BAD_CALLBACK_PARAM;
        PF_Err err = output ? worlds->PF_GetPixelFormat(output, &outputFormat) : PF_Err_NONE;
        if (!err && input && (input->data || gpuCall)) err = worlds->PF_GetPixelFormat(input, &inputFormat);
        return err;
    } catch (A_Err code) {
        return code;
    }
}

}  // namespace

PF_Err SmartPreRender(PF_InData* in_data, PF_OutData* /*out_data*/, PF_PreRenderExtra* extra) {
    if (!in_data || !extra || !extra->input || !extra->output || !extra->cb || !extra->cb->checkout_layer ||
        !in_data->inter.checkout_param || !in_data->inter.checkin_param)
        return PF_Err_BAD_CALLBACK_PARAM;

    std::array<PF_ParamDef, kRenderParameterIndices.size()> defs;
    std::array<PF_ParamDef*, kParamCount> params{};
    std::size_t checkedOut = 0;
    PF_Err err = PF_Err_NONE;
    for (int index : kRenderParameterIndices) {
        PF_ParamDef& def = defs[checkedOut];
        std::memset(&def, 0, sizeof def);
        err = PF_CHECKOUT_PARAM(in_data, index, in_data->current_time, in_data->time_step,
                                in_data->time_scale, &def);
        if (err) break;
        params[index] = &def;
        ++checkedOut;
    }
    RenderSettings settings;
    if (!err) settings = SettingsFromParams(params.data(), frameTime(in_data));
    PF_Err checkinErr = PF_Err_NONE;
    for (std::size_t i = 0; i < checkedOut; ++i) {
        const PF_Err e = PF_CHECKIN_PARAM(in_data, &defs[i]);
        if (!checkinErr) checkinErr = e;
    }
    if (err) return err;
    if (checkinErr) return checkinErr;

    PF_RenderRequest request = extra->input->output_request;
    request.rect = PF_LRect{0, 0, 0, 0};
    request.field = PF_Field_FRAME;
    request.preserve_rgb_of_zero_alpha = true;
    PF_CheckoutResult layer;
    std::memset(&layer, 0, sizeof layer);
    // Id 1000: the layer's bounds only, before the rectangles are known.
    err = extra->cb->checkout_layer(in_data->effect_ref, 0, 1000, &request, in_data->current_time,
                                    in_data->time_step, in_data->time_scale, &layer);
    if (err) return err;

    auto pre = std::make_unique<PreRenderData>();
    pre->settings = settings;
    pre->refWidth = layer.ref_width;
    pre->refHeight = layer.ref_height;

    const std::int32_t w = downsampled(pre->refWidth, in_data->downsample_x);
    const std::int32_t h = downsampled(pre->refHeight, in_data->downsample_y);
    // Streak sizes follow the whole layer, not the requested part of it.
    pre->settings.scale =
        std::sqrt(static_cast<float>(std::max(w, 1)) * static_cast<float>(std::max(h, 1)) / kReferenceFramePixels);

    PF_LRect const& possible = layer.max_result_rect;
    if (!isEmpty(possible))
        pre->layerRect = PF_LRect{std::min(possible.left, 0), std::min(possible.top, 0),
                                  std::max(possible.right, w), std::max(possible.bottom, h)};
    PF_LRect const& requested = extra->input->output_request.rect;
    PF_LRect out{std::max(requested.left, pre->layerRect.left), std::max(requested.top, pre->layerRect.top),
                 std::min(requested.right, pre->layerRect.right),
                 std::min(requested.bottom, pre->layerRect.bottom)};
    pre->outputRect = isEmpty(out) ? PF_LRect{0, 0, 0, 0} : out;

    extra->output->max_result_rect = pre->layerRect;
    extra->output->result_rect = pre->outputRect;
    if (isEmpty(pre->outputRect)) return PF_Err_NONE;

    // Id 0: the pixels render will use, all the input can give.
    PF_RenderRequest pixels = request;
    pixels.rect = possible;
    PF_CheckoutResult checkedPixels;
    std::memset(&checkedPixels, 0, sizeof checkedPixels);
    err = extra->cb->checkout_layer(in_data->effect_ref, 0, 0, &pixels, in_data->current_time,
                                    in_data->time_step, in_data->time_scale, &checkedPixels);
    if (err) return err;

    extra->output->delete_pre_render_data_func = deletePreRenderData;
    if (pre->settings.useGpu && !isEmpty(possible) &&
        aegpu::available(extra->input->gpu_data, extra->input->what_gpu))
        extra->output->flags |= PF_RenderOutputFlag_GPU_RENDER_POSSIBLE;
    extra->output->pre_render_data = pre.release();
    return PF_Err_NONE;
}

PF_Err SmartRender(PF_InData* in_data, PF_OutData* out_data, PF_SmartRenderExtra* extra) {
    if (!in_data || !extra || !extra->input) return PF_Err_BAD_CALLBACK_PARAM;
    auto const* pre = static_cast<PreRenderData const*>(extra->input->pre_render_data);
    if (!pre) return PF_Err_NONE;
    PF_SmartRenderCallbacks const* cb = extra->cb;
    if (!cb || !cb->checkout_layer_pixels || !cb->checkin_layer_pixels || !cb->checkout_output)
        return PF_Err_BAD_CALLBACK_PARAM;

    PF_EffectWorld* input = nullptr;
    if (PF_Err err = cb->checkout_layer_pixels(in_data->effect_ref, 0, &input)) return err;

    const bool gpuCall = extra->input->what_gpu != PF_GPU_Framework_NONE;
    PF_EffectWorld* output = nullptr;
    PF_PixelFormat inputFormat = PF_PixelFormat_INVALID;
    PF_PixelFormat outputFormat = PF_PixelFormat_INVALID;
    PF_Err err = cb->checkout_output(in_data->effect_ref, &output);
    if (!err) err = worldFormats(in_data, out_data, input, output, gpuCall, inputFormat, outputFormat);
    if (!err) {
        if (gpuCall) {
            err = inputFormat == PF_PixelFormat_GPU_BGRA128 && outputFormat == PF_PixelFormat_GPU_BGRA128
                      ? aegpu::render(in_data, extra, input, output, pre->settings, pre->layerRect,
                                      pre->outputRect, pre->refWidth, pre->refHeight)
                      : PF_Err_BAD_CALLBACK_PARAM;
        } else {
            err = processWorlds(in_data, input, output, outputFormat, pre->settings, pre, inputFormat);
        }
    }
    const PF_Err checkinErr = cb->checkin_layer_pixels(in_data->effect_ref, 0);
    return err ? err : checkinErr;
}

PF_Err RenderFrame(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef** params, PF_LayerDef* output) {
    if (!in_data || !params || !params[0] || !output) return PF_Err_BAD_CALLBACK_PARAM;
    const RenderSettings settings = SettingsFromParams(params, frameTime(in_data));
    PF_LayerDef const* input = &params[0]->u.ld;

    if (in_data->appl_id == PF_AppId_Premiere) {
        PrPixelFormat outputFormat = PF_PixelFormat_INVALID;
        PrPixelFormat inputFormat = PF_PixelFormat_INVALID;
        {
            AEFX_SuiteScoper<PF_PixelFormatSuite1> formats(in_data, kPFPixelFormatSuite,
                                                           kPFPixelFormatSuiteVersion1, out_data);
            if (!formats->GetPixelFormat) return PF_Err_BAD_CALLBACK_PARAM;
            if (PF_Err err = formats->GetPixelFormat(output, &outputFormat)) return err;
            if (PF_Err err = formats->GetPixelFormat(&params[0]->u.ld, &inputFormat)) return err;
        }
        return processWorlds(in_data, input, output, outputFormat, settings, nullptr, inputFormat);
    }
    const int format = (output->world_flags & PF_WorldFlag_DEEP) ? PF_PixelFormat_ARGB64 : PF_PixelFormat_ARGB32;
    return processWorlds(in_data, input, output, format, settings, nullptr, format);
}

}  // namespace raydrift

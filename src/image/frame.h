// The CPU renderer's one entry point: a whole frame, at full resolution or through the
// quarter-resolution Performance path.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "image/frame_plan.h"
#include "image/frame_rows.h"
#include "image/image.h"
#include "settings/render_settings.h"

namespace raydrift::image {

// What the GPU renderer of this build offers the frame driver. Each entry renders and
// returns true, or declines: returns false with its output untouched (the reason in
// `message` when it is not null) and never throws; the driver then renders that part on
// the CPU. A null entry is never offered.
struct GpuOffers {
    // The whole frame, with settings not yet animated.
    bool (*frame)(Image const& input, Image& output, RenderSettings const& settings, std::string* message) = nullptr;
    // The Matte view; when null, the Matte view is offered to `frame`.
    bool (*matte)(Image const& input, Image& output, RenderSettings const& settings, std::string* message) = nullptr;
    // The streak stage of a frame rendered on the CPU, offered before generateStreak with
    // its arguments and the same contract for the result.
    bool (*streaks)(Image& selection, Image& scratch, RenderSettings const& settings, int margin,
                    std::string* message) = nullptr;
};

// This build's offers: the Direct3D 11 renderer's three entries on Windows, the Metal
// frame renderer elsewhere.
GpuOffers platformGpuOffers();

// Renders one frame: `dst` becomes the output of src's size (premultiplied float RGBA);
// its previous content and size do not matter, and it may be `src` itself.
// The frame is first offered to the GPU frame renderer when settings.useGpu asks for it
// (and there is something to render); a declined frame renders here. While rendering,
// parallel::activeFrames counts this frame, so concurrent frames share the workers.
// Failures (std::bad_alloc, or an exception from a stage) leave as exceptions with
// `dst` unspecified and the frame no longer counted.
void processFrame(Image const& src, Image& dst, RenderSettings const& settings);
// The same with the given offers instead of this build's: when settings.useGpu is set,
// the frame goes to the Matte or whole-frame offer first; a declined frame renders on the
// CPU, whose streak stage is offered to `offers.streaks` before the CPU makes the streaks.
void processFrame(Image const& src, Image& dst, RenderSettings const& settings, GpuOffers const& offers);

// Renders one frame whose input and output are the caller's rows (a host's world): the
// same bits as processFrame on the input read into an image and the output written from
// one, without either image where the frame's passes can read and write rows as they go.
// `source` takes the input as an image where a stage needs it whole (the GPU offers, the
// chromatic colour stage at full resolution); `scratch` is the working image. Before the
// first output row is written, rows.proceed() is asked once: false returns false with the
// output unwritten. Failures leave as processFrame's do, the output possibly part-written.
bool processFrame(FrameRows const& rows, Image& source, Image& scratch, RenderSettings const& settings);
bool processFrame(FrameRows const& rows, Image& source, Image& scratch, RenderSettings const& settings,
                  GpuOffers const& offers);

// Called after each stage of a frame with the stage's name ("stage_select" or
// "stage_reduce", "stage_streak", "stage_color", "stage_composite"; a full-resolution
// frame with the plain compositor makes and composites its streaks in one stage,
// "stage_streak_composite"): the benchmark's stage breakdown times the driver's own
// sequence through it.
using StageHook = std::function<void(char const* stage)>;

// The streak paths of processFrame: renders `plan` (planFrame for src's size and the
// frame's settings) into `dst`, which must not be `src`. Plans of the other paths
// render nothing here. `lap`, when set, is called after each stage.
void renderPlan(Image const& src, Image& dst, FramePlan const& plan, StageHook const& lap);

// The quarter-resolution selection: pixel (X, Y) of `selected` (resized to
// ceil(w/4) × ceil(h/4)) is the mean over the source pixels (4X + i, 4Y + j) inside the
// frame of pixel × its luminance mask; edge blocks average their real pixels only. With
// `smallSource` (resized likewise) the plain mean of the same pixels is stored there too.
// Pixels are summed in block order (j outer, i inner) whatever the thread split.
void reduceQuarter(RowSource const& src, Image& selected, Image* smallSource,
                   RenderSettings const& settings);

// Frees the working image processFrame keeps between frames (the host's global set-down).
void releaseWorkingMemory() noexcept;

// Gives `image` capacity for `pixels` pixels without touching them, so that later resizes
// up to that size neither move nor copy it; when it has to grow its content is dropped
// (callers overwrite it). On Linux the untouched buffer is offered huge pages, which makes
// the first touch of a fresh frame-sized buffer several times cheaper; a hint only.
void reserveFramePixels(Image& image, std::size_t pixels);

}  // namespace raydrift::image

#include "image/frame.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(_WIN32)
#include "gpu/windows/d3d11_backend.h"
#else
#include "gpu/metal_frame.h"
#endif
#include "image/color.h"
#include "image/composite.h"
#include "image/luminance.h"
#include "image/parallel.h"
#include "image/streak.h"
#include "image/vector_units.h"

namespace raydrift::image {

namespace {

// Counts this frame in parallel::activeFrames for as long as it renders on the CPU,
// whichever way the call ends.
class ActiveFrame {
public:
    ActiveFrame() { parallel::activeFrames.fetch_add(1, std::memory_order_acq_rel); }
    ~ActiveFrame() { parallel::activeFrames.fetch_sub(1, std::memory_order_acq_rel); }
    ActiveFrame(ActiveFrame const&) = delete;
    ActiveFrame& operator=(ActiveFrame const&) = delete;
};

// The selection image of the last frame, kept for the next one. A frame-sized buffer
// allocated per frame is fresh memory every time: its page faults and the zero fill of
// its first resize cost a fifth of a Quality frame at 1080p (bench: quality-1080p). One
// idle buffer is kept (the larger one when frames return theirs at once); a frame that
// finds none allocates as before.
std::mutex idleWorkingMutex;
Image idleWorking;

class BorrowedWorking {
public:
    BorrowedWorking() {
        std::lock_guard<std::mutex> lock(idleWorkingMutex);
        std::swap(image, idleWorking);
    }
    ~BorrowedWorking() {
        std::lock_guard<std::mutex> lock(idleWorkingMutex);
        if (image.pixels.capacity() > idleWorking.pixels.capacity()) std::swap(image, idleWorking);
    }
    BorrowedWorking(BorrowedWorking const&) = delete;
    BorrowedWorking& operator=(BorrowedWorking const&) = delete;
    Image image;
};

unsigned long workOf(RowSource const& rows) { return static_cast<unsigned long>(rows.pixelCount()); }

// Every output row from `make`(y, input row or null, output row), in parallel; the input
// is read only when `reads`.
template <class Make>
void writeRows(RowSource const& src, RowSink const& dst, bool reads, Make&& make) {
    const int width = src.width();
    dst.prepare(width, src.height());
    parallel::ranges(src.height(), workOf(src), [&](int y0, int y1) {
        std::vector<Pixel> in(reads ? src.bufferPixels() : 0);
        std::vector<Pixel> buffer(dst.bufferPixels(width));
        for (int y = y0; y < y1; ++y) {
            Pixel* row = dst.row(y, buffer.data());
            make(reads ? src.row(y, in.data()) : nullptr, row);
            dst.commit(y, width, row);
        }
    });
}

void fill(RowSource const& src, RowSink const& dst, Pixel value) {
    writeRows(src, dst, false, [&](Pixel const*, Pixel* row) { std::fill(row, row + src.width(), value); });
}

// The threshold matte in grey, opaque. Reads `settings`, not the animated copy: the
// matte has no streaks to animate. `dst` may be `src`.
void renderMatte(RowSource const& src, RowSink const& dst, RenderSettings const& settings) {
    const int width = src.width();
    writeRows(src, dst, true, [&](Pixel const* in, Pixel* out) {
        for (int x = 0; x < width; ++x) {
            const Pixel p = in[x];
            float m = 0.0f;
            if (p.a > 1e-6f) m = luminanceRangeMask(luma(p), settings) * std::min(p.a, 1.0f);
            out[x] = {m, m, m, 1.0f};
        }
    });
}

// The streak stage: offered to the GPU when the frame asks for it, else (or when the GPU
// declines) the CPU streak generator.
void streakStage(Image& selected, Image& scratch, FramePlan const& plan, GpuOffers const& offers) {
    RenderSettings const& settings = plan.streakSettings;
    if (settings.useGpu && offers.streaks != nullptr &&
        offers.streaks(selected, scratch, settings, plan.margin, nullptr))
        return;
    generateStreak(selected, scratch, settings, plan.margin);
}

// The streak paths write the output through `out` (which may be `dst`, the scratch
// image); false when the caller's proceed() stopped the frame before its first row.
bool renderQuarter(RowSource const& src, Image& dst, RowSink const& out, FramePlan const& plan,
                   StageHook const& lap, GpuOffers const& offers) {
    RenderSettings const& animated = plan.animated;
    // With a transparent foreground the tint is left to the compositor, which protects
    // it per full-resolution pixel rather than per averaged block.
    const bool transparentForeground = plan.tintedFringes && hasTransparentForeground(src);

    // The small images borrow `dst` as their scratch, but `dst` keeps its own (frame-sized)
    // storage aside for the composite: otherwise the ping-pong would leave it holding a
    // small buffer and the composite would allocate a whole frame again.
    Image output;
    std::swap(output, dst);
    BorrowedWorking borrowed;
    Image& selected = borrowed.image;
    Image smallSource;
    reserveFramePixels(selected, plan.workingPixels);
    reserveFramePixels(dst, plan.workingPixels);
    reduceQuarter(src, selected, plan.tintedFringes ? &smallSource : nullptr, animated);
    if (lap) lap("stage_reduce");

    streakStage(selected, dst, plan, offers);
    if (lap) lap("stage_streak");
    if (plan.chromatic) {
        RenderSettings colorSettings = plan.colorSettings;
        if (transparentForeground) colorSettings.tint = 0.0f;
        applyColor(selected, dst, colorSettings, smallSource.pixels.empty() ? nullptr : &smallSource,
                   plan.margin, plan.margin);
        if (lap) lap("stage_color");
    }
    std::swap(output, dst);
    if (out.image() == &dst) reserveFramePixels(dst, plan.outputPixels);
    if (!out.begin()) return false;
    compositeMapped(src, selected, out, animated, plan.mapping,
                    plan.colorFromAnimated    ? &animated
                    : transparentForeground ? &plan.deferredColor
                                            : nullptr);
    if (lap) lap("stage_composite");
    return true;
}

bool renderFull(RowSource const& src, Image& dst, RowSink const& out, FramePlan const& plan,
                StageHook const& lap, GpuOffers const& offers) {
    RenderSettings const& animated = plan.animated;
    // Both images of the streak ping-pong (and the chromatic exchange) get their largest
    // size up front, so no pass reallocates and copies a frame half-way.
    BorrowedWorking borrowed;
    Image& selected = borrowed.image;
    reserveFramePixels(selected, plan.workingPixels);
    reserveFramePixels(dst, plan.workingPixels);
    const bool streakOffered = plan.streakSettings.useGpu && offers.streaks != nullptr;
    if (plan.plainComposite && plan.margin == 0 && !streakOffered) {
        // The streaks are composited band by band as the crop back into the frame makes
        // them, while they are in the cache: no frame of streaks is written and read back.
        // The selection goes into `dst` and the canvas into the kept working image, whose
        // memory is then the canvas's size from the last frame on: neither image grows
        // (and zero-fills what it gains) from one frame to the next.
        // An oblique streak leaves out what reads only +0: where that is, is noted as the
        // selection is made.
        LitGroups lit;
        const bool oblique = obliqueStreak(plan.streakSettings);
        extractLuminanceRange(src, dst, animated, oblique ? &lit : nullptr);
        if (lap) lap("stage_select");
        if (!out.begin()) return false;
        // The caller's rows take the bands as they come. An output that is `dst` gets them
        // in `selected` instead, which holds the selection's memory, sized as the frame,
        // while the bands come.
        const RowSink bands = out.image() == &dst ? RowSink(selected) : out;
        generateStreak(dst, selected, plan.streakSettings, 0,
                       [&](int y0, int y1, Pixel const* rows, std::size_t stride) {
                           compositeRows(src, rows, stride, bands, animated, y0, y1);
                       },
                       oblique ? &lit : nullptr);
        // The streak passes leave the canvas in `dst`: it goes back to the kept working
        // image, which thus stays the canvas's size, and an image output's bands to `dst`.
        std::swap(dst, selected);
        if (lap) lap("stage_streak_composite");
        return true;
    }
    extractLuminanceRange(src, selected, animated);
    if (lap) lap("stage_select");
    streakStage(selected, dst, plan, offers);
    if (lap) lap("stage_streak");
    if (plan.chromatic) {
        // The colour stage protects the tint by the source's alpha: it needs the whole
        // source (processFrame gives the caller's rows as an image on this path).
        if (src.image() == nullptr) throw std::logic_error("the colour stage needs the source as an image");
        applyColor(selected, dst, plan.colorSettings, src.image(), plan.margin, plan.margin);
        if (lap) lap("stage_color");
    }
    if (!out.begin()) return false;
    if (plan.plainComposite)
        composite(src, selected, out, animated);
    else
        compositeMapped(src, selected, out, animated, plan.mapping,
                        plan.colorFromAnimated ? &animated : nullptr);
    if (lap) lap("stage_composite");
    return true;
}

bool render(RowSource const& src, Image& dst, RowSink const& out, FramePlan const& plan, StageHook const& lap,
            GpuOffers const& offers) {
    if (plan.path == FramePath::Quarter) return renderQuarter(src, dst, out, plan, lap, offers);
    if (plan.path == FramePath::Full) return renderFull(src, dst, out, plan, lap, offers);
    return true;
}

// The paths that write no streaks: empty for the others; else whether the output was
// written (false: the caller's proceed() stopped the frame).
std::optional<bool> renderPlain(RowSource const& src, RowSink const& out, FramePlan const& plan,
                                RenderSettings const& settings) {
    switch (plan.path) {
    case FramePath::Full:
    case FramePath::Quarter:
        return std::nullopt;
    case FramePath::Matte:
    case FramePath::Black:
    case FramePath::Clear:
    case FramePath::Source:
        break;
    }
    if (!out.begin()) return false;
    if (plan.path == FramePath::Matte)
        renderMatte(src, out, settings);
    else if (plan.path == FramePath::Black)
        fill(src, out, {0.0f, 0.0f, 0.0f, 1.0f});
    else if (plan.path == FramePath::Clear)
        fill(src, out, Pixel{});
    else
        copyRows(src, out);
    return true;
}

// The caller's input rows as an image, read in parallel.
void readAll(FrameRows const& rows, Image& image) {
    image.resize(rows.width, rows.height);
    parallel::ranges(image.height, workOf(image), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) rows.read(y, 0, image.width, &image.at(0, y));
    });
}

// An image as the caller's output rows; false when proceed() stopped the frame.
bool writeAll(Image const& image, FrameRows const& rows) {
    const RowSink out(rows);
    if (!out.begin()) return false;
    parallel::ranges(image.height, workOf(image), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) rows.write(y, 0, image.width, &image.at(0, y));
    });
    return true;
}

}  // namespace

void renderPlan(Image const& src, Image& dst, FramePlan const& plan, StageHook const& lap) {
    render(src, dst, dst, plan, lap, GpuOffers{});
}

// Measured on the benchmark machine, the page faults of a fresh frame-sized buffer cost
// more than the pass that fills it (about 15 ms for a 1080p canvas, 45 ms at 4K); with
// huge pages 2–10 ms. Reserving up front also keeps generateStreak's resizes from moving
// (and copying) a half-filled frame.
void reserveFramePixels(Image& image, std::size_t pixels) {
    if (image.pixels.capacity() >= pixels) return;
    image = Image();
    image.pixels.reserve(pixels);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(image.pixels.data());
    const std::uintptr_t end = begin + pixels * sizeof(Pixel);
    const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = end & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

void reduceQuarter(RowSource const& src, Image& selected, Image* smallSource,
                   RenderSettings const& settings) {
    const int w = src.width();
    const int h = src.height();
    const int kw = quarterSize(w);
    const int kh = quarterSize(h);
    selected.resize(kw, kh);
    if (smallSource != nullptr) smallSource->resize(kw, kh);

    parallel::ranges(kh, workOf(src), [&](int y0, int y1) {
        // Per block column: the masked sum and the plain sum.
        std::vector<Pixel> sums(static_cast<std::size_t>(kw));
        std::vector<Pixel> plains(smallSource != nullptr ? static_cast<std::size_t>(kw) : 0);
        std::vector<float> masks(static_cast<std::size_t>(w));
        std::vector<Pixel> buffer(src.bufferPixels());
        const int span = src.image() ? std::max(w, 1) : kRowSpan;
        for (int Y = y0; Y < y1; ++Y) {
            std::fill(sums.begin(), sums.end(), Pixel{});
            std::fill(plains.begin(), plains.end(), Pixel{});
            const int rows = std::min(4, h - 4 * Y);
            // Pixels [s0, s0 + n) of a source row (whole blocks), at `in`; source rows are
            // walked in order, so each block still sums j outer, i inner.
            auto accumulate = [&](auto const* in, int s0, int n) {
                addMaskedBlocks(in, static_cast<std::size_t>(n), settings, sums.data() + s0 / 4,
                                smallSource != nullptr ? plains.data() + s0 / 4 : nullptr, masks.data());
            };
            for (int j = 0; j < rows; ++j) {
                // Float ARGB rows are read in place; a caller's other rows come span by
                // span (whole blocks each), an image's at once.
                if (ArgbPixel const* in = src.argb(4 * Y + j, 0)) {
                    accumulate(in, 0, w);
                    continue;
                }
                for (int s0 = 0; s0 < w; s0 += span) {
                    const int n = std::min(span, w - s0);
                    accumulate(src.span(4 * Y + j, s0, n, buffer.data()), s0, n);
                }
            }
            Pixel* out = selected.pixels.data() + static_cast<std::size_t>(Y) * kw;
            Pixel* outPlain = smallSource != nullptr
                                  ? smallSource->pixels.data() + static_cast<std::size_t>(Y) * kw
                                  : nullptr;
            for (int X = 0; X < kw; ++X) {
                const int count = rows * (std::min(4 * X + 4, w) - 4 * X);
                const float inverse = 1.0f / static_cast<float>(count);
                const Pixel& sum = sums[static_cast<std::size_t>(X)];
                out[X] = {sum.r * inverse, sum.g * inverse, sum.b * inverse, sum.a * inverse};
                if (outPlain != nullptr) {
                    const Pixel& plain = plains[static_cast<std::size_t>(X)];
                    outPlain[X] = {plain.r * inverse, plain.g * inverse, plain.b * inverse,
                                   plain.a * inverse};
                }
            }
        }
    });
}

void releaseWorkingMemory() noexcept {
    Image released;
    std::lock_guard<std::mutex> lock(idleWorkingMutex);
    std::swap(released, idleWorking);
}

GpuOffers platformGpuOffers() {
    GpuOffers offers;
#if defined(_WIN32)
    offers.frame = d3d11::frame;
    offers.matte = d3d11::matte;
    offers.streaks = d3d11::streaks;
#else
    offers.frame = metal::frame;
#endif
    return offers;
}

void processFrame(Image const& src, Image& dst, RenderSettings const& settings) {
    static const GpuOffers offers = platformGpuOffers();
    processFrame(src, dst, settings, offers);
}

void processFrame(Image const& src, Image& dst, RenderSettings const& settings, GpuOffers const& offers) {
    if (offersFrameToGpu(settings)) {
        const auto whole = settings.view == ViewMode::Matte && offers.matte != nullptr ? offers.matte : offers.frame;
        if (whole != nullptr && whole(src, dst, settings, nullptr)) return;
    }

    ActiveFrame counted;
    const FramePlan plan = planFrame(src.width, src.height, settings);
    if (renderPlain(src, dst, plan, settings)) return;

    // Every stage uses `dst` as scratch before compositing into it, so a frame rendered
    // in place works from a copy of its input.
    Image inputCopy;
    Image const* input = &src;
    if (&dst == &src) {
        inputCopy = src;
        input = &inputCopy;
    }
    render(*input, dst, dst, plan, {}, offers);
}

bool processFrame(FrameRows const& rows, Image& source, Image& scratch, RenderSettings const& settings) {
    static const GpuOffers offers = platformGpuOffers();
    return processFrame(rows, source, scratch, settings, offers);
}

bool processFrame(FrameRows const& rows, Image& source, Image& scratch, RenderSettings const& settings,
                  GpuOffers const& offers) {
    RowSource input(rows);
    if (offersFrameToGpu(settings)) {
        // The GPU renderers take whole images; a frame they decline renders below from
        // the image already read.
        readAll(rows, source);
        input = RowSource(source);
        const auto whole = settings.view == ViewMode::Matte && offers.matte != nullptr ? offers.matte : offers.frame;
        if (whole != nullptr && whole(source, scratch, settings, nullptr)) return writeAll(scratch, rows);
    }

    ActiveFrame counted;
    const FramePlan plan = planFrame(rows.width, rows.height, settings);
    const RowSink output(rows);
    if (const std::optional<bool> written = renderPlain(input, output, plan, settings)) return *written;
    if (plan.path == FramePath::Full && plan.chromatic && input.image() == nullptr) {
        readAll(rows, source);
        input = RowSource(source);
    }
    return render(input, scratch, output, plan, {}, offers);
}

}  // namespace raydrift::image

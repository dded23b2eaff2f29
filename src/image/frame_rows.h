// A frame's input and output rows where the caller keeps them: in an engine image, or in
// the caller's own storage and pixel format (a host's world), converted a span of a row
// at a time as the passes that read the input and write the output reach it. A host then
// pays no whole-frame conversion, and no frame-sized image, on either side of the engine.
// The spans are short (kRowSpan pixels) so that converting one overlaps with the work on
// the last: a whole row converted at once is a pass at memory speed of its own.
#pragma once

#include <cstddef>
#include <functional>

#include "image/image.h"

namespace raydrift::image {

// Pixels of the spans the passes convert at once; a multiple of 4, so that no 4×4 block
// of the quarter reduction straddles two.
inline constexpr int kRowSpan = 256;

// Rows kept by the caller. `read` and `write` are called from several workers at once,
// for different rows.
struct FrameRows {
    int width = 0;
    int height = 0;
    // Pixels [x, x + count) of input row y as engine pixels. A pixel may be read more
    // than once.
    std::function<void(int y, int x, int count, Pixel* pixels)> read;
    // Pixels [x, x + count) of output row y; every pixel exactly once.
    std::function<void(int y, int x, int count, Pixel const* pixels)> write;
    // Asked once before the first output row is written; false ends the frame there and
    // leaves the output unwritten. Empty: always go on.
    std::function<bool()> proceed;
    // Set when the input rows are float ARGB in memory: row y starts at argbRows +
    // y·argbRowBytes, and the passes read its pixels in place rather than through `read`,
    // a conversion less per pixel and pass.
    unsigned char const* argbRows = nullptr;
    std::ptrdiff_t argbRowBytes = 0;
    // Set when the output rows are float ARGB in memory: row y starts at argbOutRows +
    // y·argbOutRowBytes, and the last pass stores its pixels there as vec::storeArgb does
    // (straight colour with `argbOutStraight`) rather than through `write`.
    unsigned char* argbOutRows = nullptr;
    std::ptrdiff_t argbOutRowBytes = 0;
    bool argbOutStraight = false;
};

// The rows a pass reads: an image's own, or the caller's, converted into a row buffer of
// the pass's. Converts implicitly from an image, as a view does.
class RowSource {
public:
    RowSource(Image const& image) : image_(&image), width_(image.width), height_(image.height) {}  // NOLINT
    explicit RowSource(FrameRows const& rows) : rows_(&rows), width_(rows.width), height_(rows.height) {}

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t pixelCount() const { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_); }
    bool empty() const { return width_ <= 0 || height_ <= 0; }
    Image const* image() const { return image_; }
    // Pixels of buffer row() and span() need: 0 for an image's rows.
    std::size_t bufferPixels() const { return image_ ? 0 : static_cast<std::size_t>(width_); }

    // Pixel x of row y where the caller's rows are float ARGB read in place; else null.
    ArgbPixel const* argb(int y, int x) const {
        if (!rows_ || !rows_->argbRows) return nullptr;
        return reinterpret_cast<ArgbPixel const*>(rows_->argbRows + static_cast<std::ptrdiff_t>(y) * rows_->argbRowBytes) + x;
    }

    // Pixels [x, x + count) of row y; the caller's land in `buffer` first.
    Pixel const* span(int y, int x, int count, Pixel* buffer) const {
        if (image_)
            return image_->pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                   static_cast<std::size_t>(x);
        rows_->read(y, x, count, buffer);
        return buffer;
    }
    Pixel const* row(int y, Pixel* buffer) const { return span(y, 0, width_, buffer); }

private:
    Image const* image_ = nullptr;
    FrameRows const* rows_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

// Where the last pass puts the output rows: into an image (sized by prepare()), or
// handed to the caller row by row. Converts implicitly from an image.
class RowSink {
public:
    RowSink(Image& image) : image_(&image) {}  // NOLINT
    explicit RowSink(FrameRows const& rows) : rows_(&rows) {}

    Image* image() const { return image_; }
    std::size_t bufferPixels(int width) const { return image_ ? 0 : static_cast<std::size_t>(width); }

    // Pixel x of row y where the caller's output rows are float ARGB written in place;
    // else null. straightArgb(): whether they take straight colour.
    ArgbPixel* argb(int y, int x) const {
        if (!rows_ || !rows_->argbOutRows) return nullptr;
        return reinterpret_cast<ArgbPixel*>(rows_->argbOutRows + static_cast<std::ptrdiff_t>(y) * rows_->argbOutRowBytes) + x;
    }
    bool straightArgb() const { return rows_ && rows_->argbOutStraight; }

    // Gives an image the output's size; the caller's rows have theirs.
    void prepare(int width, int height) const {
        if (image_) image_->resize(width, height);
    }
    // Whether the frame may go on to write its output (the caller's `proceed`).
    bool begin() const { return image_ || !rows_->proceed || rows_->proceed(); }

    // Where pixels [x, …) of row y are to be written: the image's, or `buffer`
    // (bufferPixels()), which commit() then hands over.
    Pixel* span(int y, int x, Pixel* buffer) const {
        if (image_)
            return image_->pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(image_->width) +
                   static_cast<std::size_t>(x);
        return buffer;
    }
    void commit(int y, int x, int count, Pixel const* pixels) const {
        if (!image_) rows_->write(y, x, count, pixels);
    }
    Pixel* row(int y, Pixel* buffer) const { return span(y, 0, buffer); }
    void commit(int y, int width, Pixel const* row) const { commit(y, 0, width, row); }

private:
    Image* image_ = nullptr;
    FrameRows const* rows_ = nullptr;
};

}  // namespace raydrift::image

// A frame's input and output rows where the caller keeps them: in an engine image, or in
// the caller's own storage and pixel format (a host's world), converted one row at a time
// as the passes that read the input and write the output reach it. A host then pays no
// whole-frame conversion, and no frame-sized image, on either side of the engine.
#pragma once

#include <cstddef>
#include <functional>

#include "image/image.h"

namespace raydrift::image {

// Rows kept by the caller. `read` and `write` are called from several workers at once,
// for different rows.
struct FrameRows {
    int width = 0;
    int height = 0;
    // Row y of the input as `width` engine pixels. A row may be read more than once.
    std::function<void(int y, Pixel* row)> read;
    // Row y of the output, `width` engine pixels; every row exactly once.
    std::function<void(int y, Pixel const* row)> write;
    // Asked once before the first output row is written; false ends the frame there and
    // leaves the output unwritten. Empty: always go on.
    std::function<bool()> proceed;
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
    // Pixels of buffer row() needs: 0 for an image's rows.
    std::size_t bufferPixels() const { return image_ ? 0 : static_cast<std::size_t>(width_); }

    // Row y; the caller's rows land in `buffer` (bufferPixels() pixels) first.
    Pixel const* row(int y, Pixel* buffer) const {
        if (image_) return image_->pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
        rows_->read(y, buffer);
        return buffer;
    }

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

    // Gives an image the output's size; the caller's rows have theirs.
    void prepare(int width, int height) const {
        if (image_) image_->resize(width, height);
    }
    // Whether the frame may go on to write its output (the caller's `proceed`).
    bool begin() const { return image_ || !rows_->proceed || rows_->proceed(); }

    // Where row y is to be written: the image's row, or `buffer` (bufferPixels()), which
    // commit() then hands over.
    Pixel* row(int y, Pixel* buffer) const {
        if (image_) return image_->pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(image_->width);
        return buffer;
    }
    void commit(int y, Pixel const* row) const {
        if (!image_) rows_->write(y, row);
    }

private:
    Image* image_ = nullptr;
    FrameRows const* rows_ = nullptr;
};

}  // namespace raydrift::image

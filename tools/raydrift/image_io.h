// Image files in and out through OpenImageIO, in the conventions a host expects:
// colour and alpha are found by their channel names, straight-alpha files are
// premultiplied on the way in and back on the way out, files without alpha are opaque,
// every other channel and every other part of the file goes out as it came in, and the
// output is written whole or not at all.
#pragma once

#include <OpenImageIO/imageio.h>

#include <optional>
#include <string>
#include <vector>

namespace raydrift::cli {

// Sample types the renderer reads and writes; half and float files share 32-bit worlds.
enum class SampleType { UInt8, UInt16, Half, Float };

// Bits of the host world a file of this type renders in: 8, 16 or 32.
int worldDepth(SampleType type);

// "uint8", "uint16", "half" or "float" (the -d values). Throws UsageError.
SampleType parseSampleType(std::string const& text);

// A part of a multi-part file that the effect does not render, in its own sample types.
struct StoredPart {
    OIIO::ImageSpec header;
    std::vector<unsigned char> pixels;
};

struct Picture {
    int width = 0;   // the data window: the layer the effect renders
    int height = 0;
    // Premultiplied RGBA floats in the working colour space, row-major, top row first.
    std::vector<float> rgba;
    // The same colours in the file's alpha convention (1 for missing alpha); toWorld uses
    // them for straight worlds so that straight files are not divided twice.
    std::vector<float> original;
    // Every channel of the rendered part as read, `header.nchannels` per pixel: the
    // source of channels the effect does not use and of pixels it leaves alone.
    std::vector<float> samples;
    bool straight = false;  // the file stores unassociated (straight) alpha
    int colour[3] = {-1, -1, -1};  // channels of red, green, blue (grey: Y three times)
    int alpha = -1;
    bool grey = false;
    SampleType type = SampleType::Float;
    // The colour space the file's values are encoded in when they were converted to
    // linear light for the effect; empty when the stored values were rendered as they are.
    std::string colourSpace;
    OIIO::ImageSpec header;  // the rendered part's metadata, channels and windows
    int part = 0;            // its index among the file's parts
    std::vector<StoredPart> otherParts;  // every other part, in file order without `part`

    bool hasAlpha() const { return alpha >= 0; }
};

struct ReadOptions {
    std::string subimage;            // index or part name; empty: the first part
    std::string colourSpace = "auto";  // auto, raw or a colour space name
};

// Checks a --colorspace value (auto, raw or a name OpenImageIO knows). Throws UsageError.
void checkColourSpace(std::string const& name);

// Reads a file. Throws CliError with a one-line reason, including read errors that the
// format reports only after a partial read (a truncated JPEG).
Picture readPicture(std::string const& path, ReadOptions const& options = {});
// The same into `picture`, reusing its buffers: a sequence allocates them once per job.
void readPicture(std::string const& path, ReadOptions const& options, Picture& picture);

// How an output file stores alpha, by format: PNG-like formats are straight, OpenEXR is
// premultiplied, TIFF keeps whatever the source used.
bool writesStraightAlpha(std::string const& formatName, bool sourceStraight);

struct WriteOptions {
    std::optional<SampleType> type;  // colour and alpha sample type; default from the path
    std::string compression;         // empty: the input's
    int quality = -1;                // 1-100; -1: the format's default
    std::string parameters;          // what the effect was asked to do, recorded in the file
    std::string displayPath;         // the name errors use (default: `path`)
    bool quiet = false;              // no note about channels or parts a format cannot hold
};

// The sample type a file at `path` gets for colour and alpha: `wanted` where its format
// can hold it, the nearest it can otherwise.
SampleType outputType(std::string const& path, SampleType wanted);

// Writes `result` (premultiplied working-space rgba of `source`'s size) with every other
// channel and part of `source` unchanged. `untouched[i]` marks pixels whose source values
// go out exactly as they were read. Writes a temporary file beside the target and renames
// it, so a failure leaves no partial file. Throws CliError.
void writePicture(std::string const& path, std::vector<float> const& result, Picture const& source,
                  std::vector<bool> const* untouched, WriteOptions const& options = {});

}  // namespace raydrift::cli

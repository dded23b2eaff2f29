// Image files in and out through OpenImageIO, in the conventions a host expects:
// straight-alpha files are premultiplied on the way in and back on the way out, files
// without alpha are opaque, and the output is written whole or not at all.
#pragma once

#include <OpenImageIO/imageio.h>

#include <string>
#include <vector>

namespace raydrift::cli {

// Sample types the renderer reads and writes; half and float files share 32-bit worlds.
enum class SampleType { UInt8, UInt16, Half, Float };

// Bits of the host world a file of this type renders in: 8, 16 or 32.
int worldDepth(SampleType type);

struct Picture {
    int width = 0;
    int height = 0;
    // Premultiplied RGBA floats, row-major, top row first.
    std::vector<float> rgba;
    // The file's own values (RGBA, its alpha convention, 1 for missing alpha), kept so that
    // pixels the effect leaves alone are written back exactly as they were read.
    std::vector<float> original;
    bool straight = false;  // the file stores unassociated (straight) alpha
    bool hasAlpha = false;
    int channels = 4;
    SampleType type = SampleType::Float;
    OIIO::ImageSpec header;  // the file's metadata
};

// Reads the first subimage. Throws CliError with a one-line reason.
Picture readPicture(std::string const& path);

// How an output file stores alpha, by format: PNG-like formats are straight, OpenEXR is
// premultiplied, TIFF keeps whatever the source used.
bool writesStraightAlpha(std::string const& formatName, bool sourceStraight);

// Writes `picture` (premultiplied rgba) to `path` as `type`, keeping the metadata the
// format can carry. `untouched[i]` marks pixels whose source values go out unchanged.
// Writes a temporary file beside the target and renames it, so a failure leaves no
// partial file. Throws CliError.
void writePicture(std::string const& path, Picture const& picture, SampleType type,
                  Picture const* source, std::vector<bool> const* untouched);

}  // namespace raydrift::cli

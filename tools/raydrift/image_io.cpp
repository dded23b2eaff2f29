#include "image_io.h"

#include <OpenImageIO/filesystem.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include "cli_error.h"

namespace raydrift::cli {

namespace {

// Anything larger is refused before allocation: 2^30 pixels is a 32768² frame.
constexpr std::size_t kMaxPixels = std::size_t(1) << 30;

SampleType sampleTypeOf(OIIO::TypeDesc format) {
    switch (format.basetype) {
        case OIIO::TypeDesc::UINT8:
        case OIIO::TypeDesc::INT8:
            return SampleType::UInt8;
        case OIIO::TypeDesc::UINT16:
        case OIIO::TypeDesc::INT16:
            return SampleType::UInt16;
        case OIIO::TypeDesc::HALF:
            return SampleType::Half;
        default:
            return SampleType::Float;
    }
}

OIIO::TypeDesc typeDescOf(SampleType type) {
    switch (type) {
        case SampleType::UInt8: return OIIO::TypeDesc::UINT8;
        case SampleType::UInt16: return OIIO::TypeDesc::UINT16;
        case SampleType::Half: return OIIO::TypeDesc::HALF;
        case SampleType::Float: break;
    }
    return OIIO::TypeDesc::FLOAT;
}

std::string reason(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    const auto nl = text.find('\n');
    if (nl != std::string::npos) text = text.substr(0, nl);
    return text.empty() ? "unknown error" : text;
}

}  // namespace

int worldDepth(SampleType type) {
    switch (type) {
        case SampleType::UInt8: return 8;
        case SampleType::UInt16: return 16;
        default: return 32;
    }
}

Picture readPicture(std::string const& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        throw CliError("cannot read '" + path + "': no such file");
    OIIO::ImageSpec config;
    // Straight-alpha files come in as stored; premultiplying is ours to do, so the
    // original values can be written back exactly.
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) throw CliError("cannot read '" + path + "': " + reason(OIIO::geterror()));
    const OIIO::ImageSpec header = in->spec();
    if (header.width <= 0 || header.height <= 0 || header.depth > 1 || header.nchannels < 1)
        throw CliError("cannot read '" + path + "': not a 2D image");
    const std::size_t pixels = std::size_t(header.width) * std::size_t(header.height);
    if (pixels > kMaxPixels)
        throw CliError("cannot read '" + path + "': " + std::to_string(header.width) + "x" +
                       std::to_string(header.height) + " is larger than this renderer accepts");

    const int nch = header.nchannels;
    std::vector<float> data(pixels * std::size_t(nch));
    if (!in->read_image(0, 0, 0, nch, OIIO::TypeDesc::FLOAT, data.data()))
        throw CliError("cannot read '" + path + "': " + reason(in->geterror()));
    in->close();

    Picture pic;
    pic.width = header.width;
    pic.height = header.height;
    pic.header = header;
    pic.channels = nch;
    pic.type = sampleTypeOf(header.format);
    int alpha = header.alpha_channel;
    if (alpha < 0 && nch == 2) alpha = 1;  // grey and alpha
    if (alpha < 0 && nch >= 4) alpha = 3;
    pic.hasAlpha = alpha >= 0 && alpha < nch;
    pic.straight = pic.hasAlpha && header.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;

    pic.original.resize(pixels * 4);
    pic.rgba.resize(pixels * 4);
    const bool grey = nch < 3;
    for (std::size_t i = 0; i < pixels; ++i) {
        const float* s = &data[i * std::size_t(nch)];
        float* o = &pic.original[i * 4];
        o[0] = s[0];
        o[1] = grey ? s[0] : s[1];
        o[2] = grey ? s[0] : s[2];
        o[3] = pic.hasAlpha ? s[alpha] : 1.0f;
        float* p = &pic.rgba[i * 4];
        const float a = pic.straight ? o[3] : 1.0f;
        p[0] = o[0] * a;
        p[1] = o[1] * a;
        p[2] = o[2] * a;
        p[3] = o[3];
    }
    return pic;
}

bool writesStraightAlpha(std::string const& formatName, bool sourceStraight) {
    if (formatName == "openexr") return false;
    if (formatName == "tiff") return sourceStraight;
    return true;
}

void writePicture(std::string const& path, Picture const& picture, SampleType type,
                  Picture const* source, std::vector<bool> const* untouched) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) throw CliError("cannot write '" + path + "': " + reason(OIIO::geterror()));
    const std::string format = out->format_name();
    const bool straight = writesStraightAlpha(format, source && source->straight);
    const std::size_t pixels = std::size_t(picture.width) * std::size_t(picture.height);

    bool opaque = true;
    for (std::size_t i = 0; i < pixels && opaque; ++i) opaque = picture.rgba[i * 4 + 3] == 1.0f;
    const bool alpha = out->supports("alpha") && ((source && source->hasAlpha) || !opaque);
    const int nch = alpha ? 4 : 3;

    OIIO::ImageSpec header(picture.width, picture.height, nch, typeDescOf(type));
    if (source) {
        header.extra_attribs = source->header.extra_attribs;
        header.erase_attribute("oiio:BitsPerSample");
        header.erase_attribute("oiio:UnassociatedAlpha");
    }
    if (alpha) header.alpha_channel = 3;
    if (straight && alpha) header.attribute("oiio:UnassociatedAlpha", 1);

    const bool sameConvention = source && source->straight == straight;
    std::vector<float> data(pixels * std::size_t(nch));
    for (std::size_t i = 0; i < pixels; ++i) {
        float v[4];
        if (source && untouched && (*untouched)[i]) {
            const float* o = sameConvention ? &source->original[i * 4] : &source->rgba[i * 4];
            for (int c = 0; c < 4; ++c) v[c] = o[c];
            if (!sameConvention && straight) {
                const float a = v[3];
                for (int c = 0; c < 3; ++c) v[c] = a > 0.0f ? v[c] / a : 0.0f;
            }
        } else {
            const float* p = &picture.rgba[i * 4];
            for (int c = 0; c < 4; ++c) v[c] = p[c];
            if (straight) {
                // Colour under zero alpha has nowhere to go in a straight file.
                const float a = v[3];
                for (int c = 0; c < 3; ++c) v[c] = a > 0.0f ? v[c] / a : 0.0f;
            }
        }
        for (int c = 0; c < nch; ++c) data[i * std::size_t(nch) + std::size_t(c)] = v[c];
    }

    // A temporary file beside the target, renamed into place: a failed write leaves
    // nothing behind, and a reader never sees half a frame.
    static std::atomic<unsigned> serial{0};
    const std::filesystem::path target(path);
    std::filesystem::path temp = target;
    std::string tempName = ".";
    tempName += target.stem().string();
    tempName += ".raydrift-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    tempName += target.extension().string();
    temp.replace_filename(tempName);
    auto fail = [&](std::string const& why) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw CliError("cannot write '" + path + "': " + reason(why));
    };
    if (!out->open(temp.string(), header)) fail(out->geterror());
    if (!out->write_image(OIIO::TypeDesc::FLOAT, data.data())) {
        out->close();
        fail(out->geterror());
    }
    if (!out->close()) fail(out->geterror());
    std::error_code ec;
    std::filesystem::rename(temp, target, ec);
    if (ec) fail(ec.message());
}

}  // namespace raydrift::cli

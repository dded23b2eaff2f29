#include "image_io.h"

#include <OpenImageIO/color.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include "cli_error.h"
#include "settings/render_settings.h"

namespace raydrift::cli {

namespace {

// Anything larger is refused before allocation: 2^30 pixels is a 32768² frame.
constexpr std::size_t kMaxPixels = std::size_t(1) << 30;
constexpr float kHalfMax = 65504.0f;
// The working space colour-managed files are converted into (OpenImageIO's built-in
// configuration and the usual OpenColorIO configurations name it so).
constexpr const char* kLinear = "linear";

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

int bitsOf(SampleType type) {
    switch (type) {
        case SampleType::UInt8: return 8;
        case SampleType::UInt16:
        case SampleType::Half: return 16;
        case SampleType::Float: break;
    }
    return 32;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string oneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    const auto nl = text.find('\n');
    if (nl != std::string::npos) text = text.substr(0, nl);
    return text.empty() ? "unknown error" : text;
}

OIIO::ColorConfig& colourConfig() {
    static OIIO::ColorConfig config;
    return config;
}

std::string knownSpace(std::string const& name) {
    for (std::string const& known : colourConfig().getColorSpaceNames())
        if (lower(known) == lower(name)) return known;
    return {};
}

// The space the stored values are encoded in, when the effect should see them in linear
// light instead; empty to render them as stored.
std::string sourceSpace(std::string const& option, OIIO::ImageSpec const& header, std::string const& format) {
    if (option == "raw") return {};
    if (option != "auto") {
        const std::string space = knownSpace(option);
        if (space.empty()) {
            std::string names;
            for (std::string const& n : colourConfig().getColorSpaceNames())
                names += (names.empty() ? "" : ", ") + n;
            throw UsageError("unknown colour space \"" + option + "\"; known: auto, raw, " + names);
        }
        return colourConfig().isColorSpaceLinear(space) ? std::string() : space;
    }
    std::string space = knownSpace(header.get_string_attribute("oiio:ColorSpace"));
    const bool integer = header.format.basetype == OIIO::TypeDesc::UINT8 ||
                         header.format.basetype == OIIO::TypeDesc::UINT16;
    if (space.empty() && integer && (format == "png" || format == "jpeg")) space = knownSpace("sRGB");
    if (space.empty() || colourConfig().isColorSpaceLinear(space) || lower(space) == "default" ||
        lower(space) == "rgb")
        return {};
    return space;
}

// Converts four-channel pixels (colour, then alpha) between colour spaces in place.
void convertColours(std::vector<float>& rgba, int width, int height, std::string const& from,
                    std::string const& to, bool premultiplied, std::string const& what) {
    OIIO::ImageSpec layout(width, height, 4, OIIO::TypeDesc::FLOAT);
    layout.alpha_channel = 3;
    OIIO::ImageBuf buf(layout, rgba.data());
    if (!OIIO::ImageBufAlgo::colorconvert(buf, buf, from, to, premultiplied, "", "", &colourConfig()))
        throw CliError(what + ": cannot convert from " + from + " to " + to + ": " + oneLine(buf.geterror()));
}

enum class Role { Red, Green, Blue, Grey, Alpha, Other };

Role roleOf(Picture const& p, int c) {
    if (c == p.alpha) return Role::Alpha;
    if (p.grey) return c == p.colour[0] ? Role::Grey : Role::Other;
    for (int k = 0; k < 3; ++k)
        if (c == p.colour[k]) return static_cast<Role>(k);
    return Role::Other;
}

int partIndex(std::string const& text, std::vector<OIIO::ImageSpec> const& parts, std::string const& path) {
    if (text.empty()) return 0;
    if (text.find_first_not_of("0123456789") == std::string::npos && text.size() < 6) {
        const int n = std::stoi(text);
        if (n < static_cast<int>(parts.size())) return n;
    }
    std::string names;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string name = parts[i].get_string_attribute("oiio:subimagename");
        if (!name.empty() && name == text) return static_cast<int>(i);
        names += (i ? ", " : "") + std::to_string(i) + (name.empty() ? "" : " (" + name + ")");
    }
    throw UsageError("'" + path + "' has no part \"" + text + "\"; its parts: " + names);
}

}  // namespace

int worldDepth(SampleType type) {
    switch (type) {
        case SampleType::UInt8: return 8;
        case SampleType::UInt16: return 16;
        default: return 32;
    }
}

SampleType parseSampleType(std::string const& text) {
    if (text == "uint8") return SampleType::UInt8;
    if (text == "uint16") return SampleType::UInt16;
    if (text == "half") return SampleType::Half;
    if (text == "float") return SampleType::Float;
    throw UsageError("-d expects uint8, uint16, half or float, got \"" + text + "\"");
}

void checkColourSpace(std::string const& name) {
    if (name != "auto") sourceSpace(name, OIIO::ImageSpec(), "");
}

Picture readPicture(std::string const& path, ReadOptions const& options) {
    Picture picture;
    readPicture(path, options, picture);
    return picture;
}

void readPicture(std::string const& path, ReadOptions const& options, Picture& pic) {
    const std::string what = "cannot read '" + path + "'";
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw CliError(what + ": no such file");
    OIIO::ImageSpec config;
    // Straight-alpha files come in as stored; premultiplying is ours to do, so the
    // original values can be written back exactly.
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) throw CliError(what + ": " + oneLine(OIIO::geterror()));

    std::vector<OIIO::ImageSpec> parts;
    while (parts.size() < 1024 && in->seek_subimage(static_cast<int>(parts.size()), 0))
        parts.push_back(in->spec());
    if (parts.empty()) throw CliError(what + ": " + oneLine(in->geterror()));
    in->geterror();  // looking past the last part is not an error of the file
    const int chosen = partIndex(options.subimage, parts, path);

    pic.part = chosen;
    pic.otherParts.clear();
    pic.colourSpace.clear();
    pic.grey = false;
    for (int i = 0; i < static_cast<int>(parts.size()); ++i) {
        OIIO::ImageSpec const& header = parts[std::size_t(i)];
        if (header.width <= 0 || header.height <= 0 || header.depth > 1 || header.nchannels < 1)
            throw CliError(what + ": not a 2D image");
        if (header.deep) throw CliError(what + ": deep images are not supported");
        const std::size_t pixels = std::size_t(header.width) * std::size_t(header.height);
        if (pixels > kMaxPixels)
            throw CliError(what + ": " + std::to_string(header.width) + "x" + std::to_string(header.height) +
                           " is larger than this renderer accepts");
        bool ok = false;
        if (i == chosen) {
            pic.samples.resize(pixels * std::size_t(header.nchannels));
            ok = in->read_image(i, 0, 0, header.nchannels, OIIO::TypeDesc::FLOAT, pic.samples.data());
        } else {
            StoredPart part{header, std::vector<unsigned char>(header.image_bytes(true))};
            ok = in->read_image(i, 0, 0, header.nchannels, OIIO::TypeUnknown, part.pixels.data());
            pic.otherParts.push_back(std::move(part));
        }
        // Some readers (JPEG) report a truncated file only as an error after the read.
        if (!ok || in->has_error()) throw CliError(what + ": " + oneLine(in->geterror()));
    }
    const std::string format = in->format_name();
    in->close();

    OIIO::ImageSpec const& header = parts[std::size_t(chosen)];
    pic.header = header;
    pic.width = header.width;
    pic.height = header.height;
    pic.type = sampleTypeOf(header.format);
    const int nch = header.nchannels;
    auto find = [&](std::initializer_list<const char*> names) {
        for (const char* n : names)
            for (int c = 0; c < nch; ++c)
                if (lower(header.channelnames[std::size_t(c)]) == n) return c;
        return -1;
    };
    pic.alpha = header.alpha_channel >= 0 && header.alpha_channel < nch ? header.alpha_channel : -1;
    pic.colour[0] = find({"r", "red"});
    pic.colour[1] = find({"g", "green"});
    pic.colour[2] = find({"b", "blue"});
    if (pic.colour[0] < 0 || pic.colour[1] < 0 || pic.colour[2] < 0) {
        const int y = find({"y", "l", "luminance"});
        if (y < 0 || y == pic.alpha) {
            std::string names;
            for (std::string const& n : header.channelnames) names += (names.empty() ? "" : ", ") + n;
            throw CliError(what + ": no colour channels (R, G, B or Y) among " + names +
                           (parts.size() > 1 ? "; choose a part with --subimage" : ""));
        }
        pic.grey = true;
        pic.colour[0] = pic.colour[1] = pic.colour[2] = y;
    }
    // Files with channels of several types (half colour, float depth) render in the
    // colour's type.
    pic.type = sampleTypeOf(header.channelformat(pic.colour[0]));
    pic.straight = pic.hasAlpha() && header.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;

    const std::size_t pixels = std::size_t(pic.width) * std::size_t(pic.height);
    pic.original.resize(pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i) {
        const float* s = &pic.samples[i * std::size_t(nch)];
        float* o = &pic.original[i * 4];
        for (int c = 0; c < 3; ++c) o[c] = s[pic.colour[c]];
        o[3] = pic.hasAlpha() ? s[pic.alpha] : 1.0f;
    }
    pic.colourSpace = sourceSpace(options.colourSpace, header, format);
    if (!pic.colourSpace.empty())
        convertColours(pic.original, pic.width, pic.height, pic.colourSpace, kLinear, !pic.straight, what);
    pic.rgba.resize(pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i) {
        float const* o = &pic.original[i * 4];
        float* p = &pic.rgba[i * 4];
        const float a = pic.straight ? o[3] : 1.0f;
        for (int c = 0; c < 3; ++c) p[c] = o[c] * a;
        p[3] = o[3];
    }
}

bool writesStraightAlpha(std::string const& formatName, bool sourceStraight) {
    if (formatName == "openexr") return false;
    if (formatName == "tiff") return sourceStraight;
    return true;
}

SampleType outputType(std::string const& path, SampleType wanted) {
    std::string ext = lower(std::filesystem::path(path).extension().string());
    const bool floating = wanted == SampleType::Half || wanted == SampleType::Float;
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".bmp" || ext == ".gif") return SampleType::UInt8;
    if ((ext == ".png" || ext == ".dpx") && floating) return SampleType::UInt16;
    if (ext == ".exr" && !floating) return SampleType::Half;
    return wanted;
}

void writePicture(std::string const& path, std::vector<float> const& result, Picture const& source,
                  std::vector<bool> const* untouched, WriteOptions const& options) {
    const std::string what = "cannot write '" + path + "'";
    auto out = OIIO::ImageOutput::create(path);
    if (!out) throw CliError(what + ": " + oneLine(OIIO::geterror()));
    const std::string format = out->format_name();
    const bool straight = writesStraightAlpha(format, source.straight);
    const int width = source.width, height = source.height;
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    const SampleType type = outputType(path, options.type.value_or(source.type));
    // Float formats hold light as it is; the others get the encoding the file came in.
    const bool linearOut = type == SampleType::Half || type == SampleType::Float;
    const std::string encodeTo = linearOut && source.type != type ? std::string() : source.colourSpace;
    const bool sameEncoding = encodeTo == source.colourSpace;
    const bool sameConvention = source.straight == straight || !source.hasAlpha();

    // Colour and alpha in the output's convention and encoding. Pixels the effect left
    // alone start from the source's full-precision values, not the world's.
    thread_local std::vector<float> rgba;
    rgba.assign(result.begin(), result.end());
    if (untouched)
        for (std::size_t i = 0; i < pixels; ++i)
            if ((*untouched)[i]) std::copy_n(&source.rgba[i * 4], 4, &rgba[i * 4]);
    if (!source.colourSpace.empty())
        convertColours(rgba, width, height, kLinear, encodeTo.empty() ? kLinear : encodeTo, true, what);
    bool opaque = true;
    for (std::size_t i = 0; i < pixels; ++i) {
        float* v = &rgba[i * 4];
        opaque = opaque && v[3] == 1.0f;
        if (straight) {
            // Colour under zero alpha has nowhere to go in a straight file.
            const float a = v[3];
            for (int c = 0; c < 3; ++c) v[c] = a > 0.0f ? v[c] / a : 0.0f;
        }
        if (type == SampleType::Half)
            for (int c = 0; c < 4; ++c)
                if (std::fabs(v[c]) > kHalfMax) v[c] = std::copysign(kHalfMax, v[c]);
    }

    // The channels that go out: the source's, in their places, where the format holds any
    // number of channels; colour and alpha alone where it does not.
    const bool anyChannels = out->supports("nchannels");
    const bool alphaOut = out->supports("alpha") && (source.hasAlpha() || !opaque);
    OIIO::ImageSpec const& in = source.header;
    std::vector<int> from;  // source channel per output channel; -1 is an added alpha
    std::vector<std::string> dropped;
    for (int c = 0; c < in.nchannels; ++c) {
        const Role role = roleOf(source, c);
        if ((role == Role::Alpha && alphaOut) || (role != Role::Alpha && (role != Role::Other || anyChannels)))
            from.push_back(c);
        else
            dropped.push_back(in.channelnames[std::size_t(c)]);
    }
    if (alphaOut && !source.hasAlpha()) from.push_back(-1);
    const int nch = static_cast<int>(from.size());

    OIIO::ImageSpec header = in;
    header.nchannels = nch;
    header.set_format(typeDescOf(type));
    header.channelnames.clear();
    header.alpha_channel = -1;
    header.z_channel = -1;
    header.tile_width = header.tile_height = header.tile_depth = 0;
    const bool perChannel = out->supports("channelformats");
    bool mixed = false;
    std::vector<OIIO::TypeDesc> formats;
    for (int k = 0; k < nch; ++k) {
        const int c = from[std::size_t(k)];
        header.channelnames.push_back(c < 0 ? "A" : in.channelnames[std::size_t(c)]);
        const Role role = c < 0 ? Role::Alpha : roleOf(source, c);
        if (role == Role::Alpha) header.alpha_channel = k;
        if (c >= 0 && c == in.z_channel) header.z_channel = k;
        OIIO::TypeDesc t = typeDescOf(type);
        if (role == Role::Other && perChannel) t = in.channelformat(c);
        mixed = mixed || t != typeDescOf(type);
        formats.push_back(t);
    }
    if (mixed) header.channelformats = formats;
    else header.channelformats.clear();
    for (const char* name : {"oiio:BitsPerSample", "oiio:UnassociatedAlpha", "openexr:levelmode",
                             "oiio:subimages", "Software"})
        header.erase_attribute(name);
    const int sourceBits = in.get_int_attribute("oiio:BitsPerSample", 0);
    if (type == source.type && !options.type && sourceBits > 0 && sourceBits < bitsOf(type))
        header.attribute("oiio:BitsPerSample", sourceBits);
    if (straight && alphaOut) header.attribute("oiio:UnassociatedAlpha", 1);
    if (!sameEncoding) header.attribute("oiio:ColorSpace", encodeTo.empty() ? kLinear : encodeTo);
    header.attribute("Software", "Raydrift " + releaseVersion());
    header.attribute("raydrift:parameters", options.parameters.empty() ? "defaults" : options.parameters);
    if (!options.compression.empty()) header.attribute("compression", options.compression);
    if (options.quality > 0) {
        header.attribute("CompressionQuality", options.quality);
        if (format == "jpeg" || format == "webp")
            header.attribute("compression", format + ":" + std::to_string(options.quality));
    }

    // Samples are handed over as floats: every source type converts to float and back
    // exactly, so channels the effect does not use keep their bits. Every sample is
    // written below, so the buffer a job kept from its last frame is not cleared.
    thread_local std::vector<float> data;
    data.resize(pixels * std::size_t(nch));
    const int inCh = in.nchannels;
    const bool copyUntouched = untouched && sameConvention && sameEncoding;
    for (std::size_t i = 0; i < pixels; ++i) {
        float const* s = &source.samples[i * std::size_t(inCh)];
        float const* v = &rgba[i * 4];
        const bool keep = copyUntouched && (*untouched)[i];
        float* d = &data[i * std::size_t(nch)];
        for (int k = 0; k < nch; ++k) {
            const int c = from[std::size_t(k)];
            const Role role = c < 0 ? Role::Alpha : roleOf(source, c);
            if (role == Role::Other || (keep && c >= 0)) d[k] = s[c];
            else if (role == Role::Grey) d[k] = 0.2126f * v[0] + 0.7152f * v[1] + 0.0722f * v[2];
            else d[k] = v[role == Role::Alpha ? 3 : static_cast<int>(role)];
        }
    }

    std::vector<OIIO::ImageSpec> specs;
    const bool allParts = !source.otherParts.empty() && out->supports("multiimage");
    if (allParts) {
        for (StoredPart const& p : source.otherParts) specs.push_back(p.header);
        for (OIIO::ImageSpec& s : specs) {
            s.tile_width = s.tile_height = s.tile_depth = 0;
            s.erase_attribute("openexr:levelmode");
        }
        specs.insert(specs.begin() + source.part, header);
    } else {
        specs.push_back(header);
        if (!source.otherParts.empty())
            dropped.push_back(std::to_string(source.otherParts.size()) + " other part(s)");
    }
    if (!dropped.empty() && !options.quiet) {
        std::string list;
        for (std::string const& d : dropped) list += (list.empty() ? "" : ", ") + d;
        std::fprintf(stderr, "raydrift: note: %s cannot hold %s; written without\n", path.c_str(), list.c_str());
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
    auto fail = [&](std::string why) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        // The user knows the file by the name they gave, not by the temporary one.
        for (auto at = why.find(temp.string()); at != std::string::npos; at = why.find(temp.string(), at))
            why.replace(at, temp.string().size(), path);
        throw CliError(what + ": " + oneLine(why));
    };
    const int count = static_cast<int>(specs.size());
    if (!out->open(temp.string(), count, specs.data())) fail(out->geterror());
    std::size_t stored = 0;
    for (int s = 0; s < count; ++s) {
        if (s > 0 && !out->open(temp.string(), specs[std::size_t(s)], OIIO::ImageOutput::AppendSubimage))
            fail(out->geterror());
        const bool ok = s == (allParts ? source.part : 0)
                            ? out->write_image(OIIO::TypeDesc::FLOAT, data.data())
                            : out->write_image(OIIO::TypeUnknown, source.otherParts[stored++].pixels.data());
        if (!ok) {
            out->close();
            fail(out->geterror());
        }
    }
    if (!out->close()) fail(out->geterror());
    std::error_code ec;
    std::filesystem::rename(temp, target, ec);
    if (ec) fail(ec.message());
}

}  // namespace raydrift::cli

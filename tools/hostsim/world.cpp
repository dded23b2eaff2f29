// Host-owned pixel worlds with optional row padding, bottom-up rows and guard zones.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "PrSDKPixelFormat.h"
#include "hostsim.h"

namespace hostsim {

namespace {

constexpr std::uint8_t kGuardByte = 0xA5;
constexpr int kGuardBytes = 64;

template <typename T>
T quantised(float v, float scale) {
    if (!(v > 0.0f)) return 0;
    return static_cast<T>(std::lround(std::min(v, scale)));
}

}  // namespace

float World::fullScale(int format) {
    switch (format) {
    case PF_PixelFormat_ARGB32:
    case PrPixelFormat_BGRA_4444_8u:
        return 255.0f;
    case PF_PixelFormat_ARGB64:
        return 32768.0f;
    default:
        return 1.0f;
    }
}

int World::pixelBytes(int format) {
    switch (format) {
    case PF_PixelFormat_ARGB32:
    case PrPixelFormat_BGRA_4444_8u:
        return 4;
    case PF_PixelFormat_ARGB64:
        return 8;
    case PF_PixelFormat_ARGB128:
    case PrPixelFormat_BGRA_4444_32f:
        return 16;
    default:
        return 0;
    }
}

World::World(int width, int height, int format) : World(width, height, format, 0) {}

World::World(int width, int height, int format, int rowbytes) : format_(format), guard_(kGuardBytes) {
    const int bytes = pixelBytes(format);
    if (bytes == 0) throw std::invalid_argument("hostsim: unknown pixel format " + formatName(format));
    if (width < 0 || height < 0) throw std::invalid_argument("hostsim: negative world size");
    const long rowLength = static_cast<long>(width) * bytes;
    const long rb = rowbytes == 0 ? rowLength : rowbytes;
    const long stride = std::labs(rb);
    if (stride < rowLength) throw std::invalid_argument("hostsim: rowbytes shorter than a row");
    bytes_.assign(static_cast<std::size_t>(2 * guard_ + stride * height), kGuardByte);
    for (long m = 0; m < height; ++m)
        std::memset(bytes_.data() + guard_ + m * stride, 0, static_cast<std::size_t>(rowLength));
    std::uint8_t* first = bytes_.data() + guard_ + (rb < 0 && height > 0 ? (height - 1) * stride : 0);
    def_.data = reinterpret_cast<PF_PixelPtr>(first);
    def_.rowbytes = static_cast<A_long>(rb);
    def_.width = width;
    def_.height = height;
    def_.world_flags = PF_WorldFlag_WRITEABLE | (format == PF_PixelFormat_ARGB64 ? PF_WorldFlag_DEEP : 0);
    def_.extent_hint = PF_LRect{0, 0, width, height};
    def_.pix_aspect_ratio = PF_RationalScale{1, 1};
}

void World::rebase(World const& from) {
    auto const* base = from.bytes_.data();
    auto const* p = reinterpret_cast<std::uint8_t const*>(from.def_.data);
    if (p && !from.bytes_.empty() && p >= base && p < base + from.bytes_.size())
        def_.data = reinterpret_cast<PF_PixelPtr>(bytes_.data() + (p - base));
}

World::World(World const& other)
    : format_(other.format_), guard_(other.guard_), bytes_(other.bytes_), def_(other.def_) {
    rebase(other);
}

World& World::operator=(World const& other) {
    if (this != &other) {
        format_ = other.format_;
        guard_ = other.guard_;
        bytes_ = other.bytes_;
        def_ = other.def_;
        rebase(other);
    }
    return *this;
}

// A moved vector keeps its buffer, so the pixel pointer stays valid.
World::World(World&& other) noexcept = default;
World& World::operator=(World&& other) noexcept = default;

bool World::guardsIntact() const {
    if (bytes_.empty()) return true;
    const long rowLength = static_cast<long>(std::max(def_.width, 0)) * std::max(pixelBytes(format_), 1);
    const long area = static_cast<long>(bytes_.size()) - 2 * guard_;
    const long stride = std::labs(static_cast<long>(def_.rowbytes));
    auto isGuard = [&](long from, long to) {
        for (long i = from; i < to; ++i)
            if (bytes_[static_cast<std::size_t>(i)] != kGuardByte) return false;
        return true;
    };
    if (!isGuard(0, guard_)) return false;
    if (!isGuard(guard_ + area, static_cast<long>(bytes_.size()))) return false;
    if (stride > rowLength && stride > 0)
        for (long m = 0; m * stride < area; ++m)
            if (!isGuard(guard_ + m * stride + rowLength, guard_ + (m + 1) * stride)) return false;
    return true;
}

void World::get(int x, int y, float argb[4]) const {
    std::uint8_t const* p = row(y) + static_cast<std::ptrdiff_t>(x) * pixelBytes(format_);
    switch (format_) {
    case PF_PixelFormat_ARGB32:
        for (int c = 0; c < 4; ++c) argb[c] = p[c];
        break;
    case PF_PixelFormat_ARGB64: {
        std::uint16_t v[4];
        std::memcpy(v, p, sizeof v);
        for (int c = 0; c < 4; ++c) argb[c] = v[c];
        break;
    }
    case PF_PixelFormat_ARGB128:
        std::memcpy(argb, p, 16);
        break;
    case PrPixelFormat_BGRA_4444_8u:
        argb[0] = p[3], argb[1] = p[2], argb[2] = p[1], argb[3] = p[0];
        break;
    case PrPixelFormat_BGRA_4444_32f: {
        float v[4];
        std::memcpy(v, p, sizeof v);
        argb[0] = v[3], argb[1] = v[2], argb[2] = v[1], argb[3] = v[0];
        break;
    }
    default:
        argb[0] = argb[1] = argb[2] = argb[3] = 0.0f;
    }
}

void World::set(int x, int y, float const argb[4]) {
    std::uint8_t* p = row(y) + static_cast<std::ptrdiff_t>(x) * pixelBytes(format_);
    const float scale = fullScale(format_);
    switch (format_) {
    case PF_PixelFormat_ARGB32:
        for (int c = 0; c < 4; ++c) p[c] = quantised<std::uint8_t>(argb[c], scale);
        break;
    case PF_PixelFormat_ARGB64: {
        std::uint16_t v[4];
        for (int c = 0; c < 4; ++c) v[c] = quantised<std::uint16_t>(argb[c], scale);
        std::memcpy(p, v, sizeof v);
        break;
    }
    case PF_PixelFormat_ARGB128:
        std::memcpy(p, argb, 16);
        break;
    case PrPixelFormat_BGRA_4444_8u:
        p[3] = quantised<std::uint8_t>(argb[0], scale);
        p[2] = quantised<std::uint8_t>(argb[1], scale);
        p[1] = quantised<std::uint8_t>(argb[2], scale);
        p[0] = quantised<std::uint8_t>(argb[3], scale);
        break;
    case PrPixelFormat_BGRA_4444_32f: {
        const float v[4] = {argb[3], argb[2], argb[1], argb[0]};
        std::memcpy(p, v, sizeof v);
        break;
    }
    default:
        break;
    }
}

std::string formatName(int format) {
    switch (format) {
    case PF_PixelFormat_ARGB32: return "argb";
    case PF_PixelFormat_ARGB64: return "ae16";
    case PF_PixelFormat_ARGB128: return "ae32";
    case PF_PixelFormat_GPU_BGRA128: return "@CDA";
    case PrPixelFormat_BGRA_4444_8u: return "bgra";
    case PrPixelFormat_BGRA_4444_32f: return "BGra";
    case PF_PixelFormat_INVALID: return "badf";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(format));
        return text;
    }
    }
}

std::string utf8(std::u16string const& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < text.size() && text[i + 1] >= 0xdc00 &&
            text[i + 1] < 0xe000)
            c = 0x10000 + ((c - 0xd800) << 10) + (text[++i] - 0xdc00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xe0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

}  // namespace hostsim

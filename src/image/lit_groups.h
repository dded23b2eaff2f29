// Which runs of 8 pixels of each row of an image hold a bit other than +0 (−0, NaN and
// Inf count as light): noted by the pass that writes the image while its pixels are at
// hand, so that a later pass can leave out what reads only +0 without reading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/image.h"
#include "image/vector_units.h"

namespace raydrift::image {

class LitGroups {
public:
    static constexpr int kGroup = 8;

    void resize(int width, int height) {
        width_ = width < 0 ? 0 : width;
        height_ = height < 0 ? 0 : height;
        groups_ = (width_ + kGroup - 1) / kGroup;
        flags_.assign(static_cast<std::size_t>(groups_) * static_cast<std::size_t>(height_), 0);
    }
    int width() const { return width_; }
    int height() const { return height_; }
    int groups() const { return groups_; }
    bool lit(int y, int group) const {
        const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(groups_);
        return flags_[at + static_cast<std::size_t>(group)] != 0;
    }

    // Row y's flags, one per group, for a pass that notes its groups itself.
    std::uint8_t* row(int y) { return flags_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(groups_); }

    // Pixels [x0, x0 + n) of row y, at `pixels`; x0 a multiple of kGroup.
    void note(int y, int x0, Pixel const* pixels, int n) {
        std::uint8_t* flags = flags_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(groups_);
        for (int g = 0; g < n; g += kGroup) {
            vec::I4 any{};
            for (int x = g; x < (n - g < kGroup ? n : g + kGroup); ++x) any |= (vec::I4)vec::load(pixels + x);
            flags[(x0 + g) / kGroup] = vec::any(any != vec::I4{}) ? 1 : 0;
        }
    }

private:
    int width_ = 0, height_ = 0, groups_ = 0;
    std::vector<std::uint8_t> flags_;
};

}  // namespace raydrift::image

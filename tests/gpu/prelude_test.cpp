// The C++ prelude of the kernel dialect: half conversion as the GPU rounds it, and the
// bit reinterpretation the export compares with.
#include <metal_stdlib>
#undef kernel
#undef device
#undef constant
#undef thread

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

TEST(MetalPrelude, HalfConversionRoundsToNearestEven) {
    const struct {
        float value;
        std::uint16_t bits;
    } table[] = {
        {1.0f, 0x3c00},          {-0.0f, 0x8000},          {65504.0f, 0x7bff},       {65519.0f, 0x7bff},
        {65520.0f, 0x7c00},      {1e9f, 0x7c00},           {-INFINITY, 0xfc00},      {0x1p-24f, 0x0001},
        {0x1p-25f, 0x0000},      {0x1.8p-25f, 0x0001},     {0x1p-14f, 0x0400},       {0x1.ff8p-15f, 0x03ff}, {0x1.ffcp-15f, 0x0400},
        {1.0f + 0x1p-11f, 0x3c00}, {1.0f + 0x3p-11f, 0x3c02}, {0.1f, 0x2e66},         {-2.5f, 0xc100},
    };
    for (auto const& row : table) EXPECT_EQ(metal::half(row.value).bits, row.bits) << row.value;
    EXPECT_EQ(metal::half(NAN).bits & 0x7e00, 0x7e00);
    // Every half survives the trip through float unchanged (NaNs stay NaN).
    for (std::uint32_t b = 0; b < 0x10000; ++b) {
        const auto h = static_cast<metal::ushort>(b);
        const float f = metal::half::toFloat(h);
        if (std::isnan(f)) {
            EXPECT_TRUE(std::isnan(metal::half::toFloat(metal::half::fromFloat(f))));
            continue;
        }
        ASSERT_EQ(metal::half::fromFloat(f), h) << b;
    }
    EXPECT_EQ(metal::as_type<metal::uint>(-0.0f), 0x80000000u);
}

}  // namespace

// Pixel-format codes of the host worlds: the three After Effects ARGB depths, the GPU
// world, and (PrSDKPixelFormat.h) the second host's BGRA formats.
#pragma once

#include "A.h"

constexpr A_long PF_FourCC(char a, char b, char c, char d) {
    return static_cast<A_long>((static_cast<A_u_long>(static_cast<unsigned char>(a)) << 24) |
                               (static_cast<A_u_long>(static_cast<unsigned char>(b)) << 16) |
                               (static_cast<A_u_long>(static_cast<unsigned char>(c)) << 8) |
                               static_cast<A_u_long>(static_cast<unsigned char>(d)));
}

// Every pixel-format code is its four characters read as a big-endian word, the value a
// multi-character literal such as 'argb' has, so the two hosts' codes never collide
// ('argb' and 'bgra' are different numbers).
constexpr A_long MAKE_PIXEL_FORMAT_FOURCC(char a, char b, char c, char d) { return PF_FourCC(a, b, c, d); }

typedef A_long PF_PixelFormat;

enum : A_long {
    PF_PixelFormat_ARGB32 = PF_FourCC('a', 'r', 'g', 'b'),
    PF_PixelFormat_ARGB64 = PF_FourCC('a', 'e', '1', '6'),
    PF_PixelFormat_ARGB128 = PF_FourCC('a', 'e', '3', '2'),
    PF_PixelFormat_GPU_BGRA128 = PF_FourCC('@', 'C', 'D', 'A'),
    PF_PixelFormat_INVALID = PF_FourCC('b', 'a', 'd', 'f'),
};

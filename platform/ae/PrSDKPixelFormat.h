// Premiere Pro pixel-format codes used by the software and GPU render paths.
#pragma once

#include "AE_EffectPixelFormat.h"

typedef A_long PrPixelFormat;

enum : A_long {
    PrPixelFormat_BGRA_4444_8u = MAKE_PIXEL_FORMAT_FOURCC('b', 'g', 'r', 'a'),
    PrPixelFormat_BGRA_4444_32f = MAKE_PIXEL_FORMAT_FOURCC('B', 'G', 'r', 'a'),
    PrPixelFormat_GPU_BGRA_4444_32f = MAKE_PIXEL_FORMAT_FOURCC('@', 'C', 'D', 'A'),
    PrPixelFormat_GPU_BGRA_4444_16f = MAKE_PIXEL_FORMAT_FOURCC('@', 'C', 'D', 'a'),
    PrPixelFormat_Invalid = MAKE_PIXEL_FORMAT_FOURCC('b', 'a', 'd', 'f'),
};

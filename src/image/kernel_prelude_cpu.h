// The C++ side of the shared pixel arithmetic. The per-pixel headers (pixel_math.h
// and friends) are written so that the GPU kernel sources can include the same text
// behind a prelude of their own; this one maps the prelude's names onto C++.
#pragma once

#include <cmath>

#ifndef RD_FN
#define RD_FN inline
#endif

// RAYDRIFT_CPU_FMA is the build option; SM_CPU_FMA is the name the kernel sources test,
// so a kernel built next to this CPU code makes the same fusing choice.
#if defined(RAYDRIFT_CPU_FMA) && RAYDRIFT_CPU_FMA
#define SM_CPU_FMA 1
#else
#define SM_CPU_FMA 0
#endif

#ifndef RD_FMA
#define RD_FMA(a, b, c) std::fma((a), (b), (c))
#endif

// Division. The kernel preludes replace it where the device's quotient is not the
// correctly rounded one.
#ifndef RD_DIV
#define RD_DIV(a, b) ((a) / (b))
#endif

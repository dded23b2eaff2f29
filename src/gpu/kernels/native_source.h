// The CUDA and OpenCL back ends' kernel source: the OpenCL C text compiled at run time,
// and the PTX built from the same text when the build found nvcc (empty otherwise).
#pragma once

#include <cstddef>

namespace raydrift::metal {

// Prelude, the two constant blocks, the kernels: concatenated in this order they are the
// source. The compiler must define SM_CPU_FMA as the CPU build does.
inline constexpr std::size_t kNativePieceCount = 4;
extern const char* const kNativePieces[kNativePieceCount];

// NUL-terminated PTX, or "" when the build had no CUDA compiler.
extern const char* const kNativePtx;

}  // namespace raydrift::metal

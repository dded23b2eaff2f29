// The words the shared kernel text needs, for each compiler that builds it: OpenCL C
// (run-time compile), CUDA (PTX at build time). Buffers are plain pointers to structs of
// floats, so the text needs no vector types; running sums are doubles and every division
// that must match the CPU is done in double and rounded once.
#if defined(__OPENCL_C_VERSION__)
#pragma OPENCL EXTENSION cl_khr_fp64 : enable
#pragma OPENCL FP_CONTRACT OFF
#define RD_FN static inline
#define RD_KERNEL __kernel void
#define RD_GLOBAL __global
#define RD_GX ((int)get_global_id(0))
#define RD_GY ((int)get_global_id(1))
#define RD_ATOMIC_OR(p, v) atomic_or((p), (v))
#define RD_AS_UINT(f) as_uint(f)
#define RD_AS_FLOAT(u) as_float(u)
#define RD_FMA(a, b, c) fma((a), (b), (c))
#define RD_SQRT(x) sqrt(x)
#define RD_FABS(x) fabs(x)
#define RD_FLOOR(x) floor(x)
typedef long rd_long;
// rotate() is a built-in function of OpenCL C; the kernel takes another name.
#define RD_ROTATE rotateImage
#elif defined(__CUDACC__)
#define RD_FN __device__ static inline
#define RD_KERNEL extern "C" __global__ void
#define RD_GLOBAL
#define RD_GX ((int)(blockIdx.x * blockDim.x + threadIdx.x))
#define RD_GY ((int)(blockIdx.y * blockDim.y + threadIdx.y))
#define RD_ATOMIC_OR(p, v) atomicOr((p), (v))
#define RD_AS_UINT(f) __float_as_uint(f)
#define RD_AS_FLOAT(u) __uint_as_float(u)
#define RD_FMA(a, b, c) fmaf((a), (b), (c))
#define RD_SQRT(x) sqrtf(x)
#define RD_FABS(x) fabsf(x)
#define RD_FLOOR(x) floorf(x)
typedef unsigned int uint;
typedef unsigned short ushort;
typedef unsigned char uchar;
typedef long long rd_long;
#define RD_ROTATE rotate
#endif
#define RD_DIV(a, b) ((float)((double)(a) / (double)(b)))

// Basic scalar types and error codes shared by the host effect and AEGP APIs.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::int32_t A_long;
typedef std::uint32_t A_u_long;
typedef std::int16_t A_short;
typedef std::uint16_t A_u_short;
typedef char A_char;
typedef std::uint8_t A_u_char;
typedef unsigned char A_Boolean;
typedef double A_FpLong;
typedef float A_FpShort;
typedef A_long A_Err;
typedef std::int64_t A_long_long;
typedef std::uint64_t A_u_longlong;
typedef std::size_t A_HandleSize;
typedef std::intptr_t A_intptr_t;

typedef struct {
    A_long value;
    A_u_long scale;
} A_Time;

typedef struct {
    A_long num;
    A_u_long den;
} A_Ratio;

enum {
    A_Err_NONE = 0,
    A_Err_GENERIC = 1,
    A_Err_STRUCT = 2,
    A_Err_PARAMETER = 3,
    A_Err_ALLOC = 4,
    A_Err_WRONG_THREAD = 5,
    A_Err_CONST_PROJECT_MODIFICATION = 6,
    A_Err_MISSING_SUITE = 13,
};

// The host's basic suite: every other suite is acquired and released through it by
// name and version.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::int32_t SPErr;
typedef std::int32_t SPBoolean;

enum {
    kSPNoError = 0,
    kSPUnimplementedError = 0x21554e49,  // '!UNI'
    kSPSuiteNotFoundError = 0x53214e46,  // 'S!NF'
    kSPBadParameterError = 0x50415221,   // 'PAR!'
};

typedef struct SPBasicSuite {
    SPErr (*AcquireSuite)(const char* name, std::int32_t version, const void** suite);
    SPErr (*ReleaseSuite)(const char* name, std::int32_t version);
    SPBoolean (*IsEqual)(const char* token1, const char* token2);
    SPErr (*AllocateBlock)(std::size_t size, void** block);
    SPErr (*FreeBlock)(void* block);
    SPErr (*ReallocateBlock)(void* block, std::size_t newSize, void** newblock);
    SPErr (*Undefined)(void);
} SPBasicSuite;

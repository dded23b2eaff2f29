// The HLSL kernels' C++ build as the software Direct3D device sees it: per source, the
// entries with their group shapes, and how the bound resources reach the source's globals.
#pragma once

#include <string>
#include <vector>

namespace rdhlsl {

struct uint3;

// Memory behind the bound views and constant blocks: t0…t3, u0…u3, b0 and b1.
struct Bindings {
    unsigned char* t[4] = {};
    unsigned char* u[4] = {};
    unsigned char* b[2] = {};
};

struct KernelEntry {
    std::string source;  // the source name given to the compiler
    std::string name;
    unsigned groupX, groupY;
    void (*bind)(Bindings const&);
    void (*run)(uint3 const&);
};

std::vector<KernelEntry> streakKernels();
std::vector<KernelEntry> frameKernels();

}  // namespace rdhlsl

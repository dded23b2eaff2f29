// A broken invariant is a finding: say which, then crash for libFuzzer.
#pragma once

#include <cstdio>
#include <cstdlib>

#define check(ok) ::fuzzCheckAt((ok), #ok, __FILE__, __LINE__)

inline void fuzzCheckAt(bool ok, const char* what, const char* file, int line) {
    if (ok) return;
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

#include "image/vector_units.h"

#include <atomic>

namespace raydrift::image::vec {

namespace {

Units offered() {
#if RD_HAVE_AVX2_VARIANT
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
        return Units::Avx512;
    if (__builtin_cpu_supports("avx2")) return Units::Avx2;
#endif
    return Units::Baseline;
}

const Units kOffered = offered();
std::atomic<int> limit{static_cast<int>(Units::Avx512)};

}  // namespace

Units units() {
    const int cap = limit.load(std::memory_order_relaxed);
    return static_cast<int>(kOffered) < cap ? kOffered : static_cast<Units>(cap);
}

void limitUnits(Units cap) { limit.store(static_cast<int>(cap), std::memory_order_relaxed); }

}  // namespace raydrift::image::vec

#include "ovila/core/features.hpp"

#include <atomic>

namespace ovila::core {

namespace {

std::atomic<bool>& avx2_in_force() {
    static std::atomic<bool> flag{detected_features().avx2};
    return flag;
}

}  // namespace

Features detected_features() {
#if OVILA_AVX2_VARIANTS
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("popcnt") != 0;
    return Features{avx2};
#else
    return Features{false};
#endif
}

Features features() { return Features{avx2_in_force().load(std::memory_order_relaxed)}; }

Features set_features(Features chosen) {
    const bool avx2 = chosen.avx2 && detected_features().avx2;
    return Features{avx2_in_force().exchange(avx2, std::memory_order_relaxed)};
}

}  // namespace ovila::core

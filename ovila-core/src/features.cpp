#include "ovila/core/features.hpp"

#include <atomic>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ovila/core/error.hpp"

namespace ovila::core {

namespace {

std::atomic<bool>& avx2_in_force() {
    static std::atomic<bool> flag{features_for_setting(std::getenv(kernels_variable), detected_features()).avx2};
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

Features features_for_setting(const char* setting, Features detected) {
    const std::string_view value = setting != nullptr ? setting : "";
    if (value.empty() || value == "auto") return detected;
    if (value == "portable") return Features{false};
    throw ConfigError(std::string(kernels_variable) + " must be 'portable' or 'auto' (or unset), got '" +
                      std::string(value) + "'");
}

Features features() { return Features{avx2_in_force().load(std::memory_order_relaxed)}; }

const char* kernels_name(Features chosen) { return chosen.avx2 ? "avx2" : "portable"; }

Features set_features(Features chosen) {
    const bool avx2 = chosen.avx2 && detected_features().avx2;
    return Features{avx2_in_force().exchange(avx2, std::memory_order_relaxed)};
}

}  // namespace ovila::core

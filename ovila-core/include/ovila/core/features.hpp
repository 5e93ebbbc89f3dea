// The processor features the kernels of every engine may use, chosen once
// per process from what the processor offers, unless the environment asks
// for the portable kernels. Tests may choose fewer, so that every variant of
// a kernel runs on one machine.
#pragma once

// Whether this compiler can build the AVX2 variants (selected at run time).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define OVILA_AVX2_VARIANTS 1
#define OVILA_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#else
#define OVILA_AVX2_VARIANTS 0
#define OVILA_TARGET_AVX2
#endif

// The portable variants are built twice, with and without the popcnt
// instruction, and the loader picks one.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define OVILA_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define OVILA_POPCOUNT_CLONES
#endif

namespace ovila::core {

struct Features {
    bool avx2 = false;
};

// The environment variable that chooses the kernels: "portable" forces the
// portable variants; unset, empty or "auto" leaves the choice to the processor.
inline constexpr const char* kernels_variable = "OVILA_KERNELS";

// What this processor offers (and this build can use).
Features detected_features();

// The features `setting` (the variable's value, null when unset) leaves of
// `detected`. Any value but those above is refused with ConfigError.
Features features_for_setting(const char* setting, Features detected);

// The features in force: those the variable leaves of the detected ones (it
// is read once, by the first call) unless a test chose others. Objects pick
// their kernels when they are built; an extension calls this when it loads,
// so that a refused setting fails there.
Features features();

// "avx2" or "portable": the kernels `chosen` selects.
const char* kernels_name(Features chosen);

// Puts `chosen` in force (features the processor lacks are dropped) and
// returns the previous choice. For tests.
Features set_features(Features chosen);

}  // namespace ovila::core

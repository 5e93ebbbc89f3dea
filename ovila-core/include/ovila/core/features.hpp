// The processor features the kernels of every engine may use, chosen once
// at start from what the processor offers. Tests may choose fewer, so that
// every variant of a kernel runs on one machine.
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

// What this processor offers (and this build can use).
Features detected_features();

// The features in force: the detected ones unless a test chose others.
// Objects pick their kernels when they are built.
Features features();

// Puts `chosen` in force (features the processor lacks are dropped) and
// returns the previous choice. For tests.
Features set_features(Features chosen);

}  // namespace ovila::core

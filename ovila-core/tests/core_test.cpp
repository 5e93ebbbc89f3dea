// The core's random step (every engine's draws, and so every seeded result,
// depend on it word for word) and the choice of processor features.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "ovila/core/error.hpp"
#include "ovila/core/features.hpp"
#include "ovila/core/xoshiro.hpp"

namespace ovila::core {
namespace {

TEST(Xoshiro, SeedingAndStepGiveTheKnownWords) {
    // splitmix64 from 0: its published first words.
    std::uint64_t state = 0;
    EXPECT_EQ(splitmix64(state), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(splitmix64(state), 0x6E789E6AA1B965F4ULL);
    EXPECT_EQ(splitmix64(state), 0x06C45D188009454FULL);

    // xoshiro256++ from the state {1, 2, 3, 4}: its published first words.
    std::array<std::uint64_t, 4> s{1, 2, 3, 4};
    for (const std::uint64_t expected : {41943041ULL, 58720359ULL, 3588806011781223ULL, 3591011842654386ULL}) {
        EXPECT_EQ(xoshiro_next(s), expected);
    }
}

TEST(Features, CanBeNarrowedButNotWidened) {
    const Features previous = set_features({false});
    EXPECT_FALSE(features().avx2);
    set_features({true});
    EXPECT_EQ(features().avx2, detected_features().avx2);
    set_features(previous);
}

// OVILA_KERNELS: "portable" drops every feature, unset, empty or "auto"
// keeps what was detected, anything else is refused (a mistyped value must
// not silently leave the fast kernels in force).
TEST(Features, TheVariableChoosesThePortableKernelsOrRefuses) {
    for (const bool avx2 : {false, true}) {
        const Features detected{avx2};
        for (const char* keep : {static_cast<const char*>(nullptr), "", "auto"}) {
            EXPECT_EQ(features_for_setting(keep, detected).avx2, avx2);
        }
        EXPECT_FALSE(features_for_setting("portable", detected).avx2);
        for (const char* refused : {"avx2", "Portable", " portable", "portable ", "1"}) {
            try {
                features_for_setting(refused, detected);
                ADD_FAILURE() << refused;
            } catch (const ConfigError& error) {
                EXPECT_EQ(error.what(), "OVILA_KERNELS must be 'portable' or 'auto' (or unset), got '" +
                                            std::string(refused) + "'");
            }
        }
    }
    EXPECT_STREQ(kernels_name({true}), "avx2");
    EXPECT_STREQ(kernels_name({false}), "portable");
}

}  // namespace
}  // namespace ovila::core

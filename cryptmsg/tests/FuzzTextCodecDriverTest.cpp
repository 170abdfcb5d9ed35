// Runs the codec's fuzz entry point on edge lengths around the line and
// group boundaries and on a fixed number of seeded random inputs; the entry
// point ends the process on a wrong result.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzTextCodec, EdgeLengthsAndRandomInputsRoundTrip)
{
    std::mt19937 rng(20261209);
    for (uint8_t flags = 0; flags < 4; ++flags) {
        for (size_t n : {0, 1, 2, 3, 4, 56, 57, 58, 59, 113, 114, 115, 171, 1000, 4096}) {
            std::vector<uint8_t> input(n + 1);
            input[0] = flags;
            for (size_t i = 1; i < input.size(); ++i)
                input[i] = static_cast<uint8_t>(rng());
            EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
        }
    }
    for (int run = 0; run < 5000; ++run) {
        std::vector<uint8_t> input(1 + rng() % 400);
        const bool textLike = rng() % 2;
        for (auto& b : input)
            b = textLike ? static_cast<uint8_t>("AZaz09+/=\r\n -"[rng() % 14]) : static_cast<uint8_t>(rng());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
}

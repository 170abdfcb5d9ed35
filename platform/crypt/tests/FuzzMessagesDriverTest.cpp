// Runs the CryptDecryptMessage fuzz entry point over its seeds and a fixed
// number of random mutations of them: cuts, flipped bits, changed and
// inserted bytes, and length bytes set to extremes.
#include "FuzzMessages.h"

#include "FuzzMutations.h"

#include <gtest/gtest.h>

#include <random>

TEST(FuzzMessages, SeedsOpenAndMutationsFailCleanly)
{
    auto seeds = MessageFuzzSeeds();
    ASSERT_EQ(seeds.size(), 4u);
    for (const auto& s : seeds) {
        ASSERT_FALSE(s.empty());
        LLVMFuzzerTestOneInput(s.data(), s.size());
    }
    std::mt19937 rng(4490);
    for (int run = 0; run < 3000; ++run) {
        std::vector<BYTE> input = seeds[rng() % seeds.size()];
        Mutate(input, rng, 4);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
}

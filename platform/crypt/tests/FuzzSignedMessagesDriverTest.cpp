// Runs the SignedData fuzz entry point over its seeds, which must all
// verify, and a fixed number of random mutations of them: cuts, flipped
// bits, changed and inserted bytes, and length bytes set to extremes. The
// entry point aborts on a verdict it must not give.
#include "FuzzSignedMessages.h"

#include "FuzzMutations.h"

#include <gtest/gtest.h>

#include <random>

TEST(FuzzSignedMessages, SeedsVerifyAndMutationsNeverVerifyOtherContent)
{
    auto seeds = SignedFuzzSeeds();
    ASSERT_EQ(seeds.size(), 5u);
    for (const auto& s : seeds) {
        ASSERT_FALSE(s.empty());
        EXPECT_TRUE(SignedFuzzVerdict(s.data(), s.size()));
    }
    std::mt19937 rng(5652);
    for (int run = 0; run < 3000; ++run) {
        std::vector<BYTE> input = seeds[rng() % seeds.size()];
        Mutate(input, rng, 3);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
}

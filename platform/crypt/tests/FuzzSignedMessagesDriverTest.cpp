// Runs the SignedData fuzz entry point over its seeds, which must all
// verify, and a fixed number of random mutations of them: cuts, flipped
// bits, changed and inserted bytes, and length bytes set to extremes. The
// entry point aborts on a verdict it must not give.
#include "FuzzSignedMessages.h"

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
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits && !input.empty(); ++e) {
            const size_t at = rng() % input.size();
            switch (rng() % 5) {
            case 0:
                input[at] = static_cast<BYTE>(rng());
                break;
            case 1:
                input.resize(at);
                break;
            case 2:
                input.insert(input.begin() + static_cast<long>(at), static_cast<BYTE>(rng()));
                break;
            case 3:
                input[at] = (rng() % 2) ? 0xFF : 0x84;
                break;
            default:
                input[at] ^= static_cast<BYTE>(1u << (rng() % 8));
                break;
            }
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
}

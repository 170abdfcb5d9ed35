// Runs the fuzz entry point on its GOST-signed seeds, malformed and hostile
// documents, and a fixed number of seeded random mutations of them; the entry
// point itself ends the process when a verdict is wrong.
#include "FuzzVerify.h"
#include "VerifierFixtures.h"

#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

using namespace trumik::verifiertest;
namespace tt = trumik::testing;

TEST(FuzzVerify, SeedsAndMutationsKeepTheVerdict)
{
    // A seed verifies (the set-up checked it) and carries its signed content;
    // the same document with one character of its content changed does not.
    const std::vector<std::string>& gost = trumik::verifiertest::GostSeeds();
    ASSERT_EQ(gost.size(), 3u);
    std::string altered = gost[0];
    const size_t at = altered.find("42");
    ASSERT_NE(at, std::string::npos);
    altered[at] = '5';
    Bstr seedText(gost[0]), alteredText(altered);
    ASSERT_TRUE(trumik::verifiertest::SignedContent(seedText.p));
    EXPECT_NE(trumik::verifiertest::SignedContent(seedText.p),
              trumik::verifiertest::SignedContent(alteredText.p));

    std::vector<std::string> seeds = gost;
    for (const char* hostile : {
             "",
             "<",
             "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\xd0\x96</a>",
             "<!DOCTYPE a [<!ENTITY e \"x\"><!ENTITY f \"&e;&e;&e;&e;\">]><a>&f;</a>",
             "<a><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo/></Signature></a>",
         })
        seeds.push_back(hostile);
    for (const std::string& seed : seeds)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
    std::mt19937 rng(20261208);
    for (int run = 0; run < 3000; ++run) {
        std::string input = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits && !input.empty(); ++e) {
            const size_t at = rng() % input.size();
            switch (rng() % 4) {
            case 0:
                input[at] = static_cast<char>(rng());
                break;
            case 1:
                input.erase(at, 1 + rng() % 16);
                break;
            case 2:
                input.insert(at, input.substr(rng() % input.size(), 1 + rng() % 32));
                break;
            default:
                input[at] = static_cast<char>(input[at] ^ (1 << (rng() % 8)));
                break;
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    }
}

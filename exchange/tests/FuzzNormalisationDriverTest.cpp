// Runs the normalisation fuzz entry point on documents that exercise each rule
// and on a fixed number of seeded random mutations of them; the entry point
// ends the process when a verdict fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzNormalisation, SeedsAndMutationsGiveWellFormedFixedPoints)
{
    const std::vector<std::string> seeds = {
        "<?xml version=\"1.0\"?><b:Data xmlns=\"urn:a\" xmlns:b=\"urn:b\" Id=\"D1\" z=\"1\" "
        "b:y=\"2\"><Empty/>"
        "<b:Text> \xD1\x82 &amp; &lt;x&gt; \"q\" </b:Text><Other xmlns=\"urn:d\"><Inner "
        "attr='v\"&amp;'/></Other>"
        "</b:Data>",
        "<r xmlns=\"urn:r\"><a xmlns=\"urn:x\"><b/></a><c xmlns=\"urn:x\" xml:lang=\"ru\"/></r>",
        "<p:r xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" q:a=\"1\" p:b=\"2\" c=\"3\"><!--c--><?pi?> x "
        "<![CDATA[<]]></p:r>",
        "<r xmlns=\"urn:r\">\t\n <s/> </r>",
    };
    for (const std::string& seed : seeds)
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(seed.data()), seed.size()), 0)
            << seed;
    std::mt19937 rng(20261210);
    const std::string pieces[] = {
        "<",     ">",     "/>", "</r>", "\"", "'",        "<!--", "-->",
        "&amp;", "xmlns", "=",  ":",    "\t", "\xD0\xAF", " ",    "<s xmlns=\"urn:s\"/>"};
    for (int run = 0; run < 5000; ++run) {
        std::string input = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !input.empty(); ++e) {
            const size_t at = rng() % input.size();
            switch (rng() % 3) {
            case 0:
                input.insert(at, pieces[rng() % std::size(pieces)]);
                break;
            case 1:
                input.erase(at, 1 + rng() % 3);
                break;
            default:
                input[at] = static_cast<char>(rng() % 128);
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    }
}

// Runs the splicing fuzz entry point on documents that test the reading of
// the markup (prolog, document type, comments, CDATA, quoted ">" and "/>",
// empty roots, prefixes) and on a fixed number of seeded random mutations of
// them; the entry point ends the process when a result is wrong.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzSplice, SeedsAndMutationsKeepTheCallersText)
{
    const std::vector<std::string> seeds = {
        "<a/>",
        "<a />",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc><item id=\"1\">Платёж</item></doc>\n<!-- after "
        "-->\n",
        "<!DOCTYPE r [<!ENTITY e \"<b>]></b>\"><!ATTLIST r x CDATA '>'><!-- ]> --><?pi ]>?>]>\n<r>&e;</r>",
        "<r a=\"/>\" b='</r>'><![CDATA[</r>]]><!-- </r> --><?p </r>?></r>",
        "<p:r xmlns:p=\"urn:p\" xmlns=\"urn:d\"><p:c/>text</p:r>",
        "<p:r xmlns:p=\"urn:p\"\n  x=\"1\"/>",
        "<r><r><r/></r></r>  ",
        "<?xml-stylesheet href=\"x\"?><!--c--><r>\r\n</r><?after?>",
    };
    for (const std::string& seed : seeds)
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(seed.data()), seed.size()), 0)
            << seed;
    std::mt19937 rng(20261210);
    const std::string pieces[] = {"<",   ">",  "/>",  "</r>", "\"", "'",   "<!--", "-->", "<![CDATA[",
                                  "]]>", "?>", "<?x", "]",    "[",  "<r>", "&e;",  " "};
    for (int run = 0; run < 5000; ++run) {
        std::string input = seeds[rng() % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !input.empty(); ++e) {
            const size_t at = rng() % input.size();
            switch (rng() % 4) {
            case 0:
                input.insert(at, pieces[rng() % std::size(pieces)]);
                break;
            case 1:
                input.erase(at, 1 + rng() % 8);
                break;
            case 2:
                input.insert(at, input.substr(rng() % input.size(), 1 + rng() % 24));
                break;
            default:
                input[at] = static_cast<char>(input[at] ^ (1 << (rng() % 7)));
                break;
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    }
}

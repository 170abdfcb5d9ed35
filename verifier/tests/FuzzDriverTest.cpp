// Runs the fuzz entry point on a few seeds (a signed document, malformed and
// hostile ones) and on a fixed number of seeded random mutations of them.
#include "VerifierFixtures.h"

#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

using namespace trumik::verifiertest;
namespace tt = trumik::testing;

TEST(FuzzVerify, SeedsAndMutationsFailCleanly)
{
    const Fixtures& f = GetFixtures();
    const fs::path dir = tt::MakeTempDir("fuzz-seeds");
    tt::WriteFile(
        dir / "in.xml",
        "<doc><v>1</v><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
        "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
        "<SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"/><Reference URI=\"\">"
        "<Transforms><Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
        "</Transforms><DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><DigestValue/>"
        "</Reference></SignedInfo><SignatureValue/></Signature></doc>");
    Sh("xmlsec1 --sign --privkey-pem '" + f.rsaKey.string() + "' --output '" + (dir / "out.xml").string() +
       "' '" + (dir / "in.xml").string() + "'");
    std::vector<std::string> seeds = {
        tt::ReadFile(dir / "out.xml"),
        "",
        "<",
        "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\xd0\x96</a>",
        "<!DOCTYPE a [<!ENTITY e \"x\"><!ENTITY f \"&e;&e;&e;&e;\">]><a>&f;</a>",
        "<a><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo/></Signature></a>",
    };
    for (const std::string& seed : seeds)
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
    std::mt19937 rng(20261208);
    for (int run = 0; run < 400; ++run) {
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

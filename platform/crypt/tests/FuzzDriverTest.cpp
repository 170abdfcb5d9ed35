// Runs the fuzz entry point on random mutations of a few seed files (a DER
// certificate, a PEM file, a PKCS #7, a CRL and a serialized store) for about
// two seconds.
#include "CryptFixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

using namespace trumik::crypttest;

TEST(FuzzStoreReader, RandomMutationsOfSeedsFailCleanly)
{
    const Fixtures& f = GetFixtures();
    std::vector<Bytes> seeds = {ReadBytes(f.gostDer), ReadBytes(f.twoPem), ReadBytes(f.pkcs7Der),
                                ReadBytes(f.crlDer)};
    {
        HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, seeds[0].data(),
                                         static_cast<DWORD>(seeds[0].size()), CERT_STORE_ADD_NEW, nullptr);
        CertAddEncodedCRLToStore(s, X509_ASN_ENCODING, seeds[3].data(), static_cast<DWORD>(seeds[3].size()),
                                 CERT_STORE_ADD_NEW, nullptr);
        CRYPT_DATA_BLOB blob{0, nullptr};
        CertSaveStore(s, 0, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob, 0);
        Bytes sst(blob.cbData);
        blob.pbData = sst.data();
        CertSaveStore(s, 0, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob, 0);
        CertCloseStore(s, 0);
        seeds.push_back(sst);
    }
    std::mt19937 rng(12345);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int runs = 0;
    for (const Bytes& s : seeds)
        LLVMFuzzerTestOneInput(s.data(), s.size());
    while (std::chrono::steady_clock::now() < deadline) {
        Bytes input = seeds[rng() % seeds.size()];
        int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits && !input.empty(); ++e) {
            size_t at = rng() % input.size();
            switch (rng() % 4) {
            case 0:
                input[at] = static_cast<BYTE>(rng());
                break;
            case 1:
                input.resize(at);
                break;
            case 2:
                input.insert(input.begin() + static_cast<long>(at), static_cast<BYTE>(rng()));
                break;
            default:
                input[at] ^= static_cast<BYTE>(1u << (rng() % 8));
                break;
            }
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++runs;
    }
    std::printf("%d mutated inputs\n", runs);
    EXPECT_GT(runs, 10);
}

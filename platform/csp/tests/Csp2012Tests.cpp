// GOST R 34.10-2012 keys (256 and 512 bits) and R 34.11-2012 hashes in the
// providers of types 80 and 81, against the openssl command line with the
// GOST engine.
#include "csp/Containers.h"
#include "wincrypt.h"

#include "testing/TestHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using trumik::testing::ReadFile;
using trumik::testing::RunCommand;
using trumik::testing::WriteFile;

struct Kind {
    const char* name;      // for messages and file names
    const char* genpkey;   // openssl genpkey -algorithm ... -pkeyopt paramset:...
    const char* paramset;  //
    const char* digestOpt; // openssl dgst option
    DWORD provType;
    ALG_ID hashAlg, signAlg, exchangeAlg;
    DWORD keyBits, digestSize, signatureSize;
};

const Kind k256A{"256a",
                 "gost2012_256",
                 "A",
                 "-md_gost12_256",
                 PROV_GOST_2012_256,
                 CALG_GR3411_2012_256,
                 CALG_GR3410_12_256,
                 CALG_DH_GR3410_12_256_SF,
                 512,
                 32,
                 64};
const Kind k256TC{"256tc",
                  "gost2012_256",
                  "TCA",
                  "-md_gost12_256",
                  PROV_GOST_2012_256,
                  CALG_GR3411_2012_256,
                  CALG_GR3410_12_256,
                  CALG_DH_GR3410_12_256_SF,
                  512,
                  32,
                  64};
const Kind k512{"512",
                "gost2012_512",
                "A",
                "-md_gost12_512",
                PROV_GOST_2012_512,
                CALG_GR3411_2012_512,
                CALG_GR3410_12_512,
                CALG_DH_GR3410_12_512_SF,
                1024,
                64,
                128};

DWORD KeyParam(HCRYPTKEY key, DWORD param)
{
    DWORD value = 0, len = sizeof value;
    EXPECT_TRUE(CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &len, 0));
    return value;
}

std::string ProvName(HCRYPTPROV prov)
{
    char name[128] = {};
    DWORD len = sizeof name;
    EXPECT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &len, 0));
    return name;
}

std::string Hash(HCRYPTPROV prov, ALG_ID alg, const std::string& data, HCRYPTHASH* keep = nullptr)
{
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(prov, alg, 0, 0, &hash));
    EXPECT_TRUE(
        CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0));
    BYTE value[64] = {};
    DWORD len = sizeof value;
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &len, 0));
    if (keep)
        *keep = hash;
    else
        CryptDestroyHash(hash);
    return std::string(reinterpret_cast<char*>(value), len);
}

TEST(Csp2012, ProvidersKeysAndIdentifiers)
{
    struct Type {
        DWORD type;
        const char* name;
        ALG_ID sign, exchange;
        DWORD bits;
    };
    const Type types[] = {
        {PROV_GOST_2001_DH, CP_GR3410_2001_PROV_A, CALG_GR3410EL, CALG_DH_EL_SF, 512},
        {PROV_GOST_2012_256, CP_GR3410_2012_PROV_A, CALG_GR3410_12_256, CALG_DH_GR3410_12_256_SF, 512},
        {PROV_GOST_2012_512, CP_GR3410_2012_STRONG_PROV_A, CALG_GR3410_12_512, CALG_DH_GR3410_12_512_SF,
         1024},
    };
    for (const Type& t : types) {
        SCOPED_TRACE(t.type);
        HCRYPTPROV verify = 0;
        ASSERT_TRUE(CryptAcquireContextA(&verify, nullptr, t.name, t.type, CRYPT_VERIFYCONTEXT));
        EXPECT_EQ(ProvName(verify), t.name);
        DWORD type = 0, len = sizeof type;
        ASSERT_TRUE(CryptGetProvParam(verify, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &len, 0));
        EXPECT_EQ(type, t.type);
        CryptReleaseContext(verify, 0);

        // The default key of each type is its own kind; both slots.
        std::string name = "kinds" + std::to_string(t.type);
        HCRYPTPROV prov = 0;
        ASSERT_TRUE(CryptAcquireContextA(&prov, name.c_str(), nullptr, t.type, CRYPT_NEWKEYSET));
        HCRYPTKEY sign = 0, exchange = 0;
        ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 0, &sign));
        ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, t.bits << 16, &exchange));
        EXPECT_EQ(KeyParam(sign, KP_ALGID), t.sign);
        EXPECT_EQ(KeyParam(exchange, KP_ALGID), t.exchange);
        EXPECT_EQ(KeyParam(sign, KP_KEYLEN), t.bits);
        CryptDestroyKey(sign);
        CryptDestroyKey(exchange);
        CryptReleaseContext(prov, 0);

        // A context of another type opens the container and sees the same keys.
        for (const Type& other : types) {
            ASSERT_TRUE(CryptAcquireContextA(&prov, name.c_str(), nullptr, other.type, 0));
            ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &sign));
            EXPECT_EQ(KeyParam(sign, KP_ALGID), t.sign);
            CryptDestroyKey(sign);
            CryptReleaseContext(prov, 0);
        }
    }
    // The name must match the type; a key length of another kind is refused.
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(
        CryptAcquireContextA(&prov, nullptr, CP_GR3410_2001_PROV_A, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    ASSERT_TRUE(CryptAcquireContextA(&prov, "bits", nullptr, PROV_GOST_2012_512, CRYPT_NEWKEYSET));
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 512u << 16, &key));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
    // An explicit algorithm makes that kind whatever the provider's type.
    ASSERT_TRUE(CryptGenKey(prov, CALG_DH_GR3410_12_256_SF, 0, &key));
    EXPECT_EQ(KeyParam(key, KP_ALGID), static_cast<DWORD>(CALG_DH_GR3410_12_256_SF));
    CryptDestroyKey(key);
    ASSERT_TRUE(CryptGenKey(prov, CALG_GR3410EL, 0, &key));
    EXPECT_EQ(KeyParam(key, KP_ALGID), static_cast<DWORD>(CALG_GR3410EL));
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
}

TEST(Csp2012, HashesAgreeWithOpenssl)
{
    auto dir = trumik::testing::MakeTempDir("hash2012");
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    WriteFile(dir / "data", data);
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_512, CRYPT_VERIFYCONTEXT));
    for (const Kind* k : {&k256A, &k512}) {
        SCOPED_TRACE(k->name);
        std::string out;
        ASSERT_EQ(RunCommand("openssl dgst -engine gost " + std::string(k->digestOpt) + " -binary " +
                                 (dir / "data").string() + " 2>/dev/null",
                             &out, false),
                  0);
        HCRYPTHASH hash = 0;
        // HP_HASHVAL is the digest as openssl prints it: no reversal.
        EXPECT_EQ(Hash(prov, k->hashAlg, data, &hash), out);
        DWORD value = 0, len = sizeof value;
        ASSERT_TRUE(CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&value), &len, 0));
        EXPECT_EQ(value, k->hashAlg);
        ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &len, 0));
        EXPECT_EQ(value, k->digestSize);
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(prov, 0);
}

// Keys made by openssl, kept under a PIN, sign here and verify there and back.
TEST(Csp2012, SignaturesBothWaysWithOpenssl)
{
    for (const Kind* k : {&k256A, &k256TC, &k512}) {
        SCOPED_TRACE(k->name);
        auto dir = trumik::testing::MakeTempDir(std::string("sig") + k->name);
        std::string d = dir.string();
        ASSERT_EQ(RunCommand("openssl genpkey -engine gost -algorithm " + std::string(k->genpkey) +
                             " -pkeyopt paramset:" + k->paramset + " -out " + d +
                             "/key.pem && openssl pkey -engine gost -in " + d +
                             "/key.pem -outform DER -out " + d +
                             "/key.der && openssl pkey -engine gost -in " + d + "/key.pem -pubout -out " + d +
                             "/pub.pem"),
                  0);
        std::string der = ReadFile(dir / "key.der");
        std::string container = std::string("os") + k->name;
        ASSERT_EQ(trumik::csp::CreateContainer(trumik::csp::Scope::User, container, AT_SIGNATURE,
                                               trumik::csp::Bytes(der.begin(), der.end()), std::string("pw"),
                                               true),
                  0u);
        const std::string data = "data to be signed, " + std::string(k->name);
        WriteFile(dir / "data", data);

        // A context of type 75 uses the 2012 key as well.
        HCRYPTPROV prov = 0;
        ASSERT_TRUE(CryptAcquireContextA(&prov, container.c_str(), nullptr, PROV_GOST_2001_DH, 0));
        HCRYPTHASH hash = 0;
        std::string digest = Hash(prov, k->hashAlg, data, &hash);
        WriteFile(dir / "digest", digest);
        std::vector<BYTE> sig(k->signatureSize);
        DWORD sigLen = 0;
        // Without the PIN the key stays shut.
        sigLen = static_cast<DWORD>(sig.size());
        EXPECT_FALSE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &sigLen));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
        ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("pw"), 0));
        sigLen = 0;
        ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &sigLen));
        EXPECT_EQ(sigLen, k->signatureSize);
        ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig.data(), &sigLen));
        std::string reversed(sig.begin(), sig.end());
        std::reverse(reversed.begin(), reversed.end());
        WriteFile(dir / "sig", reversed);
        EXPECT_EQ(RunCommand("openssl pkeyutl -engine gost -verify -pubin -inkey " + d +
                             "/pub.pem -sigfile " + d + "/sig -in " + d + "/digest"),
                  0);
        // Unreversed, openssl refuses it: the order is the point.
        WriteFile(dir / "sig", std::string(sig.begin(), sig.end()));
        EXPECT_NE(RunCommand("openssl pkeyutl -engine gost -verify -pubin -inkey " + d +
                             "/pub.pem -sigfile " + d + "/sig -in " + d + "/digest"),
                  0);

        // openssl's signature over the data verifies here after reversal.
        ASSERT_EQ(RunCommand("openssl dgst -engine gost " + std::string(k->digestOpt) + " -sign " + d +
                             "/key.pem -out " + d + "/osig " + d + "/data"),
                  0);
        std::string osig = ReadFile(dir / "osig");
        ASSERT_EQ(osig.size(), k->signatureSize);
        std::reverse(osig.begin(), osig.end());
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
        EXPECT_EQ(KeyParam(key, KP_ALGID), k->signAlg);
        EXPECT_EQ(KeyParam(key, KP_KEYLEN), k->keyBits);
        HCRYPTHASH h2 = 0;
        Hash(prov, k->hashAlg, data, &h2);
        EXPECT_TRUE(CryptVerifySignatureW(h2, reinterpret_cast<const BYTE*>(osig.data()),
                                          static_cast<DWORD>(osig.size()), key, nullptr, 0));
        // A flipped byte, and a signature of the wrong length, fail cleanly.
        osig[osig.size() / 2] ^= 0x20;
        EXPECT_FALSE(CryptVerifySignatureW(h2, reinterpret_cast<const BYTE*>(osig.data()),
                                           static_cast<DWORD>(osig.size()), key, nullptr, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE));
        osig[osig.size() / 2] ^= 0x20;
        std::string longer = osig + '\0';
        for (DWORD n : {DWORD(k->signatureSize - 1), DWORD(k->signatureSize + 1),
                        DWORD(k->signatureSize == 64 ? 128 : 64)}) {
            EXPECT_FALSE(CryptVerifySignatureW(h2, reinterpret_cast<const BYTE*>(longer.data()),
                                               std::min<DWORD>(n, static_cast<DWORD>(longer.size())), key,
                                               nullptr, 0))
                << n;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE)) << n;
        }
        // The key signs and verifies the digest of its own kind only.
        HCRYPTHASH old = 0;
        Hash(prov, CALG_GR3411, data, &old);
        sigLen = static_cast<DWORD>(sig.size());
        EXPECT_FALSE(CryptSignHashW(old, AT_SIGNATURE, nullptr, 0, sig.data(), &sigLen));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
        EXPECT_FALSE(CryptVerifySignatureW(old, reinterpret_cast<const BYTE*>(osig.data()),
                                           static_cast<DWORD>(osig.size()), key, nullptr, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
        CryptDestroyHash(old);
        CryptDestroyHash(h2);
        CryptDestroyHash(hash);
        CryptDestroyKey(key);
        CryptReleaseContext(prov, 0);
    }
}

// Public keys from certificates made by openssl: identifiers, signatures,
// the public key blob, and damaged keys.
TEST(Csp2012, PublicKeysFromCertificates)
{
    auto dir = trumik::testing::MakeTempDir("cert2012");
    std::string d = dir.string();
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT));
    for (const Kind* k : {&k256A, &k512}) {
        SCOPED_TRACE(k->name);
        std::string p = d + "/" + k->name;
        ASSERT_EQ(RunCommand("openssl genpkey -engine gost -algorithm " + std::string(k->genpkey) +
                             " -pkeyopt paramset:" + k->paramset + " -out " + p +
                             ".key && openssl req -engine gost " + "-new -x509 -days 10 -subj /CN=k -key " +
                             p + ".key " + k->digestOpt + " -outform DER -out " + p + ".cer"),
                  0);
        std::string der = ReadFile(p + ".cer");
        PCCERT_CONTEXT cert = CertCreateCertificateContext(
            X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
        ASSERT_NE(cert, nullptr);
        EXPECT_STREQ(cert->pCertInfo->SignatureAlgorithm.pszObjId,
                     k == &k512 ? szOID_CP_GOST_R3411_12_512_R3410 : szOID_CP_GOST_R3411_12_256_R3410);
        EXPECT_STREQ(cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId,
                     k == &k512 ? szOID_CP_GOST_R3410_12_512 : szOID_CP_GOST_R3410_12_256);
        HCRYPTKEY key = 0;
        ASSERT_TRUE(
            CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo, &key));
        EXPECT_EQ(KeyParam(key, KP_ALGID), k->signAlg);
        EXPECT_EQ(KeyParam(key, KP_KEYLEN), k->keyBits);

        // The blob ends with the key as the certificate carries it.
        DWORD blobLen = 0;
        ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &blobLen));
        std::vector<BYTE> blob(blobLen);
        ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &blobLen));
        const CRYPT_BIT_BLOB& bits = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
        const DWORD keySize = k->keyBits / 8;
        ASSERT_GT(bits.cbData, keySize);
        EXPECT_TRUE(std::equal(blob.end() - keySize, blob.end(), bits.pbData + bits.cbData - keySize));
        EXPECT_EQ(blob[4] | (blob[5] << 8), static_cast<int>(k->signAlg));
        EXPECT_EQ(blob[12] | (blob[13] << 8), static_cast<int>(k->keyBits));

        // The certificate's own signature verifies with its key here.
        const BYTE* tbs = nullptr;
        DWORD tbsLen = 0;
        {
            // TBSCertificate: the first element of the outer SEQUENCE.
            const BYTE* q = reinterpret_cast<const BYTE*>(der.data());
            size_t at = q[1] & 0x80 ? 2 + (q[1] & 0x7F) : 2;
            size_t len = q[at + 1] & 0x80 ? 0 : q[at + 1];
            size_t head = 2;
            if (q[at + 1] & 0x80) {
                head = 2 + (q[at + 1] & 0x7F);
                for (size_t i = 2; i < head; ++i)
                    len = (len << 8) | q[at + i];
            }
            tbs = q + at;
            tbsLen = static_cast<DWORD>(head + len);
        }
        std::string sig(der.end() - k->signatureSize, der.end());
        std::reverse(sig.begin(), sig.end());
        HCRYPTHASH hash = 0;
        ASSERT_TRUE(CryptCreateHash(prov, k->hashAlg, 0, 0, &hash));
        ASSERT_TRUE(CryptHashData(hash, tbs, tbsLen, 0));
        EXPECT_TRUE(CryptVerifySignatureW(hash, reinterpret_cast<const BYTE*>(sig.data()),
                                          static_cast<DWORD>(sig.size()), key, nullptr, 0));
        CryptDestroyHash(hash);
        CryptDestroyKey(key);

        // A truncated key, and a 2012 identifier over a key of the other size.
        CERT_PUBLIC_KEY_INFO cut = cert->pCertInfo->SubjectPublicKeyInfo;
        cut.PublicKey.cbData -= 9;
        EXPECT_FALSE(CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &cut, &key));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
        CERT_PUBLIC_KEY_INFO other = cert->pCertInfo->SubjectPublicKeyInfo;
        other.Algorithm.pszObjId =
            const_cast<char*>(k == &k512 ? szOID_CP_GOST_R3410_12_256 : szOID_CP_GOST_R3410_12_512);
        EXPECT_FALSE(CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &other, &key));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
        CertFreeCertificateContext(cert);

        // A truncated private key is refused when a container is made of it.
        ASSERT_EQ(RunCommand("openssl pkey -engine gost -in " + p + ".key -outform DER -out " + p + ".p8"),
                  0);
        std::string p8 = ReadFile(p + ".p8");
        for (size_t keep : {p8.size() - 1, p8.size() / 2, size_t(5)})
            EXPECT_EQ(trumik::csp::CreateContainer(trumik::csp::Scope::User, "cut2012", AT_KEYEXCHANGE,
                                                   trumik::csp::Bytes(p8.begin(), p8.begin() + keep),
                                                   std::nullopt, false),
                      static_cast<DWORD>(NTE_BAD_DATA))
                << keep;
    }
    CryptReleaseContext(prov, 0);
}

} // namespace

#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "SignerFixtures.h"

#include "csp/Containers.h"
#include "csp/CspInternal.h"

#include "TestHome.h"

#include <wincrypt.h>
#include <winnls.h>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>

namespace trumik::signertest {

namespace {

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;

std::string Hex(const BYTE* data, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

// A certificate for the GOST key, signed by issuerKey (itself for a
// self-signed one) with digest md; validity as seconds from now, or absolute.
std::string MakeCert(EVP_PKEY* subjectKey, EVP_PKEY* issuerKey, const EVP_MD* md, long serial,
                     const std::string& commonName, time_t notBefore, time_t notAfter, const char* keyUsage)
{
    X509Ptr x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    ASN1_TIME_set(X509_getm_notBefore(x.get()), notBefore);
    ASN1_TIME_set(X509_getm_notAfter(x.get()), notAfter);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), subjectKey);
    if (keyUsage) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, keyUsage);
        EXPECT_NE(ext, nullptr);
        X509_add_ext(x.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    EXPECT_GT(X509_sign(x.get(), issuerKey, md), 0) << commonName;
    unsigned char* der = nullptr;
    int n = i2d_X509(x.get(), &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

} // namespace

// Adds the certificate to the user's "My" store with the container as its key.
StoreCert AddToMy(const std::filesystem::path& dir, const std::string& fileName, const std::string& der,
                  const std::u16string& container)
{
    StoreCert cert;
    cert.der = dir / fileName;
    trumik::testing::WriteFile(cert.der, der);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    EXPECT_NE(store, nullptr);
    PCCERT_CONTEXT added = nullptr;
    EXPECT_TRUE(CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
        CERT_STORE_ADD_REPLACE_EXISTING, &added));
    if (!added) {
        CertCloseStore(store, 0);
        return cert;
    }
    std::u16string containerName = container;
    std::u16string provider = u"" CP_GR3410_2001_PROV_A;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = containerName.data();
    info.pwszProvName = provider.data();
    info.dwProvType = PROV_GOST_2001_DH;
    info.dwKeySpec = AT_KEYEXCHANGE;
    EXPECT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    BYTE hash[20];
    DWORD size = sizeof hash;
    EXPECT_TRUE(CertGetCertificateContextProperty(added, CERT_SHA1_HASH_PROP_ID, hash, &size));
    cert.thumbprint = Hex(hash, sizeof hash);
    CertFreeCertificateContext(added);
    CertCloseStore(store, 0);
    return cert;
}

namespace {

SignerFixtures Make()
{
    SignerFixtures f;
    f.dir = trumik::testing::MakeTempDir("signer-fixtures");
    csp::UniqueEvpPkey gost = csp::GenerateGostKey();
    EXPECT_NE(gost, nullptr);
    std::optional<csp::Bytes> pkcs8 = csp::PrivateKeyToPkcs8(gost.get());
    EXPECT_TRUE(pkcs8.has_value());
    EXPECT_EQ(csp::CreateContainer(csp::Scope::User, "signer", AT_KEYEXCHANGE, *pkcs8, f.pin, true), 0u);
    EXPECT_EQ(
        csp::CreateContainer(csp::Scope::User, "signer-plain", AT_KEYEXCHANGE, *pkcs8, std::nullopt, true),
        0u);

    f.privateKeyPem = f.dir / "gost.key.pem";
    f.publicKeyPem = f.dir / "gost.pub.pem";
    {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(f.privateKeyPem.c_str(), "w"), BIO_free);
        PEM_write_bio_PrivateKey(bio.get(), gost.get(), nullptr, nullptr, 0, nullptr, nullptr);
        std::unique_ptr<BIO, decltype(&BIO_free)> pub(BIO_new_file(f.publicKeyPem.c_str(), "w"), BIO_free);
        PEM_write_bio_PUBKEY(pub.get(), gost.get());
    }
    csp::UniqueEvpPkey rsa(EVP_RSA_gen(2048));
    const EVP_MD* gost94 = csp::GostR3411Digest();
    EXPECT_NE(gost94, nullptr);
    const time_t now = time(nullptr);
    const time_t day = 86400;
    const char* both = "critical,digitalSignature,nonRepudiation";
    f.good = AddToMy(f.dir, "good.der",
                     MakeCert(gost.get(), gost.get(), gost94, 1, "Signer", now - day, now + 30 * day, both),
                     u"signer");
    f.goodPlain =
        AddToMy(f.dir, "plain.der",
                MakeCert(gost.get(), gost.get(), gost94, 2, "Signer plain", now - day, now + 30 * day, both),
                u"signer-plain");
    f.expired = AddToMy(f.dir, "expired.der",
                        MakeCert(gost.get(), gost.get(), gost94, 3, "Expired", 1577836800 /* 2020-01-01 */,
                                 1609372800 /* 2020-12-31 */, both),
                        u"signer");
    f.notYetValid =
        AddToMy(f.dir, "future.der",
                MakeCert(gost.get(), gost.get(), gost94, 4, "Future", now + 30 * day, now + 60 * day, both),
                u"signer");
    f.rsaIssued = AddToMy(
        f.dir, "rsa.der",
        MakeCert(gost.get(), rsa.get(), EVP_sha256(), 5, "RSA issued", now - day, now + 30 * day, both),
        u"signer");
    f.signOnly = AddToMy(f.dir, "signonly.der",
                         MakeCert(gost.get(), gost.get(), gost94, 6, "Sign only", now - day, now + 30 * day,
                                  "critical,digitalSignature"),
                         u"signer");
    f.noUsage =
        AddToMy(f.dir, "nousage.der",
                MakeCert(gost.get(), gost.get(), gost94, 7, "No usage", now - day, now + 30 * day, nullptr),
                u"signer");
    return f;
}

} // namespace

const SignerFixtures& GetSignerFixtures()
{
    static SignerFixtures f = Make();
    return f;
}

std::u16string U16(const std::string& utf8)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(size > 0 ? size : 0), u'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
    return out;
}

std::string Utf8(std::u16string_view text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                            nullptr);
    return out;
}

} // namespace trumik::signertest

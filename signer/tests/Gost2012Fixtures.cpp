#include "Gost2012Fixtures.h"

#include "csp/Containers.h"
#include "csp/CspInternal.h"

#include "TestHome.h"

#include <wincrypt.h>
#include <winreg.h>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>

namespace trumik::gost2012test {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct StoreClose {
    void operator()(HCERTSTORE s) const { CertCloseStore(s, 0); }
};
struct CertFree {
    void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};

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

// A certificate for subjectKey signed by issuerKey with md, valid from a day
// ago for 30 days.
std::string MakeCert(EVP_PKEY* subjectKey, EVP_PKEY* issuerKey, const EVP_MD* md, long serial,
                     const std::string& commonName)
{
    std::unique_ptr<X509, X509Free> x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    const time_t now = time(nullptr);
    ASN1_TIME_set(X509_getm_notBefore(x.get()), now - 86400);
    ASN1_TIME_set(X509_getm_notAfter(x.get()), now + 30 * 86400);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), subjectKey);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage,
                                              "critical,digitalSignature,nonRepudiation,keyEncipherment");
    EXPECT_NE(ext, nullptr);
    X509_add_ext(x.get(), ext, -1);
    X509_EXTENSION_free(ext);
    EXPECT_GT(X509_sign(x.get(), issuerKey, md), 0) << commonName;
    unsigned char* der = nullptr;
    const int n = i2d_X509(x.get(), &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

void WriteKeys(EVP_PKEY* key, GostCert& cert, const fs::path& dir, const std::string& stem)
{
    cert.keyPem = dir / (stem + ".key.pem");
    cert.publicKeyPem = dir / (stem + ".pub.pem");
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(cert.keyPem.c_str(), "w"));
    EXPECT_EQ(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr), 1);
    std::unique_ptr<BIO, BioFree> pub(BIO_new_file(cert.publicKeyPem.c_str(), "w"));
    EXPECT_EQ(PEM_write_bio_PUBKEY(pub.get(), key), 1);
}

// Adds the certificate to the user's "My" store, linked to the exchange key
// of the container in a provider of the type.
void AddToMy(GostCert& cert, const fs::path& file, const std::string& der, const std::string& container,
             DWORD provType)
{
    cert.der = file;
    trumik::testing::WriteFile(file, der);
    std::unique_ptr<void, StoreClose> store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My"));
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(
        store.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
        static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added));
    std::unique_ptr<const CERT_CONTEXT, CertFree> context(added);
    std::u16string name(container.begin(), container.end());
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = name.data();
    info.dwProvType = provType;
    info.dwKeySpec = AT_KEYEXCHANGE;
    EXPECT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    BYTE hash[20];
    DWORD size = sizeof hash;
    EXPECT_TRUE(CertGetCertificateContextProperty(added, CERT_SHA1_HASH_PROP_ID, hash, &size));
    cert.thumbprint = Hex(hash, sizeof hash);
}

csp::UniqueEvpPkey NewKeyInContainer(csp::GostKind kind, const std::string& container, const std::string& pin)
{
    csp::UniqueEvpPkey key = csp::GenerateGostKey(kind);
    EXPECT_NE(key, nullptr);
    std::optional<csp::Bytes> pkcs8 = csp::PrivateKeyToPkcs8(key.get());
    EXPECT_TRUE(pkcs8.has_value());
    EXPECT_EQ(csp::CreateContainer(csp::Scope::User, container, AT_KEYEXCHANGE, *pkcs8, pin, true), 0u);
    return key;
}

Gost2012Fixtures Make()
{
    Gost2012Fixtures f;
    f.dir = trumik::testing::MakeTempDir("gost2012");
    const std::string urn = "urn:ietf:params:xml:ns:cpxmlsec:algorithms:";

    csp::UniqueEvpPkey k2001 = NewKeyInContainer(csp::GostKind::R2001, "gost2001", f.pin);
    csp::UniqueEvpPkey k256 = NewKeyInContainer(csp::GostKind::R2012_256, "gost2012-256", f.pin);
    csp::UniqueEvpPkey k512 = NewKeyInContainer(csp::GostKind::R2012_512, "gost2012-512", f.pin);
    const EVP_MD* md94 = csp::GostDigest(CALG_GR3411);
    const EVP_MD* md256 = csp::GostDigest(CALG_GR3411_2012_256);
    const EVP_MD* md512 = csp::GostDigest(CALG_GR3411_2012_512);

    f.k2001 = {.dgst = "-md_gost94",
               .algorithm = "gost2001",
               .signatureUri = "http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411",
               .digestUri = "http://www.w3.org/2001/04/xmldsig-more#gostr3411",
               .signatureSize = 64};
    WriteKeys(k2001.get(), f.k2001, f.dir, "k2001");
    AddToMy(f.k2001, f.dir / "k2001.der", MakeCert(k2001.get(), k2001.get(), md94, 1, "GOST 2001"),
            "gost2001", PROV_GOST_2001_DH);

    f.k256 = {.dgst = "-md_gost12_256",
              .algorithm = "gost2012-256",
              .signatureUri = urn + "gostr34102012-gostr34112012-256",
              .digestUri = urn + "gostr34112012-256",
              .signatureSize = 64};
    WriteKeys(k256.get(), f.k256, f.dir, "k256");
    AddToMy(f.k256, f.dir / "k256.der", MakeCert(k256.get(), k256.get(), md256, 2, "GOST 2012-256"),
            "gost2012-256", PROV_GOST_2012_256);

    f.k512 = {.dgst = "-md_gost12_512",
              .algorithm = "gost2012-512",
              .signatureUri = urn + "gostr34102012-gostr34112012-512",
              .digestUri = urn + "gostr34112012-512",
              .signatureSize = 128};
    WriteKeys(k512.get(), f.k512, f.dir, "k512");
    AddToMy(f.k512, f.dir / "k512.der", MakeCert(k512.get(), k512.get(), md512, 3, "GOST 2012-512"),
            "gost2012-512", PROV_GOST_2012_512);

    f.k256By2001 = f.k256;
    AddToMy(f.k256By2001, f.dir / "k256-by-2001.der",
            MakeCert(k256.get(), k2001.get(), md94, 4, "GOST 2012-256 by a 2001 issuer"), "gost2012-256",
            PROV_GOST_2012_256);
    return f;
}

} // namespace

const Gost2012Fixtures& GetGost2012Fixtures()
{
    static const Gost2012Fixtures fixtures = Make();
    return fixtures;
}

void SetAcceptGost2012(bool on)
{
    const DWORD value = on ? 1 : 0;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Trumik\\Component", u"AcceptGost2012",
                              REG_DWORD, &value, sizeof value),
              ERROR_SUCCESS);
}

fs::path ToolScript(const std::string& name)
{
    return fs::path(TRUMIK_SOURCE_DIR) / "tools" / name;
}

} // namespace trumik::gost2012test

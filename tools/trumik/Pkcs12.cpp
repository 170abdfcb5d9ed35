// OpenSSL's PKCS #12 code finds the algorithms of a file by name; the GOST
// engine's ciphers and digests are made known by name here (engine API,
// deprecated in OpenSSL 3 but the only way to these algorithms).
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "Pkcs12.h"
#include "internal/OpenSslHandles.h"

#include "csp/CspInternal.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

namespace trumik::host {

namespace {

using trumik::platform::OpenSslFree;
using trumik::platform::UniquePkcs12;
using trumik::platform::UniqueX509;
using trumik::platform::UniqueX509Stack;
struct X509StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};

// Every cipher and digest of the engine, known by name and identifier.
bool PrepareGost()
{
    static const bool ready = [] {
        ENGINE* engine = trumik::csp::GostEngine();
        if (!engine)
            return false;
        ENGINE_register_ciphers(engine);
        ENGINE_register_digests(engine);
        const int* nids = nullptr;
        if (ENGINE_CIPHERS_PTR ciphers = ENGINE_get_ciphers(engine)) {
            int n = ciphers(engine, nullptr, &nids, 0);
            for (int i = 0; i < n; ++i)
                if (const EVP_CIPHER* c = ENGINE_get_cipher(engine, nids[i]))
                    EVP_add_cipher(c);
        }
        if (ENGINE_DIGESTS_PTR digests = ENGINE_get_digests(engine)) {
            int n = digests(engine, nullptr, &nids, 0);
            for (int i = 0; i < n; ++i)
                if (const EVP_MD* d = ENGINE_get_digest(engine, nids[i]))
                    EVP_add_digest(d);
        }
        ERR_clear_error();
        return true;
    }();
    return ready;
}

std::optional<Bytes> X509Der(X509* x)
{
    unsigned char* der = nullptr;
    int len = i2d_X509(x, &der);
    std::unique_ptr<unsigned char, OpenSslFree> guard(der);
    if (len <= 0)
        return std::nullopt;
    return Bytes(der, der + len);
}

UniqueX509 ParseX509(const Bytes& der)
{
    const unsigned char* p = der.data();
    return UniqueX509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

} // namespace

std::optional<PfxContents> ReadPfx(const Bytes& file, const std::optional<std::string>& password,
                                   const std::string& fileName, Failure* failure)
{
    if (!PrepareGost()) {
        *failure = {"the GOST engine of OpenSSL is not available (is libengine-gost-openssl installed?)",
                    static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL)};
        return std::nullopt;
    }
    const unsigned char* p = file.data();
    UniquePkcs12 p12(d2i_PKCS12(nullptr, &p, static_cast<long>(file.size())));
    if (!p12 || p != file.data() + file.size()) {
        ERR_clear_error();
        *failure = {fileName + " is not a PKCS #12 file", static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)};
        return std::nullopt;
    }
    // The MAC first: it tells a wrong password from anything else.
    const char* pass = password ? password->c_str() : nullptr;
    if (PKCS12_mac_present(p12.get())) {
        bool verified = false;
        if (password) {
            verified = PKCS12_verify_mac(p12.get(), pass, -1) == 1;
        } else if (PKCS12_verify_mac(p12.get(), nullptr, 0) == 1) {
            verified = true;
        } else if (PKCS12_verify_mac(p12.get(), "", 0) == 1) {
            verified = true;
            pass = "";
        }
        ERR_clear_error();
        if (!verified) {
            *failure = {std::string(password ? "the password" : "no password (give --password)") +
                        " does not open " + fileName +
                        ": its integrity check (MAC) fails; the password is wrong or the file is damaged"};
            return std::nullopt;
        }
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    if (PKCS12_parse(p12.get(), pass, &rawKey, &rawCert, &rawCa) != 1) {
        ERR_clear_error();
        *failure = {"cannot decrypt the contents of " + fileName +
                        " (a wrong password, or algorithms the GOST engine of OpenSSL does not know)",
                    static_cast<DWORD>(NTE_BAD_DATA)};
        return std::nullopt;
    }
    UniquePkey key(rawKey);
    UniqueX509 cert(rawCert);
    UniqueX509Stack ca(rawCa);
    ERR_clear_error();
    if (!key) {
        *failure = {"no private key in " + fileName, static_cast<DWORD>(NTE_NO_KEY)};
        return std::nullopt;
    }
    if (!IsGostKey(key.get())) {
        *failure = {"the private key in " + fileName + " is not a GOST R 34.10-2001 or 2012 key",
                    static_cast<DWORD>(NTE_BAD_ALGID)};
        return std::nullopt;
    }
    // PKCS12_parse hands back as the certificate the one that holds the key.
    if (!cert) {
        *failure = {"the private key in " + fileName + " belongs to none of its certificates",
                    static_cast<DWORD>(NTE_BAD_PUBLIC_KEY)};
        return std::nullopt;
    }
    PfxContents contents;
    auto certDer = X509Der(cert.get());
    if (!certDer) {
        *failure = {"the certificate of " + fileName + " cannot be encoded", static_cast<DWORD>(NTE_FAIL)};
        return std::nullopt;
    }
    contents.keyCertificate = std::move(*certDer);
    for (int i = 0; ca && i < sk_X509_num(ca.get()); ++i) {
        auto der = X509Der(sk_X509_value(ca.get(), i));
        if (!der) {
            *failure = {"a certificate of " + fileName + " cannot be encoded", static_cast<DWORD>(NTE_FAIL)};
            return std::nullopt;
        }
        contents.others.push_back(std::move(*der));
    }
    contents.key = std::move(key);
    return contents;
}

std::optional<Bytes> WriteGostPfx(EVP_PKEY* key, const Bytes& certificate, const std::vector<Bytes>& others,
                                  const std::string& password, const std::string& friendlyName,
                                  Failure* failure)
{
    const EVP_MD* mac = trumik::csp::GostDigest(CALG_GR3411_2012_256);
    if (!PrepareGost() || !mac) {
        *failure = {"the GOST engine of OpenSSL is not available (is libengine-gost-openssl installed?)",
                    static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL)};
        return std::nullopt;
    }
    UniqueX509 cert = ParseX509(certificate);
    UniqueX509Stack chain(sk_X509_new_null());
    if (!cert || !chain) {
        ERR_clear_error();
        *failure = {"the certificate cannot be read", static_cast<DWORD>(NTE_BAD_DATA)};
        return std::nullopt;
    }
    for (const Bytes& der : others) {
        UniqueX509 x = ParseX509(der);
        if (!x || !sk_X509_push(chain.get(), x.get())) {
            ERR_clear_error();
            *failure = {"a certificate of the chain cannot be read", static_cast<DWORD>(NTE_BAD_DATA)};
            return std::nullopt;
        }
        x.release();
    }
    // PBES2 with GOST 28147-89 for the key and the certificates (the cipher
    // names its own PRF, HMAC GOST R 34.11-2012); the MAC is set after.
    const int gost89 = NID_id_Gost28147_89;
    UniquePkcs12 p12(PKCS12_create(password.c_str(), friendlyName.empty() ? nullptr : friendlyName.c_str(),
                                   key, cert.get(), sk_X509_num(chain.get()) ? chain.get() : nullptr, gost89,
                                   gost89, PKCS12_DEFAULT_ITER, -1, 0));
    if (!p12 || PKCS12_set_mac(p12.get(), password.c_str(), -1, nullptr, 0, PKCS12_DEFAULT_ITER, mac) != 1) {
        ERR_clear_error();
        *failure = {"the PKCS #12 file cannot be made", static_cast<DWORD>(NTE_FAIL)};
        return std::nullopt;
    }
    unsigned char* der = nullptr;
    int len = i2d_PKCS12(p12.get(), &der);
    std::unique_ptr<unsigned char, OpenSslFree> guard(der);
    if (len <= 0) {
        ERR_clear_error();
        *failure = {"the PKCS #12 file cannot be encoded", static_cast<DWORD>(NTE_FAIL)};
        return std::nullopt;
    }
    return Bytes(der, der + len);
}

} // namespace trumik::host

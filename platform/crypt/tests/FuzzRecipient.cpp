// The key holder of the message fuzz targets, made in process.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "FuzzRecipient.h"

#include "csp/Containers.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace {

// A self-signed certificate for a new GOST R 34.10-2001 key in the container
// "fuzz-recipient", in a memory store with its key-provider information.
FuzzRecipient MakeRecipient()
{
    using namespace trumik::csp;
    FuzzRecipient r;
    const std::string name = "fuzz-recipient";
    DeleteContainer(Scope::User, name);
    UniqueEvpPkey key = GenerateGostKey();
    auto pkcs8 = key ? PrivateKeyToPkcs8(key.get()) : std::nullopt;
    if (!pkcs8 || CreateContainer(Scope::User, name, AT_KEYEXCHANGE, *pkcs8, std::nullopt, false) != 0)
        return r;
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    X509_NAME* subject = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Fuzz"),
                               -1, -1, 0);
    X509_set_issuer_name(x.get(), subject);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 4242);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
    X509_set_pubkey(x.get(), key.get());
    if (!X509_sign(x.get(), key.get(), GostR3411Digest()))
        return r;
    unsigned char* der = nullptr;
    int length = i2d_X509(x.get(), &der);
    ERR_clear_error();
    if (length <= 0)
        return r;
    r.store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    CertAddEncodedCertificateToStore(r.store, X509_ASN_ENCODING, der, static_cast<DWORD>(length),
                                     CERT_STORE_ADD_NEW, &r.cert);
    OPENSSL_free(der);
    std::u16string container(name.begin(), name.end());
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.dwProvType = 75;
    info.dwKeySpec = AT_KEYEXCHANGE;
    CertSetCertificateContextProperty(r.cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    return r;
}

} // namespace

const FuzzRecipient& TheFuzzRecipient()
{
    static FuzzRecipient r = MakeRecipient();
    return r;
}

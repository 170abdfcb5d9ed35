// PKCS #7 stores: the certificates and CRLs of a SignedData, read into a
// memory store, and a store written as one.
#include "StoreInternal.h"
#include "internal/OpenSslHandles.h"

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

namespace trumik::crypt {

namespace {

using trumik::platform::Pkcs7Free;

} // namespace

// Adds the certificates and CRLs of a PKCS #7 SignedData; false when it is none.
bool LoadPkcs7(Store* s, const BYTE* data, size_t size)
{
    const unsigned char* p = data;
    std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(size)));
    if (!p7 || !PKCS7_type_is_signed(p7.get()) || !p7->d.sign)
        return false;
    STACK_OF(X509)* certs = p7->d.sign->cert;
    for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
        unsigned char* der = nullptr;
        int n = i2d_X509(sk_X509_value(certs, i), &der);
        if (n > 0)
            AddParsedCert(s, der, static_cast<size_t>(n));
        OPENSSL_free(der);
    }
    STACK_OF(X509_CRL)* crls = p7->d.sign->crl;
    for (int i = 0; crls && i < sk_X509_CRL_num(crls); ++i) {
        unsigned char* der = nullptr;
        int n = i2d_X509_CRL(sk_X509_CRL_value(crls, i), &der);
        if (n > 0)
            AddParsedCrl(s, der, static_cast<size_t>(n));
        OPENSSL_free(der);
    }
    return true;
}

bool SavePkcs7(const Store& s, Bytes& out)
{
    std::unique_ptr<PKCS7, Pkcs7Free> p7(PKCS7_new());
    if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed) || !PKCS7_content_new(p7.get(), NID_pkcs7_data))
        return false;
    for (CertObject* c : s.certs) {
        const unsigned char* p = c->encoded.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(c->encoded.size()));
        if (!x)
            return false;
        int ok = PKCS7_add_certificate(p7.get(), x);
        X509_free(x);
        if (!ok)
            return false;
    }
    for (CrlObject* c : s.crls) {
        const unsigned char* p = c->encoded.data();
        X509_CRL* x = d2i_X509_CRL(nullptr, &p, static_cast<long>(c->encoded.size()));
        if (!x)
            return false;
        int ok = PKCS7_add_crl(p7.get(), x);
        X509_CRL_free(x);
        if (!ok)
            return false;
    }
    unsigned char* der = nullptr;
    int n = i2d_PKCS7(p7.get(), &der);
    if (n <= 0)
        return false;
    out.assign(der, der + n);
    OPENSSL_free(der);
    return true;
}

HCERTSTORE OpenPkcs7Store(LPCSTR, DWORD, const void* para)
{
    return OpenBlobStore(para, LoadPkcs7, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
}

} // namespace trumik::crypt

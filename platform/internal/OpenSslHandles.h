// Owners of OpenSSL objects for the platform's own code and the tools, one
// deleter per kind of object and a unique_ptr alias for each.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

namespace trumik::platform {

// A deleter that calls Free, for objects whose free function is a function.
template <auto Free> struct OpenSslDelete {
    template <typename T> void operator()(T* object) const { Free(object); }
};

using X509Free = OpenSslDelete<X509_free>;
using X509CrlFree = OpenSslDelete<X509_CRL_free>;
using X509NameFree = OpenSslDelete<X509_NAME_free>;
using X509ExtensionFree = OpenSslDelete<X509_EXTENSION_free>;
using X509PubkeyFree = OpenSslDelete<X509_PUBKEY_free>;
using X509SigFree = OpenSslDelete<X509_SIG_free>;
using BioFree = OpenSslDelete<BIO_free>;
using EvpPkeyFree = OpenSslDelete<EVP_PKEY_free>;
using EvpPkeyCtxFree = OpenSslDelete<EVP_PKEY_CTX_free>;
using EvpMdCtxFree = OpenSslDelete<EVP_MD_CTX_free>;
using EvpCipherCtxFree = OpenSslDelete<EVP_CIPHER_CTX_free>;
using Asn1TypeFree = OpenSslDelete<ASN1_TYPE_free>;
using Pkcs7Free = OpenSslDelete<PKCS7_free>;
using Pkcs8InfoFree = OpenSslDelete<PKCS8_PRIV_KEY_INFO_free>;
using Pkcs12Free = OpenSslDelete<PKCS12_free>;
using CmsFree = OpenSslDelete<CMS_ContentInfo_free>;
using Asn1ObjectFree = OpenSslDelete<ASN1_OBJECT_free>;
using Asn1IntegerFree = OpenSslDelete<ASN1_INTEGER_free>;
using BignumFree = OpenSslDelete<BN_free>;

// A stack of certificates with the certificates on it.
struct X509StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
// Bytes OpenSSL allocated (the output of the i2d_ functions and the like).
struct OpenSslFree {
    void operator()(void* bytes) const { OPENSSL_free(bytes); }
};

using UniqueX509 = std::unique_ptr<X509, X509Free>;
using UniqueX509Crl = std::unique_ptr<X509_CRL, X509CrlFree>;
using UniqueX509Name = std::unique_ptr<X509_NAME, X509NameFree>;
using UniqueX509Extension = std::unique_ptr<X509_EXTENSION, X509ExtensionFree>;
using UniqueX509Pubkey = std::unique_ptr<X509_PUBKEY, X509PubkeyFree>;
using UniqueX509Sig = std::unique_ptr<X509_SIG, X509SigFree>;
using UniqueX509Stack = std::unique_ptr<STACK_OF(X509), X509StackFree>;
using UniqueBio = std::unique_ptr<BIO, BioFree>;
using UniqueEvpPkey = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using UniqueEvpPkeyCtx = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;
using UniqueEvpMdCtx = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using UniqueEvpCipherCtx = std::unique_ptr<EVP_CIPHER_CTX, EvpCipherCtxFree>;
using UniqueAsn1Type = std::unique_ptr<ASN1_TYPE, Asn1TypeFree>;
using UniquePkcs7 = std::unique_ptr<PKCS7, Pkcs7Free>;
using UniquePkcs8Info = std::unique_ptr<PKCS8_PRIV_KEY_INFO, Pkcs8InfoFree>;
using UniquePkcs12 = std::unique_ptr<PKCS12, Pkcs12Free>;
using UniqueCms = std::unique_ptr<CMS_ContentInfo, CmsFree>;
using UniqueAsn1Object = std::unique_ptr<ASN1_OBJECT, Asn1ObjectFree>;

} // namespace trumik::platform

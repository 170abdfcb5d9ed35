// CMS enveloped-data messages of crypt32: CryptEncryptMessage and
// CryptDecryptMessage, with key transport to each recipient's certificate
// (GOST R 34.10-2001 key transport of RFC 4490, and for GOST R 34.10-2012
// keys of 256 and 512 bits the transport the GOST engine makes for them) and
// the content encrypted with GOST 28147-89, through OpenSSL's CMS code and the
// GOST engine.
//
// The content never passes through an intermediate copy: encryption writes
// the message header and then streams the cipher output straight into the
// caller's buffer; decryption parses the message without its content and
// streams the content from the caller's bytes through the cipher into the
// caller's buffer. Messages in other encodings (BER with indefinite lengths,
// content in pieces) are parsed whole.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "crypt/CryptInternal.h"
#include "crypt/Der.h"
#include "crypt/DerPath.h"
#include "crypt/KeyTransport.h"
#include "csp/ContextKey.h"
#include "internal/CryptHandles.h"
#include "internal/OpenSslHandles.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

namespace trumik::crypt {

namespace {

// The 32-bit sizes of the parameter structures, as callers written for
// 32-bit Windows fill cbSize in.
constexpr DWORD kEncryptPara32 = 36;
constexpr DWORD kDecryptPara32NoFlags = 16;
constexpr DWORD kDecryptPara32 = 20;

// CMSG_DATA, the inner content type of plain data.
constexpr DWORD kDataContent = 1;

// Plain data is fed to the cipher and read back in pieces of this size.
constexpr size_t kChunk = 1 << 20;

using trumik::platform::OpenSslFree;
using trumik::platform::UniqueAsn1Object;
using trumik::platform::UniqueBio;
using trumik::platform::UniqueCms;
using trumik::platform::UniqueX509;
using trumik::platform::UniqueX509Stack;
struct X509StackFree {
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
using UniquePkey = trumik::platform::UniqueEvpPkey;
using UniqueCertContext = trumik::platform::UniqueCert;

// The filter chain CMS_dataInit puts on top of a source or sink BIO; freed
// down to (not including) that BIO.
class FilterChain {
  public:
    FilterChain(BIO* top, BIO* bottom) : top_(top), bottom_(bottom) {}
    ~FilterChain()
    {
        BIO* b = top_;
        while (b && b != bottom_) {
            BIO* next = BIO_pop(b);
            BIO_free(b);
            b = next;
        }
    }
    FilterChain(const FilterChain&) = delete;
    FilterChain& operator=(const FilterChain&) = delete;
    BIO* get() const { return top_; }

  private:
    BIO* top_;
    BIO* bottom_;
};

// A provider context acquired for a certificate's key, released on scope exit.
class AcquiredKey {
  public:
    ~AcquiredKey()
    {
        if (provider_ && callerFrees_)
            CryptReleaseContext(provider_, 0);
    }
    HCRYPTPROV provider_ = 0;
    DWORD keySpec_ = 0;
    BOOL callerFrees_ = FALSE;
};

BOOL Fail(DWORD code)
{
    ERR_clear_error();
    SetLastError(code);
    return FALSE;
}
template <typename T> BOOL Fail(T code)
{
    return Fail(static_cast<DWORD>(code));
}

// A sink that writes into a span of the caller's buffer and refuses to run
// past its end.
struct Span {
    BYTE* data = nullptr;
    size_t size = 0;
    size_t used = 0;
};

int SpanWrite(BIO* bio, const char* in, int length)
{
    auto* span = static_cast<Span*>(BIO_get_data(bio));
    if (!span || length < 0 || static_cast<size_t>(length) > span->size - span->used)
        return -1;
    if (length)
        std::memcpy(span->data + span->used, in, static_cast<size_t>(length));
    span->used += static_cast<size_t>(length);
    return length;
}

long SpanCtrl(BIO*, int cmd, long, void*)
{
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int SpanCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SpanMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "caller buffer");
        if (m) {
            BIO_meth_set_write(m, SpanWrite);
            BIO_meth_set_ctrl(m, SpanCtrl);
            BIO_meth_set_create(m, SpanCreate);
        }
        return m;
    }();
    return method;
}

UniqueBio NewSpanBio(Span* span)
{
    BIO_METHOD* method = SpanMethod();
    UniqueBio bio(method ? BIO_new(method) : nullptr);
    if (bio)
        BIO_set_data(bio.get(), span);
    return bio;
}

// The engine with its ciphers known by name and object identifier, and
// GOST 28147-89 messages made with the CryptoPro A parameters.
ENGINE* MessageEngine()
{
    static ENGINE* engine = [] {
        ENGINE* e = csp::GostEngine();
        if (e) {
            ENGINE_register_ciphers(e);
            if (const EVP_CIPHER* gost = ENGINE_get_cipher(e, NID_id_Gost28147_89))
                EVP_add_cipher(gost);
            ENGINE_ctrl_cmd_string(e, "CRYPT_PARAMS", "id-Gost28147-89-CryptoPro-A-ParamSet", 0);
            ERR_clear_error();
        }
        return e;
    }();
    return engine;
}

const EVP_CIPHER* CipherForOid(const char* oid)
{
    ENGINE* engine = MessageEngine();
    if (!engine || !oid)
        return nullptr;
    UniqueAsn1Object obj(OBJ_txt2obj(oid, 1));
    if (!obj || OBJ_obj2nid(obj.get()) != NID_id_Gost28147_89)
        return nullptr;
    return ENGINE_get_cipher(engine, NID_id_Gost28147_89);
}

UniqueX509 ToX509(PCCERT_CONTEXT cert)
{
    if (!cert || !cert->pbCertEncoded)
        return nullptr;
    const unsigned char* p = cert->pbCertEncoded;
    UniqueX509 x(d2i_X509(nullptr, &p, static_cast<long>(cert->cbCertEncoded)));
    ERR_clear_error();
    return x;
}

// The message built up to its content: recipients and the content
// encryption key are set, the cipher sits on top of `sink`.
struct Envelope {
    UniqueCms cms;
    Bytes headerOfEmpty; // the DER message with an empty encryptedContent
};

DWORD MakeEnvelope(const EVP_CIPHER* cipher, STACK_OF(X509) * certs, BIO* sink, Envelope* out, BIO** chain)
{
    UniqueCms cms(CMS_encrypt(nullptr, nullptr, cipher, CMS_BINARY | CMS_PARTIAL));
    if (!cms)
        return static_cast<DWORD>(NTE_FAIL);
    // With CMS_KEY_PARAM each recipient gets its key context at once, so the
    // GOST engine sets up the key transport parameters when the key is
    // encrypted (it refuses to without a context).
    for (int i = 0; i < sk_X509_num(certs); ++i)
        if (!CMS_add1_recipient_cert(cms.get(), sk_X509_value(certs, i),
                                     CMS_BINARY | CMS_PARTIAL | CMS_KEY_PARAM))
            return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    BIO* top = CMS_dataInit(cms.get(), sink);
    if (!top)
        return static_cast<DWORD>(NTE_FAIL);
    *chain = top;
    // CMS_encrypt marks the content as still to come (streamed into a memory
    // BIO); it is written here, so the mark goes and the empty content stays.
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    if (!content || !*content)
        return static_cast<DWORD>(NTE_FAIL);
    (*content)->flags &= ~ASN1_STRING_FLAG_CONT;
    unsigned char* der = nullptr;
    int length = i2d_CMS_ContentInfo(cms.get(), &der);
    std::unique_ptr<unsigned char, OpenSslFree> guard(der);
    if (length <= 0)
        return static_cast<DWORD>(NTE_FAIL);
    out->headerOfEmpty.assign(der, der + length);
    out->cms = std::move(cms);
    return 0;
}

} // namespace

} // namespace trumik::crypt

using namespace trumik::crypt;

BOOL WINAPI CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                                PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                                DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob)
{
    if (!pEncryptPara || !pcbEncryptedBlob || (cbToBeEncrypted && !pbToBeEncrypted))
        return Fail(E_INVALIDARG);
    if (pEncryptPara->cbSize != kEncryptPara32 && pEncryptPara->cbSize < sizeof(CRYPT_ENCRYPT_MESSAGE_PARA))
        return Fail(E_INVALIDARG);
    if (!(pEncryptPara->dwMsgEncodingType & PKCS_7_ASN_ENCODING))
        return Fail(E_INVALIDARG);
    if (cRecipientCert == 0 || !rgpRecipientCert)
        return Fail(E_INVALIDARG);
    // Only data is enveloped here (0 or CMSG_DATA); other inner types would
    // need their own encoding of the content.
    if (pEncryptPara->cbSize >= sizeof(CRYPT_ENCRYPT_MESSAGE_PARA) &&
        pEncryptPara->dwInnerContentType > kDataContent)
        return Fail(CRYPT_E_INVALID_MSG_TYPE);
    const EVP_CIPHER* cipher = CipherForOid(pEncryptPara->ContentEncryptionAlgorithm.pszObjId);
    if (!cipher)
        return Fail(CRYPT_E_UNKNOWN_ALGO);

    UniqueX509Stack certs(sk_X509_new_null());
    if (!certs)
        return Fail(E_OUTOFMEMORY);
    for (DWORD i = 0; i < cRecipientCert; ++i) {
        UniqueX509 x = ToX509(rgpRecipientCert[i]);
        if (!x)
            return Fail(E_INVALIDARG);
        if (!sk_X509_push(certs.get(), x.get()))
            return Fail(E_OUTOFMEMORY);
        x.release();
    }

    Span span;
    UniqueBio sink = NewSpanBio(&span);
    if (!sink)
        return Fail(E_OUTOFMEMORY);
    Envelope envelope;
    BIO* top = nullptr;
    DWORD rc = MakeEnvelope(cipher, certs.get(), sink.get(), &envelope, &top);
    FilterChain chain(top, sink.get());
    if (rc)
        return Fail(rc);

    // Every length on the way to the content grows by the content's size.
    Bytes header;
    if (!RewriteContentPath(envelope.headerOfEmpty, cbToBeEncrypted, &header))
        return Fail(NTE_FAIL);
    const uint64_t total = uint64_t(header.size()) + cbToBeEncrypted;
    if (total > std::numeric_limits<DWORD>::max())
        return Fail(CRYPT_E_BAD_LEN);
    if (!pbEncryptedBlob) {
        *pcbEncryptedBlob = static_cast<DWORD>(total);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (*pcbEncryptedBlob < total) {
        *pcbEncryptedBlob = static_cast<DWORD>(total);
        return Fail(ERROR_MORE_DATA);
    }

    std::memcpy(pbEncryptedBlob, header.data(), header.size());
    span.data = pbEncryptedBlob + header.size();
    span.size = cbToBeEncrypted;
    for (size_t done = 0; done < cbToBeEncrypted;) {
        const int piece = static_cast<int>(std::min(kChunk, size_t(cbToBeEncrypted) - done));
        if (BIO_write(chain.get(), pbToBeEncrypted + done, piece) != piece)
            return Fail(NTE_FAIL);
        done += static_cast<size_t>(piece);
    }
    if (BIO_flush(chain.get()) <= 0 || span.used != cbToBeEncrypted)
        return Fail(NTE_FAIL);
    if (!CMS_dataFinal(envelope.cms.get(), chain.get()))
        return Fail(NTE_FAIL);
    *pcbEncryptedBlob = static_cast<DWORD>(total);
    ERR_clear_error();
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

namespace {

// A parsed message: the structure without its content, and where the
// encrypted content lies (in the caller's bytes or in the structure).
struct OpenedMessage {
    UniqueCms cms;
    const BYTE* content = nullptr;
    size_t contentSize = 0;
};

DWORD ParseMessage(const BYTE* data, DWORD size, OpenedMessage* out)
{
    if (!data || size == 0)
        return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    ContentSplit split;
    if (SplitContentPath(data, size, &split)) {
        const unsigned char* p = split.header.data();
        UniqueCms cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(split.header.size())));
        if (cms && p == split.header.data() + split.header.size()) {
            out->cms = std::move(cms);
            out->content = data + split.contentOffset;
            out->contentSize = split.contentSize;
            return 0;
        }
    }
    ERR_clear_error();
    const unsigned char* p = data;
    UniqueCms cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(size)));
    if (!cms) {
        ERR_clear_error();
        return DerErrorCode(data, size);
    }
    if (p != data + size)
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    out->cms = std::move(cms);
    if (OBJ_obj2nid(CMS_get0_type(out->cms.get())) == NID_pkcs7_enveloped) {
        ASN1_OCTET_STRING** content = CMS_get0_content(out->cms.get());
        if (content && *content) {
            out->content = ASN1_STRING_get0_data(*content);
            out->contentSize = static_cast<size_t>(ASN1_STRING_length(*content));
        }
    }
    return 0;
}

// The parameter sets of GOST 28147-89 the engine has S-boxes for. It must
// never see another: it does not check.
bool KnownGost28147ParamSet(const Bytes& oidDer)
{
    const unsigned char* p = oidDer.data();
    UniqueAsn1Object obj(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oidDer.size())));
    if (!obj || p != oidDer.data() + oidDer.size())
        return false;
    switch (OBJ_obj2nid(obj.get())) {
    case NID_id_Gost28147_89_CryptoPro_A_ParamSet:
    case NID_id_Gost28147_89_CryptoPro_B_ParamSet:
    case NID_id_Gost28147_89_CryptoPro_C_ParamSet:
    case NID_id_Gost28147_89_CryptoPro_D_ParamSet:
    case NID_id_tc26_gost_28147_param_Z:
    case NID_id_Gost28147_89_TestParamSet:
        return true;
    default:
        return false;
    }
}

// The DER of an enveloped message without its content (an empty
// encryptedContent); empty when it does not encode.
Bytes HeaderDer(CMS_ContentInfo* cms)
{
    ASN1_OCTET_STRING** content = CMS_get0_content(cms);
    if (!content)
        return {};
    ASN1_OCTET_STRING* saved = *content;
    *content = nullptr;
    unsigned char* der = nullptr;
    int length = i2d_CMS_ContentInfo(cms, &der);
    *content = saved;
    std::unique_ptr<unsigned char, OpenSslFree> guard(der);
    if (length <= 0) {
        ERR_clear_error();
        return {};
    }
    return Bytes(der, der + length);
}

// The content encryption algorithm of an enveloped message, if the engine
// knows it and its parameters are sound; null otherwise. The CMS API keeps
// the algorithm to itself, so it is read from the encoding of the structure
// without its content. `paramsDer` receives the DER of its parameters.
const EVP_CIPHER* ContentCipher(CMS_ContentInfo* cms, Bytes* paramsDer = nullptr)
{
    MessageEngine();
    const Bytes header = HeaderDer(cms);
    Bytes oid, params, paramSet;
    if (header.empty() || !ContentAlgorithm(header.data(), header.size(), &oid, &params)) {
        ERR_clear_error();
        return nullptr;
    }
    const unsigned char* p = oid.data();
    UniqueAsn1Object obj(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid.size())));
    ERR_clear_error();
    if (!obj || OBJ_obj2nid(obj.get()) != NID_id_Gost28147_89)
        return nullptr;
    if (!Gost28147Parameters(params, &paramSet) || !KnownGost28147ParamSet(paramSet)) {
        ERR_clear_error();
        return nullptr;
    }
    if (paramsDer)
        *paramsDer = params;
    return ENGINE_get_cipher(MessageEngine(), NID_id_Gost28147_89);
}

// A cipher filter that decrypts the content read from `source` with a known
// content key, set up from the message's algorithm parameters as the CMS
// code sets up its own; null when it cannot be made.
BIO* ContentDecryptor(const EVP_CIPHER* cipher, const Bytes& paramsDer, const Bytes& cek, BIO* source)
{
    const unsigned char* p = paramsDer.data();
    trumik::platform::UniqueAsn1Type params(d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(paramsDer.size())));
    UniqueBio filter(BIO_new(BIO_f_cipher()));
    EVP_CIPHER_CTX* ctx = nullptr;
    if (!params || !filter || BIO_get_cipher_ctx(filter.get(), &ctx) != 1 || !ctx ||
        EVP_CipherInit_ex(ctx, cipher, nullptr, nullptr, nullptr, 0) != 1 ||
        EVP_CIPHER_asn1_to_param(ctx, params.get()) <= 0 ||
        static_cast<size_t>(EVP_CIPHER_CTX_key_length(ctx)) != cek.size() ||
        EVP_CipherInit_ex(ctx, nullptr, nullptr, cek.data(), nullptr, 0) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return BIO_push(filter.release(), source);
}

// The content encryption key of a message for `recipient` whose key stays
// outside the provider (on a token): the holder agrees the key-encryption
// key with each transport addressed to the certificate, and the first whose
// wrap checks gives the key. 0, or the error of the agreement or the unwrap.
DWORD OpenWithHeldKey(CMS_ContentInfo* cms, X509* recipient, HCRYPTPROV provider, DWORD keySpec, Bytes* cek)
{
    Bytes rid;
    {
        unsigned char* issuer = nullptr;
        unsigned char* serial = nullptr;
        const int issuerSize = i2d_X509_NAME(X509_get_issuer_name(recipient), &issuer);
        const int serialSize = i2d_ASN1_INTEGER(X509_get0_serialNumber(recipient), &serial);
        std::unique_ptr<unsigned char, OpenSslFree> issuerGuard(issuer), serialGuard(serial);
        if (issuerSize <= 0 || serialSize <= 0) {
            ERR_clear_error();
            return static_cast<DWORD>(NTE_BAD_DATA);
        }
        Bytes both(issuer, issuer + issuerSize);
        both.insert(both.end(), serial, serial + serialSize);
        rid = der::Wrap(0x30, both);
    }
    const Bytes header = HeaderDer(cms);
    DWORD error = static_cast<DWORD>(NTE_BAD_DATA);
    for (const GostKeyTransport& transport : GostKeyTransportsFor(header.data(), header.size(), rid)) {
        Bytes kek;
        if (DWORD rc = trumik::csp::ContextAgreeKek(provider, keySpec, transport.ephemeralKey, transport.ukm,
                                                    &kek)) {
            error = rc;
            if (rc == static_cast<DWORD>(SCARD_W_WRONG_CHV))
                break;
            continue;
        }
        DWORD rc = UnwrapCryptoPro(MessageEngine(), kek, transport, cek);
        std::fill(kek.begin(), kek.end(), 0);
        if (rc == 0)
            return 0;
        error = rc;
    }
    return error;
}

} // namespace

BOOL WINAPI CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara, const BYTE* pbEncryptedBlob,
                                DWORD cbEncryptedBlob, BYTE* pbDecrypted, DWORD* pcbDecrypted,
                                PCCERT_CONTEXT* ppXchgCert)
{
    if (ppXchgCert)
        *ppXchgCert = nullptr;
    if (!pDecryptPara || !pcbDecrypted || (cbEncryptedBlob && !pbEncryptedBlob))
        return Fail(E_INVALIDARG);
    if (pDecryptPara->cbSize != kDecryptPara32NoFlags && pDecryptPara->cbSize != kDecryptPara32 &&
        pDecryptPara->cbSize < sizeof(CRYPT_DECRYPT_MESSAGE_PARA))
        return Fail(E_INVALIDARG);
    if (!(pDecryptPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING))
        return Fail(E_INVALIDARG);
    if (pDecryptPara->cCertStore && !pDecryptPara->rghCertStore)
        return Fail(E_INVALIDARG);
    const DWORD flags = pDecryptPara->cbSize >= kDecryptPara32 ? pDecryptPara->dwFlags : 0;
    if (!MessageEngine())
        return Fail(CRYPT_E_UNKNOWN_ALGO);

    OpenedMessage message;
    if (DWORD rc = ParseMessage(pbEncryptedBlob, cbEncryptedBlob, &message))
        return Fail(rc);
    if (OBJ_obj2nid(CMS_get0_type(message.cms.get())) != NID_pkcs7_enveloped)
        return Fail(CRYPT_E_UNEXPECTED_MSG_TYPE);
    Bytes cipherParams;
    const EVP_CIPHER* cipher = ContentCipher(message.cms.get(), &cipherParams);
    if (!cipher)
        return Fail(CRYPT_E_UNKNOWN_ALGO);
    if (!message.content)
        return Fail(CRYPT_E_BAD_MSG);
    // The plain data is never longer than the encrypted content (as long in
    // the stream modes of GOST 28147-89).
    const uint64_t needed = message.contentSize;
    if (!pbDecrypted) {
        *pcbDecrypted = static_cast<DWORD>(needed);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (*pcbDecrypted < needed) {
        *pcbDecrypted = static_cast<DWORD>(needed);
        return Fail(ERROR_MORE_DATA);
    }

    // The first recipient that has a certificate with a private key in the
    // stores opens the content encryption key.
    STACK_OF(CMS_RecipientInfo)* recipients = CMS_get0_RecipientInfos(message.cms.get());
    bool certificateFound = false;
    DWORD keyError = 0;
    UniqueCertContext used;
    Bytes heldKeyCek; // the content key, when a key outside the provider opened it
    for (int r = 0; r < sk_CMS_RecipientInfo_num(recipients) && !used; ++r) {
        CMS_RecipientInfo* ri = sk_CMS_RecipientInfo_value(recipients, r);
        if (CMS_RecipientInfo_type(ri) != CMS_RECIPINFO_TRANS)
            continue;
        for (DWORD s = 0; s < pDecryptPara->cCertStore && !used; ++s) {
            HCERTSTORE store = pDecryptPara->rghCertStore[s];
            if (!store)
                continue;
            for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
                 c = CertEnumCertificatesInStore(store, c)) {
                UniqueX509 x = ToX509(c);
                if (!x || CMS_RecipientInfo_ktri_cert_cmp(ri, x.get()) != 0)
                    continue;
                DWORD propSize = 0;
                if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &propSize))
                    continue;
                AcquiredKey key;
                DWORD acquireFlags = CRYPT_ACQUIRE_COMPARE_KEY_FLAG;
                if (flags & CRYPT_MESSAGE_SILENT_KEYSET_FLAG)
                    acquireFlags |= CRYPT_ACQUIRE_SILENT_FLAG;
                if (!CryptAcquireCertificatePrivateKey(c, acquireFlags, nullptr, &key.provider_,
                                                       &key.keySpec_, &key.callerFrees_))
                    continue;
                certificateFound = true;
                EVP_PKEY* raw = nullptr;
                DWORD rc = trumik::csp::ContextPrivateKey(key.provider_, key.keySpec_, &raw);
                UniquePkey pkey(raw);
                if (rc == static_cast<DWORD>(NTE_NOT_SUPPORTED)) {
                    // The key stays on its token: it agrees, the wrap is opened here.
                    rc =
                        OpenWithHeldKey(message.cms.get(), x.get(), key.provider_, key.keySpec_, &heldKeyCek);
                    if (rc == 0) {
                        used.reset(CertDuplicateCertificateContext(c));
                        CertFreeCertificateContext(c);
                        break;
                    }
                }
                if (rc) {
                    if (!keyError || rc == static_cast<DWORD>(SCARD_W_WRONG_CHV))
                        keyError = rc;
                    continue;
                }
                // The recipient info takes a reference of its own and drops it
                // when its key is set to none.
                EVP_PKEY_up_ref(pkey.get());
                bool opened = CMS_RecipientInfo_set0_pkey(ri, pkey.get()) == 1 &&
                              CMS_RecipientInfo_decrypt(message.cms.get(), ri) == 1;
                CMS_RecipientInfo_set0_pkey(ri, nullptr);
                ERR_clear_error();
                if (!opened) {
                    if (!keyError)
                        keyError = static_cast<DWORD>(NTE_BAD_DATA);
                    continue;
                }
                used.reset(CertDuplicateCertificateContext(c));
                CertFreeCertificateContext(c);
                break;
            }
        }
    }
    if (!used) {
        if (keyError == static_cast<DWORD>(SCARD_W_WRONG_CHV) || (certificateFound && keyError))
            return Fail(keyError);
        return Fail(CRYPT_E_NO_DECRYPT_CERT);
    }

    // A memory BIO holds at most INT_MAX bytes.
    if (message.contentSize > static_cast<size_t>(std::numeric_limits<int>::max()))
        return Fail(CRYPT_E_BAD_LEN);
    UniqueBio source(BIO_new_mem_buf(message.content, static_cast<int>(message.contentSize)));
    if (!source)
        return Fail(E_OUTOFMEMORY);
    BIO* top = heldKeyCek.empty() ? CMS_dataInit(message.cms.get(), source.get())
                                  : ContentDecryptor(cipher, cipherParams, heldKeyCek, source.get());
    std::fill(heldKeyCek.begin(), heldKeyCek.end(), 0);
    FilterChain chain(top, source.get());
    if (!top)
        return Fail(NTE_BAD_DATA);
    size_t produced = 0;
    for (;;) {
        const size_t room = *pcbDecrypted - produced;
        if (room == 0) {
            // Nothing may be left over.
            char probe;
            if (BIO_read(chain.get(), &probe, 1) > 0)
                return Fail(ERROR_MORE_DATA);
            break;
        }
        const int n = BIO_read(chain.get(), pbDecrypted + produced, static_cast<int>(std::min(kChunk, room)));
        if (n <= 0)
            break;
        produced += static_cast<size_t>(n);
    }
    if (!BIO_get_cipher_status(chain.get()))
        return Fail(NTE_BAD_DATA);
    *pcbDecrypted = static_cast<DWORD>(produced);
    if (ppXchgCert)
        *ppXchgCert = used.release();
    ERR_clear_error();
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

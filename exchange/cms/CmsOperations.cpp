// CMS SignedData operations on the platform's message calls: the signing
// key's lookup and checks, signing and co-signing with the content read in
// pieces, verification of every signer with the certificates the message
// carries, and the attached content.
#include "exchange/cms/CmsOperations.h"

#include "exchange/cms/Messages.h"

#include "common/Conversions.h"
#include "common/Thumbprint.h"
#include "cryptmsg/MessageTextCodec.h"
#include "signer/CertLookup.h"

#include <winbase.h>

#include <algorithm>
#include <cstring>

namespace trumik::exchange::cms {

namespace {

namespace msg = messages;
using common::UniqueMessage;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Content is read and hashed in pieces of this size.
constexpr size_t kPiece = 1 << 20;

Outcome Failed(const common::Message& message, bool systemText = false)
{
    return Outcome{&message, systemText};
}

// The digest that goes with a certificate's GOST key.
const char* DigestOidForKey(const char* keyOid)
{
    if (!keyOid)
        return nullptr;
    if (std::strcmp(keyOid, szOID_CP_GOST_R3410EL) == 0)
        return szOID_CP_GOST_R3411;
    if (std::strcmp(keyOid, szOID_CP_GOST_R3410_12_256) == 0)
        return szOID_CP_GOST_R3411_12_256;
    if (std::strcmp(keyOid, szOID_CP_GOST_R3410_12_512) == 0)
        return szOID_CP_GOST_R3411_12_512;
    return nullptr;
}

Bytes Param(HCRYPTMSG message, DWORD type, DWORD index = 0)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, index, nullptr, &size))
        return {};
    Bytes out(size);
    if (size && !CryptMsgGetParam(message, type, index, out.data(), &size))
        return {};
    out.resize(size);
    return out;
}

DWORD ParamDword(HCRYPTMSG message, DWORD type)
{
    DWORD value = 0, size = sizeof value;
    return CryptMsgGetParam(message, type, 0, &value, &size) ? value : 0;
}

// Feeds the content to a message a piece at a time, the last piece final.
Outcome Feed(HCRYPTMSG message, const ContentSource& content, const Progress& progress,
             const common::Message& updateFailure)
{
    Bytes buffer(kPiece);
    uint64_t done = 0;
    for (;;) {
        size_t got = 0;
        if (!content(buffer.data(), buffer.size(), &got))
            return Failed(msg::kContentNotRead);
        if (!CryptMsgUpdate(message, buffer.data(), static_cast<DWORD>(got), got == 0))
            return Failed(GetLastError() == static_cast<DWORD>(SCARD_W_WRONG_CHV) ? msg::kPinRefused
                                                                                  : updateFailure,
                          true);
        if (got == 0)
            return {};
        done += got;
        if (progress)
            progress(done);
    }
}

CMSG_SIGNER_ENCODE_INFO SignerInfoOf(const SigningKey& key)
{
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    signer.pCertInfo = key.Certificate()->pCertInfo;
    signer.hCryptProv = key.Provider();
    signer.dwKeySpec = key.KeySpec();
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(key.DigestOid());
    return signer;
}

// A SignedData opened for reading; its detached content is fed by
// FeedDetached.
Outcome OpenSigned(const Bytes& signedData, UniqueMessage* out, bool* detached)
{
    if (signedData.empty())
        return Failed(msg::kVerifyBadArguments);
    const Bytes der = FromPemOrDer(signedData);
    UniqueMessage message(CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
    if (!message)
        return Failed(msg::kVerifyException, true);
    if (!CryptMsgUpdate(message.get(), der.data(), static_cast<DWORD>(der.size()), TRUE)) {
        const DWORD error = GetLastError();
        return Failed(error == static_cast<DWORD>(CRYPT_E_ASN1_EOD) ? msg::kTruncated : msg::kNotSignedData,
                      true);
    }
    DWORD size = 0;
    *detached = !CryptMsgGetParam(message.get(), CMSG_CONTENT_PARAM, 0, nullptr, &size);
    *out = std::move(message);
    return {};
}

// The content of a detached message, which must be given.
Outcome FeedDetached(HCRYPTMSG message, bool detached, const ContentSource* content, const Progress& progress,
                     const common::Message& failure)
{
    if (!detached)
        return {};
    if (!content)
        return Failed(msg::kContentMissing);
    return Feed(message, *content, progress, failure);
}

std::u16string SubjectOf(PCCERT_CONTEXT cert)
{
    CERT_NAME_BLOB subject = cert->pCertInfo->Subject;
    const DWORD units = CertNameToStrW(kEncoding, &subject, CERT_X500_NAME_STR, nullptr, 0);
    std::u16string text(units, u'\0');
    if (units)
        CertNameToStrW(kEncoding, &subject, CERT_X500_NAME_STR, text.data(), units);
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return text;
}

bool SigningTimeOf(HCRYPTMSG message, DWORD index, FILETIME* when)
{
    const Bytes block = Param(message, CMSG_SIGNER_AUTH_ATTR_PARAM, index);
    if (block.size() < sizeof(CRYPT_ATTRIBUTES))
        return false;
    const auto* attrs = reinterpret_cast<const CRYPT_ATTRIBUTES*>(block.data());
    for (DWORD i = 0; i < attrs->cAttr; ++i) {
        const CRYPT_ATTRIBUTE& a = attrs->rgAttr[i];
        if (std::strcmp(a.pszObjId, szOID_RSA_signingTime) != 0 || a.cValue != 1)
            continue;
        DWORD size = sizeof *when;
        return CryptDecodeObject(kEncoding, PKCS_UTC_TIME, a.rgValue[0].pbData, a.rgValue[0].cbData, 0, when,
                                 &size);
    }
    return false;
}

// One signer checked against the certificates of the message: the first one
// that is the signer's decides.
SignerResult CheckSigner(HCRYPTMSG message, DWORD index, const std::vector<common::UniqueCertContext>& certs)
{
    SignerResult result;
    result.problem = &msg::kSignerCertificateMissing;
    for (const auto& cert : certs) {
        CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{sizeof para, 0, index, CMSG_VERIFY_SIGNER_CERT,
                                                const_cast<CERT_CONTEXT*>(cert.get())};
        const bool verified = CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para);
        const DWORD error = verified ? 0 : GetLastError();
        if (error == static_cast<DWORD>(CRYPT_E_SIGNER_NOT_FOUND))
            continue;
        result.valid = verified;
        result.problem =
            error == static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO) || error == static_cast<DWORD>(NTE_BAD_ALGID)
                ? &msg::kUnknownAlgorithm
                : nullptr;
        result.certificate.assign(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
        result.subject = SubjectOf(cert.get());
        break;
    }
    result.hasSigningTime = SigningTimeOf(message, index, &result.signingTime);
    return result;
}

} // namespace

ContentSource FromMemory(const BYTE* data, size_t size)
{
    return [data, size, at = size_t(0)](BYTE* buffer, size_t capacity, size_t* got) mutable {
        *got = std::min(capacity, size - at);
        if (*got)
            std::memcpy(buffer, data + at, *got);
        at += *got;
        return true;
    };
}

Outcome SigningKey::Open(BSTR storeName, BSTR thumbprint, BSTR pin)
{
    switch (signer::LookupCertificate(storeName, thumbprint, store_, cert_)) {
    case signer::LookupResult::StoreNotFound:
        return Failed(msg::kNoStore, true);
    case signer::LookupResult::CertNotFound:
        return Failed(msg::kNoCertificate, true);
    case signer::LookupResult::Found:
        break;
    }
    const PCERT_INFO info = cert_->pCertInfo;
    const LONG validity = CertVerifyTimeValidity(nullptr, info);
    if (validity < 0)
        return Failed(msg::kNotYetValid);
    if (validity > 0)
        return Failed(msg::kExpired);
    BYTE usage = 0;
    if (!CertGetIntendedKeyUsage(kEncoding, info, &usage, 1) || !(usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE))
        return Failed(msg::kNoDigitalSignature, true);
    digestOid_ = DigestOidForKey(info->SubjectPublicKeyInfo.Algorithm.pszObjId);
    if (!digestOid_)
        return Failed(msg::kNotGostKey);
    BOOL callerFrees = FALSE;
    if (!CryptAcquireCertificatePrivateKey(cert_.get(),
                                           CRYPT_ACQUIRE_COMPARE_KEY_FLAG | CRYPT_ACQUIRE_SILENT_FLAG,
                                           nullptr, provider_.put(), &keySpec_, &callerFrees))
        return Failed(msg::kNoKey, true);
    if (pin) {
        const std::string text = common::BytePerCharacter(pin);
        const DWORD param = keySpec_ == AT_SIGNATURE ? PP_SIGNATURE_PIN : PP_KEYEXCHANGE_PIN;
        if (!CryptSetProvParam(provider_.get(), param, reinterpret_cast<const BYTE*>(text.c_str()), 0))
            return Failed(msg::kPinRefused, true);
    }
    return {};
}

Outcome Sign(const SigningKey& key, const ContentSource& content, bool detached, Bytes* signedData,
             const Progress& progress)
{
    CMSG_SIGNER_ENCODE_INFO signer = SignerInfoOf(key);
    CERT_BLOB cert{key.Certificate()->cbCertEncoded, key.Certificate()->pbCertEncoded};
    CMSG_SIGNED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.cSigners = 1;
    info.rgSigners = &signer;
    info.cCertEncoded = 1;
    info.rgCertEncoded = &cert;
    UniqueMessage message(CryptMsgOpenToEncode(kEncoding, detached ? CMSG_DETACHED_FLAG : 0, CMSG_SIGNED,
                                               &info, nullptr, nullptr));
    if (!message)
        return Failed(msg::kNotSigned, true);
    if (Outcome fed = Feed(message.get(), content, progress, msg::kNotSigned); !fed)
        return fed;
    *signedData = Param(message.get(), CMSG_CONTENT_PARAM);
    if (signedData->empty())
        return Failed(msg::kNotSigned, true);
    return {};
}

Outcome CoSign(const Bytes& signedData, const ContentSource* content, const SigningKey& key, Bytes* result,
               const Progress& progress)
{
    UniqueMessage message;
    bool detached = false;
    if (Outcome opened = OpenSigned(signedData, &message, &detached); !opened)
        return opened;
    if (detached && !content)
        return Failed(msg::kContentMissing);
    CRYPT_DATA_BLOB cert{key.Certificate()->cbCertEncoded, key.Certificate()->pbCertEncoded};
    CMSG_SIGNER_ENCODE_INFO signer = SignerInfoOf(key);
    if (!CryptMsgControl(message.get(), 0, CMSG_CTRL_ADD_CERT, &cert))
        return Failed(msg::kNotSigned, true);
    if (!CryptMsgControl(message.get(), 0, CMSG_CTRL_ADD_SIGNER, &signer)) {
        const DWORD error = GetLastError();
        return Failed(error == static_cast<DWORD>(SCARD_W_WRONG_CHV)      ? msg::kPinRefused
                      : error == static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO) ? msg::kUnknownAlgorithm
                                                                          : msg::kNotSigned,
                      true);
    }
    // A detached message signs for the new signer as its content passes.
    if (Outcome fed = FeedDetached(message.get(), detached, content, progress, msg::kNotSigned); !fed)
        return fed;
    *result = Param(message.get(), CMSG_ENCODED_MESSAGE);
    return result->empty() ? Failed(msg::kNotSigned, true) : Outcome{};
}

bool Verification::AllValid() const
{
    return !signers.empty() &&
           std::all_of(signers.begin(), signers.end(), [](const SignerResult& s) { return s.valid; });
}

Outcome Verify(const Bytes& signedData, const ContentSource* content, Verification* out,
               const Progress& progress)
{
    *out = Verification{};
    UniqueMessage message;
    if (Outcome opened = OpenSigned(signedData, &message, &out->detached); !opened)
        return opened;
    if (Outcome fed = FeedDetached(message.get(), out->detached, content, progress, msg::kVerifyException);
        !fed)
        return fed;
    std::vector<common::UniqueCertContext> certs;
    const DWORD certCount = ParamDword(message.get(), CMSG_CERT_COUNT_PARAM);
    for (DWORD c = 0; c < certCount; ++c) {
        const Bytes der = Param(message.get(), CMSG_CERT_PARAM, c);
        if (PCCERT_CONTEXT cert =
                CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size())))
            certs.emplace_back(cert);
    }
    const DWORD signers = ParamDword(message.get(), CMSG_SIGNER_COUNT_PARAM);
    for (DWORD s = 0; s < signers; ++s)
        out->signers.push_back(CheckSigner(message.get(), s, certs));
    if (!out->detached)
        out->content = Param(message.get(), CMSG_CONTENT_PARAM);
    return {};
}

Outcome Content(const Bytes& signedData, Bytes* content)
{
    UniqueMessage message;
    bool detached = false;
    if (Outcome opened = OpenSigned(signedData, &message, &detached); !opened)
        return opened;
    if (detached)
        return Failed(msg::kNoContent);
    *content = Param(message.get(), CMSG_CONTENT_PARAM);
    return {};
}

Bytes FromPemOrDer(const Bytes& input)
{
    static constexpr char kBegin[] = "-----BEGIN ";
    const auto text = reinterpret_cast<const char*>(input.data());
    const std::string_view view(text, input.size());
    const size_t begin = view.find(kBegin);
    if (begin == std::string_view::npos || (!input.empty() && input[0] == 0x30))
        return input;
    const size_t bodyStart = view.find('\n', begin);
    const size_t end = view.find("-----END ", begin);
    if (bodyStart == std::string_view::npos || end == std::string_view::npos || end < bodyStart)
        return input;
    const LONG length = static_cast<LONG>(end - bodyStart);
    LONG size = 0;
    cryptmsg::MessageTextDecode(text + bodyStart, length, nullptr, &size);
    Bytes der(static_cast<size_t>(size));
    if (!cryptmsg::MessageTextDecode(text + bodyStart, length, der.data(), &size))
        return input;
    der.resize(static_cast<size_t>(size));
    return der;
}

std::string ToPem(const Bytes& der)
{
    const LONG count = static_cast<LONG>(der.size());
    LONG length = cryptmsg::MessageTextEncodedLength(count, cryptmsg::kTextNoLineBreaks);
    std::string body(static_cast<size_t>(std::max<LONG>(length, 0)), '\0');
    cryptmsg::MessageTextEncode(der.data(), count, body.data(), &length, cryptmsg::kTextNoLineBreaks);
    body.resize(static_cast<size_t>(std::max<LONG>(length, 0)));
    std::string pem = "-----BEGIN CMS-----\n";
    for (size_t at = 0; at < body.size(); at += 64)
        pem += body.substr(at, 64) + "\n";
    return pem + "-----END CMS-----\n";
}

} // namespace trumik::exchange::cms

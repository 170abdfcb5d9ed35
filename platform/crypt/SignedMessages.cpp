// The low-level message calls of crypt32 for CMS SignedData: encoding with
// GOST signers (content given in pieces; a detached message keeps only its
// digests, so content of any size takes bounded memory), decoding, the
// signers' parameters, verification with a certificate or public key, and
// a signer or certificate added to a decoded message. The structure is in
// SignedData.cpp; this file holds the message objects and their states.
#include "crypt/CryptInternal.h"
#include "crypt/SignedData.h"
#include "internal/CryptHandles.h"

#include <winbase.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace trumik::crypt {

namespace {

namespace sd = signeddata;
using der::Bytes;
using platform::UniqueHash;
using platform::UniqueProv;

constexpr DWORD kEncodings = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The digests of the content, one per algorithm, fed piece by piece.
class ContentHashes {
  public:
    DWORD Start(const std::vector<ALG_ID>& algorithms)
    {
        if (!provider_ &&
            !CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
            return GetLastError();
        for (ALG_ID a : algorithms) {
            if (hashes_.count(a))
                continue;
            UniqueHash hash;
            if (!CryptCreateHash(provider_.get(), a, 0, 0, hash.put()))
                return GetLastError();
            hashes_.emplace(a, std::move(hash));
        }
        return 0;
    }
    DWORD Add(const BYTE* data, DWORD size)
    {
        for (auto& [algorithm, hash] : hashes_)
            if (!CryptHashData(hash.get(), data, size, 0))
                return GetLastError();
        return 0;
    }
    // The digest under one algorithm (the hash ends there); false when that
    // algorithm was not started.
    DWORD Finish(ALG_ID algorithm, Bytes* out)
    {
        if (auto done = digests_.find(algorithm); done != digests_.end()) {
            *out = done->second;
            return 0;
        }
        auto it = hashes_.find(algorithm);
        if (it == hashes_.end())
            return static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
        DWORD length = 64;
        Bytes value(length);
        if (!CryptGetHashParam(it->second.get(), HP_HASHVAL, value.data(), &length, 0))
            return GetLastError();
        value.resize(length);
        digests_[algorithm] = value;
        *out = std::move(value);
        return 0;
    }

  private:
    UniqueProv provider_;
    std::map<ALG_ID, UniqueHash> hashes_;
    std::map<ALG_ID, Bytes> digests_;
};

// A signer of a message being encoded, copied from the caller's structure.
struct PendingSigner {
    Bytes cert;
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    const sd::GostFamily* family = nullptr;
    std::vector<Bytes> extraAttributes;
};

struct MsgObject {
    bool encoding = false;
    bool detached = false;
    // Encoding.
    std::vector<PendingSigner> signers;
    std::vector<Bytes> certificates;
    Bytes content; // attached content only
    // Decoding: the message bytes until they are complete, then the message.
    Bytes input;
    bool parsed = false;
    sd::Message message;
    bool contentDone = false; // every piece of the content is in
    ContentHashes hashes;
    // Signers added to a detached message before its content: signed when
    // the last piece is in.
    std::vector<PendingSigner> waiting;
    // Both: the state after the last CryptMsgUpdate.
    bool finished = false;
    Bytes encoded;
};

std::mutex& TableLock()
{
    static std::mutex lock;
    return lock;
}
std::map<HCRYPTMSG, std::unique_ptr<MsgObject>>& Table()
{
    static std::map<HCRYPTMSG, std::unique_ptr<MsgObject>> table;
    return table;
}
MsgObject* Find(HCRYPTMSG handle)
{
    std::lock_guard lock(TableLock());
    auto it = Table().find(handle);
    return it == Table().end() ? nullptr : it->second.get();
}
HCRYPTMSG Add(std::unique_ptr<MsgObject> object)
{
    HCRYPTMSG handle = object.get();
    std::lock_guard lock(TableLock());
    Table().emplace(handle, std::move(object));
    return handle;
}

template <typename T> BOOL Fail(T code)
{
    SetLastError(static_cast<DWORD>(code));
    return FALSE;
}

// Copies bytes out with the usual size protocol.
BOOL CopyOut(void* pvData, DWORD* pcbData, const BYTE* data, size_t size)
{
    if (!pcbData)
        return Fail(E_INVALIDARG);
    if (size > 0xFFFFFFFFu)
        return Fail(CRYPT_E_BAD_LEN);
    if (!pvData) {
        *pcbData = static_cast<DWORD>(size);
        return TRUE;
    }
    if (*pcbData < size) {
        *pcbData = static_cast<DWORD>(size);
        return Fail(ERROR_MORE_DATA);
    }
    if (size)
        std::memcpy(pvData, data, size);
    *pcbData = static_cast<DWORD>(size);
    return TRUE;
}

BOOL CopyDword(void* pvData, DWORD* pcbData, DWORD value)
{
    return CopyOut(pvData, pcbData, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// A structure and the blobs it points to, laid out in one block of the
// caller's memory: Reserve counts, Place copies once the block's address is
// known. The size pass runs the same steps with no block.
class FlatBlock {
  public:
    explicit FlatBlock(BYTE* base) : base_(base) {}
    // Space for `size` bytes aligned to 8; its address in the block (null in
    // the size pass).
    BYTE* Take(size_t size)
    {
        used_ = (used_ + 7) & ~size_t(7);
        BYTE* at = base_ ? base_ + used_ : nullptr;
        used_ += size;
        return at;
    }
    BYTE* Copy(const BYTE* data, size_t size)
    {
        BYTE* at = Take(size);
        if (at && size)
            std::memcpy(at, data, size);
        return at;
    }
    size_t Used() const { return used_; }

  private:
    BYTE* base_;
    size_t used_ = 0;
};

// Runs a layout twice when needed: once for the size, once into the block.
template <typename Layout> BOOL CopyFlat(void* pvData, DWORD* pcbData, Layout layout)
{
    if (!pcbData)
        return Fail(E_INVALIDARG);
    FlatBlock sizing(nullptr);
    layout(sizing);
    const size_t size = sizing.Used();
    if (!pvData || *pcbData < size) {
        *pcbData = static_cast<DWORD>(size);
        return pvData ? Fail(ERROR_MORE_DATA) : TRUE;
    }
    std::memset(pvData, 0, size);
    FlatBlock block(static_cast<BYTE*>(pvData));
    layout(block);
    *pcbData = static_cast<DWORD>(size);
    return TRUE;
}

// The certificate (DER) among blobs that CERT_INFO names by issuer and
// serial number (little-endian, as CryptoAPI keeps it).
bool NamesCertificate(const CERT_INFO& id, const Bytes& cert)
{
    PCCERT_CONTEXT parsed =
        CertCreateCertificateContext(kEncodings, cert.data(), static_cast<DWORD>(cert.size()));
    if (!parsed)
        return false;
    const CERT_INFO* info = parsed->pCertInfo;
    const bool same =
        info->Issuer.cbData == id.Issuer.cbData && info->SerialNumber.cbData == id.SerialNumber.cbData &&
        std::memcmp(info->Issuer.pbData, id.Issuer.pbData, id.Issuer.cbData) == 0 &&
        std::memcmp(info->SerialNumber.pbData, id.SerialNumber.pbData, id.SerialNumber.cbData) == 0;
    CertFreeCertificateContext(parsed);
    return same;
}

// Copies a signer's description; its certificate is taken from `certs`.
DWORD TakeSigner(const CMSG_SIGNER_ENCODE_INFO& info, const std::vector<Bytes>& certs, PendingSigner* out)
{
    if (info.cbSize < sizeof(CMSG_SIGNER_ENCODE_INFO) - 2 * sizeof(void*) || !info.pCertInfo ||
        !info.HashAlgorithm.pszObjId || (info.cAuthAttr && !info.rgAuthAttr))
        return static_cast<DWORD>(E_INVALIDARG);
    const sd::GostFamily* family = sd::FamilyByDigest(info.HashAlgorithm.pszObjId);
    if (!family)
        return static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
    auto cert = std::find_if(certs.begin(), certs.end(),
                             [&](const Bytes& c) { return NamesCertificate(*info.pCertInfo, c); });
    if (cert == certs.end())
        return static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    if (sd::CertificateFamily(cert->data(), cert->size()) != family)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    out->cert = *cert;
    out->provider = info.hCryptProv;
    out->keySpec = info.dwKeySpec;
    out->family = family;
    for (DWORD i = 0; i < info.cAuthAttr; ++i) {
        const CRYPT_ATTRIBUTE& a = info.rgAuthAttr[i];
        Bytes oid = a.pszObjId ? der::EncodeOid(a.pszObjId) : Bytes();
        if (oid.empty() || (a.cValue && !a.rgValue))
            return static_cast<DWORD>(E_INVALIDARG);
        Bytes values;
        for (DWORD v = 0; v < a.cValue; ++v)
            values.insert(values.end(), a.rgValue[v].pbData, a.rgValue[v].pbData + a.rgValue[v].cbData);
        der::AppendTlv(oid, 0x31, values);
        out->extraAttributes.push_back(der::Wrap(0x30, oid));
    }
    return 0;
}

DWORD SignPending(const PendingSigner& signer, const Bytes& digest, const std::string& contentType,
                  Bytes* out)
{
    sd::SignerRequest request;
    request.cert = signer.cert.data();
    request.certSize = signer.cert.size();
    request.provider = signer.provider;
    request.keySpec = signer.keySpec;
    request.family = signer.family;
    request.contentDigest = digest;
    request.contentType = contentType;
    request.extraAttributes = signer.extraAttributes;
    return sd::MakeSignerInfo(request, out);
}

// The content's digest under an algorithm: from the hashes fed so far, or
// from the content in the message.
DWORD MessageDigest(MsgObject& m, ALG_ID algorithm, Bytes* out)
{
    if (m.detached || !m.message.hasContent) {
        if (m.detached && !m.contentDone)
            return static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY);
        if (!m.detached) // no content at all: the digest of nothing
            return sd::ContentDigest(0, algorithm, nullptr, 0, out);
        return m.hashes.Finish(algorithm, out);
    }
    return sd::ContentDigest(0, algorithm, m.message.At(m.message.content), m.message.content.length, out);
}

BOOL FinishEncoding(MsgObject& m)
{
    std::vector<Bytes> algorithms, infos;
    for (const PendingSigner& s : m.signers) {
        Bytes digest;
        if (DWORD rc = m.hashes.Finish(s.family->hash, &digest))
            return Fail(rc);
        Bytes info;
        if (DWORD rc = SignPending(s, digest, szOID_RSA_data, &info))
            return Fail(rc);
        infos.push_back(std::move(info));
        Bytes algorithm = sd::AlgorithmWithNull(s.family->digestOid);
        if (std::find(algorithms.begin(), algorithms.end(), algorithm) == algorithms.end())
            algorithms.push_back(std::move(algorithm));
    }
    m.encoded = sd::Assemble(algorithms, sd::EncapData(m.content.data(), m.content.size(), m.detached),
                             m.certificates, {}, infos);
    Bytes().swap(m.content);
    m.finished = true;
    return TRUE;
}

// Starts the content hashes of a decoded detached message: one per digest
// algorithm the message names.
DWORD StartContentHashes(MsgObject& m)
{
    std::vector<ALG_ID> algorithms;
    for (const der::Tlv& a : m.message.digestAlgorithms) {
        der::Tlv oid;
        if (der::ReadTlv(m.message.bytes.data(), a.content, a.End(), &oid))
            if (const sd::GostFamily* f =
                    sd::FamilyByDigest(der::OidText(m.message.bytes.data() + oid.content, oid.length)))
                algorithms.push_back(f->hash);
    }
    for (const sd::Signer& s : m.message.signers)
        if (const sd::GostFamily* f = sd::FamilyByDigest(s.digestOid))
            algorithms.push_back(f->hash);
    return m.hashes.Start(algorithms);
}

// Puts a decoded message together again from its parts and one more
// certificate or signer, and parses the result.
DWORD Rebuild(MsgObject& m, const Bytes* newCert, const Bytes* newSigner, const sd::GostFamily* newFamily)
{
    const sd::Message& msg = m.message;
    const BYTE* data = msg.bytes.data();
    std::vector<Bytes> algorithms, certs, signers;
    bool haveAlgorithm = newFamily == nullptr;
    for (const der::Tlv& a : msg.digestAlgorithms) {
        der::Tlv oid;
        if (newFamily && der::ReadTlv(data, a.content, a.End(), &oid) &&
            der::OidText(data + oid.content, oid.length) == newFamily->digestOid)
            haveAlgorithm = true;
        algorithms.push_back(der::Raw(data, a));
    }
    if (!haveAlgorithm)
        algorithms.push_back(sd::AlgorithmWithNull(newFamily->digestOid));
    for (const der::Tlv& c : msg.certificates)
        certs.push_back(der::Raw(data, c));
    if (newCert && std::find(certs.begin(), certs.end(), *newCert) == certs.end())
        certs.push_back(*newCert);
    for (const sd::Signer& s : msg.signers)
        signers.push_back(der::Raw(data, s.whole));
    if (newSigner)
        signers.push_back(*newSigner);
    Bytes rebuilt = sd::Assemble(algorithms, der::Raw(data, msg.encapContentInfo), certs,
                                 msg.hasCrls ? der::Raw(data, msg.crls) : Bytes(), signers);
    sd::Message reparsed;
    if (DWORD rc = sd::Parse(std::move(rebuilt), &reparsed))
        return rc;
    m.message = std::move(reparsed);
    return 0;
}

// Signs for a signer once the content's digest is known, and puts the new
// SignerInfo into the message.
bool AddSigned(MsgObject& m, const PendingSigner& signer)
{
    Bytes digest;
    Bytes signerInfo;
    DWORD rc = MessageDigest(m, signer.family->hash, &digest);
    if (!rc)
        rc = SignPending(signer, digest, m.message.contentType, &signerInfo);
    if (!rc)
        rc = Rebuild(m, nullptr, &signerInfo, signer.family);
    if (rc)
        SetLastError(rc);
    return rc == 0;
}

BOOL AddSigner(MsgObject& m, const CMSG_SIGNER_ENCODE_INFO* info)
{
    if (!info)
        return Fail(E_INVALIDARG);
    std::vector<Bytes> certs;
    for (const der::Tlv& c : m.message.certificates)
        certs.push_back(der::Raw(m.message.bytes.data(), c));
    PendingSigner signer;
    if (DWORD rc = TakeSigner(*info, certs, &signer))
        return Fail(rc);
    if (m.detached && !m.contentDone) {
        // The content is still to come: its digest under this signer's
        // algorithm is taken as it passes.
        if (DWORD rc = m.hashes.Start({signer.family->hash}))
            return Fail(rc);
        m.waiting.push_back(std::move(signer));
        return TRUE;
    }
    return AddSigned(m, signer) ? TRUE : FALSE;
}

BOOL VerifyEx(MsgObject& m, const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA* para)
{
    if (!para || para->cbSize < sizeof(CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA) - 4 || !para->pvSigner)
        return Fail(E_INVALIDARG);
    if (para->dwSignerIndex >= m.message.signers.size())
        return Fail(CRYPT_E_SIGNER_NOT_FOUND);
    const sd::Signer& signer = m.message.signers[para->dwSignerIndex];
    const CERT_PUBLIC_KEY_INFO* key = nullptr;
    if (para->dwSignerType == CMSG_VERIFY_SIGNER_CERT) {
        auto cert = static_cast<PCCERT_CONTEXT>(para->pvSigner);
        // A certificate that is not the signer's is no key for it.
        if (!cert->pbCertEncoded ||
            !sd::CertificateMatches(m.message, signer, cert->pbCertEncoded, cert->cbCertEncoded))
            return Fail(CRYPT_E_SIGNER_NOT_FOUND);
        // Nor is a certificate other than the one its signed attributes name.
        if (DWORD rc =
                sd::CheckSigningCertificate(m.message, signer, cert->pbCertEncoded, cert->cbCertEncoded))
            return Fail(rc);
        key = &cert->pCertInfo->SubjectPublicKeyInfo;
    } else if (para->dwSignerType == CMSG_VERIFY_SIGNER_PUBKEY) {
        key = static_cast<const CERT_PUBLIC_KEY_INFO*>(para->pvSigner);
    } else {
        return Fail(E_INVALIDARG);
    }
    const sd::GostFamily* family = sd::FamilyByDigest(signer.digestOid);
    if (!family)
        return Fail(CRYPT_E_UNKNOWN_ALGO);
    Bytes digest;
    if (DWORD rc = MessageDigest(m, family->hash, &digest))
        return Fail(rc);
    if (DWORD rc = sd::VerifySigner(m.message, signer, *key, digest))
        return Fail(rc);
    return TRUE;
}

BOOL UpdateDecoding(MsgObject& m, const BYTE* pbData, DWORD cbData, BOOL fFinal)
{
    if (!m.parsed) {
        m.input.insert(m.input.end(), pbData, pbData + cbData);
        if (!fFinal)
            return TRUE;
        if (DWORD rc = sd::Parse(std::move(m.input), &m.message))
            return Fail(rc);
        Bytes().swap(m.input);
        m.parsed = true;
        if (m.detached && m.message.hasContent)
            m.detached = false; // the content is in the message after all
        if (m.detached)
            if (DWORD rc = StartContentHashes(m))
                return Fail(rc);
        m.finished = !m.detached;
        return TRUE;
    }
    if (!m.detached || m.contentDone)
        return Fail(CRYPT_E_MSG_ERROR);
    if (DWORD rc = m.hashes.Add(pbData, cbData))
        return Fail(rc);
    if (fFinal) {
        m.contentDone = true;
        m.finished = true;
        std::vector<PendingSigner> waiting = std::move(m.waiting);
        for (const PendingSigner& signer : waiting)
            if (!AddSigned(m, signer))
                return FALSE;
    }
    return TRUE;
}

BOOL GetDecodedParam(MsgObject& m, DWORD type, DWORD index, void* pvData, DWORD* pcbData)
{
    if (!m.parsed)
        return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
    const sd::Message& msg = m.message;
    const BYTE* data = msg.bytes.data();
    switch (type) {
    case CMSG_TYPE_PARAM:
        return CopyDword(pvData, pcbData, CMSG_SIGNED);
    case CMSG_CONTENT_PARAM:
        // A detached message has no content of its own to give.
        if (!msg.hasContent)
            return Fail(CRYPT_E_INVALID_MSG_TYPE);
        return CopyOut(pvData, pcbData, msg.At(msg.content), msg.content.length);
    case CMSG_ENCODED_MESSAGE:
        return CopyOut(pvData, pcbData, data, msg.bytes.size());
    case CMSG_SIGNER_COUNT_PARAM:
        return CopyDword(pvData, pcbData, static_cast<DWORD>(msg.signers.size()));
    case CMSG_CERT_COUNT_PARAM:
        return CopyDword(pvData, pcbData, static_cast<DWORD>(msg.certificates.size()));
    case CMSG_CERT_PARAM:
        if (index >= msg.certificates.size())
            return Fail(CRYPT_E_INVALID_INDEX);
        return CopyOut(pvData, pcbData, data + msg.certificates[index].start, msg.certificates[index].Size());
    default:
        break;
    }
    if (type != CMSG_SIGNER_CERT_INFO_PARAM && type != CMSG_SIGNER_AUTH_ATTR_PARAM)
        return Fail(CRYPT_E_INVALID_MSG_TYPE);
    if (index >= msg.signers.size())
        return Fail(CRYPT_E_INVALID_INDEX);
    const sd::Signer& signer = msg.signers[index];
    if (type == CMSG_SIGNER_CERT_INFO_PARAM) {
        // Issuer and serial number (little-endian, as CryptoAPI keeps it);
        // both empty for a signer named by its key identifier.
        Bytes serial;
        if (!signer.byKeyId)
            serial.assign(data + signer.serial.content, data + signer.serial.End());
        std::reverse(serial.begin(), serial.end());
        return CopyFlat(pvData, pcbData, [&](FlatBlock& block) {
            auto* info = reinterpret_cast<CERT_INFO*>(block.Take(sizeof(CERT_INFO)));
            BYTE* issuer =
                signer.byKeyId ? nullptr : block.Copy(data + signer.issuer.start, signer.issuer.Size());
            BYTE* number = block.Copy(serial.data(), serial.size());
            if (info) {
                info->Issuer.cbData = signer.byKeyId ? 0 : static_cast<DWORD>(signer.issuer.Size());
                info->Issuer.pbData = issuer;
                info->SerialNumber.cbData = static_cast<DWORD>(serial.size());
                info->SerialNumber.pbData = number;
            }
        });
    }
    return CopyFlat(pvData, pcbData, [&](FlatBlock& block) {
        auto* attrs = reinterpret_cast<CRYPT_ATTRIBUTES*>(block.Take(sizeof(CRYPT_ATTRIBUTES)));
        auto* list =
            reinterpret_cast<CRYPT_ATTRIBUTE*>(block.Take(sizeof(CRYPT_ATTRIBUTE) * signer.attrs.size()));
        if (attrs) {
            attrs->cAttr = static_cast<DWORD>(signer.attrs.size());
            attrs->rgAttr = list;
        }
        for (size_t i = 0; i < signer.attrs.size(); ++i) {
            const sd::Attribute& a = signer.attrs[i];
            BYTE* oid = block.Copy(reinterpret_cast<const BYTE*>(a.oid.c_str()), a.oid.size() + 1);
            auto* values =
                reinterpret_cast<CRYPT_ATTR_BLOB*>(block.Take(sizeof(CRYPT_ATTR_BLOB) * a.values.size()));
            if (list) {
                list[i].pszObjId = reinterpret_cast<LPSTR>(oid);
                list[i].cValue = static_cast<DWORD>(a.values.size());
                list[i].rgValue = values;
            }
            for (size_t v = 0; v < a.values.size(); ++v) {
                BYTE* value = block.Copy(data + a.values[v].start, a.values[v].Size());
                if (values) {
                    values[v].cbData = static_cast<DWORD>(a.values[v].Size());
                    values[v].pbData = value;
                }
            }
        }
    });
}

} // namespace

} // namespace trumik::crypt

using namespace trumik::crypt;

WINAPI_EXPORT HCRYPTMSG WINAPI CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                    const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                                    PCMSG_STREAM_INFO pStreamInfo)
{
    if (!(dwMsgEncodingType & PKCS_7_ASN_ENCODING) || pStreamInfo || !pvMsgEncodeInfo ||
        (dwFlags & ~DWORD(CMSG_DETACHED_FLAG))) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    if (dwMsgType != CMSG_SIGNED ||
        (pszInnerContentObjID && std::strcmp(pszInnerContentObjID, szOID_RSA_data) != 0)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
        return nullptr;
    }
    const auto* info = static_cast<const CMSG_SIGNED_ENCODE_INFO*>(pvMsgEncodeInfo);
    if (info->cbSize < sizeof(CMSG_SIGNED_ENCODE_INFO) - 2 * sizeof(void*) ||
        (info->cSigners && !info->rgSigners) || (info->cCertEncoded && !info->rgCertEncoded)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    auto m = std::make_unique<MsgObject>();
    m->encoding = true;
    m->detached = (dwFlags & CMSG_DETACHED_FLAG) != 0;
    for (DWORD i = 0; i < info->cCertEncoded; ++i)
        m->certificates.emplace_back(info->rgCertEncoded[i].pbData,
                                     info->rgCertEncoded[i].pbData + info->rgCertEncoded[i].cbData);
    std::vector<ALG_ID> algorithms;
    for (DWORD i = 0; i < info->cSigners; ++i) {
        PendingSigner signer;
        if (DWORD rc = TakeSigner(info->rgSigners[i], m->certificates, &signer)) {
            SetLastError(rc);
            return nullptr;
        }
        algorithms.push_back(signer.family->hash);
        m->signers.push_back(std::move(signer));
    }
    if (DWORD rc = m->hashes.Start(algorithms)) {
        SetLastError(rc);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return Add(std::move(m));
}

WINAPI_EXPORT HCRYPTMSG WINAPI CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                    HCRYPTPROV_LEGACY, PCERT_INFO pRecipientInfo,
                                                    PCMSG_STREAM_INFO pStreamInfo)
{
    if (!(dwMsgEncodingType & PKCS_7_ASN_ENCODING) || pStreamInfo || pRecipientInfo ||
        (dwFlags & ~DWORD(CMSG_DETACHED_FLAG)) || (dwMsgType != 0 && dwMsgType != CMSG_SIGNED)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    auto m = std::make_unique<MsgObject>();
    m->detached = (dwFlags & CMSG_DETACHED_FLAG) != 0;
    SetLastError(ERROR_SUCCESS);
    return Add(std::move(m));
}

WINAPI_EXPORT BOOL WINAPI CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal)
{
    MsgObject* m = Find(hCryptMsg);
    if (!m || (cbData && !pbData))
        return Fail(E_INVALIDARG);
    if (m->encoding) {
        if (m->finished)
            return Fail(CRYPT_E_MSG_ERROR);
        if (DWORD rc = m->hashes.Add(pbData, cbData))
            return Fail(rc);
        if (!m->detached)
            m->content.insert(m->content.end(), pbData, pbData + cbData);
        return fFinal ? FinishEncoding(*m) : TRUE;
    }
    return UpdateDecoding(*m, pbData, cbData, fFinal);
}

WINAPI_EXPORT BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex,
                                           void* pvData, DWORD* pcbData)
{
    MsgObject* m = Find(hCryptMsg);
    if (!m || !pcbData)
        return Fail(E_INVALIDARG);
    if (!m->encoding)
        return GetDecodedParam(*m, dwParamType, dwIndex, pvData, pcbData);
    if (dwParamType != CMSG_CONTENT_PARAM && dwParamType != CMSG_ENCODED_MESSAGE)
        return Fail(CRYPT_E_INVALID_MSG_TYPE);
    if (!m->finished)
        return Fail(CRYPT_E_MSG_ERROR);
    return CopyOut(pvData, pcbData, m->encoded.data(), m->encoded.size());
}

WINAPI_EXPORT BOOL WINAPI CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD, DWORD dwCtrlType,
                                          const void* pvCtrlPara)
{
    MsgObject* m = Find(hCryptMsg);
    if (!m)
        return Fail(E_INVALIDARG);
    if (m->encoding || !m->parsed)
        return Fail(CRYPT_E_CONTROL_TYPE);
    switch (dwCtrlType) {
    case CMSG_CTRL_VERIFY_SIGNATURE_EX:
        return VerifyEx(*m, static_cast<const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA*>(pvCtrlPara));
    case CMSG_CTRL_ADD_SIGNER:
        return AddSigner(*m, static_cast<const CMSG_SIGNER_ENCODE_INFO*>(pvCtrlPara));
    case CMSG_CTRL_ADD_CERT: {
        const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvCtrlPara);
        if (!blob || !blob->pbData)
            return Fail(E_INVALIDARG);
        PCCERT_CONTEXT check = CertCreateCertificateContext(kEncodings, blob->pbData, blob->cbData);
        if (!check)
            return FALSE; // its error stands
        CertFreeCertificateContext(check);
        const Bytes cert(blob->pbData, blob->pbData + blob->cbData);
        if (DWORD rc = Rebuild(*m, &cert, nullptr, nullptr))
            return Fail(rc);
        return TRUE;
    }
    default:
        return Fail(CRYPT_E_CONTROL_TYPE);
    }
}

WINAPI_EXPORT BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg)
{
    if (!hCryptMsg)
        return TRUE;
    std::unique_ptr<MsgObject> gone;
    {
        std::lock_guard lock(TableLock());
        auto it = Table().find(hCryptMsg);
        if (it == Table().end())
            return Fail(E_INVALIDARG);
        gone = std::move(it->second);
        Table().erase(it);
    }
    return TRUE;
}

WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore, DWORD,
                                                                       PCERT_INFO pCertId)
{
    if (!hCertStore || !pCertId) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(hCertStore, nullptr); c;
         c = CertEnumCertificatesInStore(hCertStore, c)) {
        const CERT_INFO* info = c->pCertInfo;
        if (pCertId->Issuer.cbData && info->Issuer.cbData == pCertId->Issuer.cbData &&
            info->SerialNumber.cbData == pCertId->SerialNumber.cbData &&
            std::memcmp(info->Issuer.pbData, pCertId->Issuer.pbData, info->Issuer.cbData) == 0 &&
            std::memcmp(info->SerialNumber.pbData, pCertId->SerialNumber.pbData, info->SerialNumber.cbData) ==
                0)
            return c;
    }
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
}

WINAPI_EXPORT BOOL WINAPI CryptDecodeObject(DWORD, LPCSTR lpszStructType, const BYTE* pbEncoded,
                                            DWORD cbEncoded, DWORD, void* pvStructInfo, DWORD* pcbStructInfo)
{
    const bool isTime =
        lpszStructType == PKCS_UTC_TIME || (reinterpret_cast<uintptr_t>(lpszStructType) > 0xFFFF &&
                                            std::strcmp(lpszStructType, szOID_RSA_signingTime) == 0);
    if (!isTime)
        return Fail(ERROR_FILE_NOT_FOUND);
    if (!pbEncoded || !pcbStructInfo)
        return Fail(E_INVALIDARG);
    der::Tlv tlv;
    if (!der::ReadTlv(pbEncoded, 0, cbEncoded, &tlv) || tlv.End() != cbEncoded)
        return Fail(CRYPT_E_ASN1_CORRUPT);
    const bool utc = tlv.tag == 0x17;
    if ((!utc && tlv.tag != 0x18) || tlv.length != (utc ? 13u : 15u) || pbEncoded[tlv.End() - 1] != 'Z')
        return Fail(CRYPT_E_ASN1_BADTAG);
    const BYTE* text = pbEncoded + tlv.content;
    unsigned fields[7] = {};
    const size_t digits = tlv.length - 1;
    for (size_t i = 0; i < digits; ++i)
        if (text[i] < '0' || text[i] > '9')
            return Fail(CRYPT_E_ASN1_CORRUPT);
    auto two = [&](size_t at) { return unsigned(text[at] - '0') * 10 + unsigned(text[at + 1] - '0'); };
    size_t at = 0;
    if (utc) {
        const unsigned yy = two(0);
        fields[0] = yy < 50 ? 2000 + yy : 1900 + yy;
        at = 2;
    } else {
        fields[0] = two(0) * 100 + two(2);
        at = 4;
    }
    for (size_t f = 1; f < 6; ++f, at += 2)
        fields[f] = two(at);
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(fields[0]);
    t.wMonth = static_cast<WORD>(fields[1]);
    t.wDay = static_cast<WORD>(fields[2]);
    t.wHour = static_cast<WORD>(fields[3]);
    t.wMinute = static_cast<WORD>(fields[4]);
    t.wSecond = static_cast<WORD>(fields[5]);
    FILETIME when{};
    if (!SystemTimeToFileTime(&t, &when))
        return Fail(CRYPT_E_ASN1_CORRUPT);
    return CopyOut(pvStructInfo, pcbStructInfo, reinterpret_cast<const BYTE*>(&when), sizeof when);
}

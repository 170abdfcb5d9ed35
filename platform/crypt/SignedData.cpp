// CMS SignedData with GOST signers: parsing in place, the CAdES-BES signed
// attributes, signing through the provider (CryptSignHash, whose reversed
// byte order is turned back into the form the peers write) and checking a
// signer with a public key (CryptVerifySignature).
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "crypt/SignedData.h"

#include "crypt/CryptInternal.h"
#include "internal/CryptHandles.h"
#include "internal/OpenSslHandles.h"

#include <winbase.h>

#include <openssl/cms.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace trumik::crypt::signeddata {

namespace {

using der::Append;
using der::AppendTlv;
using der::Children;
using der::EncodeOid;
using der::OidText;
using der::Raw;
using der::ReadTlv;
using der::Wrap;
using platform::UniqueHash;
using platform::UniqueKey;
using platform::UniqueProv;

constexpr GostFamily kFamilies[] = {
    {szOID_CP_GOST_R3410EL, szOID_CP_GOST_R3411, szOID_CP_GOST_R3411_R3410EL, CALG_GR3411},
    {szOID_CP_GOST_R3410_12_256, szOID_CP_GOST_R3411_12_256, szOID_CP_GOST_R3411_12_256_R3410,
     CALG_GR3411_2012_256},
    {szOID_CP_GOST_R3410_12_512, szOID_CP_GOST_R3411_12_512, szOID_CP_GOST_R3411_12_512_R3410,
     CALG_GR3411_2012_512},
};

constexpr BYTE kSequence = 0x30;
constexpr BYTE kSet = 0x31;
constexpr BYTE kInteger = 0x02;
constexpr BYTE kOctetString = 0x04;
constexpr BYTE kOid = 0x06;
constexpr BYTE kContext0 = 0xA0;
constexpr BYTE kContext1 = 0xA1;

std::string OidOf(const BYTE* data, const Tlv& tlv)
{
    return tlv.tag == kOid ? OidText(data + tlv.content, tlv.length) : std::string();
}

// The OID of an AlgorithmIdentifier { OID, parameters OPTIONAL }; empty for
// anything else.
std::string AlgorithmOid(const BYTE* data, const Tlv& algorithm)
{
    std::vector<Tlv> parts;
    if (algorithm.tag != kSequence || !Children(data, algorithm, &parts) || parts.empty() || parts.size() > 2)
        return {};
    return OidOf(data, parts[0]);
}

// The OID of a signer's digest or signature algorithm: the GOST ones take no
// parameters, so they are absent or NULL.
std::string PlainAlgorithmOid(const BYTE* data, const Tlv& algorithm)
{
    std::vector<Tlv> parts;
    if (!Children(data, algorithm, &parts) ||
        (parts.size() == 2 && (parts[1].tag != 0x05 || parts[1].length)))
        return {};
    return AlgorithmOid(data, algorithm);
}

// A signer's version: 1 with issuerAndSerialNumber, 3 with a key identifier.
bool VersionFits(const BYTE* data, const Tlv& version, bool byKeyId)
{
    return version.length == 1 && data[version.content] == (byKeyId ? 3 : 1);
}

bool ParseAttributes(const BYTE* data, const Tlv& set, std::vector<Attribute>* out)
{
    std::vector<Tlv> items;
    if (!Children(data, set, &items))
        return false;
    for (const Tlv& item : items) {
        std::vector<Tlv> parts;
        if (item.tag != kSequence || !Children(data, item, &parts) || parts.size() != 2 ||
            parts[1].tag != kSet)
            return false;
        Attribute attribute;
        attribute.oid = OidOf(data, parts[0]);
        if (attribute.oid.empty() || !Children(data, parts[1], &attribute.values))
            return false;
        out->push_back(std::move(attribute));
    }
    return true;
}

bool ParseSigner(const BYTE* data, const Tlv& whole, Signer* out)
{
    std::vector<Tlv> parts;
    if (whole.tag != kSequence || !Children(data, whole, &parts) || parts.size() < 5 ||
        parts[0].tag != kInteger)
        return false;
    out->whole = whole;
    size_t i = 1;
    if (parts[i].tag == kSequence) {
        std::vector<Tlv> id;
        if (!Children(data, parts[i], &id) || id.size() != 2 || id[1].tag != kInteger)
            return false;
        out->issuer = id[0];
        out->serial = id[1];
    } else if (parts[i].tag == 0x80) {
        out->byKeyId = true;
        out->keyId = parts[i];
    } else {
        return false;
    }
    if (!VersionFits(data, parts[0], out->byKeyId))
        return false;
    out->digestOid = PlainAlgorithmOid(data, parts[++i]);
    if (out->digestOid.empty())
        return false;
    if (parts[++i].tag == kContext0) {
        out->hasSignedAttrs = true;
        out->signedAttrs = parts[i];
        if (!ParseAttributes(data, parts[i], &out->attrs))
            return false;
        ++i;
    }
    if (i + 1 >= parts.size() || parts[i + 1].tag != kOctetString)
        return false;
    out->signatureOid = PlainAlgorithmOid(data, parts[i]);
    out->signature = parts[i + 1];
    return !out->signatureOid.empty();
}

DWORD ParseDer(Message* m)
{
    const BYTE* data = m->bytes.data();
    const size_t size = m->bytes.size();
    Tlv info;
    if (!ReadTlv(data, 0, size, &info) || info.tag != kSequence)
        return DerErrorCode(data, size);
    if (info.End() != size)
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    std::vector<Tlv> top;
    if (!Children(data, info, &top) || top.empty() || top[0].tag != kOid)
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    if (OidOf(data, top[0]) != szOID_RSA_signedData)
        return static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE);
    std::vector<Tlv> explicitTag;
    if (top.size() != 2 || top[1].tag != kContext0 || !Children(data, top[1], &explicitTag) ||
        explicitTag.size() != 1 || explicitTag[0].tag != kSequence)
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    m->signedData = explicitTag[0];
    std::vector<Tlv> parts;
    if (!Children(data, m->signedData, &parts) || parts.size() < 4 || parts[0].tag != kInteger ||
        parts[1].tag != kSet || parts[2].tag != kSequence || parts.back().tag != kSet)
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    if (!Children(data, parts[1], &m->digestAlgorithms))
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    m->encapContentInfo = parts[2];
    std::vector<Tlv> encap;
    if (!Children(data, parts[2], &encap) || encap.empty() || encap.size() > 2)
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    m->contentType = OidOf(data, encap[0]);
    if (m->contentType.empty())
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    if (encap.size() == 2) {
        std::vector<Tlv> octets;
        if (encap[1].tag != kContext0 || !Children(data, encap[1], &octets) || octets.size() != 1 ||
            octets[0].tag != kOctetString)
            return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        m->hasContent = true;
        m->content = octets[0];
    }
    for (size_t i = 3; i + 1 < parts.size(); ++i) {
        if (parts[i].tag == kContext0 && m->certificates.empty()) {
            if (!Children(data, parts[i], &m->certificates))
                return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        } else if (parts[i].tag == kContext1 && !m->hasCrls) {
            m->hasCrls = true;
            m->crls = parts[i];
        } else {
            return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        }
    }
    std::vector<Tlv> signers;
    if (!Children(data, parts.back(), &signers))
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    for (const Tlv& s : signers) {
        Signer signer;
        if (!ParseSigner(data, s, &signer))
            return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
        m->signers.push_back(std::move(signer));
    }
    return 0;
}

// BER (indefinite lengths, content in pieces) brought to DER by OpenSSL's
// CMS code; empty when it is not a CMS message either.
Bytes ToDer(const Bytes& bytes)
{
    const unsigned char* p = bytes.data();
    platform::UniqueCms cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(bytes.size())));
    Bytes out;
    if (cms && p == bytes.data() + bytes.size()) {
        unsigned char* der = nullptr;
        const int length = i2d_CMS_ContentInfo(cms.get(), &der);
        if (length > 0)
            out.assign(der, der + length);
        OPENSSL_free(der);
    }
    ERR_clear_error();
    return out;
}

// The parts of a certificate that a SignerInfo names or uses.
struct CertParts {
    Tlv serial, issuer, keyAlgorithm, subjectKeyId;
    bool hasKeyId = false;
};

bool ParseCert(const BYTE* cert, size_t size, CertParts* out)
{
    Tlv whole, tbs;
    std::vector<Tlv> fields;
    if (!ReadTlv(cert, 0, size, &whole) || whole.tag != kSequence ||
        !ReadTlv(cert, whole.content, whole.End(), &tbs) || tbs.tag != kSequence ||
        !Children(cert, tbs, &fields))
        return false;
    size_t i = !fields.empty() && fields[0].tag == kContext0 ? 1 : 0;
    if (fields.size() < i + 6 || fields[i].tag != kInteger || fields[i + 2].tag != kSequence ||
        fields[i + 5].tag != kSequence)
        return false;
    out->serial = fields[i];
    out->issuer = fields[i + 2];
    Tlv algorithm;
    if (!ReadTlv(cert, fields[i + 5].content, fields[i + 5].End(), &algorithm))
        return false;
    out->keyAlgorithm = algorithm;
    // The subject key identifier, from the extensions ([3]).
    for (size_t f = i + 6; f < fields.size(); ++f) {
        std::vector<Tlv> wrapper, extensions;
        if (fields[f].tag != 0xA3 || !Children(cert, fields[f], &wrapper) || wrapper.size() != 1 ||
            !Children(cert, wrapper[0], &extensions))
            continue;
        for (const Tlv& extension : extensions) {
            std::vector<Tlv> e;
            if (!Children(cert, extension, &e) || e.size() < 2 || OidOf(cert, e[0]) != "2.5.29.14")
                continue;
            Tlv keyId;
            if (e.back().tag == kOctetString && ReadTlv(cert, e.back().content, e.back().End(), &keyId) &&
                keyId.tag == kOctetString) {
                out->subjectKeyId = keyId;
                out->hasKeyId = true;
            }
        }
    }
    return true;
}

bool SameBytes(const BYTE* a, const Tlv& ta, const BYTE* b, const Tlv& tb)
{
    return ta.Size() == tb.Size() && std::memcmp(a + ta.start, b + tb.start, ta.Size()) == 0;
}

// A digest with the provider's hash of the family, on a verify-only context.
DWORD Digest(HCRYPTPROV provider, ALG_ID algorithm, const BYTE* data, size_t size, Bytes* out)
{
    UniqueProv own;
    if (!provider) {
        if (!CryptAcquireContextW(own.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
            return GetLastError();
        provider = own.get();
    }
    UniqueHash hash;
    if (!CryptCreateHash(provider, algorithm, 0, 0, hash.put()))
        return GetLastError();
    while (size > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        if (!CryptHashData(hash.get(), data, piece, 0))
            return GetLastError();
        data += piece;
        size -= piece;
    }
    DWORD length = 0;
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, nullptr, &length, 0))
        return GetLastError();
    out->resize(length);
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, out->data(), &length, 0))
        return GetLastError();
    out->resize(length);
    return 0;
}

// signingTime: UTCTime for the years 1950 to 2049, GeneralizedTime after.
Bytes SigningTimeNow()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    SYSTEMTIME t{};
    FileTimeToSystemTime(&now, &t);
    char text[20];
    const bool utc = t.wYear >= 1950 && t.wYear < 2050;
    const int n = utc ? std::snprintf(text, sizeof text, "%02u%02u%02u%02u%02u%02uZ", unsigned(t.wYear % 100),
                                      unsigned(t.wMonth), unsigned(t.wDay), unsigned(t.wHour),
                                      unsigned(t.wMinute), unsigned(t.wSecond))
                      : std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02uZ", unsigned(t.wYear),
                                      unsigned(t.wMonth), unsigned(t.wDay), unsigned(t.wHour),
                                      unsigned(t.wMinute), unsigned(t.wSecond));
    Bytes value;
    AppendTlv(value, utc ? 0x17 : 0x18, reinterpret_cast<const BYTE*>(text), static_cast<size_t>(n));
    return value;
}

Bytes MakeAttribute(const char* oid, const Bytes& value)
{
    Bytes content = EncodeOid(oid);
    Append(content, Wrap(kSet, value));
    return Wrap(kSequence, content);
}

} // namespace

const GostFamily* FamilyByKey(const std::string& keyOid)
{
    for (const GostFamily& f : kFamilies)
        if (keyOid == f.keyOid)
            return &f;
    return nullptr;
}

const GostFamily* FamilyByDigest(const std::string& digestOid)
{
    for (const GostFamily& f : kFamilies)
        if (digestOid == f.digestOid)
            return &f;
    return nullptr;
}

DWORD Parse(Bytes bytes, Message* out)
{
    *out = Message{};
    out->bytes = std::move(bytes);
    DWORD rc = ParseDer(out);
    if (rc == 0 || rc == static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE))
        return rc;
    Bytes der = ToDer(out->bytes);
    if (der.empty())
        return rc;
    *out = Message{};
    out->bytes = std::move(der);
    return ParseDer(out);
}

const Tlv* AttributeValue(const Signer& signer, const char* oid)
{
    for (const Attribute& a : signer.attrs)
        if (a.oid == oid)
            return a.values.size() == 1 ? &a.values[0] : nullptr;
    return nullptr;
}

Bytes AlgorithmWithNull(const char* oid)
{
    Bytes content = EncodeOid(oid);
    content.push_back(0x05);
    content.push_back(0x00);
    return Wrap(kSequence, content);
}

Bytes EncapData(const BYTE* content, size_t size, bool detached)
{
    Bytes encap = EncodeOid(szOID_RSA_data);
    if (!detached) {
        Bytes octets;
        AppendTlv(octets, kOctetString, content, size);
        AppendTlv(encap, kContext0, octets);
    }
    return Wrap(kSequence, encap);
}

Bytes Assemble(const std::vector<Bytes>& digestAlgorithms, const Bytes& encapContentInfo,
               const std::vector<Bytes>& certificates, const Bytes& crls, const std::vector<Bytes>& signers)
{
    Bytes algorithms, certs, infos;
    for (const Bytes& a : digestAlgorithms)
        Append(algorithms, a);
    for (const Bytes& c : certificates)
        Append(certs, c);
    for (const Bytes& s : signers)
        Append(infos, s);
    // Version 1: data content, issuer-and-serial signers, no other certificate kinds.
    Bytes signedData{kInteger, 1, 1};
    AppendTlv(signedData, kSet, algorithms);
    Append(signedData, encapContentInfo);
    if (!certificates.empty())
        AppendTlv(signedData, kContext0, certs);
    Append(signedData, crls);
    AppendTlv(signedData, kSet, infos);
    Bytes info = EncodeOid(szOID_RSA_signedData);
    AppendTlv(info, kContext0, Wrap(kSequence, signedData));
    return Wrap(kSequence, info);
}

const GostFamily* CertificateFamily(const BYTE* cert, size_t size)
{
    CertParts parts;
    if (!ParseCert(cert, size, &parts))
        return nullptr;
    return FamilyByKey(AlgorithmOid(cert, parts.keyAlgorithm));
}

bool CertificateMatches(const Message& message, const Signer& signer, const BYTE* cert, size_t size)
{
    CertParts parts;
    if (!ParseCert(cert, size, &parts))
        return false;
    const BYTE* data = message.bytes.data();
    if (signer.byKeyId)
        return parts.hasKeyId && parts.subjectKeyId.length == signer.keyId.length &&
               std::memcmp(cert + parts.subjectKeyId.content, data + signer.keyId.content,
                           signer.keyId.length) == 0;
    return SameBytes(cert, parts.issuer, data, signer.issuer) &&
           SameBytes(cert, parts.serial, data, signer.serial);
}

DWORD MakeSignerInfo(const SignerRequest& request, Bytes* out)
{
    CertParts cert;
    if (!request.family || !ParseCert(request.cert, request.certSize, &cert))
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    const GostFamily& family = *request.family;
    const BYTE* c = request.cert;

    Bytes certHash;
    if (DWORD rc = Digest(request.provider, family.hash, c, request.certSize, &certHash))
        return rc;
    // ESSCertIDv2 { hashAlgorithm, certHash, issuerSerial { [4] issuer, serial } }
    Bytes issuerSerial = Wrap(kSequence, Wrap(0xA4, Raw(c, cert.issuer)));
    Append(issuerSerial, Raw(c, cert.serial));
    Bytes certId = AlgorithmWithNull(family.digestOid);
    AppendTlv(certId, kOctetString, certHash);
    Append(certId, Wrap(kSequence, issuerSerial));
    const Bytes signingCertificate = Wrap(kSequence, Wrap(kSequence, Wrap(kSequence, certId)));

    Bytes digestValue;
    AppendTlv(digestValue, kOctetString, request.contentDigest);
    std::vector<Bytes> attributes = {
        MakeAttribute(szOID_RSA_contentType, EncodeOid(request.contentType.c_str())),
        MakeAttribute(szOID_RSA_signingTime, SigningTimeNow()),
        MakeAttribute(szOID_RSA_messageDigest, digestValue),
        MakeAttribute(szOID_SIGNING_CERTIFICATE_V2, signingCertificate),
    };
    for (const Bytes& extra : request.extraAttributes)
        attributes.push_back(extra);
    // A SET OF in DER is in the order of its elements' encodings; verifiers
    // that encode the attributes again get the same bytes.
    std::sort(attributes.begin(), attributes.end());
    Bytes attrs;
    for (const Bytes& a : attributes)
        Append(attrs, a);
    const Bytes toSign = Wrap(kSet, attrs);

    UniqueHash hash;
    if (!CryptCreateHash(request.provider, family.hash, 0, 0, hash.put()) ||
        !CryptHashData(hash.get(), toSign.data(), static_cast<DWORD>(toSign.size()), 0))
        return GetLastError();
    DWORD length = 0;
    if (!CryptSignHashW(hash.get(), request.keySpec, nullptr, 0, nullptr, &length))
        return GetLastError();
    Bytes signature(length);
    if (!CryptSignHashW(hash.get(), request.keySpec, nullptr, 0, signature.data(), &length))
        return GetLastError();
    signature.resize(length);
    std::reverse(signature.begin(), signature.end());

    Bytes info{kInteger, 1, 1};
    Bytes sid = Raw(c, cert.issuer);
    Append(sid, Raw(c, cert.serial));
    AppendTlv(info, kSequence, sid);
    Append(info, AlgorithmWithNull(family.digestOid));
    AppendTlv(info, kContext0, attrs);
    Append(info, AlgorithmWithNull(family.keyOid));
    AppendTlv(info, kOctetString, signature);
    *out = Wrap(kSequence, info);
    return 0;
}

DWORD VerifySigner(const Message& message, const Signer& signer, const CERT_PUBLIC_KEY_INFO& key,
                   const Bytes& contentDigest)
{
    const GostFamily* family = FamilyByDigest(signer.digestOid);
    if (!family)
        return static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
    if (signer.signatureOid != family->keyOid && signer.signatureOid != family->signatureOid)
        return static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
    if (!key.Algorithm.pszObjId || FamilyByKey(key.Algorithm.pszObjId) != family)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    const BYTE* data = message.bytes.data();

    UniqueProv provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
        return GetLastError();
    UniqueHash hash;
    if (!CryptCreateHash(provider.get(), family->hash, 0, 0, hash.put()))
        return GetLastError();
    if (signer.hasSignedAttrs) {
        const Tlv* digest = AttributeValue(signer, szOID_RSA_messageDigest);
        const Tlv* type = AttributeValue(signer, szOID_RSA_contentType);
        if (!digest || digest->tag != kOctetString || !type || OidOf(data, *type) != message.contentType)
            return static_cast<DWORD>(CRYPT_E_AUTH_ATTR_MISSING);
        if (digest->length != contentDigest.size() ||
            std::memcmp(data + digest->content, contentDigest.data(), digest->length) != 0)
            return static_cast<DWORD>(CRYPT_E_HASH_VALUE);
        // The signature covers the attributes with the tag of a SET.
        Bytes attrs = Raw(data, signer.signedAttrs);
        attrs[0] = kSet;
        if (!CryptHashData(hash.get(), attrs.data(), static_cast<DWORD>(attrs.size()), 0))
            return GetLastError();
    } else if (!CryptSetHashParam(hash.get(), HP_HASHVAL, contentDigest.data(), 0)) {
        return GetLastError();
    }
    UniqueKey publicKey;
    CERT_PUBLIC_KEY_INFO info = key;
    if (!CryptImportPublicKeyInfo(provider.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &info,
                                  publicKey.put()))
        return GetLastError();
    Bytes signature(data + signer.signature.content, data + signer.signature.End());
    std::reverse(signature.begin(), signature.end());
    if (!CryptVerifySignatureW(hash.get(), signature.data(), static_cast<DWORD>(signature.size()),
                               publicKey.get(), nullptr, 0))
        return GetLastError();
    return 0;
}

DWORD CheckSigningCertificate(const Message& message, const Signer& signer, const BYTE* cert, size_t size)
{
    const Tlv* value = AttributeValue(signer, szOID_SIGNING_CERTIFICATE_V2);
    if (!value)
        return 0;
    // SigningCertificateV2 { certs SEQUENCE OF ESSCertIDv2 { hashAlgorithm, certHash, ... } }: the first
    // names the signer's certificate.
    const BYTE* data = message.bytes.data();
    std::vector<Tlv> outer, certs, id;
    if (value->tag != kSequence || !Children(data, *value, &outer) || outer.empty() ||
        outer[0].tag != kSequence || !Children(data, outer[0], &certs) || certs.empty() ||
        !Children(data, certs[0], &id) || id.empty())
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    // The hash algorithm defaults to SHA-256, which no GOST signer uses.
    size_t at = 0;
    const GostFamily* family = nullptr;
    if (id[0].tag == kSequence) {
        family = FamilyByDigest(AlgorithmOid(data, id[0]));
        ++at;
    }
    if (!family)
        return static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO);
    if (at >= id.size() || id[at].tag != kOctetString)
        return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
    Bytes digest;
    if (DWORD rc = Digest(0, family->hash, cert, size, &digest))
        return rc;
    if (digest.size() != id[at].length ||
        std::memcmp(digest.data(), data + id[at].content, digest.size()) != 0)
        return static_cast<DWORD>(CRYPT_E_HASH_VALUE);
    return 0;
}

DWORD ContentDigest(HCRYPTPROV provider, ALG_ID algorithm, const BYTE* data, size_t size, Bytes* out)
{
    return Digest(provider, algorithm, data, size, out);
}

} // namespace trumik::crypt::signeddata

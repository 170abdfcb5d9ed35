// CMS SignedData (RFC 5652) with GOST signers, read and written as DER in
// place: a parsed message keeps its bytes and the position of every part,
// so a signer added later leaves the others' bytes as they were. The
// message calls of SignedMessages.cpp are built on this.
#pragma once

#include "crypt/Der.h"
#include "wincrypt.h"

#include <string>
#include <vector>

namespace trumik::crypt::signeddata {

using der::Bytes;
using der::Tlv;

// A GOST algorithm family: the public key, digest and signature identifiers
// that belong together, and the provider's hash of that digest.
struct GostFamily {
    const char* keyOid;
    const char* digestOid;
    const char* signatureOid; // signature-with-digest
    ALG_ID hash;
};
const GostFamily* FamilyByKey(const std::string& keyOid);
const GostFamily* FamilyByDigest(const std::string& digestOid);

struct Attribute {
    std::string oid;
    std::vector<Tlv> values;
};

struct Signer {
    Tlv whole;
    // issuerAndSerialNumber (version 1): the issuer Name's TLV and the
    // serial's content; or subjectKeyIdentifier (version 3): its content.
    Tlv issuer;
    Tlv serial;
    Tlv keyId;
    bool byKeyId = false;
    std::string digestOid;
    bool hasSignedAttrs = false;
    Tlv signedAttrs; // the [0] element
    std::vector<Attribute> attrs;
    std::string signatureOid;
    Tlv signature; // content of the OCTET STRING
};

struct Message {
    Bytes bytes; // the whole DER message
    Tlv signedData;
    std::vector<Tlv> digestAlgorithms; // elements of the SET
    Tlv encapContentInfo;
    std::string contentType;
    bool hasContent = false;
    Tlv content; // the eContent OCTET STRING's content
    std::vector<Tlv> certificates;
    bool hasCrls = false;
    Tlv crls; // the [1] element
    std::vector<Signer> signers;
    const BYTE* At(const Tlv& t) const { return bytes.data() + t.content; }
};

// Parses a SignedData ContentInfo in DER; messages in BER (indefinite
// lengths, content in pieces) are first brought to DER. Returns 0, or
// CRYPT_E_ASN1_BADTAG / CRYPT_E_ASN1_EOD / CRYPT_E_ASN1_CORRUPT for bytes
// that are not such a message, CRYPT_E_INVALID_MSG_TYPE for another type.
DWORD Parse(Bytes bytes, Message* out);

// The value of a signer's attribute (its only value), or null.
const Tlv* AttributeValue(const Signer& signer, const char* oid);

// The DER ContentInfo with these parts (each a whole TLV, kept as given).
Bytes Assemble(const std::vector<Bytes>& digestAlgorithms, const Bytes& encapContentInfo,
               const std::vector<Bytes>& certificates, const Bytes& crls, const std::vector<Bytes>& signers);

// EncapsulatedContentInfo of data: with the content, or without (detached).
Bytes EncapData(const BYTE* content, size_t size, bool detached);

// AlgorithmIdentifier { oid, NULL }, as the peers write GOST identifiers.
Bytes AlgorithmWithNull(const char* oid);

// What a new SignerInfo is made of: the signer's certificate (DER), its
// provider context and key, the content's digest and the caller's extra
// signed attributes.
struct SignerRequest {
    const BYTE* cert = nullptr;
    size_t certSize = 0;
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    const GostFamily* family = nullptr;
    Bytes contentDigest;
    std::string contentType = szOID_RSA_data;
    std::vector<Bytes> extraAttributes; // whole Attribute TLVs
};
// The DER SignerInfo, signed through CryptSignHash; 0 or the error.
DWORD MakeSignerInfo(const SignerRequest& request, Bytes* out);

// Checks that the certificate (DER) is the one the signer's
// signingCertificateV2 attribute names by its hash: 0 when it is, or when
// the attribute is absent; CRYPT_E_HASH_VALUE when another certificate;
// CRYPT_E_UNKNOWN_ALGO for a hash that is not a GOST digest.
DWORD CheckSigningCertificate(const Message& message, const Signer& signer, const BYTE* cert, size_t size);

// The digest of content with the provider's hash (on a verify-only context
// when provider is 0); 0 or the error.
DWORD ContentDigest(HCRYPTPROV provider, ALG_ID algorithm, const BYTE* data, size_t size, Bytes* out);

// The family of a certificate's public key; null for other keys.
const GostFamily* CertificateFamily(const BYTE* cert, size_t size);

// Whether a certificate (DER) is the one a signer names.
bool CertificateMatches(const Message& message, const Signer& signer, const BYTE* cert, size_t size);

// Checks a signer's signature with a public key, given the content's digest
// under the signer's digest algorithm: returns 0, or CRYPT_E_HASH_VALUE (the
// messageDigest attribute differs), CRYPT_E_AUTH_ATTR_MISSING,
// NTE_BAD_SIGNATURE, CRYPT_E_UNKNOWN_ALGO, NTE_BAD_ALGID or the provider's error.
DWORD VerifySigner(const Message& message, const Signer& signer, const CERT_PUBLIC_KEY_INFO& key,
                   const Bytes& contentDigest);

} // namespace trumik::crypt::signeddata

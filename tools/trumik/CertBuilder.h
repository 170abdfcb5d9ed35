// X.509 v3 certificates for GOST R 34.10-2001 and 2012 keys, and the key and
// name formats the certificate commands read, on OpenSSL with the GOST engine.
#pragma once

#include "AdminSupport.h"
#include "csp/CspInternal.h"
#include "internal/OpenSslHandles.h"

#include <openssl/evp.h>

#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace trumik::host {

using UniquePkey = trumik::platform::UniqueEvpPkey;

struct CertificateRequest {
    std::string subject; // "CN=Name, O=Org" or "/CN=Name/O=Org"
    std::optional<unsigned>
        keyUsage; // the key usage bits (CERT_*_KEY_USAGE); nullopt leaves the extension out
    time_t notBefore = 0, notAfter = 0;
    EVP_PKEY* subjectKey = nullptr;   // its public key goes into the certificate
    EVP_PKEY* signingKey = nullptr;   // the issuer's private key (the subject's own when self-signed)
    const Bytes* issuerDer = nullptr; // the issuer's certificate; null when self-signed
    // Set when the signing key is elsewhere (on a token): signs the digest of
    // the certificate, giving s || r as the engine does. signingKey is then a
    // key of the same kind that only names the algorithm.
    std::function<std::optional<Bytes>(const Bytes& digest)> signDigest;
};

// A signed certificate (DER), signed as the signing key's kind signs:
// GOST R 34.11-94 / 34.10-2001, or GOST R 34.11-2012 / 34.10-2012 with 256 or
// 512 bits; nullopt with *error set when the request cannot be met.
std::optional<Bytes> MakeCertificate(const CertificateRequest& request, std::string* error);

// Checks a distinguished name text; false with *error set when it is malformed.
bool CheckDistinguishedName(const std::string& text, std::string* error);
// "digitalSignature,nonRepudiation,..." to key usage bits; nullopt for an unknown name.
std::optional<unsigned> ParseKeyUsage(const std::string& list, std::string* error);
// The key usage bits by name, in order (for printing).
std::string KeyUsageNames(unsigned bits);
// "YYYY-MM-DD[THH:MM[:SS]][Z]" as UTC.
std::optional<time_t> ParseIsoTime(const std::string& text);

// A private key from PEM ("PRIVATE KEY" and the legacy forms OpenSSL reads)
// or PKCS #8 DER; null when it is neither.
UniquePkey ReadPrivateKey(const Bytes& file, std::string* error);
// A new GOST key of a kind (2001 and 2012-256 with the CryptoPro A
// parameters, 2012-512 with TC26 512 A).
UniquePkey NewGostKey(trumik::csp::GostKind kind = trumik::csp::GostKind::R2001);
// A GOST R 34.10-2001 or 2012 key.
bool IsGostKey(EVP_PKEY* key);
// "gost2001", "gost2012-256", "gost2012-512" to a kind; None for another name.
trumik::csp::GostKind ParseAlgorithm(const std::string& name);
// The name of a kind for messages: "GOST R 34.10-2001", "GOST R 34.10-2012 (256 bits)", ...
std::string AlgorithmTitle(trumik::csp::GostKind kind);
// PKCS #8 DER of a private key.
std::optional<Bytes> PrivateKeyDer(EVP_PKEY* key);
// True when the certificate (DER) carries this key's public key.
bool CertificateHoldsKey(const Bytes& certDer, EVP_PKEY* key);
// DER in PEM armour with the given label.
std::string DerToPem(const Bytes& der, const char* label);

} // namespace trumik::host

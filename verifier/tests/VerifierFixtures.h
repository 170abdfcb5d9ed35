// Certificates, CRLs and signed documents for the verifier tests, made at
// test time with the openssl and xmlsec1 command lines and the OpenSSL API.
#pragma once

#include <oleauto.h>

#include <filesystem>
#include <string>

namespace trumik::verifiertest {

namespace fs = std::filesystem;

struct Fixtures {
    fs::path dir;
    // GOST R 34.10-2001 self-signed, digital signature + non-repudiation, 30 days.
    fs::path gostDer, gostPem, gostKey;
    // GOST subject key signed by an RSA issuer.
    fs::path gostKeyRsaSignedDer;
    // RSA self-signed with both usages; its key for xmlsec1 signing.
    fs::path rsaDer, rsaPem, rsaKey;
    // PKCS #7 holding the RSA certificate first, then the GOST one.
    fs::path pkcs7Der;
    // An empty serialised store; random bytes.
    fs::path emptyStore, randomBytes;
    // A CA, its CRL in the user's CA store, revoked certificates by reason,
    // an unrevoked one, and one from an issuer without any CRL.
    fs::path goodDer, keyCompromiseDer, supersededDer, holdDer, unspecifiedDer, noCrlDer;
};

const Fixtures& GetFixtures();

// A certificate made in process (EC key, ECDSA signature) with the given
// validity (ASN.1 GeneralizedTime "YYYYMMDDHHMMSSZ") and key usage bits
// (0 = no extension).
fs::path MakeTimedCert(const std::string& name, const std::string& notBefore, const std::string& notAfter,
                       unsigned keyUsage);

std::string Sh(const std::string& command);
std::u16string U16(const std::string& utf8);
std::string Utf8(const std::u16string& text);

struct Bstr {
    BSTR p = nullptr;
    Bstr() = default;
    explicit Bstr(const std::u16string& s) : p(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    explicit Bstr(const std::string& utf8) : Bstr(U16(utf8)) {}
    explicit Bstr(const fs::path& path) : Bstr(path.string()) {}
    ~Bstr() { SysFreeString(p); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
};

// An automation date of a UTC time.
DATE Date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

} // namespace trumik::verifiertest

// Certificates, CRLs and PKCS #7 files made at test time with the openssl
// command line (RSA and GOST), and fast DER certificates made in process.
#pragma once

#include "wincrypt.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace trumik::crypttest {

using Bytes = std::vector<BYTE>;

struct Fixtures {
    std::filesystem::path dir;
    std::filesystem::path rsaDer, rsaPem, gostDer, gostPem, twoPem, pkcs7Der, pkcs7Pem, crlDer, crlPem;
    std::filesystem::path caDer, revokedDer, goodDer, usageBothDer, usageSignOnlyDer, cyrillicDer;
};

// Made once per process, in a folder of the test root.
const Fixtures& GetFixtures();

Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& data);
// Runs a shell command; fails the test when it exits non-zero.
std::string Sh(const std::string& command);

// A self-signed certificate made with the OpenSSL API (one EC key shared
// by all), distinct per serial.
Bytes MakeQuickCert(long serial, const std::string& commonName);

std::u16string U16(const std::string& utf8);
std::string Hex(const BYTE* data, size_t size);

struct CertFree {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
using UniqueCert = std::unique_ptr<const CERT_CONTEXT, CertFree>;
struct StoreClose {
    void operator()(void* s) const { CertCloseStore(s, 0); }
};
using UniqueStore = std::unique_ptr<void, StoreClose>;

} // namespace trumik::crypttest

// A GOST R 34.10-2001 key and its self-signed certificate made with the
// openssl command line, the key in a PIN-protected container of the GOST
// provider and the certificate in the current user's "My" store with the
// container as its key provider info; xmlsec started with the mscrypto
// back-end loaded by name; and the signing and verifying steps the component
// takes.
#pragma once

#include <xmlsec/mscrypto/app.h>
#include <xmlsec/mscrypto/certkeys.h>
#include <xmlsec/mscrypto/crypto.h>
#include <xmlsec/mscrypto/x509.h>

#include <libxml/tree.h>
#include <xmlsec/xmldsig.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trumik::mscryptotest {

inline constexpr char kContainer[] = "xmldsig-signer";
inline constexpr char kPin[] = "4815";
inline constexpr char kStore[] = "My";
inline constexpr char kSource[] = "<?xml version=\"1.0\"?>\n<Envelope xmlns=\"urn:mscrypto-test\"><Data "
                                  "Id=\"d1\">hello, \xD0\xBC\xD0\xB8\xD1\x80"
                                  "</Data></Envelope>";

struct Fixtures {
    std::filesystem::path dir;
    std::filesystem::path keyPem, pubPem, certPem, certDer, rsaCertDer;
    std::vector<unsigned char> certBytes;
};

// Made once per process.
const Fixtures& GetFixtures();

struct CertFree {
    void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
using UniqueCert = std::unique_ptr<const CERT_CONTEXT, CertFree>;
struct DocFree {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;
struct DSigCtxFree {
    void operator()(xmlSecDSigCtxPtr ctx) const { xmlSecDSigCtxDestroy(ctx); }
};
using DSigCtx = std::unique_ptr<xmlSecDSigCtx, DSigCtxFree>;
struct KeyFree {
    void operator()(xmlSecKeyPtr key) const { xmlSecKeyDestroy(key); }
};
using Key = std::unique_ptr<xmlSecKey, KeyFree>;
struct KeyDataFree {
    void operator()(xmlSecKeyDataPtr data) const { xmlSecKeyDataDestroy(data); }
};
using KeyData = std::unique_ptr<xmlSecKeyData, KeyDataFree>;

// The signer's certificate found in the "My" store (a context of its own).
UniqueCert FindStoreCert();

struct ErrorReport {
    std::string func, object, subject;
    int reason;
    std::string message;
};
// Reports captured since the last ClearReports.
const std::vector<ErrorReport>& Reports();
void ClearReports();
bool HasReport(const std::string& func, int reason);
std::string ReportsText();
// Installs the capturing error callback.
void CaptureReports();

// xmlsec started with the mscrypto back-end loaded by name and made active,
// error reports captured; shut down after each test.
class MSCrypto : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// Signs `source` as the store signer does: the store certificate adopted with
// its private key, the PIN set on the key data's provider when given, an
// enveloped signature (inclusive C14N, GOST R 34.10-2001 over GOST R 34.11-94,
// reference URI "") without KeyInfo. nullopt when a step fails. More than
// one reference (all the same) makes a longer SignedInfo.
std::optional<std::string> SignDocument(const std::string& source, const std::optional<std::string>& pin,
                                        int references = 1);

// Verifies the first Signature of `text` with the key of a certificate file,
// as the verifier does. The return value of xmlSecDSigCtxVerify goes to *rc.
xmlSecDSigStatus VerifyDocument(const std::string& text, const std::filesystem::path& certFile,
                                xmlSecKeyDataFormat format, int* rc = nullptr);

// The text between <Name> and </Name> (first occurrence), or "".
std::string ElementText(const std::string& text, const std::string& name);
std::string Base64Decode(const std::string& text);
std::string Base64Encode(const std::string& bytes);
// Runs a shell command, failing the test when it exits non-zero.
std::string Sh(const std::string& command);
std::string Quote(const std::filesystem::path& path);

} // namespace trumik::mscryptotest

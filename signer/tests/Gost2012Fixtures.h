// GOST R 34.10-2012 certificates in the current user's "My" store, their keys
// in containers of the providers of types 80 and 81, made at test time; a
// GOST R 34.10-2001 one beside them; and the AcceptGost2012 switch.
#pragma once

#include <filesystem>
#include <string>

namespace trumik::gost2012test {

namespace fs = std::filesystem;

struct GostCert {
    std::string thumbprint = {}; // 40 upper-case hexadecimal digits
    fs::path der = {};           // the certificate
    fs::path keyPem = {};        // its private key, PKCS #8 PEM
    fs::path publicKeyPem = {};
    std::string dgst = {};         // the openssl dgst option of its key's digest
    std::string algorithm = {};    // gost-sign-openssl.sh --algorithm
    std::string signatureUri = {}; // XML-DSig methods of its key
    std::string digestUri = {};
    size_t signatureSize = 0; // bytes
};

struct Gost2012Fixtures {
    fs::path dir;
    std::string pin = "2012";
    // Self-signed with their own keys (1.2.643.7.1.1.3.2 and .3.3), digital
    // signature, non-repudiation and key encipherment; exchange keys in
    // containers of types 80 and 81.
    GostCert k256, k512;
    // The 2012-256 key of k256 in a certificate signed by a GOST R 34.10-2001
    // issuer (1.2.643.2.2.3).
    GostCert k256By2001;
    // GOST R 34.10-2001, self-signed, in a container of type 75.
    GostCert k2001;
};

// Made once per process.
const Gost2012Fixtures& GetGost2012Fixtures();

// Sets HKEY_LOCAL_MACHINE\SOFTWARE\Trumik\Component, AcceptGost2012.
void SetAcceptGost2012(bool on);

// The switch on for a scope, off again after it.
class Gost2012On {
  public:
    Gost2012On() { SetAcceptGost2012(true); }
    ~Gost2012On() { SetAcceptGost2012(false); }
    Gost2012On(const Gost2012On&) = delete;
    Gost2012On& operator=(const Gost2012On&) = delete;
};

// The path of a script in tools/ of the source tree.
fs::path ToolScript(const std::string& name);

} // namespace trumik::gost2012test

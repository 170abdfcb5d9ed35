// C++ API over the provider's key containers for the tools (trumik container
// ..., trumik cert new/import). Names are UTF-8; a PIN is the byte string a
// caller would pass to CryptSetProvParam(PP_KEYEXCHANGE_PIN) (ANSI code page).
// Every function returning DWORD gives 0 on success or the CryptoAPI code
// (NTE_BAD_KEYSET, NTE_EXISTS, NTE_NO_KEY, SCARD_W_WRONG_CHV, ...).
#pragma once

#include "csp/CspInternal.h"

#include <string>
#include <vector>

namespace trumik::csp {

struct ContainerInfo {
    std::string name;               // as CryptAcquireContext takes it
    std::string uniqueName;         // PP_ENUMCONTAINERS with CRYPT_UNIQUE (the name itself)
    std::string fullyQualifiedName; // "\\.\HDIMAGE\<name>"
    bool hasExchangeKey = false, hasSignatureKey = false, pinProtected = false, readable = true;
};

// The containers of the user or the machine, sorted by name (the order of PP_ENUMCONTAINERS).
std::vector<ContainerInfo> ListContainers(Scope scope);
// Creates a container holding one GOST R 34.10-2001 or 2012 key (keySpec
// AT_KEYEXCHANGE or AT_SIGNATURE) from PKCS #8 DER; with a PIN the key is
// stored encrypted under it.
DWORD CreateContainer(Scope scope, const std::string& name, DWORD keySpec, const Bytes& pkcs8Der,
                      const std::optional<std::string>& pin, bool exportable);
// The private key of an exportable slot (the caller owns it); NTE_BAD_KEY_STATE
// when not exportable.
DWORD ExportPrivateKey(Scope scope, const std::string& name, DWORD keySpec,
                       const std::optional<std::string>& pin, UniqueEvpPkey* key);
// The key as PKCS #8 PEM ("PRIVATE KEY"); NTE_BAD_KEY_STATE when not exportable.
DWORD ExportPrivateKeyPem(Scope scope, const std::string& name, DWORD keySpec,
                          const std::optional<std::string>& pin, std::string* pem);
DWORD DeleteContainer(Scope scope, const std::string& name);
// The key's SubjectPublicKeyInfo DER (no PIN needed).
DWORD GetPublicKeyInfo(Scope scope, const std::string& name, DWORD keySpec, Bytes* spkiDer);
// The private key for signing with OpenSSL (the caller owns it).
DWORD LoadPrivateKey(Scope scope, const std::string& name, DWORD keySpec,
                     const std::optional<std::string>& pin, UniqueEvpPkey* key);

} // namespace trumik::csp

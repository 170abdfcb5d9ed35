// Keys on PKCS #11 tokens, for the provider and the tools: the token libraries
// recorded in the registry, their tokens and key pairs, and the operations the
// provider runs on a token (log in, sign a digest, agree a key, make a key pair,
// write a certificate). The private key's value is never asked of a token.
//
// HKEY_LOCAL_MACHINE\SOFTWARE\Trumik\Provider\Tokens holds one subkey per
// library, named 0, 1, 2 ..., whose value "Module" (REG_SZ) is the library's
// path. A key pair on a token is the container "\\.\<label>\<CKA_ID>": the
// token label without its padding blanks and the CKA_ID in lower-case hex
// (upper case is accepted on open).
#pragma once

#include "csp/CspInternal.h"

#include <optional>
#include <string>
#include <vector>

namespace trumik::csp {

inline constexpr const char16_t* kTokenModulesKey = u"SOFTWARE\\Trumik\\Provider\\Tokens";

// ---- The recorded libraries ----

// The paths recorded, in the order they were added.
std::vector<std::string> TokenModules();
// Records a library (by its absolute path) after loading it once (C_GetFunctionList, C_Initialize,
// C_GetInfo). Returns 0, ERROR_ALREADY_EXISTS when it is recorded, or
// ERROR_MOD_NOT_FOUND / ERROR_PROC_NOT_FOUND / ERROR_INVALID_FUNCTION with
// *error saying why the file is not a PKCS #11 library.
DWORD AddTokenModule(const std::string& path, std::string* error);
// Forgets a library: 0, or ERROR_FILE_NOT_FOUND when it is not recorded.
DWORD RemoveTokenModule(const std::string& path);
// Loads a library as the provider does (or finds it loaded) without
// recording it: 0 or the codes of AddTokenModule.
DWORD CheckTokenModule(const std::string& path, std::string* error);

// ---- Tokens and their key pairs ----

struct TokenKeyPair {
    std::string container; // "\\.\<label>\<id>"
    Bytes id;              // CKA_ID
    GostKind kind = GostKind::None;
    Bytes spki; // SubjectPublicKeyInfo DER, empty when neither a public key nor a certificate has it
    bool privateKeySeen = false;      // the private key object was found (private objects need a login)
    std::optional<Bytes> certificate; // DER of the certificate on the token with this key
};

struct TokenCertificate {
    Bytes id;
    Bytes der;
};

struct TokenSlot {
    std::string module;
    unsigned long slot = 0;
    bool present = false;
    bool initialised = false;
    std::string label; // blanks trimmed
    std::string model, serial;
    std::vector<TokenKeyPair> keys;
    std::vector<TokenCertificate> certificates; // every certificate on the token
};

// Every slot of every recorded library. A library that cannot be loaded
// gives a line in *problems (one per library) and no slots; with a PIN, each
// token is logged in to first, so that private objects are seen.
std::vector<TokenSlot> ListTokenSlots(std::vector<std::string>* problems,
                                      const std::optional<std::string>& pin = std::nullopt);

// ---- Containers on tokens ----

// True for a name of the form "\\.\<label>\<hex>" whose reader is not the
// provider's own; *label and *id are its parts.
bool ParseTokenContainerName(const std::string& name, std::string* label, Bytes* id);
std::string TokenContainerName(const std::string& label, const Bytes& id);
// The container names of the token keys that fit a provider type.
std::vector<std::string> TokenContainerNames(DWORD provType);
// Checks that the container is a key pair on a present token: 0 or NTE_BAD_KEYSET.
DWORD OpenTokenContainer(const std::string& name);
// The kind and SubjectPublicKeyInfo of a token container's key.
DWORD TokenPublicKey(const std::string& name, GostKind* kind, Bytes* spki);
// Logs in to the token of a container with the user PIN: exactly one C_Login.
// 0, SCARD_W_WRONG_CHV, SCARD_W_CHV_BLOCKED, NTE_BAD_KEYSET (no token).
DWORD TokenLogin(const std::string& name, const std::string& pin);
// Signs a digest with a container's private key on the token: s || r,
// big-endian, as the engine outputs. The token must be logged in to. A token
// that lists no mechanism for a bare digest but the one that hashes with
// GOST R 34.11-2012 itself signs the message instead, when it is given.
DWORD TokenSignDigest(const std::string& name, const Bytes& digest, const std::optional<Bytes>& message,
                      Bytes* signature);
// VKO GOST R 34.10-2012 on the token with the peer's public key (64 or 128
// bytes, x then y little-endian) and a UKM: the 32-byte key-encryption key
// (KDF GOST R 34.11-2012 256). NTE_BAD_ALGID when the token cannot do it.
DWORD TokenDeriveKek(const std::string& name, const Bytes& peerPublic, const Bytes& ukm, Bytes* kek);

// ---- Key pairs made by the tools ----

// Makes a key pair of a 2012 kind on the token with this label (logged in to
// with the PIN), sensitive and not extractable, with a fresh CKA_ID; gives its
// container name and SubjectPublicKeyInfo.
DWORD TokenGenerateKeyPair(const std::string& label, const std::string& pin, GostKind kind,
                           std::string* container, Bytes* spki, std::string* error);
// Writes a certificate object (CKO_CERTIFICATE, X.509) with the container's CKA_ID.
DWORD TokenWriteCertificate(const std::string& container, const Bytes& der, const std::string& label);

} // namespace trumik::csp

// Internal pieces of the GOST provider: the engine, key containers on disk,
// the PIN cache and the error helpers shared by the CryptoAPI entry points.
#pragma once

#include "internal/OpenSslHandles.h"
#include "wincrypt.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trumik::csp {

using Bytes = std::vector<uint8_t>;

using trumik::platform::UniqueEvpPkey;

// Sets the thread's last error and returns FALSE, for `return Fail(code);`.
BOOL FailWith(DWORD code);
template <typename T> BOOL Fail(T code)
{
    return FailWith(static_cast<DWORD>(code));
}

// Writes size bytes to pbData as CryptoAPI outputs do: the size alone when
// pbData is null, ERROR_MORE_DATA (and the size) when the buffer is short.
BOOL CopyOut(BYTE* pbData, DWORD* pdwDataLen, const void* data, size_t size);
BOOL CopyDword(BYTE* pbData, DWORD* pdwDataLen, DWORD value);

// ---- GOST algorithms through the OpenSSL engine "gost" ----

// The engine, loaded and registered once per process; null when it is missing.
ENGINE* GostEngine();
// GOST R 34.11-94 with the CryptoPro parameters; null without the engine.
const EVP_MD* GostR3411Digest();

// The three kinds of GOST key the provider holds.
enum class GostKind { None, R2001, R2012_256, R2012_512 };
// GOST R 34.11-94 (CALG_GR3411), R 34.11-2012 256 or 512 bits
// (CALG_GR3411_2012_256/512); null for another ALG_ID or without the engine.
const EVP_MD* GostDigest(ALG_ID hashAlg);
// The digest a key of this kind signs: its ALG_ID and size in bytes.
ALG_ID HashAlgOf(GostKind kind);
size_t DigestSizeOf(ALG_ID hashAlg);
// The size of a signature (s || r) and the key length in bits (KP_KEYLEN).
size_t SignatureSizeOf(GostKind kind);
DWORD KeyBitsOf(GostKind kind);
// The ALG_ID of a signature key (AT_SIGNATURE) or an exchange key of this kind.
ALG_ID KeyAlgOf(GostKind kind, DWORD keySpec);
// A new key: GOST R 34.10-2001 and 2012-256 with the CryptoPro A parameters,
// 2012-512 with TC26 512 A.
UniqueEvpPkey GenerateGostKey(GostKind kind = GostKind::R2001);
GostKind KindOf(EVP_PKEY* key);
// The kind named by the algorithm of a SubjectPublicKeyInfo, without decoding the key.
GostKind KindOfSpki(const Bytes& spki);
bool IsGost2001Key(EVP_PKEY* key);
bool IsGostKey(EVP_PKEY* key);
// PKCS #8 DER (PrivateKeyInfo) of a key and back.
std::optional<Bytes> PrivateKeyToPkcs8(EVP_PKEY* key);
UniqueEvpPkey PrivateKeyFromPkcs8(const Bytes& der);
// Encrypted PKCS #8 (PBES2: PBKDF2 with HMAC-SHA-256, AES-256-CBC) and back;
// decryption gives null for a wrong password.
std::optional<Bytes> EncryptPkcs8(const Bytes& pkcs8, const std::string& password);
std::optional<Bytes> DecryptPkcs8(const Bytes& encrypted, const std::string& password);
// SubjectPublicKeyInfo DER and back.
std::optional<Bytes> PublicKeyToSpki(EVP_PKEY* key);
UniqueEvpPkey PublicKeyFromSpki(const Bytes& der);
// Signs a digest (32 bytes, or 64 for a 2012-512 key) as the engine does
// (RFC 4491/7091 form, s || r); verifies likewise.
std::optional<Bytes> SignDigest(EVP_PKEY* key, const Bytes& digest);
bool VerifyDigest(EVP_PKEY* key, const Bytes& digest, const Bytes& signature);

// ---- Key containers on disk ----

enum class Scope { User, Machine };

struct StoredKey {
    bool present = false;
    bool exportable = false;
    Bytes publicKey;  // SubjectPublicKeyInfo DER
    Bytes privateKey; // PKCS #8 DER, encrypted when the container is protected
};

struct ContainerData {
    bool protectedByPin = false;
    StoredKey exchange;  // AT_KEYEXCHANGE
    StoredKey signature; // AT_SIGNATURE
    StoredKey& Slot(DWORD keySpec) { return keySpec == AT_SIGNATURE ? signature : exchange; }
    const StoredKey& Slot(DWORD keySpec) const { return keySpec == AT_SIGNATURE ? signature : exchange; }
};

// Container names are UTF-8 here; the file of a container is its name with
// unsafe bytes percent-encoded.
bool IsValidContainerName(const std::string& name);
// Reads a container: 0, NTE_BAD_KEYSET when there is none, NTE_KEYSET_ENTRY_BAD
// when its file cannot be read or parsed.
DWORD ReadContainer(Scope scope, const std::string& name, ContainerData* data);
// Writes a new container (NTE_EXISTS when present) or replaces an existing one
// (NTE_BAD_KEYSET when absent), atomically and under the scope's lock.
DWORD WriteContainer(Scope scope, const std::string& name, const ContainerData& data, bool create);
// Applies a change to a container under the lock (read, change, write back).
// The change returns 0 or an error code that is passed through unchanged.
DWORD UpdateContainer(Scope scope, const std::string& name, DWORD (*change)(ContainerData&, void*),
                      void* arg);
DWORD DeleteContainerFile(Scope scope, const std::string& name);
// Names of the scope's containers, sorted by their bytes.
std::vector<std::string> ListContainerNames(Scope scope);

// ---- Private keys in use ----

// The PIN that stands for a container now: the context's own, else the one a
// live context set for it process-wide.
std::optional<std::string> CachedPin(Scope scope, const std::string& name);
// Opens the private key of a slot: NTE_NO_KEY without it; SCARD_W_WRONG_CHV
// when the container is protected and the PIN is missing or wrong.
DWORD OpenPrivateKey(const ContainerData& data, DWORD keySpec, const std::optional<std::string>& pin,
                     UniqueEvpPkey* key);

// ---- Kinds of container ----

struct ProviderContext;

// What a kind of container does its own way. The provider's own containers
// (files under the reader HDIMAGE) are one kind; keys on a token are another,
// whose PIN check logs in to the token and whose keys sign on the token.
struct ContainerKind {
    // Checks a PIN as it is set on a context of the container
    // (PP_KEYEXCHANGE_PIN, PP_SIGNATURE_PIN): 0 when it opens the keys or the
    // container needs none, SCARD_W_WRONG_CHV when it is refused, or the error
    // of reaching the container.
    DWORD (*checkPin)(Scope scope, const std::string& name, const std::string& pin);
    // The public key in a slot (AT_KEYEXCHANGE, AT_SIGNATURE): its kind, its
    // SubjectPublicKeyInfo and whether the private key may be exported. 0, or
    // the error of reaching the container, NTE_NO_KEY, NTE_KEYSET_ENTRY_BAD.
    DWORD(*publicKey)
    (Scope scope, const std::string& name, DWORD keySpec, GostKind* kind, Bytes* spki, bool* exportable);
    // Signs a digest with the slot's private key, opened with the PIN that
    // stands for the context's container; the signature in the engine's form
    // (s || r). The message hashed comes along when it was kept (for a key
    // that can only sign a message). SCARD_W_WRONG_CHV when a PIN is needed
    // and missing or wrong.
    DWORD (*signDigest)
    (const ProviderContext& context, DWORD keySpec, const Bytes& digest, const std::optional<Bytes>& message,
     Bytes* signature);
    // True for keys that live outside the provider (generated, deleted and
    // exported elsewhere).
    bool external;
};

// The provider's own containers: a PIN is checked by opening a key with it.
extern const ContainerKind kProviderContainers;
// Key pairs on PKCS #11 tokens.
extern const ContainerKind kTokenContainers;

// ---- Provider contexts (for the keys and hashes) ----

struct ProviderContext {
    DWORD provType = PROV_GOST_2001_DH; // 75, 80 or 81: names the provider, keys are shared
    bool verifyOnly = false;
    Scope scope = Scope::User;
    std::string container; // UTF-8; empty for a verify context
    const ContainerKind* kind = &kProviderContainers;
    std::optional<std::string> pin;
    bool pinRegistered = false;
    // Enumeration state of PP_ENUMCONTAINERS.
    std::vector<std::string> enumNames;
    size_t enumNext = 0;
    bool enumStarted = false;
};

// A new handle value, unique among providers, keys and hashes of the process.
ULONG_PTR NewHandleValue();
std::shared_ptr<ProviderContext> LookupProvider(HCRYPTPROV handle);
// The PIN for a context's container: its own, else the process-wide one.
std::optional<std::string> PinFor(const ProviderContext& context);

} // namespace trumik::csp

// Platform-internal access to the provider for crypt32: its message functions
// (CryptEncryptMessage, CryptDecryptMessage) and the calls that lead from a
// certificate to a key (CryptImportPublicKeyInfo,
// CryptAcquireCertificatePrivateKey). Not Win32 names and not for the
// component: hosts and the component reach keys only through CryptoAPI.
#pragma once

#include "wincrypt.h"

#include <openssl/engine.h>
#include <openssl/evp.h>

#include <vector>

namespace trumik::csp {

// The OpenSSL engine "gost", loaded once per process; null when it is missing.
ENGINE* GostEngine();

// The private key (keySpec AT_KEYEXCHANGE or AT_SIGNATURE) in the container
// of an acquired context, opened with the PIN that stands for the container
// (the context's own, else one a live context set process-wide). The caller
// frees *key. Returns 0, or NTE_BAD_UID (no such context), NTE_NO_KEY (a
// verify-only context or an empty slot), NTE_BAD_KEYSET, SCARD_W_WRONG_CHV.
DWORD ContextPrivateKey(HCRYPTPROV hProv, DWORD keySpec, EVP_PKEY** key);

// For a key that stays outside the provider (ContextPrivateKey gives
// NTE_NOT_SUPPORTED): the 32-byte key-encryption key its holder agrees with
// a sender's ephemeral public key (x then y, little-endian, as in the
// key's BIT STRING) under the sender's UKM (VKO GOST R 34.10-2012 with the
// 256-bit GOST R 34.11-2012 hash). Returns 0, or NTE_BAD_UID, NTE_NO_KEY,
// NTE_NOT_SUPPORTED (a key the provider holds itself), NTE_BAD_ALGID (the
// key's home cannot agree keys), SCARD_W_WRONG_CHV, NTE_BAD_KEYSET.
DWORD ContextAgreeKek(HCRYPTPROV hProv, DWORD keySpec, const std::vector<BYTE>& peerPublic,
                      const std::vector<BYTE>& ukm, std::vector<BYTE>* kek);

// The provider's import of a certificate's public key (a GOST key of any of
// the three kinds) as a new key handle. Returns 0, or NTE_BAD_UID,
// ERROR_INVALID_PARAMETER (null info or key), NTE_BAD_ALGID (not a GOST key),
// NTE_BAD_PUBLIC_KEY (a key that does not decode as its kind).
DWORD ImportPublicKeyInfo(HCRYPTPROV hProv, const CERT_PUBLIC_KEY_INFO* info, HCRYPTKEY* key);

// Checks that the container of an acquired context holds a key in keySpec
// (AT_KEYEXCHANGE or AT_SIGNATURE) and, with compare, that it is the key of
// certKey (null: the certificate has none). Returns 0, or the error of
// reading the container, NTE_NO_KEY, NTE_BAD_PUBLIC_KEY.
DWORD CheckContainerKey(HCRYPTPROV hProv, DWORD keySpec, bool compare, const CERT_PUBLIC_KEY_INFO* certKey);

} // namespace trumik::csp

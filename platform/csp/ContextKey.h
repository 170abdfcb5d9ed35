// Platform-internal access to the provider for crypt32's message functions
// (CryptEncryptMessage, CryptDecryptMessage). Not a Win32 name and not for
// the component: hosts and the component reach keys only through CryptoAPI.
#pragma once

#include "wincrypt.h"

#include <openssl/engine.h>
#include <openssl/evp.h>

namespace trumik::csp {

// The OpenSSL engine "gost", loaded once per process; null when it is missing.
ENGINE* GostEngine();

// The private key (keySpec AT_KEYEXCHANGE or AT_SIGNATURE) in the container
// of an acquired context, opened with the PIN that stands for the container
// (the context's own, else one a live context set process-wide). The caller
// frees *key. Returns 0, or NTE_BAD_UID (no such context), NTE_NO_KEY (a
// verify-only context or an empty slot), NTE_BAD_KEYSET, SCARD_W_WRONG_CHV.
DWORD ContextPrivateKey(HCRYPTPROV hProv, DWORD keySpec, EVP_PKEY** key);

} // namespace trumik::csp

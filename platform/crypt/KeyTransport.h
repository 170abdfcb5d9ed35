// GOST R 34.10 key transport in an enveloped message (GostR3410-KeyTransport),
// opened by a key that stays outside the provider: the holder agrees the
// key-encryption key with the sender's ephemeral key, and the content
// encryption key is unwrapped here (CryptoPro key wrap of GOST 28147-89).
#pragma once

#include "wincrypt.h"

#include <openssl/engine.h>

#include <vector>

namespace trumik::crypt {

struct GostKeyTransport {
    std::vector<BYTE> encryptedKey; // 32 bytes
    std::vector<BYTE> mac;          // 4 bytes
    std::vector<BYTE> paramSetOid;  // DER of the GOST 28147-89 parameter set of the wrap
    std::vector<BYTE> ephemeralKey; // the sender's public key: x then y, little-endian
    std::vector<BYTE> ukm;          // 8 bytes
};

// The GOST key transports of a DER enveloped-data ContentInfo addressed to
// `ridDer` (the DER of an IssuerAndSerialNumber), in the order they come.
// Anything that does not read as such a transport is passed over.
std::vector<GostKeyTransport> GostKeyTransportsFor(const BYTE* data, size_t size,
                                                   const std::vector<BYTE>& ridDer);

// The content encryption key, unwrapped with the agreed key-encryption key
// and checked against the wrap's MAC. 0, NTE_BAD_ALGID (a parameter set
// other than CryptoPro A or TC26 Z, or the engine lacks a cipher), NTE_BAD_DATA (the
// MAC does not match: not this holder's key, or a changed message).
DWORD UnwrapCryptoPro(ENGINE* engine, const std::vector<BYTE>& kek, const GostKeyTransport& transport,
                      std::vector<BYTE>* cek);

} // namespace trumik::crypt

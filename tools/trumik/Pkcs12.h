// PKCS #12 (PFX) files with GOST keys, as OpenSSL with the GOST engine
// reads and writes them: the OpenSSL defaults (PBES2 with AES-256, an HMAC
// SHA-256 MAC) and the GOST algorithms (PBES2 with GOST 28147-89, an HMAC
// GOST R 34.11-2012 MAC).
#pragma once

#include "CertBuilder.h"

#include <optional>
#include <string>
#include <vector>

namespace trumik::host {

struct PfxContents {
    UniquePkey key;            // the private key
    Bytes keyCertificate;      // the certificate that holds its public key (DER)
    std::vector<Bytes> others; // the other certificates of the file (DER)
};

// Reads a PFX. A null password tries none and the empty one, as openssl
// does. Every failure sets a message for a person and, where CryptoAPI
// has one, a code: a file that is no PFX, a MAC that the password does not
// verify (a wrong password or a damaged file), a file without a private key,
// a key that is not GOST, a key that no certificate of the file holds.
std::optional<PfxContents> ReadPfx(const Bytes& file, const std::optional<std::string>& password,
                                   const std::string& fileName, Failure* failure);

// A PFX with the key and its certificate (and the other certificates), in
// the GOST form: key and certificates under PBES2 with GOST 28147-89, the
// MAC an HMAC with GOST R 34.11-2012 (256 bits).
std::optional<Bytes> WriteGostPfx(EVP_PKEY* key, const Bytes& certificate, const std::vector<Bytes>& others,
                                  const std::string& password, const std::string& friendlyName,
                                  Failure* failure);

} // namespace trumik::host

// Recipients for the message tests: GOST R 34.10-2001/2012 certificates made with
// the openssl command line, their keys in containers of the provider, the
// certificates in the current user's "My" store linked to the containers.
#pragma once

#include "CryptFixtures.h"

#include <optional>
#include <string>

namespace trumik::crypttest {

struct Recipient {
    std::string container; // empty when the certificate has no container
    std::optional<std::string> pin;
    std::filesystem::path certDer, certPem, keyPem; // keyPem: the key as openssl made it
    Bytes cert;
};

// Makes a key pair and certificate (CN = name) in a new folder; with a
// container name, the key goes into that container (key exchange, with the
// PIN if given) and the certificate into "My" with its key-provider
// information; without, only into "My" (no key on this machine) when inStore.
// algorithm: gost2001, gost2012_256 or gost2012_512 (as openssl genpkey names
// them); the link names provider type 75, 80 or 81 to match.
Recipient MakeRecipient(const std::string& name, const std::string& container,
                        const std::optional<std::string>& pin, bool inStore = true,
                        const std::string& algorithm = "gost2001");

// CryptEncryptMessage for one recipient with GOST 28147-89 (size pass, then
// the message); empty with the last error kept on failure.
std::optional<Bytes> EncryptFor(PCCERT_CONTEXT recipient, const Bytes& plain);
// CryptDecryptMessage against the given store (size pass, then the data).
std::optional<Bytes> DecryptWith(HCERTSTORE store, const Bytes& message,
                                 PCCERT_CONTEXT* exchangeCert = nullptr);

// The certificate context of a DER certificate in a store (found by its hash).
UniqueCert FindInStore(HCERTSTORE store, const Bytes& certDer);
UniqueStore OpenMy();

CRYPT_ENCRYPT_MESSAGE_PARA GostEncryptPara();
CRYPT_DECRYPT_MESSAGE_PARA DecryptPara(HCERTSTORE* store);

} // namespace trumik::crypttest

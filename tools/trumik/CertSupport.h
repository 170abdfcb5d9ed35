// Certificates as the cert and crl commands handle them: the link to their
// key container, their names, their files, finding them by thumbprint.
#pragma once

#include "AdminSupport.h"

#include "csp/CspInternal.h"

#include <optional>
#include <string>

namespace trumik::host {

// The key-provider information of a certificate, with the strings copied out.
struct KeyLink {
    std::string container;
    std::string provider;
    DWORD providerType = 0;
    DWORD flags = 0;
    DWORD keySpec = 0;
    bool machine() const { return (flags & CRYPT_MACHINE_KEYSET) != 0; }
};
std::optional<KeyLink> ReadKeyLink(PCCERT_CONTEXT cert);
// Links a certificate context to a container of the GOST provider of the
// key's kind: type 75 for GOST R 34.10-2001, 80 and 81 for 2012 with 256 and
// 512 bits.
bool SetKeyLink(PCCERT_CONTEXT cert, const std::string& container, bool machine, DWORD keySpec,
                trumik::csp::GostKind kind);

// A name in the X.500 form of CertNameToStr, in UTF-8.
std::string NameText(const CERT_NAME_BLOB& name);
Bytes EncodedOf(PCCERT_CONTEXT cert);
// Writes a certificate as DER, or PEM when the name ends in .pem or is "-".
bool WriteCertificate(const Bytes& der, const std::string& path);
bool EndsWithPem(const std::string& path);
// Finds a certificate by thumbprint in an open store.
UniqueCert FindByThumbprint(HCERTSTORE store, const Bytes& hash);
// "the user's store "NAME"" (or the machine's), for messages.
std::string StoreLabel(const std::string& name, bool machine);

} // namespace trumik::host

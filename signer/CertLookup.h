// Finding a certificate in a current-user system store by its SHA-1 thumbprint.
#pragma once

#include <oleauto.h>
#include <wincrypt.h>

#include "common/CryptGuards.h"

#include "common/Thumbprint.h"

#include <array>
#include <memory>
#include <string>

namespace trumik::signer {

using common::UniqueCertContext;
using common::UniqueStore;

// The thumbprint parser is shared by every store lookup of the component.
using common::ParseThumbprint;
using common::ScanHexPair;

enum class LookupResult { Found, StoreNotFound, CertNotFound };

// Parses the thumbprint, opens the store and finds the first matching
// certificate. Store and context are handed to the caller's guards.
LookupResult LookupCertificate(BSTR storeName, BSTR thumbprint, UniqueStore& store, UniqueCertContext& cert);

} // namespace trumik::signer

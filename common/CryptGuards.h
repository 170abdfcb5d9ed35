// Owners of the CryptoAPI stores and certificate contexts that an operation
// holds: whatever path leaves the operation releases them.
#pragma once

#include <oleauto.h>
#include <wincrypt.h>

#include <memory>

namespace trumik::common {

struct StoreCloser {
    void operator()(HCERTSTORE store) const { CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG); }
};
struct CertContextFreer {
    void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};
using UniqueStore = std::unique_ptr<void, StoreCloser>;
using UniqueCertContext = std::unique_ptr<const CERT_CONTEXT, CertContextFreer>;

} // namespace trumik::common

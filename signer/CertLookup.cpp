#include "CertLookup.h"

#include "common/Conversions.h"

namespace trumik::signer {

LookupResult LookupCertificate(BSTR storeName, BSTR thumbprint, UniqueStore& store, UniqueCertContext& cert)
{
    store.reset(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, storeName));
    if (!store)
        return LookupResult::StoreNotFound;
    cert = common::FindByThumbprint(store.get(), thumbprint);
    return cert ? LookupResult::Found : LookupResult::CertNotFound;
}

} // namespace trumik::signer

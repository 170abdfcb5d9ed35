#include "CertLookup.h"

#include "common/Conversions.h"

namespace trumik::signer {

LookupResult LookupCertificate(BSTR storeName, BSTR thumbprint, UniqueStore& store, UniqueCertContext& cert)
{
    std::array<BYTE, 20> hash{};
    const bool filled = ParseThumbprint(thumbprint, hash);
    store.reset(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, storeName));
    if (!store)
        return LookupResult::StoreNotFound;
    if (!filled)
        return LookupResult::CertNotFound; // an unfilled hash finds nothing
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    cert.reset(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                          CERT_FIND_SHA1_HASH, &blob, nullptr));
    return cert ? LookupResult::Found : LookupResult::CertNotFound;
}

} // namespace trumik::signer

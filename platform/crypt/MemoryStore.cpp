// Memory stores: everything lives in the process; nothing is read or written
// elsewhere. Stores opened from a blob are memory stores filled at opening.
#include "StoreInternal.h"

#include <openssl/err.h>

namespace trumik::crypt {

namespace {

void NothingToLoad(Store&) {}
std::unique_ptr<CertObject> NoneKept(const Store&, const Bytes&)
{
    return nullptr;
}
bool NothingToSaveCert(Store&, const CertObject&)
{
    return true;
}
bool NothingToSaveCrl(Store&, const CrlObject&)
{
    return true;
}
void NothingToDeleteCert(Store&, const CertObject&) {}
void NothingToDeleteCrl(Store&, const CrlObject&) {}

} // namespace

const StoreOps kMemoryStoreOps = {
    NothingToLoad,    NothingToLoad,       NoneKept,           NothingToSaveCert,
    NothingToSaveCrl, NothingToDeleteCert, NothingToDeleteCrl, false};

HCERTSTORE OpenMemoryStore(LPCSTR, DWORD, const void*)
{
    return new Store;
}

HCERTSTORE OpenBlobStore(const void* para, bool (*load)(Store*, const BYTE*, size_t), DWORD error)
{
    auto blob = static_cast<const CRYPT_DATA_BLOB*>(para);
    if (!blob || (blob->cbData && !blob->pbData)) {
        Fail(E_INVALIDARG);
        return nullptr;
    }
    auto s = std::make_unique<Store>();
    if (!load(s.get(), blob->pbData, blob->cbData)) {
        DWORD err = error ? error : GetLastError();
        ERR_clear_error();
        DestroyStore(s.release());
        SetLastError(err);
        return nullptr;
    }
    return s.release();
}

} // namespace trumik::crypt

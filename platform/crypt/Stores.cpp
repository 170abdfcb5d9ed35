// Certificate stores: opening by provider, handles and lifetime, adding,
// finding, enumerating, deleting and saving. What differs between the kinds
// of store is in their tables of operations (StoreInternal.h).
#include "StoreInternal.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstring>

namespace trumik::crypt {

namespace {

void EnsureCertsLoaded(Store& s)
{
    if (s.certsLoaded)
        return;
    s.certsLoaded = true;
    s.ops->loadCerts(s);
}

void EnsureCrlsLoaded(Store& s)
{
    if (s.crlsLoaded)
        return;
    s.crlsLoaded = true;
    s.ops->loadCrls(s);
}

// The certificate with this hash, loading just that one when the store has
// not been read whole.
CertObject* FindByHash(Store& s, const Bytes& sha1)
{
    if (CertObject* c = FindLoaded(s, sha1))
        return c;
    if (s.certsLoaded)
        return nullptr;
    return Adopt(s, s.ops->readCert(s, sha1));
}

std::u16string Fold(std::u16string s)
{
    for (char16_t& c : s) {
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c + 32);
        else if (c >= 0x0410 && c <= 0x042F)
            c = static_cast<char16_t>(c + 0x20);
        else if (c >= 0x0400 && c <= 0x040F)
            c = static_cast<char16_t>(c + 0x50);
    }
    return s;
}

bool Matches(CertObject* c, DWORD findType, const void* para)
{
    switch (findType) {
    case CERT_FIND_ANY:
        return true;
    case CERT_FIND_SHA1_HASH: {
        auto blob = static_cast<const CRYPT_HASH_BLOB*>(para);
        return blob && blob->pbData && blob->cbData == c->sha1.size() &&
               std::memcmp(blob->pbData, c->sha1.data(), c->sha1.size()) == 0;
    }
    case CERT_FIND_EXISTING: {
        auto other = static_cast<PCCERT_CONTEXT>(para);
        return other && other->cbCertEncoded == c->encoded.size() &&
               std::memcmp(other->pbCertEncoded, c->encoded.data(), c->encoded.size()) == 0;
    }
    case CERT_FIND_SUBJECT_CERT: {
        auto info = static_cast<const CERT_INFO*>(para);
        auto same = [](const CRYPT_INTEGER_BLOB& a, const CRYPT_INTEGER_BLOB& b) {
            return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
        };
        return info && same(info->Issuer, c->info.Issuer) && same(info->SerialNumber, c->info.SerialNumber);
    }
    case CERT_FIND_SUBJECT_STR_W:
    case CERT_FIND_ISSUER_STR_W:
    case CERT_FIND_SUBJECT_STR_A:
    case CERT_FIND_ISSUER_STR_A: {
        if (!para)
            return false;
        bool wide = findType == CERT_FIND_SUBJECT_STR_W || findType == CERT_FIND_ISSUER_STR_W;
        std::u16string needle = wide ? std::u16string(static_cast<const char16_t*>(para))
                                     : AnsiToUtf16(static_cast<const char*>(para));
        bool subject = findType == CERT_FIND_SUBJECT_STR_W || findType == CERT_FIND_SUBJECT_STR_A;
        const CERT_NAME_BLOB& name = subject ? c->info.Subject : c->info.Issuer;
        std::u16string hay = NameToString(name.pbData, name.cbData, CERT_X500_NAME_STR);
        return Fold(hay).find(Fold(needle)) != std::u16string::npos;
    }
    default:
        return false;
    }
}

bool KnownFindType(DWORD t)
{
    return t == CERT_FIND_ANY || t == CERT_FIND_SHA1_HASH || t == CERT_FIND_EXISTING ||
           t == CERT_FIND_SUBJECT_CERT || t == CERT_FIND_SUBJECT_STR_W || t == CERT_FIND_ISSUER_STR_W ||
           t == CERT_FIND_SUBJECT_STR_A || t == CERT_FIND_ISSUER_STR_A;
}

} // namespace

void DestroyStore(Store* s)
{
    for (CertObject* c : s->certs) {
        c->store = nullptr;
        c->inStore = false;
        if (--c->refs == 0)
            delete c;
    }
    for (CrlObject* c : s->crls) {
        c->store = nullptr;
        c->inStore = false;
        if (--c->refs == 0)
            delete c;
    }
    delete s;
}

void MaybeDestroy(Store* s)
{
    if (s->handleRefs == 0 && s->contextRefs == 0)
        DestroyStore(s);
}

CertObject* FindLoaded(Store& s, const Bytes& sha1)
{
    for (CertObject* c : s.certs)
        if (c->sha1 == sha1)
            return c;
    return nullptr;
}

CertObject* Adopt(Store& s, std::unique_ptr<CertObject> c)
{
    if (!c)
        return nullptr;
    if (CertObject* loaded = FindLoaded(s, c->sha1))
        return loaded;
    c->store = &s;
    c->inStore = true;
    c->pub.hCertStore = &s;
    s.certs.push_back(c.get());
    return c.release();
}

void RemoveFromStore(CertObject* c)
{
    Store* s = c->store;
    auto it = std::find(s->certs.begin(), s->certs.end(), c);
    if (it == s->certs.end())
        return;
    s->certs.erase(it);
    c->inStore = false;
    // The store's own reference goes; outside references keep the object.
    if (--c->refs == 0)
        delete c;
}

bool PersistCert(const CertObject& c)
{
    if (!c.store || !c.inStore)
        return true;
    return c.store->ops->saveCert(*c.store, c);
}

// Adds a parsed certificate (owned by the call) under a disposition.
BOOL AddCert(Store* s, std::unique_ptr<CertObject> fresh, DWORD disposition, PCCERT_CONTEXT* out)
{
    if (out)
        *out = nullptr;
    if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_NEWER) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    if (s->readOnly) {
        Fail(E_ACCESSDENIED);
        return FALSE;
    }
    CertObject* existing = FindByHash(*s, fresh->sha1);
    if (existing) {
        switch (disposition) {
        case CERT_STORE_ADD_NEW:
            Fail(CRYPT_E_EXISTS);
            return FALSE;
        case CERT_STORE_ADD_USE_EXISTING: {
            bool changed = false;
            for (auto& [id, v] : fresh->props)
                if (!existing->props.count(id)) {
                    existing->props[id] = v;
                    changed = true;
                }
            if (changed && !PersistCert(*existing))
                return FALSE;
            if (out)
                *out = HandOut(existing);
            return TRUE;
        }
        case CERT_STORE_ADD_NEWER:
            if (CompareFileTime(&fresh->info.NotBefore, &existing->info.NotBefore) <= 0) {
                Fail(CRYPT_E_EXISTS);
                return FALSE;
            }
            RemoveFromStore(existing);
            break;
        case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES:
            for (auto& [id, v] : existing->props)
                if (!fresh->props.count(id))
                    fresh->props[id] = v;
            RemoveFromStore(existing);
            break;
        case CERT_STORE_ADD_REPLACE_EXISTING:
            RemoveFromStore(existing);
            break;
        default: // ALWAYS
            if (s->ops->onePerHash)
                RemoveFromStore(existing);
            break;
        }
    }
    CertObject* c = fresh.release();
    c->store = s;
    c->inStore = true;
    c->pub.hCertStore = s;
    s->certs.push_back(c);
    if (!PersistCert(*c)) {
        DWORD err = GetLastError();
        RemoveFromStore(c);
        SetLastError(err);
        return FALSE;
    }
    if (out)
        *out = HandOut(c);
    return TRUE;
}

BOOL AddCrl(Store* s, std::unique_ptr<CrlObject> fresh, DWORD disposition, PCCRL_CONTEXT* out)
{
    if (out)
        *out = nullptr;
    if (s->readOnly) {
        Fail(E_ACCESSDENIED);
        return FALSE;
    }
    EnsureCrlsLoaded(*s);
    auto it =
        std::find_if(s->crls.begin(), s->crls.end(), [&](CrlObject* c) { return c->sha1 == fresh->sha1; });
    if (it != s->crls.end()) {
        if (disposition == CERT_STORE_ADD_NEW) {
            Fail(CRYPT_E_EXISTS);
            return FALSE;
        }
        if (disposition == CERT_STORE_ADD_USE_EXISTING) {
            if (out)
                *out = HandOut(*it);
            return TRUE;
        }
        if (disposition != CERT_STORE_ADD_ALWAYS || s->ops->onePerHash) {
            CrlObject* old = *it;
            s->crls.erase(it);
            old->inStore = false;
            if (--old->refs == 0)
                delete old;
        }
    }
    CrlObject* c = fresh.release();
    c->store = s;
    c->inStore = true;
    c->pub.hCertStore = s;
    s->crls.push_back(c);
    if (!s->ops->saveCrl(*s, *c))
        return FALSE;
    if (out)
        *out = HandOut(c);
    return TRUE;
}

void AddParsedCert(Store* s, const BYTE* data, size_t size, std::map<DWORD, Bytes> props)
{
    if (CertObject* c = ParseCertificate(data, size)) {
        c->props = std::move(props);
        AddCert(s, std::unique_ptr<CertObject>(c), CERT_STORE_ADD_ALWAYS, nullptr);
    }
}
void AddParsedCrl(Store* s, const BYTE* data, size_t size)
{
    if (CrlObject* c = ParseCrl(data, size))
        AddCrl(s, std::unique_ptr<CrlObject>(c), CERT_STORE_ADD_ALWAYS, nullptr);
}

} // namespace trumik::crypt

using namespace trumik::crypt;

namespace {

Store* ToStore(HCERTSTORE h)
{
    return static_cast<Store*>(h);
}

// The providers of CertOpenStore, by the identifier it is given.
struct StoreProvider {
    LPCSTR id;
    HCERTSTORE (*open)(LPCSTR provider, DWORD flags, const void* para);
};
const StoreProvider kProviders[] = {
    {CERT_STORE_PROV_MEMORY, OpenMemoryStore},   {CERT_STORE_PROV_SYSTEM_W, OpenSystemStore},
    {CERT_STORE_PROV_SYSTEM_A, OpenSystemStore}, {CERT_STORE_PROV_FILENAME_W, OpenFileStore},
    {CERT_STORE_PROV_FILENAME_A, OpenFileStore}, {CERT_STORE_PROV_SERIALIZED, OpenSerializedStore},
    {CERT_STORE_PROV_PKCS7, OpenPkcs7Store},
};

} // namespace

extern "C" {

WINAPI_EXPORT HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD, HCRYPTPROV_LEGACY,
                                              DWORD dwFlags, const void* pvPara)
{
    // A system store is a new object over the registry, shared with no one
    // until it is returned: it opens without the lock.
    if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W || lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A)
        return OpenSystemStore(lpszStoreProvider, dwFlags, pvPara);
    std::lock_guard lock(Lock());
    for (const StoreProvider& p : kProviders)
        if (p.id == lpszStoreProvider)
            return p.open(lpszStoreProvider, dwFlags, pvPara);
    Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    return nullptr;
}

WINAPI_EXPORT HCERTSTORE WINAPI CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR szSubsystemProtocol)
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, hProv, CERT_SYSTEM_STORE_CURRENT_USER,
                         szSubsystemProtocol);
}

WINAPI_EXPORT HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol)
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, hProv, CERT_SYSTEM_STORE_CURRENT_USER,
                         szSubsystemProtocol);
}

WINAPI_EXPORT HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE hCertStore)
{
    std::lock_guard lock(Lock());
    if (hCertStore)
        ++ToStore(hCertStore)->handleRefs;
    return hCertStore;
}

WINAPI_EXPORT BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags)
{
    std::lock_guard lock(Lock());
    if (!hCertStore)
        return TRUE;
    Store* s = ToStore(hCertStore);
    if (s->handleRefs > 0)
        --s->handleRefs;
    bool pending = s->handleRefs == 0 && s->contextRefs > 0;
    MaybeDestroy(s);
    if (pending && (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG)) {
        Fail(CRYPT_E_PENDING_CLOSE);
        return FALSE;
    }
    return TRUE;
}

WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext)
{
    std::lock_guard lock(Lock());
    if (!pCertContext)
        return nullptr;
    return HandOut(ToObject(pCertContext));
}

WINAPI_EXPORT BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext)
{
    std::lock_guard lock(Lock());
    if (pCertContext)
        Release(ToObject(pCertContext));
    return TRUE;
}

WINAPI_EXPORT PCCRL_CONTEXT WINAPI CertDuplicateCRLContext(PCCRL_CONTEXT pCrlContext)
{
    std::lock_guard lock(Lock());
    return pCrlContext ? HandOut(ToObject(pCrlContext)) : nullptr;
}

WINAPI_EXPORT BOOL WINAPI CertDeleteCRLFromStore(PCCRL_CONTEXT pCrlContext)
{
    std::lock_guard lock(Lock());
    if (!pCrlContext) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    CrlObject* c = ToObject(pCrlContext);
    Store* s = c->store;
    if (s && c->inStore) {
        if (s->readOnly) {
            Release(c);
            Fail(E_ACCESSDENIED);
            return FALSE;
        }
        s->ops->deleteCrl(*s, *c);
        s->crls.erase(std::find(s->crls.begin(), s->crls.end(), c));
        c->inStore = false;
        --c->refs; // the store's own reference; the caller's goes below
    }
    Release(c);
    return TRUE;
}

WINAPI_EXPORT BOOL WINAPI CertFreeCRLContext(PCCRL_CONTEXT pCrlContext)
{
    std::lock_guard lock(Lock());
    if (pCrlContext)
        Release(ToObject(pCrlContext));
    return TRUE;
}

WINAPI_EXPORT BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                           const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                                           DWORD dwAddDisposition,
                                                           PCCERT_CONTEXT* ppCertContext)
{
    std::lock_guard lock(Lock());
    if (ppCertContext)
        *ppCertContext = nullptr;
    if (!hCertStore || (dwCertEncodingType & X509_ASN_ENCODING) == 0) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    CertObject* c = ParseCertificate(pbCertEncoded, cbCertEncoded);
    if (!c)
        return FALSE;
    return AddCert(ToStore(hCertStore), std::unique_ptr<CertObject>(c), dwAddDisposition, ppCertContext);
}

WINAPI_EXPORT BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                                           DWORD dwAddDisposition,
                                                           PCCERT_CONTEXT* ppStoreContext)
{
    std::lock_guard lock(Lock());
    if (ppStoreContext)
        *ppStoreContext = nullptr;
    if (!hCertStore || !pCertContext) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    CertObject* src = ToObject(pCertContext);
    CertObject* c = ParseCertificate(src->encoded.data(), src->encoded.size());
    if (!c)
        return FALSE;
    for (const auto& [id, v] : src->props)
        if (Persistent(id))
            c->props[id] = v;
    return AddCert(ToStore(hCertStore), std::unique_ptr<CertObject>(c), dwAddDisposition, ppStoreContext);
}

WINAPI_EXPORT BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext)
{
    std::lock_guard lock(Lock());
    if (!pCertContext) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    CertObject* c = ToObject(pCertContext);
    if (!c->store || !c->inStore) {
        Release(c);
        return TRUE;
    }
    Store* s = c->store;
    if (s->readOnly) {
        Release(c);
        Fail(E_ACCESSDENIED);
        return FALSE;
    }
    s->ops->deleteCert(*s, *c);
    RemoveFromStore(c);
    Release(c);
    return TRUE;
}

WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD,
                                                               DWORD dwFindType, const void* pvFindPara,
                                                               PCCERT_CONTEXT pPrevCertContext)
{
    std::unique_lock lock(Lock());
    Store* s = ToStore(hCertStore);
    CertObject* prev = pPrevCertContext ? ToObject(pPrevCertContext) : nullptr;
    if (!s || !KnownFindType(dwFindType)) {
        if (prev)
            Release(prev);
        Fail(E_INVALIDARG);
        return nullptr;
    }
    if (!prev && dwFindType == CERT_FIND_SHA1_HASH && !s->certsLoaded) {
        auto blob = static_cast<const CRYPT_HASH_BLOB*>(pvFindPara);
        const Bytes sha1 = blob && blob->pbData ? Bytes(blob->pbData, blob->pbData + blob->cbData) : Bytes();
        CertObject* c = FindLoaded(*s, sha1);
        if (!c && !sha1.empty()) {
            // The read from where the store keeps it runs without the lock,
            // so that finds in other stores (and threads) go on meanwhile.
            lock.unlock();
            auto read = s->ops->readCert(*s, sha1);
            lock.lock();
            c = s->certsLoaded ? FindLoaded(*s, sha1) : Adopt(*s, std::move(read));
        }
        if (c)
            return HandOut(c);
        Fail(CRYPT_E_NOT_FOUND);
        return nullptr;
    }
    EnsureCertsLoaded(*s);
    size_t start = 0;
    if (prev) {
        auto it = std::find(s->certs.begin(), s->certs.end(), prev);
        start = it == s->certs.end() ? s->certs.size() : static_cast<size_t>(it - s->certs.begin()) + 1;
    }
    CertObject* found = nullptr;
    for (size_t i = start; i < s->certs.size() && !found; ++i)
        if (Matches(s->certs[i], dwFindType, pvFindPara))
            found = s->certs[i];
    PCCERT_CONTEXT result = found ? HandOut(found) : nullptr;
    if (prev)
        Release(prev);
    if (!result)
        Fail(CRYPT_E_NOT_FOUND);
    return result;
}

WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                                PCCERT_CONTEXT pPrevCertContext)
{
    return CertFindCertificateInStore(hCertStore, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr,
                                      pPrevCertContext);
}

WINAPI_EXPORT BOOL WINAPI CertAddEncodedCRLToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                   const BYTE* pbCrlEncoded, DWORD cbCrlEncoded,
                                                   DWORD dwAddDisposition, PCCRL_CONTEXT* ppCrlContext)
{
    std::lock_guard lock(Lock());
    if (ppCrlContext)
        *ppCrlContext = nullptr;
    if (!hCertStore || (dwCertEncodingType & X509_ASN_ENCODING) == 0 ||
        dwAddDisposition < CERT_STORE_ADD_NEW || dwAddDisposition > CERT_STORE_ADD_NEWER) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    CrlObject* c = ParseCrl(pbCrlEncoded, cbCrlEncoded);
    if (!c)
        return FALSE;
    return AddCrl(ToStore(hCertStore), std::unique_ptr<CrlObject>(c), dwAddDisposition, ppCrlContext);
}

WINAPI_EXPORT PCCRL_CONTEXT WINAPI CertEnumCRLsInStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pPrevCrlContext)
{
    std::lock_guard lock(Lock());
    Store* s = ToStore(hCertStore);
    CrlObject* prev = pPrevCrlContext ? ToObject(pPrevCrlContext) : nullptr;
    if (!s) {
        if (prev)
            Release(prev);
        Fail(E_INVALIDARG);
        return nullptr;
    }
    EnsureCrlsLoaded(*s);
    size_t next = 0;
    if (prev) {
        auto it = std::find(s->crls.begin(), s->crls.end(), prev);
        next = it == s->crls.end() ? s->crls.size() : static_cast<size_t>(it - s->crls.begin()) + 1;
    }
    PCCRL_CONTEXT result = next < s->crls.size() ? HandOut(s->crls[next]) : nullptr;
    if (prev)
        Release(prev);
    if (!result)
        Fail(CRYPT_E_NOT_FOUND);
    return result;
}

WINAPI_EXPORT BOOL WINAPI CertSaveStore(HCERTSTORE hCertStore, DWORD, DWORD dwSaveAs, DWORD dwSaveTo,
                                        void* pvSaveToPara, DWORD)
{
    std::lock_guard lock(Lock());
    Store* s = ToStore(hCertStore);
    if (!s || !pvSaveToPara ||
        (dwSaveAs != CERT_STORE_SAVE_AS_STORE && dwSaveAs != CERT_STORE_SAVE_AS_PKCS7)) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    EnsureCertsLoaded(*s);
    EnsureCrlsLoaded(*s);
    Bytes out;
    if (dwSaveAs == CERT_STORE_SAVE_AS_STORE)
        out = SaveSerialized(*s);
    else if (!SavePkcs7(*s, out)) {
        ERR_clear_error();
        Fail(CRYPT_E_ASN1_ERROR);
        return FALSE;
    }
    switch (dwSaveTo) {
    case CERT_STORE_SAVE_TO_MEMORY: {
        auto blob = static_cast<CRYPT_DATA_BLOB*>(pvSaveToPara);
        DWORD need = static_cast<DWORD>(out.size());
        if (!blob->pbData) {
            blob->cbData = need;
            return TRUE;
        }
        if (blob->cbData < need) {
            blob->cbData = need;
            Fail(static_cast<DWORD>(ERROR_MORE_DATA));
            return FALSE;
        }
        std::memcpy(blob->pbData, out.data(), need);
        blob->cbData = need;
        return TRUE;
    }
    case CERT_STORE_SAVE_TO_FILENAME_A:
    case CERT_STORE_SAVE_TO_FILENAME_W:
        if (!WriteFileAtomic(PathFromPara(pvSaveToPara, dwSaveTo == CERT_STORE_SAVE_TO_FILENAME_W), out)) {
            Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED));
            return FALSE;
        }
        return TRUE;
    default:
        Fail(E_INVALIDARG);
        return FALSE;
    }
}

} // extern "C"

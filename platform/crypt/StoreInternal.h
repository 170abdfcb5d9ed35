// The certificate store behind an HCERTSTORE, and what its kinds share.
//
// A store holds certificates and CRLs in memory. Where a kind keeps them
// elsewhere (a system store in the registry), its table of operations reads
// them on first use and writes every change through. File, serialized and
// PKCS #7 stores are memory stores filled when they are opened.
#pragma once

#include "CryptInternal.h"
#include "registry/RegistryValues.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace trumik::crypt {

struct StoreOps {
    // Reads the certificates (CRLs) the store keeps outside the process, once.
    void (*loadCerts)(Store& s);
    void (*loadCrls)(Store& s);
    // The certificate with this SHA-1 hash from where the store keeps it, not
    // yet in the store's list; null when it keeps none. Reads only what is
    // fixed when the store opens, so it runs without the lock.
    std::unique_ptr<CertObject> (*readCert)(const Store& s, const Bytes& sha1);
    // Writes an added or changed certificate (CRL); false with the last error set.
    bool (*saveCert)(Store& s, const CertObject& cert);
    bool (*saveCrl)(Store& s, const CrlObject& crl);
    // Removes what the store keeps of a certificate (CRL) being deleted.
    void (*deleteCert)(Store& s, const CertObject& cert);
    void (*deleteCrl)(Store& s, const CrlObject& crl);
    // CERT_STORE_ADD_ALWAYS replaces a certificate or CRL of the same hash,
    // as a store that keeps one entry per hash must.
    bool onePerHash;
};

// Memory stores (and the file, serialized and PKCS #7 stores filled at opening).
extern const StoreOps kMemoryStoreOps;
// System stores, kept in the registry.
extern const StoreOps kSystemStoreOps;

struct Store {
    const StoreOps* ops = &kMemoryStoreOps;
    int handleRefs = 1;
    int contextRefs = 0;
    bool readOnly = false;
    std::vector<CertObject*> certs;
    bool certsLoaded = true;
    std::vector<CrlObject*> crls;
    bool crlsLoaded = true;
    // Where a system store lives: the hive and Software\Microsoft\SystemCertificates\<name>.
    HKEY root = nullptr;
    std::u16string base;
    // The registry's state when a system store was opened: what this process
    // read of the store under the same stamp is still true (SystemStore.cpp).
    platform::RegistryStamp stamp;
};

inline void Fail(DWORD code)
{
    SetLastError(code);
}
inline void Fail(HRESULT code)
{
    SetLastError(static_cast<DWORD>(code));
}

inline void PutDword(Bytes& out, DWORD v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<BYTE>(v >> (8 * i)));
}
inline DWORD GetDword(const BYTE* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

// Properties that are serialized with a certificate (handles are not).
inline bool Persistent(DWORD id)
{
    return id != CERT_KEY_PROV_HANDLE_PROP_ID && id != CERT_KEY_CONTEXT_PROP_ID;
}

// Lifetime: a store lives while a handle or a handed-out context holds it.
void DestroyStore(Store* s);
void MaybeDestroy(Store* s);

template <class Obj> auto HandOut(Obj* o)
{
    ++o->refs;
    if (o->store)
        ++o->store->contextRefs;
    return &o->pub;
}

template <class Obj> void Release(Obj* o)
{
    Store* s = o->store;
    if (--o->refs == 0)
        delete o;
    if (s) {
        --s->contextRefs;
        MaybeDestroy(s);
    }
}

// Contents.
CertObject* FindLoaded(Store& s, const Bytes& sha1);
// Puts a certificate that readCert gave into the store's list, or gives the
// one of that hash already there; null when it has none.
CertObject* Adopt(Store& s, std::unique_ptr<CertObject> c);
void RemoveFromStore(CertObject* c);
// Writes a certificate that is in a store through the store's operations.
bool PersistCert(const CertObject& c);
// Adds a parsed certificate (CRL), owned by the call, under a disposition.
BOOL AddCert(Store* s, std::unique_ptr<CertObject> fresh, DWORD disposition, PCCERT_CONTEXT* out);
BOOL AddCrl(Store* s, std::unique_ptr<CrlObject> fresh, DWORD disposition, PCCRL_CONTEXT* out);
// Parses and adds with CERT_STORE_ADD_ALWAYS; what does not parse is skipped.
void AddParsedCert(Store* s, const BYTE* data, size_t size, std::map<DWORD, Bytes> props = {});
void AddParsedCrl(Store* s, const BYTE* data, size_t size);

// The serialized store: a zero DWORD, the magic "CERT", elements, a zero element.
constexpr DWORD kFileMagic = 0x54524543; // "CERT"
// A certificate object from serialized elements: properties, then the cert.
CertObject* CertFromElements(const std::vector<ParsedElement>& elems, size_t& i);
bool LoadSerialized(Store* s, const BYTE* data, size_t size);
Bytes SaveSerialized(const Store& s);

// Adds the certificates and CRLs of a PKCS #7 SignedData; false when it is none.
bool LoadPkcs7(Store* s, const BYTE* data, size_t size);
bool SavePkcs7(const Store& s, Bytes& out);

// A file name given to CertOpenStore or CertSaveStore, wide or ANSI, in UTF-8.
std::string PathFromPara(const void* pvPara, bool wide);
// Writes the file through a synced temporary beside it and a rename.
bool WriteFileAtomic(const std::string& path, const Bytes& data);

// The store providers of CertOpenStore; null with the last error set.
HCERTSTORE OpenMemoryStore(LPCSTR provider, DWORD flags, const void* para);
HCERTSTORE OpenSystemStore(LPCSTR provider, DWORD flags, const void* para);
HCERTSTORE OpenFileStore(LPCSTR provider, DWORD flags, const void* para);
HCERTSTORE OpenSerializedStore(LPCSTR provider, DWORD flags, const void* para);
HCERTSTORE OpenPkcs7Store(LPCSTR provider, DWORD flags, const void* para);
// A memory store filled from the CRYPT_DATA_BLOB at para by load. When load
// fails, the last error is error, or what load set when error is 0.
HCERTSTORE OpenBlobStore(const void* para, bool (*load)(Store*, const BYTE*, size_t), DWORD error);

} // namespace trumik::crypt

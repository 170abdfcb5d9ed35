// System stores, kept in the registry as Windows keeps them: under
// Software\\Microsoft\\SystemCertificates\\<store> of the user's or the
// machine's hive, a key per certificate (CRL) named by its SHA-1 hash in
// hexadecimal, whose value Blob holds it with its properties in the
// serialized-store element format. The keys are read when first needed and
// every change is written through.
//
// A certificate looked up by its hash is read once per process and kept, with
// the registry stamp it was read under, in a cache shared by every store
// handle: opening a store reads the stamp (one transaction), and while it has
// not moved the lookups come from the cache. Any committed change, by this
// process or another, moves the stamp, so the next open reads afresh.
#include "StoreInternal.h"

#include <algorithm>
#include <mutex>
#include <optional>

namespace trumik::crypt {

namespace {

using trumik::platform::CreateRegistryKey;
using trumik::platform::EnumRegistrySubKeys;
using trumik::platform::OpenRegistryKey;
using trumik::platform::QueryRegistryValue;

std::u16string CertKeyPath(const Store& s, const Bytes& sha1)
{
    return s.base + u"\\Certificates\\" + HexUpper(sha1);
}
std::u16string CrlKeyPath(const Store& s, const Bytes& sha1)
{
    return s.base + u"\\CRLs\\" + HexUpper(sha1);
}

bool WriteBlob(const Store& s, const std::u16string& path, const Bytes& blob)
{
    // The key and its Blob in one registry write, so that a writer killed
    // between the two never leaves a certificate key without its certificate.
    LSTATUS rc = RegSetKeyValueW(s.root, path.c_str(), u"Blob", REG_BINARY, blob.data(),
                                 static_cast<DWORD>(blob.size()));
    if (rc != ERROR_SUCCESS) {
        Fail(static_cast<DWORD>(rc));
        return false;
    }
    return true;
}

// The certificate of a Blob value, not yet in any store.
std::unique_ptr<CertObject> CertFromBlob(const Bytes& blob)
{
    std::vector<ParsedElement> elems;
    if (!SplitElements(blob.data(), blob.size(), elems, false))
        return nullptr;
    size_t i = 0;
    return std::unique_ptr<CertObject>(CertFromElements(elems, i));
}

std::unique_ptr<CertObject> ReadCertFromRegistry(HKEY key)
{
    auto blob = QueryRegistryValue(key, u"Blob");
    return blob ? CertFromBlob(*blob) : nullptr;
}

// The Blob values of certificates read by hash, per store, each under the
// stamp it was read at. An entry holds the values of one stamp only: a read
// under a later stamp starts it afresh, one under an earlier stamp is not kept.
// A hash without a certificate is not kept, so that a store handle opened
// before a certificate was added finds it, as it would without the cache; a
// write through this process forgets the store's entry once it is done, for
// the same reason.
class CertBlobCache {
  public:
    using Blob = std::shared_ptr<const Bytes>;

    static CertBlobCache& Instance()
    {
        static CertBlobCache cache;
        return cache;
    }

    // The value read under `stamp`, when the cache has it.
    std::optional<Blob> Find(const Store& s, const platform::RegistryStamp& stamp, const Bytes& sha1)
    {
        std::lock_guard lock(mutex_);
        auto entry = entries_.find({s.root, s.base});
        if (entry == entries_.end() || entry->second.stamp != stamp)
            return std::nullopt;
        auto blob = entry->second.blobs.find(sha1);
        if (blob == entry->second.blobs.end())
            return std::nullopt;
        return blob->second;
    }

    void Put(const Store& s, const platform::RegistryStamp& stamp, const Bytes& sha1, Blob blob)
    {
        if (stamp.changes < 0 || !blob)
            return;
        std::lock_guard lock(mutex_);
        Entry& entry = entries_[{s.root, s.base}];
        if (entry.stamp != stamp) {
            const bool older = entry.stamp.database == stamp.database && entry.stamp.changes > stamp.changes;
            if (older)
                return;
            entry.stamp = stamp;
            entry.blobs.clear();
        }
        if (entry.blobs.size() >= kMaxPerStore)
            entry.blobs.clear();
        entry.blobs[sha1] = std::move(blob);
    }

    void Forget(HKEY root, const std::u16string& base)
    {
        std::lock_guard lock(mutex_);
        entries_.erase({root, base});
    }

  private:
    // A store looked up by many hashes keeps only the latest ones.
    static constexpr size_t kMaxPerStore = 256;

    struct Entry {
        platform::RegistryStamp stamp;
        std::map<Bytes, Blob> blobs;
    };
    std::mutex mutex_;
    std::map<std::pair<HKEY, std::u16string>, Entry> entries_;
};

Bytes HexToBytes(const std::u16string& hex)
{
    Bytes out;
    auto nib = [](char16_t c) -> int {
        if (c >= u'0' && c <= u'9')
            return c - u'0';
        if (c >= u'a' && c <= u'f')
            return c - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c - u'A' + 10;
        return -1;
    };
    if (hex.size() % 2)
        return {};
    for (size_t i = 0; i < hex.size(); i += 2) {
        int a = nib(hex[i]), b = nib(hex[i + 1]);
        if (a < 0 || b < 0)
            return {};
        out.push_back(static_cast<BYTE>(a * 16 + b));
    }
    return out;
}

void LoadCerts(Store& s)
{
    std::vector<CertObject*> ordered;
    std::u16string dir = s.base + u"\\Certificates";
    auto parent = OpenRegistryKey(s.root, dir, KEY_READ);
    const auto names = parent ? EnumRegistrySubKeys(parent.get()) : std::vector<std::u16string>();
    for (const std::u16string& name : names) {
        Bytes sha1 = HexToBytes(name);
        CertObject* c = sha1.size() == 20 ? FindLoaded(s, sha1) : nullptr;
        if (!c && parent) {
            auto key = OpenRegistryKey(parent.get(), name, KEY_READ);
            if (auto read = key ? ReadCertFromRegistry(key.get()) : nullptr) {
                c = read.release();
                c->store = &s;
                c->inStore = true;
                c->pub.hCertStore = &s;
            }
        }
        if (c && std::find(ordered.begin(), ordered.end(), c) == ordered.end())
            ordered.push_back(c);
    }
    for (CertObject* c : s.certs)
        if (std::find(ordered.begin(), ordered.end(), c) == ordered.end())
            ordered.push_back(c);
    s.certs = std::move(ordered);
}

// Just the registry key of the certificate with this hash: from the cache
// while the stamp the store was opened under holds, else in one transaction.
std::unique_ptr<CertObject> ReadCert(const Store& s, const Bytes& sha1)
{
    if (sha1.size() != 20)
        return nullptr;
    CertBlobCache& cache = CertBlobCache::Instance();
    std::optional<CertBlobCache::Blob> blob = cache.Find(s, s.stamp, sha1);
    if (!blob) {
        auto read = platform::ReadRegistrySnapshot(s.root, CertKeyPath(s, sha1), u"Blob");
        blob = read.data ? std::make_shared<const Bytes>(std::move(*read.data)) : nullptr;
        cache.Put(s, read.stamp, sha1, *blob);
    }
    auto c = *blob ? CertFromBlob(**blob) : nullptr;
    if (c && c->sha1 != sha1) // a key named after another certificate
        return nullptr;
    return c;
}

void LoadCrls(Store& s)
{
    std::u16string dir = s.base + u"\\CRLs";
    auto parent = OpenRegistryKey(s.root, dir, KEY_READ);
    if (!parent)
        return;
    for (const std::u16string& name : EnumRegistrySubKeys(parent.get())) {
        auto key = OpenRegistryKey(parent.get(), name, KEY_READ);
        auto blob = key ? QueryRegistryValue(key.get(), u"Blob") : std::nullopt;
        std::vector<ParsedElement> elems;
        if (!blob || !SplitElements(blob->data(), blob->size(), elems, false))
            continue;
        for (const ParsedElement& e : elems)
            if (e.id == kCrlElement) {
                if (CrlObject* c = ParseCrl(e.data, e.size)) {
                    c->store = &s;
                    c->inStore = true;
                    c->pub.hCertStore = &s;
                    s.crls.push_back(c);
                }
                break;
            }
    }
}

bool SaveCert(Store& s, const CertObject& c)
{
    const bool written = WriteBlob(s, CertKeyPath(s, c.sha1), SerializeCert(c));
    CertBlobCache::Instance().Forget(s.root, s.base);
    return written;
}

bool SaveCrl(Store& s, const CrlObject& c)
{
    return WriteBlob(s, CrlKeyPath(s, c.sha1), SerializeCrl(c));
}

void DeleteKey(const Store& s, const std::u16string& path)
{
    if (RegDeleteTreeW(s.root, path.c_str()) == ERROR_SUCCESS)
        RegDeleteKeyW(s.root, path.c_str());
}

void DeleteCert(Store& s, const CertObject& c)
{
    DeleteKey(s, CertKeyPath(s, c.sha1));
    CertBlobCache::Instance().Forget(s.root, s.base);
}

void DeleteCrl(Store& s, const CrlObject& c)
{
    DeleteKey(s, CrlKeyPath(s, c.sha1));
}

} // namespace

const StoreOps kSystemStoreOps = {LoadCerts, LoadCrls,   ReadCert,  SaveCert,
                                  SaveCrl,   DeleteCert, DeleteCrl, true};

HCERTSTORE OpenSystemStore(LPCSTR provider, DWORD flags, const void* para)
{
    if (!para) {
        Fail(E_INVALIDARG);
        return nullptr;
    }
    const std::u16string name = provider == CERT_STORE_PROV_SYSTEM_W
                                    ? std::u16string(static_cast<const char16_t*>(para))
                                    : AnsiToUtf16(static_cast<const char*>(para));
    if (name.empty() || name.find(u'\\') != std::u16string::npos) {
        Fail(E_INVALIDARG);
        return nullptr;
    }
    HKEY root = nullptr;
    switch (flags & CERT_SYSTEM_STORE_LOCATION_MASK) {
    case CERT_SYSTEM_STORE_CURRENT_USER:
        root = HKEY_CURRENT_USER;
        break;
    case CERT_SYSTEM_STORE_LOCAL_MACHINE:
        root = HKEY_LOCAL_MACHINE;
        break;
    default:
        Fail(E_INVALIDARG);
        return nullptr;
    }
    std::u16string base = u"Software\\Microsoft\\SystemCertificates\\" + name;
    if (flags & CERT_STORE_DELETE_FLAG) {
        LSTATUS rc = RegDeleteTreeW(root, base.c_str());
        if (rc == ERROR_SUCCESS)
            RegDeleteKeyW(root, base.c_str());
        CertBlobCache::Instance().Forget(root, base);
        SetLastError(rc == ERROR_SUCCESS ? 0 : static_cast<DWORD>(rc));
        return nullptr;
    }
    // Whether the store exists and the stamp its cached certificates are
    // good for, in one read.
    const platform::RegistrySnapshot opened = platform::ReadRegistrySnapshot(root, base, nullptr);
    const bool exists = opened.keyExists;
    if (!exists && (flags & CERT_STORE_OPEN_EXISTING_FLAG)) {
        Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        return nullptr;
    }
    if (exists && (flags & CERT_STORE_CREATE_NEW_FLAG)) {
        Fail(static_cast<DWORD>(ERROR_FILE_EXISTS));
        return nullptr;
    }
    if (!exists && !(flags & CERT_STORE_READONLY_FLAG)) {
        LSTATUS rc = ERROR_SUCCESS;
        if (!CreateRegistryKey(root, base + u"\\Certificates", KEY_ALL_ACCESS, &rc)) {
            Fail(static_cast<DWORD>(rc));
            return nullptr;
        }
    }
    auto s = std::make_unique<Store>();
    s->ops = &kSystemStoreOps;
    s->root = root;
    s->base = base;
    if (exists)
        s->stamp = opened.stamp; // a store made just now has no stamp: its first reads go to the registry
    s->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    s->certsLoaded = false;
    s->crlsLoaded = false;
    return s.release();
}

} // namespace trumik::crypt

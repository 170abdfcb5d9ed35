// System stores, kept in the registry as Windows keeps them: under
// Software\\Microsoft\\SystemCertificates\\<store> of the user's or the
// machine's hive, a key per certificate (CRL) named by its SHA-1 hash in
// hexadecimal, whose value Blob holds it with its properties in the
// serialized-store element format. The keys are read when first needed and
// every change is written through.
#include "StoreInternal.h"
#include "registry/RegistryValues.h"

#include <algorithm>
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

// The certificate of a key's Blob, not yet in any store.
std::unique_ptr<CertObject> ReadCertFromRegistry(HKEY key)
{
    auto blob = QueryRegistryValue(key, u"Blob");
    if (!blob)
        return nullptr;
    std::vector<ParsedElement> elems;
    if (!SplitElements(blob->data(), blob->size(), elems, false))
        return nullptr;
    size_t i = 0;
    return std::unique_ptr<CertObject>(CertFromElements(elems, i));
}

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

// Just the registry key of the certificate with this hash.
std::unique_ptr<CertObject> ReadCert(const Store& s, const Bytes& sha1)
{
    if (sha1.size() != 20)
        return nullptr;
    auto key = OpenRegistryKey(s.root, CertKeyPath(s, sha1), KEY_READ);
    auto c = key ? ReadCertFromRegistry(key.get()) : nullptr;
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
    return WriteBlob(s, CertKeyPath(s, c.sha1), SerializeCert(c));
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
        SetLastError(rc == ERROR_SUCCESS ? 0 : static_cast<DWORD>(rc));
        return nullptr;
    }
    bool exists = static_cast<bool>(OpenRegistryKey(root, base, KEY_READ));
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
    s->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    s->certsLoaded = false;
    s->crlsLoaded = false;
    return s.release();
}

} // namespace trumik::crypt

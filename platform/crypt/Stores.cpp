// Certificate stores: memory, system (in the registry, as Windows keeps
// them) and file stores; adding, finding, deleting, saving; properties.
#include "CryptInternal.h"
#include "internal/CrashPoint.h"
#include "registry/RegistryValues.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <unistd.h>

namespace trumik::crypt {
namespace {

using trumik::platform::CreateRegistryKey;
using trumik::platform::OpenRegistryKey;
using trumik::platform::QueryRegistryValue;

constexpr DWORD kFileMagic = 0x54524543; // "CERT"

enum class Kind { Memory, System, File };

void Fail(DWORD code)
{
    SetLastError(code);
}
void Fail(HRESULT code)
{
    SetLastError(static_cast<DWORD>(code));
}

} // namespace

struct Store {
    Kind kind = Kind::Memory;
    int handleRefs = 1;
    int contextRefs = 0;
    bool readOnly = false;
    HKEY root = nullptr;
    std::u16string base; // Software\Microsoft\SystemCertificates\<name>
    std::vector<CertObject*> certs;
    bool certsLoaded = true;
    std::vector<CrlObject*> crls;
    bool crlsLoaded = true;
};

namespace {

void PutDword(Bytes& out, DWORD v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<BYTE>(v >> (8 * i)));
}
DWORD GetDword(const BYTE* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

bool Persistent(DWORD id)
{
    return id != CERT_KEY_PROV_HANDLE_PROP_ID && id != CERT_KEY_CONTEXT_PROP_ID;
}

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

bool PersistCert(const CertObject& c)
{
    if (!c.store || !c.inStore || c.store->kind != Kind::System)
        return true;
    return WriteBlob(*c.store, CertKeyPath(*c.store, c.sha1), SerializeCert(c));
}

// A certificate object from serialized elements: properties, then the cert.
CertObject* CertFromElements(const std::vector<ParsedElement>& elems, size_t& i)
{
    std::map<DWORD, Bytes> props;
    for (; i < elems.size(); ++i) {
        const ParsedElement& e = elems[i];
        if (e.id == kCertElement) {
            CertObject* c = ParseCertificate(e.data, e.size);
            ++i;
            if (c)
                c->props = std::move(props);
            return c;
        }
        if (e.id == kCrlElement || e.id == kCtlElement)
            return nullptr;
        props[e.id] = Bytes(e.data, e.data + e.size);
    }
    return nullptr;
}

CertObject* LoadCertFromRegistry(Store& s, HKEY key)
{
    auto blob = QueryRegistryValue(key, u"Blob");
    if (!blob)
        return nullptr;
    std::vector<ParsedElement> elems;
    if (!SplitElements(blob->data(), blob->size(), elems, false))
        return nullptr;
    size_t i = 0;
    CertObject* c = CertFromElements(elems, i);
    if (c) {
        c->store = &s;
        c->inStore = true;
        c->pub.hCertStore = &s;
    }
    return c;
}

CertObject* FindLoaded(Store& s, const Bytes& sha1)
{
    for (CertObject* c : s.certs)
        if (c->sha1 == sha1)
            return c;
    return nullptr;
}

std::vector<std::u16string> SubkeyNames(HKEY root, const std::u16string& path)
{
    std::vector<std::u16string> names;
    auto key = OpenRegistryKey(root, path, KEY_READ);
    if (!key)
        return names;
    for (DWORD i = 0;; ++i) {
        char16_t name[256];
        DWORD len = 256;
        if (RegEnumKeyExW(key.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, len);
    }
    return names;
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

void EnsureCertsLoaded(Store& s)
{
    if (s.certsLoaded)
        return;
    s.certsLoaded = true;
    std::vector<CertObject*> ordered;
    std::u16string dir = s.base + u"\\Certificates";
    auto parent = OpenRegistryKey(s.root, dir, KEY_READ);
    for (const std::u16string& name : SubkeyNames(s.root, dir)) {
        Bytes sha1 = HexToBytes(name);
        CertObject* c = sha1.size() == 20 ? FindLoaded(s, sha1) : nullptr;
        if (!c && parent) {
            auto key = OpenRegistryKey(parent.get(), name, KEY_READ);
            if (key)
                c = LoadCertFromRegistry(s, key.get());
        }
        if (c && std::find(ordered.begin(), ordered.end(), c) == ordered.end())
            ordered.push_back(c);
    }
    for (CertObject* c : s.certs)
        if (std::find(ordered.begin(), ordered.end(), c) == ordered.end())
            ordered.push_back(c);
    s.certs = std::move(ordered);
}

// The certificate with this hash, loading just its registry key when the
// store has not been read whole.
CertObject* FindByHash(Store& s, const Bytes& sha1)
{
    if (CertObject* c = FindLoaded(s, sha1))
        return c;
    if (s.certsLoaded || sha1.size() != 20)
        return nullptr;
    auto key = OpenRegistryKey(s.root, CertKeyPath(s, sha1), KEY_READ);
    if (!key)
        return nullptr;
    CertObject* c = LoadCertFromRegistry(s, key.get());
    if (c) {
        if (c->sha1 != sha1) { // a key named after another certificate
            delete c;
            return nullptr;
        }
        s.certs.push_back(c);
    }
    return c;
}

void EnsureCrlsLoaded(Store& s)
{
    if (s.crlsLoaded)
        return;
    s.crlsLoaded = true;
    std::u16string dir = s.base + u"\\CRLs";
    auto parent = OpenRegistryKey(s.root, dir, KEY_READ);
    if (!parent)
        return;
    for (const std::u16string& name : SubkeyNames(s.root, dir)) {
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
        default: // ALWAYS: a system store keeps one key per hash
            if (s->kind == Kind::System)
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
        if (disposition != CERT_STORE_ADD_ALWAYS || s->kind == Kind::System) {
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
    if (s->kind == Kind::System && !WriteBlob(*s, CrlKeyPath(*s, c->sha1), SerializeCrl(*c)))
        return FALSE;
    if (out)
        *out = HandOut(c);
    return TRUE;
}

void AddParsedCert(Store* s, const BYTE* data, size_t size, std::map<DWORD, Bytes> props = {})
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

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct Pkcs7Free {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};

// Adds the certificates and CRLs of a PKCS #7 SignedData; false when it is none.
bool LoadPkcs7(Store* s, const BYTE* data, size_t size)
{
    const unsigned char* p = data;
    std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(size)));
    if (!p7 || !PKCS7_type_is_signed(p7.get()) || !p7->d.sign)
        return false;
    STACK_OF(X509)* certs = p7->d.sign->cert;
    for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
        unsigned char* der = nullptr;
        int n = i2d_X509(sk_X509_value(certs, i), &der);
        if (n > 0)
            AddParsedCert(s, der, static_cast<size_t>(n));
        OPENSSL_free(der);
    }
    STACK_OF(X509_CRL)* crls = p7->d.sign->crl;
    for (int i = 0; crls && i < sk_X509_CRL_num(crls); ++i) {
        unsigned char* der = nullptr;
        int n = i2d_X509_CRL(sk_X509_CRL_value(crls, i), &der);
        if (n > 0)
            AddParsedCrl(s, der, static_cast<size_t>(n));
        OPENSSL_free(der);
    }
    return true;
}

bool LoadSerialized(Store* s, const BYTE* data, size_t size)
{
    std::vector<ParsedElement> elems;
    if (size < 8 || GetDword(data) != 0 || GetDword(data + 4) != kFileMagic ||
        !SplitElements(data + 8, size - 8, elems, true)) {
        Fail(CRYPT_E_FILE_ERROR);
        return false;
    }
    size_t i = 0;
    while (i < elems.size()) {
        const ParsedElement& e = elems[i];
        if (e.id == kCrlElement) {
            AddParsedCrl(s, e.data, e.size);
            ++i;
            continue;
        }
        if (e.id == kCtlElement) {
            ++i;
            continue;
        }
        size_t before = i;
        std::unique_ptr<CertObject> c(CertFromElements(elems, i));
        if (!c) {
            if (i == before || i >= elems.size() || elems[i - 1].id == kCertElement) {
                Fail(CRYPT_E_FILE_ERROR);
                return false;
            }
            continue; // properties followed by a CRL: dropped
        }
        AddCert(s, std::move(c), CERT_STORE_ADD_ALWAYS, nullptr);
    }
    return true;
}

// Fills a store from the bytes of a file: serialized store, PEM, or DER
// (certificate, PKCS #7, CRL).
bool LoadContent(Store* s, const Bytes& bytes)
{
    if (bytes.empty())
        return true;
    const BYTE* data = bytes.data();
    size_t size = bytes.size();
    if (size >= 8 && GetDword(data) == 0 && GetDword(data + 4) == kFileMagic)
        return LoadSerialized(s, data, size);
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (text.find("-----BEGIN ") != std::string_view::npos) {
        std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(data, static_cast<int>(size)));
        size_t found = 0;
        for (;;) {
            char* name = nullptr;
            char* header = nullptr;
            unsigned char* der = nullptr;
            long len = 0;
            if (PEM_read_bio(bio.get(), &name, &header, &der, &len) != 1)
                break;
            std::string n = name ? name : "";
            if (n == "CERTIFICATE" || n == "X509 CERTIFICATE") {
                size_t had = s->certs.size();
                AddParsedCert(s, der, static_cast<size_t>(len));
                found += s->certs.size() - had;
            } else if (n == "X509 CRL") {
                size_t had = s->crls.size();
                AddParsedCrl(s, der, static_cast<size_t>(len));
                found += s->crls.size() - had;
            } else if (n == "PKCS7" || n == "CERTIFICATE CHAIN") {
                if (LoadPkcs7(s, der, static_cast<size_t>(len)))
                    ++found;
            }
            OPENSSL_free(name);
            OPENSSL_free(header);
            OPENSSL_free(der);
        }
        ERR_clear_error();
        if (!found) {
            Fail(CRYPT_E_FILE_ERROR);
            return false;
        }
        return true;
    }
    if (CertObject* c = ParseCertificate(data, size)) {
        AddCert(s, std::unique_ptr<CertObject>(c), CERT_STORE_ADD_ALWAYS, nullptr);
        return true;
    }
    DWORD certError = GetLastError();
    if (LoadPkcs7(s, data, size)) {
        ERR_clear_error();
        return true;
    }
    if (CrlObject* c = ParseCrl(data, size)) {
        AddCrl(s, std::unique_ptr<CrlObject>(c), CERT_STORE_ADD_ALWAYS, nullptr);
        return true;
    }
    ERR_clear_error();
    Fail(data[0] == 0x30 ? certError : static_cast<DWORD>(CRYPT_E_FILE_ERROR));
    return false;
}

std::string PathFromPara(const void* pvPara, bool wide)
{
    if (wide)
        return Utf16ToUtf8(static_cast<const char16_t*>(pvPara));
    return Utf16ToUtf8(AnsiToUtf16(static_cast<const char*>(pvPara)));
}

HCERTSTORE OpenFileStore(const std::string& path)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        return nullptr;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED));
        return nullptr;
    }
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto s = std::make_unique<Store>();
    s->kind = Kind::File;
    if (!LoadContent(s.get(), bytes)) {
        DWORD err = GetLastError();
        DestroyStore(s.release());
        SetLastError(err);
        return nullptr;
    }
    return s.release();
}

HCERTSTORE OpenSystemStore(const std::u16string& name, DWORD flags)
{
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
    s->kind = Kind::System;
    s->root = root;
    s->base = base;
    s->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    s->certsLoaded = false;
    s->crlsLoaded = false;
    return s.release();
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

// Self-relative CRYPT_KEY_PROV_INFO as a store keeps it: seven DWORDs
// (container offset, provider offset, type, flags, parameter count,
// parameter table offset, key spec), the NUL-ended UTF-16 container and
// provider names, then (4-aligned) the parameter table of four DWORDs each
// (id, data offset, size, flags) followed by the parameter data. Offsets
// count from the start of the property; 0 means none.
Bytes SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info)
{
    Bytes out(28, 0);
    auto put = [&](size_t at, DWORD v) {
        for (int i = 0; i < 4; ++i)
            out[at + i] = static_cast<BYTE>(v >> (8 * i));
    };
    put(8, info.dwProvType);
    put(12, info.dwFlags);
    put(16, info.cProvParam);
    put(24, info.dwKeySpec);
    auto putString = [&](size_t at, const char16_t* s) {
        if (!s)
            return;
        put(at, static_cast<DWORD>(out.size()));
        std::u16string str(s);
        for (char16_t ch : str) {
            out.push_back(static_cast<BYTE>(ch & 0xFF));
            out.push_back(static_cast<BYTE>(ch >> 8));
        }
        out.push_back(0);
        out.push_back(0);
    };
    putString(0, info.pwszContainerName);
    putString(4, info.pwszProvName);
    if (info.cProvParam && info.rgProvParam) {
        while (out.size() % 4)
            out.push_back(0);
        size_t table = out.size();
        put(20, static_cast<DWORD>(table));
        out.resize(table + 16 * static_cast<size_t>(info.cProvParam), 0);
        for (DWORD i = 0; i < info.cProvParam; ++i) {
            const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
            size_t at = table + 16 * i;
            put(at, p.dwParam);
            put(at + 4, p.cbData ? static_cast<DWORD>(out.size()) : 0);
            put(at + 8, p.cbData);
            put(at + 12, p.dwFlags);
            if (p.cbData && p.pbData)
                out.insert(out.end(), p.pbData, p.pbData + p.cbData);
        }
    } else
        put(16, 0);
    return out;
}

struct KeyProvInfoParts {
    std::u16string container, provider;
    bool hasContainer = false, hasProvider = false;
    DWORD type = 0, flags = 0, keySpec = 0;
    std::vector<std::pair<CRYPT_KEY_PROV_PARAM, Bytes>> params;
};

bool ParseKeyProvInfo(const Bytes& b, KeyProvInfoParts& out)
{
    if (b.size() < 28)
        return false;
    auto str = [&](DWORD off, std::u16string& s, bool& has) {
        if (off == 0)
            return true;
        if (off >= b.size())
            return false;
        for (size_t i = off;; i += 2) {
            if (i + 1 >= b.size())
                return false;
            char16_t ch = static_cast<char16_t>(b[i] | (b[i + 1] << 8));
            if (!ch)
                break;
            s += ch;
        }
        has = true;
        return true;
    };
    if (!str(GetDword(&b[0]), out.container, out.hasContainer) ||
        !str(GetDword(&b[4]), out.provider, out.hasProvider))
        return false;
    out.type = GetDword(&b[8]);
    out.flags = GetDword(&b[12]);
    DWORD count = GetDword(&b[16]);
    DWORD off = GetDword(&b[20]);
    out.keySpec = GetDword(&b[24]);
    if (count > (b.size() / 16) || (count && (off > b.size() || b.size() - off < 16ull * count)))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        const BYTE* p = &b[off + 16 * i];
        CRYPT_KEY_PROV_PARAM param{GetDword(p), nullptr, GetDword(p + 8), GetDword(p + 12)};
        DWORD dataOff = GetDword(p + 4);
        if (param.cbData && (dataOff > b.size() || b.size() - dataOff < param.cbData))
            return false;
        Bytes data = param.cbData ? Bytes(b.begin() + dataOff, b.begin() + dataOff + param.cbData) : Bytes();
        out.params.emplace_back(param, std::move(data));
    }
    return true;
}

// The native CRYPT_KEY_PROV_INFO followed by its parameters and strings.
Bytes NativeKeyProvInfo(const KeyProvInfoParts& parts)
{
    size_t size = sizeof(CRYPT_KEY_PROV_INFO) + parts.params.size() * sizeof(CRYPT_KEY_PROV_PARAM);
    size_t dataAt = size;
    for (auto& p : parts.params)
        size += p.second.size();
    size = (size + 1) & ~static_cast<size_t>(1);
    size_t containerAt = size;
    if (parts.hasContainer)
        size += (parts.container.size() + 1) * 2;
    size_t providerAt = size;
    if (parts.hasProvider)
        size += (parts.provider.size() + 1) * 2;
    Bytes out(size, 0);
    // The pointers are fixed up by the caller once the bytes are in place.
    CRYPT_KEY_PROV_INFO info{};
    info.dwProvType = parts.type;
    info.dwFlags = parts.flags;
    info.cProvParam = static_cast<DWORD>(parts.params.size());
    info.dwKeySpec = parts.keySpec;
    info.pwszContainerName = parts.hasContainer ? reinterpret_cast<LPWSTR>(containerAt) : nullptr;
    info.pwszProvName = parts.hasProvider ? reinterpret_cast<LPWSTR>(providerAt) : nullptr;
    info.rgProvParam = parts.params.empty() ? nullptr : reinterpret_cast<PCRYPT_KEY_PROV_PARAM>(sizeof info);
    std::memcpy(out.data(), &info, sizeof info);
    for (size_t i = 0; i < parts.params.size(); ++i) {
        CRYPT_KEY_PROV_PARAM p = parts.params[i].first;
        p.pbData = p.cbData ? reinterpret_cast<BYTE*>(dataAt) : nullptr;
        std::memcpy(out.data() + sizeof info + i * sizeof p, &p, sizeof p);
        if (p.cbData)
            std::memcpy(out.data() + dataAt, parts.params[i].second.data(), p.cbData);
        dataAt += p.cbData;
    }
    if (parts.hasContainer)
        std::memcpy(out.data() + containerAt, parts.container.data(), parts.container.size() * 2);
    if (parts.hasProvider)
        std::memcpy(out.data() + providerAt, parts.provider.data(), parts.provider.size() * 2);
    return out;
}

// Turns the offsets NativeKeyProvInfo left in the pointers into addresses.
void FixUpKeyProvInfo(BYTE* buffer)
{
    auto base = reinterpret_cast<uintptr_t>(buffer);
    CRYPT_KEY_PROV_INFO info;
    std::memcpy(&info, buffer, sizeof info);
    if (info.pwszContainerName)
        info.pwszContainerName =
            reinterpret_cast<LPWSTR>(base + reinterpret_cast<uintptr_t>(info.pwszContainerName));
    if (info.pwszProvName)
        info.pwszProvName = reinterpret_cast<LPWSTR>(base + reinterpret_cast<uintptr_t>(info.pwszProvName));
    if (info.rgProvParam) {
        info.rgProvParam = reinterpret_cast<PCRYPT_KEY_PROV_PARAM>(base + sizeof info);
        for (DWORD i = 0; i < info.cProvParam; ++i) {
            CRYPT_KEY_PROV_PARAM p;
            std::memcpy(&p, buffer + sizeof info + i * sizeof p, sizeof p);
            if (p.pbData)
                p.pbData = reinterpret_cast<BYTE*>(base + reinterpret_cast<uintptr_t>(p.pbData));
            std::memcpy(buffer + sizeof info + i * sizeof p, &p, sizeof p);
        }
    }
    std::memcpy(buffer, &info, sizeof info);
}

bool WriteAllBytes(int fd, const BYTE* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes the file through a synced temporary beside it and a rename, so
// that a reader, or a writer's crash, leaves the old file or the new one.
bool WriteFileAtomic(const std::string& path, const Bytes& data)
{
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            return false;
        const size_t half = data.size() / 2;
        bool written = WriteAllBytes(fd, data.data(), half);
        trumik::platform::CrashPoint();
        written = written && WriteAllBytes(fd, data.data() + half, data.size() - half) && ::fsync(fd) == 0;
        ::close(fd);
        if (!written) {
            ::unlink(tmp.c_str());
            return false;
        }
    }
    trumik::platform::CrashPoint();
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    trumik::platform::CrashPoint();
    return true;
}

bool SavePkcs7(Store& s, Bytes& out)
{
    std::unique_ptr<PKCS7, Pkcs7Free> p7(PKCS7_new());
    if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed) || !PKCS7_content_new(p7.get(), NID_pkcs7_data))
        return false;
    for (CertObject* c : s.certs) {
        const unsigned char* p = c->encoded.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(c->encoded.size()));
        if (!x)
            return false;
        int ok = PKCS7_add_certificate(p7.get(), x);
        X509_free(x);
        if (!ok)
            return false;
    }
    for (CrlObject* c : s.crls) {
        const unsigned char* p = c->encoded.data();
        X509_CRL* x = d2i_X509_CRL(nullptr, &p, static_cast<long>(c->encoded.size()));
        if (!x)
            return false;
        int ok = PKCS7_add_crl(p7.get(), x);
        X509_CRL_free(x);
        if (!ok)
            return false;
    }
    unsigned char* der = nullptr;
    int n = i2d_PKCS7(p7.get(), &der);
    if (n <= 0)
        return false;
    out.assign(der, der + n);
    OPENSSL_free(der);
    return true;
}

} // namespace

void AppendElement(Bytes& out, DWORD id, const BYTE* data, size_t size)
{
    PutDword(out, id);
    PutDword(out, 1);
    PutDword(out, static_cast<DWORD>(size));
    if (size)
        out.insert(out.end(), data, data + size);
}

Bytes SerializeCert(const CertObject& cert)
{
    Bytes out;
    for (const auto& [id, v] : cert.props)
        if (Persistent(id))
            AppendElement(out, id, v.data(), v.size());
    AppendElement(out, kCertElement, cert.encoded.data(), cert.encoded.size());
    return out;
}

Bytes SerializeCrl(const CrlObject& crl)
{
    Bytes out;
    for (const auto& [id, v] : crl.props)
        AppendElement(out, id, v.data(), v.size());
    AppendElement(out, kCrlElement, crl.encoded.data(), crl.encoded.size());
    return out;
}

bool SplitElements(const BYTE* data, size_t size, std::vector<ParsedElement>& out, bool stopAtZero)
{
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < 12)
            return false;
        DWORD id = GetDword(data + pos);
        DWORD len = GetDword(data + pos + 8);
        pos += 12;
        if (len > size - pos)
            return false;
        if (id == 0 && stopAtZero)
            return len == 0;
        out.push_back({id, data + pos, len});
        pos += len;
    }
    return !stopAtZero; // a file ends with its zero element
}

} // namespace trumik::crypt

using namespace trumik::crypt;

namespace {
Store* ToStore(HCERTSTORE h)
{
    return static_cast<Store*>(h);
}
} // namespace

extern "C" {

WINAPI_EXPORT HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD, HCRYPTPROV_LEGACY,
                                              DWORD dwFlags, const void* pvPara)
{
    std::lock_guard lock(Lock());
    auto id = reinterpret_cast<uintptr_t>(lpszStoreProvider);
    if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) {
        auto s = std::make_unique<Store>();
        return s.release();
    }
    if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W || lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A) {
        if (!pvPara) {
            Fail(E_INVALIDARG);
            return nullptr;
        }
        std::u16string name = lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W
                                  ? std::u16string(static_cast<const char16_t*>(pvPara))
                                  : AnsiToUtf16(static_cast<const char*>(pvPara));
        return OpenSystemStore(name, dwFlags);
    }
    if (lpszStoreProvider == CERT_STORE_PROV_FILENAME_W || lpszStoreProvider == CERT_STORE_PROV_FILENAME_A) {
        if (!pvPara) {
            Fail(E_INVALIDARG);
            return nullptr;
        }
        return OpenFileStore(PathFromPara(pvPara, lpszStoreProvider == CERT_STORE_PROV_FILENAME_W));
    }
    if (lpszStoreProvider == CERT_STORE_PROV_SERIALIZED || lpszStoreProvider == CERT_STORE_PROV_PKCS7) {
        auto blob = static_cast<const CRYPT_DATA_BLOB*>(pvPara);
        if (!blob || (blob->cbData && !blob->pbData)) {
            Fail(E_INVALIDARG);
            return nullptr;
        }
        auto s = std::make_unique<Store>();
        bool ok = lpszStoreProvider == CERT_STORE_PROV_SERIALIZED
                      ? LoadSerialized(s.get(), blob->pbData, blob->cbData)
                      : LoadPkcs7(s.get(), blob->pbData, blob->cbData);
        if (!ok) {
            DWORD err = lpszStoreProvider == CERT_STORE_PROV_PKCS7 ? static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)
                                                                   : GetLastError();
            ERR_clear_error();
            DestroyStore(s.release());
            SetLastError(err);
            return nullptr;
        }
        return s.release();
    }
    (void)id;
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
        if (s->kind == Kind::System) {
            std::u16string path = CrlKeyPath(*s, c->sha1);
            if (RegDeleteTreeW(s->root, path.c_str()) == ERROR_SUCCESS)
                RegDeleteKeyW(s->root, path.c_str());
        }
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
    if (s->kind == Kind::System) {
        LSTATUS rc = RegDeleteTreeW(s->root, CertKeyPath(*s, c->sha1).c_str());
        if (rc == ERROR_SUCCESS)
            RegDeleteKeyW(s->root, CertKeyPath(*s, c->sha1).c_str());
    }
    RemoveFromStore(c);
    Release(c);
    return TRUE;
}

WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD, DWORD,
                                                               DWORD dwFindType, const void* pvFindPara,
                                                               PCCERT_CONTEXT pPrevCertContext)
{
    std::lock_guard lock(Lock());
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
        CertObject* c =
            blob && blob->pbData ? FindByHash(*s, Bytes(blob->pbData, blob->pbData + blob->cbData)) : nullptr;
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
    if (dwSaveAs == CERT_STORE_SAVE_AS_STORE) {
        PutDword(out, 0);
        PutDword(out, kFileMagic);
        for (CertObject* c : s->certs) {
            Bytes e = SerializeCert(*c);
            out.insert(out.end(), e.begin(), e.end());
        }
        for (CrlObject* c : s->crls) {
            Bytes e = SerializeCrl(*c);
            out.insert(out.end(), e.begin(), e.end());
        }
        out.insert(out.end(), 12, 0);
    } else if (!SavePkcs7(*s, out)) {
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

WINAPI_EXPORT BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                            void* pvData, DWORD* pcbData)
{
    std::lock_guard lock(Lock());
    if (!pCertContext || !pcbData) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    CertObject* c = ToObject(pCertContext);
    Bytes value;
    bool keyProvInfo = false;
    auto it = c->props.find(dwPropId);
    if (dwPropId == CERT_SHA1_HASH_PROP_ID)
        value = c->sha1;
    else if (dwPropId == CERT_MD5_HASH_PROP_ID)
        value = Md5(c->encoded);
    else if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID && it != c->props.end()) {
        KeyProvInfoParts parts;
        if (!ParseKeyProvInfo(it->second, parts)) {
            Fail(CRYPT_E_FILE_ERROR);
            return FALSE;
        }
        value = NativeKeyProvInfo(parts);
        keyProvInfo = true;
    } else if (dwPropId == CERT_KEY_SPEC_PROP_ID && it == c->props.end()) {
        auto info = c->props.find(CERT_KEY_PROV_INFO_PROP_ID);
        KeyProvInfoParts parts;
        if (info == c->props.end() || !ParseKeyProvInfo(info->second, parts)) {
            Fail(CRYPT_E_NOT_FOUND);
            return FALSE;
        }
        PutDword(value, parts.keySpec);
    } else if (it != c->props.end())
        value = it->second;
    else {
        Fail(CRYPT_E_NOT_FOUND);
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(value.size());
    if (!pvData) {
        *pcbData = need;
        return TRUE;
    }
    if (*pcbData < need) {
        *pcbData = need;
        Fail(static_cast<DWORD>(ERROR_MORE_DATA));
        return FALSE;
    }
    if (need)
        std::memcpy(pvData, value.data(), need);
    if (keyProvInfo)
        FixUpKeyProvInfo(static_cast<BYTE*>(pvData));
    *pcbData = need;
    return TRUE;
}

WINAPI_EXPORT BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                            DWORD dwFlags, const void* pvData)
{
    std::lock_guard lock(Lock());
    if (!pCertContext || dwPropId == 0 || dwPropId == kCertElement || dwPropId == kCrlElement ||
        dwPropId == kCtlElement) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    CertObject* c = ToObject(pCertContext);
    if (c->inStore && c->store && c->store->readOnly && Persistent(dwPropId)) {
        Fail(E_ACCESSDENIED);
        return FALSE;
    }
    auto old = c->props.find(dwPropId);
    std::optional<Bytes> previous;
    if (old != c->props.end())
        previous = old->second;
    if (!pvData) {
        c->props.erase(dwPropId);
    } else {
        Bytes value;
        switch (dwPropId) {
        case CERT_KEY_PROV_INFO_PROP_ID:
            value = SerializeKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(pvData));
            break;
        case CERT_KEY_PROV_HANDLE_PROP_ID: {
            auto p = static_cast<const BYTE*>(pvData);
            value.assign(p, p + sizeof(HCRYPTPROV));
            break;
        }
        case CERT_KEY_CONTEXT_PROP_ID: {
            CERT_KEY_CONTEXT context{};
            std::memcpy(&context, pvData, sizeof(DWORD));
            std::memcpy(&context, pvData, std::min<size_t>(context.cbSize, sizeof context));
            auto p = reinterpret_cast<const BYTE*>(&context);
            value.assign(p, p + sizeof context);
            break;
        }
        case CERT_KEY_SPEC_PROP_ID:
            PutDword(value, *static_cast<const DWORD*>(pvData));
            break;
        default: {
            auto blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
            if (blob->cbData && !blob->pbData) {
                Fail(E_INVALIDARG);
                return FALSE;
            }
            if (blob->cbData)
                value.assign(blob->pbData, blob->pbData + blob->cbData);
        }
        }
        c->props[dwPropId] = std::move(value);
    }
    if (Persistent(dwPropId) && !(dwFlags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG) && !PersistCert(*c)) {
        DWORD err = GetLastError();
        if (previous)
            c->props[dwPropId] = *previous;
        else
            c->props.erase(dwPropId);
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

WINAPI_EXPORT DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId)
{
    std::lock_guard lock(Lock());
    if (!pCertContext)
        return 0;
    CertObject* c = ToObject(pCertContext);
    auto it = c->props.upper_bound(dwPropId);
    return it == c->props.end() ? 0 : it->first;
}

} // extern "C"

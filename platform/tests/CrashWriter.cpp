// The writer and the reader of the crash tests, one process per call:
//
//   crash_writer setup OPERATION   makes the state the operation starts from
//   crash_writer run OPERATION     does the operation: one platform call, so
//                                  the state after it is whole or not at all
//   crash_writer dump              prints what a reader finds under the root:
//                                  every registry key and value, the system
//                                  stores as CryptoAPI opens them, the saved
//                                  store file and every key container with
//                                  its keys opened
//
// All of it under $TRUMIK_HOME. A run started with TRUMIK_TEST_KILL_AT_STEP
// dies at that write step (see platform/internal/CrashPoint.h).
#include "csp/Containers.h"

#include "wincrypt.h"
#include "winreg.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<BYTE>;

constexpr const char16_t* kRegBase = u"Software\\Crash";
constexpr const char16_t* kStore = u"CrashMy";
constexpr const char* kPin = "1234";

[[noreturn]] void Die(const std::string& what)
{
    std::fprintf(stderr, "crash_writer: %s (last error 0x%08X)\n", what.c_str(), GetLastError());
    std::exit(2);
}

void Check(bool ok, const std::string& what)
{
    if (!ok)
        Die(what);
}

void CheckReg(LSTATUS rc, const std::string& what)
{
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        Die(what);
    }
}

std::string Utf8(std::u16string_view s)
{
    std::string out;
    for (char16_t c : s) // the names here are ASCII
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::u16string U16(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

std::string Hex(const BYTE* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string Sha1Hex(const BYTE* p, size_t n)
{
    BYTE digest[SHA_DIGEST_LENGTH];
    SHA1(p, n, digest);
    return Hex(digest, sizeof digest);
}

// A value of `size` bytes that differs per tag: long enough that a torn
// write of it would show.
Bytes Payload(char tag, size_t size)
{
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<BYTE>(tag + i * 7);
    return out;
}

fs::path Home();

// A self-signed certificate, distinct per serial.
Bytes NewCert(long serial)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    Check(key && x, "certificate key");
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
    X509_NAME* name = X509_get_subject_name(x.get());
    const std::string cn = "Crash " + std::to_string(serial);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), key.get());
    Check(X509_sign(x.get(), key.get(), EVP_sha256()) > 0, "certificate signature");
    unsigned char* der = nullptr;
    int n = i2d_X509(x.get(), &der);
    Check(n > 0, "certificate encoding");
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

// The certificate of `serial`, made once per root: every run of an operation
// starts from a copy of the same root, so its certificates are the same bytes.
Bytes MakeCert(long serial)
{
    const fs::path file = Home() / ("cert-" + std::to_string(serial) + ".der");
    std::ifstream in(file, std::ios::binary);
    if (in)
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes der = NewCert(serial);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    return der;
}

struct StoreCloser {
    void operator()(void* s) const { CertCloseStore(s, 0); }
};
using UniqueStore = std::unique_ptr<void, StoreCloser>;
struct CertFree {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
using UniqueCert = std::unique_ptr<const CERT_CONTEXT, CertFree>;
struct ProvRelease {
    void operator()(HCRYPTPROV* p) const
    {
        CryptReleaseContext(*p, 0);
        delete p;
    }
};
struct KeyCloser {
    void operator()(HKEY k) const { RegCloseKey(k); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

UniqueStore OpenStore(DWORD extra = 0)
{
    return UniqueStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | extra, kStore));
}

// The container name is long, so that a torn link would show.
std::u16string ContainerName(char tag)
{
    return u"link-" + std::u16string(1, static_cast<char16_t>(tag)) + std::u16string(300, u'x');
}

CRYPT_KEY_PROV_INFO LinkInfo(const std::u16string& container)
{
    return CRYPT_KEY_PROV_INFO{const_cast<LPWSTR>(container.c_str()),
                               const_cast<LPWSTR>(CP_GR3410_2001_PROV_W),
                               75,
                               0,
                               0,
                               nullptr,
                               AT_KEYEXCHANGE};
}

// Adds the certificate of `serial`, linked to the container of `tag`.
void AddLinkedCert(void* store, long serial, char tag)
{
    Bytes der = MakeCert(serial);
    PCCERT_CONTEXT raw = nullptr;
    Check(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                           static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                           &raw),
          "add certificate");
    UniqueCert c(raw);
    std::u16string container = ContainerName(tag);
    CRYPT_KEY_PROV_INFO info = LinkInfo(container);
    Check(CertSetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info),
          "link certificate");
}

UniqueCert FindFirst(void* store)
{
    return UniqueCert(CertEnumCertificatesInStore(store, nullptr));
}

std::unique_ptr<HCRYPTPROV, ProvRelease> Acquire(const char* name, DWORD flags)
{
    auto prov = std::make_unique<HCRYPTPROV>(0);
    Check(CryptAcquireContextA(prov.get(), name, nullptr, PROV_GOST_2001_DH, flags),
          "acquire " + std::string(name));
    return std::unique_ptr<HCRYPTPROV, ProvRelease>(prov.release());
}

void GenKey(HCRYPTPROV prov, bool withPin)
{
    if (withPin)
        Check(CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0), "set PIN");
    HCRYPTKEY key = 0;
    Check(CryptGenKey(prov, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &key), "generate key");
    CryptDestroyKey(key);
}

fs::path Home()
{
    const char* home = std::getenv("TRUMIK_HOME");
    if (!home)
        Die("TRUMIK_HOME is not set");
    return home;
}

fs::path SavedStoreFile()
{
    return Home() / "saved.p7b";
}

struct Operation {
    std::function<void()> setup, run;
};

const std::map<std::string, Operation>& Operations()
{
    static const std::map<std::string, Operation> ops = {
        // Registry: each call is one transaction.
        {"reg-set-key-value",
         {[] {
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, kRegBase, u"Old", REG_DWORD, "\1\0\0\0", 4),
                       "setup");
          },
          [] {
              Bytes v = Payload('n', 3000);
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, u"Software\\Crash\\New\\Deeper\\Deepest", u"Blob",
                                       REG_BINARY, v.data(), static_cast<DWORD>(v.size())),
                       "RegSetKeyValueW");
          }}},
        {"reg-replace-value",
         {[] {
              Bytes v = Payload('o', 3000);
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, kRegBase, u"Blob", REG_BINARY, v.data(),
                                       static_cast<DWORD>(v.size())),
                       "setup");
          },
          [] {
              HKEY raw = nullptr;
              CheckReg(RegOpenKeyExW(HKEY_CURRENT_USER, kRegBase, 0, KEY_SET_VALUE, &raw), "open");
              UniqueKey key(raw);
              Bytes v = Payload('n', 5000);
              CheckReg(
                  RegSetValueExW(key.get(), u"BLOB", 0, REG_BINARY, v.data(), static_cast<DWORD>(v.size())),
                  "RegSetValueExW");
          }}},
        {"reg-create-key",
         {[] {
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, kRegBase, u"Old", REG_DWORD, "\1\0\0\0", 4),
                       "setup");
          },
          [] {
              HKEY raw = nullptr;
              DWORD disposition = 0;
              CheckReg(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Crash\\A\\B\\C\\D", 0, nullptr, 0,
                                       KEY_ALL_ACCESS, nullptr, &raw, &disposition),
                       "RegCreateKeyExW");
              RegCloseKey(raw);
          }}},
        {"reg-delete-value",
         {[] {
              Bytes v = Payload('o', 3000);
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, kRegBase, u"Blob", REG_BINARY, v.data(),
                                       static_cast<DWORD>(v.size())),
                       "setup");
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, kRegBase, u"Other", REG_DWORD, "\2\0\0\0", 4),
                       "setup");
          },
          [] {
              HKEY raw = nullptr;
              CheckReg(RegOpenKeyExW(HKEY_CURRENT_USER, kRegBase, 0, KEY_SET_VALUE, &raw), "open");
              UniqueKey key(raw);
              CheckReg(RegDeleteValueW(key.get(), u"blob"), "RegDeleteValueW");
          }}},
        {"reg-delete-key",
         {[] {
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, u"Software\\Crash\\Leaf", u"A", REG_DWORD,
                                       "\1\0\0\0", 4),
                       "setup");
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, u"Software\\Crash\\Leaf", u"B", REG_DWORD,
                                       "\2\0\0\0", 4),
                       "setup");
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, kRegBase, u"Stays", REG_DWORD, "\3\0\0\0", 4),
                       "setup");
          },
          [] { CheckReg(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Crash\\Leaf"), "RegDeleteKeyW"); }}},
        {"reg-delete-tree",
         {[] {
              for (const char16_t* path :
                   {u"Software\\Crash\\Tree", u"Software\\Crash\\Tree\\One",
                    u"Software\\Crash\\Tree\\One\\Two", u"Software\\Crash\\Tree\\Three"})
                  CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, path, u"V", REG_DWORD, "\1\0\0\0", 4), "setup");
              CheckReg(RegSetKeyValueW(HKEY_CURRENT_USER, kRegBase, u"Stays", REG_DWORD, "\3\0\0\0", 4),
                       "setup");
          },
          [] { CheckReg(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Crash\\Tree"), "RegDeleteTreeW"); }}},
        // Certificate stores: each call is one write of a whole certificate with its properties.
        {"store-create", {[] {}, [] { Check(static_cast<bool>(OpenStore()), "CertOpenStore"); }}},
        {"cert-add",
         {[] {
              UniqueStore s = OpenStore();
              Check(static_cast<bool>(s), "open store");
              AddLinkedCert(s.get(), 1, 'a');
              MakeCert(2);
          },
          [] {
              // A certificate with its link, from a memory store, in one call.
              UniqueStore memory(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
              Check(static_cast<bool>(memory), "memory store");
              AddLinkedCert(memory.get(), 2, 'b');
              UniqueCert c = FindFirst(memory.get());
              UniqueStore s = OpenStore();
              Check(static_cast<bool>(s), "open store");
              Check(CertAddCertificateContextToStore(s.get(), c.get(), CERT_STORE_ADD_NEW, nullptr),
                    "CertAddCertificateContextToStore");
          }}},
        {"cert-relink",
         {[] {
              UniqueStore s = OpenStore();
              Check(static_cast<bool>(s), "open store");
              AddLinkedCert(s.get(), 1, 'a');
          },
          [] {
              UniqueStore s = OpenStore();
              Check(static_cast<bool>(s), "open store");
              UniqueCert c = FindFirst(s.get());
              Check(static_cast<bool>(c), "find certificate");
              std::u16string container = ContainerName('b');
              CRYPT_KEY_PROV_INFO info = LinkInfo(container);
              Check(CertSetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info),
                    "CertSetCertificateContextProperty");
          }}},
        {"cert-delete",
         {[] {
              UniqueStore s = OpenStore();
              Check(static_cast<bool>(s), "open store");
              AddLinkedCert(s.get(), 1, 'a');
              AddLinkedCert(s.get(), 2, 'b');
          },
          [] {
              UniqueStore s = OpenStore();
              Check(static_cast<bool>(s), "open store");
              UniqueCert c = FindFirst(s.get());
              Check(static_cast<bool>(c), "find certificate");
              Check(CertDeleteCertificateFromStore(c.release()), "CertDeleteCertificateFromStore");
          }}},
        {"store-save-file",
         {[] {
              UniqueStore s = OpenStore();
              Check(static_cast<bool>(s), "open store");
              AddLinkedCert(s.get(), 1, 'a');
              const std::u16string file = U16(SavedStoreFile().string());
              Check(CertSaveStore(s.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_PKCS7,
                                  CERT_STORE_SAVE_TO_FILENAME_W, const_cast<char16_t*>(file.c_str()), 0),
                    "setup save");
              AddLinkedCert(s.get(), 2, 'b');
              AddLinkedCert(s.get(), 3, 'c');
          },
          [] {
              UniqueStore s = OpenStore();
              Check(static_cast<bool>(s), "open store");
              const std::u16string file = U16(SavedStoreFile().string());
              Check(CertSaveStore(s.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_PKCS7,
                                  CERT_STORE_SAVE_TO_FILENAME_W, const_cast<char16_t*>(file.c_str()), 0),
                    "CertSaveStore");
          }}},
        // Key containers: each call writes one whole container file, or removes it.
        {"container-create", {[] {}, [] { Acquire("crash", CRYPT_NEWKEYSET); }}},
        {"container-genkey-pin",
         {[] { Acquire("crash", CRYPT_NEWKEYSET); }, [] { GenKey(*Acquire("crash", 0), true); }}},
        {"container-replace-key",
         {[] { GenKey(*Acquire("crash", CRYPT_NEWKEYSET), true); },
          [] { GenKey(*Acquire("crash", 0), true); }}},
        {"container-delete",
         {[] {
              GenKey(*Acquire("crash", CRYPT_NEWKEYSET), true);
              GenKey(*Acquire("stays", CRYPT_NEWKEYSET), false);
          },
          [] {
              HCRYPTPROV prov = 0;
              Check(CryptAcquireContextA(&prov, "crash", nullptr, PROV_GOST_2001_DH, CRYPT_DELETEKEYSET),
                    "delete container");
          }}},
    };
    return ops;
}

// ---- the reader ----

void DumpKey(std::ostream& out, HKEY key, const std::string& path)
{
    out << "key " << path << "\n";
    std::vector<std::pair<std::string, std::string>> values;
    for (DWORD i = 0;; ++i) {
        char16_t name[16384];
        DWORD nameLen = 16384, type = 0, size = 0;
        LSTATUS rc = RegEnumValueW(key, i, name, &nameLen, nullptr, &type, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        CheckReg(rc, "enumerate values of " + path);
        Bytes data(size);
        DWORD got = size;
        nameLen = 16384;
        CheckReg(RegEnumValueW(key, i, name, &nameLen, nullptr, &type, data.data(), &got), "read value");
        out << "  value " << Utf8(std::u16string_view(name, nameLen)) << " type " << type << " size " << got
            << " sha1 " << Sha1Hex(data.data(), got) << "\n";
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        char16_t name[256];
        DWORD len = 256;
        LSTATUS rc = RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        CheckReg(rc, "enumerate keys of " + path);
        HKEY raw = nullptr;
        CheckReg(RegOpenKeyExW(key, name, 0, KEY_READ, &raw), "open subkey");
        UniqueKey sub(raw);
        DumpKey(out, sub.get(), path + "\\" + Utf8(std::u16string_view(name, len)));
    }
}

void DumpStore(std::ostream& out)
{
    UniqueStore s = OpenStore(CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG);
    if (!s) {
        out << "store absent\n";
        return;
    }
    out << "store\n";
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s.get(), nullptr); c;
         c = CertEnumCertificatesInStore(s.get(), c)) {
        out << "  certificate " << Sha1Hex(c->pbCertEncoded, c->cbCertEncoded);
        DWORD size = 0;
        if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
            std::vector<uint64_t> buffer((size + 7) / 8);
            Check(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size),
                  "read link");
            const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
            out << " link " << Utf8(info->pwszContainerName) << " " << Utf8(info->pwszProvName) << " "
                << info->dwProvType << " " << info->dwKeySpec;
        }
        out << "\n";
    }
}

void DumpContainers(std::ostream& out)
{
    using namespace trumik::csp;
    for (const ContainerInfo& c : ListContainers(Scope::User)) {
        out << "container " << c.name << " readable " << c.readable << " exchange " << c.hasExchangeKey
            << " signature " << c.hasSignatureKey << " pin " << c.pinProtected << "\n";
        if (!c.hasExchangeKey)
            continue;
        Bytes spki;
        DWORD rc = GetPublicKeyInfo(Scope::User, c.name, AT_KEYEXCHANGE, &spki);
        out << "  public " << rc << " " << Sha1Hex(spki.data(), spki.size()) << "\n";
        // The private key opens with the container's PIN and matches its public key.
        UniqueEvpPkey key;
        rc = LoadPrivateKey(Scope::User, c.name, AT_KEYEXCHANGE,
                            c.pinProtected ? std::optional<std::string>(kPin) : std::nullopt, &key);
        bool matches = false;
        if (rc == 0 && key) {
            unsigned char* der = nullptr;
            int n = i2d_PUBKEY(key.get(), &der);
            matches = n > 0 && Bytes(der, der + n) == spki;
            OPENSSL_free(der);
        }
        out << "  private " << rc << " matches " << matches << "\n";
    }
}

void Dump()
{
    std::ostringstream out;
    for (auto [root, name] : {std::pair{HKEY_CURRENT_USER, "HKCU"}, std::pair{HKEY_LOCAL_MACHINE, "HKLM"},
                              std::pair{HKEY_CLASSES_ROOT, "HKCR"}})
        DumpKey(out, root, name);
    DumpStore(out);
    std::ifstream saved(SavedStoreFile(), std::ios::binary);
    if (saved) {
        std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
        out << "saved store file sha1 " << Sha1Hex(reinterpret_cast<const BYTE*>(text.data()), text.size())
            << "\n";
    } else {
        out << "saved store file absent\n";
    }
    DumpContainers(out);
    std::cout << out.str();
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "dump" && argc == 2) {
        Dump();
        return 0;
    }
    if (mode == "list" && argc == 2) {
        for (const auto& [name, op] : Operations())
            std::cout << name << "\n";
        return 0;
    }
    if ((mode == "setup" || mode == "run") && argc == 3) {
        auto it = Operations().find(argv[2]);
        if (it == Operations().end())
            Die(std::string("no operation ") + argv[2]);
        (mode == "setup" ? it->second.setup : it->second.run)();
        return 0;
    }
    std::fprintf(stderr, "usage: crash_writer list | dump | setup OPERATION | run OPERATION\n");
    return 2;
}

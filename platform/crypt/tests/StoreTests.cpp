// Stores: memory, system (registry) and file stores; dispositions, finding,
// properties and their persistence, saving, closing, revocation.
#include "CryptFixtures.h"

#include "TestHome.h"
#include "registry/RegistryValues.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace trumik::crypttest;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

UniqueStore Memory()
{
    return UniqueStore(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
}
UniqueStore System(const char16_t* name, DWORD flags = CERT_SYSTEM_STORE_CURRENT_USER)
{
    return UniqueStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, name));
}
UniqueStore File(const std::filesystem::path& p)
{
    std::u16string w = U16(p.string());
    return UniqueStore(CertOpenStore(CERT_STORE_PROV_FILENAME_W, kEnc, 0, 0, w.c_str()));
}

bool Add(void* store, const Bytes& der, DWORD disposition, PCCERT_CONTEXT* out = nullptr)
{
    return CertAddEncodedCertificateToStore(store, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                            disposition, out);
}

Bytes Sha1Of(PCCERT_CONTEXT c)
{
    Bytes h(20);
    DWORD n = 20;
    EXPECT_TRUE(CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, h.data(), &n));
    return h;
}

UniqueCert FindHash(void* store, const Bytes& hash)
{
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), const_cast<BYTE*>(hash.data())};
    return UniqueCert(CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_SHA1_HASH, &blob, nullptr));
}

int Count(void* store)
{
    int n = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
         c = CertEnumCertificatesInStore(store, c))
        ++n;
    return n;
}

void SetProvInfo(PCCERT_CONTEXT c, const char16_t* container)
{
    BYTE param[3] = {1, 2, 3};
    CRYPT_KEY_PROV_PARAM p{7, param, 3, 0};
    CRYPT_KEY_PROV_INFO info{const_cast<LPWSTR>(container),
                             const_cast<LPWSTR>(CP_GR3410_2001_PROV_W),
                             75,
                             CRYPT_SILENT,
                             1,
                             &p,
                             AT_KEYEXCHANGE};
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
}

void ExpectProvInfo(PCCERT_CONTEXT c, const char16_t* container)
{
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<uint64_t> buf(size / 8 + 1);
    DWORD shortSize = size - 1;
    SetLastError(0);
    EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &shortSize));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(shortSize, size);
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size));
    auto info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
    auto begin = reinterpret_cast<const BYTE*>(buf.data());
    EXPECT_EQ(std::u16string(info->pwszContainerName), container);
    EXPECT_EQ(std::u16string(info->pwszProvName), CP_GR3410_2001_PROV_W);
    EXPECT_EQ(info->dwProvType, 75u);
    EXPECT_EQ(info->dwFlags, static_cast<DWORD>(CRYPT_SILENT));
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
    ASSERT_EQ(info->cProvParam, 1u);
    EXPECT_EQ(info->rgProvParam[0].dwParam, 7u);
    ASSERT_EQ(info->rgProvParam[0].cbData, 3u);
    EXPECT_EQ(info->rgProvParam[0].pbData[2], 3);
    // Everything lies inside the caller's buffer.
    for (const void* p :
         {static_cast<const void*>(info->pwszContainerName), static_cast<const void*>(info->pwszProvName),
          static_cast<const void*>(info->rgProvParam[0].pbData)})
        EXPECT_TRUE(p >= begin && p < begin + size);
}

} // namespace

TEST(MemoryStore, DispositionsAndEnumeration)
{
    const Fixtures& f = GetFixtures();
    UniqueStore s = Memory();
    ASSERT_TRUE(s);
    Bytes rsa = ReadBytes(f.rsaDer), gost = ReadBytes(f.gostDer);
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(Add(s.get(), rsa, CERT_STORE_ADD_NEW, &added));
    EXPECT_EQ(added->hCertStore, s.get());
    SetLastError(0);
    PCCERT_CONTEXT again = reinterpret_cast<PCCERT_CONTEXT>(1);
    EXPECT_FALSE(Add(s.get(), rsa, CERT_STORE_ADD_NEW, &again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
    EXPECT_EQ(again, nullptr);
    CRYPT_DATA_BLOB name{6, reinterpret_cast<BYTE*>(const_cast<char16_t*>(u"Abc"))};
    ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, 0, &name));
    ASSERT_TRUE(Add(s.get(), rsa, CERT_STORE_ADD_USE_EXISTING, &again));
    EXPECT_EQ(again, added); // the very context in the store
    CertFreeCertificateContext(again);
    ASSERT_TRUE(Add(s.get(), rsa, CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, &again));
    DWORD n = 0;
    EXPECT_TRUE(CertGetCertificateContextProperty(again, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n));
    EXPECT_EQ(n, 6u);
    CertFreeCertificateContext(again);
    ASSERT_TRUE(Add(s.get(), rsa, CERT_STORE_ADD_REPLACE_EXISTING, &again));
    SetLastError(0);
    EXPECT_FALSE(CertGetCertificateContextProperty(again, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    CertFreeCertificateContext(again);
    CertFreeCertificateContext(added); // replaced, still valid until now
    EXPECT_EQ(Count(s.get()), 1);
    ASSERT_TRUE(Add(s.get(), gost, CERT_STORE_ADD_NEW));
    ASSERT_TRUE(Add(s.get(), rsa, CERT_STORE_ADD_ALWAYS));
    EXPECT_EQ(Count(s.get()), 3);
    // Stable order, and the last call leaves CRYPT_E_NOT_FOUND.
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(s.get(), nullptr);
    EXPECT_EQ(c->cbCertEncoded, rsa.size());
    c = CertEnumCertificatesInStore(s.get(), c);
    EXPECT_EQ(c->cbCertEncoded, gost.size());
    c = CertEnumCertificatesInStore(s.get(), c);
    c = CertEnumCertificatesInStore(s.get(), c);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    EXPECT_FALSE(Add(s.get(), rsa, 99));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(MemoryStore, FindTypesAndDelete)
{
    const Fixtures& f = GetFixtures();
    UniqueStore s = Memory();
    Bytes rsa = ReadBytes(f.rsaDer), gost = ReadBytes(f.gostDer);
    ASSERT_TRUE(Add(s.get(), rsa, CERT_STORE_ADD_NEW));
    ASSERT_TRUE(Add(s.get(), gost, CERT_STORE_ADD_NEW));
    UniqueCert byName(
        CertFindCertificateInStore(s.get(), kEnc, 0, CERT_FIND_SUBJECT_STR_W, u"gost SIGNER", nullptr));
    ASSERT_TRUE(byName);
    EXPECT_EQ(byName->cbCertEncoded, gost.size());
    UniqueCert byIssuer(
        CertFindCertificateInStore(s.get(), kEnc, 0, CERT_FIND_ISSUER_STR_A, "o=org, cn=TEST", nullptr));
    ASSERT_TRUE(byIssuer);
    EXPECT_EQ(byIssuer->cbCertEncoded, rsa.size());
    Bytes hash = Sha1Of(byName.get());
    UniqueCert byHash = FindHash(s.get(), hash);
    EXPECT_EQ(byHash.get(), byName.get());
    UniqueCert existing(
        CertFindCertificateInStore(s.get(), kEnc, 0, CERT_FIND_EXISTING, byIssuer.get(), nullptr));
    EXPECT_EQ(existing.get(), byIssuer.get());
    hash[0] ^= 1;
    SetLastError(0);
    EXPECT_FALSE(FindHash(s.get(), hash));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    // Find with a previous context frees it and goes on after it.
    PCCERT_CONTEXT any = CertFindCertificateInStore(s.get(), kEnc, 0, CERT_FIND_ANY, nullptr, nullptr);
    any = CertFindCertificateInStore(s.get(), kEnc, 0, CERT_FIND_ANY, nullptr, any);
    EXPECT_EQ(any->cbCertEncoded, gost.size());
    EXPECT_EQ(CertFindCertificateInStore(s.get(), kEnc, 0, CERT_FIND_ANY, nullptr, any), nullptr);
    // Delete frees the context passed; other references stay valid.
    ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(byName.get())));
    EXPECT_EQ(Count(s.get()), 1);
    EXPECT_EQ(byName->cbCertEncoded, gost.size());
}

TEST(SystemStore, RegistryLayoutLocationsAndCase)
{
    const Fixtures& f = GetFixtures();
    SetLastError(0);
    EXPECT_FALSE(System(u"NoSuchStore", CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    Bytes gost = ReadBytes(f.gostDer);
    Bytes hash;
    {
        UniqueStore my = System(u"LayoutMy");
        ASSERT_TRUE(my);
        PCCERT_CONTEXT c = nullptr;
        ASSERT_TRUE(Add(my.get(), gost, CERT_STORE_ADD_NEW, &c));
        UniqueCert guard(c);
        hash = Sha1Of(c);
        CRYPT_DATA_BLOB name{10, reinterpret_cast<BYTE*>(const_cast<char16_t*>(u"Name"))};
        ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &name));
    }
    using namespace trumik::platform;
    std::u16string path = u"Software\\Microsoft\\SystemCertificates\\LayoutMy\\Certificates\\" +
                          U16(Hex(hash.data(), hash.size()));
    auto key = OpenRegistryKey(HKEY_CURRENT_USER, path);
    ASSERT_TRUE(key);
    DWORD type = 0;
    auto blob = QueryRegistryValue(key.get(), u"Blob", &type);
    ASSERT_TRUE(blob);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    // { 11, 1, 10, "Name\0" } then { 32, 1, len, cert }.
    ASSERT_EQ(blob->size(), 12 + 10 + 12 + gost.size());
    auto dword = [&](size_t at) {
        DWORD v;
        std::memcpy(&v, blob->data() + at, 4);
        return v;
    };
    EXPECT_EQ(dword(0), static_cast<DWORD>(CERT_FRIENDLY_NAME_PROP_ID));
    EXPECT_EQ(dword(4), 1u);
    EXPECT_EQ(dword(8), 10u);
    EXPECT_EQ(dword(22), 32u);
    EXPECT_EQ(dword(30), gost.size());
    EXPECT_EQ(0, std::memcmp(blob->data() + 34, gost.data(), gost.size()));
    // Another case of the name is the same store; the machine's is another.
    UniqueStore upper = System(u"LAYOUTMY", CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_TRUE(upper);
    EXPECT_TRUE(FindHash(upper.get(), hash));
    UniqueStore machine = System(u"LayoutMy", CERT_SYSTEM_STORE_LOCAL_MACHINE);
    ASSERT_TRUE(machine);
    EXPECT_FALSE(FindHash(machine.get(), hash));
    EXPECT_EQ(Count(machine.get()), 0);
    EXPECT_TRUE(OpenRegistryKey(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\SystemCertificates\\LayoutMy"));
    // Read-only stores refuse writes.
    UniqueStore ro = System(u"LayoutMy", CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG);
    SetLastError(0);
    EXPECT_FALSE(Add(ro.get(), ReadBytes(f.rsaDer), CERT_STORE_ADD_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));
    // Deleting removes the registry key.
    UniqueCert c = FindHash(upper.get(), hash);
    ASSERT_TRUE(CertDeleteCertificateFromStore(c.release()));
    EXPECT_FALSE(OpenRegistryKey(HKEY_CURRENT_USER, path));
}

TEST(SystemStore, KeyProvInfoIsSelfRelativeInTheBlob)
{
    Bytes rsa = ReadBytes(GetFixtures().rsaDer);
    UniqueStore my = System(u"ProvLayout");
    PCCERT_CONTEXT c = nullptr;
    ASSERT_TRUE(Add(my.get(), rsa, CERT_STORE_ADD_NEW, &c));
    UniqueCert guard(c);
    SetProvInfo(c, u"ab");
    Bytes hash = Sha1Of(c);
    auto key = trumik::platform::OpenRegistryKey(
        HKEY_CURRENT_USER,
        u"Software\\Microsoft\\SystemCertificates\\ProvLayout\\Certificates\\" + U16(Hex(hash.data(), 20)));
    ASSERT_TRUE(key);
    auto blob = trumik::platform::QueryRegistryValue(key.get(), u"Blob");
    ASSERT_TRUE(blob);
    auto dword = [&](size_t at) {
        DWORD v;
        std::memcpy(&v, blob->data() + at, 4);
        return v;
    };
    ASSERT_EQ(dword(0), static_cast<DWORD>(CERT_KEY_PROV_INFO_PROP_ID));
    const BYTE* p = blob->data() + 12;
    auto field = [&](size_t at) {
        DWORD v;
        std::memcpy(&v, p + at, 4);
        return v;
    };
    std::u16string provider(CP_GR3410_2001_PROV_W);
    EXPECT_EQ(field(0), 28u);     // container name right after the header
    EXPECT_EQ(field(4), 28u + 6); // "ab\0"
    EXPECT_EQ(field(8), 75u);
    EXPECT_EQ(field(16), 1u);
    size_t table = (28 + 6 + (provider.size() + 1) * 2 + 3) & ~size_t{3};
    EXPECT_EQ(field(20), table);
    EXPECT_EQ(field(24), static_cast<DWORD>(AT_KEYEXCHANGE));
    EXPECT_EQ(field(table), 7u);             // dwParam
    EXPECT_EQ(field(table + 4), table + 16); // its data
    EXPECT_EQ(field(table + 8), 3u);
    EXPECT_EQ(dword(8), table + 16 + 3); // the element's length
    EXPECT_EQ(0, std::memcmp(p + 28, u"ab", 6));
}

TEST(SystemStore, PropertiesPersistAcrossReopen)
{
    Bytes rsa = ReadBytes(GetFixtures().rsaDer);
    Bytes hash;
    {
        UniqueStore my = System(u"PersistMy");
        PCCERT_CONTEXT c = nullptr;
        ASSERT_TRUE(Add(my.get(), rsa, CERT_STORE_ADD_NEW, &c));
        UniqueCert guard(c);
        hash = Sha1Of(c);
        SetProvInfo(c, u"container-1");
        DWORD spec = 0, n = 4;
        EXPECT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_SPEC_PROP_ID, &spec, &n));
        EXPECT_EQ(spec, static_cast<DWORD>(AT_KEYEXCHANGE));
    }
    UniqueStore my = System(u"persistmy");
    UniqueCert c = FindHash(my.get(), hash);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->hCertStore, my.get());
    ExpectProvInfo(c.get(), u"container-1");
    EXPECT_EQ(CertEnumCertificateContextProperties(c.get(), 0),
              static_cast<DWORD>(CERT_KEY_PROV_INFO_PROP_ID));
    EXPECT_EQ(CertEnumCertificateContextProperties(c.get(), CERT_KEY_PROV_INFO_PROP_ID), 0u);
    // pvData null deletes, and the deletion persists too.
    ASSERT_TRUE(CertSetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
    c.reset();
    my.reset();
    my = System(u"PersistMy");
    c = FindHash(my.get(), hash);
    DWORD n = 0;
    SetLastError(0);
    EXPECT_FALSE(CertGetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    // MD5 on demand.
    BYTE md5[16];
    n = 16;
    EXPECT_TRUE(CertGetCertificateContextProperty(c.get(), CERT_MD5_HASH_PROP_ID, md5, &n));
    EXPECT_EQ(n, 16u);
}

// Run by the test below in a child process on the same root.
TEST(SystemStore, ChildWritesProperty)
{
    const char* hex = std::getenv("CRYPT_CHILD_CERT");
    if (!hex)
        GTEST_SKIP() << "runs as the child of PropertiesPersistAcrossProcesses";
    // The test main gave this process a root of its own: use the parent's.
    setenv("TRUMIK_HOME", std::getenv("CRYPT_CHILD_HOME"), 1);
    Bytes der = ReadBytes(hex);
    UniqueStore my = System(u"ProcMy");
    PCCERT_CONTEXT c = nullptr;
    ASSERT_TRUE(Add(my.get(), der, CERT_STORE_ADD_REPLACE_EXISTING, &c));
    UniqueCert guard(c);
    SetProvInfo(c, u"from-child");
}

TEST(SystemStore, PropertiesPersistAcrossProcesses)
{
    if (std::getenv("CRYPT_CHILD_CERT"))
        GTEST_SKIP();
    const Fixtures& f = GetFixtures();
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string home = trumik::testing::TestHome().string();
    Sh("CRYPT_CHILD_HOME='" + home + "' CRYPT_CHILD_CERT='" + f.gostDer.string() + "' '" + self +
       "' --gtest_filter=SystemStore.ChildWritesProperty 2>&1");
    UniqueStore my = System(u"ProcMy", CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_TRUE(my);
    UniqueCert c(CertEnumCertificatesInStore(my.get(), nullptr));
    ASSERT_TRUE(c);
    ExpectProvInfo(c.get(), u"from-child");
}

TEST(SystemStore, CloseWithCheckFlagWhileAContextIsHeld)
{
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CloseMy");
    ASSERT_TRUE(s);
    PCCERT_CONTEXT c = nullptr;
    Bytes rsa = ReadBytes(GetFixtures().rsaDer);
    ASSERT_TRUE(Add(s, rsa, CERT_STORE_ADD_REPLACE_EXISTING, &c));
    HCERTSTORE dup = CertDuplicateStore(s);
    EXPECT_EQ(dup, s);
    EXPECT_TRUE(CertCloseStore(dup, CERT_CLOSE_STORE_CHECK_FLAG));
    SetLastError(0);
    EXPECT_FALSE(CertCloseStore(s, CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
    // The context and its store stay usable until the context goes.
    EXPECT_EQ(c->hCertStore, s);
    EXPECT_EQ(Sha1Of(c).size(), 20u);
    CertFreeCertificateContext(c);
    HCERTSTORE t = CertOpenSystemStoreW(0, u"CloseMy");
    EXPECT_TRUE(CertCloseStore(t, CERT_CLOSE_STORE_CHECK_FLAG));
}

TEST(FileStore, FormatsAndErrors)
{
    const Fixtures& f = GetFixtures();
    struct Case {
        std::filesystem::path path;
        int certs;
        int crls;
    };
    for (const Case& c : std::vector<Case>{{f.rsaDer, 1, 0},
                                           {f.rsaPem, 1, 0},
                                           {f.twoPem, 2, 0},
                                           {f.pkcs7Der, 2, 0},
                                           {f.pkcs7Pem, 2, 0},
                                           {f.crlDer, 0, 1},
                                           {f.crlPem, 0, 1}}) {
        UniqueStore s = File(c.path);
        ASSERT_TRUE(s) << c.path << " " << std::hex << GetLastError();
        EXPECT_EQ(Count(s.get()), c.certs) << c.path;
        int crls = 0;
        for (PCCRL_CONTEXT crl = CertEnumCRLsInStore(s.get(), nullptr); crl;
             crl = CertEnumCRLsInStore(s.get(), crl))
            ++crls;
        EXPECT_EQ(crls, c.crls) << c.path;
    }
    UniqueStore p7 = File(f.pkcs7Der);
    UniqueCert first(CertEnumCertificatesInStore(p7.get(), nullptr));
    EXPECT_EQ(first->cbCertEncoded, ReadBytes(f.rsaDer).size());
    SetLastError(0);
    EXPECT_FALSE(File(f.dir / "missing.cer"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    WriteBytes(f.dir / "garbage.bin", Bytes{'h', 'e', 'l', 'l', 'o'});
    SetLastError(0);
    EXPECT_FALSE(File(f.dir / "garbage.bin"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_FILE_ERROR));
    Bytes rsa = ReadBytes(f.rsaDer);
    WriteBytes(f.dir / "cut.der", Bytes(rsa.begin(), rsa.begin() + 100));
    SetLastError(0);
    EXPECT_FALSE(File(f.dir / "cut.der"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    WriteBytes(f.dir / "badpem.pem", Bytes{'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N', ' ', 'X'});
    EXPECT_FALSE(File(f.dir / "badpem.pem"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_FILE_ERROR));
}

TEST(FileStore, SavedStoreReadsBackWithProperties)
{
    const Fixtures& f = GetFixtures();
    UniqueStore s = Memory();
    PCCERT_CONTEXT c = nullptr;
    ASSERT_TRUE(Add(s.get(), ReadBytes(f.gostDer), CERT_STORE_ADD_NEW, &c));
    SetProvInfo(c, u"saved");
    CertFreeCertificateContext(c);
    ASSERT_TRUE(Add(s.get(), ReadBytes(f.rsaDer), CERT_STORE_ADD_NEW));
    Bytes crl = ReadBytes(f.crlDer);
    ASSERT_TRUE(CertAddEncodedCRLToStore(s.get(), kEnc, crl.data(), static_cast<DWORD>(crl.size()),
                                         CERT_STORE_ADD_NEW, nullptr));
    CRYPT_DATA_BLOB blob{0, nullptr};
    ASSERT_TRUE(CertSaveStore(s.get(), kEnc, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
    Bytes mem(blob.cbData);
    blob.pbData = mem.data();
    blob.cbData -= 1;
    SetLastError(0);
    EXPECT_FALSE(CertSaveStore(s.get(), kEnc, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(blob.cbData, mem.size());
    ASSERT_TRUE(CertSaveStore(s.get(), kEnc, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_MEMORY, &blob, 0));
    EXPECT_EQ(Hex(mem.data(), 8), "0000000043455254");
    EXPECT_EQ(Hex(mem.data() + mem.size() - 12, 12), "000000000000000000000000");
    std::u16string path = U16((f.dir / "saved.sst").string());
    ASSERT_TRUE(CertSaveStore(s.get(), kEnc, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_FILENAME_W,
                              const_cast<char16_t*>(path.c_str()), 0));
    EXPECT_EQ(ReadBytes(f.dir / "saved.sst"), mem);
    UniqueStore back = File(f.dir / "saved.sst");
    ASSERT_TRUE(back);
    EXPECT_EQ(Count(back.get()), 2);
    UniqueCert first(CertEnumCertificatesInStore(back.get(), nullptr));
    ExpectProvInfo(first.get(), u"saved");
    PCCRL_CONTEXT rc = CertEnumCRLsInStore(back.get(), nullptr);
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(rc->cbCrlEncoded, crl.size());
    CertFreeCRLContext(rc);
    // PKCS #7 keeps certificates and CRLs, not properties.
    std::u16string p7 = U16((f.dir / "saved.p7b").string());
    ASSERT_TRUE(CertSaveStore(s.get(), kEnc, CERT_STORE_SAVE_AS_PKCS7, CERT_STORE_SAVE_TO_FILENAME_W,
                              const_cast<char16_t*>(p7.c_str()), 0));
    UniqueStore p7back = File(f.dir / "saved.p7b");
    ASSERT_TRUE(p7back);
    EXPECT_EQ(Count(p7back.get()), 2);
    // A serialized store with a length running past the end fails cleanly.
    Bytes cut(mem.begin(), mem.begin() + 40);
    WriteBytes(f.dir / "cut.sst", cut);
    SetLastError(0);
    EXPECT_FALSE(File(f.dir / "cut.sst"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_FILE_ERROR));
}

TEST(Revocation, RevokedGoodAndNoCrl)
{
    const Fixtures& f = GetFixtures();
    auto load = [](const std::filesystem::path& p) {
        Bytes b = ReadBytes(p);
        return UniqueCert(CertCreateCertificateContext(kEnc, b.data(), static_cast<DWORD>(b.size())));
    };
    UniqueCert revoked = load(f.revokedDer), good = load(f.goodDer), other = load(f.rsaDer);
    CERT_REVOCATION_STATUS status{sizeof status, 9, 9, 9, 0, 0};
    PVOID ctx[1] = {const_cast<CERT_CONTEXT*>(revoked.get())};
    // Nothing known about the CA yet.
    SetLastError(0);
    EXPECT_FALSE(CertVerifyRevocation(kEnc, CERT_CONTEXT_REVOCATION_TYPE, 1, ctx, CERT_VERIFY_REV_CHAIN_FLAG,
                                      nullptr, &status));
    EXPECT_EQ(status.dwError, static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK));
    // The CRL in a CRL store given by the caller.
    UniqueStore crls = Memory();
    Bytes crl = ReadBytes(f.crlDer);
    ASSERT_TRUE(CertAddEncodedCRLToStore(crls.get(), kEnc, crl.data(), static_cast<DWORD>(crl.size()),
                                         CERT_STORE_ADD_NEW, nullptr));
    CERT_REVOCATION_PARA para{sizeof para, nullptr, 0, nullptr, crls.get(), nullptr};
    EXPECT_FALSE(CertVerifyRevocation(kEnc, CERT_CONTEXT_REVOCATION_TYPE, 1, ctx, 0, &para, &status));
    EXPECT_EQ(status.dwError, static_cast<DWORD>(CRYPT_E_REVOKED));
    EXPECT_EQ(status.dwReason, static_cast<DWORD>(CRL_REASON_KEY_COMPROMISE));
    EXPECT_EQ(status.dwIndex, 0u);
    // The CRL and the CA in the user's CA store, found without parameters;
    // the CA's key verifies the CRL.
    {
        UniqueStore ca = System(u"CA");
        ASSERT_TRUE(CertAddEncodedCRLToStore(ca.get(), kEnc, crl.data(), static_cast<DWORD>(crl.size()),
                                             CERT_STORE_ADD_NEW, nullptr));
        ASSERT_TRUE(Add(ca.get(), ReadBytes(f.caDer), CERT_STORE_ADD_NEW));
    }
    status = CERT_REVOCATION_STATUS{sizeof status, 0, 0, 0, 0, 0};
    EXPECT_FALSE(CertVerifyRevocation(kEnc, CERT_CONTEXT_REVOCATION_TYPE, 1, ctx, CERT_VERIFY_REV_CHAIN_FLAG,
                                      nullptr, &status));
    EXPECT_EQ(status.dwError, static_cast<DWORD>(CRYPT_E_REVOKED));
    EXPECT_EQ(status.dwReason, static_cast<DWORD>(CRL_REASON_KEY_COMPROMISE));
    ctx[0] = const_cast<CERT_CONTEXT*>(good.get());
    status = CERT_REVOCATION_STATUS{sizeof status, 5, 5, 5, 0, 0};
    EXPECT_TRUE(CertVerifyRevocation(kEnc, CERT_CONTEXT_REVOCATION_TYPE, 1, ctx, CERT_VERIFY_REV_CHAIN_FLAG,
                                     nullptr, &status));
    EXPECT_EQ(status.dwError, 0u);
    EXPECT_EQ(status.dwReason, 0u);
    // A second context whose issuer has no CRL: its index is reported.
    PVOID two[2] = {const_cast<CERT_CONTEXT*>(good.get()), const_cast<CERT_CONTEXT*>(other.get())};
    // Without the chain flag each context's issuer is looked up in the stores.
    EXPECT_FALSE(CertVerifyRevocation(kEnc, CERT_CONTEXT_REVOCATION_TYPE, 2, two, 0, nullptr, &status));
    EXPECT_EQ(status.dwIndex, 1u);
    EXPECT_EQ(status.dwError, static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK));
    status.cbSize = 4;
    EXPECT_FALSE(CertVerifyRevocation(kEnc, CERT_CONTEXT_REVOCATION_TYPE, 1, ctx, 0, nullptr, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(SystemStore, LargeStoreFindsByThumbprint)
{
    // The time it takes is measured by the store benchmark; here only that a
    // store of 10,000 certificates still finds the one asked for.
    auto fill = [](const char16_t* name, int count, Bytes& middleHash) {
        UniqueStore s = System(name);
        for (int i = 0; i < count; ++i) {
            Bytes der = MakeQuickCert(i + 1, "Cert " + std::to_string(i));
            PCCERT_CONTEXT c = nullptr;
            ASSERT_TRUE(Add(s.get(), der, CERT_STORE_ADD_NEW, &c));
            if (i == count / 2)
                middleHash = Sha1Of(c);
            CertFreeCertificateContext(c);
        }
    };
    // Under AddressSanitizer, whose run unwinds every allocation in full,
    // a tenth of the store keeps the test within its time.
#if defined(__SANITIZE_ADDRESS__)
    constexpr int kCount = 1000;
#else
    constexpr int kCount = 10000;
#endif
    Bytes large;
    fill(u"Large", kCount, large);
    UniqueStore s = System(u"Large");
    UniqueCert c = FindHash(s.get(), large);
    ASSERT_TRUE(c);
    EXPECT_EQ(Sha1Of(c.get()), large);
    EXPECT_EQ(Count(s.get()), kCount);
}

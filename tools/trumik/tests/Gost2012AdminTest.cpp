// GOST R 34.10-2012 certificates made by trumik cert new, and PKCS #12 files
// in and out, checked with the platform's CryptoAPI and with the openssl
// command line and its GOST engine.
#include "TestHome.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

struct Outcome {
    int rc = -1;
    std::string out, err;
};

struct StoreClose {
    void operator()(void* s) const { CertCloseStore(s, 0); }
};
using Store = std::unique_ptr<void, StoreClose>;
struct CertFree {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
using Cert = std::unique_ptr<const CERT_CONTEXT, CertFree>;

class Gost2012AdminTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        build_ = build ? build : ".";
        dir_ = tt::MakeTempDir("admin2012");
    }

    static Outcome Trumik(const std::string& args)
    {
        Outcome o;
        fs::path err = dir_ / "stderr.txt";
        o.rc = tt::RunCommand((build_ / "bin" / "trumik").string() + " " + args + " 2>'" + err.string() + "'",
                              &o.out, false);
        o.err = tt::ReadFile(err);
        return o;
    }

    static std::string Sh(const std::string& command)
    {
        std::string out;
        EXPECT_EQ(tt::RunCommand("cd '" + dir_.string() + "' && " + command, &out), 0) << command << "\n"
                                                                                       << out;
        return out;
    }

    static std::string Path(const std::string& name) { return "'" + (dir_ / name).string() + "'"; }

    static std::string New(const std::string& args)
    {
        Outcome o = Trumik("cert new " + args);
        EXPECT_EQ(o.rc, 0) << args << "\n" << o.err;
        EXPECT_EQ(o.out.size(), 41u) << o.out;
        return o.out.substr(0, 40);
    }

    static Cert Find(const std::string& thumbprint, const char16_t* store = u"My")
    {
        Store s(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, store));
        std::vector<BYTE> hash;
        for (size_t i = 0; i + 1 < thumbprint.size(); i += 2)
            hash.push_back(static_cast<BYTE>(std::stoi(thumbprint.substr(i, 2), nullptr, 16)));
        CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
        return Cert(
            s ? CertFindCertificateInStore(s.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr)
              : nullptr);
    }

    struct Link {
        std::u16string container, provider;
        DWORD type = 0, keySpec = 0;
    };
    static Link LinkOf(PCCERT_CONTEXT c)
    {
        Link link;
        DWORD size = 0;
        if (!c || !CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
            return link;
        std::vector<uint64_t> buffer((size + 7) / 8);
        EXPECT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
        auto info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        link.container = info->pwszContainerName;
        link.provider = info->pwszProvName;
        link.type = info->dwProvType;
        link.keySpec = info->dwKeySpec;
        return link;
    }

    static std::string Sha1(const std::string& pemFile)
    {
        return Sh("openssl x509 -in " + pemFile + " -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'")
            .substr(0, 40);
    }

    // What a user sees of the stores and containers.
    static std::string State()
    {
        return Trumik("cert list").out + "|" + Trumik("cert list --store CA").out + "|" +
               Trumik("container list").out;
    }

    static fs::path build_;
    static fs::path dir_;
};

fs::path Gost2012AdminTest::build_;
fs::path Gost2012AdminTest::dir_;

// Signs data with the certificate's linked key through CryptoAPI; openssl
// checks the signature with the certificate's public key.
void SignAndCheckWithOpenssl(PCCERT_CONTEXT cert, ALG_ID hashAlg, const std::string& mdOption,
                             const fs::path& dir, const std::string& pemName)
{
    HCRYPTPROV prov = 0;
    DWORD spec = 0;
    BOOL mustFree = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &prov, &spec,
                                                  &mustFree));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, hashAlg, 0, 0, &hash));
    const std::string data = "данные " + mdOption;
    ASSERT_TRUE(
        CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0));
    std::vector<BYTE> sig(128);
    DWORD sigLen = static_cast<DWORD>(sig.size());
    ASSERT_TRUE(CryptSignHashW(hash, spec, nullptr, 0, sig.data(), &sigLen));
    CryptDestroyHash(hash);
    if (mustFree)
        CryptReleaseContext(prov, 0);
    std::string reversed(sig.begin(), sig.begin() + sigLen);
    std::reverse(reversed.begin(), reversed.end());
    tt::WriteFile(dir / "signed.data", data);
    tt::WriteFile(dir / "signed.sig", reversed);
    std::string out;
    EXPECT_EQ(tt::RunCommand("cd '" + dir.string() + "' && openssl x509 -engine gost -in " + pemName +
                                 " -pubkey -noout > signer.pub 2>/dev/null && openssl dgst -engine gost " +
                                 mdOption + " -verify signer.pub -signature signed.sig signed.data 2>&1",
                             &out),
              0)
        << out;
}

TEST_F(Gost2012AdminTest, NewCertificatesOfEachAlgorithmAndTheirIssuers)
{
    const std::string ca = "--key-usage keyCertSign,cRLSign,digitalSignature --key-spec signature";
    std::string r256 =
        New("--subject CN=Root256 --algorithm gost2012-256 " + ca + " --out " + Path("r256.pem"));
    std::string r512 =
        New("--subject CN=Root512 --algorithm gost2012-512 " + ca + " --pin 77 --out " + Path("r512.pem"));
    std::string r2001 = New("--subject CN=Root2001 " + ca + " --out " + Path("r2001.pem"));
    // Leaves of each size under issuers of each kind: the signature follows the issuer's key.
    std::string l512 =
        New("--subject CN=L512 --algorithm gost2012-512 --issuer " + r256 + " --out " + Path("l512.pem"));
    std::string l256 = New("--subject CN=L256 --algorithm gost2012-256 --issuer " + r512 +
                           " --issuer-pin 77 --out " + Path("l256.pem"));
    std::string mixed =
        New("--subject CN=Mixed --algorithm gost2012-256 --issuer " + r2001 + " --out " + Path("mixed.pem"));
    std::string old = New("--subject CN=Old --issuer " + r512 + " --issuer-pin 77 --out " + Path("old.pem"));

    struct Expect {
        std::string thumb, pem, sigOid, keyOid, provider;
        DWORD type;
    };
    const std::string p2001 = CP_GR3410_2001_PROV_A, p256 = CP_GR3410_2012_PROV_A,
                      p512 = CP_GR3410_2012_STRONG_PROV_A;
    const std::vector<Expect> all = {
        {r256, "r256.pem", "1.2.643.7.1.1.3.2", "1.2.643.7.1.1.1.1", p256, 80},
        {r512, "r512.pem", "1.2.643.7.1.1.3.3", "1.2.643.7.1.1.1.2", p512, 81},
        {r2001, "r2001.pem", "1.2.643.2.2.3", "1.2.643.2.2.19", p2001, 75},
        {l512, "l512.pem", "1.2.643.7.1.1.3.2", "1.2.643.7.1.1.1.2", p512, 81},
        {l256, "l256.pem", "1.2.643.7.1.1.3.3", "1.2.643.7.1.1.1.1", p256, 80},
        {mixed, "mixed.pem", "1.2.643.2.2.3", "1.2.643.7.1.1.1.1", p256, 80},
        {old, "old.pem", "1.2.643.7.1.1.3.3", "1.2.643.2.2.19", p2001, 75},
    };
    for (const Expect& e : all) {
        SCOPED_TRACE(e.pem);
        Cert c = Find(e.thumb);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->pCertInfo->SignatureAlgorithm.pszObjId, e.sigOid);
        EXPECT_EQ(c->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId, e.keyOid);
        Link link = LinkOf(c.get());
        EXPECT_EQ(link.type, e.type);
        EXPECT_EQ(link.provider, std::u16string(e.provider.begin(), e.provider.end()));
    }
    // openssl agrees with every chain.
    for (const auto& [root, leaf] :
         std::vector<std::pair<std::string, std::string>>{{"r256.pem", "l512.pem"},
                                                          {"r512.pem", "l256.pem"},
                                                          {"r2001.pem", "mixed.pem"},
                                                          {"r512.pem", "old.pem"}})
        EXPECT_NE(
            Sh("openssl verify -engine gost -CAfile " + root + " " + leaf + " 2>&1").find(leaf + ": OK"),
            std::string::npos)
            << leaf;
    EXPECT_NE(Sh("openssl x509 -engine gost -in l256.pem -noout -text 2>/dev/null")
                  .find("Signature Algorithm: GOST R 34.10-2012 with GOST R 34.11-2012 (512 bit)"),
              std::string::npos);
    EXPECT_NE(Sh("openssl x509 -engine gost -in r512.pem -noout -text 2>/dev/null")
                  .find("Parameter set: GOST R 34.10-2012 (512 bit) ParamSet A"),
              std::string::npos);

    // The linked keys sign with the digest of their own size.
    SignAndCheckWithOpenssl(Find(l512).get(), CALG_GR3411_2012_512, "-md_gost12_512", dir_, "l512.pem");
    SignAndCheckWithOpenssl(Find(mixed).get(), CALG_GR3411_2012_256, "-md_gost12_256", dir_, "mixed.pem");

    Outcome bad = Trumik("cert new --subject CN=x --algorithm gost2015");
    EXPECT_EQ(bad.rc, 2);
    EXPECT_NE(bad.err.find("--algorithm is gost2001, gost2012-256 or gost2012-512"), std::string::npos)
        << bad.err;
}

TEST_F(Gost2012AdminTest, PfxFilesOfOpensslImportWithTheirKeys)
{
    // A 2012-256 authority; leaves of each kind; files in both forms.
    Sh("openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -md_gost12_256 -nodes "
       "-keyout ca.key -out ca.pem -days 30 -subj /CN=PfxCA -addext keyUsage=critical,keyCertSign 2>&1");
    struct Leaf {
        std::string name, algorithm, paramset, md;
        DWORD type;
    };
    const std::vector<Leaf> leaves = {{"k256", "gost2012_256", "A", "-md_gost12_256", 80},
                                      {"k512", "gost2012_512", "A", "-md_gost12_512", 81},
                                      {"k2001", "gost2001", "A", "-md_gost94", 75}};
    for (const Leaf& l : leaves) {
        SCOPED_TRACE(l.name);
        Sh("openssl req -engine gost -new -newkey " + l.algorithm + " -pkeyopt paramset:" + l.paramset +
           " -nodes -keyout " + l.name + ".key -subj /CN=" + l.name + " -out " + l.name +
           ".csr 2>&1 && openssl x509 -engine gost -req -in " + l.name + ".csr -CA ca.pem -CAkey ca.key " +
           "-CAcreateserial -md_gost12_256 -days 30 -out " + l.name + ".pem 2>&1");
        // OpenSSL's defaults (PBES2 with AES-256, SHA-256 MAC), and the GOST form.
        Sh("openssl pkcs12 -engine gost -export -inkey " + l.name + ".key -in " + l.name +
           ".pem -certfile ca.pem -out " + l.name + ".aes.pfx -passout pass:секрет 2>&1");
        Sh("openssl pkcs12 -engine gost -export -inkey " + l.name + ".key -in " + l.name + ".pem -out " +
           l.name + ".gost.pfx -passout pass:pw -keypbe gost89 -certpbe gost89 -macalg md_gost12_256 2>&1");
        std::string thumb = Sha1(l.name + ".pem");
        std::string ca = Sha1("ca.pem");

        Outcome o = Trumik("cert import --pfx " + Path(l.name + ".aes.pfx") +
                           " --password секрет --container " + l.name + "a --pin 1234");
        ASSERT_EQ(o.rc, 0) << o.err;
        EXPECT_EQ(o.out, thumb + "\n" + ca + "\n");
        Cert c = Find(thumb);
        ASSERT_TRUE(c);
        Link link = LinkOf(c.get());
        EXPECT_EQ(link.container, std::u16string(l.name.begin(), l.name.end()) + u"a");
        EXPECT_EQ(link.type, l.type);
        EXPECT_EQ(link.keySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
        EXPECT_TRUE(Find(ca));
        // PIN-protected at rest: the wrong PIN does not open it, the right one gives the same key.
        EXPECT_EQ(Trumik("container export " + l.name + "a --pin 4321 --out " + Path("x.key")).rc, 1);
        ASSERT_EQ(Trumik("container export " + l.name + "a --pin 1234 --out " + Path(l.name + ".back")).rc,
                  0);
        EXPECT_EQ(Sh("openssl pkey -engine gost -in " + l.name + ".back -pubout 2>/dev/null"),
                  Sh("openssl pkey -engine gost -in " + l.name + ".key -pubout 2>/dev/null"));

        // The GOST form, into a second container (the certificate is linked to it now).
        o = Trumik("cert import --pfx " + Path(l.name + ".gost.pfx") + " --password pw --container " +
                   l.name + "g");
        ASSERT_EQ(o.rc, 0) << o.err;
        EXPECT_EQ(o.out, thumb + "\n");
        if (l.type != 75)
            SignAndCheckWithOpenssl(Find(thumb).get(),
                                    l.type == 80 ? CALG_GR3411_2012_256 : CALG_GR3411_2012_512, l.md, dir_,
                                    l.name + ".pem");

        // Out again in the GOST form; openssl reads it and finds the same key.
        o = Trumik("cert export " + thumb + " --pfx " + Path(l.name + ".out.pfx") + " --password выход");
        ASSERT_EQ(o.rc, 0) << o.err;
        std::string info =
            Sh("openssl pkcs12 -engine gost -in " + l.name + ".out.pfx -info -noout -passin pass:выход 2>&1");
        EXPECT_NE(info.find("MAC: GOST R 34.11-2012 with 256 bit hash"), std::string::npos) << info;
        EXPECT_NE(info.find("Shrouded Keybag: PBES2, PBKDF2, gost89"), std::string::npos) << info;
        EXPECT_NE(info.find("PKCS7 Encrypted data: PBES2, PBKDF2, gost89"), std::string::npos) << info;
        EXPECT_EQ(Sh("openssl pkcs12 -engine gost -in " + l.name +
                     ".out.pfx -nocerts -nodes -passin pass:выход 2>/dev/null | openssl pkey -engine gost "
                     "-pubout 2>/dev/null"),
                  Sh("openssl pkey -engine gost -in " + l.name + ".key -pubout 2>/dev/null"));
        EXPECT_EQ(Sh("openssl pkcs12 -engine gost -in " + l.name +
                     ".out.pfx -nokeys -passin pass:выход 2>/dev/null | openssl x509 -outform DER | sha1sum"),
                  Sh("openssl x509 -in " + l.name + ".pem -outform DER | sha1sum"));
        struct stat st {};
        ASSERT_EQ(stat((dir_ / (l.name + ".out.pfx")).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        // ... and our own file comes back in.
        o = Trumik("cert import --pfx " + Path(l.name + ".out.pfx") + " --password выход --container " +
                   l.name + "r --key-spec signature");
        EXPECT_EQ(o.rc, 0) << o.err;
        EXPECT_EQ(LinkOf(Find(thumb).get()).keySpec, static_cast<DWORD>(AT_SIGNATURE));
    }
}

TEST_F(Gost2012AdminTest, BadPfxFilesChangeNothing)
{
    Sh("openssl req -x509 -engine gost -newkey gost2012_512 -pkeyopt paramset:A -md_gost12_512 -nodes "
       "-keyout b.key -out b.pem -days 30 -subj /CN=Bad 2>&1 && "
       "openssl req -x509 -engine gost -newkey gost2012_256 -pkeyopt paramset:A -md_gost12_256 -nodes "
       "-keyout o.key -out o.pem -days 30 -subj /CN=Other 2>&1 && "
       "openssl pkcs12 -engine gost -export -inkey b.key -in b.pem -out b.pfx -passout pass:right "
       "-keypbe gost89 -certpbe gost89 -macalg md_gost12_256 2>&1 && "
       "openssl pkcs12 -engine gost -export -nokeys -in b.pem -out nokey.pfx -passout pass:right 2>&1 && "
       "openssl pkcs12 -engine gost -export -inkey b.key -nocerts -certfile o.pem -out stranger.pfx "
       "-passout pass:right 2>&1 && "
       "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out rsa.key 2>&1 && "
       "openssl req -x509 -new -key rsa.key -subj /CN=Rsa -out rsa.pem 2>&1 && "
       "openssl pkcs12 -export -inkey rsa.key -in rsa.pem -out rsa.pfx -passout pass:right 2>&1");
    // The MAC's digest lies 14 bytes before the end (salt and iteration count follow it).
    std::string pfx = tt::ReadFile(dir_ / "b.pfx");
    std::string mac = pfx;
    mac[mac.size() - 20] ^= 0x01;
    tt::WriteFile(dir_ / "mac.pfx", mac);
    tt::WriteFile(dir_ / "cut.pfx", pfx.substr(0, pfx.size() / 2));
    ASSERT_EQ(Trumik("cert import --pfx " + Path("b.pfx") + " --password right --container taken").rc, 0);
    std::string thumb = Sha1("b.pem");
    ASSERT_EQ(Trumik("cert delete " + thumb).rc, 0); // the container "taken" stays

    const std::string before = State();
    const std::string p = (dir_ / "").string();
    struct Case {
        std::string args, err;
    };
    const std::vector<Case> cases = {
        {"b.pfx --password wrong --container c1",
         "trumik: the password does not open " + p +
             "b.pfx: its integrity check (MAC) fails; the password is wrong or the file is damaged\n"},
        {"b.pfx --container c1",
         "trumik: no password (give --password) does not open " + p +
             "b.pfx: its integrity check (MAC) fails; the password is wrong or the file is damaged\n"},
        {"mac.pfx --password right --container c1",
         "trumik: the password does not open " + p +
             "mac.pfx: its integrity check (MAC) fails; the password is wrong or the file is damaged\n"},
        {"nokey.pfx --password right --container c1",
         "trumik: no private key in " + p + "nokey.pfx: 0x8009000D - Ключ не существует.\n"},
        {"stranger.pfx --password right --container c1",
         "trumik: the private key in " + p +
             "stranger.pfx belongs to none of its certificates: 0x80090015 - Неправильный открытый ключ "
             "поставщика.\n"},
        {"rsa.pfx --password right --container c1", "trumik: the private key in " + p +
                                                        "rsa.pfx is not a GOST R 34.10-2001 or 2012 key: "
                                                        "0x80090008 - Указан неправильный алгоритм.\n"},
        {"cut.pfx --password right --container c1",
         "trumik: " + p +
             "cut.pfx is not a PKCS #12 file: 0x8009310B - ASN1: обнаружено неверное значение тега.\n"},
        {"b.pfx --password right --container taken", ""},
    };
    for (const Case& c : cases) {
        std::string args = c.args;
        args.insert(0, "'" + p);
        args.insert(args.find(".pfx") + 4, "'");
        Outcome o = Trumik("cert import --pfx " + args);
        EXPECT_EQ(o.rc, 1) << c.args;
        if (!c.err.empty())
            EXPECT_EQ(o.err, c.err) << c.args;
        else
            EXPECT_NE(o.err.find("cannot create the container \"taken\": 0x8009000F"), std::string::npos)
                << o.err;
        EXPECT_EQ(State(), before) << c.args;
    }
    EXPECT_FALSE(Find(thumb));
    // Usage errors.
    EXPECT_EQ(Trumik("cert import --pfx " + Path("b.pfx") + " --password right").rc, 2);
    EXPECT_EQ(Trumik("cert import " + Path("b.pem") + " --password right").rc, 2);
    EXPECT_EQ(Trumik("cert export " + Sha1("o.pem") + " --pfx " + Path("x.pfx")).rc, 1); // not in the store
}

} // namespace

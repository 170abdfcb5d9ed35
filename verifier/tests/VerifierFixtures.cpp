#include "VerifierFixtures.h"

#include "TestHome.h"

#include <wincrypt.h>
#include <winnls.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>

namespace trumik::verifiertest {

std::string Sh(const std::string& command)
{
    std::string out;
    int rc = trumik::testing::RunCommand(command, &out, true);
    EXPECT_EQ(rc, 0) << command << "\n" << out;
    return out;
}

std::u16string U16(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Utf8(const std::u16string& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

DATE Date(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    DATE date = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &date));
    return date;
}

fs::path MakeTimedCert(const std::string& name, const std::string& notBefore, const std::string& notAfter,
                       unsigned keyUsage)
{
    static EVP_PKEY* key = EVP_EC_gen("P-256");
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 7);
    ASN1_TIME_set_string(X509_getm_notBefore(x.get()), notBefore.c_str());
    ASN1_TIME_set_string(X509_getm_notAfter(x.get()), notAfter.c_str());
    X509_NAME* subject = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(x.get(), subject);
    X509_set_pubkey(x.get(), key);
    if (keyUsage) {
        std::string value;
        const char* names[] = {"digitalSignature", "nonRepudiation", "keyEncipherment", "dataEncipherment"};
        for (unsigned bit = 0; bit < 4; ++bit) {
            if (keyUsage & (0x80u >> bit))
                value += std::string(value.empty() ? "" : ",") + names[bit];
        }
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, value.c_str());
        X509_add_ext(x.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(x.get(), key, EVP_sha256());
    fs::path path = GetFixtures().dir / (name + ".der");
    std::unique_ptr<FILE, decltype(&fclose)> f(fopen(path.c_str(), "wb"), fclose);
    i2d_X509_fp(f.get(), x.get());
    return path;
}

namespace {

const char* kCaConfig = R"([ca]
default_ca = local
[local]
dir = .
database = ./index.txt
new_certs_dir = .
certificate = ./ca.pem
private_key = ./ca.key
serial = ./serial
crlnumber = ./crlnumber
default_md = sha256
default_days = 30
default_crl_days = 30
policy = anything
[anything]
commonName = supplied
)";

void AddCrlToUserCaStore(const fs::path& crlDer, const fs::path& caDer)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA");
    ASSERT_NE(store, nullptr);
    std::string crl = trumik::testing::ReadFile(crlDer);
    std::string ca = trumik::testing::ReadFile(caDer);
    EXPECT_TRUE(CertAddEncodedCRLToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(crl.data()),
                                         static_cast<DWORD>(crl.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                         nullptr));
    EXPECT_TRUE(CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(ca.data()), static_cast<DWORD>(ca.size()),
        CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    CertCloseStore(store, 0);
}

Fixtures Make()
{
    Fixtures f;
    f.dir = trumik::testing::MakeTempDir("verifier-fixtures");
    const std::string cd = "cd '" + f.dir.string() + "' && ";
    Sh(cd + "openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -md_gost94 -nodes "
            "-keyout gost.key -out gost.pem -days 30 -subj '/CN=Gost Signer/O=Org' "
            "-addext 'keyUsage=digitalSignature,nonRepudiation' 2>&1 && "
            "openssl x509 -in gost.pem -outform DER -out gost.der");
    Sh(cd + "openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -out rsa.pem -days 30 -subj '/CN=Rsa' "
            "-addext 'keyUsage=digitalSignature,nonRepudiation' 2>&1 && "
            "openssl x509 -in rsa.pem -outform DER -out rsa.der");
    Sh(cd +
       "openssl req -new -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout g2.key "
       "-out g2.csr -subj '/CN=Gost key, RSA issuer' 2>&1 && "
       "openssl x509 -engine gost -req -in g2.csr -CA rsa.pem -CAkey rsa.key -set_serial 5 -days 30 -sha256 "
       "-outform DER -out gost-rsa.der 2>&1");
    Sh(cd + "openssl crl2pkcs7 -nocrl -certfile rsa.pem -certfile gost.pem -outform DER -out p7.der");
    Sh(cd + "head -c 700 /dev/urandom > random.bin");
    {
        HCERTSTORE empty = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        EXPECT_TRUE(CertSaveStore(empty, 0, CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_TO_FILENAME_A,
                                  const_cast<char*>((f.dir / "empty.sst").c_str()), 0));
        CertCloseStore(empty, 0);
    }
    std::ofstream(f.dir / "ca.cnf") << kCaConfig;
    Sh(cd +
       "touch index.txt && echo 1000 > serial && echo 01 > crlnumber && "
       "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj '/CN=Test CA' "
       "2>&1 && openssl x509 -in ca.pem -outform DER -out ca.der");
    for (const char* name : {"good", "kc", "sup", "hold", "unspec"}) {
        Sh(cd + "openssl req -new -newkey rsa:2048 -nodes -keyout " + name + ".key -out " + name +
           ".csr -subj '/CN=" + name + "' 2>&1 && openssl ca -batch -config ca.cnf -in " + name +
           ".csr -out " + name + ".pem 2>&1 && openssl x509 -in " + name + ".pem -outform DER -out " + name +
           ".der");
    }
    Sh(cd + "openssl ca -config ca.cnf -revoke kc.pem -crl_reason keyCompromise 2>&1 && "
            "openssl ca -config ca.cnf -revoke sup.pem -crl_reason superseded 2>&1 && "
            "openssl ca -config ca.cnf -revoke hold.pem -crl_hold holdInstructionNone 2>&1 && "
            "openssl ca -config ca.cnf -revoke unspec.pem 2>&1 && "
            "openssl ca -config ca.cnf -gencrl -out crl.pem 2>&1 && "
            "openssl crl -in crl.pem -outform DER -out crl.der");
    AddCrlToUserCaStore(f.dir / "crl.der", f.dir / "ca.der");
    f.gostDer = f.dir / "gost.der";
    f.gostPem = f.dir / "gost.pem";
    f.gostKey = f.dir / "gost.key";
    f.gostKeyRsaSignedDer = f.dir / "gost-rsa.der";
    f.rsaDer = f.dir / "rsa.der";
    f.rsaPem = f.dir / "rsa.pem";
    f.rsaKey = f.dir / "rsa.key";
    f.pkcs7Der = f.dir / "p7.der";
    f.emptyStore = f.dir / "empty.sst";
    f.randomBytes = f.dir / "random.bin";
    f.goodDer = f.dir / "good.der";
    f.keyCompromiseDer = f.dir / "kc.der";
    f.supersededDer = f.dir / "sup.der";
    f.holdDer = f.dir / "hold.der";
    f.unspecifiedDer = f.dir / "unspec.der";
    // Signed by an issuer of which no store holds a CRL.
    f.noCrlDer = f.gostKeyRsaSignedDer;
    return f;
}

} // namespace

const Fixtures& GetFixtures()
{
    static Fixtures f = Make();
    return f;
}

} // namespace trumik::verifiertest

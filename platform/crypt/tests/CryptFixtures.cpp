#include "CryptFixtures.h"

#include "TestHome.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <mutex>

namespace trumik::crypttest {

std::string Sh(const std::string& command)
{
    std::string out;
    int rc = trumik::testing::RunCommand(command, &out, true);
    EXPECT_EQ(rc, 0) << command << "\n" << out;
    return out;
}

Bytes ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::u16string U16(const std::string& s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out += c;
            ++i;
        } else if ((c >> 5) == 6) {
            out += static_cast<char16_t>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
            i += 2;
        } else {
            out += static_cast<char16_t>(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
            i += 3;
        }
    }
    return out;
}

std::string Hex(const BYTE* data, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
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

Fixtures Make()
{
    Fixtures f;
    f.dir = trumik::testing::MakeTempDir("crypt-fixtures");
    std::string cd = "cd '" + f.dir.string() + "' && ";
    auto path = [&](const char* n) { return f.dir / n; };
    // RSA, subject in DER order O then CN, serial 0x0102A3, SHA-1 signature.
    Sh(cd + "openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -out rsa.pem -days 30 -sha1 "
            "-set_serial 0x0102A3 -subj '/O=Org/CN=Test' 2>&1 && openssl x509 -in rsa.pem -outform DER -out "
            "rsa.der");
    Sh(cd + "openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -md_gost94 -nodes "
            "-keyout gost.key -out gost.pem -days 30 -subj '/CN=Gost Signer/O=Org' "
            "-addext 'keyUsage=digitalSignature,nonRepudiation' 2>&1 && "
            "openssl x509 -in gost.pem -outform DER -out gost.der");
    Sh(cd + "cat rsa.pem gost.pem > two.pem && openssl crl2pkcs7 -nocrl -certfile two.pem -outform DER -out "
            "p7.der "
            "&& openssl crl2pkcs7 -nocrl -certfile two.pem -out p7.pem");
    Sh(cd +
       "openssl req -x509 -newkey rsa:2048 -nodes -keyout both.key -out both.pem -days 30 -subj '/CN=Both' "
       "-addext 'keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment' 2>&1 && "
       "openssl x509 -in both.pem -outform DER -out both.der && "
       "openssl req -x509 -newkey rsa:2048 -nodes -keyout sign.key -out sign.pem -days 30 -subj "
       "'/CN=SignOnly' "
       "-addext 'keyUsage=digitalSignature' 2>&1 && openssl x509 -in sign.pem -outform DER -out sign.der");
    Sh(cd + "openssl req -x509 -newkey rsa:2048 -nodes -keyout cy.key -out cy.pem -days 30 -utf8 "
            "-subj '/C=RU/O=ООО \"Ромашка\"/CN=Иванов Иван' 2>&1 && openssl x509 -in cy.pem -outform DER "
            "-out cy.der");
    // A small CA with one revoked and one good certificate and its CRL.
    std::ofstream(f.dir / "ca.cnf") << kCaConfig;
    Sh(cd + "touch index.txt && echo 1000 > serial && echo 01 > crlnumber && "
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj '/CN=Test "
            "CA' 2>&1 && "
            "openssl req -new -newkey rsa:2048 -nodes -keyout r.key -out r.csr -subj '/CN=Revoked' 2>&1 && "
            "openssl req -new -newkey rsa:2048 -nodes -keyout g.key -out g.csr -subj '/CN=Good' 2>&1 && "
            "openssl ca -batch -config ca.cnf -in r.csr -out r.pem 2>&1 && "
            "openssl ca -batch -config ca.cnf -in g.csr -out g.pem 2>&1 && "
            "openssl ca -config ca.cnf -revoke r.pem -crl_reason keyCompromise 2>&1 && "
            "openssl ca -config ca.cnf -gencrl -out crl.pem 2>&1 && openssl crl -in crl.pem -outform DER "
            "-out crl.der && "
            "openssl x509 -in ca.pem -outform DER -out ca.der && openssl x509 -in r.pem -outform DER -out "
            "r.der && "
            "openssl x509 -in g.pem -outform DER -out g.der");
    f.rsaDer = path("rsa.der");
    f.rsaPem = path("rsa.pem");
    f.gostDer = path("gost.der");
    f.gostPem = path("gost.pem");
    f.twoPem = path("two.pem");
    f.pkcs7Der = path("p7.der");
    f.pkcs7Pem = path("p7.pem");
    f.crlDer = path("crl.der");
    f.crlPem = path("crl.pem");
    f.caDer = path("ca.der");
    f.revokedDer = path("r.der");
    f.goodDer = path("g.der");
    f.usageBothDer = path("both.der");
    f.usageSignOnlyDer = path("sign.der");
    f.cyrillicDer = path("cy.der");
    return f;
}

} // namespace

const Fixtures& GetFixtures()
{
    static Fixtures f = Make();
    return f;
}

Bytes MakeQuickCert(long serial, const std::string& commonName)
{
    static EVP_PKEY* key = EVP_EC_gen("P-256");
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), key);
    X509_sign(x.get(), key, EVP_sha256());
    unsigned char* der = nullptr;
    int n = i2d_X509(x.get(), &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

} // namespace trumik::crypttest

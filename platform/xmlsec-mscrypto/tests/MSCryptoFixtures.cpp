#include "MSCryptoFixtures.h"

#include "csp/Containers.h"
#include "testing/TestHome.h"

#include <xmlsec/app.h>
#include <xmlsec/base64.h>
#include <xmlsec/dl.h>
#include <xmlsec/errors.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <libxml/parser.h>

#include <mutex>

namespace trumik::mscryptotest {

using trumik::testing::ReadFile;
using trumik::testing::RunCommand;

std::string Quote(const std::filesystem::path& path)
{
    return "'" + path.string() + "'";
}

std::string Sh(const std::string& command)
{
    std::string output;
    int rc = RunCommand(command, &output);
    EXPECT_EQ(rc, 0) << command << "\n" << output;
    return output;
}

namespace {

std::u16string U16(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

Fixtures MakeFixtures()
{
    Fixtures f;
    f.dir = trumik::testing::MakeTempDir("mscrypto");
    f.keyPem = f.dir / "key.pem";
    f.pubPem = f.dir / "pub.pem";
    f.certPem = f.dir / "cert.pem";
    f.certDer = f.dir / "cert.der";
    f.rsaCertDer = f.dir / "rsa.der";
    auto keyDer = f.dir / "key.der";
    Sh("openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out " + Quote(f.keyPem));
    Sh("openssl pkey -engine gost -in " + Quote(f.keyPem) + " -pubout -out " + Quote(f.pubPem));
    Sh("openssl pkey -engine gost -in " + Quote(f.keyPem) + " -outform DER -out " + Quote(keyDer));
    Sh("openssl req -engine gost -x509 -new -key " + Quote(f.keyPem) +
       " -md_gost94 -subj '/CN=mscrypto signer' -days 30 -out " + Quote(f.certPem));
    Sh("openssl x509 -in " + Quote(f.certPem) + " -outform DER -out " + Quote(f.certDer));
    Sh("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=rsa -days 2 -keyout " + Quote(f.dir / "rsa.key") +
       " -outform DER -out " + Quote(f.rsaCertDer));

    std::string der = ReadFile(keyDer);
    EXPECT_EQ(trumik::csp::CreateContainer(trumik::csp::Scope::User, kContainer, AT_KEYEXCHANGE,
                                           trumik::csp::Bytes(der.begin(), der.end()), std::string(kPin),
                                           false),
              0u);

    std::string cert = ReadFile(f.certDer);
    f.certBytes.assign(cert.begin(), cert.end());
    HCERTSTORE store = CertOpenSystemStoreA(0, kStore);
    EXPECT_NE(store, nullptr);
    PCCERT_CONTEXT added = nullptr;
    EXPECT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, f.certBytes.data(),
                                                 static_cast<DWORD>(f.certBytes.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &added));
    std::u16string container = U16(kContainer);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.dwProvType = PROV_GOST_2001_DH;
    info.dwKeySpec = AT_KEYEXCHANGE;
    EXPECT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(added);
    CertCloseStore(store, 0);
    return f;
}

std::mutex g_reportsMutex;
std::vector<ErrorReport> g_reports;

void CaptureError(const char*, int, const char* func, const char* object, const char* subject, int reason,
                  const char* msg)
{
    std::lock_guard lock(g_reportsMutex);
    g_reports.push_back(
        ErrorReport{func ? func : "", object ? object : "", subject ? subject : "", reason, msg ? msg : ""});
}

const xmlChar* X(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

} // namespace

const Fixtures& GetFixtures()
{
    static const Fixtures fixtures = MakeFixtures();
    return fixtures;
}

UniqueCert FindStoreCert()
{
    const Fixtures& f = GetFixtures();
    UniqueCert probe(CertCreateCertificateContext(X509_ASN_ENCODING, f.certBytes.data(),
                                                  static_cast<DWORD>(f.certBytes.size())));
    BYTE hash[20];
    DWORD size = sizeof(hash);
    EXPECT_TRUE(CertGetCertificateContextProperty(probe.get(), CERT_HASH_PROP_ID, hash, &size));
    CRYPT_HASH_BLOB blob{size, hash};
    HCERTSTORE store = CertOpenSystemStoreA(0, kStore);
    if (store == nullptr)
        return nullptr;
    UniqueCert found(CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                CERT_FIND_SHA1_HASH, &blob, nullptr));
    CertCloseStore(store, 0);
    return found;
}

const std::vector<ErrorReport>& Reports()
{
    return g_reports;
}

void ClearReports()
{
    std::lock_guard lock(g_reportsMutex);
    g_reports.clear();
}

bool HasReport(const std::string& func, int reason)
{
    std::lock_guard lock(g_reportsMutex);
    for (const ErrorReport& report : g_reports) {
        if (report.func == func && report.reason == reason)
            return true;
    }
    return false;
}

void CaptureReports()
{
    xmlSecErrorsSetCallback(CaptureError);
}

std::string ReportsText()
{
    std::lock_guard lock(g_reportsMutex);
    std::string text;
    for (const ErrorReport& r : g_reports)
        text += r.func + " [" + r.object + "] " + r.subject + " reason=" + std::to_string(r.reason) + ": " +
                r.message + "\n";
    return text;
}

void MSCrypto::SetUp()
{
    GetFixtures();
    ClearReports();
    xmlInitParser();
    ASSERT_EQ(xmlSecInit(), 0);
    ASSERT_EQ(xmlSecCryptoDLLoadLibrary(X("mscrypto")), 0);
    ASSERT_EQ(xmlSecCryptoAppInit(nullptr), 0);
    ASSERT_EQ(xmlSecCryptoInit(), 0);
    xmlSecErrorsSetCallback(CaptureError);
}

void MSCrypto::TearDown()
{
    EXPECT_EQ(xmlSecCryptoDLLoadLibrary(X("mscrypto")), 0);
    EXPECT_EQ(xmlSecCryptoShutdown(), 0);
    EXPECT_EQ(xmlSecCryptoAppShutdown(), 0);
    EXPECT_EQ(xmlSecShutdown(), 0);
    EXPECT_EQ(xmlSecCryptoDLShutdown(), 0);
    xmlSecErrorsSetCallback(xmlSecErrorsDefaultCallback);
}

std::optional<std::string> SignDocument(const std::string& source, const std::optional<std::string>& pin,
                                        int references)
{
    UniqueCert cert = FindStoreCert();
    if (!cert)
        return std::nullopt;
    KeyData data(xmlSecMSCryptoCertAdopt(cert.get(), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate));
    // The key data holds its own reference: the caller's goes now.
    cert.reset();
    if (!data)
        return std::nullopt;
    if (pin && !CryptSetProvParam(xmlSecMSCryptoKeyDataGetMSCryptoProvider(data.get()), PP_KEYEXCHANGE_PIN,
                                  reinterpret_cast<const BYTE*>(pin->c_str()), 0))
        return std::nullopt;
    Key key(xmlSecKeyCreate());
    if (!key || xmlSecKeySetValue(key.get(), data.get()) < 0)
        return std::nullopt;
    (void)data.release();

    Doc doc(xmlReadMemory(source.data(), static_cast<int>(source.size()), "doc.xml", nullptr, 0));
    if (!doc || xmlDocGetRootElement(doc.get()) == nullptr)
        return std::nullopt;
    xmlNodePtr signature =
        xmlSecTmplSignatureCreate(doc.get(), xmlSecTransformInclC14NGetKlass(),
                                  xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass(), nullptr);
    if (signature == nullptr)
        return std::nullopt;
    xmlAddChild(xmlDocGetRootElement(doc.get()), signature);
    for (int i = 0; i < references; ++i) {
        xmlNodePtr reference = xmlSecTmplSignatureAddReference(
            signature, xmlSecMSCryptoTransformGostR3411_94GetKlass(), nullptr, X(""), nullptr);
        if (reference == nullptr ||
            xmlSecTmplReferenceAddTransform(reference, xmlSecTransformEnvelopedGetKlass()) == nullptr)
            return std::nullopt;
    }
    DSigCtx ctx(xmlSecDSigCtxCreate(nullptr));
    if (!ctx)
        return std::nullopt;
    ctx->signKey = key.release();
    if (xmlSecKeySetName(ctx->signKey, X(kStore)) < 0)
        return std::nullopt;
    if (xmlSecDSigCtxSign(ctx.get(), signature) < 0)
        return std::nullopt;
    xmlChar* dumped = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc.get(), &dumped, &size);
    if (dumped == nullptr)
        return std::nullopt;
    std::string text(reinterpret_cast<const char*>(dumped), static_cast<std::size_t>(size));
    xmlFree(dumped);
    return text;
}

xmlSecDSigStatus VerifyDocument(const std::string& text, const std::filesystem::path& certFile,
                                xmlSecKeyDataFormat format, int* rc)
{
    Doc doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), "signed.xml", nullptr, 0));
    EXPECT_TRUE(doc);
    if (!doc)
        return xmlSecDSigStatusUnknown;
    xmlNodePtr node = xmlSecFindNode(xmlDocGetRootElement(doc.get()), xmlSecNodeSignature, xmlSecDSigNs);
    EXPECT_NE(node, nullptr);
    DSigCtx ctx(xmlSecDSigCtxCreate(nullptr));
    EXPECT_TRUE(ctx);
    if (!ctx || node == nullptr)
        return xmlSecDSigStatusUnknown;
    ctx->signKey = xmlSecCryptoAppKeyLoad(certFile.c_str(), format, nullptr, nullptr, nullptr);
    EXPECT_NE(ctx->signKey, nullptr) << ReportsText();
    int result = xmlSecDSigCtxVerify(ctx.get(), node);
    if (rc != nullptr)
        *rc = result;
    else
        EXPECT_EQ(result, 0) << ReportsText();
    return ctx->status;
}

std::string ElementText(const std::string& text, const std::string& name)
{
    std::string open = "<" + name + ">";
    std::string close = "</" + name + ">";
    std::size_t begin = text.find(open);
    if (begin == std::string::npos)
        return {};
    begin += open.size();
    std::size_t end = text.find(close, begin);
    return end == std::string::npos ? std::string() : text.substr(begin, end - begin);
}

std::string Base64Decode(const std::string& text)
{
    std::vector<xmlSecByte> out(text.size() + 1);
    xmlSecSize written = 0;
    EXPECT_EQ(xmlSecBase64Decode_ex(X(text.c_str()), out.data(), out.size(), &written), 0) << text;
    return std::string(reinterpret_cast<const char*>(out.data()), written);
}

std::string Base64Encode(const std::string& bytes)
{
    xmlChar* encoded = xmlSecBase64Encode(reinterpret_cast<const xmlSecByte*>(bytes.data()), bytes.size(), 0);
    std::string text(reinterpret_cast<const char*>(encoded));
    xmlFree(encoded);
    return text;
}

} // namespace trumik::mscryptotest

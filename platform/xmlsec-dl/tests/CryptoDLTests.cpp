#include "BackendSwitch.h"
#include "TestHome.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/app.h>
#include <xmlsec/dl.h>
#include <xmlsec/errors.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using trumik::testing::MakeTempDir;
using trumik::testing::ReadFile;
using trumik::testing::RunCommand;
using trumik::testing::WriteFile;

const xmlChar* Name(const char* name)
{
    return reinterpret_cast<const xmlChar*>(name);
}

struct ErrorReport {
    std::string func;
    std::string subject;
    int reason;
    std::string message;
};

std::mutex g_reportsMutex;
std::vector<ErrorReport> g_reports;

void CaptureError(const char*, int, const char* func, const char*, const char* errorSubject, int reason,
                  const char* msg)
{
    std::lock_guard lock(g_reportsMutex);
    g_reports.push_back(
        ErrorReport{func ? func : "", errorSubject ? errorSubject : "", reason, msg ? msg : ""});
}

bool HasReport(const std::string& func, int reason)
{
    for (const ErrorReport& report : g_reports) {
        if (report.func == func && report.reason == reason)
            return true;
    }
    return false;
}

struct DlCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, DlCloser>;

template <typename T> T Symbol(void* handle, const char* name)
{
    return reinterpret_cast<T>(dlsym(handle, name));
}

std::filesystem::path LibraryPathOf(const void* address)
{
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return {};
    return std::filesystem::canonical(info.dli_fname);
}

struct DocFree {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
struct DSigCtxFree {
    void operator()(xmlSecDSigCtxPtr ctx) const { xmlSecDSigCtxDestroy(ctx); }
};
struct KeyFree {
    void operator()(xmlSecKeyPtr key) const { xmlSecKeyDestroy(key); }
};
struct XmlFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;
using DSigCtx = std::unique_ptr<xmlSecDSigCtx, DSigCtxFree>;
using Key = std::unique_ptr<xmlSecKey, KeyFree>;

// libxml2, xmlsec and the OpenSSL back-end started as an application does;
// every test ends with the shutdown sequence.
class CryptoDL : public ::testing::Test {
  protected:
    void SetUp() override
    {
        g_reports.clear();
        xmlInitParser();
        ASSERT_EQ(xmlSecInit(), 0);
        xmlSecInitialized = true;
        ASSERT_EQ(xmlSecCryptoDLLoadLibrary(Name("openssl")), 0);
        ASSERT_EQ(xmlSecCryptoAppInit(nullptr), 0);
        ASSERT_EQ(xmlSecCryptoInit(), 0);
        cryptoInitialized = true;
        // Installed after the back-end's init, which sets its own callback.
        xmlSecErrorsSetCallback(CaptureError);
    }

    void TearDown() override
    {
        if (cryptoInitialized) {
            EXPECT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);
            EXPECT_EQ(xmlSecCryptoShutdown(), 0);
            EXPECT_EQ(xmlSecCryptoAppShutdown(), 0);
        }
        if (xmlSecInitialized) {
            EXPECT_EQ(xmlSecShutdown(), 0);
        }
        EXPECT_EQ(xmlSecCryptoDLShutdown(), 0);
        xmlSecErrorsSetCallback(xmlSecErrorsDefaultCallback);
    }

    bool xmlSecInitialized = false;
    bool cryptoInitialized = false;
};

TEST_F(CryptoDL, OpenSslTableIsActiveAndForwardedTo)
{
    LibraryHandle openssl(dlopen("libxmlsec1-openssl.so.1", RTLD_NOW | RTLD_NOLOAD));
    ASSERT_TRUE(openssl) << "loading the back-end did not map libxmlsec1-openssl.so.1";
    auto getFunctions =
        Symbol<xmlSecCryptoDLFunctionsPtr (*)()>(openssl.get(), "xmlSecCryptoGetFunctions_openssl");
    auto rsaSha1 = Symbol<xmlSecTransformId (*)()>(openssl.get(), "xmlSecOpenSSLTransformRsaSha1GetKlass");
    auto sha256 = Symbol<xmlSecTransformId (*)()>(openssl.get(), "xmlSecOpenSSLTransformSha256GetKlass");
    auto rsaKey = Symbol<xmlSecKeyDataId (*)()>(openssl.get(), "xmlSecOpenSSLKeyDataRsaGetKlass");
    ASSERT_NE(getFunctions, nullptr);
    ASSERT_NE(rsaSha1, nullptr);
    ASSERT_NE(sha256, nullptr);
    ASSERT_NE(rsaKey, nullptr);

    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), getFunctions());
    EXPECT_EQ(xmlSecCryptoDLGetLibraryFunctions(Name("openssl")), getFunctions());
    EXPECT_EQ(trumikXmlSecCryptoDLIsActive("openssl"), 1);

    ASSERT_NE(xmlSecTransformRsaSha1GetKlass(), nullptr);
    EXPECT_EQ(xmlSecTransformRsaSha1GetKlass(), rsaSha1());
    EXPECT_EQ(xmlSecTransformSha256Id, sha256());
    EXPECT_EQ(xmlSecKeyDataRsaId, rsaKey());
    EXPECT_NE(xmlSecX509StoreGetKlass(), nullptr);
    // The back-end registered its transforms with the core on xmlSecCryptoInit.
    EXPECT_EQ(
        xmlSecTransformIdListFindByHref(xmlSecTransformIdsGet(), xmlSecHrefRsaSha1, xmlSecTransformUsageAny),
        rsaSha1());
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(CryptoDL, SignsAndVerifiesRsaSha1EnvelopedSignature)
{
    auto dir = MakeTempDir("xmlsecdl");
    std::string output;
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=xmlsecdl -days 2 -keyout '" +
                          (dir / "key.pem").string() + "' -out '" + (dir / "cert.pem").string() + "'";
    ASSERT_EQ(RunCommand(command, &output), 0) << output;
    auto pem = dir / "keycert.pem";
    WriteFile(pem, ReadFile(dir / "key.pem") + ReadFile(dir / "cert.pem"));

    const std::string source =
        "<?xml version=\"1.0\"?>\n<Envelope xmlns=\"urn:xmlsecdl\"><Data>hello</Data></Envelope>";
    Doc doc(xmlReadMemory(source.data(), static_cast<int>(source.size()), "doc.xml", nullptr, 0));
    ASSERT_TRUE(doc);
    xmlNodePtr signature =
        xmlSecTmplSignatureCreate(doc.get(), xmlSecTransformExclC14NId, xmlSecTransformRsaSha1Id, nullptr);
    ASSERT_NE(signature, nullptr);
    xmlAddChild(xmlDocGetRootElement(doc.get()), signature);
    xmlNodePtr reference =
        xmlSecTmplSignatureAddReference(signature, xmlSecTransformSha1Id, nullptr, Name(""), nullptr);
    ASSERT_NE(reference, nullptr);
    ASSERT_NE(xmlSecTmplReferenceAddTransform(reference, xmlSecTransformEnvelopedId), nullptr);
    xmlNodePtr keyInfo = xmlSecTmplSignatureEnsureKeyInfo(signature, nullptr);
    ASSERT_NE(keyInfo, nullptr);
    ASSERT_NE(xmlSecTmplKeyInfoAddX509Data(keyInfo), nullptr);

    Key key(xmlSecCryptoAppKeyLoad(pem.c_str(), xmlSecKeyDataFormatPem, nullptr, nullptr, nullptr));
    ASSERT_TRUE(key);
    ASSERT_EQ(xmlSecCryptoAppKeyCertLoad(key.get(), pem.c_str(), xmlSecKeyDataFormatPem), 0);
    EXPECT_TRUE(xmlSecKeyCheckId(key.get(), xmlSecKeyDataRsaId));

    DSigCtx sign(xmlSecDSigCtxCreate(nullptr));
    ASSERT_TRUE(sign);
    sign->signKey = key.release();
    ASSERT_EQ(xmlSecDSigCtxSign(sign.get(), signature), 0);

    xmlChar* dumped = nullptr;
    int dumpedSize = 0;
    xmlDocDumpMemory(doc.get(), &dumped, &dumpedSize);
    std::unique_ptr<xmlChar, XmlFree> dumpedGuard(dumped);
    ASSERT_NE(dumped, nullptr);
    std::string signedText(reinterpret_cast<const char*>(dumped), static_cast<std::size_t>(dumpedSize));
    EXPECT_NE(signedText.find("<X509Certificate>"), std::string::npos);

    auto verify = [&](const std::string& text) {
        Doc parsed(xmlReadMemory(text.data(), static_cast<int>(text.size()), "signed.xml", nullptr, 0));
        EXPECT_TRUE(parsed);
        if (!parsed)
            return xmlSecDSigStatusUnknown;
        xmlNodePtr node =
            xmlSecFindNode(xmlDocGetRootElement(parsed.get()), xmlSecNodeSignature, xmlSecDSigNs);
        EXPECT_NE(node, nullptr);
        DSigCtx ctx(xmlSecDSigCtxCreate(nullptr));
        ctx->signKey = xmlSecCryptoAppKeyLoad(pem.c_str(), xmlSecKeyDataFormatPem, nullptr, nullptr, nullptr);
        EXPECT_NE(ctx->signKey, nullptr);
        EXPECT_EQ(xmlSecDSigCtxVerify(ctx.get(), node), 0);
        return ctx->status;
    };
    EXPECT_EQ(verify(signedText), xmlSecDSigStatusSucceeded);

    std::string tampered = signedText;
    auto at = tampered.find("hello");
    ASSERT_NE(at, std::string::npos);
    tampered[at] = 'j';
    EXPECT_EQ(verify(tampered), xmlSecDSigStatusInvalid);
}

TEST_F(CryptoDL, LoadingALoadedNameKeepsItsTableAndMakesItActive)
{
    xmlSecCryptoDLFunctionsPtr first = xmlSecCryptoDLGetFunctions();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(xmlSecCryptoDLLoadLibrary(Name("openssl")), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), first);

    EXPECT_EQ(xmlSecCryptoDLShutdown(), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), nullptr);
    EXPECT_EQ(xmlSecCryptoDLLoadLibrary(Name("openssl")), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), first);
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(CryptoDL, MissingBackEndFailsWithReportAndKeepsActiveTable)
{
    xmlSecCryptoDLFunctionsPtr active = xmlSecCryptoDLGetFunctions();

    EXPECT_EQ(xmlSecCryptoDLLoadLibrary(Name("nosuchcrypto")), -1);
    ASSERT_FALSE(g_reports.empty());
    const ErrorReport& first = g_reports.front();
    EXPECT_EQ(first.func, "xmlSecCryptoDLGetLibraryFunctions");
    EXPECT_EQ(first.subject, "dlopen");
    EXPECT_EQ(first.reason, XMLSEC_ERRORS_R_IO_FAILED);
    EXPECT_NE(first.message.find("crypto=nosuchcrypto"), std::string::npos) << first.message;
    // The dlerror text of the last attempt names the library searched for.
    EXPECT_NE(first.message.find("libxmlsec1-nosuchcrypto.so"), std::string::npos) << first.message;
    EXPECT_TRUE(HasReport("xmlSecCryptoDLLoadLibrary", XMLSEC_ERRORS_R_XMLSEC_FAILED));
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), active);

    g_reports.clear();
    EXPECT_EQ(xmlSecCryptoDLGetLibraryFunctions(Name("nosuchcrypto")), nullptr);
    EXPECT_TRUE(HasReport("xmlSecCryptoDLGetLibraryFunctions", XMLSEC_ERRORS_R_IO_FAILED));

    g_reports.clear();
    EXPECT_EQ(trumikXmlSecCryptoDLActivate("nosuchcrypto"), -1);
    EXPECT_TRUE(HasReport("trumikXmlSecCryptoDLActivate", XMLSEC_ERRORS_R_INVALID_OPERATION));
    EXPECT_EQ(trumikXmlSecCryptoDLIsActive("nosuchcrypto"), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), active);
}

TEST_F(CryptoDL, RejectsNamesThatAreNotIdentifiers)
{
    const std::string tooLong(64, 'a');
    for (const char* name : {static_cast<const char*>(nullptr), "", "../openssl", "open ssl", "openssl.so.1",
                             "/usr/lib/x86_64-linux-gnu/libxmlsec1-openssl", tooLong.c_str()}) {
        g_reports.clear();
        EXPECT_EQ(xmlSecCryptoDLLoadLibrary(Name(name)), -1) << (name ? name : "NULL");
        EXPECT_TRUE(HasReport("xmlSecCryptoDLLoadLibrary", XMLSEC_ERRORS_R_INVALID_DATA));
        EXPECT_EQ(xmlSecCryptoDLGetLibraryFunctions(Name(name)), nullptr);
        EXPECT_EQ(xmlSecCryptoDLUnloadLibrary(Name(name)), -1);
        EXPECT_EQ(trumikXmlSecCryptoDLActivate(name), -1);
        EXPECT_EQ(trumikXmlSecCryptoDLIsActive(name), 0);
    }
    // 63 characters is still a valid name (of a library that does not exist).
    g_reports.clear();
    EXPECT_EQ(xmlSecCryptoDLLoadLibrary(Name(std::string(63, 'a').c_str())), -1);
    EXPECT_TRUE(HasReport("xmlSecCryptoDLGetLibraryFunctions", XMLSEC_ERRORS_R_IO_FAILED));
    EXPECT_TRUE(trumikXmlSecCryptoDLIsActive("openssl"));
}

TEST_F(CryptoDL, SwitchesBetweenBackEndsByName)
{
    xmlSecCryptoDLFunctionsPtr openssl = xmlSecCryptoDLGetFunctions();
    xmlSecTransformId opensslSha1 = xmlSecTransformSha1GetKlass();

    ASSERT_EQ(xmlSecCryptoDLLoadLibrary(Name("testfake")), 0);
    xmlSecCryptoDLFunctionsPtr fake = xmlSecCryptoDLGetFunctions();
    ASSERT_NE(fake, openssl);
    EXPECT_EQ(trumikXmlSecCryptoDLIsActive("testfake"), 1);
    EXPECT_EQ(trumikXmlSecCryptoDLIsActive("openssl"), 0);
    // Found beside the platform library.
    EXPECT_EQ(LibraryPathOf(fake).parent_path(),
              LibraryPathOf(reinterpret_cast<const void*>(&xmlSecCryptoDLLoadLibrary)).parent_path());

    ASSERT_NE(xmlSecTransformSha1GetKlass(), nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(xmlSecTransformSha1GetKlass()->name), "fake-sha1");
    EXPECT_EQ(xmlSecCryptoInit(), 1); // the fake's first init call
    EXPECT_NE(xmlSecCryptoAppGetDefaultPwdCallback(), nullptr);
    EXPECT_TRUE(g_reports.empty());

    EXPECT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), openssl);
    EXPECT_EQ(xmlSecTransformSha1GetKlass(), opensslSha1);

    EXPECT_EQ(trumikXmlSecCryptoDLActivate("testfake"), 0);
    EXPECT_EQ(xmlSecCryptoInit(), 2);
    EXPECT_EQ(xmlSecCryptoDLLoadLibrary(Name("openssl")), 0);
    EXPECT_EQ(xmlSecTransformSha1GetKlass(), opensslSha1);
    EXPECT_EQ(xmlSecCryptoDLGetLibraryFunctions(Name("testfake")), fake);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), openssl)
        << "GetLibraryFunctions must not switch the active table";
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(CryptoDL, MembersTheBackEndLacksAreReportedAsNotImplemented)
{
    ASSERT_EQ(xmlSecCryptoDLLoadLibrary(Name("testfake")), 0);

    EXPECT_EQ(xmlSecTransformRsaSha1GetKlass(), nullptr);
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0].func, "xmlSecTransformRsaSha1GetKlass");
    EXPECT_EQ(g_reports[0].reason, XMLSEC_ERRORS_R_NOT_IMPLEMENTED);
    EXPECT_EQ(g_reports[0].message, "details=transformRsaSha1GetKlass");

    g_reports.clear();
    EXPECT_EQ(xmlSecKeyDataRsaGetKlass(), nullptr);
    EXPECT_EQ(xmlSecX509StoreGetKlass(), nullptr);
    EXPECT_EQ(xmlSecCryptoShutdown(), -1);
    EXPECT_EQ(xmlSecCryptoKeysMngrInit(nullptr), -1);
    EXPECT_EQ(xmlSecCryptoAppKeyLoad("x.pem", xmlSecKeyDataFormatPem, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(xmlSecCryptoAppKeyCertLoad(nullptr, "x.pem", xmlSecKeyDataFormatPem), -1);
    EXPECT_EQ(xmlSecCryptoAppPkcs12LoadMemory(nullptr, 0, nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(HasReport("xmlSecKeyDataRsaGetKlass", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_TRUE(HasReport("xmlSecX509StoreGetKlass", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_TRUE(HasReport("xmlSecCryptoShutdown", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_TRUE(HasReport("xmlSecCryptoKeysMngrInit", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_TRUE(HasReport("xmlSecCryptoAppKeyLoad", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_TRUE(HasReport("xmlSecCryptoAppKeyCertLoad", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_TRUE(HasReport("xmlSecCryptoAppPkcs12LoadMemory", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_EQ(g_reports.size(), 7u);
}

TEST_F(CryptoDL, LibrariesWithoutAUsableGetterFailCleanly)
{
    xmlSecCryptoDLFunctionsPtr active = xmlSecCryptoDLGetFunctions();

    EXPECT_EQ(xmlSecCryptoDLLoadLibrary(Name("testnogetter")), -1);
    ASSERT_FALSE(g_reports.empty());
    EXPECT_EQ(g_reports[0].subject, "dlsym");
    EXPECT_EQ(g_reports[0].reason, XMLSEC_ERRORS_R_IO_FAILED);
    EXPECT_NE(g_reports[0].message.find("xmlSecCryptoGetFunctions_testnogetter"), std::string::npos)
        << g_reports[0].message;

    g_reports.clear();
    EXPECT_EQ(xmlSecCryptoDLLoadLibrary(Name("testnulltable")), -1);
    ASSERT_FALSE(g_reports.empty());
    EXPECT_EQ(g_reports[0].reason, XMLSEC_ERRORS_R_XMLSEC_FAILED);
    EXPECT_NE(g_reports[0].message.find("xmlSecCryptoGetFunctions_testnulltable returned no function table"),
              std::string::npos)
        << g_reports[0].message;

    // A failed load leaves nothing behind: not active, not known.
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), active);
    EXPECT_EQ(trumikXmlSecCryptoDLActivate("testnogetter"), -1);
    EXPECT_EQ(trumikXmlSecCryptoDLActivate("testnulltable"), -1);
}

TEST_F(CryptoDL, WithoutActiveTableForwardersFail)
{
    xmlSecCryptoDLFunctionsPtr openssl = xmlSecCryptoDLGetFunctions();
    EXPECT_EQ(xmlSecCryptoDLShutdown(), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), nullptr);

    EXPECT_EQ(xmlSecTransformRsaSha1GetKlass(), nullptr);
    EXPECT_EQ(xmlSecCryptoInit(), -1);
    EXPECT_EQ(xmlSecCryptoAppInit(nullptr), -1);
    EXPECT_EQ(xmlSecCryptoAppGetDefaultPwdCallback(), nullptr);
    EXPECT_TRUE(HasReport("xmlSecTransformRsaSha1GetKlass", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_TRUE(HasReport("xmlSecCryptoInit", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_TRUE(HasReport("xmlSecCryptoAppInit", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));
    EXPECT_TRUE(HasReport("xmlSecCryptoAppGetDefaultPwdCallback", XMLSEC_ERRORS_R_NOT_IMPLEMENTED));

    g_reports.clear();
    EXPECT_EQ(xmlSecCryptoDLSetFunctions(nullptr), -1);
    EXPECT_TRUE(HasReport("xmlSecCryptoDLSetFunctions", XMLSEC_ERRORS_R_ASSERTION));

    // The back-end is still known after shutdown.
    EXPECT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), openssl);
    EXPECT_EQ(xmlSecCryptoDLSetFunctions(openssl), 0);
}

TEST_F(CryptoDL, UnloadForgetsTheNameAndClearsItsActiveTable)
{
    xmlSecCryptoDLFunctionsPtr openssl = xmlSecCryptoDLGetFunctions();
    ASSERT_EQ(xmlSecCryptoDLGetLibraryFunctions(Name("testfake")) != nullptr, true);

    // Unloading a back-end that is not active leaves the active one alone.
    EXPECT_EQ(xmlSecCryptoDLUnloadLibrary(Name("testfake")), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), openssl);
    EXPECT_EQ(xmlSecCryptoDLUnloadLibrary(Name("testfake")), 0); // no longer loaded: nothing to do

    EXPECT_EQ(xmlSecCryptoDLUnloadLibrary(Name("openssl")), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), nullptr);
    EXPECT_EQ(trumikXmlSecCryptoDLIsActive("openssl"), 0);
    g_reports.clear();
    EXPECT_EQ(trumikXmlSecCryptoDLActivate("openssl"), -1);
    EXPECT_EQ(g_reports.size(), 1u);

    // The library stayed mapped: loading again yields the same table.
    EXPECT_EQ(xmlSecCryptoDLLoadLibrary(Name("openssl")), 0);
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), openssl);
}

TEST_F(CryptoDL, ConcurrentSwitchingAlwaysSeesAWholeTable)
{
    ASSERT_EQ(xmlSecCryptoDLLoadLibrary(Name("testfake")), 0);
    xmlSecCryptoDLFunctionsPtr fake = xmlSecCryptoDLGetFunctions();
    ASSERT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);
    xmlSecCryptoDLFunctionsPtr openssl = xmlSecCryptoDLGetFunctions();

    std::atomic<int> strays{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const char* name = (i + t) % 2 ? "openssl" : "testfake";
                if ((i % 3) == 0 ? xmlSecCryptoDLLoadLibrary(Name(name)) != 0
                                 : trumikXmlSecCryptoDLActivate(name) != 0)
                    ++strays;
                xmlSecCryptoDLFunctionsPtr seen = xmlSecCryptoDLGetFunctions();
                if (seen != fake && seen != openssl)
                    ++strays;
                if (xmlSecTransformSha1GetKlass() == nullptr)
                    ++strays;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(strays.load(), 0);
    EXPECT_TRUE(g_reports.empty());
}

} // namespace

namespace {

// The active table of a thread that never chose one, read on a new thread.
xmlSecCryptoDLFunctionsPtr TableOfANewThread()
{
    xmlSecCryptoDLFunctionsPtr seen = nullptr;
    std::thread([&] { seen = xmlSecCryptoDLGetFunctions(); }).join();
    return seen;
}

} // namespace

TEST_F(CryptoDL, EachThreadCallsTheTableItMadeActive)
{
    xmlSecCryptoDLFunctionsPtr openssl = xmlSecCryptoDLGetFunctions();
    xmlSecTransformId opensslSha1 = xmlSecTransformSha1GetKlass();
    ASSERT_EQ(xmlSecCryptoDLLoadLibrary(Name("testfake")), 0);
    xmlSecCryptoDLFunctionsPtr fake = xmlSecCryptoDLGetFunctions();
    ASSERT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);

    // Two threads switch back and forth, each to its own back-end, and each
    // forwarder call reaches the table its thread chose.
    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    auto run = [&](const char* name, xmlSecCryptoDLFunctionsPtr own, bool sha1IsOpenSsl) {
        while (!go.load())
            std::this_thread::yield();
        for (int i = 0; i < 2000; ++i) {
            if (trumikXmlSecCryptoDLActivate(name) != 0 || xmlSecCryptoDLGetFunctions() != own ||
                trumikXmlSecCryptoDLIsActive(name) != 1 ||
                (xmlSecTransformSha1GetKlass() == opensslSha1) != sha1IsOpenSsl)
                wrong.fetch_add(1);
        }
    };
    std::thread a(run, "openssl", openssl, true), b(run, "testfake", fake, false);
    go.store(true);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(g_reports.empty());

    // This thread keeps its choice; a thread that never chose gets the table
    // activated last anywhere in the process.
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), openssl);
    std::thread([&] { EXPECT_EQ(trumikXmlSecCryptoDLActivate("testfake"), 0); }).join();
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), openssl);
    EXPECT_EQ(TableOfANewThread(), fake);

    // Unloading a back-end clears the choices of the threads that made it
    // active, and the default when it was the one.
    std::thread([&] {
        ASSERT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);
        EXPECT_EQ(xmlSecCryptoDLUnloadLibrary(Name("testfake")), 0);
        EXPECT_EQ(xmlSecCryptoDLGetFunctions(), openssl);
    }).join();
    EXPECT_EQ(TableOfANewThread(), openssl);
    ASSERT_EQ(xmlSecCryptoDLLoadLibrary(Name("testfake")), 0);
    EXPECT_EQ(TableOfANewThread(), fake);
    std::thread([&] { EXPECT_EQ(xmlSecCryptoDLUnloadLibrary(Name("testfake")), 0); }).join();
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), nullptr) << "this thread's choice was the unloaded back-end";
    EXPECT_EQ(TableOfANewThread(), nullptr);

    // A shut-down on any thread clears every thread's choice.
    ASSERT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);
    std::thread([&] { EXPECT_EQ(xmlSecCryptoDLShutdown(), 0); }).join();
    EXPECT_EQ(xmlSecCryptoDLGetFunctions(), nullptr);
    ASSERT_EQ(trumikXmlSecCryptoDLActivate("openssl"), 0);
}

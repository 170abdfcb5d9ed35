// libFuzzer entry point: verification of arbitrary documents (taken as UTF-8
// text) against a GOST certificate with the mscrypto back-end, or against an
// RSA certificate with the openssl back-end where mscrypto is not built.
// Built with -fsanitize=fuzzer under TRUMIK_FUZZ; the test run drives it
// through FuzzDriverTest.cpp.
#include "verifier/MSXmlVerifier.h"

#include <oleauto.h>
#include <winnls.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Target {
    std::unique_ptr<trumik::verifier::CMSXmlVerifier> verifier;
    BSTR certificate = nullptr;
};

// Certificates are made once per process, in the platform root.
Target MakeTarget()
{
    if (!std::getenv("TRUMIK_HOME")) {
        char dir[] = "/tmp/trumik-fuzz-XXXXXX";
        if (mkdtemp(dir))
            setenv("TRUMIK_HOME", dir, 1);
    }
    const std::string home = std::getenv("TRUMIK_HOME") ? std::getenv("TRUMIK_HOME") : "/tmp";
    mkdir(home.c_str(), 0700);
    const std::string gost = home + "/fuzz-gost.der", rsa = home + "/fuzz-rsa.der";
    const std::string make =
        "cd '" + home +
        "' && openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -md_gost94 -nodes "
        "-keyout fuzz-gost.key -out fuzz-gost.pem -days 30 -subj /CN=Fuzz >/dev/null 2>&1 && "
        "openssl x509 -in fuzz-gost.pem -outform DER -out fuzz-gost.der && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout fuzz-rsa.key -out fuzz-rsa.pem -days 30 -subj "
        "/CN=Fuzz "
        ">/dev/null 2>&1 && openssl x509 -in fuzz-rsa.pem -outform DER -out fuzz-rsa.der";
    if (access(gost.c_str(), R_OK) != 0 || access(rsa.c_str(), R_OK) != 0)
        (void)std::system(make.c_str());
    auto toBstr = [](const std::string& text) {
        int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
        BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(n));
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out, n);
        return out;
    };
    Target target;
    target.verifier = std::make_unique<trumik::verifier::CMSXmlVerifier>();
    target.certificate = toBstr(gost);
    // Probe the back-end once with a document that gets as far as the start-up.
    VARIANT_BOOL result = VARIANT_FALSE;
    BSTR probe = toBstr("<a/>");
    target.verifier->VerifyUsingCertFileWoCert(probe, target.certificate, &result);
    SysFreeString(probe);
    if (target.verifier->Record().Code() == -2001) {
        target.verifier = std::make_unique<trumik::verifier::CMSXmlVerifier>(trumik::common::kOpenSSLBackend);
        SysFreeString(target.certificate);
        target.certificate = toBstr(rsa);
    }
    return target;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Target target = MakeTarget();
    const int length = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data),
                                           static_cast<int>(size), nullptr, 0);
    BSTR document = SysAllocStringLen(nullptr, static_cast<UINT>(length > 0 ? length : 0));
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data), static_cast<int>(size), document,
                            length);
    VARIANT_BOOL result = VARIANT_FALSE;
    target.verifier->VerifyUsingCertFileWoCert(document, target.certificate, &result);
    SysFreeString(document);
    return 0;
}

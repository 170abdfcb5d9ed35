// The GOST signing benchmark's helper.
//   signer_bench setup DIR        a GOST key container "bench" (PIN 1234) and its
//                                 certificate in the user's "My" store; prints
//                                 the thumbprint, writes DIR/bench.pub.pem
//   signer_bench call DOCUMENT THUMBPRINT PIN [ROUNDS]
//                                 the median of whole SignWithCertStorePass calls
//                                 through the virtual table in a warm process
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "ZelvaneTrumikXmlSigner.h"

#include "csp/Containers.h"
#include "csp/CspInternal.h"

#include <objbase.h>
#include <wincrypt.h>
#include <winnls.h>

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

std::u16string Wide(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

int Setup(const std::string& dir)
{
    using namespace trumik::csp;
    UniqueEvpPkey key = GenerateGostKey();
    std::optional<Bytes> pkcs8 = key ? PrivateKeyToPkcs8(key.get()) : std::nullopt;
    if (!pkcs8) {
        std::fprintf(stderr, "signer_bench: no GOST key (is the gost engine installed?)\n");
        return 1;
    }
    DeleteContainer(Scope::User, "bench");
    if (DWORD rc =
            CreateContainer(Scope::User, "bench", AT_KEYEXCHANGE, *pkcs8, std::string("1234"), false)) {
        std::fprintf(stderr, "signer_bench: container not created: 0x%08X\n", static_cast<unsigned>(rc));
        return 1;
    }
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), static_cast<long>(time(nullptr)));
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 30L * 86400);
    X509_NAME* name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Bench"), -1,
                               -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), key.get());
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
    if (X509_EXTENSION* ext =
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, "critical,digitalSignature,nonRepudiation")) {
        X509_add_ext(x.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(x.get(), key.get(), GostR3411Digest()) <= 0) {
        std::fprintf(stderr, "signer_bench: certificate not signed\n");
        return 1;
    }
    unsigned char* der = nullptr;
    int size = i2d_X509(x.get(), &der);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
    PCCERT_CONTEXT added = nullptr;
    BOOL ok =
        store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, static_cast<DWORD>(size),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, &added);
    OPENSSL_free(der);
    if (!ok) {
        std::fprintf(stderr, "signer_bench: certificate not stored\n");
        return 1;
    }
    std::u16string container = u"bench", provider = u"" CP_GR3410_2001_PROV_A;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.pwszProvName = provider.data();
    info.dwProvType = PROV_GOST_2001_DH;
    info.dwKeySpec = AT_KEYEXCHANGE;
    CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    BYTE hash[20];
    DWORD hashSize = sizeof hash;
    CertGetCertificateContextProperty(added, CERT_SHA1_HASH_PROP_ID, hash, &hashSize);
    CertFreeCertificateContext(added);
    CertCloseStore(store, 0);
    std::unique_ptr<BIO, decltype(&BIO_free)> pub(BIO_new_file((dir + "/bench.pub.pem").c_str(), "w"),
                                                  BIO_free);
    if (pub)
        PEM_write_bio_PUBKEY(pub.get(), key.get());
    for (BYTE b : hash)
        std::printf("%02X", b);
    std::printf("\n");
    return 0;
}

int Call(const std::string& path, const std::string& thumbprint, const std::string& pin, int rounds)
{
    std::ifstream in(path, std::ios::binary);
    std::string document((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    void* out = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_CMSXmlSigner, nullptr, CLSCTX_INPROC_SERVER, IID_IMSXmlSigner, &out);
    if (FAILED(hr)) {
        std::fprintf(stderr, "signer_bench: CoCreateInstance failed: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    auto* signer = static_cast<IMSXmlSigner*>(out);
    std::u16string xmlText = Wide(document), hashText = Wide(thumbprint), pinText = Wide(pin);
    BSTR xml = SysAllocStringLen(xmlText.data(), static_cast<UINT>(xmlText.size()));
    BSTR store = SysAllocString(u"My");
    BSTR hash = SysAllocString(hashText.c_str());
    BSTR password = SysAllocString(pinText.c_str());
    auto once = [&] {
        BSTR result = nullptr;
        HRESULT status = signer->SignWithCertStorePass(xml, store, hash, password, &result);
        INT code = -1;
        signer->SignGetLastErrorCode(&code);
        SysFreeString(result);
        return status == S_OK && code == 0;
    };
    for (int i = 0; i < 10; ++i) {
        if (!once()) {
            std::fprintf(stderr, "signer_bench: signing failed\n");
            return 1;
        }
    }
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        once();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("SignWithCertStorePass 1 call, median of %d: %.3f ms (target under 10 ms: %s)\n", rounds,
                median, median < 10.0 ? "met" : "missed");
    SysFreeString(xml);
    SysFreeString(store);
    SysFreeString(hash);
    SysFreeString(password);
    signer->Release();
    CoUninitialize();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "setup" && argc == 3)
        return Setup(argv[2]);
    if (mode == "call" && argc >= 5)
        return Call(argv[2], argv[3], argv[4], argc > 5 ? std::max(1, std::atoi(argv[5])) : 300);
    std::fprintf(stderr,
                 "usage: signer_bench setup DIR | signer_bench call DOCUMENT THUMBPRINT PIN [ROUNDS]\n");
    return 2;
}

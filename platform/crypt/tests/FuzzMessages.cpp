// libFuzzer entry point for CryptDecryptMessage: the size pass, then the
// decryption against a store that holds a GOST certificate whose key sits in
// a container of the provider, so that inputs close to a real message reach
// the key transport and the content. Built with -fsanitize=fuzzer under
// TRUMIK_FUZZ; the test run drives it through FuzzMessagesDriverTest.cpp.
//
// The recipient is made in process at the first call. With
// TRUMIK_FUZZ_SEED_DIR set, LLVMFuzzerInitialize writes messages for it there
// as the starting corpus (they only open in the same process).
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "FuzzMessages.h"

#include "csp/Containers.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Recipient {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT cert = nullptr; // in the store
};

// A self-signed certificate for a new GOST R 34.10-2001 key in the container
// "fuzz-recipient", in a memory store with its key-provider information.
Recipient MakeRecipient()
{
    using namespace trumik::csp;
    Recipient r;
    const std::string name = "fuzz-recipient";
    DeleteContainer(Scope::User, name);
    UniqueEvpPkey key = GenerateGostKey();
    auto pkcs8 = key ? PrivateKeyToPkcs8(key.get()) : std::nullopt;
    if (!pkcs8 || CreateContainer(Scope::User, name, AT_KEYEXCHANGE, *pkcs8, std::nullopt, false) != 0)
        return r;
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    X509_NAME* subject = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Fuzz"),
                               -1, -1, 0);
    X509_set_issuer_name(x.get(), subject);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), 4242);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400);
    X509_set_pubkey(x.get(), key.get());
    if (!X509_sign(x.get(), key.get(), GostR3411Digest()))
        return r;
    unsigned char* der = nullptr;
    int length = i2d_X509(x.get(), &der);
    ERR_clear_error();
    if (length <= 0)
        return r;
    r.store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    CertAddEncodedCertificateToStore(r.store, X509_ASN_ENCODING, der, static_cast<DWORD>(length),
                                     CERT_STORE_ADD_NEW, &r.cert);
    OPENSSL_free(der);
    std::u16string container(name.begin(), name.end());
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.dwProvType = 75;
    info.dwKeySpec = AT_KEYEXCHANGE;
    CertSetCertificateContextProperty(r.cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    return r;
}

// Lives for the process, as the fuzzer does.
const Recipient& TheRecipient()
{
    static Recipient r = MakeRecipient();
    return r;
}

std::vector<BYTE> Encrypt(const std::vector<BYTE>& plain)
{
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof(para);
    para.dwMsgEncodingType = PKCS_7_ASN_ENCODING | X509_ASN_ENCODING;
    para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_CP_GOST_28147);
    PCCERT_CONTEXT recipients[] = {TheRecipient().cert};
    DWORD size = 0;
    if (!recipients[0] || !CryptEncryptMessage(&para, 1, recipients, plain.data(),
                                               static_cast<DWORD>(plain.size()), nullptr, &size))
        return {};
    std::vector<BYTE> out(size);
    if (!CryptEncryptMessage(&para, 1, recipients, plain.data(), static_cast<DWORD>(plain.size()), out.data(),
                             &size))
        return {};
    out.resize(size);
    return out;
}

} // namespace

std::vector<std::vector<BYTE>> MessageFuzzSeeds()
{
    std::vector<std::vector<BYTE>> seeds;
    for (size_t n : {0, 1, 17, 700})
        seeds.push_back(Encrypt(std::vector<BYTE>(n, static_cast<BYTE>(n))));
    return seeds;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* dir = std::getenv("TRUMIK_FUZZ_SEED_DIR");
    if (!dir)
        return 0;
    int i = 0;
    for (const auto& seed : MessageFuzzSeeds()) {
        std::string path = std::string(dir) + "/seed-" + std::to_string(i++) + ".der";
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(seed.data(), 1, seed.size(), f);
            std::fclose(f);
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Recipient& r = TheRecipient();
    HCERTSTORE stores[] = {r.store};
    CRYPT_DECRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof(para);
    para.dwMsgAndCertEncodingType = PKCS_7_ASN_ENCODING | X509_ASN_ENCODING;
    para.cCertStore = r.store ? 1 : 0;
    para.rghCertStore = stores;
    para.dwFlags = CRYPT_MESSAGE_SILENT_KEYSET_FLAG;
    DWORD needed = 0;
    if (!CryptDecryptMessage(&para, data, static_cast<DWORD>(size), nullptr, &needed, nullptr))
        return 0;
    if (needed > size)
        std::abort(); // the plain data is never longer than the message
    std::vector<BYTE> out(needed + 1);
    DWORD got = needed;
    PCCERT_CONTEXT exchange = nullptr;
    if (CryptDecryptMessage(&para, data, static_cast<DWORD>(size), out.data(), &got, &exchange)) {
        if (got > needed || !exchange)
            std::abort();
        CertFreeCertificateContext(exchange);
    }
    return 0;
}

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
#include "FuzzRecipient.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::vector<BYTE> Encrypt(const std::vector<BYTE>& plain)
{
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof(para);
    para.dwMsgEncodingType = PKCS_7_ASN_ENCODING | X509_ASN_ENCODING;
    para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_CP_GOST_28147);
    PCCERT_CONTEXT recipients[] = {TheFuzzRecipient().cert};
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
    const FuzzRecipient& r = TheFuzzRecipient();
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

// libFuzzer entry point for the readers of certificate store files and of
// DER certificates. Built with -fsanitize=fuzzer under TRUMIK_FUZZ; the
// test run drives it through FuzzDriverTest.cpp.
#include "wincrypt.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string ScratchFile()
{
    const char* home = std::getenv("TRUMIK_HOME");
    return std::string(home ? home : "/tmp") + "/fuzz-input-" + std::to_string(getpid()) + ".bin";
}

void Drain(HCERTSTORE s)
{
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c;
         c = CertEnumCertificatesInStore(s, c)) {
        DWORD n = 0;
        CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n);
        char16_t name[128];
        CertNameToStrW(X509_ASN_ENCODING, &c->pCertInfo->Subject, CERT_X500_NAME_STR, name, 128);
    }
    for (PCCRL_CONTEXT c = CertEnumCRLsInStore(s, nullptr); c; c = CertEnumCRLsInStore(s, c)) {
    }
    CertCloseStore(s, 0);
}

// TRUMIK_FUZZ_READER=cert (the certificate and CRL decoders) or store (the
// file and serialized-store readers) gives a run to one reader; unset, both.
bool Wants(const char* reader)
{
    static const std::string chosen = [] {
        const char* v = std::getenv("TRUMIK_FUZZ_READER");
        return std::string(v ? v : "");
    }();
    return chosen.empty() || chosen == reader;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = ScratchFile();
    if (Wants("store")) {
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            if (size)
                std::fwrite(data, 1, size, f);
            std::fclose(f);
            if (HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_FILENAME_A,
                                             X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, path.c_str()))
                Drain(s);
        }
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(size), const_cast<BYTE*>(data)};
        if (HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_SERIALIZED, X509_ASN_ENCODING, 0, 0, &blob))
            Drain(s);
    }
    if (Wants("cert")) {
        if (PCCERT_CONTEXT c =
                CertCreateCertificateContext(X509_ASN_ENCODING, data, static_cast<DWORD>(size))) {
            BYTE usage[2];
            CertGetIntendedKeyUsage(X509_ASN_ENCODING, c->pCertInfo, usage, 2);
            CertFreeCertificateContext(c);
        }
        if (PCCRL_CONTEXT c = CertCreateCRLContext(X509_ASN_ENCODING, data, static_cast<DWORD>(size)))
            CertFreeCRLContext(c);
    }
    return 0;
}

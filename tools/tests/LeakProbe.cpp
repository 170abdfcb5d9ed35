// Run under LeakSanitizer with the project's suppressions (tools/lsan.supp)
// by leak_check_sees_leaks.sh. It starts the libraries as the platform does
// (OpenSSL, the GOST engine, a GOST digest), then, with "leak", loses an
// X509 and an EVP_MD_CTX made after the start-up: the report must name both.
// With "clean" it frees them, and the start-up alone must leave no report.
// The GOST engine is reached through the engine API, deprecated in OpenSSL 3.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>

namespace {

// Each object is made out of line, so that the report names the function
// that lost it and no pointer to it stays in main's frame or registers.
__attribute__((noinline)) X509* LoseCertificate()
{
    X509* certificate = X509_new();
    if (certificate && !X509_set_version(certificate, 2)) {
        X509_free(certificate);
        return nullptr;
    }
    return certificate;
}

__attribute__((noinline)) EVP_MD_CTX* LoseDigestContext()
{
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    const EVP_MD* md = EVP_get_digestbyname("md_gost94");
    if (digest && (!md || !EVP_DigestInit_ex(digest, md, nullptr))) {
        EVP_MD_CTX_free(digest);
        return nullptr;
    }
    return digest;
}

__attribute__((noinline)) bool MakeObjects(bool leak)
{
    X509* certificate = LoseCertificate();
    EVP_MD_CTX* digest = LoseDigestContext();
    if (!certificate || !digest) {
        std::fprintf(stderr, "leak_probe: no X509 or no GOST R 34.11-94 digest context\n");
        return false;
    }
    if (!leak) {
        EVP_MD_CTX_free(digest);
        X509_free(certificate);
    }
    return true;
}

// Overwrites the stack below the caller, where the lost pointers were.
__attribute__((noinline)) void ClearStack()
{
    volatile char scratch[16384];
    for (size_t i = 0; i < sizeof scratch; ++i)
        scratch[i] = 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool leak = argc > 1 && std::strcmp(argv[1], "leak") == 0;
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    ENGINE_load_builtin_engines();
    ENGINE* engine = ENGINE_by_id("gost");
    if (!engine || !ENGINE_init(engine)) {
        std::fprintf(stderr, "leak_probe: the gost engine does not load\n");
        return 2;
    }
    ENGINE_register_pkey_asn1_meths(engine);
    ENGINE_register_pkey_meths(engine);
    ENGINE_register_digests(engine);
    ENGINE_free(engine);

    if (!MakeObjects(leak))
        return 2;
    ClearStack();
    std::printf("leak_probe: %s\n", leak ? "leaving an X509 and an EVP_MD_CTX" : "all freed");
    return 0;
}

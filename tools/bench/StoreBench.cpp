// Times what every signing call does with the certificate store: open a
// system store, find a certificate by SHA-1 thumbprint, close the store; in
// a store of 10 certificates and in one of 10,000. Then one GOST R 34.10-2001
// signature through CryptSignHash against EVP_PKEY_sign with the same key in
// the same process.
//   store_bench stores [ROUNDS]
//   store_bench sign [ROUNDS] [KEYFILE]   (KEYFILE: the key written as PEM for openssl pkeyutl)
#include "csp/Containers.h"
#include "wincrypt.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<BYTE>;

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

// Distinct self-signed certificates, quickly: one EC key for all.
Bytes QuickCert(EVP_PKEY* key, long serial)
{
    std::unique_ptr<X509, X509Free> x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400 * 30);
    X509_NAME* name = X509_get_subject_name(x.get());
    std::string cn = "Bench certificate " + std::to_string(serial);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(x.get(), name);
    X509_set_pubkey(x.get(), key);
    X509_sign(x.get(), key, EVP_sha256());
    unsigned char* der = nullptr;
    int n = i2d_X509(x.get(), &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

// Fills the user's store `name` with n certificates; returns the thumbprints.
std::vector<Bytes> Fill(const std::u16string& name, int n, EVP_PKEY* key)
{
    std::vector<Bytes> hashes;
    HCERTSTORE s =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name.c_str());
    if (!s)
        return hashes;
    for (int i = 0; i < n; ++i) {
        Bytes der = QuickCert(key, 100000L * n + i);
        PCCERT_CONTEXT c = nullptr;
        if (!CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                              &c))
            break;
        Bytes hash(20);
        DWORD size = 20;
        CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash.data(), &size);
        hashes.push_back(hash);
        CertFreeCertificateContext(c);
    }
    CertCloseStore(s, 0);
    return hashes;
}

// Microseconds per open + find + close, the best of three passes of `rounds`.
double OpenFindClose(const std::u16string& name, const std::vector<Bytes>& hashes, int rounds, bool* allFound)
{
    double best = 1e30;
    *allFound = true;
    for (int pass = 0; pass < 3; ++pass) {
        auto start = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            const Bytes& hash = hashes[(static_cast<size_t>(i) * 7919) % hashes.size()];
            HCERTSTORE s =
                CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name.c_str());
            CRYPT_HASH_BLOB blob{20, const_cast<BYTE*>(hash.data())};
            PCCERT_CONTEXT c =
                s ? CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr)
                  : nullptr;
            if (!c)
                *allFound = false;
            else
                CertFreeCertificateContext(c);
            if (s)
                CertCloseStore(s, 0);
        }
        double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
        best = std::min(best, us);
    }
    return best;
}

int Stores(int rounds)
{
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
    std::printf("%-28s %14s %14s\n", "store", "fill s", "open+find+close us");
    double small = 0, large = 0;
    for (int n : {10, 10000}) {
        std::u16string name = n == 10 ? u"Bench10" : u"Bench10000";
        auto start = Clock::now();
        std::vector<Bytes> hashes = Fill(name, n, key.get());
        double fill = std::chrono::duration<double>(Clock::now() - start).count();
        if (hashes.size() != static_cast<size_t>(n)) {
            std::fprintf(stderr, "store_bench: filling the store of %d failed: 0x%08X\n", n, GetLastError());
            return 1;
        }
        bool found = false;
        double us = OpenFindClose(name, hashes, rounds, &found);
        if (!found) {
            std::fprintf(stderr, "store_bench: a certificate was not found in the store of %d\n", n);
            return 1;
        }
        std::printf("%-28s %14.2f %14.1f\n", (std::to_string(n) + " certificates").c_str(), fill, us);
        (n == 10 ? small : large) = us;
    }
    std::printf("ratio 10,000 / 10: %.2f (target within 2)\n", large / small);
    return 0;
}

int Sign(int rounds, const char* keyFile)
{
    // A container with a new key, as cert new makes it (no PIN: the key as stored is what is timed).
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, "bench-signer", nullptr, PROV_GOST_2001_DH, CRYPT_NEWKEYSET) &&
        !CryptAcquireContextA(&prov, "bench-signer", nullptr, PROV_GOST_2001_DH, 0)) {
        std::fprintf(stderr, "store_bench: no container: 0x%08X\n", GetLastError());
        return 1;
    }
    HCRYPTKEY userKey = 0;
    if (!CryptGenKey(prov, AT_SIGNATURE, CRYPT_EXPORTABLE, &userKey)) {
        std::fprintf(stderr, "store_bench: no key: 0x%08X\n", GetLastError());
        return 1;
    }
    CryptDestroyKey(userKey);
    trumik::csp::UniqueEvpPkey key;
    if (DWORD rc = trumik::csp::LoadPrivateKey(trumik::csp::Scope::User, "bench-signer", AT_SIGNATURE,
                                               std::nullopt, &key)) {
        std::fprintf(stderr, "store_bench: the key does not load: 0x%08X\n", rc);
        return 1;
    }
    if (keyFile) {
        FILE* f = std::fopen(keyFile, "w");
        if (!f || PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
            std::fprintf(stderr, "store_bench: cannot write %s\n", keyFile);
            if (f)
                std::fclose(f);
            return 1;
        }
        std::fclose(f);
    }
    BYTE digest[32];
    for (int i = 0; i < 32; ++i)
        digest[i] = static_cast<BYTE>(i * 7 + 1);

    auto cryptoApi = [&] {
        HCRYPTHASH hash = 0;
        BYTE sig[64];
        DWORD len = sizeof sig;
        bool ok = CryptCreateHash(prov, CALG_GR3411, 0, 0, &hash) &&
                  CryptSetHashParam(hash, HP_HASHVAL, digest, 0) &&
                  CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, sig, &len);
        if (hash)
            CryptDestroyHash(hash);
        return ok;
    };
    auto evp = [&] {
        std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
        unsigned char sig[64];
        size_t len = sizeof sig;
        return ctx && EVP_PKEY_sign_init(ctx.get()) > 0 &&
               EVP_PKEY_sign(ctx.get(), sig, &len, digest, 32) > 0;
    };
    // Passes alternate between the two, so a busy machine weighs on both alike; the best pass counts.
    auto pass = [&](auto&& one) {
        auto start = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            if (!one())
                return -1.0;
        }
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
    };
    double ours = 1e30, theirs = 1e30;
    for (int p = 0; p < 5 && ours >= 0 && theirs >= 0; ++p) {
        double a = pass(cryptoApi), b = pass(evp);
        ours = a < 0 ? a : std::min(ours, a);
        theirs = b < 0 ? b : std::min(theirs, b);
    }
    CryptReleaseContext(prov, 0);
    if (ours < 0 || theirs < 0) {
        std::fprintf(stderr, "store_bench: a signature failed: 0x%08X\n", GetLastError());
        return 1;
    }
    std::printf("CryptSignHash (create hash, set value, sign)  %10.1f us\n", ours);
    std::printf("EVP_PKEY_sign (new context, sign)             %10.1f us\n", theirs);
    std::printf("ratio %.2f (target within 1.2)\n", ours / theirs);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    int rounds = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "stores")
        return Stores(rounds > 0 ? rounds : 2000);
    if (mode == "sign")
        return Sign(rounds > 0 ? rounds : 2000, argc > 3 ? argv[3] : nullptr);
    std::fprintf(stderr, "usage: store_bench stores [ROUNDS] | sign [ROUNDS] [KEYFILE]\n");
    return 2;
}

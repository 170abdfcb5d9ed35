// Times what every signing call does with the certificate store: open a
// system store, find a certificate by SHA-1 thumbprint, close the store; in
// a store of 10 certificates and in one of 10,000. Then one GOST R 34.10-2001
// signature through CryptSignHash against EVP_PKEY_sign with the same key in
// the same process.
//   store_bench stores [ROUNDS]
//   store_bench sign [ROUNDS] [KEYFILE]   (KEYFILE: the key written as PEM for openssl pkeyutl)
//   store_bench seeds DIR                 (seed inputs for the fuzzer of the readers)
#include "csp/Containers.h"
#include "internal/OpenSslHandles.h"
#include "wincrypt.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<BYTE>;

using trumik::platform::EvpPkeyCtxFree;
using trumik::platform::EvpPkeyFree;
using trumik::platform::X509Free;

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

double CpuMicros()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Microseconds per open + find + close: the best batch of `rounds` split in
// twenty, in wall time and in the thread's CPU time.
bool OpenFindClose(const std::u16string& name, const std::vector<Bytes>& hashes, int rounds, double* wall,
                   double* cpu)
{
    *wall = *cpu = 1e30;
    const int batch = std::max(1, rounds / 20);
    size_t next = 0;
    for (int done = 0; done < rounds; done += batch) {
        auto start = Clock::now();
        double cpuStart = CpuMicros();
        for (int i = 0; i < batch; ++i) {
            const Bytes& hash = hashes[(next++ * 7919) % hashes.size()];
            HCERTSTORE s =
                CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name.c_str());
            CRYPT_HASH_BLOB blob{20, const_cast<BYTE*>(hash.data())};
            PCCERT_CONTEXT c =
                s ? CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr)
                  : nullptr;
            if (s)
                CertCloseStore(s, 0);
            if (!c)
                return false;
            CertFreeCertificateContext(c);
        }
        *cpu = std::min(*cpu, (CpuMicros() - cpuStart) / batch);
        *wall =
            std::min(*wall, std::chrono::duration<double, std::micro>(Clock::now() - start).count() / batch);
    }
    return true;
}

int Stores(int rounds)
{
    std::unique_ptr<EVP_PKEY, EvpPkeyFree> key(EVP_EC_gen("P-256"));
    std::printf("%-28s %10s %10s %10s\n", "store", "fill s", "wall us", "CPU us");
    double wall[2] = {}, cpu[2] = {};
    for (int which = 0; which < 2; ++which) {
        int n = which == 0 ? 10 : 10000;
        std::u16string name = which == 0 ? u"Bench10" : u"Bench10000";
        auto start = Clock::now();
        std::vector<Bytes> hashes = Fill(name, n, key.get());
        double fill = std::chrono::duration<double>(Clock::now() - start).count();
        if (hashes.size() != static_cast<size_t>(n)) {
            std::fprintf(stderr, "store_bench: filling the store of %d failed: 0x%08X\n", n, GetLastError());
            return 1;
        }
        if (!OpenFindClose(name, hashes, rounds, &wall[which], &cpu[which])) {
            std::fprintf(stderr, "store_bench: a certificate was not found in the store of %d\n", n);
            return 1;
        }
        std::printf("%-28s %10.2f %10.1f %10.1f\n", (std::to_string(n) + " certificates").c_str(), fill,
                    wall[which], cpu[which]);
    }
    std::printf("ratio 10,000 / 10: %.2f in wall time, %.2f in CPU time (target within 2)\n",
                wall[1] / wall[0], cpu[1] / cpu[0]);
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
        std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
        unsigned char sig[64];
        size_t len = sizeof sig;
        return ctx && EVP_PKEY_sign_init(ctx.get()) > 0 &&
               EVP_PKEY_sign(ctx.get(), sig, &len, digest, 32) > 0;
    };
    // Short passes alternate between the two, so a busy machine weighs on both
    // alike; each keeps its best pass, in wall time and in the thread's CPU
    // time (user and system), which other processes do not inflate.
    struct Best {
        double wall = 1e30, cpu = 1e30;
    };
    const int batch = std::max(1, rounds / 20);
    auto pass = [&](auto&& one, Best& best) {
        auto start = Clock::now();
        double cpu = CpuMicros();
        for (int i = 0; i < batch; ++i) {
            if (!one())
                return false;
        }
        best.cpu = std::min(best.cpu, (CpuMicros() - cpu) / batch);
        best.wall = std::min(best.wall,
                             std::chrono::duration<double, std::micro>(Clock::now() - start).count() / batch);
        return true;
    };
    Best ours, theirs;
    bool ok = true;
    for (int done = 0; ok && done < rounds; done += batch)
        ok = pass(cryptoApi, ours) && pass(evp, theirs);
    CryptReleaseContext(prov, 0);
    if (!ok) {
        std::fprintf(stderr, "store_bench: a signature failed: 0x%08X\n", GetLastError());
        return 1;
    }
    std::printf("%-46s %10s %10s\n", "", "wall us", "CPU us");
    std::printf("%-46s %10.1f %10.1f\n", "CryptSignHash (create hash, set value, sign)", ours.wall, ours.cpu);
    std::printf("%-46s %10.1f %10.1f\n", "EVP_PKEY_sign (new context, sign)", theirs.wall, theirs.cpu);
    std::printf("ratio %.2f in wall time, %.2f in CPU time (target within 1.2)\n", ours.wall / theirs.wall,
                ours.cpu / theirs.cpu);
    return 0;
}

bool WriteFile(const std::string& path, const Bytes& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

// Seed inputs for the fuzzer of the readers: in DIR/cert a DER certificate and
// a PEM file of two; in DIR/store a serialized store with a key link, a
// PKCS #7 and the same PEM file.
int Seeds(const std::string& dir)
{
    std::unique_ptr<EVP_PKEY, EvpPkeyFree> key(EVP_EC_gen("P-256"));
    Bytes first = QuickCert(key.get(), 1), second = QuickCert(key.get(), 2);
    auto pem = [](const Bytes& der) {
        std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), der.data(),
                                static_cast<int>(der.size()));
        b64.resize(static_cast<size_t>(n));
        std::string out = "-----BEGIN CERTIFICATE-----\n";
        for (size_t i = 0; i < b64.size(); i += 64)
            out += b64.substr(i, 64) + "\n";
        return out + "-----END CERTIFICATE-----\n";
    };
    std::string two = pem(first) + pem(second);
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    PCCERT_CONTEXT c = nullptr;
    CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, first.data(), static_cast<DWORD>(first.size()),
                                     CERT_STORE_ADD_NEW, &c);
    CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, second.data(), static_cast<DWORD>(second.size()),
                                     CERT_STORE_ADD_NEW, nullptr);
    std::u16string container = u"seed", provider = CP_GR3410_2001_PROV_W;
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_GOST_2001_DH, 0, 0,
                             nullptr,          AT_KEYEXCHANGE};
    if (c) {
        CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
        CertFreeCertificateContext(c);
    }
    Bytes saved[2];
    DWORD kinds[2] = {CERT_STORE_SAVE_AS_STORE, CERT_STORE_SAVE_AS_PKCS7};
    for (int i = 0; i < 2; ++i) {
        CRYPT_DATA_BLOB blob{0, nullptr};
        CertSaveStore(s, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, kinds[i], CERT_STORE_SAVE_TO_MEMORY, &blob,
                      0);
        saved[i].resize(blob.cbData);
        blob.pbData = saved[i].data();
        CertSaveStore(s, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, kinds[i], CERT_STORE_SAVE_TO_MEMORY, &blob,
                      0);
        saved[i].resize(blob.cbData);
    }
    CertCloseStore(s, 0);
    Bytes twoBytes(two.begin(), two.end());
    bool ok = WriteFile(dir + "/cert/one.der", first) && WriteFile(dir + "/cert/two.pem", twoBytes) &&
              WriteFile(dir + "/store/store.sst", saved[0]) && WriteFile(dir + "/store/two.p7b", saved[1]) &&
              WriteFile(dir + "/store/two.pem", twoBytes) && !saved[0].empty() && !saved[1].empty();
    if (!ok)
        std::fprintf(stderr, "store_bench: cannot write the seeds under %s (make cert/ and store/ first)\n",
                     dir.c_str());
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    int rounds = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "stores")
        return Stores(rounds > 0 ? rounds : 2000);
    if (mode == "seeds" && argc > 2)
        return Seeds(argv[2]);
    if (mode == "sign")
        return Sign(rounds > 0 ? rounds : 2000, argc > 3 ? argv[3] : nullptr);
    std::fprintf(stderr, "usage: store_bench stores [ROUNDS] | sign [ROUNDS] [KEYFILE] | seeds DIR\n");
    return 2;
}

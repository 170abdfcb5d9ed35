// trumik cert and trumik crl: certificates and CRLs in the platform's stores.
#include "CertCommands.h"

#include "AdminSupport.h"
#include "Automation.h"
#include "CertBuilder.h"
#include "CertSupport.h"
#include "ComponentSettings.h"
#include "Pkcs12.h"

#include "csp/Containers.h"
#include "csp/ProviderSettings.h"
#include "csp/Tokens.h"

#include <openssl/crypto.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <strings.h>

namespace trumik::host {

namespace {

using trumik::csp::Scope;

constexpr unsigned kDefaultKeyUsage =
    CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE;

// ---- cert new ----

// A certificate made for a key pair on a token: written to the token beside
// its key pair, added to the store linked to the token container.
int FinishTokenCertificate(PCCERT_CONTEXT made, const Bytes& der, const std::string& container,
                           HCERTSTORE store, const std::string& storeName, bool machine, DWORD keySpec,
                           trumik::csp::GostKind kind, const std::optional<std::string>& out)
{
    std::string thumbprint = Thumbprint(made);
    if (DWORD rc = trumik::csp::TokenWriteCertificate(container, der, thumbprint))
        return Report({"cannot write the certificate to the token (container " + container + ")", rc});
    PCCERT_CONTEXT added = nullptr;
    if (!SetKeyLink(made, container, machine, keySpec, kind) ||
        !CertAddCertificateContextToStore(store, made, CERT_STORE_ADD_NEW, &added))
        return Report({"cannot add the certificate to " + StoreLabel(storeName, machine), GetLastError()});
    UniqueCert addedGuard(added);
    if (out && !WriteCertificate(der, *out))
        return Report({"cannot write " + *out});
    std::printf("%s\n", thumbprint.c_str());
    return kExitOk;
}

int CertNew(const std::vector<std::string>& args)
{
    std::string error;
    auto options =
        ParseOptions(args,
                     {"subject", "store", "container", "pin", "key-spec", "key-usage", "not-before",
                      "not-after", "issuer", "issuer-pin", "out", "algorithm", "token"},
                     {"machine"}, &error);
    if (!options)
        return UsageError(error, "cert");
    if (!options->positional.empty())
        return UsageError("unexpected argument " + options->positional[0], "cert");
    auto subject = options->Get("subject");
    if (!subject)
        return UsageError("cert new needs --subject DN", "cert");
    if (!CheckDistinguishedName(*subject, &error))
        return UsageError(error, "cert");
    auto keySpec = ParseKeySpec(options->Get("key-spec", "exchange"));
    if (!keySpec)
        return UsageError("--key-spec is exchange or signature", "cert");
    const trumik::csp::GostKind kind = ParseAlgorithm(options->Get("algorithm", "gost2001"));
    if (kind == trumik::csp::GostKind::None)
        return UsageError("--algorithm is gost2001, gost2012-256 or gost2012-512", "cert");
    std::optional<unsigned> keyUsage = kDefaultKeyUsage;
    if (auto list = options->Get("key-usage")) {
        if (*list == "none")
            keyUsage.reset();
        else if (!(keyUsage = ParseKeyUsage(*list, &error)))
            return UsageError(error, "cert");
    }
    time_t now = std::time(nullptr);
    time_t notBefore = now, notAfter = 0;
    if (auto text = options->Get("not-before")) {
        auto t = ParseIsoTime(*text);
        if (!t)
            return UsageError("--not-before is YYYY-MM-DD[THH:MM[:SS]][Z], UTC", "cert");
        notBefore = *t;
    }
    if (auto text = options->Get("not-after")) {
        auto t = ParseIsoTime(*text);
        if (!t)
            return UsageError("--not-after is YYYY-MM-DD[THH:MM[:SS]][Z], UTC", "cert");
        notAfter = *t;
    } else {
        struct tm tm {};
        gmtime_r(&notBefore, &tm);
        tm.tm_year += 1;
        notAfter = timegm(&tm);
    }
    if (notAfter <= notBefore)
        return UsageError("the certificate would end before it begins (--not-after before --not-before)",
                          "cert");
    std::optional<std::string> pin, issuerPin;
    if (auto text = options->Get("pin")) {
        if (!(pin = PinBytes(*text)))
            return UsageError("--pin is 1 to 40 characters", "cert");
    }
    if (auto text = options->Get("issuer-pin")) {
        if (!(issuerPin = PinBytes(*text)))
            return UsageError("--issuer-pin is 1 to 40 characters", "cert");
    }
    std::optional<Bytes> issuerHash;
    if (auto text = options->Get("issuer")) {
        if (!(issuerHash = ParseThumbprint(*text)))
            return UsageError("--issuer is a thumbprint of 40 hexadecimal digits", "cert");
    }
    if (options->Has("issuer-pin") && !issuerHash)
        return UsageError("--issuer-pin goes with --issuer", "cert");
    std::string storeName = options->Get("store", "My");
    bool machine = options->Has("machine");
    auto container = options->Get("container");
    if (container && !trumik::csp::IsValidContainerName(*container))
        return UsageError("\"" + *container + "\" is not a container name (no backslash, at most 240 bytes)",
                          "cert");

    auto token = options->Get("token");
    if (token && container)
        return UsageError("--container and --token do not go together (a token names its key pairs)", "cert");
    if (token && !pin)
        return UsageError("cert new --token needs --pin PIN (the token's user PIN)", "cert");
    if (token && kind != trumik::csp::GostKind::R2012_256 && kind != trumik::csp::GostKind::R2012_512)
        return UsageError("cert new --token makes gost2012-256 or gost2012-512 keys (--algorithm)", "cert");

    UniqueStore store = OpenSystemStore(storeName, machine);
    if (!store)
        return Report({"cannot open " + StoreLabel(storeName, machine), GetLastError()});

    // The issuer: its certificate in the store, its key in its container.
    UniquePkey issuerKey;
    Bytes issuerDer;
    if (issuerHash) {
        UniqueCert issuer = FindByThumbprint(store.get(), *issuerHash);
        if (!issuer)
            return Report(
                {"no issuer " + HexUpper(issuerHash->data(), 20) + " in " + StoreLabel(storeName, machine),
                 GetLastError()});
        issuerDer = EncodedOf(issuer.get());
        BYTE usage[2] = {};
        if (CertGetIntendedKeyUsage(X509_ASN_ENCODING, issuer->pCertInfo, usage, 2) &&
            !(usage[0] & CERT_KEY_CERT_SIGN_KEY_USAGE))
            return Report({"the issuer's key usage does not allow signing certificates (keyCertSign)"});
        auto link = ReadKeyLink(issuer.get());
        if (!link)
            return Report({"the issuer's certificate is not linked to a key container",
                           static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY)});
        trumik::csp::UniqueEvpPkey key;
        DWORD rc = trumik::csp::LoadPrivateKey(ScopeOf(link->machine()), link->container, link->keySpec,
                                               issuerPin, &key);
        if (rc)
            return Report({"cannot open the issuer's key in the container \"" + link->container + "\"", rc});
        issuerKey.reset(key.release());
        if (!CertificateHoldsKey(issuerDer, issuerKey.get()))
            return Report({"the issuer's container \"" + link->container +
                           "\" holds a key other than the issuer certificate's"});
    }

    UniquePkey key = NewGostKey(kind);
    if (!key)
        return Report(
            {"cannot make a " + AlgorithmTitle(kind) + " key (is libengine-gost-openssl installed?)",
             static_cast<DWORD>(NTE_FAIL)});
    // On a token the key pair is made there; the key made above only names
    // the signature algorithm, and the token signs.
    UniquePkey standIn;
    std::string tokenContainer;
    if (token) {
        Bytes spki;
        if (DWORD rc = trumik::csp::TokenGenerateKeyPair(*token, *pin, kind, &tokenContainer, &spki, &error))
            return Report({error, rc});
        standIn = std::move(key);
        key.reset(trumik::csp::PublicKeyFromSpki(spki).release());
        if (!key)
            return Report(
                {"the token's new public key cannot be read", static_cast<DWORD>(NTE_BAD_PUBLIC_KEY)});
    }
    CertificateRequest request;
    request.subject = *subject;
    request.keyUsage = keyUsage;
    request.notBefore = notBefore;
    request.notAfter = notAfter;
    request.subjectKey = key.get();
    request.signingKey = issuerKey ? issuerKey.get() : standIn ? standIn.get() : key.get();
    request.issuerDer = issuerHash ? &issuerDer : nullptr;
    if (token && !issuerKey)
        request.signDigest = [&](const Bytes& digest) -> std::optional<Bytes> {
            Bytes signature;
            if (trumik::csp::TokenSignDigest(tokenContainer, digest, std::nullopt, &signature))
                return std::nullopt;
            return signature;
        };
    auto der = MakeCertificate(request, &error);
    if (!der)
        return Report({error});
    UniqueCert made(
        CertCreateCertificateContext(X509_ASN_ENCODING, der->data(), static_cast<DWORD>(der->size())));
    if (!made)
        return Report({"the new certificate cannot be read back", GetLastError()});
    std::string thumbprint = Thumbprint(made.get());
    if (token)
        return FinishTokenCertificate(made.get(), *der, tokenContainer, store.get(), storeName, machine,
                                      *keySpec, kind, options->Get("out"));
    std::string containerName = container ? *container : thumbprint;

    auto pkcs8 = PrivateKeyDer(key.get());
    if (!pkcs8)
        return Report({"the new key cannot be encoded", static_cast<DWORD>(NTE_FAIL)});
    if (DWORD rc = trumik::csp::CreateContainer(ScopeOf(machine), containerName, *keySpec, *pkcs8, pin, true))
        return Report({"cannot create the container \"" + containerName + "\"", rc});
    // The certificate goes in with its link in one write.
    PCCERT_CONTEXT added = nullptr;
    if (!SetKeyLink(made.get(), containerName, machine, *keySpec, kind) ||
        !CertAddCertificateContextToStore(store.get(), made.get(), CERT_STORE_ADD_NEW, &added)) {
        DWORD rc = GetLastError();
        trumik::csp::DeleteContainer(ScopeOf(machine), containerName);
        return Report({"cannot add the certificate to " + StoreLabel(storeName, machine), rc});
    }
    UniqueCert addedGuard(added);
    if (auto out = options->Get("out")) {
        if (!WriteCertificate(*der, *out))
            return Report({"cannot write " + *out});
    }
    std::printf("%s\n", thumbprint.c_str());
    return kExitOk;
}

// ---- cert import ----

// A PKCS #12 file: its key goes into a new container linked to the
// certificate that holds it, every certificate of the file into the store.
// Everything is read and checked before the first write.
int CertImportPfx(const Options& options)
{
    const std::string file = *options.Get("pfx");
    if (!options.positional.empty())
        return UsageError("cert import --pfx takes no other FILE", "cert");
    if (options.Has("key"))
        return UsageError("--key and --pfx do not go together", "cert");
    auto container = options.Get("container");
    if (!container)
        return UsageError("cert import --pfx needs --container NAME", "cert");
    if (!trumik::csp::IsValidContainerName(*container))
        return UsageError("\"" + *container + "\" is not a container name (no backslash, at most 240 bytes)",
                          "cert");
    auto keySpec = ParseKeySpec(options.Get("key-spec", "exchange"));
    if (!keySpec)
        return UsageError("--key-spec is exchange or signature", "cert");
    std::optional<std::string> pin;
    if (auto text = options.Get("pin")) {
        if (!(pin = PinBytes(*text)))
            return UsageError("--pin is 1 to 40 characters", "cert");
    }
    std::string storeName = options.Get("store", "My");
    bool machine = options.Has("machine");

    auto bytes = ReadWholeFile(file);
    if (!bytes)
        return Report({"cannot read " + file, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)});
    Failure failure;
    auto contents = ReadPfx(*bytes, options.Get("password"), file, &failure);
    if (!contents)
        return Report(failure);
    const trumik::csp::GostKind kind = trumik::csp::KindOf(contents->key.get());
    auto pkcs8 = PrivateKeyDer(contents->key.get());
    if (!pkcs8)
        return Report({"the key cannot be encoded", static_cast<DWORD>(NTE_FAIL)});
    UniqueCert keyed(CertCreateCertificateContext(X509_ASN_ENCODING, contents->keyCertificate.data(),
                                                  static_cast<DWORD>(contents->keyCertificate.size())));
    if (!keyed)
        return Report({"the certificate of the key in " + file + " cannot be read", GetLastError()});
    std::vector<UniqueCert> others;
    for (const Bytes& der : contents->others) {
        others.emplace_back(
            CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
        if (!others.back())
            return Report({"a certificate in " + file + " cannot be read", GetLastError()});
    }

    UniqueStore store = OpenSystemStore(storeName, machine);
    if (!store)
        return Report({"cannot open " + StoreLabel(storeName, machine), GetLastError()});
    DWORD rc = trumik::csp::CreateContainer(ScopeOf(machine), *container, *keySpec, *pkcs8, pin, true);
    OPENSSL_cleanse(pkcs8->data(), pkcs8->size());
    if (rc)
        return Report({"cannot create the container \"" + *container + "\"", rc});
    // The certificate goes in with its link in one write.
    if (!SetKeyLink(keyed.get(), *container, machine, *keySpec, kind) ||
        !CertAddCertificateContextToStore(store.get(), keyed.get(),
                                          CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, nullptr)) {
        rc = GetLastError();
        trumik::csp::DeleteContainer(ScopeOf(machine), *container);
        return Report({"cannot add the certificate " + Thumbprint(keyed.get()) + " to " +
                           StoreLabel(storeName, machine),
                       rc});
    }
    std::printf("%s\n", Thumbprint(keyed.get()).c_str());
    for (const UniqueCert& c : others) {
        // A certificate already present keeps the properties the file does not bring.
        if (!CertAddCertificateContextToStore(store.get(), c.get(),
                                              CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, nullptr))
            return Report({"cannot add the certificate " + Thumbprint(c.get()) + " to " +
                               StoreLabel(storeName, machine),
                           GetLastError()});
        std::printf("%s\n", Thumbprint(c.get()).c_str());
    }
    return kExitOk;
}

int CertImport(const std::vector<std::string>& args)
{
    std::string error;
    auto options = ParseOptions(args, {"store", "key", "container", "pin", "key-spec", "pfx", "password"},
                                {"machine"}, &error);
    if (!options)
        return UsageError(error, "cert");
    if (options->Has("pfx"))
        return CertImportPfx(*options);
    if (options->Has("password"))
        return UsageError("--password goes with --pfx", "cert");
    if (options->positional.size() != 1)
        return UsageError("cert import takes one FILE", "cert");
    const std::string& file = options->positional[0];
    auto keyFile = options->Get("key");
    auto container = options->Get("container");
    if (keyFile && !container)
        return UsageError("--key needs --container NAME", "cert");
    if (!keyFile && (container || options->Has("pin") || options->Has("key-spec")))
        return UsageError("--container, --pin and --key-spec go with --key", "cert");
    if (container && !trumik::csp::IsValidContainerName(*container))
        return UsageError("\"" + *container + "\" is not a container name (no backslash, at most 240 bytes)",
                          "cert");
    auto keySpec = ParseKeySpec(options->Get("key-spec", "exchange"));
    if (!keySpec)
        return UsageError("--key-spec is exchange or signature", "cert");
    std::optional<std::string> pin;
    if (auto text = options->Get("pin")) {
        if (!(pin = PinBytes(*text)))
            return UsageError("--pin is 1 to 40 characters", "cert");
    }
    std::string storeName = options->Get("store", "My");
    bool machine = options->Has("machine");

    UniqueStore source = OpenFileStore(file);
    if (!source)
        return Report({"cannot read certificates from " + file, GetLastError()});
    std::vector<UniqueCert> certs;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(source.get(), nullptr); c;
         c = CertEnumCertificatesInStore(source.get(), c))
        certs.emplace_back(CertDuplicateCertificateContext(c));
    if (certs.empty())
        return Report({"no certificate in " + file, static_cast<DWORD>(CRYPT_E_NOT_FOUND)});

    // With a key: it must belong to one of the certificates.
    PCCERT_CONTEXT keyed = nullptr;
    Bytes pkcs8;
    trumik::csp::GostKind keyKind = trumik::csp::GostKind::None;
    if (keyFile) {
        auto bytes = ReadWholeFile(*keyFile);
        if (!bytes)
            return Report({"cannot read the key file " + *keyFile, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)});
        UniquePkey key = ReadPrivateKey(*bytes, &error);
        if (!key)
            return Report({error + ": " + *keyFile, static_cast<DWORD>(NTE_BAD_DATA)});
        if (!IsGostKey(key.get()))
            return Report({"the key in " + *keyFile + " is not a GOST R 34.10-2001 key",
                           static_cast<DWORD>(NTE_BAD_ALGID)});
        for (const UniqueCert& c : certs) {
            if (CertificateHoldsKey(EncodedOf(c.get()), key.get())) {
                keyed = c.get();
                break;
            }
        }
        if (!keyed)
            return Report(
                {"the key in " + *keyFile + " does not match the public key of the certificate in " + file,
                 static_cast<DWORD>(NTE_BAD_PUBLIC_KEY)});
        auto der = PrivateKeyDer(key.get());
        if (!der)
            return Report({"the key cannot be encoded", static_cast<DWORD>(NTE_FAIL)});
        pkcs8 = std::move(*der);
        keyKind = trumik::csp::KindOf(key.get());
    }

    UniqueStore store = OpenSystemStore(storeName, machine);
    if (!store)
        return Report({"cannot open " + StoreLabel(storeName, machine), GetLastError()});
    if (keyed) {
        if (DWORD rc = trumik::csp::CreateContainer(ScopeOf(machine), *container, *keySpec, pkcs8, pin, true))
            return Report({"cannot create the container \"" + *container + "\"", rc});
        if (!SetKeyLink(keyed, *container, machine, *keySpec, keyKind)) {
            DWORD rc = GetLastError();
            trumik::csp::DeleteContainer(ScopeOf(machine), *container);
            return Report({"cannot link the certificate to its container", rc});
        }
    }
    for (const UniqueCert& c : certs) {
        // A certificate already present keeps the properties the file does not bring (its key link).
        if (!CertAddCertificateContextToStore(store.get(), c.get(),
                                              CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, nullptr)) {
            DWORD rc = GetLastError();
            if (c.get() == keyed)
                trumik::csp::DeleteContainer(ScopeOf(machine), *container);
            return Report({"cannot add the certificate " + Thumbprint(c.get()) + " to " +
                               StoreLabel(storeName, machine),
                           rc});
        }
        std::printf("%s\n", Thumbprint(c.get()).c_str());
    }
    return kExitOk;
}

// ---- cert list / show / export / delete ----

int CertList(const std::vector<std::string>& args)
{
    std::string error;
    auto options = ParseOptions(args, {"store"}, {"machine"}, &error);
    if (!options)
        return UsageError(error, "cert");
    if (!options->positional.empty())
        return UsageError("unexpected argument " + options->positional[0], "cert");
    std::string storeName = options->Get("store", "My");
    bool machine = options->Has("machine");
    UniqueStore store = OpenSystemStore(storeName, machine, true);
    if (!store) {
        DWORD rc = GetLastError();
        if (rc == ERROR_FILE_NOT_FOUND)
            return kExitOk; // a store never written holds nothing
        return Report({"cannot open " + StoreLabel(storeName, machine), rc});
    }
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c)) {
        auto link = ReadKeyLink(c);
        std::printf("%s\t%s\t%s\t%s\t%s\n", Thumbprint(c).c_str(), NameText(c->pCertInfo->Subject).c_str(),
                    IsoTime(c->pCertInfo->NotBefore).c_str(), IsoTime(c->pCertInfo->NotAfter).c_str(),
                    link ? link->container.c_str() : "-");
    }
    return kExitOk;
}

// Opens the store and finds the certificate named by the one positional argument.
int FindNamed(const std::vector<std::string>& args, const std::set<std::string>& valued,
              const std::set<std::string>& flags, std::optional<Options>* options, UniqueStore* store,
              UniqueCert* cert)
{
    std::string error;
    std::set<std::string> allValued = valued, allFlags = flags;
    allValued.insert("store");
    allFlags.insert("machine");
    *options = ParseOptions(args, allValued, allFlags, &error);
    if (!*options)
        return UsageError(error, "cert");
    if ((*options)->positional.size() != 1)
        return UsageError("give one THUMBPRINT", "cert");
    auto hash = ParseThumbprint((*options)->positional[0]);
    if (!hash)
        return UsageError(
            "\"" + (*options)->positional[0] + "\" is not a thumbprint of 40 hexadecimal digits", "cert");
    std::string storeName = (*options)->Get("store", "My");
    bool machine = (*options)->Has("machine");
    *store = OpenSystemStore(storeName, machine, true);
    if (!*store) {
        DWORD rc = GetLastError();
        return Report({"cannot open " + StoreLabel(storeName, machine),
                       rc == ERROR_FILE_NOT_FOUND ? static_cast<DWORD>(CRYPT_E_NOT_FOUND) : rc});
    }
    *cert = FindByThumbprint(store->get(), *hash);
    if (!*cert)
        return Report(
            {"no certificate " + HexUpper(hash->data(), 20) + " in " + StoreLabel(storeName, machine),
             GetLastError()});
    return kExitOk;
}

int CertShow(const std::vector<std::string>& args)
{
    std::optional<Options> options;
    UniqueStore store;
    UniqueCert cert;
    if (int rc = FindNamed(args, {}, {}, &options, &store, &cert))
        return rc;
    const CERT_INFO* info = cert->pCertInfo;
    std::string serial;
    for (DWORD i = info->SerialNumber.cbData; i > 0; --i) // kept little-endian
        serial += HexUpper(&info->SerialNumber.pbData[i - 1], 1);
    std::printf("Thumbprint: %s\n", Thumbprint(cert.get()).c_str());
    std::printf("Subject: %s\n", NameText(info->Subject).c_str());
    std::printf("Issuer: %s\n", NameText(info->Issuer).c_str());
    std::printf("Serial number: %s\n", serial.c_str());
    std::printf("Version: %u\n", info->dwVersion + 1);
    std::printf("Not before: %s\n", IsoTime(info->NotBefore).c_str());
    std::printf("Not after: %s\n", IsoTime(info->NotAfter).c_str());
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    LONG validity = CertVerifyTimeValidity(&now, const_cast<CERT_INFO*>(info));
    std::printf("Time validity: %s\n", validity < 0 ? "not yet valid" : validity > 0 ? "expired" : "valid");
    std::printf("Signature algorithm: %s\n",
                info->SignatureAlgorithm.pszObjId ? info->SignatureAlgorithm.pszObjId : "");
    std::printf("Public key algorithm: %s\n", info->SubjectPublicKeyInfo.Algorithm.pszObjId
                                                  ? info->SubjectPublicKeyInfo.Algorithm.pszObjId
                                                  : "");
    BYTE usage[2] = {};
    if (CertGetIntendedKeyUsage(X509_ASN_ENCODING, const_cast<CERT_INFO*>(info), usage, 2))
        std::printf("Key usage: %s\n", KeyUsageNames(usage[0] | (usage[1] & 0x80 ? 0x8000u : 0u)).c_str());
    else
        std::printf("Key usage: (no extension: any)\n");
    if (auto link = ReadKeyLink(cert.get())) {
        std::printf("Container: %s\n", link->container.c_str());
        std::printf("Provider: %s (type %u)\n", link->provider.c_str(), link->providerType);
        std::printf("Key spec: %s\n", KeySpecName(link->keySpec));
        std::printf("Key set: %s\n", link->machine() ? "machine" : "user");
        Bytes spki;
        DWORD rc =
            trumik::csp::GetPublicKeyInfo(ScopeOf(link->machine()), link->container, link->keySpec, &spki);
        std::printf("Private key: %s\n", rc == 0 ? "present" : ("missing (" + CodeText(rc) + ")").c_str());
    } else {
        std::printf("Container: -\n");
    }
    return kExitOk;
}

// The certificate and the key of its container as a PKCS #12 file in the GOST form.
int CertExportPfx(const Options& options, PCCERT_CONTEXT cert)
{
    const std::string file = *options.Get("pfx");
    auto password = options.Get("password");
    if (!password)
        return UsageError("cert export --pfx needs --password PW", "cert");
    if (options.Has("out"))
        return UsageError("--out and --pfx do not go together", "cert");
    std::optional<std::string> pin;
    if (auto text = options.Get("pin")) {
        if (!(pin = PinBytes(*text)))
            return UsageError("--pin is 1 to 40 characters", "cert");
    }
    auto link = ReadKeyLink(cert);
    if (!link)
        return Report({"the certificate is not linked to a key container",
                       static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY)});
    trumik::csp::UniqueEvpPkey key;
    if (DWORD rc = trumik::csp::ExportPrivateKey(ScopeOf(link->machine()), link->container, link->keySpec,
                                                 pin, &key))
        return Report({"cannot export the " + std::string(KeySpecName(link->keySpec)) +
                           " key of the container \"" + link->container + "\"",
                       rc});
    Bytes der = EncodedOf(cert);
    if (!CertificateHoldsKey(der, key.get()))
        return Report({"the container \"" + link->container + "\" holds a key other than the certificate's",
                       static_cast<DWORD>(NTE_BAD_PUBLIC_KEY)});
    Failure failure;
    auto pfx = WriteGostPfx(key.get(), der, {}, *password, link->container, &failure);
    if (!pfx)
        return Report(failure);
    if (!WriteWholeFile(file, std::string(pfx->begin(), pfx->end()), true))
        return Report({"cannot write " + file});
    return kExitOk;
}

int CertExport(const std::vector<std::string>& args)
{
    std::optional<Options> options;
    UniqueStore store;
    UniqueCert cert;
    if (int rc = FindNamed(args, {"out", "pfx", "password", "pin"}, {}, &options, &store, &cert))
        return rc;
    if (options->Has("pfx"))
        return CertExportPfx(*options, cert.get());
    if (options->Has("password") || options->Has("pin"))
        return UsageError("--password and --pin go with --pfx", "cert");
    std::string out = options->Get("out", "-");
    if (!WriteCertificate(EncodedOf(cert.get()), out))
        return Report({"cannot write " + out});
    return kExitOk;
}

int CertDelete(const std::vector<std::string>& args)
{
    std::optional<Options> options;
    UniqueStore store;
    UniqueCert cert;
    if (int rc = FindNamed(args, {}, {"with-container"}, &options, &store, &cert))
        return rc;
    auto link = ReadKeyLink(cert.get());
    std::string thumbprint = Thumbprint(cert.get());
    // CertDeleteCertificateFromStore releases the context it is given.
    if (!CertDeleteCertificateFromStore(cert.release()))
        return Report({"cannot delete the certificate " + thumbprint, GetLastError()});
    if (options->Has("with-container") && link) {
        DWORD rc = trumik::csp::DeleteContainer(ScopeOf(link->machine()), link->container);
        if (rc && rc != static_cast<DWORD>(NTE_BAD_KEYSET))
            return Report(
                {"the certificate is gone but its container \"" + link->container + "\" is not", rc});
    }
    return kExitOk;
}

} // namespace

int CertCommand(const std::vector<std::string>& args)
{
    if (args.empty())
        return UsageError("cert needs a subcommand", "cert");
    std::vector<std::string> rest(args.begin() + 1, args.end());
    const std::string& sub = args[0];
    if (sub == "new")
        return CertNew(rest);
    if (sub == "import")
        return CertImport(rest);
    if (sub == "list")
        return CertList(rest);
    if (sub == "show")
        return CertShow(rest);
    if (sub == "export")
        return CertExport(rest);
    if (sub == "delete")
        return CertDelete(rest);
    return UsageError("unknown subcommand cert " + sub, "cert");
}

int CrlCommand(const std::vector<std::string>& args)
{
    if (args.empty() || args[0] != "import")
        return UsageError(args.empty() ? "crl needs a subcommand" : "unknown subcommand crl " + args[0],
                          "crl");
    std::string error;
    auto options =
        ParseOptions(std::vector<std::string>(args.begin() + 1, args.end()), {"store"}, {"machine"}, &error);
    if (!options)
        return UsageError(error, "crl");
    if (options->positional.size() != 1)
        return UsageError("crl import takes one FILE", "crl");
    const std::string& file = options->positional[0];
    std::string storeName = options->Get("store", "CA");
    bool machine = options->Has("machine");
    UniqueStore source = OpenFileStore(file);
    if (!source)
        return Report({"cannot read CRLs from " + file, GetLastError()});
    std::vector<UniqueCrl> crls;
    for (PCCRL_CONTEXT c = CertEnumCRLsInStore(source.get(), nullptr); c;
         c = CertEnumCRLsInStore(source.get(), c))
        crls.emplace_back(CertDuplicateCRLContext(c));
    if (crls.empty())
        return Report({"no CRL in " + file, static_cast<DWORD>(CRYPT_E_NOT_FOUND)});
    UniqueStore store = OpenSystemStore(storeName, machine);
    if (!store)
        return Report({"cannot open " + StoreLabel(storeName, machine), GetLastError()});
    for (const UniqueCrl& c : crls) {
        if (!CertAddEncodedCRLToStore(store.get(), X509_ASN_ENCODING, c->pbCrlEncoded, c->cbCrlEncoded,
                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            return Report({"cannot add the CRL of " + NameText(c->pCrlInfo->Issuer) + " to " +
                               StoreLabel(storeName, machine),
                           GetLastError()});
        std::printf("%s\t%s\n", NameText(c->pCrlInfo->Issuer).c_str(),
                    IsoTime(c->pCrlInfo->ThisUpdate).c_str());
    }
    return kExitOk;
}

} // namespace trumik::host

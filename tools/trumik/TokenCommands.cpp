// trumik token: the PKCS #11 libraries the provider reaches tokens through
// (add, remove), what is on their tokens (list) and the certificates of their
// key pairs put into a store, linked to the token containers (import).
#include "TokenCommands.h"

#include "AdminSupport.h"
#include "CertBuilder.h"
#include "CertSupport.h"

#include "csp/Tokens.h"

#include <cstdio>

namespace trumik::host {

namespace {

using trumik::csp::TokenKeyPair;
using trumik::csp::TokenSlot;

// Every token's slots, the libraries that do not load said on standard error.
std::vector<TokenSlot> ReadSlots(const std::optional<std::string>& pin)
{
    std::vector<std::string> problems;
    auto slots = trumik::csp::ListTokenSlots(&problems, pin);
    for (const auto& problem : problems)
        std::fprintf(stderr, "trumik: %s\n", problem.c_str());
    return slots;
}

// The certificate of the store linked to a container, if any.
bool LinkedInStore(HCERTSTORE store, const std::string& container)
{
    if (!store)
        return false;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
         c = CertEnumCertificatesInStore(store, c)) {
        auto link = ReadKeyLink(c);
        if (link && link->container == container) {
            CertFreeCertificateContext(c);
            return true;
        }
    }
    return false;
}

int TokenAdd(const Options& options)
{
    auto module = options.Get("module");
    if (!module)
        return UsageError("token add needs --module PATH", "token");
    std::string error;
    if (DWORD rc = trumik::csp::AddTokenModule(*module, &error))
        return Report({"cannot add the token library: " + error, rc});
    std::printf("added %s\n", module->c_str());
    return kExitOk;
}

int TokenRemove(const Options& options)
{
    auto module = options.Get("module");
    if (!module)
        return UsageError("token remove needs --module PATH", "token");
    if (DWORD rc = trumik::csp::RemoveTokenModule(*module))
        return Report({"the token library " + *module + " is not recorded", rc});
    std::printf("removed %s\n", module->c_str());
    return kExitOk;
}

int TokenList(const Options& options, const std::optional<std::string>& pin)
{
    const std::string storeName = options.Get("store", "My");
    UniqueStore store = OpenSystemStore(storeName, options.Has("machine"));
    if (trumik::csp::TokenModules().empty()) {
        std::printf("no token libraries (trumik token add --module PATH)\n");
        return kExitOk;
    }
    std::string module;
    for (const TokenSlot& slot : ReadSlots(pin)) {
        if (slot.module != module) {
            module = slot.module;
            std::printf("%s\n", module.c_str());
        }
        if (!slot.present) {
            std::printf("  slot %lu: no token\n", slot.slot);
            continue;
        }
        if (!slot.initialised) {
            std::printf("  slot %lu: token not initialised (%s, serial %s)\n", slot.slot, slot.model.c_str(),
                        slot.serial.c_str());
            continue;
        }
        std::printf("  slot %lu: token \"%s\" (%s, serial %s)\n", slot.slot, slot.label.c_str(),
                    slot.model.c_str(), slot.serial.c_str());
        if (slot.keys.empty())
            std::printf("    no key pairs%s\n", pin ? "" : " seen without a PIN");
        for (const TokenKeyPair& key : slot.keys) {
            std::string algorithm =
                key.kind == trumik::csp::GostKind::None ? "unknown algorithm" : AlgorithmTitle(key.kind);
            std::printf("    %s\t%s\t%s\t%s\n", key.container.c_str(), algorithm.c_str(),
                        key.certificate ? "certificate on the token" : "no certificate on the token",
                        LinkedInStore(store.get(), key.container) ? ("in the store " + storeName).c_str()
                                                                  : "not in the store");
        }
    }
    return kExitOk;
}

int TokenImport(const Options& options, const std::optional<std::string>& pin)
{
    const std::string storeName = options.Get("store", "My");
    const bool machine = options.Has("machine");
    UniqueStore store = OpenSystemStore(storeName, machine);
    if (!store)
        return Report({"cannot open " + StoreLabel(storeName, machine), GetLastError()});
    int status = kExitOk;
    size_t imported = 0;
    for (const TokenSlot& slot : ReadSlots(pin)) {
        for (const TokenKeyPair& key : slot.keys) {
            if (!key.certificate) {
                std::printf("not imported\t%s\tno certificate on the token for this key pair\n",
                            key.container.c_str());
                continue;
            }
            UniqueCert cert(CertCreateCertificateContext(X509_ASN_ENCODING, key.certificate->data(),
                                                         static_cast<DWORD>(key.certificate->size())));
            PCCERT_CONTEXT added = nullptr;
            if (!cert || !SetKeyLink(cert.get(), key.container, machine, AT_KEYEXCHANGE, key.kind) ||
                !CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_REPLACE_EXISTING,
                                                  &added)) {
                status = Report({"cannot import the certificate of " + key.container, GetLastError()});
                continue;
            }
            UniqueCert addedGuard(added);
            std::printf("imported\t%s\t%s\n", Thumbprint(added).c_str(), key.container.c_str());
            ++imported;
        }
    }
    if (imported == 0 && status == kExitOk)
        std::printf("no certificates to import\n");
    return status;
}

} // namespace

int TokenCommand(const std::vector<std::string>& args)
{
    if (args.empty())
        return UsageError("token needs a subcommand (add, remove, list, import)", "token");
    const std::string& sub = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    std::string error;
    auto options = ParseOptions(rest, {"module", "pin", "store"}, {"machine"}, &error);
    if (!options)
        return UsageError(error, "token");
    if (!options->positional.empty())
        return UsageError("unexpected argument " + options->positional[0], "token");
    std::optional<std::string> pin;
    if (auto text = options->Get("pin"); text && !(pin = PinBytes(*text)))
        return UsageError("--pin is 1 to 40 characters", "token");
    if (sub == "add")
        return TokenAdd(*options);
    if (sub == "remove")
        return TokenRemove(*options);
    if (sub == "list")
        return TokenList(*options, pin);
    if (sub == "import")
        return TokenImport(*options, pin);
    return UsageError("unknown subcommand " + sub + " (add, remove, list, import)", "token");
}

} // namespace trumik::host

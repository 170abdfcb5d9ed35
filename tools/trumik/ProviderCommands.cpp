// trumik container and trumik provider: the GOST provider's key containers
// and its settings.
#include "CertCommands.h"

#include "AdminSupport.h"
#include "Automation.h"
#include "ComponentSettings.h"

#include "csp/Containers.h"
#include "csp/ProviderSettings.h"

#include <cstdio>

namespace trumik::host {

using trumik::csp::Scope;

// ---- container ----

int ContainerCommand(const std::vector<std::string>& args)
{
    if (args.empty())
        return UsageError("container needs a subcommand", "container");
    const std::string& sub = args[0];
    std::string error;
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (sub == "list") {
        auto options = ParseOptions(rest, {}, {"machine"}, &error);
        if (!options)
            return UsageError(error, "container");
        if (!options->positional.empty())
            return UsageError("unexpected argument " + options->positional[0], "container");
        for (const auto& c : trumik::csp::ListContainers(ScopeOf(options->Has("machine")))) {
            std::string keys;
            if (!c.readable)
                keys = "damaged";
            if (c.hasExchangeKey)
                keys = "exchange";
            if (c.hasSignatureKey)
                keys += keys.empty() ? "signature" : ",signature";
            if (keys.empty())
                keys = "no keys";
            std::printf("%s\t%s\t%s%s\n", c.uniqueName.c_str(), c.fullyQualifiedName.c_str(), keys.c_str(),
                        c.pinProtected ? "\tPIN" : "");
        }
        return kExitOk;
    }
    if (sub == "export") {
        auto options = ParseOptions(rest, {"pin", "out", "key-spec"}, {"machine"}, &error);
        if (!options)
            return UsageError(error, "container");
        if (options->positional.size() != 1)
            return UsageError("container export takes one NAME", "container");
        auto out = options->Get("out");
        if (!out)
            return UsageError("container export needs --out FILE (- for standard output)", "container");
        std::optional<std::string> pin;
        if (auto text = options->Get("pin")) {
            if (!(pin = PinBytes(*text)))
                return UsageError("--pin is 1 to 40 characters", "container");
        }
        const std::string& name = options->positional[0];
        Scope scope = ScopeOf(options->Has("machine"));
        DWORD keySpec = AT_KEYEXCHANGE;
        if (auto text = options->Get("key-spec")) {
            auto spec = ParseKeySpec(*text);
            if (!spec)
                return UsageError("--key-spec is exchange or signature", "container");
            keySpec = *spec;
        } else {
            Bytes spki; // the exchange key when there is one, else the signature key
            if (trumik::csp::GetPublicKeyInfo(scope, name, AT_KEYEXCHANGE, &spki) ==
                static_cast<DWORD>(NTE_NO_KEY))
                keySpec = AT_SIGNATURE;
        }
        std::string pem;
        if (DWORD rc = trumik::csp::ExportPrivateKeyPem(scope, name, keySpec, pin, &pem))
            return Report({"cannot export the " + std::string(KeySpecName(keySpec)) +
                               " key of the container \"" + name + "\"",
                           rc});
        if (!WriteWholeFile(*out, pem, true))
            return Report({"cannot write " + *out});
        return kExitOk;
    }
    if (sub == "delete") {
        auto options = ParseOptions(rest, {}, {"machine"}, &error);
        if (!options)
            return UsageError(error, "container");
        if (options->positional.size() != 1)
            return UsageError("container delete takes one NAME", "container");
        const std::string& name = options->positional[0];
        if (DWORD rc = trumik::csp::DeleteContainer(ScopeOf(options->Has("machine")), name))
            return Report({"cannot delete the container \"" + name + "\"", rc});
        return kExitOk;
    }
    return UsageError("unknown subcommand container " + sub, "container");
}

// ---- provider ----

int ProviderCommand(const std::vector<std::string>& args)
{
    if (!args.empty() && args[0] == "gost2012")
        return Gost2012Command(args);
    if (args.empty() || args[0] != "version")
        return UsageError(args.empty() ? "provider needs a subcommand"
                                       : "unknown subcommand provider " + args[0],
                          "provider");
    std::string error;
    auto options =
        ParseOptions(std::vector<std::string>(args.begin() + 1, args.end()), {}, {"reset"}, &error);
    if (!options)
        return UsageError(error, "provider");
    if (options->positional.size() > 1 || (options->Has("reset") && !options->positional.empty()))
        return UsageError("provider version takes at most one VALUE, or --reset", "provider");
    if (options->Has("reset")) {
        if (!trumik::csp::ResetProviderVersion())
            return Report(
                {"cannot remove the provider version setting", static_cast<DWORD>(ERROR_ACCESS_DENIED)});
        return kExitOk;
    }
    if (!options->positional.empty()) {
        // "3.0" (major.minor), "0x300" or a decimal number.
        const std::string& text = options->positional[0];
        unsigned major = 0, minor = 0;
        int used = 0;
        unsigned long long value = 0;
        bool ok = false;
        if (std::sscanf(text.c_str(), "%u.%u%n", &major, &minor, &used) == 2 &&
            static_cast<size_t>(used) == text.size()) {
            ok = major <= 255 && minor <= 255;
            value = (major << 8) | minor;
        } else {
            char* end = nullptr;
            value = std::strtoull(text.c_str(), &end, 0);
            ok = !text.empty() && text[0] != '-' && end && *end == '\0' && value <= 0xFFFFFFFFull;
        }
        if (!ok)
            return UsageError("VALUE is MAJOR.MINOR (3.0), hexadecimal (0x300) or decimal", "provider");
        if (!trumik::csp::SetProviderVersion(static_cast<DWORD>(value)))
            return Report({"cannot store the provider version", static_cast<DWORD>(ERROR_ACCESS_DENIED)});
        return kExitOk;
    }
    // Read back what PP_VERSION reports, as a caller of the provider sees it.
    UniqueProv prov;
    if (!CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
        return Report({"cannot open the GOST provider", GetLastError()});
    DWORD version = 0, size = sizeof version;
    if (!CryptGetProvParam(prov.get(), PP_VERSION, reinterpret_cast<BYTE*>(&version), &size, 0))
        return Report({"cannot read PP_VERSION", GetLastError()});
    std::printf("%u.%u (0x%X)\n", (version >> 8) & 0xFF, version & 0xFF, version);
    return kExitOk;
}

} // namespace trumik::host

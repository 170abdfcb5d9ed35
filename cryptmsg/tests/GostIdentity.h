// GOST certificates with key containers, made at test time: a key from the
// openssl command line with the GOST engine, a self-signed certificate, the
// key in a container of the provider and the certificate in a system store
// with its key-provider information.
#pragma once

#include "common/Bstr.h"

#include <wincrypt.h>

#include <filesystem>
#include <optional>
#include <string>

namespace trumik::cryptmsgtest {

enum class Location { User, Machine, Both };

struct IdentityOptions {
    Location location = Location::User;
    std::optional<std::string> pin;
    DWORD keySpec = AT_KEYEXCHANGE;
    bool machineContainer = false; // the container among the machine's
    bool keyProvInfo = true;       // the certificate names its container
    bool namesContainer = true;    // ... with a container name
    std::string store = "My";
};

struct GostIdentity {
    std::string container;  // the container's name
    std::string thumbprint; // 40 upper-case hexadecimal digits
    std::filesystem::path certPem, keyPem, dir;
};

// Option sets of the tests.
inline IdentityOptions At(Location location, bool machineContainer = false)
{
    IdentityOptions o;
    o.location = location;
    o.machineContainer = machineContainer;
    return o;
}
inline IdentityOptions WithKeySpec(DWORD keySpec)
{
    IdentityOptions o;
    o.keySpec = keySpec;
    return o;
}
inline IdentityOptions WithPin(const std::string& pin)
{
    IdentityOptions o;
    o.pin = pin;
    return o;
}
inline IdentityOptions WithoutProvInfo(bool namesContainer)
{
    IdentityOptions o;
    o.keyProvInfo = namesContainer;
    o.namesContainer = false;
    return o;
}

// Makes a new identity; container names must be unique within a test process.
GostIdentity MakeGostIdentity(const std::string& container, const IdentityOptions& options = {});

// Deletes every container of the user and of the machine.
void DeleteAllContainers();

// Sets the version the provider reports for the life of the guard.
class ProviderVersionGuard {
  public:
    explicit ProviderVersionGuard(DWORD version);
    ~ProviderVersionGuard();
    ProviderVersionGuard(const ProviderVersionGuard&) = delete;
    ProviderVersionGuard& operator=(const ProviderVersionGuard&) = delete;
};

inline common::UniqueBstr Bstr(const std::string& ascii)
{
    return common::MakeBstr(std::u16string(ascii.begin(), ascii.end()));
}

std::string Utf8(std::u16string_view text);

} // namespace trumik::cryptmsgtest

// Store certificates with GOST keys in the provider's containers, made at test
// time: valid, expired, not yet valid, issued with RSA, with a key usage of
// digital signature only, and without a key usage extension.
#pragma once

#include <oleauto.h>

#include <filesystem>
#include <string>

namespace trumik::signertest {

struct StoreCert {
    std::string thumbprint; // 40 upper-case hexadecimal digits
    std::filesystem::path der;
};

struct SignerFixtures {
    std::filesystem::path dir;
    std::string pin = "1234";
    std::filesystem::path privateKeyPem; // the one GOST key of all certificates
    std::filesystem::path publicKeyPem;
    StoreCert good;        // container with the PIN
    StoreCert goodPlain;   // the same key in a container without a PIN
    StoreCert expired;     // valid from 2020-01-01 to 2020-12-31
    StoreCert notYetValid; // valid from 30 days ahead
    StoreCert rsaIssued, signOnly, noUsage;
};

// Adds a DER certificate (written to dir/fileName) to the current user's "My"
// store, its key named as the container of the type-75 provider.
StoreCert AddToMy(const std::filesystem::path& dir, const std::string& fileName, const std::string& der,
                  const std::u16string& container);

// Made once per process in the current user's "My" store.
const SignerFixtures& GetSignerFixtures();

std::u16string U16(const std::string& utf8);
std::string Utf8(std::u16string_view text);

} // namespace trumik::signertest

// Shared pieces of the administrative commands (cert, crl, container,
// provider): option parsing, failures with their CryptoAPI code and system
// text, the platform's owners of CryptoAPI handles, thumbprints and PINs.
#pragma once

#include "csp/Containers.h"
#include "internal/CryptHandles.h"

#include <wincrypt.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace trumik::host {

using Bytes = std::vector<uint8_t>;

// Exit statuses of the administrative commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// A failure of a command: the text goes to standard error as
// "trumik: TEXT" and, with a code, ": 0xCODE - system text".
struct Failure {
    std::string text;
    DWORD code = 0;
};
int Report(const Failure& failure);
// The text FormatMessage gives for a code, as UTF-8 without the line end.
std::string SystemText(DWORD code);
// "0x8009000F - <system text>" (the text left out when the system has none).
std::string CodeText(DWORD code);

// Parsed command-line options: "--name VALUE" for the names in `valued`,
// "--name" for the names in `flags`, everything else positional. A name that
// is neither, or a valued option at the end, is a usage error.
struct Options {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    std::vector<std::string> positional;
    bool Has(const std::string& name) const { return values.count(name) || flags.count(name); }
    std::optional<std::string> Get(const std::string& name) const;
    std::string Get(const std::string& name, const std::string& fallback) const;
};
// Parses args; on a usage error sets *error and returns nullopt.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, const std::set<std::string>& valued,
                                    const std::set<std::string>& flags, std::string* error);

// Prints "trumik: TEXT" and where the command's usage is to standard error; returns 2.
int UsageError(const std::string& text, const char* topic);

using trumik::platform::UniqueCert;
using trumik::platform::UniqueCrl;
using trumik::platform::UniqueProv;
using trumik::platform::UniqueStore;

// Opens a system store of the user (or of the machine); null with the last error set.
UniqueStore OpenSystemStore(const std::string& name, bool machine, bool mustExist = false);
// Opens a file the platform reads as a store (DER, PEM, PKCS #7, serialized store).
UniqueStore OpenFileStore(const std::string& path);

// 40 hexadecimal digits (spaces and colons between them are allowed) to 20 bytes.
std::optional<Bytes> ParseThumbprint(const std::string& text);
std::string HexUpper(const uint8_t* data, size_t size);
// The SHA-1 thumbprint of a certificate, 40 uppercase hexadecimal digits.
std::string Thumbprint(PCCERT_CONTEXT cert);

// A PIN as the component hands a key password to the provider: the low byte
// of each UTF-16 unit of the text. Empty or longer than 40 units gives nullopt.
std::optional<std::string> PinBytes(const std::string& utf8);

// Reads a whole file; nullopt when it cannot be read.
std::optional<Bytes> ReadWholeFile(const std::string& path);
// Writes a whole file through a temporary and a rename; "-" is standard
// output. Private files are created with mode 0600.
bool WriteWholeFile(const std::string& path, const std::string& content, bool privateFile = false);

// A FILETIME as "YYYY-MM-DDTHH:MM:SSZ".
std::string IsoTime(const FILETIME& time);

// The provider's key containers of the machine, or of the user.
trumik::csp::Scope ScopeOf(bool machine);
// "exchange" (AT_KEYEXCHANGE) and "signature" (AT_SIGNATURE), both ways.
std::optional<DWORD> ParseKeySpec(const std::string& text);
const char* KeySpecName(DWORD spec);

} // namespace trumik::host

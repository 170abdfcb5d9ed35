#include "AdminSupport.h"

#include "Automation.h"

#include <winbase.h>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace trumik::host {

std::string SystemText(DWORD code)
{
    char16_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text = n && buffer ? ToUtf8(buffer, n) : std::string();
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string CodeText(DWORD code)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", code);
    std::string text = SystemText(code);
    return text.empty() ? std::string(hex) : std::string(hex) + " - " + text;
}

int Report(const Failure& failure)
{
    if (failure.code)
        std::fprintf(stderr, "trumik: %s: %s\n", failure.text.c_str(), CodeText(failure.code).c_str());
    else
        std::fprintf(stderr, "trumik: %s\n", failure.text.c_str());
    return kExitFailed;
}

int UsageError(const std::string& text, const char* topic)
{
    std::fprintf(stderr, "trumik: %s\nSee trumik %s --help.\n", text.c_str(), topic);
    return kExitUsage;
}

std::optional<std::string> Options::Get(const std::string& name) const
{
    auto it = values.find(name);
    if (it == values.end())
        return std::nullopt;
    return it->second;
}

std::string Options::Get(const std::string& name, const std::string& fallback) const
{
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, const std::set<std::string>& valued,
                                    const std::set<std::string>& flags, std::string* error)
{
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::string name = a.substr(2), value;
            bool inlineValue = false;
            if (size_t eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                inlineValue = true;
            }
            if (valued.count(name)) {
                if (!inlineValue) {
                    if (i + 1 >= args.size()) {
                        *error = "--" + name + " needs a value";
                        return std::nullopt;
                    }
                    value = args[++i];
                }
                if (options.values.count(name)) {
                    *error = "--" + name + " given twice";
                    return std::nullopt;
                }
                options.values[name] = value;
            } else if (flags.count(name) && !inlineValue) {
                options.flags.insert(name);
            } else {
                *error = "unknown option " + a;
                return std::nullopt;
            }
        } else {
            options.positional.push_back(a);
        }
    }
    return options;
}

UniqueStore OpenSystemStore(const std::string& name, bool machine, bool mustExist)
{
    std::u16string wide = FromUtf8(name);
    DWORD flags = machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
    if (mustExist)
        flags |= CERT_STORE_OPEN_EXISTING_FLAG;
    return UniqueStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, wide.c_str()));
}

UniqueStore OpenFileStore(const std::string& path)
{
    return UniqueStore(CertOpenStore(CERT_STORE_PROV_FILENAME_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     0, path.c_str()));
}

std::optional<Bytes> ParseThumbprint(const std::string& text)
{
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == ':')
            continue;
        else
            return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0 || out.size() != 20)
        return std::nullopt;
    return out;
}

std::string HexUpper(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string Thumbprint(PCCERT_CONTEXT cert)
{
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &size) || size != 20)
        return std::string();
    return HexUpper(hash, size);
}

std::optional<std::string> PinBytes(const std::string& utf8)
{
    std::u16string wide = FromUtf8(utf8);
    if (wide.empty() || wide.size() > 40)
        return std::nullopt;
    std::string pin;
    for (char16_t unit : wide)
        pin += static_cast<char>(unit & 0xFF);
    if (pin.find('\0') != std::string::npos)
        return std::nullopt;
    return pin;
}

std::optional<Bytes> ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return bytes;
}

bool WriteWholeFile(const std::string& path, const std::string& content, bool privateFile)
{
    if (path == "-") {
        return std::fwrite(content.data(), 1, content.size(), stdout) == content.size() &&
               std::fflush(stdout) == 0;
    }
    std::string temporary = path + ".tmp-" + std::to_string(getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, privateFile ? 0600 : 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    bool written = ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::string IsoTime(const FILETIME& time)
{
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&time, &st))
        return "?";
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    return text;
}

trumik::csp::Scope ScopeOf(bool machine)
{
    return machine ? trumik::csp::Scope::Machine : trumik::csp::Scope::User;
}

std::optional<DWORD> ParseKeySpec(const std::string& text)
{
    if (text == "exchange")
        return AT_KEYEXCHANGE;
    if (text == "signature")
        return AT_SIGNATURE;
    return std::nullopt;
}

const char* KeySpecName(DWORD spec)
{
    return spec == AT_SIGNATURE ? "signature" : spec == AT_KEYEXCHANGE ? "exchange" : "?";
}

} // namespace trumik::host

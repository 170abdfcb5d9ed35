#include "RegCommand.h"

#include "Automation.h"

#include <winreg.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace trumik::host {

namespace {

struct Root {
    const char* shortName;
    const char* longName;
    HKEY key;
};

const Root kRoots[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
};

class OpenKey {
  public:
    ~OpenKey()
    {
        if (key_)
            RegCloseKey(key_);
    }
    HKEY* Out() { return &key_; }
    HKEY Get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

bool SplitKey(const std::string& full, const Root*& root, std::string& sub)
{
    size_t slash = full.find('\\');
    std::string head = full.substr(0, slash);
    for (const Root& r : kRoots) {
        if (strcasecmp(head.c_str(), r.shortName) == 0 || strcasecmp(head.c_str(), r.longName) == 0) {
            root = &r;
            sub = slash == std::string::npos ? std::string() : full.substr(slash + 1);
            return true;
        }
    }
    return false;
}

const char* TypeName(DWORD type)
{
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_QWORD:
        return "REG_QWORD";
    case REG_NONE:
        return "REG_NONE";
    default:
        return "REG_UNKNOWN";
    }
}

std::string DataText(DWORD type, const std::vector<BYTE>& data)
{
    char buffer[32];
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        size_t units = data.size() / 2;
        const auto* text = reinterpret_cast<const OLECHAR*>(data.data());
        while (units > 0 && text[units - 1] == 0)
            --units;
        return ToUtf8(text, units);
    }
    case REG_MULTI_SZ: {
        std::string out;
        const auto* text = reinterpret_cast<const OLECHAR*>(data.data());
        size_t units = data.size() / 2, start = 0;
        for (size_t i = 0; i < units; ++i) {
            if (text[i] == 0) {
                if (i == start)
                    break;
                if (!out.empty())
                    out += "\\0";
                out += ToUtf8(text + start, i - start);
                start = i + 1;
            }
        }
        return out;
    }
    case REG_DWORD:
        if (data.size() >= 4) {
            uint32_t v;
            std::memcpy(&v, data.data(), 4);
            std::snprintf(buffer, sizeof buffer, "0x%x", v);
            return buffer;
        }
        return {};
    case REG_QWORD:
        if (data.size() >= 8) {
            uint64_t v;
            std::memcpy(&v, data.data(), 8);
            std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(v));
            return buffer;
        }
        return {};
    default: {
        std::string out;
        for (BYTE b : data) {
            std::snprintf(buffer, sizeof buffer, "%02X", b);
            out += buffer;
        }
        return out;
    }
    }
}

void PrintValue(const std::string& name, DWORD type, const std::vector<BYTE>& data)
{
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), TypeName(type),
                DataText(type, data).c_str());
}

bool ReadValue(HKEY key, const std::u16string& name, DWORD& type, std::vector<BYTE>& data)
{
    DWORD size = 0;
    if (RegQueryValueExW(key, name.empty() ? nullptr : name.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS)
        return false;
    data.resize(size);
    return RegQueryValueExW(key, name.empty() ? nullptr : name.c_str(), nullptr, &type, data.data(), &size) ==
           ERROR_SUCCESS;
}

int NotFound()
{
    std::fprintf(stderr, "ERROR: The system was unable to find the specified registry key or value.\n");
    return 1;
}

int Query(const Root& root, const std::string& sub, const std::string& full, bool hasValue,
          const std::string& valueName)
{
    OpenKey key;
    if (RegOpenKeyExW(root.key, sub.empty() ? nullptr : FromUtf8(sub).c_str(), 0, KEY_READ, key.Out()) !=
        ERROR_SUCCESS)
        return NotFound();
    std::string shown = std::string(root.longName) + (sub.empty() ? "" : "\\" + sub);
    (void)full;
    std::printf("\n%s\n", shown.c_str());
    if (hasValue) {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (!ReadValue(key.Get(), FromUtf8(valueName), type, data))
            return NotFound();
        PrintValue(valueName, type, data);
        std::printf("\n");
        return 0;
    }
    for (DWORD i = 0;; ++i) {
        OLECHAR name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (RegEnumValueW(key.Get(), i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size);
        nameLength = 16384;
        if (RegEnumValueW(key.Get(), i, name, &nameLength, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS)
            break;
        data.resize(size);
        PrintValue(ToUtf8(name, nameLength), type, data);
    }
    std::printf("\n");
    for (DWORD i = 0;; ++i) {
        OLECHAR name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key.Get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        std::printf("%s\\%s\n", shown.c_str(), ToUtf8(name, nameLength).c_str());
    }
    return 0;
}

int Add(const Root& root, const std::string& sub, bool hasValue, const std::string& valueName,
        const std::string& typeName, bool hasData, const std::string& dataText)
{
    OpenKey key;
    if (RegCreateKeyExW(root.key, FromUtf8(sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Out(),
                        nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "ERROR: Access is denied.\n");
        return 1;
    }
    if (hasValue || hasData) {
        std::vector<BYTE> data;
        DWORD type = REG_SZ;
        if (typeName == "REG_DWORD") {
            type = REG_DWORD;
            uint32_t v = static_cast<uint32_t>(std::strtoul(dataText.c_str(), nullptr, 0));
            data.resize(4);
            std::memcpy(data.data(), &v, 4);
        } else if (typeName == "REG_SZ" || typeName == "REG_EXPAND_SZ" || typeName.empty()) {
            type = typeName == "REG_EXPAND_SZ" ? REG_EXPAND_SZ : REG_SZ;
            std::u16string text = FromUtf8(dataText);
            data.resize((text.size() + 1) * 2);
            std::memcpy(data.data(), text.c_str(), data.size());
        } else {
            std::fprintf(stderr, "ERROR: Invalid syntax.\n");
            return 1;
        }
        std::u16string name = FromUtf8(valueName);
        if (RegSetValueExW(key.Get(), name.empty() ? nullptr : name.c_str(), 0, type, data.data(),
                           static_cast<DWORD>(data.size())) != ERROR_SUCCESS) {
            std::fprintf(stderr, "ERROR: Access is denied.\n");
            return 1;
        }
    }
    std::printf("The operation completed successfully.\n");
    return 0;
}

int Delete(const Root& root, const std::string& sub, bool hasValue, const std::string& valueName)
{
    if (hasValue) {
        OpenKey key;
        if (RegOpenKeyExW(root.key, FromUtf8(sub).c_str(), 0, KEY_ALL_ACCESS, key.Out()) != ERROR_SUCCESS)
            return NotFound();
        std::u16string name = FromUtf8(valueName);
        if (RegDeleteValueW(key.Get(), name.empty() ? nullptr : name.c_str()) != ERROR_SUCCESS)
            return NotFound();
    } else {
        if (sub.empty()) {
            std::fprintf(stderr, "ERROR: Invalid key name.\n");
            return 1;
        }
        // As reg.exe does, the key goes with everything below it.
        if (RegDeleteTreeW(root.key, FromUtf8(sub).c_str()) != ERROR_SUCCESS)
            return NotFound();
    }
    std::printf("The operation completed successfully.\n");
    return 0;
}

} // namespace

int RegCommand(const std::vector<std::string>& args)
{
    if (args.size() < 2 || args[0] == "--help") {
        std::fprintf(
            stderr,
            "usage: trumik reg query|add|delete KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD] [/d DATA] [/f]\n"
            "  KEY begins with HKCR, HKCU or HKLM (or their long names).\n");
        return args.size() == 1 && args[0] == "--help" ? 0 : 2;
    }
    const std::string& verb = args[0];
    const Root* root = nullptr;
    std::string sub;
    if (!SplitKey(args[1], root, sub)) {
        std::fprintf(stderr, "ERROR: Invalid key name.\n");
        return 1;
    }
    bool hasValue = false, hasData = false;
    std::string valueName, typeName, data;
    for (size_t i = 2; i < args.size(); ++i) {
        std::string a = args[i];
        if ((a == "/v" || a == "-v") && i + 1 < args.size()) {
            hasValue = true;
            valueName = args[++i];
        } else if (a == "/ve" || a == "-ve") {
            hasValue = true;
            valueName.clear();
        } else if ((a == "/d" || a == "-d") && i + 1 < args.size()) {
            hasData = true;
            data = args[++i];
        } else if ((a == "/t" || a == "-t") && i + 1 < args.size()) {
            typeName = args[++i];
        } else if (a == "/f" || a == "-f") {
            // No prompts are ever asked.
        } else {
            std::fprintf(stderr, "ERROR: Invalid syntax.\n");
            return 1;
        }
    }
    if (verb == "query")
        return Query(*root, sub, args[1], hasValue, valueName);
    if (verb == "add")
        return Add(*root, sub, hasValue, valueName, typeName, hasData, data);
    if (verb == "delete")
        return Delete(*root, sub, hasValue, valueName);
    std::fprintf(stderr, "ERROR: Invalid syntax.\n");
    return 1;
}

} // namespace trumik::host

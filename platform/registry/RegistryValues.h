// Small C++ helpers over the registry functions for the platform's own code:
// an owning key handle and typed reads and writes of single values.
#pragma once

#include "winreg.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trumik::platform {

struct RegKeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
// An open key, closed on destruction (the predefined keys may be held too).
using UniqueHKEY = std::unique_ptr<HKEY__, RegKeyCloser>;

// The state of the registry a read saw: `changes` moves on with every change
// committed by any process on the same root, `database` tells databases apart.
// What was read under one stamp is still what the registry holds while a
// later read gives the same stamp.
struct RegistryStamp {
    int64_t database = 0;
    int64_t changes = -1; // -1: no stamp
    bool operator==(const RegistryStamp&) const = default;
};

// A key's existence and one of its values, read in one transaction with the
// stamp of that moment.
struct RegistrySnapshot {
    RegistryStamp stamp;
    bool keyExists = false;
    std::optional<std::vector<BYTE>> data; // nullopt when the key or the value is missing
};

// Reads root\subKey (its value valueName, unless that is null) in one
// transaction; on a failure of the registry the stamp is empty and nothing exists.
RegistrySnapshot ReadRegistrySnapshot(HKEY root, std::u16string_view subKey, const char16_t* valueName);

// Registry transactions begun on the calling thread so far, so that a test
// can count what one call costs the registry.
uint64_t RegistryTransactionsOnThisThread() noexcept;

// Opens root\subKey; an empty pointer when it does not open (*status says why).
inline UniqueHKEY OpenRegistryKey(HKEY root, std::u16string_view subKey, REGSAM access = KEY_READ,
                                  LSTATUS* status = nullptr)
{
    std::u16string path(subKey);
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(root, path.c_str(), 0, access, &key);
    if (status)
        *status = rc;
    return UniqueHKEY(rc == ERROR_SUCCESS ? key : nullptr);
}

// Opens root\subKey, creating it and the keys on its way when missing.
inline UniqueHKEY CreateRegistryKey(HKEY root, std::u16string_view subKey, REGSAM access = KEY_ALL_ACCESS,
                                    LSTATUS* status = nullptr)
{
    std::u16string path(subKey);
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                 &key, nullptr);
    if (status)
        *status = rc;
    return UniqueHKEY(rc == ERROR_SUCCESS ? key : nullptr);
}

// The data and type of one value of an open key; nullopt when it is missing
// or cannot be read.
inline std::optional<std::vector<BYTE>> QueryRegistryValue(HKEY key, std::u16string_view valueName,
                                                           DWORD* type = nullptr)
{
    std::u16string name(valueName);
    // Most values (a certificate with its properties among them) fit the
    // first buffer, so one call reads them; a longer one says its size.
    std::vector<BYTE> data(4096);
    for (;;) {
        DWORD size = static_cast<DWORD>(data.size());
        DWORD t = REG_NONE;
        LSTATUS rc = RegQueryValueExW(key, name.c_str(), nullptr, &t, data.data(), &size);
        if (rc == ERROR_MORE_DATA) {
            data.resize(size); // and again: it may have grown in between
            continue;
        }
        if (rc != ERROR_SUCCESS)
            return std::nullopt;
        data.resize(size);
        if (type)
            *type = t;
        return data;
    }
}

// A string value (REG_SZ or REG_EXPAND_SZ, not expanded) up to its first NUL.
inline std::optional<std::u16string> QueryRegistryString(HKEY key, std::u16string_view valueName)
{
    DWORD type = REG_NONE;
    auto data = QueryRegistryValue(key, valueName, &type);
    if (!data || (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string text(data->size() / sizeof(char16_t), u'\0');
    if (!text.empty())
        std::memcpy(text.data(), data->data(), text.size() * sizeof(char16_t));
    if (auto nul = text.find(u'\0'); nul != std::u16string::npos)
        text.resize(nul);
    return text;
}

// A REG_DWORD value.
inline std::optional<DWORD> QueryRegistryDword(HKEY key, std::u16string_view valueName)
{
    DWORD type = REG_NONE;
    auto data = QueryRegistryValue(key, valueName, &type);
    if (!data || type != REG_DWORD || data->size() != sizeof(DWORD))
        return std::nullopt;
    DWORD value;
    std::memcpy(&value, data->data(), sizeof value);
    return value;
}

inline std::optional<std::u16string> ReadRegistryString(HKEY root, std::u16string_view subKey,
                                                        std::u16string_view valueName)
{
    auto key = OpenRegistryKey(root, subKey, KEY_QUERY_VALUE);
    return key ? QueryRegistryString(key.get(), valueName) : std::nullopt;
}

inline std::optional<DWORD> ReadRegistryDword(HKEY root, std::u16string_view subKey,
                                              std::u16string_view valueName)
{
    auto key = OpenRegistryKey(root, subKey, KEY_QUERY_VALUE);
    return key ? QueryRegistryDword(key.get(), valueName) : std::nullopt;
}

// A value's bytes whatever its type.
inline std::optional<std::vector<BYTE>> ReadRegistryBinary(HKEY root, std::u16string_view subKey,
                                                           std::u16string_view valueName)
{
    auto key = OpenRegistryKey(root, subKey, KEY_QUERY_VALUE);
    return key ? QueryRegistryValue(key.get(), valueName) : std::nullopt;
}

// Writes one value, creating the key when missing.
inline LSTATUS WriteRegistryValue(HKEY root, std::u16string_view subKey, std::u16string_view valueName,
                                  DWORD type, const void* data, size_t size)
{
    LSTATUS rc;
    auto key = CreateRegistryKey(root, subKey, KEY_SET_VALUE, &rc);
    if (!key)
        return rc;
    std::u16string name(valueName);
    return RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                          static_cast<DWORD>(size));
}

// Writes a string with its terminating NUL, as Windows programs do.
inline LSTATUS WriteRegistryString(HKEY root, std::u16string_view subKey, std::u16string_view valueName,
                                   std::u16string_view value, DWORD type = REG_SZ)
{
    std::u16string text(value);
    return WriteRegistryValue(root, subKey, valueName, type, text.c_str(),
                              (text.size() + 1) * sizeof(char16_t));
}

inline LSTATUS WriteRegistryDword(HKEY root, std::u16string_view subKey, std::u16string_view valueName,
                                  DWORD value)
{
    return WriteRegistryValue(root, subKey, valueName, REG_DWORD, &value, sizeof value);
}

inline LSTATUS WriteRegistryBinary(HKEY root, std::u16string_view subKey, std::u16string_view valueName,
                                   const std::vector<BYTE>& value)
{
    return WriteRegistryValue(root, subKey, valueName, REG_BINARY, value.data(), value.size());
}

// The names of the subkeys of an open key, in the registry's order.
inline std::vector<std::u16string> EnumRegistrySubKeys(HKEY key)
{
    std::vector<std::u16string> names;
    std::u16string buffer(256, u'\0'); // a key name has at most 255 characters
    for (DWORD index = 0;;) {
        DWORD cch = static_cast<DWORD>(buffer.size());
        LSTATUS rc = RegEnumKeyExW(key, index, buffer.data(), &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        names.emplace_back(buffer.data(), cch);
        ++index;
    }
    return names;
}

} // namespace trumik::platform

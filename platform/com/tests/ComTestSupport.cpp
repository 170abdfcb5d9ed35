#include "ComTestSupport.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {
std::mutex g_lock;
std::vector<std::string> g_events;
} // namespace

extern "C" __attribute__((visibility("default"))) void ComTestRecord(const char* event)
{
    std::lock_guard guard(g_lock);
    g_events.emplace_back(event);
}

namespace comtest {

std::vector<std::string> TakeEvents()
{
    std::lock_guard guard(g_lock);
    std::vector<std::string> out;
    out.swap(g_events);
    return out;
}

std::u16string U16(const std::string& utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string U8(const std::u16string& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

void SetClassesRootString(const std::u16string& key, const char16_t* valueName, const std::u16string& value)
{
    HKEY handle = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &handle, nullptr));
    const LSTATUS rc =
        RegSetValueExW(handle, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
    RegCloseKey(handle);
    ASSERT_EQ(ERROR_SUCCESS, rc);
}

bool ClassesRootKeyExists(const std::u16string& key)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

void DeleteClassesRootKey(const std::u16string& key)
{
    RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
}

DWORD SubkeyCount(const std::u16string& key)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return 0;
    DWORD count = 0;
    RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(handle);
    return count;
}

std::u16string GuidText(const GUID& guid)
{
    OLECHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

} // namespace comtest

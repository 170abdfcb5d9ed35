// The first module stays as it was when a second module joined the
// scaffolding: its type library (the file and the TYPELIB resource) and every
// registry key and value its DllRegisterServer writes are compared with the
// recorded ones in expected/. TRUMIK_RECORD_EXPECTED=1 rewrites the records.
#include "TestHome.h"

#include <libloaderapi.h>
#include <objbase.h>
#include <winnls.h>
#include <winreg.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

std::string Utf8(const std::u16string& text)
{
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::u16string Utf16(const std::string& text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    out.pop_back();
    return out;
}

fs::path BuildDir()
{
    const char* build = std::getenv("TRUMIK_BUILD_DIR");
    return fs::path(build ? build : ".");
}

fs::path ExpectedDir()
{
    return fs::path(TRUMIK_EXPECTED_DIR);
}

void ReplaceAll(std::string& text, const std::string& what, const std::string& with)
{
    for (size_t at = text.find(what); !what.empty() && at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

// One line per key and per value, keys in the order the registry lists them.
void Dump(HKEY parent, const std::u16string& path, std::string& out)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    out += "[" + Utf8(path) + "]\n";
    for (DWORD i = 0;; ++i) {
        char16_t name[512];
        DWORD nameLength = 512;
        BYTE data[4096];
        DWORD dataSize = sizeof data, type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        std::string value;
        if (type == REG_SZ || type == REG_EXPAND_SZ)
            value = Utf8(std::u16string(reinterpret_cast<const char16_t*>(data)));
        else
            for (DWORD b = 0; b < dataSize; ++b)
                value += "0123456789abcdef"[data[b] >> 4], value += "0123456789abcdef"[data[b] & 15];
        out += "  " + (nameLength ? Utf8(std::u16string(name, nameLength)) : std::string("@")) + " (" +
               std::to_string(type) + ") = " + value + "\n";
    }
    std::vector<std::u16string> children;
    for (DWORD i = 0;; ++i) {
        char16_t name[512];
        DWORD nameLength = 512;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.emplace_back(name, nameLength);
    }
    RegCloseKey(key);
    for (const std::u16string& child : children)
        Dump(parent, path.empty() ? child : path + u"\\" + child, out);
}

void CompareWithRecord(const std::string& actual, const std::string& file)
{
    const fs::path expected = ExpectedDir() / file;
    if (std::getenv("TRUMIK_RECORD_EXPECTED")) {
        tt::WriteFile(expected, actual);
        return;
    }
    ASSERT_TRUE(fs::exists(expected)) << expected;
    EXPECT_TRUE(tt::ReadFile(expected) == actual) << file << " differs from " << expected;
}

TEST(UnchangedModule, TypeLibraryFileAndResourceAreTheRecordedBytes)
{
    const std::string file = tt::ReadFile(BuildDir() / "server" / "ZelvaneTrumikXmlSigner.tlb");
    CompareWithRecord(file, "ZelvaneTrumikXmlSigner.tlb");

    const fs::path modulePath = BuildDir() / "lib" / "Zelvane.Trumik.XmlSigner.so";
    HMODULE module = LoadLibraryW(Utf16(modulePath.string()).c_str());
    ASSERT_NE(module, nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), u"TYPELIB");
    ASSERT_NE(found, nullptr);
    const void* bytes = LoadResource(module, found);
    const std::string resource(static_cast<const char*>(bytes), SizeofResource(module, found));
    EXPECT_TRUE(resource == file) << "the TYPELIB resource is not the type library file";
    FreeLibrary(module);
}

TEST(UnchangedModule, RegistrationWritesTheRecordedKeysAndValues)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const fs::path modulePath = fs::canonical(BuildDir() / "lib" / "Zelvane.Trumik.XmlSigner.so");
    HMODULE module = LoadLibraryW(Utf16(modulePath.string()).c_str());
    ASSERT_NE(module, nullptr);
    auto registerServer = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"));
    auto unregisterServer = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllUnregisterServer"));
    ASSERT_TRUE(registerServer && unregisterServer);

    std::string before;
    Dump(HKEY_CLASSES_ROOT, u"", before);
    ASSERT_EQ(registerServer(), S_OK);
    std::string registered;
    Dump(HKEY_CLASSES_ROOT, u"", registered);
    ReplaceAll(registered, modulePath.string(), "$MODULE");
    ReplaceAll(registered, modulePath.parent_path().string(), "$MODULE_DIR");
    CompareWithRecord(registered, "registration.txt");

    ASSERT_EQ(unregisterServer(), S_OK);
    std::string after;
    Dump(HKEY_CLASSES_ROOT, u"", after);
    ReplaceAll(after, modulePath.string(), "$MODULE");
    CompareWithRecord(after, "unregistration.txt");
    FreeLibrary(module);
    CoUninitialize();
}

} // namespace

// The module loader: DllMain protocol, reference counts, names and paths.
#include "ComTestSupport.h"

#include <gtest/gtest.h>

#include "TestHome.h"

#include <atomic>
#include <filesystem>
#include <thread>
#include <unistd.h>

using namespace comtest;
using Events = std::vector<std::string>;

namespace {

std::u16string FileNameOf(HMODULE module)
{
    WCHAR buffer[4096];
    const DWORD n = GetModuleFileNameW(module, buffer, 4096);
    return std::u16string(buffer, n);
}

std::string ExecutablePath()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

} // namespace

TEST(ModuleLoader, DllMainSeesAttachAfterStaticInitOnceAndDetachBeforeUnload)
{
    TakeEvents();
    HMODULE first = LoadLibraryW(ModulePath().c_str());
    ASSERT_NE(nullptr, first);
    EXPECT_EQ((Events{"module:init", "module:attach"}), TakeEvents());

    // DllMain got the same handle the caller did.
    auto instanceOf = reinterpret_cast<HINSTANCE (*)()>(GetProcAddress(first, "TestModuleInstance"));
    ASSERT_NE(nullptr, instanceOf);
    EXPECT_EQ(first, instanceOf());

    // Later loads, by path or by bare name, only count.
    HMODULE second = LoadLibraryW(ModulePath().c_str());
    HMODULE third = LoadLibraryW(u"com_test_module.so");
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, third);
    EXPECT_TRUE(TakeEvents().empty());

    EXPECT_TRUE(FreeLibrary(third));
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_TRUE(TakeEvents().empty());
    EXPECT_EQ(first, GetModuleHandleW(ModulePath().c_str()));

    // The last reference: detach, then the library's static clean-up.
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ((Events{"module:detach", "module:fini"}), TakeEvents());
    SetLastError(0);
    EXPECT_EQ(nullptr, GetModuleHandleW(ModulePath().c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    // Loaded again, the module starts afresh.
    HMODULE again = LoadLibraryW(ModulePath().c_str());
    ASSERT_NE(nullptr, again);
    EXPECT_EQ((Events{"module:init", "module:attach"}), TakeEvents());
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ((Events{"module:detach", "module:fini"}), TakeEvents());
}

TEST(ModuleLoader, RefusedAttachGetsDetachAndFailsWithDllInitFailed)
{
    TakeEvents();
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryW(RefusePath().c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DLL_INIT_FAILED), GetLastError());
    EXPECT_EQ(1114u, GetLastError());
    EXPECT_EQ((Events{"refuse:init", "refuse:attach", "refuse:detach", "refuse:fini"}), TakeEvents());
    EXPECT_EQ(nullptr, GetModuleHandleW(u"com_test_refuse.so"));
}

TEST(ModuleLoader, DataFileLoadSkipsDllMain)
{
    TakeEvents();
    HMODULE data = LoadLibraryExW(ModulePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ((Events{"module:init"}), TakeEvents());
    EXPECT_NE(nullptr, FindResourceW(data, MAKEINTRESOURCEW(1), u"TYPELIB"));
    // A real load of the same module now delivers the attach.
    HMODULE code = LoadLibraryW(ModulePath().c_str());
    EXPECT_EQ(data, code);
    EXPECT_EQ((Events{"module:attach"}), TakeEvents());
    FreeLibrary(code);
    FreeLibrary(data);
    EXPECT_EQ((Events{"module:detach", "module:fini"}), TakeEvents());

    EXPECT_EQ(nullptr, LoadLibraryExW(ModulePath().c_str(), nullptr, 0x80000000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(ModuleLoader, MissingModulesFailWithModNotFound)
{
    for (const char16_t* name :
         {u"/nonexistent/folder/module.so", u"no_such_module_anywhere", u"no_such_module_anywhere.so", u""}) {
        SetLastError(0);
        EXPECT_EQ(nullptr, LoadLibraryW(name));
        EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    }
}

TEST(ModuleLoader, AFileThatIsNoLibraryIsABadFormat)
{
    const auto file = trumik::testing::MakeTempDir("loader") / "not_a_library.so";
    trumik::testing::WriteFile(file, "just text, no ELF image");
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryW(U16(file.string()).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_EXE_FORMAT), GetLastError());
}

TEST(ModuleLoader, ConcurrentLoadsAttachAndDetachInPairs)
{
    TakeEvents();
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                HMODULE module = LoadLibraryW(ModulePath().c_str());
                if (!module || !GetProcAddress(module, "DllGetClassObject") || !FreeLibrary(module))
                    failed = true;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(failed);
    // Every attach is followed by its detach before the next attach.
    const Events events = TakeEvents();
    ASSERT_FALSE(events.empty());
    for (size_t i = 0; i < events.size(); i += 4)
        ASSERT_EQ((Events{"module:init", "module:attach", "module:detach", "module:fini"}),
                  Events(events.begin() + static_cast<std::ptrdiff_t>(i),
                         events.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, events.size()))));
}

TEST(ModuleLoader, BareNameIsFoundBesideThePlatformLibrary)
{
    // Also without the extension, as Windows appends ".dll".
    HMODULE module = LoadLibraryW(u"com_test_module");
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(ModulePath(), FileNameOf(module));
    EXPECT_EQ(module, GetModuleHandleW(u"com_test_module.so"));
    EXPECT_EQ(module, GetModuleHandleW(u"com_test_module"));
    FreeLibrary(module);
    TakeEvents();
}

TEST(ModuleLoader, GetProcAddressLooksAtTheModulesOwnExportsOnly)
{
    HMODULE module = LoadLibraryW(ModulePath().c_str());
    ASSERT_NE(nullptr, module);
    EXPECT_NE(nullptr, GetProcAddress(module, "DllGetClassObject"));
    EXPECT_NE(nullptr, GetProcAddress(module, "DllCanUnloadNow"));
    // Defined by the platform library the module links against, not by it.
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(module, "CoCreateInstance"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(module, "NoSuchExport"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(1))));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    FreeLibrary(module);
    TakeEvents();
}

TEST(ModuleLoader, GetModuleFileNameTruncatesAsWindows)
{
    HMODULE module = LoadLibraryW(ModulePath().c_str());
    ASSERT_NE(nullptr, module);
    const std::u16string path = ModulePath();
    const DWORD length = static_cast<DWORD>(path.size());
    std::vector<WCHAR> buffer(path.size() + 8, u'#');

    SetLastError(12345);
    EXPECT_EQ(length, GetModuleFileNameW(module, buffer.data(), length + 1));
    EXPECT_EQ(path, std::u16string(buffer.data()));

    // One unit short: truncated, terminated, the buffer size returned.
    std::fill(buffer.begin(), buffer.end(), u'#');
    EXPECT_EQ(length, GetModuleFileNameW(module, buffer.data(), length));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(path.substr(0, length - 1), std::u16string(buffer.data()));

    std::fill(buffer.begin(), buffer.end(), u'#');
    SetLastError(0);
    EXPECT_EQ(5u, GetModuleFileNameW(module, buffer.data(), 5));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(path.substr(0, 4), std::u16string(buffer.data()));
    EXPECT_EQ(u'#', buffer[5]);

    std::fill(buffer.begin(), buffer.end(), u'#');
    SetLastError(0);
    EXPECT_EQ(0u, GetModuleFileNameW(module, buffer.data(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(u'#', buffer[0]);
    FreeLibrary(module);
    TakeEvents();

    // A handle that names no module.
    SetLastError(0);
    EXPECT_EQ(0u, GetModuleFileNameW(module, buffer.data(), 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST(ModuleLoader, ExecutableAndForeignModulesHaveHandles)
{
    HMODULE self = GetModuleHandleW(nullptr);
    ASSERT_NE(nullptr, self);
    EXPECT_EQ(U16(ExecutablePath()), FileNameOf(nullptr));
    EXPECT_EQ(U16(ExecutablePath()), FileNameOf(self));
    // The executable is never unloaded.
    EXPECT_TRUE(FreeLibrary(self));
    EXPECT_EQ(self, GetModuleHandleW(nullptr));

    // A library the process loaded by itself.
    HMODULE platform = GetModuleHandleW(u"libtrumikplatform.so");
    ASSERT_NE(nullptr, platform);
    EXPECT_EQ(u"libtrumikplatform.so",
              std::filesystem::path(U8(FileNameOf(platform))).filename().u16string());
    EXPECT_NE(nullptr, GetProcAddress(platform, "CoCreateInstance"));

    HMODULE byAddress = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&CoCreateInstance), &byAddress));
    EXPECT_EQ(platform, byAddress);

    HMODULE module = LoadLibraryW(ModulePath().c_str());
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                       GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(GetProcAddress(module, "DllMain")), &byAddress));
    EXPECT_EQ(module, byAddress);
    FreeLibrary(module);
    TakeEvents();
}

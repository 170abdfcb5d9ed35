// Resources of a module: lookup by type, name and language, string tables and
// the version resource.
#include "ComTestSupport.h"

#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace comtest;

namespace {

std::string DataFile(const char* name)
{
    return trumik::testing::ReadFile(std::string(COM_TEST_DATA_DIR "/") + name);
}

class Resources : public ::testing::Test {
  protected:
    void SetUp() override
    {
        module_ = LoadLibraryW(ModulePath().c_str());
        ASSERT_NE(nullptr, module_);
    }
    void TearDown() override
    {
        FreeLibrary(module_);
        TakeEvents();
    }

    std::string Bytes(HRSRC resource)
    {
        const void* data = LockResource(LoadResource(module_, resource));
        return std::string(static_cast<const char*>(data), SizeofResource(module_, resource));
    }

    HMODULE module_ = nullptr;
};

} // namespace

TEST_F(Resources, FoundByIdNameAndNumberStringCaseInsensitively)
{
    HRSRC typelib = FindResourceW(module_, MAKEINTRESOURCEW(1), u"TYPELIB");
    ASSERT_NE(nullptr, typelib);
    EXPECT_EQ(DataFile("typelib.bin"), Bytes(typelib));
    EXPECT_EQ(typelib, FindResourceW(module_, u"#1", u"typelib"));
    EXPECT_EQ(typelib, FindResourceW(module_, MAKEINTRESOURCEW(1), u"TypeLib"));

    HRSRC blob = FindResourceW(module_, u"blob", u"Custom");
    ASSERT_NE(nullptr, blob);
    EXPECT_EQ("blob data", Bytes(blob));
    EXPECT_EQ(blob, FindResourceExW(module_, u"CUSTOM", u"BLOB", 0));

    // A resource handle of another module is not this module's.
    HRSRC exe = FindResourceW(nullptr, MAKEINTRESOURCEW(7), RT_RCDATA);
    ASSERT_NE(nullptr, exe);
    EXPECT_EQ(nullptr, LoadResource(module_, exe));
    EXPECT_EQ(0u, SizeofResource(module_, exe));
}

TEST_F(Resources, LanguagePrefersTheUserLanguageAndExactRequestsMustMatch)
{
    // The user's language here is Russian (0x0419).
    HRSRC preferred = FindResourceW(module_, MAKEINTRESOURCEW(101), u"REGISTRY");
    ASSERT_NE(nullptr, preferred);
    EXPECT_EQ(DataFile("registry.rgs"), Bytes(preferred));

    HRSRC english = FindResourceExW(module_, u"REGISTRY", MAKEINTRESOURCEW(101), 0x0409);
    ASSERT_NE(nullptr, english);
    EXPECT_EQ(DataFile("registry_en.rgs"), Bytes(english));
    EXPECT_EQ(preferred, FindResourceExW(module_, u"REGISTRY", MAKEINTRESOURCEW(101), 0x0419));

    SetLastError(0);
    EXPECT_EQ(nullptr, FindResourceExW(module_, u"REGISTRY", MAKEINTRESOURCEW(101), 0x0407));
    EXPECT_EQ(1815u, GetLastError()); // ERROR_RESOURCE_LANG_NOT_FOUND

    // Only one language there: the neutral request takes it.
    EXPECT_NE(nullptr, FindResourceW(module_, MAKEINTRESOURCEW(1), u"TYPELIB"));
}

TEST_F(Resources, FailuresSayWhatIsMissing)
{
    SetLastError(0);
    EXPECT_EQ(nullptr, FindResourceW(module_, MAKEINTRESOURCEW(1), u"NOSUCHTYPE"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, FindResourceW(module_, MAKEINTRESOURCEW(2), u"TYPELIB"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, FindResourceW(module_, u"#2", u"TYPELIB"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());

    // A module without a resource table.
    HMODULE bare = LoadLibraryW(NoClassPath().c_str());
    ASSERT_NE(nullptr, bare);
    SetLastError(0);
    EXPECT_EQ(nullptr, FindResourceW(bare, MAKEINTRESOURCEW(1), RT_RCDATA));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND), GetLastError());
    FreeLibrary(bare);
}

TEST_F(Resources, StringTableBlocksHaveTheWindowsLayout)
{
    // String 100 is the fifth of block 7 (100 / 16 + 1): four empty strings
    // (a zero length each) come before it.
    HRSRC block = FindResourceW(module_, MAKEINTRESOURCEW(7), RT_STRING);
    ASSERT_NE(nullptr, block);
    const std::string bytes = Bytes(block);
    const std::u16string expected = u"Zelvane.Trumik.Test";
    std::string layout(8, '\0');
    layout += static_cast<char>(expected.size());
    layout += '\0';
    for (char16_t c : expected) {
        layout += static_cast<char>(c & 0xFF);
        layout += static_cast<char>(c >> 8);
    }
    ASSERT_GE(bytes.size(), layout.size());
    EXPECT_EQ(layout, bytes.substr(0, layout.size()));
    // Then string 101 and eleven empty strings: 16 lengths in all.
    EXPECT_EQ(16u * 2 + expected.size() * 2 + std::u16string(u"Строка по-русски").size() * 2, bytes.size());
}

TEST_F(Resources, LoadStringCopiesTruncatesAndPointsIntoTheTable)
{
    WCHAR buffer[64];
    EXPECT_EQ(19, LoadStringW(module_, 100, buffer, 64));
    EXPECT_EQ(u"Zelvane.Trumik.Test", std::u16string(buffer));
    EXPECT_EQ(16, LoadStringW(module_, 101, buffer, 64));
    EXPECT_EQ(u"Строка по-русски", std::u16string(buffer));
    EXPECT_EQ(17, LoadStringW(module_, 117, buffer, 64));
    EXPECT_EQ(u"Line one\nline two", std::u16string(buffer));

    // A short buffer: as much as fits, terminated.
    EXPECT_EQ(4, LoadStringW(module_, 100, buffer, 5));
    EXPECT_EQ(u"Zelv", std::u16string(buffer));

    // No room at all: a read-only pointer to the unterminated text.
    const WCHAR* direct = nullptr;
    EXPECT_EQ(19, LoadStringW(module_, 100, reinterpret_cast<LPWSTR>(&direct), 0));
    ASSERT_NE(nullptr, direct);
    EXPECT_EQ(u"Zelvane.Trumik.Test", std::u16string(direct, 19));

    // A gap in an existing block, and a block that does not exist.
    buffer[0] = u'x';
    EXPECT_EQ(0, LoadStringW(module_, 102, buffer, 64));
    EXPECT_EQ(u'\0', buffer[0]);
    buffer[0] = u'x';
    SetLastError(0);
    EXPECT_EQ(0, LoadStringW(module_, 5000, buffer, 64));
    EXPECT_EQ(u'\0', buffer[0]);
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
}

TEST_F(Resources, VersionResourceCarriesFixedInfoStringsAndTranslation)
{
    DWORD handle = 77;
    const DWORD size = GetFileVersionInfoSizeW(ModulePath().c_str(), &handle);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(0u, handle);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(ModulePath().c_str(), 0, size, block.data()));

    // The block starts with its own length and the fixed-info size.
    WORD head[3];
    std::memcpy(head, block.data(), sizeof head);
    EXPECT_EQ(size, head[0]);
    EXPECT_EQ(52, head[1]);
    EXPECT_EQ(0, head[2]);

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", &value, &length));
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(0x00010000u, fixed->dwStrucVersion);
    EXPECT_EQ(0x00010004u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00000000u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010004u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00020007u, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);

    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(4u, length);
    DWORD translation;
    std::memcpy(&translation, value, 4);
    EXPECT_EQ(0x04E30419u, translation);

    ASSERT_TRUE(
        VerQueryValueW(block.data(), u"\\StringFileInfo\\041904e3\\FileDescription", &value, &length));
    const std::u16string description = u"Library for singing and verifying XML doc digital signature.";
    EXPECT_EQ(description.size() + 1, length);
    EXPECT_EQ(description, std::u16string(static_cast<const WCHAR*>(value)));
    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\StringFileInfo\\041904E3\\InternalName", &value, &length));
    EXPECT_EQ(u"com_test_module.so", std::u16string(static_cast<const WCHAR*>(value)));

    EXPECT_FALSE(
        VerQueryValueW(block.data(), u"\\StringFileInfo\\040904b0\\FileDescription", &value, &length));
    EXPECT_EQ(0u, length);
    EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\041904e3\\Comments", &value, &length));

    SetLastError(0);
    EXPECT_EQ(0u, GetFileVersionInfoSizeW(u"/nonexistent/module.so", &handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0u, GetFileVersionInfoSizeW(RefusePath().c_str(), &handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
}

TEST(ExecutableResources, TheExecutablesTableIsReadThroughTheNullHandle)
{
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(7), RT_RCDATA);
    ASSERT_NE(nullptr, resource);
    EXPECT_EQ(resource, FindResourceW(GetModuleHandleW(nullptr), u"#7", RT_RCDATA));
    const void* data = LockResource(LoadResource(nullptr, resource));
    EXPECT_EQ(DataFile("exe.txt"),
              std::string(static_cast<const char*>(data), SizeofResource(nullptr, resource)));
}

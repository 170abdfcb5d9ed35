#include "winreg.h"

#include "registry/RegistryValues.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using trumik::platform::UniqueHKEY;

// Each test works below its own key of HKEY_CURRENT_USER, removed afterwards.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        path_ = u"Software\\TrumikTests\\" + std::u16string(name.begin(), name.end());
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        root_.reset(key);
    }

    void TearDown() override
    {
        root_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }

    HKEY Root() const { return root_.get(); }

    static UniqueHKEY Create(HKEY parent, const std::u16string& sub, DWORD* disposition = nullptr,
                             REGSAM sam = KEY_ALL_ACCESS)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(parent, sub.c_str(), 0, nullptr, 0, sam, nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return UniqueHKEY(key);
    }

    static LSTATUS Open(HKEY parent, const char16_t* sub, UniqueHKEY& out, REGSAM sam = KEY_ALL_ACCESS)
    {
        HKEY key = reinterpret_cast<HKEY>(1);
        LSTATUS rc = RegOpenKeyExW(parent, sub, 0, sam, &key);
        out.reset(rc == ERROR_SUCCESS ? key : nullptr);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(key, nullptr);
        }
        return rc;
    }

    static LSTATUS SetBytes(HKEY key, const char16_t* name, DWORD type, const std::vector<BYTE>& data)
    {
        return RegSetValueExW(key, name, 0, type, data.empty() ? nullptr : data.data(),
                              static_cast<DWORD>(data.size()));
    }

    static LSTATUS SetString(HKEY key, const char16_t* name, const std::u16string& text)
    {
        return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * 2));
    }

    static std::vector<BYTE> Get(HKEY key, const char16_t* name, DWORD* type = nullptr)
    {
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(key, name, nullptr, type, nullptr, &size), ERROR_SUCCESS);
        std::vector<BYTE> data(size);
        EXPECT_EQ(RegQueryValueExW(key, name, nullptr, type, data.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(size, data.size());
        return data;
    }

    static std::vector<std::u16string> SubKeys(HKEY key)
    {
        return trumik::platform::EnumRegistrySubKeys(key);
    }

    static std::vector<std::u16string> ValueNames(HKEY key)
    {
        std::vector<std::u16string> names;
        WCHAR name[300];
        for (DWORD i = 0;; ++i) {
            DWORD cch = 300;
            LSTATUS rc = RegEnumValueW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS)
                break;
            EXPECT_EQ(rc, ERROR_SUCCESS);
            if (rc != ERROR_SUCCESS)
                break;
            names.emplace_back(name, cch);
        }
        return names;
    }

    static std::vector<BYTE> Bytes(std::u16string_view text)
    {
        const auto* p = reinterpret_cast<const BYTE*>(text.data());
        return {p, p + text.size() * 2};
    }

    std::u16string path_;
    UniqueHKEY root_;
};

TEST_F(RegistryTest, CreateKeyMakesThePathAndReportsDisposition)
{
    DWORD disposition = 0;
    auto c = Create(Root(), u"A\\B\\C", &disposition);
    ASSERT_TRUE(c);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(SubKeys(Root()), std::vector<std::u16string>{u"A"});

    auto again = Create(Root(), u"a\\b\\c", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    ASSERT_EQ(SetString(c.get(), u"v", u"x"), ERROR_SUCCESS);
    EXPECT_EQ(Get(again.get(), u"V"), Bytes(std::u16string(u"x\0", 2)));

    // Only the last key is new: the disposition says so.
    auto d = Create(Root(), u"A\\B\\D", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(SubKeys(Root()), std::vector<std::u16string>{u"A"});

    // A doubled or trailing backslash names the same key.
    auto same = Create(Root(), u"A\\\\B\\C\\", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    // An empty path opens the key itself anew.
    auto self = Create(Root(), u"", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(self.get(), Root());
}

TEST_F(RegistryTest, CreateKeyRejectsBadArguments)
{
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegCreateKeyExW(Root(), u"\\Lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(key, nullptr);
    key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegCreateKeyExW(Root(), nullptr, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegCreateKeyExW(Root(), u"X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExW(reinterpret_cast<HKEY>(0x7777), u"X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_TRUE(SubKeys(Root()).empty());
}

TEST_F(RegistryTest, OpenKeyFindsExistingKeysOnly)
{
    Create(Root(), u"Sub\\Leaf");
    UniqueHKEY key;
    EXPECT_EQ(Open(Root(), u"Sub\\Missing", key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(Root(), u"\\Sub", key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(Open(reinterpret_cast<HKEY>(0x7777), u"Sub", key), ERROR_INVALID_HANDLE);
    // HKEY_CURRENT_CONFIG is not one of ours.
    EXPECT_EQ(Open(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000005))), u"", key),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(Root(), u"Sub", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);

    ASSERT_EQ(Open(Root(), u"SUB\\leaf", key), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), u"n", u"1"), ERROR_SUCCESS);

    // A null or empty path gives a second handle of the same key.
    UniqueHKEY viaNull, viaEmpty;
    ASSERT_EQ(Open(key.get(), nullptr, viaNull), ERROR_SUCCESS);
    ASSERT_EQ(Open(key.get(), u"", viaEmpty), ERROR_SUCCESS);
    EXPECT_NE(viaNull.get(), key.get());
    EXPECT_NE(viaNull.get(), viaEmpty.get());
    key.reset();
    EXPECT_EQ(Get(viaNull.get(), u"n"), Get(viaEmpty.get(), u"N"));
}

TEST_F(RegistryTest, CloseKeyKnowsItsHandles)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(Root(), nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x7777)), ERROR_INVALID_HANDLE);

    // The predefined keys are never closed.
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    UniqueHKEY again;
    EXPECT_EQ(Open(HKEY_CURRENT_USER, path_.c_str(), again), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValuesKeepTypeAndExactBytes)
{
    const std::vector<BYTE> noNul = Bytes(u"abc");                          // a string without its NUL
    const std::vector<BYTE> odd = {'a', 0, 'b'};                            // an odd size
    const std::vector<BYTE> multi = Bytes(std::u16string(u"a\0bc\0\0", 6)); // two strings
    const std::vector<BYTE> dword = {0x78, 0x56, 0x34, 0x12};
    const std::vector<BYTE> qword = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<BYTE> blob = {0, 0xFF, 0, 0x80};
    struct Case {
        const char16_t* name;
        DWORD type;
        std::vector<BYTE> data;
    };
    const Case cases[] = {{u"sz", REG_SZ, noNul},
                          {u"odd", REG_SZ, odd},
                          {u"expand", REG_EXPAND_SZ, Bytes(std::u16string(u"%A%\0", 4))},
                          {u"multi", REG_MULTI_SZ, multi},
                          {u"dword", REG_DWORD, dword},
                          {u"qword", REG_QWORD, qword},
                          {u"bin", REG_BINARY, blob},
                          {u"none", REG_NONE, {}},
                          {u"custom", 0x12345678, blob}};
    for (const auto& c : cases)
        ASSERT_EQ(SetBytes(Root(), c.name, c.type, c.data), ERROR_SUCCESS);
    for (const auto& c : cases) {
        DWORD type = 0xEEEE;
        EXPECT_EQ(Get(Root(), c.name, &type), c.data);
        EXPECT_EQ(type, c.type);
    }
    EXPECT_EQ(trumik::platform::ReadRegistryDword(HKEY_CURRENT_USER, path_, u"DWORD"), 0x12345678u);

    // Data without a pointer is refused unless it is empty.
    EXPECT_EQ(RegSetValueExW(Root(), u"bad", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegSetKeyValueW(Root(), nullptr, u"bad", REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegQueryValueExW(Root(), u"bad", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExW(Root(), u"none", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(Root(), u"bad", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, QueryValueBufferRules)
{
    const std::u16string text(u"Hello\0", 6);
    ASSERT_EQ(SetBytes(Root(), u"Text", REG_SZ, Bytes(text)), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(Root(), u"text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    BYTE buffer[32];
    std::memset(buffer, 0xCC, sizeof buffer);
    size = 11;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(Root(), u"text", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    size = 12;
    EXPECT_EQ(RegQueryValueExW(Root(), u"text", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(std::memcmp(buffer, text.data(), 12), 0);
    EXPECT_EQ(buffer[12], 0xCC);

    // Only the size, only the type, nothing at all: all fine.
    EXPECT_EQ(RegQueryValueExW(Root(), u"text", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(Root(), u"text", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(Root(), u"text", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(Root(), u"text", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    size = 99;
    EXPECT_EQ(RegQueryValueExW(Root(), u"missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

    // An empty value: size zero, any buffer.
    ASSERT_EQ(SetBytes(Root(), u"empty", REG_BINARY, {}), ERROR_SUCCESS);
    size = 0;
    EXPECT_EQ(RegQueryValueExW(Root(), u"empty", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
}

TEST_F(RegistryTest, DefaultValueHasTheEmptyName)
{
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(Root(), nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(SetString(Root(), nullptr, u"default"), ERROR_SUCCESS);
    EXPECT_EQ(trumik::platform::ReadRegistryString(HKEY_CURRENT_USER, path_, u""), u"default");
    ASSERT_EQ(SetString(Root(), u"", u"changed"), ERROR_SUCCESS);
    EXPECT_EQ(trumik::platform::QueryRegistryString(Root(), u""), u"changed");
    EXPECT_EQ(ValueNames(Root()), std::vector<std::u16string>{u""});
    EXPECT_EQ(RegDeleteValueW(Root(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(Root(), u""), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, OverwriteKeepsNameAndPlaceDeleteRemoves)
{
    ASSERT_EQ(SetString(Root(), u"First", u"1"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(Root(), u"Second", u"2"), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(Root(), u"FIRST", REG_DWORD, {7, 0, 0, 0}), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(Root()), (std::vector<std::u16string>{u"First", u"Second"}));
    DWORD type = 0;
    EXPECT_EQ(Get(Root(), u"first", &type), (std::vector<BYTE>{7, 0, 0, 0}));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

    EXPECT_EQ(RegDeleteValueW(Root(), u"fIrSt"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(Root(), u"First"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ValueNames(Root()), std::vector<std::u16string>{u"Second"});
}

TEST_F(RegistryTest, NamesCompareWithoutCaseIncludingCyrillic)
{
    DWORD disposition = 0;
    auto key = Create(Root(), u"Ключ Ёлки", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    Create(Root(), u"КЛЮЧ ёЛКИ", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    UniqueHKEY opened;
    EXPECT_EQ(Open(Root(), u"ключ ёлки", opened), ERROR_SUCCESS);
    // Е and Ё are different letters.
    EXPECT_EQ(Open(Root(), u"ключ елки", opened), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SubKeys(Root()), std::vector<std::u16string>{u"Ключ Ёлки"});

    ASSERT_EQ(SetString(key.get(), u"Значение", u"да"), ERROR_SUCCESS);
    EXPECT_EQ(trumik::platform::QueryRegistryString(key.get(), u"ЗНАЧЕНИЕ"), u"да");
    EXPECT_EQ(trumik::platform::QueryRegistryString(key.get(), u"значение"), u"да");
    EXPECT_EQ(ValueNames(key.get()), std::vector<std::u16string>{u"Значение"});

    // Latin letters with diacritics fold as well.
    Create(Root(), u"Ärger");
    EXPECT_EQ(Open(Root(), u"äRGER", opened), ERROR_SUCCESS);
}

TEST_F(RegistryTest, EnumKeysSortedByUpperCaseNameWithBufferRules)
{
    for (const char16_t* name : {u"b", u"_x", u"A", u"c"})
        Create(Root(), name);
    // Sorted as upper case: '_' comes after the letters.
    EXPECT_EQ(SubKeys(Root()), (std::vector<std::u16string>{u"A", u"b", u"c", u"_x"}));

    WCHAR name[8];
    DWORD cch = 2;
    EXPECT_EQ(RegEnumKeyExW(Root(), 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = 3;
    FILETIME written{};
    EXPECT_EQ(RegEnumKeyExW(Root(), 3, name, &cch, nullptr, nullptr, nullptr, &written), ERROR_SUCCESS);
    EXPECT_EQ(cch, 2u);
    EXPECT_EQ(std::u16string(name), u"_x");
    EXPECT_NE(written.dwHighDateTime, 0u);
    cch = 8;
    EXPECT_EQ(RegEnumKeyExW(Root(), 4, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExW(Root(), 0, nullptr, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyExW(Root(), 0, name, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);

    // The class of a key comes back with it.
    HKEY classed = nullptr;
    WCHAR cls[] = u"Kind";
    ASSERT_EQ(RegCreateKeyExW(Root(), u"0", 0, cls, 0, KEY_ALL_ACCESS, nullptr, &classed, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(classed);
    WCHAR classOut[8];
    DWORD cchClass = 4;
    cch = 8;
    EXPECT_EQ(RegEnumKeyExW(Root(), 0, name, &cch, nullptr, classOut, &cchClass, nullptr), ERROR_MORE_DATA);
    cchClass = 5;
    EXPECT_EQ(RegEnumKeyExW(Root(), 0, name, &cch, nullptr, classOut, &cchClass, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"0");
    EXPECT_EQ(std::u16string(classOut), u"Kind");
    EXPECT_EQ(cchClass, 4u);
}

TEST_F(RegistryTest, EnumValuesInWriteOrderWithBufferRules)
{
    ASSERT_EQ(SetString(Root(), u"zeta", u"last letter"), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(Root(), u"Alpha", REG_BINARY, {1, 2, 3}), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(Root()), (std::vector<std::u16string>{u"zeta", u"Alpha"}));

    WCHAR name[8];
    BYTE data[8];
    DWORD cch = 5, type = 0, cb = sizeof data;
    EXPECT_EQ(RegEnumValueW(Root(), 1, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
    cch = 6;
    EXPECT_EQ(RegEnumValueW(Root(), 1, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cch, 5u);
    EXPECT_EQ(std::u16string(name), u"Alpha");
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(cb, 3u);
    EXPECT_EQ(std::vector<BYTE>(data, data + 3), (std::vector<BYTE>{1, 2, 3}));

    // Data too large for the buffer: the size needed comes back.
    cch = 8;
    cb = 8;
    EXPECT_EQ(RegEnumValueW(Root(), 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 24u);
    cch = 8;
    cb = 0;
    EXPECT_EQ(RegEnumValueW(Root(), 0, name, &cch, nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 24u);

    cch = 8;
    EXPECT_EQ(RegEnumValueW(Root(), 2, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueW(Root(), 0, name, &cch, nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueW(Root(), 0, nullptr, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, QueryInfoKeyCountsInCharactersAndBytes)
{
    Create(Root(), u"Short");
    Create(Root(), u"LongerName\\Below");
    ASSERT_EQ(SetString(Root(), u"v", u"12345"), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(Root(), u"LongValueName", REG_BINARY, {1}), ERROR_SUCCESS);

    DWORD subKeys = 0, maxSubKey = 0, maxClass = 9, values = 0, maxValueName = 0, maxValue = 0;
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyW(Root(), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, &maxClass, &values,
                               &maxValueName, &maxValue, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSubKey, 10u);
    EXPECT_EQ(maxClass, 0u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxValueName, 13u);
    EXPECT_EQ(maxValue, 12u);

    // The last write time is a FILETIME of now.
    ULONGLONG ticks = (static_cast<ULONGLONG>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    auto unix100ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count() /
                     100;
    ULONGLONG now = static_cast<ULONGLONG>(unix100ns) + 116444736000000000ULL;
    EXPECT_LE(ticks, now);
    EXPECT_GT(ticks, now - 600ULL * 10000000ULL);

    // The class, with the buffer rules of names.
    HKEY classed = nullptr;
    WCHAR cls[] = u"MyClass";
    ASSERT_EQ(RegCreateKeyExW(Root(), u"C", 0, cls, 0, KEY_ALL_ACCESS, nullptr, &classed, nullptr),
              ERROR_SUCCESS);
    UniqueHKEY guard(classed);
    WCHAR out[16];
    DWORD cch = 7;
    EXPECT_EQ(RegQueryInfoKeyW(classed, out, &cch, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(cch, 7u);
    cch = 8;
    EXPECT_EQ(RegQueryInfoKeyW(classed, out, &cch, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"MyClass");
    ASSERT_EQ(RegQueryInfoKeyW(Root(), nullptr, nullptr, nullptr, nullptr, nullptr, &maxClass, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(maxClass, 7u);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryInfoKeyW(Root(), nullptr, nullptr, &reserved, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
}

// A key with subkeys is refused by RegDeleteKeyW, as on Windows, and goes
// whole with RegDeleteTreeW.
TEST_F(RegistryTest, DeleteKeyRefusesAKeyWithSubkeys)
{
    auto mid = Create(Root(), u"Top\\Mid\\Leaf");
    ASSERT_EQ(SetString(Root(), u"kept", u"x"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(Root(), u"Top"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(Root(), u"Top\\Mid"), ERROR_ACCESS_DENIED);
    auto top = Create(Root(), u"Top");
    EXPECT_EQ(RegDeleteKeyW(top.get(), u""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SubKeys(Root()), std::vector<std::u16string>{u"Top"});
    UniqueHKEY still;
    EXPECT_EQ(Open(Root(), u"Top\\Mid\\Leaf", still), ERROR_SUCCESS);
    // A missing key is reported as missing before anything else.
    EXPECT_EQ(RegDeleteKeyW(Root(), u"Top\\Nothing"), ERROR_FILE_NOT_FOUND);

    // Leaf first, then each parent once it is empty.
    EXPECT_EQ(RegDeleteKeyW(Root(), u"Top\\Mid\\Leaf"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(Root(), u"Top\\Mid"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(Root(), u"Top"), ERROR_SUCCESS);
    EXPECT_TRUE(SubKeys(Root()).empty());
}

TEST_F(RegistryTest, DeleteTreeTakesTheSubtreeAndKillsItsHandles)
{
    auto leaf = Create(Root(), u"Top\\Mid\\Leaf");
    ASSERT_EQ(SetString(leaf.get(), u"v", u"x"), ERROR_SUCCESS);
    Create(Root(), u"Top\\Other");
    Create(Root(), u"Sibling");

    EXPECT_EQ(RegDeleteTreeW(Root(), u"top"), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(Root()), std::vector<std::u16string>{u"Sibling"});
    UniqueHKEY gone;
    EXPECT_EQ(Open(Root(), u"Top\\Mid\\Leaf", gone), ERROR_FILE_NOT_FOUND);

    // The handle lives on but its key does not, even once the name is back.
    DWORD disposition = 0;
    auto back = Create(Root(), u"Top\\Mid\\Leaf", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(back.get(), u"v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(leaf.get(), u"v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(leaf.get(), u"v", u"y"), ERROR_KEY_DELETED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExW(leaf.get(), u"C", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExW(leaf.get(), nullptr, 0, KEY_READ, &child), ERROR_KEY_DELETED);
    WCHAR name[8];
    DWORD cch = 8;
    EXPECT_EQ(RegEnumKeyExW(leaf.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(leaf.release()), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyW(Root(), u"Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(Root(), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);

    // An empty path deletes the key of the handle itself.
    auto sibling = Create(Root(), u"Sibling");
    EXPECT_EQ(RegDeleteKeyW(sibling.get(), u""), ERROR_SUCCESS);
    EXPECT_EQ(Open(Root(), u"Sibling", gone), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DeleteTreeWithoutPathEmptiesTheKey)
{
    auto top = Create(Root(), u"Top");
    Create(top.get(), u"A\\B");
    ASSERT_EQ(SetString(top.get(), u"v", u"x"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(top.get(), nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(SubKeys(top.get()).empty());
    EXPECT_TRUE(ValueNames(top.get()).empty());
    EXPECT_EQ(SetString(top.get(), u"still", u"here"), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteTreeW(Root(), u"TOP"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(top.get(), u"v", u"x"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteTreeW(Root(), u"Top"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, SetKeyValueMakesTheKeyAndItsValueInOneStep)
{
    const BYTE blob[] = {1, 2, 3};
    ASSERT_EQ(RegSetKeyValueW(Root(), u"New\\Deep", u"Blob", REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    auto deep = Create(Root(), u"new\\deep");
    EXPECT_EQ(Get(deep.get(), u"blob"), std::vector<BYTE>(blob, blob + 3));

    // An existing key takes the value; no path writes the key itself.
    const BYTE other[] = {9};
    ASSERT_EQ(RegSetKeyValueW(Root(), u"New\\Deep", u"Blob", REG_BINARY, other, 1), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(deep.get(), nullptr, u"Own", REG_BINARY, other, 1), ERROR_SUCCESS);
    EXPECT_EQ(Get(deep.get(), u"Blob"), std::vector<BYTE>{9});
    EXPECT_EQ(Get(deep.get(), u"Own"), std::vector<BYTE>{9});

    // The rights of the handle hold: no creating through a reader, no value
    // on the reader's own key.
    UniqueHKEY reader;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, path_.c_str(), reader, KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeyValueW(reader.get(), u"Other", u"v", REG_BINARY, other, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetKeyValueW(reader.get(), nullptr, u"v", REG_BINARY, other, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SubKeys(Root()), std::vector<std::u16string>{u"New"});
    EXPECT_EQ(RegSetKeyValueW(Root(), u"X", u"v", REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(SubKeys(Root()), std::vector<std::u16string>{u"New"});
}

TEST_F(RegistryTest, GetValueReadsAKeysValueInOneTransactionUnderItsTypeFlags)
{
    const DWORD four = 4;
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(RegSetKeyValueW(Root(), u"Sub", u"D", REG_DWORD, &four, sizeof four), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(Root(), u"Sub", u"B4", REG_BINARY, &four, sizeof four), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(Root(), u"Sub", u"B8", REG_BINARY, eight, sizeof eight), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(Root(), u"Sub", u"E", REG_EXPAND_SZ, u"%X%", 8), ERROR_SUCCESS);

    const uint64_t before = trumik::platform::RegistryTransactionsOnThisThread();
    DWORD value = 0, size = sizeof value, type = REG_NONE;
    EXPECT_EQ(RegGetValueW(Root(), u"sub", u"d", RRF_RT_REG_DWORD, &type, &value, &size), ERROR_SUCCESS);
    EXPECT_EQ(trumik::platform::RegistryTransactionsOnThisThread() - before, 1u);
    EXPECT_EQ(value, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    // Without a path the key itself; size rules as RegQueryValueExW.
    auto sub = Create(Root(), u"Sub");
    size = 2;
    EXPECT_EQ(RegGetValueW(sub.get(), nullptr, u"D", RRF_RT_ANY, nullptr, &value, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    size = 0;
    EXPECT_EQ(RegGetValueW(sub.get(), u"", u"B8", RRF_RT_ANY, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);

    // Types outside the flags; binary data under RRF_RT_DWORD only at 4 bytes.
    size = sizeof value;
    EXPECT_EQ(RegGetValueW(Root(), u"Sub", u"D", RRF_RT_REG_SZ, nullptr, &value, &size),
              ERROR_UNSUPPORTED_TYPE);
    size = sizeof value;
    EXPECT_EQ(RegGetValueW(Root(), u"Sub", u"B4", RRF_RT_DWORD, nullptr, &value, &size), ERROR_SUCCESS);
    BYTE buffer[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    size = sizeof buffer;
    EXPECT_EQ(RegGetValueW(Root(), u"Sub", u"B8", RRF_RT_DWORD | RRF_ZEROONFAILURE, nullptr, buffer, &size),
              ERROR_UNSUPPORTED_TYPE);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 8), std::vector<BYTE>(8, 0));
    size = sizeof buffer;
    EXPECT_EQ(RegGetValueW(Root(), u"Sub", u"B8", RRF_RT_QWORD, nullptr, buffer, &size), ERROR_SUCCESS);
    // Strings are not expanded: REG_EXPAND_SZ only with RRF_NOEXPAND.
    size = sizeof buffer;
    EXPECT_EQ(RegGetValueW(Root(), u"Sub", u"E", RRF_RT_REG_EXPAND_SZ, nullptr, buffer, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegGetValueW(Root(), u"Sub", u"E", RRF_RT_ANY, nullptr, buffer, &size), ERROR_UNSUPPORTED_TYPE);
    size = sizeof buffer;
    EXPECT_EQ(RegGetValueW(Root(), u"Sub", u"E", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buffer, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);

    // Missing key or value; no type flag at all.
    size = sizeof value;
    EXPECT_EQ(RegGetValueW(Root(), u"None", u"D", RRF_RT_ANY, nullptr, &value, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegGetValueW(Root(), u"Sub", u"None", RRF_RT_ANY, nullptr, &value, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegGetValueW(Root(), u"Sub", u"D", 0, nullptr, &value, &size), ERROR_INVALID_PARAMETER);
}

// The stamp moves with each committed change, by this process or another,
// and only then; a read under an unchanged stamp may be kept.
TEST_F(RegistryTest, TheChangeStampMovesWithEveryCommittedChangeOnly)
{
    using trumik::platform::ReadRegistrySnapshot;
    const DWORD one = 1;
    ASSERT_EQ(RegSetKeyValueW(Root(), u"Stamped", u"V", REG_DWORD, &one, sizeof one), ERROR_SUCCESS);
    const auto first = ReadRegistrySnapshot(Root(), u"Stamped", u"V");
    ASSERT_TRUE(first.keyExists);
    ASSERT_TRUE(first.data);
    EXPECT_GE(first.stamp.changes, 0);
    // Reads, opens of existing keys and failed writes leave it.
    Create(Root(), u"Stamped");
    EXPECT_EQ(RegDeleteValueW(Root(), u"NoSuchValue"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadRegistrySnapshot(Root(), u"Stamped", u"V").stamp, first.stamp);
    // Each kind of change moves it on.
    auto stampAfter = [&](auto change) {
        const auto before = ReadRegistrySnapshot(Root(), u"Stamped", nullptr).stamp;
        change();
        const auto after = ReadRegistrySnapshot(Root(), u"Stamped", nullptr).stamp;
        EXPECT_EQ(after.database, before.database);
        return after.changes > before.changes;
    };
    EXPECT_TRUE(stampAfter([&] { RegSetKeyValueW(Root(), u"Stamped", u"V", REG_DWORD, &one, sizeof one); }));
    EXPECT_TRUE(stampAfter([&] { Create(Root(), u"Stamped\\Child"); }));
    EXPECT_TRUE(stampAfter([&] { RegDeleteKeyW(Root(), u"Stamped\\Child"); }));
    EXPECT_TRUE(stampAfter([&] { RegDeleteTreeW(Root(), u"Stamped"); }));
    const auto gone = ReadRegistrySnapshot(Root(), u"Stamped", u"V");
    EXPECT_FALSE(gone.keyExists);
    EXPECT_FALSE(gone.data);
}

TEST_F(RegistryTest, HandlesHaveTheRightsAskedFor)
{
    Create(Root(), u"Existing");
    UniqueHKEY reader, writer;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, path_.c_str(), reader, KEY_READ), ERROR_SUCCESS);
    ASSERT_EQ(Open(HKEY_CURRENT_USER, path_.c_str(), writer, KEY_SET_VALUE), ERROR_SUCCESS);

    EXPECT_EQ(SetString(reader.get(), u"v", u"x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader.get(), u"v"), ERROR_ACCESS_DENIED);
    ASSERT_EQ(SetString(writer.get(), u"v", u"x"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(writer.get(), u"v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExW(reader.get(), u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    WCHAR name[16];
    DWORD cch = 16;
    EXPECT_EQ(RegEnumKeyExW(writer.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);

    // Creating needs KEY_CREATE_SUB_KEY; opening an existing key through
    // RegCreateKeyExW does not.
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(reader.get(), u"New", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    DWORD disposition = 0;
    ASSERT_EQ(
        RegCreateKeyExW(reader.get(), u"Existing", 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition),
        ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);

    // Generic rights map onto key rights.
    UniqueHKEY generic;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, path_.c_str(), generic, 0x80000000u /* GENERIC_READ */), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(generic.get(), u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(SetString(generic.get(), u"v", u"y"), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, HivesAreSeparateTrees)
{
    const std::u16string sub = path_ + u"\\Hive";
    ASSERT_EQ(trumik::platform::WriteRegistryString(HKEY_CURRENT_USER, sub, u"Name", u"user"), ERROR_SUCCESS);
    EXPECT_EQ(trumik::platform::ReadRegistryString(HKEY_LOCAL_MACHINE, sub, u"Name"), std::nullopt);
    ASSERT_EQ(trumik::platform::WriteRegistryString(HKEY_LOCAL_MACHINE, sub, u"Name", u"machine"),
              ERROR_SUCCESS);
    ASSERT_EQ(trumik::platform::WriteRegistryString(HKEY_CLASSES_ROOT, sub, u"Name", u"classes"),
              ERROR_SUCCESS);
    EXPECT_EQ(trumik::platform::ReadRegistryString(HKEY_CURRENT_USER, sub, u"name"), u"user");
    EXPECT_EQ(trumik::platform::ReadRegistryString(HKEY_LOCAL_MACHINE, sub, u"name"), u"machine");
    EXPECT_EQ(trumik::platform::ReadRegistryString(HKEY_CLASSES_ROOT, sub, u"name"), u"classes");
    EXPECT_EQ(trumik::platform::ReadRegistryString(HKEY_USERS, sub, u"name"), std::nullopt);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\TrumikTests"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Software"), ERROR_SUCCESS);
    EXPECT_EQ(trumik::platform::ReadRegistryString(HKEY_CURRENT_USER, sub, u"name"), u"user");
}

TEST_F(RegistryTest, HelpersReadTypedValues)
{
    using namespace trumik::platform;
    const std::u16string sub = path_ + u"\\Nls";
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, sub, u"ACP"), std::nullopt);
    ASSERT_EQ(WriteRegistryString(HKEY_CURRENT_USER, sub, u"ACP", u"1251"), ERROR_SUCCESS);
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, sub, u"acp"), u"1251");
    EXPECT_EQ(ReadRegistryDword(HKEY_CURRENT_USER, sub, u"ACP"), std::nullopt); // not a DWORD
    EXPECT_EQ(ReadRegistryBinary(HKEY_CURRENT_USER, sub, u"ACP"), Bytes(std::u16string(u"1251\0", 5)));

    ASSERT_EQ(WriteRegistryDword(HKEY_CURRENT_USER, sub, u"Count", 42), ERROR_SUCCESS);
    EXPECT_EQ(ReadRegistryDword(HKEY_CURRENT_USER, sub, u"Count"), 42u);
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, sub, u"Count"), std::nullopt);

    // A string stored without its NUL reads the same.
    auto key = OpenRegistryKey(HKEY_CURRENT_USER, sub, KEY_ALL_ACCESS);
    ASSERT_TRUE(key);
    ASSERT_EQ(SetBytes(key.get(), u"Bare", REG_EXPAND_SZ, Bytes(u"%PATH%")), ERROR_SUCCESS);
    EXPECT_EQ(QueryRegistryString(key.get(), u"bare"), u"%PATH%");

    LSTATUS status = ERROR_SUCCESS;
    EXPECT_FALSE(OpenRegistryKey(HKEY_CURRENT_USER, sub + u"\\No", KEY_READ, &status));
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
}

} // namespace

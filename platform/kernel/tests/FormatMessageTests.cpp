// FormatMessageA/W: the Russian system texts in the ANSI code page.
#include "winbase.h"
#include "wincrypt_errors.h"
#include "winnls.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

constexpr DWORD kSystemFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};

// The text FormatMessageA allocates for the code; "" on failure, with the
// last error left for the caller.
std::string SystemText(DWORD code, DWORD language = 0x400, DWORD extraFlags = 0, DWORD* count = nullptr)
{
    LPSTR raw = reinterpret_cast<LPSTR>(1); // must be reset by the call
    const DWORD n = FormatMessageA(kSystemFlags | extraFlags, nullptr, code, language,
                                   reinterpret_cast<LPSTR>(&raw), 0, nullptr);
    std::unique_ptr<char, LocalFreer> text(raw);
    if (count)
        *count = n;
    if (n == 0) {
        EXPECT_EQ(nullptr, raw);
        return {};
    }
    EXPECT_EQ(n, std::char_traits<char>::length(raw));
    return std::string(raw, n);
}

TEST(FormatMessage, RussianTextsInTheAnsiCodePage)
{
    struct Case {
        DWORD code;
        const char* text; // windows-1251 bytes
    };
    const Case cases[] = {
        {static_cast<DWORD>(E_FAIL),
         "\xCD\xE5\xEE\xEF\xEE\xE7\xED\xE0\xED\xED\xE0\xFF\x20\xEE\xF8\xE8\xE1\xEA\xE0\x0D\x0A"},
        {static_cast<DWORD>(E_INVALIDARG), "\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\x20\xE7\xE0\xE4\xE0\xED\x20\xED"
                                           "\xE5\xE2\xE5\xF0\xED\xEE\x2E\x0D\x0A"},
        {ERROR_INVALID_PARAMETER, "\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\x20\xE7\xE0\xE4\xE0\xED\x20\xED\xE5\xE2"
                                  "\xE5\xF0\xED\xEE\x2E\x0D\x0A"},
        {static_cast<DWORD>(NTE_BAD_KEYSET),
         "\xCD\xE0\xE1\xEE\xF0\x20\xEA\xEB\xFE\xF7\xE5\xE9\x20\xED\xE5\x20\xF1"
         "\xF3\xF9\xE5\xF1\xF2\xE2\xF3\xE5\xF2\x0D\x0A"},
        {static_cast<DWORD>(NTE_NO_KEY),
         "\xCA\xEB\xFE\xF7\x20\xED\xE5\x20\xF1\xF3\xF9\xE5\xF1\xF2\xE2\xF3\xE5\xF2"
         "\x2E\x0D\x0A"},
        {static_cast<DWORD>(CRYPT_E_NOT_FOUND), "\xCD\xE5\x20\xF3\xE4\xE0\xE5\xF2\xF1\xFF\x20\xED\xE0\xE9\xF2"
                                                "\xE8\x20\xEE\xE1\xFA\xE5\xEA\xF2\x20\xE8\xEB"
                                                "\xE8\x20\xF1\xE2\xEE\xE9\xF1\xF2\xE2\xEE\x2E\x0D\x0A"},
        {static_cast<DWORD>(SCARD_W_WRONG_CHV),
         "\xC1\xFB\xEB\x20\xE2\xE2\xE5\xE4\xE5\xED\x20\xED\xE5\xE2\xE5\xF0"
         "\xED\xFB\xE9\x20\x50\x49\x4E\x2D\xEA\xEE\xE4\x2E\x0D\x0A"},
        {ERROR_FILE_NOT_FOUND,
         "\xCD\xE5\x20\xF3\xE4\xE0\xE5\xF2\xF1\xFF\x20\xED\xE0\xE9\xF2\xE8\x20\xF3\xEA\xE0"
         "\xE7\xE0\xED\xED\xFB\xE9\x20\xF4\xE0\xE9\xEB\x2E\x0D\x0A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text, SystemText(c.code)) << std::hex << c.code;
        EXPECT_EQ(c.text, SystemText(c.code, 0)) << "language 0";
        EXPECT_EQ(c.text, SystemText(c.code, 0x419)) << "Russian";
        EXPECT_EQ(c.text, SystemText(c.code, 0x800)) << "system default";
    }
}

TEST(FormatMessage, EveryDefinedCodeHasAText)
{
    struct Code {
        const char* name;
        DWORD value;
    };
#define CODE(name) {#name, static_cast<DWORD>(name)},
    const Code codes[] = {
#include "DefinedErrorCodes.inc"
    };
#undef CODE
    EXPECT_GT(sizeof codes / sizeof codes[0], 150u);
    for (const auto& code : codes) {
        const std::string text = SystemText(code.value);
        ASSERT_GE(text.size(), 4u) << code.name;
        EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << code.name;
        EXPECT_EQ(std::string::npos, text.find('?')) << code.name << ": a character outside windows-1251";
    }
}

TEST(FormatMessage, UnknownCodesAndLanguages)
{
    DWORD count = 1;
    SetLastError(0);
    EXPECT_EQ("", SystemText(0x12345678, 0x400, 0, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());

    SetLastError(0);
    EXPECT_EQ("", SystemText(static_cast<DWORD>(E_FAIL), 0x409, 0, &count));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND), GetLastError())
        << "no English texts installed";

    // A Win32 code wrapped as an HRESULT has the code's own text.
    EXPECT_EQ(SystemText(ERROR_ALREADY_EXISTS), SystemText(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)));

    char buffer[8];
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 2, 0,
                                 buffer, sizeof buffer, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
}

TEST(FormatMessage, CallerBufferSizeRules)
{
    const std::string expected = SystemText(static_cast<DWORD>(NTE_NO_KEY));
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    std::string buffer(64, '#');
    const auto size = static_cast<DWORD>(expected.size());

    SetLastError(0);
    EXPECT_EQ(0u,
              FormatMessageA(flags, nullptr, static_cast<DWORD>(NTE_NO_KEY), 0, buffer.data(), size, nullptr))
        << "no room for the NUL";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    EXPECT_EQ(size, FormatMessageA(flags, nullptr, static_cast<DWORD>(NTE_NO_KEY), 0, buffer.data(), size + 1,
                                   nullptr));
    EXPECT_EQ(expected, buffer.substr(0, size));
    EXPECT_EQ('\0', buffer[size]);
    EXPECT_EQ('#', buffer[size + 1]);

    // With ALLOCATE_BUFFER nSize is a minimum: the block holds at least that much.
    LPSTR raw = nullptr;
    EXPECT_EQ(size, FormatMessageA(kSystemFlags, nullptr, static_cast<DWORD>(NTE_NO_KEY), 0,
                                   reinterpret_cast<LPSTR>(&raw), 4096, nullptr));
    std::unique_ptr<char, LocalFreer> guard(raw);
    raw[4095] = 'x'; // in bounds (AddressSanitizer would tell)
}

TEST(FormatMessage, WidthMaskJoinsLines)
{
    const std::string text = SystemText(static_cast<DWORD>(NTE_NO_KEY), 0x400, FORMAT_MESSAGE_MAX_WIDTH_MASK);
    EXPECT_EQ("\xCA\xEB\xFE\xF7\x20\xED\xE5\x20\xF1\xF3\xF9\xE5\xF1\xF2\xE2\xF3\xE5\xF2\x2E\x20", text);
}

TEST(FormatMessage, WideTextsAndStrings)
{
    LPWSTR raw = nullptr;
    const DWORD n = FormatMessageW(kSystemFlags, nullptr, static_cast<DWORD>(E_FAIL), 0x400,
                                   reinterpret_cast<LPWSTR>(&raw), 0, nullptr);
    std::unique_ptr<char16_t, LocalFreer> guard(raw);
    ASSERT_EQ(21u, n);
    EXPECT_EQ(std::u16string(u"Неопознанная ошибка\r\n"), std::u16string(raw));

    // A caller's format with an argument array.
    char buffer[64];
    const DWORD_PTR arguments[] = {42, reinterpret_cast<DWORD_PTR>("\xC6\xE5"), 0xBEEF};
    EXPECT_EQ(13u, FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  "%1!d!-%2 %3!04X!%%%n%0tail", 0, 0, buffer, sizeof buffer,
                                  const_cast<DWORD_PTR*>(arguments)));
    EXPECT_STREQ("42-\xC6\xE5 BEEF%\r\n", buffer);
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "%1", 0, 0, buffer, sizeof buffer, nullptr))
        << "an insert without arguments";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

} // namespace

// MultiByteToWideChar / WideCharToMultiByte under the Win32 rules.
#include "winbase.h"
#include "winnls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Decodes with a size query first, as callers do; fails the test on error.
std::u16string Decode(UINT codePage, const std::string& bytes, DWORD flags = 0)
{
    const int size =
        MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    EXPECT_GT(size, 0) << "last error " << GetLastError();
    std::u16string out(static_cast<size_t>(size > 0 ? size : 0), u'\0');
    EXPECT_EQ(size, MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                                        out.data(), size));
    return out;
}

std::string Encode(UINT codePage, const std::u16string& text, DWORD flags = 0,
                   const char* defaultChar = nullptr, BOOL* usedDefault = nullptr)
{
    const int size = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr,
                                         0, defaultChar, usedDefault);
    EXPECT_GT(size, 0) << "last error " << GetLastError();
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    EXPECT_EQ(size, WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()),
                                        out.data(), size, defaultChar, usedDefault));
    return out;
}

TEST(CodePages, NulTerminatedSourceCountsTheNul)
{
    const char* utf8 = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"; // Привет
    EXPECT_EQ(7, MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0));
    char16_t wide[8];
    std::fill(std::begin(wide), std::end(wide), u'#');
    EXPECT_EQ(7, MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 8));
    EXPECT_EQ(std::u16string(u"Привет"), std::u16string(wide));
    EXPECT_EQ(u'#', wide[7]);

    EXPECT_EQ(13, WideCharToMultiByte(CP_UTF8, 0, u"Привет", -1, nullptr, 0, nullptr, nullptr));
    char narrow[13];
    EXPECT_EQ(13, WideCharToMultiByte(CP_UTF8, 0, u"Привет", -1, narrow, 13, nullptr, nullptr));
    EXPECT_STREQ(utf8, narrow);
}

TEST(CodePages, ExplicitLengthWritesNoTerminator)
{
    char16_t wide[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(3, MultiByteToWideChar(1251, 0, "\xC0\xC1\xC2\xC3", 3, wide, 4));
    EXPECT_EQ(u'А', wide[0]);
    EXPECT_EQ(u'В', wide[2]);
    EXPECT_EQ(u'#', wide[3]);
    // An embedded NUL is just another character.
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "a\0b", 3, wide, 4));
    EXPECT_EQ(u'\0', wide[1]);
}

TEST(CodePages, ShortBufferFailsWithInsufficientBuffer)
{
    char16_t wide[6];
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, wide, 6));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    // A character outside the BMP needs both units of its pair.
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "a\xF0\x9F\x98\x80", 5, wide, 2));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "a\xF0\x9F\x98\x80", 5, wide, 3));

    char narrow[4];
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"яя", -1, narrow, 4, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(1251, 0, u"abcd", 4, narrow, 3, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(CodePages, ParameterChecks)
{
    char16_t wide[8];
    char narrow[8];
    auto expect = [](const char* what, int result, DWORD error) {
        EXPECT_EQ(0, result) << what;
        EXPECT_EQ(error, GetLastError()) << what;
        SetLastError(0);
    };
    expect("null source", MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 8), ERROR_INVALID_PARAMETER);
    expect("zero length", MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8), ERROR_INVALID_PARAMETER);
    expect("length -2", MultiByteToWideChar(CP_UTF8, 0, "abc", -2, wide, 8), ERROR_INVALID_PARAMETER);
    expect("null destination with a size", MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 8),
           ERROR_INVALID_PARAMETER);
    expect("negative size", MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, -1), ERROR_INVALID_PARAMETER);
    expect("unknown page", MultiByteToWideChar(1250, 0, "abc", 3, wide, 8), ERROR_INVALID_PARAMETER);
    expect("UTF-7", MultiByteToWideChar(CP_UTF7, 0, "abc", 3, wide, 8), ERROR_INVALID_PARAMETER);
    expect("unknown page before flags", MultiByteToWideChar(1250, 0x80, "abc", 3, wide, 8),
           ERROR_INVALID_PARAMETER);
    expect("MB_PRECOMPOSED with UTF-8", MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wide, 8),
           ERROR_INVALID_FLAGS);
    expect("precomposed and composite",
           MultiByteToWideChar(1251, MB_PRECOMPOSED | MB_COMPOSITE, "abc", 3, wide, 8), ERROR_INVALID_FLAGS);
    EXPECT_EQ(3, MultiByteToWideChar(1251, MB_PRECOMPOSED, "abc", 3, wide, 8));

    expect("null wide source", WideCharToMultiByte(CP_UTF8, 0, nullptr, 3, narrow, 8, nullptr, nullptr),
           ERROR_INVALID_PARAMETER);
    expect("zero wide length", WideCharToMultiByte(CP_UTF8, 0, u"abc", 0, narrow, 8, nullptr, nullptr),
           ERROR_INVALID_PARAMETER);
    expect("unknown page", WideCharToMultiByte(437, 0, u"abc", 3, narrow, 8, nullptr, nullptr),
           ERROR_INVALID_PARAMETER);
    expect("WC_NO_BEST_FIT_CHARS with UTF-8",
           WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"abc", 3, narrow, 8, nullptr, nullptr),
           ERROR_INVALID_FLAGS);
    expect("WC_ERR_INVALID_CHARS with 1251",
           WideCharToMultiByte(1251, WC_ERR_INVALID_CHARS, u"abc", 3, narrow, 8, nullptr, nullptr),
           ERROR_INVALID_FLAGS);
    BOOL used = FALSE;
    expect("default char with UTF-8", WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, narrow, 8, "?", nullptr),
           ERROR_INVALID_PARAMETER);
    expect("used-default flag with UTF-8",
           WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, narrow, 8, nullptr, &used), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(3, WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, u"abc", 3, narrow, 8, nullptr, nullptr));
}

TEST(CodePages, InvalidUtf8BecomesOneReplacementPerMaximalSubpart)
{
    struct Case {
        std::string bytes;
        std::u16string text;
    };
    const Case cases[] = {
        {"\x80", u"\xFFFD"},
        {"\xC0\xAF", u"\xFFFD\xFFFD"},                     // C0 never starts a sequence
        {"\xE0\x80\x80", u"\xFFFD\xFFFD\xFFFD"},           // overlong
        {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},           // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"}, // above U+10FFFF
        {std::string("\xE2\x82") + "A", u"\xFFFD"
                                        u"A"}, // truncated, then resumes
        {std::string("\xF0\x9F\x98") + "A", u"\xFFFD"
                                            u"A"},
        {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"\xEF\xBB\xBF", u"\xFEFF"}, // a BOM is kept as a character
        // The example of the Unicode standard (U+FFFD substitution of maximal subparts).
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", u"a\xFFFD\xFFFD\xFFFD"
                                                                 u"b\xFFFD"
                                                                 u"c\xFFFD\xFFFD"
                                                                 u"d"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text, Decode(CP_UTF8, c.bytes)) << "bytes of length " << c.bytes.size();
        if (c.text.find(u'\xFFFD') == std::u16string::npos)
            continue;
        char16_t wide[16];
        SetLastError(0);
        EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes.data(),
                                         static_cast<int>(c.bytes.size()), wide, 16));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
        SetLastError(0);
        EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes.data(),
                                         static_cast<int>(c.bytes.size()), nullptr, 0))
            << "the size query checks too";
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    }
    EXPECT_EQ(u"\xD83D\xDE00", Decode(CP_UTF8, "\xF0\x9F\x98\x80", MB_ERR_INVALID_CHARS));
}

TEST(CodePages, UnpairedSurrogatesEncodeAsReplacement)
{
    EXPECT_EQ("a\xEF\xBF\xBD"
              "b",
              Encode(CP_UTF8, u"a\xD800"
                              u"b"));
    EXPECT_EQ("\xEF\xBF\xBD", Encode(CP_UTF8, u"\xDC00"));
    EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", Encode(CP_UTF8, u"\xDE00\xD83D")); // reversed pair
    EXPECT_EQ("\xF0\x9F\x98\x80", Encode(CP_UTF8, u"\xD83D\xDE00"));
    EXPECT_EQ("\xEF\xBF\xBD", Encode(CP_UTF8, std::u16string(u"\xD83D"))); // pair cut by the length

    char narrow[8];
    SetLastError(0);
    EXPECT_EQ(0,
              WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"a\xD800", 2, narrow, 8, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    EXPECT_EQ("\xF0\x9F\x98\x80", Encode(CP_UTF8, u"\xD83D\xDE00", WC_ERR_INVALID_CHARS));
}

TEST(CodePages, Windows1251RoundTrip)
{
    const std::u16string alphabet = u"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдеёжзийклмнопрстуфхцчшщъыьэюя№";
    std::string bytes;
    for (int b = 0xC0; b <= 0xC5; ++b)
        bytes.push_back(static_cast<char>(b));
    bytes.push_back('\xA8'); // Ё
    for (int b = 0xC6; b <= 0xE5; ++b)
        bytes.push_back(static_cast<char>(b));
    bytes.push_back('\xB8'); // ё
    for (int b = 0xE6; b <= 0xFF; ++b)
        bytes.push_back(static_cast<char>(b));
    bytes.push_back('\xB9'); // №
    EXPECT_EQ(bytes, Encode(1251, alphabet));
    EXPECT_EQ(alphabet, Decode(1251, bytes));

    // Every byte decodes, and comes back as itself.
    std::string all;
    for (int b = 1; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    const std::u16string decoded = Decode(1251, all);
    EXPECT_EQ(u'\x0098', decoded[0x98 - 1]);
    EXPECT_EQ(u'€', decoded[0x88 - 1]);
    EXPECT_EQ(u'\x0402', decoded[0x80 - 1]); // Ђ
    EXPECT_EQ(u'\x0491', decoded[0xB4 - 1]); // ґ
    BOOL used = TRUE;
    EXPECT_EQ(all, Encode(1251, decoded, 0, nullptr, &used));
    EXPECT_FALSE(used);
}

TEST(CodePages, UnmappableCharactersTakeTheDefault)
{
    BOOL used = FALSE;
    EXPECT_EQ("Z??\xC6", Encode(1251,
                                u"Zαä"
                                u"Ж",
                                0, nullptr, &used));
    EXPECT_TRUE(used);
    used = FALSE;
    EXPECT_EQ("Z**\xC6", Encode(1251,
                                u"Zαä"
                                u"Ж",
                                0, "*x", &used));
    EXPECT_TRUE(used);
    // Each unit of a pair is replaced on its own.
    EXPECT_EQ("??", Encode(1251, u"\xD83D\xDE00", 0, nullptr, &used));

    // The size query reports the default too.
    used = FALSE;
    EXPECT_EQ(2, WideCharToMultiByte(CP_ACP, 0, u"ä", -1, nullptr, 0, nullptr, &used));
    EXPECT_TRUE(used);
    used = TRUE;
    EXPECT_EQ(2, WideCharToMultiByte(CP_ACP, 0, u"я", -1, nullptr, 0, nullptr, &used));
    EXPECT_FALSE(used);
}

TEST(CodePages, OtherSingleBytePages)
{
    EXPECT_EQ(u"€\x0081ŸÿАЁ", Decode(1252, "\x80\x81\x9F\xFF") + Decode(866, "\x80\xF0"));
    EXPECT_EQ("\xE9\x80", Encode(1252, u"é€"));
    EXPECT_EQ("\x80\xAF\xE0\xEF\xF0\xF1\xFC", Encode(866, u"АпряЁё№"));
    EXPECT_EQ("\xF0", Encode(CP_OEMCP, u"Ё"));
    EXPECT_EQ(u"\x00E9\x00FF", Decode(28591, "\xE9\xFF"));
    EXPECT_EQ("\xE9?", Encode(28591, u"\x00E9\x0100"));
    EXPECT_EQ(u"ai", Decode(20127, "a\xE9")); // the high bit is stripped, as Windows does
    EXPECT_EQ("a?", Encode(20127, u"aé"));

    EXPECT_EQ(866u, GetOEMCP());
    for (UINT page : {1251u, 1252u, 866u, 20127u, 28591u, 65001u})
        EXPECT_TRUE(IsValidCodePage(page)) << page;
    for (UINT page : {0u, 1u, 3u, 1250u, 437u, 12345u})
        EXPECT_FALSE(IsValidCodePage(page)) << page;
}

} // namespace

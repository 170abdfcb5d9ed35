// MultiByteToWideChar / WideCharToMultiByte under the Win32 rules.
#include "kernel/CodePageTables.h"
#include "winbase.h"
#include "winnls.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
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
    expect("null destination with a size", MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 8),
           ERROR_INVALID_PARAMETER);
    expect("negative size", MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, -1), ERROR_INVALID_PARAMETER);
    expect("unknown page", MultiByteToWideChar(1240, 0, "abc", 3, wide, 8), ERROR_INVALID_PARAMETER);
    expect("unknown page before flags", MultiByteToWideChar(1240, 0x80, "abc", 3, wide, 8),
           ERROR_INVALID_PARAMETER);
    expect("flags with UTF-7", MultiByteToWideChar(CP_UTF7, MB_ERR_INVALID_CHARS, "abc", 3, wide, 8),
           ERROR_INVALID_FLAGS);
    expect("MB_PRECOMPOSED with UTF-8", MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wide, 8),
           ERROR_INVALID_FLAGS);
    expect("precomposed and composite",
           MultiByteToWideChar(1251, MB_PRECOMPOSED | MB_COMPOSITE, "abc", 3, wide, 8), ERROR_INVALID_FLAGS);
    EXPECT_EQ(3, MultiByteToWideChar(1251, MB_PRECOMPOSED, "abc", 3, wide, 8));

    expect("null wide source", WideCharToMultiByte(CP_UTF8, 0, nullptr, 3, narrow, 8, nullptr, nullptr),
           ERROR_INVALID_PARAMETER);
    expect("zero wide length", WideCharToMultiByte(CP_UTF8, 0, u"abc", 0, narrow, 8, nullptr, nullptr),
           ERROR_INVALID_PARAMETER);
    expect("unknown page", WideCharToMultiByte(28600, 0, u"abc", 3, narrow, 8, nullptr, nullptr),
           ERROR_INVALID_PARAMETER);
    expect("flags with UTF-7",
           WideCharToMultiByte(CP_UTF7, WC_NO_BEST_FIT_CHARS, u"abc", 3, narrow, 8, nullptr, nullptr),
           ERROR_INVALID_FLAGS);
    expect("default char with UTF-7", WideCharToMultiByte(CP_UTF7, 0, u"abc", 3, narrow, 8, "?", nullptr),
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
}

TEST(CodePages, NegativeLengthReadsUpToTheNulLikeMinusOne)
{
    char16_t wide[8];
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -2, nullptr, 0));
    EXPECT_EQ(4, MultiByteToWideChar(1251, 0, "\xC0\xC1\xC2", -1000, wide, 8));
    EXPECT_EQ(std::u16string(u"АБВ"), std::u16string(wide));
    char narrow[8];
    EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, u"яz", -7, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(3, WideCharToMultiByte(1251, 0, u"яz", INT32_MIN, narrow, 8, nullptr, nullptr));
    EXPECT_STREQ("\xFFz", narrow);
}

TEST(CodePages, ValidPagesOfRussianWesternAndEastAsianSystems)
{
    for (UINT page : {437u,   850u,   866u,   874u,   932u,   936u,   949u,   950u,   1250u,  1251u,  1252u,
                      1253u,  1254u,  1255u,  1256u,  1257u,  1258u,  20127u, 20866u, 21866u, 28591u, 28592u,
                      28593u, 28594u, 28595u, 28596u, 28597u, 28598u, 28599u, 28603u, 28605u, 65000u, 65001u})
        EXPECT_TRUE(IsValidCodePage(page)) << page;
    // Pseudo pages and numbers Windows has no page for.
    for (UINT page : {0u, 1u, 2u, 3u, 1240u, 1259u, 28600u, 28604u, 12345u})
        EXPECT_FALSE(IsValidCodePage(page)) << page;
}

TEST(CodePages, SingleBytePagesDecodeAsWindows)
{
    const struct {
        UINT page;
        std::string bytes;
        std::u16string text;
    } cases[] = {
        {437, "\x80\xB0\xE1", u"Ç░ß"},  {850, "\xD5\x9B", u"ıø"},        {874, "\xA1\x80", u"ก€"},
        {1250, "\x8A\xB9\xEA", u"Šąę"}, {1253, "\xC1\xE2", u"Αβ"},       {1254, "\xD0\xFD", u"Ğı"},
        {1255, "\xE0\xFA", u"את"},      {1256, "\xC7\x81", u"اپ"},       {1257, "\xC0\xE8", u"Ąč"},
        {1258, "\xC3\xFE", u"Ă₫"},      {20866, "\xE1\xC1\xB3", u"АаЁ"}, {21866, "\xA4\xB4", u"єЄ"},
        {28592, "\xA1", u"Ą"},          {28595, "\xB0\xF1", u"Аё"},      {28597, "\xC1", u"Α"},
        {28603, "\xC0", u"Ą"},          {28605, "\xA4\xBC", u"€Œ"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text, Decode(c.page, c.bytes)) << c.page;
        BOOL used = TRUE;
        EXPECT_EQ(c.bytes, Encode(c.page, c.text, 0, nullptr, &used)) << c.page;
        EXPECT_FALSE(used) << c.page;
    }
    // 20866 is KOI8-R: the Ukrainian letters of KOI8-U are not in it.
    EXPECT_EQ("?", Encode(20866, u"є"));
}

TEST(CodePages, UndefinedBytesOfSingleBytePages)
{
    // Gaps in 0x80..0x9F are the C1 controls of the same value, both ways.
    EXPECT_EQ(u"\x0081\x0098", Decode(1250, "\x81\x98", MB_ERR_INVALID_CHARS));
    EXPECT_EQ("\x81", Encode(1250, u"\x0081"));
    // Other gaps (0xAA in Greek) take the default character, or fail when
    // invalid input is to fail.
    EXPECT_EQ(u"a?", Decode(1253, "a\xAA"));
    char16_t wide[4];
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(1253, MB_ERR_INVALID_CHARS, "a\xAA", 2, wide, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(1253, MB_ERR_INVALID_CHARS, "a\xAA", 2, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST(CodePages, DoubleBytePages)
{
    EXPECT_EQ(u"あｱA", Decode(932, "\x82\xA0\xB1"
                                   "A"));
    EXPECT_EQ(u"你€", Decode(936, "\xC4\xE3\x80"));
    EXPECT_EQ(u"한", Decode(949, "\xC7\xD1"));
    EXPECT_EQ(u"中", Decode(950, "\xA4\xA4"));
    EXPECT_EQ("\x82\xA0\xB1"
              "A",
              Encode(932, u"あｱA"));
    EXPECT_EQ("\xC4\xE3", Encode(936, u"你"));
    EXPECT_EQ("\xC7\xD1", Encode(949, u"한"));
    EXPECT_EQ("\xA4\xA4", Encode(950, u"中"));

    // Sizes count bytes, not characters.
    EXPECT_EQ(5, WideCharToMultiByte(932, 0, u"あい", -1, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(3, MultiByteToWideChar(932, 0, "\x82\xA0\x82\xA2", -1, nullptr, 0));
    char narrow[3];
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(932, 0, u"あい", 2, narrow, 3, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    // A lead byte without its trail: Shift-JIS gives KATAKANA MIDDLE DOT, and
    // the byte after it is read on its own.
    EXPECT_EQ(u"\x30FB", Decode(932, "\x82"));
    EXPECT_EQ(u"\x30FB ", Decode(932, "\x82 "));
    char16_t wide[4];
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, "a\x82", 2, wide, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());

    // The default character may be a double-byte character of the page.
    BOOL used = FALSE;
    EXPECT_EQ("a?", Encode(932, u"aЄ", 0, nullptr, &used));
    EXPECT_TRUE(used);
    EXPECT_EQ("a\x81\x45", Encode(932, u"aЄ", 0, "\x81\x45", &used));
    EXPECT_EQ("a*", Encode(932, u"aЄ", 0, "*", &used));
}

TEST(CodePages, Utf7)
{
    // The examples of RFC 2152.
    EXPECT_EQ(u"Hi Mom -☺-!", Decode(CP_UTF7, "Hi Mom -+Jjo--!"));
    EXPECT_EQ(u"A≢Α.", Decode(CP_UTF7, "A+ImIDkQ."));
    EXPECT_EQ("A+ImIDkQ.", Encode(CP_UTF7, u"A≢Α."));
    EXPECT_EQ(u"日本語", Decode(CP_UTF7, Encode(CP_UTF7, u"日本語")));
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF7, 0, "a+-b", -1, nullptr, 0)); // "a+b" and the NUL
}

// The compiled tables hold what the system converter has for every byte it
// defines, and the C1 control of the same value for the gaps Windows fills.
TEST(CodePages, CompiledTablesAgreeWithIconv)
{
    for (UINT id : {1251u, 1252u, 866u}) {
        const char16_t* table = trumik::platform::CompiledTable(id);
        ASSERT_NE(nullptr, table) << id;
        iconv_t cd = iconv_open("UTF-16LE", trumik::platform::IconvName(id));
        ASSERT_NE(reinterpret_cast<iconv_t>(-1), cd) << id;
        int compared = 0;
        for (int b = 0x80; b < 0x100; ++b) {
            char in = static_cast<char>(b);
            char16_t out = 0;
            char* inPtr = &in;
            size_t inLeft = 1;
            char* outPtr = reinterpret_cast<char*>(&out);
            size_t outLeft = sizeof out;
            if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
                EXPECT_EQ(static_cast<char16_t>(b), table[b - 0x80]) << id << " byte " << b;
                EXPECT_LT(b, 0xA0) << id << " byte " << b;
            } else {
                EXPECT_EQ(out, table[b - 0x80]) << id << " byte " << b;
                ++compared;
            }
        }
        iconv_close(cd);
        EXPECT_GE(compared, 123) << id;

        // Both ways: the page built from the tables encodes what it decodes.
        const auto* page = trumik::platform::FindByteCodePage(id);
        ASSERT_NE(nullptr, page);
        for (int b = 0; b < 0x100; ++b)
            EXPECT_EQ(b, page->Encode(page->DecodeByte(static_cast<unsigned char>(b))))
                << id << " byte " << b;
    }
}

} // namespace

namespace {

// Converts into a buffer of `room` units and returns what was written, or the
// last error as text when the conversion failed.
std::string EncodeInto(UINT codePage, DWORD flags, const std::u16string& text, size_t room)
{
    std::string out(room + 1, '\x7F'); // one more, to see that nothing is written past the result
    SetLastError(0);
    const int size = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()),
                                         out.data(), static_cast<int>(room), nullptr, nullptr);
    if (size <= 0)
        return "error " + std::to_string(GetLastError());
    EXPECT_EQ(out[static_cast<size_t>(size)], '\x7F');
    return out.substr(0, static_cast<size_t>(size));
}

std::u16string DecodeInto(UINT codePage, DWORD flags, const std::string& bytes, size_t room)
{
    std::u16string out(room + 1, u'\x7F');
    SetLastError(0);
    const int size = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                                         out.data(), static_cast<int>(room));
    if (size <= 0)
        return u"error";
    EXPECT_EQ(out[static_cast<size_t>(size)], u'\x7F');
    return out.substr(0, static_cast<size_t>(size));
}

} // namespace

// A buffer that holds the most a result can take is written without a check
// at each unit; it must get exactly what a buffer of the exact size gets,
// unpaired surrogates, pairs, cut sequences and strict failures included.
TEST(CodePages, RoomyBuffersGetWhatExactBuffersGet)
{
    const char16_t units[] = {u'a',   u' ',   u'<',   0x7F,   0x80,   0x42F,  0x7FF, 0x800, 0xFFFD,
                              0xFFFF, 0xD83D, 0xDE00, 0xDBFF, 0xDC00, 0xDFFF, 0x0,   0x451, 0x2116};
    const unsigned char bytes[] = {'a',  0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xD0, 0xAF, 0xE0, 0xA0,
                                   0xED, 0x9F, 0xF0, 0x90, 0xF4, 0x8F, 0xF5, 0xFF, 0xE2, 0x84};
    uint32_t seed = 12345;
    auto next = [&seed](size_t bound) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<size_t>((seed >> 8) % bound);
    };
    for (int round = 0; round < 400; ++round) {
        std::u16string text;
        std::string narrow;
        const size_t length = 1 + next(40);
        for (size_t i = 0; i < length; ++i) {
            // Long ASCII runs as well as single awkward units.
            if (next(4) == 0)
                text.append(next(20), u'x');
            text += units[next(std::size(units))];
            narrow += static_cast<char>(bytes[next(std::size(bytes))]);
        }
        for (const UINT page : {static_cast<UINT>(CP_UTF8), 1251u}) {
            for (const DWORD flags :
                 {DWORD{0}, static_cast<DWORD>(page == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0)}) {
                const int size = WideCharToMultiByte(page, flags, text.data(), static_cast<int>(text.size()),
                                                     nullptr, 0, nullptr, nullptr);
                const std::string exact =
                    EncodeInto(page, flags, text, size > 0 ? static_cast<size_t>(size) : 1);
                EXPECT_EQ(EncodeInto(page, flags, text, text.size() * 3), exact) << round;
                if (size > 0) {
                    EXPECT_EQ(static_cast<size_t>(size), exact.size());
                }
            }
            for (const DWORD flags :
                 {DWORD{0}, static_cast<DWORD>(page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0)}) {
                const int size = MultiByteToWideChar(page, flags, narrow.data(),
                                                     static_cast<int>(narrow.size()), nullptr, 0);
                const std::u16string exact =
                    DecodeInto(page, flags, narrow, size > 0 ? static_cast<size_t>(size) : 1);
                EXPECT_EQ(DecodeInto(page, flags, narrow, narrow.size()), exact) << round;
            }
        }
    }
}

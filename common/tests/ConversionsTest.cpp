#include "common/Conversions.h"
#include "common/TextSizes.h"

#include <winnls.h>

#include <gtest/gtest.h>

#include <string>

using namespace trumik::common;

namespace {

std::string Bytes(const std::string& withNul)
{
    return withNul.substr(0, withNul.size() - 1);
}

} // namespace

TEST(DocumentToParserBytes, DeclaredWindows1251GoesInTheSystemAnsiCodePage)
{
    UniqueBstr doc = MakeBstr(u"<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>Привет</a>");
    std::string bytes = DocumentToParserBytes(doc.get()).value();
    ASSERT_EQ(bytes.back(), '\0');
    EXPECT_EQ(Bytes(bytes),
              "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\xCF\xF0\xE8\xE2\xE5\xF2</a>");

    UniqueBstr upper = MakeBstr(u"<?xml version=\"1.0\" encoding=\"WINDOWS-1251\"?><a>Ё</a>");
    EXPECT_EQ(Bytes(DocumentToParserBytes(upper.get()).value()),
              "<?xml version=\"1.0\" encoding=\"WINDOWS-1251\"?><a>\xA8</a>");
}

TEST(DocumentToParserBytes, OtherSpellingsStayUtf8)
{
    for (const char16_t* text : {u"<?xml version='1.0' encoding='windows-1251'?><a>Ж</a>",
                                 u"<?xml version=\"1.0\" encoding = \"windows-1251\"?><a>Ж</a>",
                                 u"<?xml version=\"1.0\" encoding=\"Windows-1251\"?><a>Ж</a>", u"<a>Ж</a>"}) {
        UniqueBstr doc = MakeBstr(text);
        std::string bytes = DocumentToParserBytes(doc.get()).value();
        EXPECT_NE(bytes.find("\xD0\x96"), std::string::npos) << Bytes(bytes);
    }
}

TEST(DocumentToParserBytes, MarkerAnywhereSwitches)
{
    UniqueBstr doc = MakeBstr(u"<a><!-- encoding=\"windows-1251\" -->Я€</a>");
    EXPECT_EQ(Bytes(DocumentToParserBytes(doc.get()).value()),
              "<a><!-- encoding=\"windows-1251\" -->\xDF\x88</a>");
}

// A character that windows-1251 cannot hold would be signed as "?".
TEST(DocumentToParserBytes, CharactersTheCodePageCannotHoldAreRefused)
{
    for (const char16_t* text : {u"<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>中文</a>",
                                 u"<a><!-- encoding=\"windows-1251\" -->Я✓</a>",
                                 u"<?xml version=\"1.0\" encoding=\"WINDOWS-1251\"?><a>é</a>"}) {
        UniqueBstr doc = MakeBstr(text);
        EXPECT_FALSE(DocumentToParserBytes(doc.get()).has_value());
    }
    // Without the marker the same characters go as UTF-8.
    UniqueBstr utf8 = MakeBstr(u"<a>中文</a>");
    EXPECT_EQ(Bytes(DocumentToParserBytes(utf8.get()).value()), "<a>\xE4\xB8\xAD\xE6\x96\x87</a>");
}

TEST(DocumentToParserBytes, StopsAtTheFirstNul)
{
    const char16_t text[] = u"<a/>\0<b/>";
    UniqueBstr doc(SysAllocStringLen(text, 9));
    EXPECT_EQ(DocumentToParserBytes(doc.get()).value(), std::string("<a/>", 5));
    EXPECT_EQ(DocumentToUtf8(doc.get()), std::string("<a/>", 5));
}

TEST(DocumentToUtf8, IgnoresTheDeclaration)
{
    UniqueBstr doc = MakeBstr(u"<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>Ж</a>");
    EXPECT_EQ(Bytes(DocumentToUtf8(doc.get())),
              "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\xD0\x96</a>");
}

TEST(Utf8ToBstr, ConvertsUpToTheNul)
{
    UniqueBstr text = Utf8ToBstr("<a>\xD0\x96</a>");
    ASSERT_TRUE(text);
    EXPECT_EQ(View(text.get()), u"<a>Ж</a>");
    EXPECT_EQ(SysStringLen(text.get()), 8u);
    EXPECT_FALSE(Utf8ToBstr(nullptr));
}

TEST(NarrowToBstr, ReadsTheThreadAnsiCodePage)
{
    UniqueBstr text = NarrowToBstr("\xCE\xF8\xE8\xE1\xEA\xE0 \xB9 1");
    ASSERT_TRUE(text);
    EXPECT_EQ(View(text.get()), u"Ошибка № 1");
    UniqueBstr empty = NarrowToBstr("");
    ASSERT_TRUE(empty);
    EXPECT_EQ(SysStringLen(empty.get()), 0u);
}

TEST(BytePerCharacter, KeepsTheLowByteOfAtMostFortyUnits)
{
    UniqueBstr thumb = MakeBstr(u"0123456789abcdef0123456789ABCDEF01234567XYZWV");
    std::string bytes = BytePerCharacter(thumb.get());
    EXPECT_EQ(bytes, std::string("0123456789abcdef0123456789ABCDEF01234567") + '\0');

    UniqueBstr cyrillic = MakeBstr(u"сA");
    EXPECT_EQ(BytePerCharacter(cyrillic.get()), std::string("\x41"
                                                            "A") +
                                                    '\0');
    EXPECT_EQ(BytePerCharacter(nullptr), std::string(1, '\0'));
}

TEST(PathToNarrow, UsesTheFileSystemEncoding)
{
    UniqueBstr path = MakeBstr(u"/tmp/ключ.pem");
    EXPECT_EQ(Bytes(PathToNarrow(path.get())), "/tmp/\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87.pem");
}

namespace {

// The platform's own count of a UTF-8 to UTF-16 conversion.
size_t ConvertedUnits(const std::string& bytes)
{
    if (bytes.empty())
        return 0;
    return static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0));
}

// Characters of one to four bytes, two of them taking a surrogate pair.
const char* const kCharacters[] = {"a",    "\xD0\x96",        "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                   "\x7F", "\xF4\x8F\xBF\xBF"};

} // namespace

TEST(Utf16UnitsOfUtf8, CountsWhatTheConversionGivesAtEveryOffsetAndLength)
{
    // Every length up to five words, each character at every offset within a
    // word and across the end of one, so that the word loop and the tail both count.
    for (const char* fill : kCharacters) {
        for (const char* character : kCharacters) {
            for (size_t before = 0; before < 20; ++before) {
                for (size_t after = 0; after < 20; ++after) {
                    std::string text;
                    for (size_t i = 0; i < before; ++i)
                        text += fill;
                    text += character;
                    for (size_t i = 0; i < after; ++i)
                        text += fill;
                    ASSERT_EQ(Utf16UnitsOfUtf8(text), ConvertedUnits(text))
                        << "fill " << fill << " character " << character << " at " << before;
                }
            }
        }
    }
}

TEST(Utf8BytesOfUtf16, CountsWhatTheConversionGivesForEveryCharacter)
{
    for (const char* fill : kCharacters) {
        for (const char* character : kCharacters) {
            const std::string utf8 = std::string(fill) + character + fill + fill;
            std::u16string utf16(ConvertedUnits(utf8), u'\0');
            MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), utf16.data(),
                                static_cast<int>(utf16.size()));
            EXPECT_EQ(Utf8BytesOfUtf16(utf16), utf8.size()) << fill << " " << character;
        }
    }
}

TEST(Utf8ToBstr, IllFormedBytesGiveWhatTheConversionGivesAndNothingIsCut)
{
    // Each of these counts differently from its conversion: a stray
    // continuation byte, a cut four-byte character, bytes no character starts
    // with, and text of continuation bytes only.
    const std::string tail(40, 'z');
    for (const std::string& bad :
         {std::string("a\x80"
                      "b"),
          std::string("\xF0\x9F\x98"), std::string("\xF5\xFF\xFE"), std::string("\x80\x80\x80"),
          std::string("\xC3"), std::string("\xED\xA0\x80")}) {
        for (const std::string& text : {bad, bad + tail, tail + bad, tail + bad + tail}) {
            const int units = static_cast<int>(ConvertedUnits(text));
            std::u16string expected(static_cast<size_t>(units), u'\0');
            MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), expected.data(),
                                units);
            UniqueBstr converted = Utf8ToBstr(text.c_str());
            ASSERT_TRUE(converted);
            EXPECT_EQ(View(converted.get()), expected) << text;
            EXPECT_EQ(SysStringLen(converted.get()), static_cast<UINT>(units)) << text;
        }
    }
    UniqueBstr empty = Utf8ToBstr("");
    ASSERT_TRUE(empty);
    EXPECT_EQ(SysStringLen(empty.get()), 0u);
}

TEST(DocumentToUtf8Buffer, HoldsTheBytesOfDocumentToUtf8)
{
    // Lone surrogates (at the end too) make more bytes than they are counted
    // for: those texts take the general way.
    const std::u16string texts[] = {u"",
                                    u"<a>Ж € 😀</a>",
                                    std::u16string(u"<a>\xD800 \xDC00 x</a>"),
                                    std::u16string(u"<a>x</a>\xDBFF"),
                                    std::u16string(u"\xDC00\xD800"),
                                    std::u16string(u"<a>cut\0here</a>", 15),
                                    std::u16string(5000, u'я')};
    for (const std::u16string& text : texts) {
        UniqueBstr doc = MakeBstr(text);
        const std::string expected = DocumentToUtf8(doc.get());
        const ConvertedBytes bytes = DocumentToUtf8Buffer(doc.get());
        ASSERT_EQ(bytes.size, expected.size());
        EXPECT_EQ(std::string(bytes.c_str(), bytes.size), expected);
        EXPECT_EQ(bytes.c_str()[bytes.size - 1], '\0');
    }
    const ConvertedBytes none = DocumentToUtf8Buffer(nullptr);
    ASSERT_EQ(none.size, 1u);
    EXPECT_EQ(none.c_str()[0], '\0');
}

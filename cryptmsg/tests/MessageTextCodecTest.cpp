// The Base64 codec of the text methods: exact lengths, the line layout, the
// lenient decoder and the refusal of counts whose text would not fit.
#include "cryptmsg/MessageTextCodec.h"

#include "testing/TestHome.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

using namespace trumik::cryptmsg;

namespace {

std::string Encode(const std::string& bytes, DWORD flags)
{
    LONG length = MessageTextEncodedLength(static_cast<LONG>(bytes.size()), flags);
    EXPECT_GE(length, 0);
    std::string text(static_cast<size_t>(length) + 8, '#');
    LONG capacity = length;
    EXPECT_TRUE(MessageTextEncode(reinterpret_cast<const BYTE*>(bytes.data()),
                                  static_cast<LONG>(bytes.size()), text.data(), &capacity, flags));
    EXPECT_LE(capacity, length);
    EXPECT_EQ(text.substr(static_cast<size_t>(length)), std::string(8, '#')) << "wrote beyond the length";
    text.resize(static_cast<size_t>(capacity));
    return text;
}

std::string Decode(const std::string& text)
{
    LONG size = 0;
    EXPECT_FALSE(MessageTextDecode(text.data(), static_cast<LONG>(text.size()), nullptr, &size));
    std::string bytes(static_cast<size_t>(size), '\0');
    LONG capacity = size;
    BYTE dummy = 0;
    EXPECT_TRUE(MessageTextDecode(text.data(), static_cast<LONG>(text.size()),
                                  size ? reinterpret_cast<BYTE*>(bytes.data()) : &dummy, &capacity));
    EXPECT_EQ(capacity, size);
    return bytes;
}

} // namespace

TEST(MessageTextCodec, EncodedLengths)
{
    EXPECT_EQ(MessageTextEncodedLength(0, kTextNoLineBreaks), 0);
    for (LONG n = 1; n <= 3; ++n)
        EXPECT_EQ(MessageTextEncodedLength(n, kTextNoLineBreaks), 4);
    for (LONG n = 4; n <= 6; ++n)
        EXPECT_EQ(MessageTextEncodedLength(n, kTextNoLineBreaks), 8);
    for (LONG n = 0; n < 1000; ++n)
        EXPECT_EQ(MessageTextEncodedLength(n, kTextNoLineBreaks), 4 * ((n + 2) / 3)) << n;
    // With line breaks: room for a CR LF per 76 characters and one more.
    EXPECT_EQ(MessageTextEncodedLength(0, 0), 2);
    EXPECT_EQ(MessageTextEncodedLength(57, 0), 76 + 2 + 2);
    EXPECT_EQ(MessageTextEncodedLength(58, 0), 80 + 2 + 2);
    // Largest count whose text fits, and the first that does not.
    EXPECT_EQ(MessageTextEncodedLength(1610612733, kTextNoLineBreaks), 2147483644);
    EXPECT_EQ(MessageTextEncodedLength(1610612734, kTextNoLineBreaks), -1);
    EXPECT_EQ(MessageTextEncodedLength(INT_MAX, 0), -1);
    EXPECT_EQ(MessageTextEncodedLength(-1, kTextNoLineBreaks), -1);
}

TEST(MessageTextCodec, EncodesRfc4648AndRefusesShortBuffers)
{
    EXPECT_EQ(Encode("", kTextNoLineBreaks), "");
    EXPECT_EQ(Encode("a", kTextNoLineBreaks), "YQ==");
    EXPECT_EQ(Encode("ab", kTextNoLineBreaks), "YWI=");
    EXPECT_EQ(Encode("abc", kTextNoLineBreaks), "YWJj");
    EXPECT_EQ(Encode("foobar", kTextNoLineBreaks), "Zm9vYmFy");
    EXPECT_EQ(Encode(std::string("\xFB\xFF", 2), kTextNoLineBreaks), "+/8=");
    EXPECT_EQ(Encode("a", kTextNoLineBreaks | kTextNoPadding), "YQ");
    EXPECT_EQ(Encode("ab", kTextNoLineBreaks | kTextNoPadding), "YWI");

    const BYTE data[4] = {1, 2, 3, 4};
    char text[8] = {};
    LONG capacity = 7;
    EXPECT_FALSE(MessageTextEncode(data, 4, text, &capacity, kTextNoLineBreaks));
    EXPECT_EQ(capacity, 7);
    EXPECT_EQ(text[0], 0) << "nothing is written on failure";
    EXPECT_FALSE(MessageTextEncode(nullptr, 4, text, &capacity, kTextNoLineBreaks));
    EXPECT_FALSE(MessageTextEncode(data, 4, nullptr, &capacity, kTextNoLineBreaks));
    EXPECT_FALSE(MessageTextEncode(data, 4, text, nullptr, kTextNoLineBreaks));
    // A count whose text cannot be counted in 32 bits is refused, not wrapped.
    LONG huge = INT_MAX;
    EXPECT_FALSE(MessageTextEncode(data, 1610612734, text, &huge, kTextNoLineBreaks));
    EXPECT_FALSE(MessageTextEncode(data, -3, text, &huge, kTextNoLineBreaks));
}

TEST(MessageTextCodec, LineLayoutWithoutFlags)
{
    std::string bytes(58, 'x');
    std::string text = Encode(bytes, 0);
    ASSERT_EQ(text.size(), 82u);
    EXPECT_EQ(text.substr(76, 2), "\r\n");
    EXPECT_EQ(text.substr(78), "eA==");
    // Full groups that fill whole lines exactly end with CR LF.
    text = Encode(std::string(57, 'x'), 0);
    EXPECT_EQ(text.size(), 78u);
    EXPECT_EQ(text.substr(76), "\r\n");
    text = Encode(std::string(57 * 2 + 3, 'x'), 0);
    EXPECT_EQ(text.size(), 76 + 2 + 76 + 2 + 4u);
    EXPECT_EQ(Encode("abcd", 0), "YWJj"
                                 "ZA==");
    EXPECT_EQ(Encode("", 0), "");
    EXPECT_EQ(Decode(Encode(std::string(1000, 'q'), 0)), std::string(1000, 'q'));
}

TEST(MessageTextCodec, LenientDecoding)
{
    EXPECT_EQ(Decode("YQ=="), "a");
    EXPECT_EQ(Decode("YQ"), "a");
    EXPECT_EQ(Decode("Y"), "");
    EXPECT_EQ(Decode("YW Jj\r\n"), "abc");
    EXPECT_EQ(Decode("YQ==YQ=="), std::string("a\x06\x10", 3)); // "YQYQ" is one group
    EXPECT_EQ(Decode("!!!\r\n== \x80\xFF"), "");
    EXPECT_EQ(Decode(std::string("YW\0Jj", 5)), "abc"); // a zero byte does not stop the walk
    EXPECT_EQ(Decode("Zm9v\r\nYmFy"), "foobar");

    // One byte short: the groups that fit are written, the full size reported.
    const std::string text = "Zm9vYmFy";
    BYTE out[6] = {0, 0, 0, 0, 0, 0xEE};
    LONG capacity = 5;
    EXPECT_FALSE(MessageTextDecode(text.data(), 8, out, &capacity));
    EXPECT_EQ(capacity, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "foo");
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(out[5], 0xEE);

    LONG size = 0;
    EXPECT_FALSE(MessageTextDecode(nullptr, 3, out, &size));
    EXPECT_FALSE(MessageTextDecode(text.data(), 8, out, nullptr));
}

TEST(MessageTextCodec, RoundTripsRandomData)
{
    std::mt19937 random(7);
    for (int n : {0, 1, 2, 3, 56, 57, 58, 1000, 65537}) {
        std::string bytes(static_cast<size_t>(n), '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        EXPECT_EQ(Decode(Encode(bytes, kTextNoLineBreaks)), bytes) << n;
        EXPECT_EQ(Decode(Encode(bytes, 0)), bytes) << n;
    }
}

// The thumbprint reader against the C library's own "%2x": every pair of
// bytes at every even position, with the text around it read as the lookup
// reads it (40 bytes and a terminating zero).
#include "common/Thumbprint.h"
#include "common/Bstr.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

using namespace trumik::common;

namespace {

using Hash = std::array<BYTE, 20>;

// What sscanf makes of the 40 bytes: at each even position the number "%2x"
// reads there (white space skipped, so it may read past the pair), cut to 8
// bits; 0 where it reads none.
Hash Reference(const std::string& bytes)
{
    Hash hash{};
    for (size_t i = 0; i < 40; i += 2) {
        unsigned value = 0;
        std::sscanf(bytes.c_str() + i, "%2x", &value);
        hash[i / 2] = static_cast<BYTE>(value & 0xFF);
    }
    return hash;
}

// The text of the bytes as the caller passes it: one UTF-16 unit per byte,
// with a high byte on every third unit, which the reader drops.
UniqueBstr Text(const std::string& bytes)
{
    std::u16string text;
    for (size_t i = 0; i < bytes.size(); ++i)
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (i % 3 == 0 ? 0x0400 : 0));
    return MakeBstr(text);
}

} // namespace

TEST(Thumbprint, SignsAndWhiteSpaceReadAsPercentTwoXReadsThem)
{
    unsigned value = 0;
    EXPECT_TRUE(ScanHexPair("+6", value));
    EXPECT_EQ(value, 0x06u);
    EXPECT_TRUE(ScanHexPair("-5", value));
    EXPECT_EQ(value, 0xFFFFFFFBu);
    EXPECT_TRUE(ScanHexPair(" \t7f", value)); // the field counts from the 7
    EXPECT_EQ(value, 0x7Fu);
    EXPECT_TRUE(ScanHexPair("0x1", value));
    EXPECT_EQ(value, 0u);
    value = 9;
    for (const char* none : {"+", "-z", "zz", "  ", "x1", ""})
        EXPECT_FALSE(ScanHexPair(none, value)) << none;
    EXPECT_EQ(value, 9u);

    Hash hash{};
    UniqueBstr text = Text("+6-5" + std::string(36, 'a'));
    ASSERT_TRUE(ParseThumbprint(text.get(), hash));
    EXPECT_EQ(hash[0], 0x06);
    EXPECT_EQ(hash[1], 0xFB);
    EXPECT_EQ(hash[2], 0xAA);
}

TEST(Thumbprint, EveryPairAtEveryPositionReadsAsTheCLibraryReadsIt)
{
    // What follows a pair matters when the pair starts with white space: the
    // field then reaches into the next pair, or the terminating zero.
    const std::string fillers[] = {"0123456789abcdefABCDEF", " +\t-5\v0xF\nz", "-", "  1"};
    Hash untouched;
    untouched.fill(0x5A);
    size_t compared = 0;
    for (const std::string& filler : fillers) {
        for (unsigned pair = 0; pair < 256 * 256; ++pair) {
            std::string bytes;
            while (bytes.size() < 40)
                bytes += filler;
            bytes.resize(40);
            const size_t at = 2 * (pair % 20);
            bytes[at] = static_cast<char>(pair >> 8);
            bytes[at + 1] = static_cast<char>(pair & 0xFF);

            Hash hash = untouched;
            const bool filled = ParseThumbprint(Text(bytes).get(), hash);
            if (bytes.find('\0') != std::string::npos) {
                // Fewer than 40 characters before the first zero: nothing is read.
                ASSERT_FALSE(filled) << pair;
                ASSERT_EQ(hash, untouched) << pair;
                continue;
            }
            ASSERT_TRUE(filled) << pair;
            ASSERT_EQ(hash, Reference(bytes)) << "pair " << std::hex << pair << " filler " << filler;
            ++compared;
        }
    }
    EXPECT_EQ(compared, std::size(fillers) * 255u * 255u);
}

#include "oleauto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

uint32_t Prefix(BSTR b)
{
    uint32_t len;
    std::memcpy(&len, reinterpret_cast<const char*>(b) - 4, sizeof len);
    return len;
}

TEST(Bstr, LayoutHasByteLengthPrefixAndNulUnit)
{
    BSTR b = SysAllocString(u"abc");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Prefix(b), 6u);
    EXPECT_EQ(b[3], u'\0');
    EXPECT_EQ(std::u16string(b), u"abc");
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(SysStringByteLen(b), 6u);
    SysFreeString(b);
}

TEST(Bstr, NullSourceAndEmptyStringDiffer)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(Prefix(empty), 0u);
    EXPECT_EQ(empty[0], u'\0');
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(empty);
    SysFreeString(nullptr);
}

TEST(Bstr, AllocStringLenKeepsEmbeddedNulsAndZeroesWithoutSource)
{
    const char16_t text[] = {u'a', 0, u'b', u'c'};
    BSTR b = SysAllocStringLen(text, 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(std::u16string(b, 3), std::u16string(text, 3));
    EXPECT_EQ(b[3], u'\0');
    SysFreeString(b);

    BSTR blank = SysAllocStringLen(nullptr, 5);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 5u);
    for (int i = 0; i <= 5; ++i)
        EXPECT_EQ(blank[i], u'\0');
    SysFreeString(blank);
}

TEST(Bstr, ByteLenOddSizes)
{
    BSTR b = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringByteLen(b), 3u);
    EXPECT_EQ(SysStringLen(b), 1u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(b);
    EXPECT_EQ(std::memcmp(bytes, "abc", 3), 0);
    EXPECT_EQ(bytes[3], 0);
    EXPECT_EQ(bytes[4], 0);
    SysFreeString(b);

    BSTR none = SysAllocStringByteLen(nullptr, 7);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(SysStringByteLen(none), 7u);
    SysFreeString(none);

    BSTR zero = SysAllocStringByteLen(nullptr, 0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(SysStringByteLen(zero), 0u);
    SysFreeString(zero);
}

TEST(Bstr, OverflowingLengthsGiveNull)
{
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
    BSTR b = SysAllocString(u"keep");
    EXPECT_FALSE(SysReAllocStringLen(&b, nullptr, 0xFFFFFFFFu));
    EXPECT_EQ(std::u16string(b), u"keep");
    SysFreeString(b);
}

TEST(Bstr, ReAllocReplacesAndMayReadFromItself)
{
    BSTR b = SysAllocString(u"hello world");
    ASSERT_TRUE(SysReAllocString(&b, b + 6));
    EXPECT_EQ(std::u16string(b), u"world");
    EXPECT_EQ(SysStringLen(b), 5u);

    ASSERT_TRUE(SysReAllocStringLen(&b, u"xyz123", 3));
    EXPECT_EQ(std::u16string(b), u"xyz");

    // Without a source the old text is kept as far as the new length goes.
    ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 5));
    EXPECT_EQ(SysStringLen(b), 5u);
    EXPECT_EQ(std::u16string(b, 3), u"xyz");
    EXPECT_EQ(b[3], u'\0');
    EXPECT_EQ(b[5], u'\0');
    ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 2));
    EXPECT_EQ(std::u16string(b), u"xy");

    ASSERT_TRUE(SysReAllocString(&b, nullptr));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 0u);
    SysFreeString(b);

    BSTR fresh = nullptr;
    ASSERT_TRUE(SysReAllocString(&fresh, u"new"));
    EXPECT_EQ(std::u16string(fresh), u"new");
    SysFreeString(fresh);
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

} // namespace

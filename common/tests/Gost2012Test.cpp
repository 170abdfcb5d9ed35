// The AcceptGost2012 switch as the component reads it, and the GOST test of a
// certificate's signature algorithm with the switch off and on.
#include "common/Gost2012.h"

#include <winreg.h>

#include <gtest/gtest.h>

#include <string>

using namespace trumik::common;

namespace {

void SetValue(DWORD type, const void* data, DWORD size)
{
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kComponentSettingsKey, kAcceptGost2012Value, type, data, size),
        ERROR_SUCCESS);
}

} // namespace

TEST(Gost2012Switch, OnlyANonZeroDwordTurnsItOn)
{
    EXPECT_FALSE(AcceptGost2012()) << "no key";
    const DWORD zero = 0, one = 1, other = 0x100;
    SetValue(REG_DWORD, &one, sizeof one);
    EXPECT_TRUE(AcceptGost2012());
    SetValue(REG_DWORD, &zero, sizeof zero);
    EXPECT_FALSE(AcceptGost2012());
    SetValue(REG_DWORD, &other, sizeof other);
    EXPECT_TRUE(AcceptGost2012());
    const char16_t text[] = u"1";
    SetValue(REG_SZ, text, sizeof text);
    EXPECT_FALSE(AcceptGost2012()) << "a string";
    const unsigned long long wide = 1;
    SetValue(REG_QWORD, &wide, sizeof wide);
    EXPECT_FALSE(AcceptGost2012()) << "a QWORD";
    SetValue(REG_DWORD, &one, sizeof one);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kComponentSettingsKey), ERROR_SUCCESS);
    EXPECT_FALSE(AcceptGost2012()) << "key deleted";
}

TEST(Gost2012Switch, TheGostTestComparesWholeIdentifiers)
{
    for (bool on : {false, true}) {
        EXPECT_TRUE(IsGostSignatureAlgorithm("1.2.643.2.2.4", on));
        EXPECT_TRUE(IsGostSignatureAlgorithm("1.2.643.2.2.3", on));
        EXPECT_EQ(IsGostSignatureAlgorithm("1.2.643.7.1.1.3.2", on), on);
        EXPECT_EQ(IsGostSignatureAlgorithm("1.2.643.7.1.1.3.3", on), on);
        for (const char* other :
             {"1.2.643.7.1.1.3.2 ", "1.2.643.7.1.1.3", "1.2.643.7.1.1.3.33", "1.2.643.7.1.1.1.1",
              "1.2.643.2.2.19", "1.2.840.113549.1.1.11", "", static_cast<const char*>(nullptr)})
            EXPECT_FALSE(IsGostSignatureAlgorithm(other, on)) << (other ? other : "null");
    }
}

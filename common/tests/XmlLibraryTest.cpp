#include "common/XmlLibrary.h"

#include <xmlsec/app.h>

#include <gtest/gtest.h>

using namespace trumik::common;

// The libraries are process-wide, so these cases run in order in one test.
TEST(XmlLibrary, StartsPerObjectAndShutsDownWhenNoStartedObjectIsLeft)
{
    ASSERT_EQ(StartedObjectCount(), 0);
    VARIANT_BOOL never = VARIANT_FALSE;
    StopLibraries(never);
    EXPECT_FALSE(LibrariesRunning());

    VARIANT_BOOL first = VARIANT_FALSE;
    stacks::Push(ErrorStackId::MSXmlSigner, u"old");
    ASSERT_TRUE(StartLibraries(first, kOpenSSLBackend, ErrorStackId::MSXmlSigner, true));
    EXPECT_EQ(first, VARIANT_TRUE);
    EXPECT_EQ(stacks::Text(ErrorStackId::MSXmlSigner), u"");
    EXPECT_TRUE(LibrariesRunning());
    EXPECT_EQ(StartedObjectCount(), 1);

    // A second start of the same object does nothing.
    stacks::Push(ErrorStackId::MSXmlSigner, u"kept");
    ASSERT_TRUE(StartLibraries(first, kOpenSSLBackend, ErrorStackId::MSXmlSigner, true));
    EXPECT_EQ(StartedObjectCount(), 1);
    EXPECT_EQ(stacks::Text(ErrorStackId::MSXmlSigner), u"kept");

    // A back-end that cannot be loaded fails the start-up and leaves the flag clear.
    VARIANT_BOOL broken = VARIANT_FALSE;
    EXPECT_FALSE(StartLibraries(broken, "no-such-backend", ErrorStackId::MSXmlVerifier, true));
    EXPECT_EQ(broken, VARIANT_FALSE);
    EXPECT_EQ(StartedObjectCount(), 1);

    VARIANT_BOOL second = VARIANT_FALSE;
    ASSERT_TRUE(StartLibraries(second, kOpenSSLBackend, ErrorStackId::XmlSigner, false));
    EXPECT_EQ(StartedObjectCount(), 2);

    StopLibraries(second);
    EXPECT_EQ(second, VARIANT_FALSE);
    EXPECT_TRUE(LibrariesRunning());

    stacks::Push(ErrorStackId::MSXmlSigner, u"x");
    ForgetLibraries(first, ErrorStackId::MSXmlSigner);
    EXPECT_EQ(stacks::Text(ErrorStackId::MSXmlSigner), u"");
    EXPECT_EQ(StartedObjectCount(), 0);
    // A CMS-class release never shuts the libraries down.
    EXPECT_TRUE(LibrariesRunning());

    VARIANT_BOOL third = VARIANT_FALSE;
    ASSERT_TRUE(StartLibraries(third, kOpenSSLBackend, ErrorStackId::XmlSigner, false));
    StopLibraries(third);
    EXPECT_FALSE(LibrariesRunning());

    // The libraries start again after a shut-down.
    VARIANT_BOOL fourth = VARIANT_FALSE;
    ASSERT_TRUE(StartLibraries(fourth, kOpenSSLBackend, ErrorStackId::XmlSigner, false));
    EXPECT_TRUE(ActivateBackend(kOpenSSLBackend));
    StopLibraries(fourth);
    EXPECT_FALSE(LibrariesRunning());
}

TEST(XmlLibrary, MSCryptoBackEndStartsBesideOpenSSL)
{
    VARIANT_BOOL gost = VARIANT_FALSE;
    ASSERT_TRUE(StartLibraries(gost, kMSCryptoBackend, ErrorStackId::MSXmlSigner, true));
    EXPECT_EQ(gost, VARIANT_TRUE);
    EXPECT_TRUE(ActivateBackend(kMSCryptoBackend));
    EXPECT_NE(xmlSecTransformGost2001GostR3411_94GetKlass(), xmlSecTransformIdUnknown);

    VARIANT_BOOL rsa = VARIANT_FALSE;
    ASSERT_TRUE(StartLibraries(rsa, kOpenSSLBackend, ErrorStackId::XmlSigner, false));
    EXPECT_TRUE(ActivateBackend(kOpenSSLBackend));
    EXPECT_NE(xmlSecTransformRsaSha1GetKlass(), xmlSecTransformIdUnknown);
    EXPECT_TRUE(ActivateBackend(kMSCryptoBackend));
    EXPECT_NE(xmlSecTransformGostR3411_94GetKlass(), xmlSecTransformIdUnknown);

    StopLibraries(rsa);
    ForgetLibraries(gost, ErrorStackId::MSXmlSigner);
    EXPECT_EQ(StartedObjectCount(), 0);
}

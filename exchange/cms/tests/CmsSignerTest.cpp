// CCmsSigner as a host calls it: the order of the signing key's checks with
// their codes, signing and verification round trips for the three GOST key
// kinds as byte arrays and Base64 text, the signer results, a second signer
// that leaves the first one's bytes alone, and messages that are broken.
#include "exchange/cms/CmsSigner.h"

#include "Gost2012Fixtures.h"
#include "SignerFixtures.h"

#include <winbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using trumik::exchange::cms::CCmsSigner;
using Bytes = std::vector<BYTE>;
namespace g = trumik::gost2012test;
namespace st = trumik::signertest;

// A VARIANT that owns what it holds.
struct Var {
    VARIANT v;
    Var() { VariantInit(&v); }
    explicit Var(const Bytes& bytes) : Var()
    {
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        void* data = nullptr;
        SafeArrayAccessData(array, &data);
        std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(data));
        SafeArrayUnaccessData(array);
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = array;
    }
    ~Var() { VariantClear(&v); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
    Bytes Get() const
    {
        if (v.vt != (VT_ARRAY | VT_UI1))
            return {};
        void* data = nullptr;
        SafeArrayAccessData(v.parray, &data);
        Bytes out(static_cast<BYTE*>(data), static_cast<BYTE*>(data) + v.parray->rgsabound[0].cElements);
        SafeArrayUnaccessData(v.parray);
        return out;
    }
};

struct Str {
    BSTR b;
    explicit Str(const std::u16string& text)
        : b(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))
    {
    }
    explicit Str(const std::string& ascii) : Str(std::u16string(ascii.begin(), ascii.end())) {}
    Str() : b(nullptr) {}
    ~Str() { SysFreeString(b); }
    Str(const Str&) = delete;
    Str& operator=(const Str&) = delete;
};

int Code(CCmsSigner& signer)
{
    INT code = 0;
    signer.GetLastErrorCode(&code);
    return code;
}

std::string Stack(CCmsSigner& signer)
{
    BSTR text = nullptr;
    signer.GetLastErrorStack(&text);
    std::string out = text ? st::Utf8(std::u16string_view(text, SysStringLen(text))) : "";
    SysFreeString(text);
    return out;
}

Bytes ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

const Bytes kData = {'d', 'a', 't', 'a', ' ', 0xD0, 0xB4, 0, 1, 2};

// Signs with a store certificate; empty with the code kept on failure.
Bytes SignWith(CCmsSigner& signer, const std::string& thumbprint, const std::string& pin, bool detached,
               const Bytes& data = kData)
{
    Var in(data), out;
    Str store("My"), hash(thumbprint), password(pin);
    const HRESULT hr =
        signer.Sign(&in.v, store.b, hash.b, password.b, detached ? VARIANT_TRUE : VARIANT_FALSE, &out.v);
    return hr == S_OK ? out.Get() : Bytes();
}

bool VerifyWith(CCmsSigner& signer, const Bytes& message, const Bytes& data)
{
    Var in(message), content(data);
    VARIANT_BOOL result = VARIANT_TRUE;
    EXPECT_EQ(signer.Verify(&in.v, &content.v, &result), S_OK) << Code(signer);
    return result == VARIANT_TRUE;
}

TEST(CmsSignerKey, TheKeysChecksRunInOrderWithTheirCodes)
{
    const st::SignerFixtures& f = st::GetSignerFixtures();
    CCmsSigner signer;
    Var in(kData), out;
    Str store("My"), none;
    EXPECT_EQ(signer.Sign(&in.v, store.b, none.b, none.b, VARIANT_TRUE, &out.v), S_FALSE);
    EXPECT_EQ(Code(signer), 32001);
    Var empty;
    Str good(f.good.thumbprint);
    EXPECT_EQ(signer.Sign(&empty.v, store.b, good.b, none.b, VARIANT_TRUE, &out.v), S_FALSE);
    EXPECT_EQ(Code(signer), 32001);

    const std::pair<std::string, int> cases[] = {
        {std::string(40, 'A'), 32007},
        {f.notYetValid.thumbprint, 32009},
        {f.expired.thumbprint, 32011},
        {f.noUsage.thumbprint, 32013},
        {"12345", 32007},
    };
    for (const auto& [thumbprint, code] : cases) {
        EXPECT_TRUE(SignWith(signer, thumbprint, f.pin, true).empty());
        EXPECT_EQ(Code(signer), code) << thumbprint;
    }
    // The lookup's own failure carries the system's text on the stack.
    SignWith(signer, std::string(40, 'A'), f.pin, true);
    EXPECT_FALSE(Stack(signer).empty());

    EXPECT_TRUE(SignWith(signer, f.good.thumbprint, "0000", true).empty());
    EXPECT_EQ(Code(signer), 32019);
    EXPECT_FALSE(SignWith(signer, f.good.thumbprint, f.pin, true).empty());
    EXPECT_EQ(Code(signer), 0);
    // Digital signature alone is enough for a CMS signature.
    EXPECT_FALSE(SignWith(signer, f.signOnly.thumbprint, f.pin, false).empty()) << Code(signer);
}

class CmsSignerKinds : public ::testing::TestWithParam<int> {
  protected:
    const g::GostCert& Cert()
    {
        const g::Gost2012Fixtures& f = g::GetGost2012Fixtures();
        return GetParam() == 0 ? f.k2001 : GetParam() == 1 ? f.k256 : f.k512;
    }
    std::string Pin() { return g::GetGost2012Fixtures().pin; }
};

TEST_P(CmsSignerKinds, SignedMessagesVerifyAndTellTheirSigner)
{
    CCmsSigner signer;
    const Bytes detached = SignWith(signer, Cert().thumbprint, Pin(), true);
    ASSERT_FALSE(detached.empty()) << Code(signer);
    EXPECT_TRUE(VerifyWith(signer, detached, kData));
    LONG count = 0;
    signer.SignerCount(&count);
    EXPECT_EQ(count, 1);
    VARIANT_BOOL valid = VARIANT_FALSE;
    EXPECT_EQ(signer.SignerValid(0, &valid), S_OK);
    EXPECT_EQ(valid, VARIANT_TRUE);

    BSTR certificate = nullptr, subject = nullptr;
    ASSERT_EQ(signer.SignerCertificate(0, &certificate), S_OK);
    const Bytes der = ReadBytes(Cert().der);
    std::string base64 = st::Utf8(std::u16string_view(certificate, SysStringLen(certificate)));
    SysFreeString(certificate);
    EXPECT_EQ(base64.size(), (der.size() + 2) / 3 * 4);
    ASSERT_EQ(signer.SignerSubject(0, &subject), S_OK);
    EXPECT_NE(std::u16string_view(subject, SysStringLen(subject)).find(u"CN="), std::u16string_view::npos);
    SysFreeString(subject);

    DATE when = 0;
    ASSERT_EQ(signer.SigningTime(0, &when), S_OK);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    DATE today = 0;
    SystemTimeToVariantTime(&now, &today);
    EXPECT_LT(std::fabs(today - when), 1.0 / 24);

    // Not the content it signed; and no content at all.
    Bytes other = kData;
    other[0] ^= 1;
    EXPECT_FALSE(VerifyWith(signer, detached, other));
    EXPECT_EQ(Code(signer), 0);
    signer.SignerValid(0, &valid);
    EXPECT_EQ(valid, VARIANT_FALSE);
    Var in(detached), nothing, content;
    VARIANT_BOOL result = VARIANT_TRUE;
    EXPECT_EQ(signer.Verify(&in.v, &nothing.v, &result), S_FALSE);
    EXPECT_EQ(Code(signer), 33007);
    EXPECT_EQ(signer.SignerValid(0, &valid), S_FALSE);
    EXPECT_EQ(Code(signer), 33013);

    const Bytes attached = SignWith(signer, Cert().thumbprint, Pin(), false);
    EXPECT_TRUE(VerifyWith(signer, attached, {}));
    ASSERT_EQ(signer.Content(&content.v), S_OK);
    EXPECT_EQ(content.Get(), kData);
}

TEST_P(CmsSignerKinds, TextMethodsAndASecondSignerThatKeepsTheFirst)
{
    CCmsSigner signer;
    Str text(std::string("ZGF0YSDQtAABAg==")), store("My"), hash(Cert().thumbprint), pin(Pin());
    BSTR signedText = nullptr;
    ASSERT_EQ(signer.SignText(text.b, store.b, hash.b, pin.b, VARIANT_FALSE, &signedText), S_OK)
        << Code(signer);
    SysFreeString(signedText);

    const g::Gost2012Fixtures& f = g::GetGost2012Fixtures();
    const g::GostCert& other = GetParam() == 1 ? f.k512 : f.k256;
    for (bool detached : {true, false}) {
        const Bytes first = SignWith(signer, other.thumbprint, Pin(), detached);
        ASSERT_FALSE(first.empty());
        Var message(first), data(detached ? kData : Bytes()), out;
        ASSERT_EQ(signer.CoSign(&message.v, &data.v, store.b, hash.b, pin.b, &out.v), S_OK) << Code(signer);
        const Bytes both = out.Get();
        // The first signer's signature (the message's last 64 bytes at least)
        // is in the new message as it was.
        const Bytes tail(first.end() - 64, first.end());
        EXPECT_NE(std::search(both.begin(), both.end(), tail.begin(), tail.end()), both.end());
        EXPECT_TRUE(VerifyWith(signer, both, detached ? kData : Bytes()));
        LONG count = 0;
        signer.SignerCount(&count);
        EXPECT_EQ(count, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Gost, CmsSignerKinds, ::testing::Values(0, 1, 2));

TEST(CmsSignerInput, BrokenMessagesGiveTheirCodesNeverACrash)
{
    const g::Gost2012Fixtures& f = g::GetGost2012Fixtures();
    CCmsSigner signer;
    const Bytes message = SignWith(signer, f.k256.thumbprint, f.pin, false);
    ASSERT_FALSE(message.empty());
    auto verifyCode = [&signer](const Bytes& bytes) {
        Var in(bytes), none;
        VARIANT_BOOL result = VARIANT_TRUE;
        signer.Verify(&in.v, &none.v, &result);
        EXPECT_EQ(result, VARIANT_FALSE);
        return Code(signer);
    };
    EXPECT_EQ(verifyCode({}), 33001);
    EXPECT_EQ(verifyCode({'n', 'o', 't'}), 33003);
    EXPECT_EQ(verifyCode(Bytes(message.begin(), message.begin() + 100)), 33005);
    Var content;
    EXPECT_EQ(signer.Content(&content.v), S_FALSE);
    EXPECT_EQ(Code(signer), 33015);
    // Every single-bit change of the message from its content on: a verdict
    // of false or a code, never true (the certificate too: the signed
    // attributes name it by its hash). Only the list of digest algorithms
    // before the content is not signed.
    const Bytes dataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
    const size_t from = static_cast<size_t>(
        std::search(message.begin(), message.end(), dataOid.begin(), dataOid.end()) - message.begin());
    ASSERT_LT(from, message.size());
    for (size_t at = from; at < message.size(); ++at) {
        Bytes flipped = message;
        flipped[at] ^= 0x10;
        Var in(flipped), none;
        VARIANT_BOOL result = VARIANT_FALSE;
        signer.Verify(&in.v, &none.v, &result);
        EXPECT_EQ(result, VARIANT_FALSE) << at;
    }
}

} // namespace

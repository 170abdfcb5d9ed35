// Key-exchange keys of the GOST R 34.10-2012 providers (types 80 and 81) at
// CCryptEncMessage: refused with 81011 while the AcceptGost2012 switch is
// off, as every key of a provider other than 75; accepted with it on.
#include "Gost2012Fixtures.h"

#include "common/Bstr.h"
#include "common/ErrorState.h"
#include "cryptmsg/CryptEncMessage.h"

#include <gtest/gtest.h>

#include <string>

using namespace trumik;
using common::MakeBstr;
using common::UniqueBstr;
using cryptmsg::CCryptEncMessage;
using gost2012test::GetGost2012Fixtures;
using gost2012test::Gost2012On;
using gost2012test::GostCert;

namespace {

std::u16string Ascii(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

struct Result {
    HRESULT status;
    std::u16string text;
    bool written;
    LONG code;
    std::u16string message;
};

Result Encrypt(const GostCert& cert, const std::u16string& plain)
{
    CCryptEncMessage object;
    UniqueBstr store = MakeBstr(u"My"), hash = MakeBstr(Ascii(cert.thumbprint)), input = MakeBstr(plain);
    BSTR out = nullptr;
    const HRESULT hr = object.CryptMessage(store.get(), hash.get(), input.get(), &out);
    Result r{hr, std::u16string(common::View(out)), out != nullptr, object.Record().Code(),
             std::u16string(object.Record().Message())};
    SysFreeString(out);
    return r;
}

Result Decrypt(const GostCert& cert, const std::u16string& message, const std::string& pin)
{
    CCryptEncMessage object;
    UniqueBstr store = MakeBstr(u"My"), hash = MakeBstr(Ascii(cert.thumbprint)), input = MakeBstr(message),
               password = MakeBstr(Ascii(pin));
    BSTR out = nullptr;
    const HRESULT hr =
        object.DecryptMessage(store.get(), hash.get(), nullptr, password.get(), input.get(), &out);
    Result r{hr, std::u16string(common::View(out)), out != nullptr, object.Record().Code(),
             std::u16string(object.Record().Message())};
    SysFreeString(out);
    return r;
}

Result ContainerName(const GostCert& cert)
{
    CCryptEncMessage object;
    UniqueBstr store = MakeBstr(u"My"), hash = MakeBstr(Ascii(cert.thumbprint));
    BSTR out = nullptr;
    const HRESULT hr = object.GetContainerName(store.get(), hash.get(), &out);
    Result r{hr, std::u16string(common::View(out)), out != nullptr, object.Record().Code(),
             std::u16string(object.Record().Message())};
    SysFreeString(out);
    return r;
}

constexpr char16_t kNotExchange81011[] = u"Ключ, связанный с указанным сертификатом, не является ключём для "
                                         u"шифрования, либо не поддерживает ГОСТ.(Код ошибки - 81011)";

} // namespace

TEST(Gost2012Keys, OffEveryOperationRefusesThemWith81011)
{
    const auto& f = GetGost2012Fixtures();
    // Off as trumik provider gost2012 off leaves it (no value at all is off too).
    gost2012test::SetAcceptGost2012(false);
    for (const GostCert* cert : {&f.k256, &f.k512}) {
        Result r = Encrypt(*cert, u"secret");
        EXPECT_EQ(r.code, 81011) << cert->algorithm;
        EXPECT_EQ(r.message, kNotExchange81011);
        EXPECT_TRUE(r.text.empty());
        r = Decrypt(*cert, u"MAA=", f.pin);
        EXPECT_EQ(r.code, 81011);
        EXPECT_EQ(r.message, kNotExchange81011);
        r = ContainerName(*cert);
        EXPECT_EQ(r.status, S_OK);
        EXPECT_EQ(r.code, 81011);
        EXPECT_EQ(r.text, u"");
    }
    // The 2001 key beside them is taken as always.
    Result r = ContainerName(f.k2001);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.text, u"gost2001");
}

TEST(Gost2012Keys, OnTheyAreTakenAndMessagesMakeTheRoundTrip)
{
    const auto& f = GetGost2012Fixtures();
    Gost2012On on;
    for (const GostCert* cert : {&f.k256, &f.k512, &f.k2001}) {
        Result r = ContainerName(*cert);
        EXPECT_EQ(r.code, 0) << cert->algorithm;
        EXPECT_EQ(r.text, Ascii(cert == &f.k2001  ? "gost2001"
                                : cert == &f.k256 ? "gost2012-256"
                                                  : "gost2012-512"));

        // The text methods carry bytes as Base64: "secret for " and the algorithm.
        const std::u16string plain = cert == &f.k2001  ? u"c2VjcmV0IGZvciBnb3N0MjAwMQ=="
                                     : cert == &f.k256 ? u"c2VjcmV0IGZvciBnb3N0MjAxMi0yNTY="
                                                       : u"c2VjcmV0IGZvciBnb3N0MjAxMi01MTI=";
        Result message = Encrypt(*cert, plain);
        ASSERT_EQ(message.code, 0) << cert->algorithm;
        Result back = Decrypt(*cert, message.text, f.pin);
        EXPECT_EQ(back.code, 0) << cert->algorithm;
        EXPECT_EQ(back.text, plain);
    }
}

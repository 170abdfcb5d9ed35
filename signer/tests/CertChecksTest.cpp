// The store certificate checks: codes and messages of each family, the order
// of the chained checks and what they leave in the error record.
#include "signer/MSXmlSigner.h"

#include "SignerFixtures.h"

#include "common/Bstr.h"

#include <gtest/gtest.h>

#include <string>

using namespace trumik;
using common::MakeBstr;
using common::UniqueBstr;
using signertest::GetSignerFixtures;
using signertest::U16;

namespace {

std::u16string Ascii(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

// Calls one check and returns its status, result (7 when not written) and code.
struct Outcome {
    HRESULT status;
    int result;
    LONG code;
    std::u16string message;
};

enum class Which { Time, TimeAt, Gost, Usage, Chain, ChainAt };

Outcome Check(signer::CMSXmlSigner& signer, Which which, const char16_t* store, const std::string& thumbprint,
              DATE date = 0)
{
    UniqueBstr s(store ? SysAllocString(store) : nullptr);
    UniqueBstr t = MakeBstr(Ascii(thumbprint));
    VARIANT_BOOL result = 7;
    HRESULT hr = E_FAIL;
    switch (which) {
    case Which::Time:
        hr = signer.VerifyCertTimeValidityUsingCertStore(s.get(), t.get(), &result, 0);
        break;
    case Which::TimeAt:
        hr = signer.VerifyCertTimeValidityUsingCertStoreAndDate(s.get(), t.get(), date, &result, 0);
        break;
    case Which::Gost:
        hr = signer.VerifyCertIsGOSTUsingCertStore(s.get(), t.get(), &result, 0);
        break;
    case Which::Usage:
        hr = signer.VerifyCertUsageUsingCertStore(s.get(), t.get(), &result, 0);
        break;
    case Which::Chain:
        hr = signer.VerifyCertUsingCertStore(s.get(), t.get(), &result, 0);
        break;
    case Which::ChainAt:
        hr = signer.VerifyCertUsingCertStoreAndDate(s.get(), t.get(), date, &result, 0);
        break;
    }
    return {hr, result, signer.Record().Code(), std::u16string(signer.Record().Message())};
}

std::u16string Stack()
{
    return common::stacks::Text(common::ErrorStackId::MSXmlSigner);
}

constexpr DATE k2020June1 = 43983.5;  // 2020-06-01 12:00
constexpr DATE kYear1500 = -146000.0; // a date a file time cannot hold
constexpr DATE kBeyondDates = 1.0e10; // no calendar date

} // namespace

TEST(StoreCertChecks, AbsentArgumentsLeaveResultUnwrittenWithTheFamilyCode)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    struct {
        Which which;
        LONG code;
        const char16_t* digits;
    } cases[] = {{Which::Time, 1001, u"01001"},
                 {Which::TimeAt, 1001, u"01001"},
                 {Which::Gost, 3001, u"03001"},
                 {Which::Usage, 4001, u"04001"}};
    for (const auto& c : cases) {
        Outcome o = Check(signer, c.which, nullptr, f.good.thumbprint);
        EXPECT_EQ(o.status, S_FALSE);
        EXPECT_EQ(o.result, 7);
        EXPECT_EQ(o.code, c.code);
        EXPECT_EQ(
            o.message,
            std::u16string(u"Неверно заданы входные параметры. Необходимые входные параметры:\n"
                           u"Наименование хранилища сертификатов\nОтпечаток сертификата(Код ошибки - ") +
                c.digits + u")");
    }
    UniqueBstr store = MakeBstr(u"My");
    VARIANT_BOOL result = 7;
    EXPECT_EQ(signer.VerifyCertUsageUsingCertStore(store.get(), nullptr, &result, 0), S_FALSE);
    EXPECT_EQ(signer.Record().Code(), 4001);
    // The chain writes its result itself, false, before the first check.
    Outcome chain = Check(signer, Which::Chain, nullptr, f.good.thumbprint);
    EXPECT_EQ(chain.result, VARIANT_FALSE);
    EXPECT_EQ(chain.code, 1001);
}

TEST(StoreCertChecks, ThumbprintsThatFindNothingEndInTheCertificateCode)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    const std::string short39 = f.good.thumbprint.substr(0, 39);
    for (const std::string& thumbprint :
         {short39, std::string(40, '0'), std::string("zz") + short39.substr(2)}) {
        Outcome o = Check(signer, Which::Gost, u"My", thumbprint);
        EXPECT_EQ(o.status, S_FALSE);
        EXPECT_EQ(o.result, VARIANT_FALSE);
        EXPECT_EQ(o.code, 3005);
        EXPECT_EQ(
            o.message,
            u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 03005)");
    }
    // A store name no store has opens a new, empty store: not found, not x003.
    EXPECT_EQ(Check(signer, Which::Time, u"NoSuchStore", f.good.thumbprint).code, 1005);
    EXPECT_EQ(Check(signer, Which::Usage, u"NoSuchStore", f.good.thumbprint).code, 4005);
    // Characters after the fortieth are not read; lower case is as good.
    std::string lower = f.good.thumbprint;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(Check(signer, Which::Gost, u"My", f.good.thumbprint + "ABCDE").status, S_OK);
    Outcome found = Check(signer, Which::Gost, u"my", lower);
    EXPECT_EQ(found.status, S_OK);
    EXPECT_EQ(found.result, VARIANT_TRUE);
    EXPECT_EQ(found.code, 0);
    EXPECT_EQ(found.message, u"");
}

TEST(StoreCertChecks, TimeValidityNowAndAtADate)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    Outcome expired = Check(signer, Which::Time, u"My", f.expired.thumbprint);
    EXPECT_EQ(expired.status, S_FALSE);
    EXPECT_EQ(expired.result, VARIANT_FALSE);
    EXPECT_EQ(expired.code, 1009);
    EXPECT_EQ(expired.message, u"Время действия сертификата истекло.(Код ошибки - 01009)");
    Outcome future = Check(signer, Which::Time, u"My", f.notYetValid.thumbprint);
    EXPECT_EQ(future.code, 1007);
    EXPECT_EQ(future.message, u"Время действия сертификата ещё не наступило.(Код ошибки - 01007)");
    EXPECT_EQ(Check(signer, Which::Time, u"My", f.good.thumbprint).result, VARIANT_TRUE);

    // The expired certificate was valid in June 2020; the good one was not yet.
    Outcome then = Check(signer, Which::TimeAt, u"My", f.expired.thumbprint, k2020June1);
    EXPECT_EQ(then.status, S_OK);
    EXPECT_EQ(then.result, VARIANT_TRUE);
    EXPECT_EQ(Check(signer, Which::TimeAt, u"My", f.good.thumbprint, k2020June1).code, 1007);
    EXPECT_EQ(Check(signer, Which::TimeAt, u"My", f.good.thumbprint, 80000.0).code, 1009); // in 2119

    Outcome bad = Check(signer, Which::TimeAt, u"My", f.good.thumbprint, kBeyondDates);
    EXPECT_EQ(bad.status, S_FALSE);
    EXPECT_EQ(bad.result, VARIANT_FALSE);
    EXPECT_EQ(bad.code, 1006);
    EXPECT_EQ(bad.message, u"Не могу преобразовать входящую дату.(Код ошибки - 01006)");
    Outcome early = Check(signer, Which::TimeAt, u"My", f.good.thumbprint, kYear1500);
    EXPECT_EQ(early.code, 1065);
    EXPECT_EQ(early.message, u"Не могу преобразовать входящую дату.(Код ошибки - 01065)");
    // The certificate lookup comes before the date conversion.
    EXPECT_EQ(Check(signer, Which::TimeAt, u"My", std::string(40, 'A'), kBeyondDates).code, 1005);
}

TEST(StoreCertChecks, GostAlgorithmAndKeyUsage)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    Outcome rsa = Check(signer, Which::Gost, u"My", f.rsaIssued.thumbprint);
    EXPECT_EQ(rsa.status, S_FALSE);
    EXPECT_EQ(rsa.code, 3007);
    EXPECT_EQ(rsa.message,
              u"Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки - 03007)");

    Outcome signOnly = Check(signer, Which::Usage, u"My", f.signOnly.thumbprint);
    EXPECT_EQ(signOnly.status, S_FALSE);
    EXPECT_EQ(signOnly.result, VARIANT_FALSE);
    EXPECT_EQ(signOnly.code, 4009);
    EXPECT_EQ(signOnly.message,
              u"Ключ для подписания используется не по назначению (Цифровая подпись, "
              u"Неотрекаемость)\nПроверьте поле 'Использование ключа' в сертификате.(Код ошибки - "
              u"04009)");
    Outcome none = Check(signer, Which::Usage, u"My", f.noUsage.thumbprint);
    EXPECT_EQ(none.code, 4007);
    EXPECT_EQ(none.message, u"Ключ для подписания используется не по назначению (Цифровая подпись, "
                            u"Неотрекаемость)\nНе установлены значения в поле 'Использование ключа' "
                            u"сертификата.(Код ошибки - 04007)");
    EXPECT_EQ(Check(signer, Which::Usage, u"My", f.rsaIssued.thumbprint).result, VARIANT_TRUE);
}

TEST(StoreCertChecks, ChainsStopAtTheFirstFailureAndLeaveOnlyIt)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    Outcome good = Check(signer, Which::Chain, u"My", f.good.thumbprint);
    EXPECT_EQ(good.status, S_OK);
    EXPECT_EQ(good.result, VARIANT_TRUE);
    EXPECT_EQ(good.code, 0);
    EXPECT_EQ(good.message, u"");

    EXPECT_EQ(Check(signer, Which::Chain, u"My", f.expired.thumbprint).code, 1009);
    EXPECT_EQ(Check(signer, Which::Chain, u"My", f.rsaIssued.thumbprint).code, 3007);
    Outcome usage = Check(signer, Which::Chain, u"My", f.signOnly.thumbprint);
    EXPECT_EQ(usage.status, S_FALSE);
    EXPECT_EQ(usage.result, VARIANT_FALSE);
    EXPECT_EQ(usage.code, 4009);
    EXPECT_EQ(Check(signer, Which::Chain, u"My", f.noUsage.thumbprint).code, 4007);

    // At a date: the expired certificate passes all three in 2020.
    Outcome then = Check(signer, Which::ChainAt, u"My", f.expired.thumbprint, k2020June1);
    EXPECT_EQ(then.status, S_OK);
    EXPECT_EQ(then.result, VARIANT_TRUE);
    EXPECT_EQ(Check(signer, Which::ChainAt, u"My", f.signOnly.thumbprint, k2020June1).code, 1007);
    EXPECT_EQ(Check(signer, Which::ChainAt, u"My", f.signOnly.thumbprint, kBeyondDates).code, 1006);
}

namespace {

// Records which checks the chains reach through the object's operations.
class CountingSigner : public signer::CMSXmlSigner {
  public:
    HRESULT VerifyCertTimeValidityUsingCertStore(BSTR s, BSTR t, VARIANT_BOOL* r, LONG x) override
    {
        calls += "T";
        return CMSXmlSigner::VerifyCertTimeValidityUsingCertStore(s, t, r, x);
    }
    HRESULT VerifyCertTimeValidityUsingCertStoreAndDate(BSTR s, BSTR t, DATE d, VARIANT_BOOL* r,
                                                        LONG x) override
    {
        calls += "D";
        return CMSXmlSigner::VerifyCertTimeValidityUsingCertStoreAndDate(s, t, d, r, x);
    }
    HRESULT VerifyCertIsGOSTUsingCertStore(BSTR s, BSTR t, VARIANT_BOOL* r, LONG x) override
    {
        calls += "G";
        return CMSXmlSigner::VerifyCertIsGOSTUsingCertStore(s, t, r, x);
    }
    HRESULT VerifyCertUsageUsingCertStore(BSTR s, BSTR t, VARIANT_BOOL* r, LONG x) override
    {
        calls += "U";
        return CMSXmlSigner::VerifyCertUsageUsingCertStore(s, t, r, x);
    }
    std::string calls;
};

} // namespace

TEST(StoreCertChecks, ChainsCallTheSingleChecksThroughTheObject)
{
    const auto& f = GetSignerFixtures();
    CountingSigner signer;
    Check(signer, Which::Chain, u"My", f.good.thumbprint);
    EXPECT_EQ(signer.calls, "TGU");
    signer.calls.clear();
    Check(signer, Which::Chain, u"My", f.rsaIssued.thumbprint);
    EXPECT_EQ(signer.calls, "TG");
    signer.calls.clear();
    Check(signer, Which::ChainAt, u"My", f.expired.thumbprint, k2020June1);
    EXPECT_EQ(signer.calls, "DGU");
}

TEST(StoreCertChecks, EachCheckEmptiesTheClassStackFirst)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner first, second;
    common::stacks::Push(common::ErrorStackId::MSXmlSigner, u"old report\n");
    Check(first, Which::Gost, u"My", f.good.thumbprint);
    EXPECT_EQ(Stack(), u"");
    // A missing certificate pushes the system's text for the lookup's error.
    Check(first, Which::Gost, u"My", std::string(40, 'A'));
    const std::u16string afterMiss = Stack();
    EXPECT_FALSE(afterMiss.empty());
    // The stack is the class's: the other object sees the same text and its own code.
    UniqueBstr stack;
    BSTR out = nullptr;
    ASSERT_EQ(second.SignGetLastErrorStack(&out), S_OK);
    stack.reset(out);
    EXPECT_EQ(common::View(stack.get()), afterMiss);
    INT code = -1;
    ASSERT_EQ(second.SignGetLastErrorCode(&code), S_OK);
    EXPECT_EQ(code, 0);
}

// The certificate file checks: messages, codes, the stack, `result` and the
// chains, on certificates made at test time.
#include "VerifierFixtures.h"

#include "TestHome.h"
#include "verifier/MSXmlVerifier.h"

#include <gtest/gtest.h>

using namespace trumik::verifiertest;
using trumik::verifier::CMSXmlVerifier;

namespace {

constexpr unsigned kSign = 0x80, kNonRep = 0x40, kKeyEnc = 0x20;

std::string Message(const CMSXmlVerifier& v)
{
    return Utf8(std::u16string(v.Record().Message()));
}
std::string Stack(CMSXmlVerifier& v)
{
    BSTR out = nullptr;
    EXPECT_EQ(v.SignGetLastErrorStack(&out), S_OK);
    std::string text = Utf8(std::u16string(out ? out : u""));
    SysFreeString(out);
    return text;
}

// One automation check of the verifier, by family.
using Check = HRESULT (CMSXmlVerifier::*)(BSTR, VARIANT_BOOL*);

struct FamilyCase {
    Check check;
    LONG base;
};

const FamilyCase kFamilies[] = {
    {&CMSXmlVerifier::VerifyCertTimeValidityUsingCertFile, 20000},
    {&CMSXmlVerifier::VerifyCertIsGOSTUsingCertFile, 21000},
    {&CMSXmlVerifier::VerifyCertUsageUsingCertFile, 22000},
    {&CMSXmlVerifier::VerifyCertRevocationUsingCertFile, 23000},
};

std::string Code5(LONG code)
{
    char text[16];
    std::snprintf(text, sizeof text, "%05ld", static_cast<long>(code < 0 ? -code : code));
    return text;
}

} // namespace

TEST(CertFileChecks, FrameFailuresOfEveryFamily)
{
    const Fixtures& f = GetFixtures();
    const fs::path folder = trumik::testing::MakeTempDir("folder");
    for (const FamilyCase& family : kFamilies) {
        SCOPED_TRACE(family.base);
        CMSXmlVerifier v;
        const bool revocation = family.base == 23000;
        const std::string tail = revocation ? "" : "\nПожалуйста, обратитесь к Администратору КРУЛМ";

        // Absent path and a path with nothing at it: `result` untouched.
        Bstr missing(f.dir / "missing.der");
        for (BSTR path : {static_cast<BSTR>(nullptr), missing.p}) {
            VARIANT_BOOL result = 7;
            EXPECT_EQ((v.*family.check)(path, &result), 1);
            EXPECT_EQ(result, 7);
            EXPECT_EQ(v.Record().Code(), -(family.base + 1));
            EXPECT_NE(
                Message(v).find("Путь к сертификату пуст или файл сертификата не найден.(Код ошибки-(-" +
                                Code5(family.base + 1) + "))" + tail),
                std::string::npos)
                << Message(v);
        }
        // Random bytes and a folder do not open as a store: -x003, result false.
        for (const fs::path& path : {f.randomBytes, folder}) {
            VARIANT_BOOL result = VARIANT_TRUE;
            EXPECT_EQ((v.*family.check)(Bstr(path).p, &result), 1);
            EXPECT_EQ(result, VARIANT_FALSE);
            EXPECT_EQ(v.Record().Code(), -(family.base + 3));
            EXPECT_NE(Message(v).find("Ошибка открытия файла сертификата.(Код ошибки-(-" +
                                      Code5(family.base + 3) + "))" + tail),
                      std::string::npos);
        }
        // An empty serialised store opens but has no certificate: -x005, with
        // the system's text on the stack.
        VARIANT_BOOL result = VARIANT_TRUE;
        EXPECT_EQ((v.*family.check)(Bstr(f.emptyStore).p, &result), 1);
        EXPECT_EQ(result, VARIANT_FALSE);
        EXPECT_EQ(v.Record().Code(), -(family.base + 5));
        EXPECT_NE(Message(v).find("Ошибка выбора сертификата.(Код ошибки-(-" + Code5(family.base + 5) + "))" +
                                  tail),
                  std::string::npos);
    }
}

TEST(CertFileChecks, ExactMessagesOfTimeGostAndUsage)
{
    CMSXmlVerifier v;
    VARIANT_BOOL result = VARIANT_TRUE;
    EXPECT_EQ(v.VerifyCertTimeValidityUsingCertFile(nullptr, &result), 1);
    EXPECT_EQ(Message(v), "Невозможно проверить сертификат. Путь к сертификату пуст или файл сертификата не "
                          "найден.(Код ошибки-(-20001))\nПожалуйста, обратитесь к Администратору КРУЛМ");
    EXPECT_EQ(v.VerifyCertRevocationUsingCertFile(nullptr, &result), 1);
    EXPECT_EQ(Message(v), "Путь к сертификату пуст или файл сертификата не найден.(Код ошибки-(-23001))");

    const fs::path future = MakeTimedCert("future", "20990101000000Z", "21000101000000Z", kSign | kNonRep);
    EXPECT_EQ(v.VerifyCertTimeValidityUsingCertFile(Bstr(future).p, &result), 1);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(v.Record().Code(), 20007);
    EXPECT_EQ(Message(v), "Время действия сертификата ещё не наступило.(Код ошибки-20007)");

    const fs::path past = MakeTimedCert("past", "20000101000000Z", "20010101000000Z", kSign | kNonRep);
    EXPECT_EQ(v.VerifyCertTimeValidityUsingCertFile(Bstr(past).p, &result), 1);
    EXPECT_EQ(v.Record().Code(), 20009);
    EXPECT_EQ(Message(v), "Время действия сертификата истекло.(Код ошибки-20009)");

    EXPECT_EQ(v.VerifyCertIsGOSTUsingCertFile(Bstr(GetFixtures().rsaDer).p, &result), 1);
    EXPECT_EQ(v.Record().Code(), 21007);
    EXPECT_EQ(Message(v),
              "Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки-21007)");

    const fs::path noUsage = MakeTimedCert("nousage", "20200101000000Z", "20990101000000Z", 0);
    EXPECT_EQ(v.VerifyCertUsageUsingCertFile(Bstr(noUsage).p, &result), 1);
    EXPECT_EQ(v.Record().Code(), 22007);
    EXPECT_EQ(Message(v),
              "Ключ для подписания используется не по назначению (Цифровая подпись, Неотрекаемость)\n"
              "Не установлены значения в поле 'Использование ключа' сертификата.(Код ошибки-22007)");
    // Without the extension the system reports no error code, so no text.
    EXPECT_EQ(Stack(v), "");

    const fs::path signOnly =
        MakeTimedCert("signonly", "20200101000000Z", "20990101000000Z", kSign | kKeyEnc);
    EXPECT_EQ(v.VerifyCertUsageUsingCertFile(Bstr(signOnly).p, &result), 1);
    EXPECT_EQ(v.Record().Code(), 22009);
    EXPECT_EQ(Message(v),
              "Ключ для подписания используется не по назначению (Цифровая подпись, Неотрекаемость)\n"
              "Проверьте поле 'Использование ключа' в сертификате.(Код ошибки-22009)");

    // Passing checks leave the reset record.
    const fs::path both =
        MakeTimedCert("both", "20200101000000Z", "20990101000000Z", kSign | kNonRep | kKeyEnc);
    EXPECT_EQ(v.VerifyCertUsageUsingCertFile(Bstr(both).p, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(v.Record().Code(), 0);
    EXPECT_EQ(Message(v), "");
    EXPECT_EQ(Stack(v), "");
}

TEST(CertFileChecks, GostAlgorithmIsTheIssuersNotTheSubjectKeys)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v;
    VARIANT_BOOL result = VARIANT_FALSE;
    // openssl's GOST R 34.11-94 with GOST R 34.10-2001 is 1.2.643.2.2.3.
    EXPECT_EQ(v.VerifyCertIsGOSTUsingCertFile(Bstr(f.gostDer).p, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    // A GOST subject key signed with RSA.
    EXPECT_EQ(v.VerifyCertIsGOSTUsingCertFile(Bstr(f.gostKeyRsaSignedDer).p, &result), 1);
    EXPECT_EQ(v.Record().Code(), 21007);
    // Any store format: PEM works, and a PKCS #7 is judged by its first (RSA) certificate.
    EXPECT_EQ(v.VerifyCertIsGOSTUsingCertFile(Bstr(f.gostPem).p, &result), S_OK);
    EXPECT_EQ(v.VerifyCertIsGOSTUsingCertFile(Bstr(f.pkcs7Der).p, &result), 1);
    EXPECT_EQ(v.Record().Code(), 21007);
}

TEST(CertFileChecks, DatesAreUtcAndBoundsInclusive)
{
    const fs::path cert = MakeTimedCert("bounds", "20200101000000Z", "20300101000000Z", kSign | kNonRep);
    CMSXmlVerifier v;
    VARIANT_BOOL result = VARIANT_FALSE;
    EXPECT_EQ(v.VerifyCertTimeValidityUsingCertFileAndDate(Bstr(cert).p, Date(2030, 1, 1), &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(v.VerifyCertTimeValidityUsingCertFileAndDate(Bstr(cert).p, Date(2020, 1, 1), &result), S_OK);
    EXPECT_EQ(v.VerifyCertTimeValidityUsingCertFileAndDate(Bstr(cert).p, Date(2030, 1, 1, 0, 0, 1), &result),
              1);
    EXPECT_EQ(v.Record().Code(), 20009);
    EXPECT_EQ(
        v.VerifyCertTimeValidityUsingCertFileAndDate(Bstr(cert).p, Date(2019, 12, 31, 23, 59, 59), &result),
        1);
    EXPECT_EQ(v.Record().Code(), 20007);
    // A date the system cannot convert.
    EXPECT_EQ(v.VerifyCertTimeValidityUsingCertFileAndDate(Bstr(cert).p, 1e12, &result), 1);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(v.Record().Code(), 1006);
    EXPECT_EQ(Message(v), "Не могу преобразовать входящую дату.(Код ошибки - 01006)");
}

TEST(CertFileChecks, ChainsStopAtTheFirstFailure)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v;
    VARIANT_BOOL result = VARIANT_TRUE;
    EXPECT_EQ(v.VerifyCertUsingCertFile(Bstr(f.gostDer).p, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(v.Record().Code(), 0);

    // Expired RSA without usage: the time check alone speaks.
    const fs::path past = MakeTimedCert("chain-past", "20000101000000Z", "20010101000000Z", 0);
    EXPECT_EQ(v.VerifyCertUsingCertFile(Bstr(past).p, &result), 1);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(v.Record().Code(), 20009);
    EXPECT_EQ(v.VerifyCertUsingCertFileAndDate(Bstr(past).p, Date(2000, 6, 1), &result), 1);
    EXPECT_EQ(v.Record().Code(), 21007);
    EXPECT_EQ(v.VerifyCertUsingCertFileAndDate(Bstr(f.gostDer).p, Date(2000, 6, 1), &result), 1);
    EXPECT_EQ(v.Record().Code(), 20007);
    EXPECT_EQ(v.VerifyCertUsingCertFile(nullptr, &result), 1);
    EXPECT_EQ(v.Record().Code(), -20001);
}

TEST(CertFileChecks, RevocationAgainstTheStoresCrls)
{
    const Fixtures& f = GetFixtures();
    CMSXmlVerifier v;
    VARIANT_BOOL result = VARIANT_FALSE;
    EXPECT_EQ(v.VerifyCertRevocationUsingCertFile(Bstr(f.goodDer).p, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);

    struct {
        fs::path cert;
        LONG code;
        const char* message;
    } revoked[] = {
        {f.keyCompromiseDer, 23011,
         "Сертификат отозван(приостановлен). Подозревается, что секретный ключ скомпрометирован.(Код "
         "ошибки-23011)"},
        {f.supersededDer, 23017,
         "Сертификат отозван(приостановлен). Сертификат был изменён.(Код ошибки-23017)"},
        {f.holdDer, 23021,
         "Сертификат отозван(приостановлен). Действие сертификата приостановлено.(Код ошибки-23021)"},
        {f.unspecifiedDer, 23009,
         "Сертификат отозван(приостановлен). Причина не определена.(Код ошибки-23009)"},
    };
    for (const auto& c : revoked) {
        result = VARIANT_TRUE;
        EXPECT_EQ(v.VerifyCertRevocationUsingCertFile(Bstr(c.cert).p, &result), 1);
        EXPECT_EQ(result, VARIANT_FALSE);
        EXPECT_EQ(v.Record().Code(), c.code);
        EXPECT_EQ(Message(v), c.message);
    }
    // No CRL of the issuer anywhere: the status cannot be determined.
    EXPECT_EQ(v.VerifyCertRevocationUsingCertFile(Bstr(f.noCrlDer).p, &result), 1);
    EXPECT_EQ(v.Record().Code(), -23007);
    EXPECT_EQ(Message(v),
              "Ошибка при проверке статуса сертификата (Отозван/Приостановлен).(Код ошибки-(-23007))");
    EXPECT_FALSE(Stack(v).empty());
}

TEST(CertFileChecks, NullResultPointerIsRefused)
{
    CMSXmlVerifier v;
    EXPECT_EQ(v.VerifyCertIsGOSTUsingCertFile(Bstr(GetFixtures().gostDer).p, nullptr), E_POINTER);
    EXPECT_EQ(v.VerifyUsingCertFileWoCert(nullptr, nullptr, nullptr), E_POINTER);
}

// The store certificate checks of CMSXmlSigner: time validity (now or at a
// date), a GOST signature algorithm and the signing key usages, one by one or
// chained.
#include "MSXmlSigner.h"

#include "CertLookup.h"

#include "common/Conversions.h"
#include "common/Gost2012.h"
#include "common/XmlLibrary.h"

#include <winbase.h>
#include <wincrypt.h>

#include <exception>

namespace trumik::signer {

namespace {

// The messages of one check family.
struct CheckMessages {
    const char16_t* arguments;
    LONG argumentsCode;
    const char16_t* store;
    LONG storeCode;
    const char16_t* certificate;
    LONG certificateCode;
    const char16_t* exception;
    LONG exceptionCode;
};

const CheckMessages kTimeMessages = {
    u"Неверно заданы входные параметры. Необходимые входные параметры:\nНаименование хранилища "
    u"сертификатов\nОтпечаток сертификата(Код ошибки - 01001)",
    1001,
    u"Не удалось обнаружить указанное хранилище сертификатов.(Код ошибки - 01003)",
    1003,
    u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 01005)",
    1005,
    u"Не удалось выполнить проверку сертификата на предмет действительности времени действия.(Код ошибки - "
    u"01011)",
    1011,
};

const CheckMessages kGostMessages = {
    u"Неверно заданы входные параметры. Необходимые входные параметры:\nНаименование хранилища "
    u"сертификатов\nОтпечаток сертификата(Код ошибки - 03001)",
    3001,
    u"Не удалось обнаружить указанное хранилище сертификатов.(Код ошибки - 03003)",
    3003,
    u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 03005)",
    3005,
    u"Не удалось выполнить проверку сертификата на предмет соответствия алгоритма ГОСТ-у.(Код ошибки - "
    u"03009)",
    3009,
};

const CheckMessages kUsageMessages = {
    u"Неверно заданы входные параметры. Необходимые входные параметры:\nНаименование хранилища "
    u"сертификатов\nОтпечаток сертификата(Код ошибки - 04001)",
    4001,
    u"Не удалось обнаружить указанное хранилище сертификатов.(Код ошибки - 04003)",
    4003,
    u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 04005)",
    4005,
    u"Не удалось выполнить проверку сертификата на предмет назначения использования ключа.(Код ошибки - "
    u"04011)",
    4011,
};

constexpr char16_t kDateNotConverted[] = u"Не могу преобразовать входящую дату.(Код ошибки - 01006)";
constexpr char16_t kDateNotFileTime[] = u"Не могу преобразовать входящую дату.(Код ошибки - 01065)";
constexpr char16_t kNotYetValid[] = u"Время действия сертификата ещё не наступило.(Код ошибки - 01007)";
constexpr char16_t kExpired[] = u"Время действия сертификата истекло.(Код ошибки - 01009)";
constexpr char16_t kNotGost[] =
    u"Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки - 03007)";
constexpr char16_t kNoKeyUsage[] =
    u"Ключ для подписания используется не по назначению (Цифровая подпись, Неотрекаемость)\nНе установлены "
    u"значения в поле 'Использование ключа' сертификата.(Код ошибки - 04007)";
constexpr char16_t kWrongKeyUsage[] =
    u"Ключ для подписания используется не по назначению (Цифровая подпись, Неотрекаемость)\nПроверьте поле "
    u"'Использование ключа' в сертификате.(Код ошибки - 04009)";

} // namespace

// ---------------------------------------------------------------------------
// Store certificate checks

HRESULT CMSXmlSigner::RunCheck(Check check, BSTR storeName, BSTR certHashString, const DATE* date,
                               VARIANT_BOOL* result)
{
    const CheckMessages& messages = check == Check::Time   ? kTimeMessages
                                    : check == Check::Gost ? kGostMessages
                                                           : kUsageMessages;
    record_.Reset();
    try {
        if (!storeName || !certHashString) {
            record_.SetError(messages.arguments, messages.argumentsCode);
            return S_FALSE;
        }
        if (result)
            *result = VARIANT_FALSE;
        UniqueStore store;
        UniqueCertContext cert;
        switch (LookupCertificate(storeName, certHashString, store, cert)) {
        case LookupResult::StoreNotFound:
            record_.PushSystemErrorText();
            record_.SetError(messages.store, messages.storeCode);
            return S_FALSE;
        case LookupResult::CertNotFound:
            record_.PushSystemErrorText();
            record_.SetError(messages.certificate, messages.certificateCode);
            return S_FALSE;
        case LookupResult::Found:
            break;
        }

        bool pass = false;
        switch (check) {
        case Check::Time: {
            FILETIME when{};
            bool converted = true;
            if (date) {
                SYSTEMTIME system{};
                if (!VariantTimeToSystemTime(*date, &system)) {
                    record_.SetError(kDateNotConverted, 1006);
                    converted = false;
                } else if (!SystemTimeToFileTime(&system, &when)) {
                    record_.SetError(kDateNotFileTime, 1065);
                    converted = false;
                }
            }
            if (converted) {
                const LONG validity = CertVerifyTimeValidity(date ? &when : nullptr, cert->pCertInfo);
                if (validity < 0)
                    record_.SetError(kNotYetValid, 1007);
                else if (validity > 0)
                    record_.SetError(kExpired, 1009);
                else
                    pass = true;
            }
            break;
        }
        case Check::Gost: {
            if (common::IsGostSignatureAlgorithm(cert->pCertInfo->SignatureAlgorithm.pszObjId,
                                                 common::AcceptGost2012()))
                pass = true;
            else
                record_.SetError(kNotGost, 3007);
            break;
        }
        case Check::Usage: {
            BYTE usage = 0;
            if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert->pCertInfo, &usage,
                                         1)) {
                record_.PushSystemErrorText();
                record_.SetError(kNoKeyUsage, 4007);
            } else if ((usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE) &&
                       (usage & CERT_NON_REPUDIATION_KEY_USAGE)) {
                pass = true;
            } else {
                record_.SetError(kWrongKeyUsage, 4009);
            }
            break;
        }
        }
        cert.reset();
        store.reset();
        if (result)
            *result = pass ? VARIANT_TRUE : VARIANT_FALSE;
        return pass ? S_OK : S_FALSE;
    } catch (const std::exception& e) {
        record_.PushExceptionText(e.what());
        record_.SetError(messages.exception, messages.exceptionCode);
        return S_FALSE;
    }
}

HRESULT CMSXmlSigner::VerifyCertTimeValidityUsingCertStore(BSTR storeName, BSTR certHashString,
                                                           VARIANT_BOOL* result, LONG)
{
    return RunCheck(Check::Time, storeName, certHashString, nullptr, result);
}

HRESULT CMSXmlSigner::VerifyCertTimeValidityUsingCertStoreAndDate(BSTR storeName, BSTR certHashString,
                                                                  DATE checkDate, VARIANT_BOOL* result, LONG)
{
    return RunCheck(Check::Time, storeName, certHashString, &checkDate, result);
}

HRESULT CMSXmlSigner::VerifyCertIsGOSTUsingCertStore(BSTR storeName, BSTR certHashString,
                                                     VARIANT_BOOL* result, LONG)
{
    return RunCheck(Check::Gost, storeName, certHashString, nullptr, result);
}

HRESULT CMSXmlSigner::VerifyCertUsageUsingCertStore(BSTR storeName, BSTR certHashString, VARIANT_BOOL* result,
                                                    LONG)
{
    return RunCheck(Check::Usage, storeName, certHashString, nullptr, result);
}

HRESULT CMSXmlSigner::VerifyCertUsingCertStore(BSTR storeName, BSTR certHashString, VARIANT_BOOL* result,
                                               LONG reserved)
{
    if (result)
        *result = VARIANT_FALSE;
    VARIANT_BOOL passed = VARIANT_FALSE;
    VerifyCertTimeValidityUsingCertStore(storeName, certHashString, &passed, reserved);
    if (!passed)
        return S_FALSE;
    passed = VARIANT_FALSE;
    VerifyCertIsGOSTUsingCertStore(storeName, certHashString, &passed, reserved);
    if (!passed)
        return S_FALSE;
    passed = VARIANT_FALSE;
    VerifyCertUsageUsingCertStore(storeName, certHashString, &passed, reserved);
    if (!passed)
        return S_FALSE;
    if (result)
        *result = VARIANT_TRUE;
    return S_OK;
}

HRESULT CMSXmlSigner::VerifyCertUsingCertStoreAndDate(BSTR storeName, BSTR certHashString, DATE checkDate,
                                                      VARIANT_BOOL* result, LONG reserved)
{
    if (result)
        *result = VARIANT_FALSE;
    VARIANT_BOOL passed = VARIANT_FALSE;
    VerifyCertTimeValidityUsingCertStoreAndDate(storeName, certHashString, checkDate, &passed, reserved);
    if (!passed)
        return S_FALSE;
    passed = VARIANT_FALSE;
    VerifyCertIsGOSTUsingCertStore(storeName, certHashString, &passed, reserved);
    if (!passed)
        return S_FALSE;
    passed = VARIANT_FALSE;
    VerifyCertUsageUsingCertStore(storeName, certHashString, &passed, reserved);
    if (!passed)
        return S_FALSE;
    if (result)
        *result = VARIANT_TRUE;
    return S_OK;
}

} // namespace trumik::signer

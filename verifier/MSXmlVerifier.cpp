#include "MSXmlVerifier.h"
#include "XPathLimit.h"

#include "common/CallerDocument.h"
#include "common/Conversions.h"
#include "common/CryptGuards.h"
#include "common/Gost2012.h"
#include "common/XmlGuards.h"

#include <shlwapi.h>
#include <winbase.h>
#include <wincrypt.h>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/keys.h>
#include <xmlsec/transforms.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace trumik::verifier {

namespace {

using common::ErrorRecord;
using common::ErrorStackId;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using common::UniqueStore;
using UniqueCert = common::UniqueCertContext;

// The messages of one certificate check's frame, with their codes.
struct Family {
    const char16_t* path;
    LONG pathCode;
    const char16_t* open;
    LONG openCode;
    const char16_t* select;
    LONG selectCode;
    const char16_t* exception;
    LONG exceptionCode;
};

const Family kTimeFamily = {
    u"Невозможно проверить сертификат. Путь к сертификату пуст или файл сертификата не найден.(Код "
    u"ошибки-(-20001))\nПожалуйста, обратитесь к Администратору КРУЛМ",
    -20001,
    u"Невозможно проверить сертификат. Ошибка открытия файла сертификата.(Код ошибки-(-20003))\nПожалуйста, "
    u"обратитесь к Администратору КРУЛМ",
    -20003,
    u"Невозможно проверить сертификат. Ошибка выбора сертификата.(Код ошибки-(-20005))\nПожалуйста, "
    u"обратитесь "
    u"к Администратору КРУЛМ",
    -20005,
    u"Не удалось выполнить проверку сертификата на предмет действительности времени действия.(Код "
    u"ошибки-(-20011))\nПожалуйста, обратитесь к Администратору КРУЛМ",
    -20011,
};

const Family kGostFamily = {
    u"Невозможно проверить сертификат. Путь к сертификату пуст или файл сертификата не найден.(Код "
    u"ошибки-(-21001))\nПожалуйста, обратитесь к Администратору КРУЛМ",
    -21001,
    u"Невозможно проверить сертификат. Ошибка открытия файла сертификата.(Код ошибки-(-21003))\nПожалуйста, "
    u"обратитесь к Администратору КРУЛМ",
    -21003,
    u"Невозможно проверить сертификат. Ошибка выбора сертификата.(Код ошибки-(-21005))\nПожалуйста, "
    u"обратитесь "
    u"к Администратору КРУЛМ",
    -21005,
    u"Невозможно выполнить проверку сертификата на предмет соответствия алгоритма ГОСТ.(Код "
    u"ошибки-(-21009))\nПожалуйста, обратитесь к Администратору КРУЛМ",
    -21009,
};

const Family kUsageFamily = {
    u"Невозможно проверить сертификат. Путь к сертификату пуст или файл сертификата не найден.(Код "
    u"ошибки-(-22001))\nПожалуйста, обратитесь к Администратору КРУЛМ",
    -22001,
    u"Невозможно проверить сертификат. Ошибка открытия файла сертификата.(Код ошибки-(-22003))\nПожалуйста, "
    u"обратитесь к Администратору КРУЛМ",
    -22003,
    u"Невозможно проверить сертификат. Ошибка выбора сертификата.(Код ошибки-(-22005))\nПожалуйста, "
    u"обратитесь "
    u"к Администратору КРУЛМ",
    -22005,
    u"Невозможно выполнить проверку сертификата на предмет назначения использования ключа.(Код "
    u"ошибки-(-22011))\nПожалуйста, обратитесь к Администратору КРУЛМ",
    -22011,
};

const Family kRevocationFamily = {
    u"Путь к сертификату пуст или файл сертификата не найден.(Код ошибки-(-23001))",
    -23001,
    u"Ошибка открытия файла сертификата.(Код ошибки-(-23003))",
    -23003,
    u"Ошибка выбора сертификата.(Код ошибки-(-23005))",
    -23005,
    u"Не удалось выполнить проверку сертификата на предмет отозванности сертификата.(Код ошибки-(-23023))",
    -23023,
};

// A family's test of the first certificate of the file: true for pass. On
// fail it has set its message and code.
using CertTest = std::function<bool(PCCERT_CONTEXT cert, ErrorRecord& record)>;

// The frame shared by the certificate checks: reset, path, open the file as a
// store, take its first certificate, test it, release.
HRESULT RunCertCheck(ErrorRecord& record, const Family& family, BSTR certFilePath, VARIANT_BOOL* result,
                     const CertTest& test)
{
    if (!result)
        return E_POINTER;
    record.Reset();
    try {
        if (!certFilePath || !PathFileExistsW(certFilePath)) {
            record.SetError(family.path, family.pathCode);
            return kFailed;
        }
        *result = VARIANT_FALSE;
        UniqueStore store(CertOpenStore(CERT_STORE_PROV_FILENAME_W, kEncoding, 0, 0, certFilePath));
        if (!store) {
            record.PushSystemErrorText();
            record.SetError(family.open, family.openCode);
            return kFailed;
        }
        bool pass = false;
        {
            UniqueCert cert(CertEnumCertificatesInStore(store.get(), nullptr));
            if (!cert) {
                record.PushSystemErrorText();
                record.SetError(family.select, family.selectCode);
            } else {
                pass = test(cert.get(), record);
            }
        }
        store.reset();
        *result = pass ? VARIANT_TRUE : VARIANT_FALSE;
        return pass ? S_OK : kFailed;
    } catch (const std::exception& e) {
        record.PushExceptionText(e.what());
        record.SetError(family.exception, family.exceptionCode);
        return kFailed;
    }
}

// The validity period of the certificate against a time (null: now).
bool TimeValid(PCCERT_CONTEXT cert, FILETIME* time, ErrorRecord& record)
{
    LONG verdict = CertVerifyTimeValidity(time, cert->pCertInfo);
    if (verdict < 0) {
        record.SetError(u"Время действия сертификата ещё не наступило.(Код ошибки-20007)", 20007);
        return false;
    }
    if (verdict > 0) {
        record.SetError(u"Время действия сертификата истекло.(Код ошибки-20009)", 20009);
        return false;
    }
    return true;
}

using common::Xml;

bool Usable(xmlSecTransformId id)
{
    return id != xmlSecTransformIdUnknown && id != nullptr;
}

// Only what reads nothing outside the document: same-document references,
// canonicalisation, the enveloped transform, Base64, the XPath filter and
// XPath Filter 2.0 (which select from the document), and the digest and
// signature methods of the back-end. References to files or network
// addresses and transforms that can read them (XSLT, XPointer) are refused
// before anything is opened.
int RestrictContext(xmlSecDSigCtxPtr ctx)
{
    ctx->enabledReferenceUris =
        static_cast<xmlSecTransformUriType>(xmlSecTransformUriTypeEmpty | xmlSecTransformUriTypeSameDocument);
    const xmlSecTransformId c14n[] = {
        xmlSecTransformInclC14NId,   xmlSecTransformInclC14NWithCommentsId,
        xmlSecTransformInclC14N11Id, xmlSecTransformInclC14N11WithCommentsId,
        xmlSecTransformExclC14NId,   xmlSecTransformExclC14NWithCommentsId,
    };
    for (xmlSecTransformId id : c14n) {
        if (xmlSecDSigCtxEnableReferenceTransform(ctx, id) < 0 ||
            xmlSecDSigCtxEnableSignatureTransform(ctx, id) < 0)
            return -1;
    }
    if (xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformEnvelopedId) < 0 ||
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformBase64Id) < 0 ||
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformXPathId) < 0 ||
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformXPath2Id) < 0)
        return -1;
    xmlSecPtrListPtr registered = xmlSecTransformIdsGet();
    const xmlSecSize count = registered ? xmlSecPtrListGetSize(registered) : 0;
    for (xmlSecSize i = 0; i < count; ++i) {
        auto id = static_cast<xmlSecTransformId>(xmlSecPtrListGetItem(registered, i));
        if (!Usable(id))
            continue;
        if ((id->usage & xmlSecTransformUsageDigestMethod) &&
            xmlSecDSigCtxEnableReferenceTransform(ctx, id) < 0)
            return -1;
        if ((id->usage & xmlSecTransformUsageSignatureMethod) &&
            xmlSecDSigCtxEnableSignatureTransform(ctx, id) < 0)
            return -1;
    }
    return 0;
}

} // namespace

CMSXmlVerifier::~CMSXmlVerifier()
{
    common::ForgetLibraries(started_, ErrorStackId::MSXmlVerifier);
}

HRESULT CMSXmlVerifier::SignGetLastError(BSTR* ErrorMessage)
{
    return record_.CopyMessage(ErrorMessage);
}

HRESULT CMSXmlVerifier::SignGetLastErrorCode(INT* ErrorCode)
{
    if (!ErrorCode)
        return E_POINTER;
    LONG code = 0;
    HRESULT hr = record_.CopyCode(&code);
    *ErrorCode = code;
    return hr;
}

HRESULT CMSXmlVerifier::SignGetLastErrorStack(BSTR* ErrorStack)
{
    return record_.CopyStack(ErrorStack);
}

HRESULT CMSXmlVerifier::VerifyCertTimeValidityUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    return RunCertCheck(
        record_, kTimeFamily, certFilePath, result,
        [](PCCERT_CONTEXT cert, ErrorRecord& record) { return TimeValid(cert, nullptr, record); });
}

HRESULT CMSXmlVerifier::VerifyCertTimeValidityUsingCertFileAndDate(BSTR certFilePath, DATE CheckDate,
                                                                   VARIANT_BOOL* result)
{
    return RunCertCheck(
        record_, kTimeFamily, certFilePath, result, [CheckDate](PCCERT_CONTEXT cert, ErrorRecord& record) {
            SYSTEMTIME systemTime{};
            if (!VariantTimeToSystemTime(CheckDate, &systemTime)) {
                record.SetError(u"Не могу преобразовать входящую дату.(Код ошибки - 01006)", 1006);
                return false;
            }
            // The date is a UTC time; no time-zone conversion.
            FILETIME fileTime{};
            if (!SystemTimeToFileTime(&systemTime, &fileTime)) {
                record.SetError(u"Не могу преобразовать входящую дату.(Код ошибки - 01065)", 1065);
                return false;
            }
            return TimeValid(cert, &fileTime, record);
        });
}

HRESULT CMSXmlVerifier::VerifyCertIsGOSTUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    return RunCertCheck(
        record_, kGostFamily, certFilePath, result, [](PCCERT_CONTEXT cert, ErrorRecord& record) {
            if (common::IsGostSignatureAlgorithm(cert->pCertInfo->SignatureAlgorithm.pszObjId,
                                                 common::AcceptGost2012()))
                return true;
            record.SetError(
                u"Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки-21007)", 21007);
            return false;
        });
}

HRESULT CMSXmlVerifier::VerifyCertUsageUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    return RunCertCheck(
        record_, kUsageFamily, certFilePath, result, [](PCCERT_CONTEXT cert, ErrorRecord& record) {
            BYTE usage = 0;
            if (!CertGetIntendedKeyUsage(kEncoding, cert->pCertInfo, &usage, 1)) {
                record.PushSystemErrorText();
                record.SetError(u"Ключ для подписания используется не по назначению (Цифровая подпись, "
                                u"Неотрекаемость)\nНе установлены значения в поле 'Использование ключа' "
                                u"сертификата.(Код ошибки-22007)",
                                22007);
                return false;
            }
            constexpr BYTE kBoth = CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE;
            if ((usage & kBoth) == kBoth)
                return true;
            record.SetError(
                u"Ключ для подписания используется не по назначению (Цифровая подпись, "
                u"Неотрекаемость)\nПроверьте поле 'Использование ключа' в сертификате.(Код ошибки-22009)",
                22009);
            return false;
        });
}

HRESULT CMSXmlVerifier::VerifyCertRevocationUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    return RunCertCheck(
        record_, kRevocationFamily, certFilePath, result, [](PCCERT_CONTEXT cert, ErrorRecord& record) {
            CERT_REVOCATION_STATUS status{};
            status.cbSize = sizeof status;
            PVOID contexts[] = {const_cast<CERT_CONTEXT*>(cert)};
            if (CertVerifyRevocation(kEncoding, CERT_CONTEXT_REVOCATION_TYPE, 1, contexts,
                                     CERT_VERIFY_REV_CHAIN_FLAG, nullptr, &status))
                return true;
            // A revoked certificate is reported with CRYPT_E_REVOKED and its
            // reason; any other error means the status could not be determined.
            if (status.dwError != 0 && status.dwError != static_cast<DWORD>(CRYPT_E_REVOKED)) {
                record.PushSystemErrorText();
                record.SetError(
                    u"Ошибка при проверке статуса сертификата (Отозван/Приостановлен).(Код ошибки-(-23007))",
                    -23007);
                return false;
            }
            switch (status.dwReason) {
            case 0:
                record.SetError(
                    u"Сертификат отозван(приостановлен). Причина не определена.(Код ошибки-23009)", 23009);
                break;
            case 1:
                record.SetError(u"Сертификат отозван(приостановлен). Подозревается, что секретный ключ "
                                u"скомпрометирован.(Код ошибки-23011)",
                                23011);
                break;
            case 2:
                record.SetError(u"Сертификат отозван(приостановлен). Подозревается, что секретный ключ УЦ "
                                u"скомпрометирован.(Код ошибки-23013)",
                                23013);
                break;
            case 3:
                record.SetError(
                    u"Сертификат отозван(приостановлен). Наименование объекта или другая информация в "
                    u"сертификате была изменена.(Код ошибки-23015)",
                    23015);
                break;
            case 4:
                record.SetError(
                    u"Сертификат отозван(приостановлен). Сертификат был изменён.(Код ошибки-23017)", 23017);
                break;
            case 5:
                record.SetError(
                    u"Сертификат отозван(приостановлен). Сертификат используется не для тех целей, для "
                    u"которых он был выдан.(Код ошибки-23019)",
                    23019);
                break;
            case 6:
                record.SetError(
                    u"Сертификат отозван(приостановлен). Действие сертификата приостановлено.(Код "
                    u"ошибки-23021)",
                    23021);
                break;
            default:
                break; // no message for other reasons
            }
            return false;
        });
}

HRESULT CMSXmlVerifier::VerifyCertUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    if (!result)
        return E_POINTER;
    *result = VARIANT_FALSE;
    HRESULT hr = VerifyCertTimeValidityUsingCertFile(certFilePath, result);
    if (*result)
        hr = VerifyCertIsGOSTUsingCertFile(certFilePath, result);
    if (*result)
        hr = VerifyCertUsageUsingCertFile(certFilePath, result);
    return *result ? S_OK : (FAILED(hr) ? hr : kFailed);
}

HRESULT CMSXmlVerifier::VerifyCertUsingCertFileAndDate(BSTR certFilePath, DATE CheckDate,
                                                       VARIANT_BOOL* result)
{
    if (!result)
        return E_POINTER;
    *result = VARIANT_FALSE;
    HRESULT hr = VerifyCertTimeValidityUsingCertFileAndDate(certFilePath, CheckDate, result);
    if (*result)
        hr = VerifyCertIsGOSTUsingCertFile(certFilePath, result);
    if (*result)
        hr = VerifyCertUsageUsingCertFile(certFilePath, result);
    return *result ? S_OK : (FAILED(hr) ? hr : kFailed);
}

HRESULT CMSXmlVerifier::VerifyUsingCertFile(BSTR signedXml, BSTR certFilePath, VARIANT_BOOL* result)
{
    return Verify(signedXml, certFilePath, CertCheck::Certificate, 0, result);
}

HRESULT CMSXmlVerifier::VerifyUsingCertFileWoCert(BSTR signedXml, BSTR certFilePath, VARIANT_BOOL* result)
{
    return Verify(signedXml, certFilePath, CertCheck::None, 0, result);
}

HRESULT CMSXmlVerifier::VerifyUsingCertFileAndDate(BSTR signedXml, BSTR certFilePath, DATE CheckDate,
                                                   VARIANT_BOOL* result)
{
    return Verify(signedXml, certFilePath, CertCheck::CertificateAtDate, CheckDate, result);
}

HRESULT CMSXmlVerifier::Verify(BSTR signedXml, BSTR certFilePath, CertCheck check, DATE checkDate,
                               VARIANT_BOOL* result)
{
    if (!result)
        return E_POINTER;
    record_.Reset();
    common::XmlOperation operation(started_, backend_, ErrorStackId::MSXmlVerifier, true);
    if (!operation.Ready()) {
        record_.SetError(
            u"Невозможно инициализировать библиотеку.(Код ошибки-(-02001))\nПожалуйста, обратитесь к "
            u"Администратору КРУЛМ",
            -2001);
        return kFailed;
    }
    *result = VARIANT_FALSE;
    operation.ReportTo(common::MSXmlVerifierErrorCallback);
    if (!certFilePath || !PathFileExistsW(certFilePath)) {
        record_.SetError(u"Невозможно проверить сертификат. Путь к сертификату пуст или файл сертификата не "
                         u"найден.(Код ошибки-(-02003))\nПожалуйста, обратитесь к Администратору КРУЛМ",
                         -2003);
        return kFailed;
    }
    if (!signedXml) {
        record_.SetError(u"Подписанный документ пуст.(Код ошибки-02005)", 2005);
        return kFailed;
    }
    if (check == CertCheck::Certificate)
        VerifyCertUsingCertFile(certFilePath, result);
    else if (check == CertCheck::CertificateAtDate)
        VerifyCertUsingCertFileAndDate(certFilePath, checkDate, result);
    if (check != CertCheck::None) {
        if (!*result)
            return S_OK;
        *result = VARIANT_FALSE;
    }
    try {
        VerifyDocument(signedXml, certFilePath, result);
    } catch (const std::exception& e) {
        *result = VARIANT_FALSE;
        record_.PushExceptionText(e.what());
        record_.SetError(u"Невозможно проверить подпись.(Код ошибки-(-02017))\nПожалуйста, обратитесь к "
                         u"Администратору КРУЛМ",
                         -2017);
    }
    return S_OK;
}

void CMSXmlVerifier::VerifyDocument(BSTR signedXml, BSTR certFilePath, VARIANT_BOOL* result)
{
    // The parse reads nothing but this text; a document that needs more, or
    // that the ANSI code page cannot hold, is refused.
    const std::optional<std::string> document = common::DocumentToParserBytes(signedXml);
    common::UniqueXmlDoc doc = document ? common::ParseCallerDocument(document->c_str()) : nullptr;
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root) {
        record_.SetError(u"Невозможно выполнить разбор документа.(Код ошибки-02007)", 2007);
        return;
    }
    xmlNodePtr signature = xmlSecFindNode(root, xmlSecNodeSignature, xmlSecDSigNs);
    if (!signature) {
        record_.SetError(u"В документе не найден стартовый узел.(Код ошибки-02009)", 2009);
        return;
    }
    common::UniqueDSigCtx ctx(xmlSecDSigCtxCreate(nullptr));
    if (!ctx || RestrictContext(ctx.get()) < 0) {
        record_.SetError(u"Невозможно инициализировать контекст подписи.(Код ошибки-(-02011))\nПожалуйста, "
                         u"обратитесь к Администратору КРУЛМ",
                         -2011);
        return;
    }
    const std::string path = common::DocumentToParserBytes(certFilePath).value_or(std::string(1, '\0'));
    common::UniqueSecKey key(
        xmlSecCryptoAppKeyLoad(path.c_str(), xmlSecKeyDataFormatCertDer, nullptr, nullptr, nullptr));
    if (!key) {
        record_.SetError(
            u"Невозможно загрузить ключ из сертификата.(Код ошибки-(-02013))\nПожалуйста, обратитесь "
            u"к Администратору КРУЛМ",
            -2013);
        return;
    }
    // The context owns the key from here on.
    ctx->signKey = key.release();
    if (xmlSecKeySetName(ctx->signKey, Xml(path.c_str())) < 0) {
        record_.SetError(
            u"Невозможно установить наименование ключа.(Код ошибки-(-02015))\nПожалуйста, обратитесь "
            u"к Администратору КРУЛМ",
            -2015);
        return;
    }
    if (!XPathWithinLimit(doc.get(), signature) || xmlSecDSigCtxVerify(ctx.get(), signature) < 0) {
        record_.SetError(u"Невозможно проверить подпись.(Код ошибки-(-02017))\nПожалуйста, обратитесь к "
                         u"Администратору КРУЛМ",
                         -2017);
        return;
    }
    if (ctx->status == xmlSecDSigStatusSucceeded)
        *result = VARIANT_TRUE;
}

} // namespace trumik::verifier

#include "MSXmlSigner.h"

#include "CertLookup.h"

#include "common/Conversions.h"
#include "common/Gost2012.h"
#include "common/XmlGuards.h"
#include "common/XmlLibrary.h"

#include <winbase.h>
#include <wincrypt.h>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/strings.h>
#include <xmlsec/xmltree.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

namespace trumik::signer {

namespace {

using common::ErrorStackId;

using UniqueDoc = common::UniqueXmlDoc;
using common::UniqueXmlBytes;

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

constexpr char16_t kSignedNotParsed[] =
    u"Не удалось произвести разбор подписанного документа.(Код ошибки - 00071)";
constexpr char16_t kSignatureNotFound[] =
    u"Не удалось извлечь подпись из подписанного документа.(Код ошибки - 00073)";
constexpr char16_t kRebuildException[] = u"Не удалось подписать документ.(Код ошибки - 00075)";

// The signature-only document serialised without an encoding starts with
// `<?xml version="1.0"?>` and a line feed.
constexpr size_t kDeclarationLength = 22;

bool IsNameEnd(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'/' || c == u'>';
}

} // namespace

CMSXmlSigner::~CMSXmlSigner()
{
    common::ForgetLibraries(started_, ErrorStackId::MSXmlSigner);
}

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

// ---------------------------------------------------------------------------
// Signing methods and the rebuilding of the caller's text

HRESULT CMSXmlSigner::SignWithCertStore(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR* retXml)
{
    return Sign(xml, certStoreName, certHashString, nullptr, retXml);
}

HRESULT CMSXmlSigner::SignWithCertStorePass(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR password,
                                            BSTR* retXml)
{
    return Sign(xml, certStoreName, certHashString, password, retXml);
}

HRESULT CMSXmlSigner::Sign(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR password, BSTR* retXml)
{
    if (!retXml)
        return E_POINTER;
    // The core writes *retXml: null once it has started, the signed document
    // when it succeeds (kept as bytes until the rebuilding is done); before
    // that it leaves it alone.
    coreDocument_.reset();
    keepCoreDocument_ = true;
    SignCore(xml, certStoreName, certHashString, password, retXml);
    keepCoreDocument_ = false;
    struct Release {
        common::UniqueXmlDoc& doc;
        ~Release() { doc.reset(); }
    } release{coreDocument_};
    if (record_.Code() != 0)
        return S_FALSE;
    // The rebuilding parses with the libraries the core started; their
    // reports still go to the class's stack.
    common::LibraryUse use;
    common::ThreadErrorReports reports(common::MSXmlSignerErrorCallback);
    try {
        Rebuild(common::View(xml), retXml);
    } catch (const std::exception& e) {
        record_.PushExceptionText(e.what());
        record_.SetError(kRebuildException, 75);
        try {
            HandOverCoreDocument(retXml);
        } catch (const std::exception&) {
        }
        return S_FALSE;
    }
    return S_OK;
}

void CMSXmlSigner::HandOverCoreDocument(BSTR* retXml)
{
    if (!coreDocument_ || *retXml)
        return;
    *retXml = DumpDocument(coreDocument_.get()).release();
}

// Replaces *retXml (the core's whole signed document) by the caller's own text
// with the new Signature element inserted where the core put it.
void CMSXmlSigner::Rebuild(std::u16string_view xml, BSTR* retXml)
{
    // The core's own signed document; read back from its text when it gave text.
    UniqueDoc parsed;
    if (!coreDocument_)
        parsed.reset(xmlParseDoc(reinterpret_cast<const xmlChar*>(common::DocumentToUtf8(*retXml).c_str())));
    xmlDocPtr signedDoc = coreDocument_ ? coreDocument_.get() : parsed.get();
    xmlNodePtr root = signedDoc ? xmlDocGetRootElement(signedDoc) : nullptr;
    if (!root) {
        record_.SetError(kSignedNotParsed, 71);
        HandOverCoreDocument(retXml);
        return;
    }
    // The core appended its Signature as the root's last child; an earlier
    // Signature of the document is not the new one.
    xmlNodePtr signature = nullptr;
    for (xmlNodePtr child = root->last; child && !signature; child = child->prev) {
        if (child->type == XML_ELEMENT_NODE && xmlSecCheckNodeName(child, xmlSecNodeSignature, xmlSecDSigNs))
            signature = child;
    }
    if (!signature) {
        record_.SetError(kSignatureNotFound, 73);
        HandOverCoreDocument(retXml);
        return;
    }
    UniqueDoc signatureDoc(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
    if (!signatureDoc)
        throw std::bad_alloc();
    // A copy, so that the core's document stays whole for the caller should
    // the rebuilding still fail.
    xmlNodePtr copy = xmlDocCopyNode(signature, signatureDoc.get(), 1);
    if (!copy)
        throw std::bad_alloc();
    xmlDocSetRootElement(signatureDoc.get(), copy);
    xmlReconciliateNs(signatureDoc.get(), copy);
    xmlChar* dumped = nullptr;
    int dumpedSize = 0;
    xmlDocDumpMemory(signatureDoc.get(), &dumped, &dumpedSize);
    UniqueXmlBytes dumpedGuard(dumped);
    if (!dumped)
        throw std::bad_alloc();
    common::UniqueBstr signatureText = common::Utf8ToBstr(reinterpret_cast<const char*>(dumped));
    if (!signatureText)
        throw std::bad_alloc();
    std::u16string_view s = common::View(signatureText.get());
    if (s.size() < kDeclarationLength + 1) {
        record_.SetError(kSignatureNotFound, 73);
        HandOverCoreDocument(retXml);
        return;
    }
    s = s.substr(kDeclarationLength, s.size() - kDeclarationLength - 1);

    common::UniqueBstr replacement = SpliceSignature(xml, s);
    SysFreeString(*retXml);
    *retXml = replacement.release();
}

// The caller's text with the signature text put where the root element ends.
common::UniqueBstr SpliceSignature(std::u16string_view xml, std::u16string_view signature)
{
    // The new text is put together in its BSTR, part after part.
    std::u16string_view parts[6];
    size_t partCount = 0;
    const InsertionPoint point = FindRootInsertionPoint(xml);
    if (point.found && point.emptyElement) {
        parts[partCount++] = xml.substr(0, point.position);
        parts[partCount++] = u">";
        parts[partCount++] = signature;
        parts[partCount++] = u"</";
        parts[partCount++] = point.name;
        parts[partCount++] = u">";
        // (the rest of the caller's text follows below)
    } else {
        size_t p = point.found ? point.position : xml.rfind(u'<');
        if (p == std::u16string_view::npos)
            p = 0;
        parts[partCount++] = xml.substr(0, p);
        parts[partCount++] = signature;
    }
    const size_t restFrom = point.found && point.emptyElement ? point.tagEnd
                            : partCount > 0                   ? parts[0].size()
                                                              : 0;
    const std::u16string_view rest = xml.substr(restFrom);
    size_t total = rest.size();
    for (size_t i = 0; i < partCount; ++i)
        total += parts[i].size();
    if (total > 0x7FFFFFFF)
        throw std::bad_alloc();
    common::UniqueBstr replacement(SysAllocStringLen(nullptr, static_cast<UINT>(total)));
    if (!replacement)
        throw std::bad_alloc();
    char16_t* out = replacement.get();
    for (size_t i = 0; i < partCount; ++i)
        out = std::copy(parts[i].begin(), parts[i].end(), out);
    std::copy(rest.begin(), rest.end(), out);
    return replacement;
}

// Reads the markup of a well-formed document: prolog (declaration, comments,
// processing instructions, document type with its internal subset), elements
// with quoted attribute values, CDATA sections and character data, and keeps
// where the root element ends.
InsertionPoint FindRootInsertionPoint(std::u16string_view text)
{
    InsertionPoint point;
    const size_t n = text.size();
    auto startsAt = [&](size_t at, std::u16string_view what) { return text.substr(at, what.size()) == what; };
    // One past the end of `what` found from `from`; npos when absent.
    auto after = [&](size_t from, std::u16string_view what) {
        size_t found = text.find(what, from);
        return found == std::u16string_view::npos ? found : found + what.size();
    };
    size_t pos = 0;
    size_t depth = 0;
    bool rootSeen = false;
    while (pos < n) {
        pos = text.find(u'<', pos);
        if (pos == std::u16string_view::npos)
            return point;
        size_t next;
        if (startsAt(pos, u"<?")) {
            next = after(pos + 2, u"?>");
        } else if (startsAt(pos, u"<!--")) {
            next = after(pos + 4, u"-->");
        } else if (startsAt(pos, u"<![CDATA[")) {
            next = after(pos + 9, u"]]>");
        } else if (startsAt(pos, u"<!")) {
            // Document type declaration: quoted literals, and inside the
            // internal subset comments and processing instructions, may hold
            // any of the characters that end it.
            size_t i = pos + 2;
            int brackets = 0;
            next = std::u16string_view::npos;
            while (i < n) {
                const char16_t c = text[i];
                if (brackets > 0 && startsAt(i, u"<!--")) {
                    i = after(i + 4, u"-->");
                } else if (brackets > 0 && startsAt(i, u"<?")) {
                    i = after(i + 2, u"?>");
                } else if (c == u'"' || c == u'\'') {
                    i = text.find(c, i + 1);
                    if (i != std::u16string_view::npos)
                        ++i;
                } else {
                    if (c == u'[')
                        ++brackets;
                    else if (c == u']')
                        --brackets;
                    else if (c == u'>' && brackets <= 0) {
                        next = i + 1;
                        break;
                    }
                    ++i;
                }
                if (i == std::u16string_view::npos)
                    break;
            }
        } else if (startsAt(pos, u"</")) {
            next = after(pos + 2, u">");
            if (depth == 0)
                return point;
            if (--depth == 0) {
                point.found = true;
                point.position = pos;
                return point;
            }
        } else {
            // A start tag or an empty-element tag; attribute values are quoted.
            size_t i = pos + 1;
            next = std::u16string_view::npos;
            while (i < n) {
                const char16_t c = text[i];
                if (c == u'"' || c == u'\'') {
                    i = text.find(c, i + 1);
                    if (i == std::u16string_view::npos)
                        break;
                    ++i;
                } else if (c == u'>') {
                    next = i + 1;
                    break;
                } else {
                    ++i;
                }
            }
            if (next == std::u16string_view::npos)
                return point;
            const bool empty = text[next - 2] == u'/';
            if (depth == 0) {
                if (rootSeen)
                    return point; // a second top-level element: not a document
                rootSeen = true;
                if (empty) {
                    size_t nameEnd = pos + 1;
                    while (nameEnd < n && !IsNameEnd(text[nameEnd]))
                        ++nameEnd;
                    point.found = true;
                    point.emptyElement = true;
                    point.position = next - 2;
                    point.tagEnd = next;
                    point.name = text.substr(pos + 1, nameEnd - pos - 1);
                    return point;
                }
            }
            if (!empty)
                ++depth;
        }
        if (next == std::u16string_view::npos)
            return point;
        pos = next;
    }
    return point;
}

} // namespace trumik::signer

#include "XmlSigner.h"

#include "common/CallerDocument.h"
#include "common/Conversions.h"
#include "common/ErrorState.h"
#include "common/XmlGuards.h"
#include "common/XmlLibrary.h"

#include <shlwapi.h>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>

#include <exception>
#include <memory>

namespace trumik::pemsigner {

namespace {

using common::ErrorStackId;

// The fixed password of the PEM keys this class signs with.
constexpr char kKeyPassword[] = "wqzt";

using common::Xml;

} // namespace

CXmlSigner::~CXmlSigner()
{
    common::StopLibraries(started_);
}

void CXmlSigner::SetLastError(std::u16string_view text)
{
    std::u16string message(text);
    message += common::stacks::Text(ErrorStackId::XmlSigner);
    message_ = common::MakeBstr(message);
}

HRESULT CXmlSigner::SignFGetLastError(BSTR* ErrorMessage)
{
    std::lock_guard guard(lock_);
    return common::CopyMessageOut(common::View(message_.get()), ErrorMessage) == E_POINTER ? E_POINTER : S_OK;
}

HRESULT CXmlSigner::SignWithKey(BSTR xml, BSTR keyFile, BSTR* retXml)
{
    std::lock_guard guard(lock_);
    common::stacks::Clear(ErrorStackId::XmlSigner);
    SetLastError(u"");
    if (!xml || !keyFile)
        return kRefused;
    try {
        return Sign(xml, keyFile, retXml);
    } catch (const std::exception& e) {
        std::u16string message = u"00035 - Не удалось подписать документ.\n";
        if (common::UniqueBstr what = common::NarrowToBstr(e.what()))
            message += common::View(what.get());
        SetLastError(message);
        return kRefused;
    }
}

HRESULT CXmlSigner::Sign(BSTR xml, BSTR keyFile, BSTR* retXml)
{
    if (!PathFileExistsW(keyFile)) {
        SetLastError(u"10001 - Путь к PEM-файлу пуст или PEM-файл с ключём не найден.");
        return kRefused;
    }
    common::XmlOperation operation(started_, common::kOpenSSLBackend, ErrorStackId::XmlSigner, false);
    if (!operation.Ready()) {
        SetLastError(u"10003 - Внутренняя ошибка компонета. Не удалось проинициализировать объекты.");
        return kRefused;
    }
    operation.ReportTo(common::XmlSignerErrorCallback);

    const std::string path = common::PathToNarrow(keyFile);
    common::UniqueXmlDoc doc;
    {
        // The caller's text is needed only until it is parsed.
        const std::string input = common::DocumentToUtf8(xml);
        doc = common::ParseCallerDocument(input.c_str());
    }
    if (!doc || !xmlDocGetRootElement(doc.get())) {
        SetLastError(u"10005 - Не удалось произвести разбор указанного документа.");
        return kSignFailed;
    }
    xmlNodePtr signNode = xmlSecTmplSignatureCreate(doc.get(), xmlSecTransformInclC14NGetKlass(),
                                                    xmlSecTransformRsaSha1GetKlass(), nullptr);
    if (!signNode) {
        SetLastError(u"10007- Не удалось сформировать шаблон подписи.");
        return kSignFailed;
    }
    // From here on the Signature node belongs to the document.
    xmlAddChild(xmlDocGetRootElement(doc.get()), signNode);

    xmlNodePtr refNode =
        xmlSecTmplSignatureAddReference(signNode, xmlSecTransformSha1GetKlass(), nullptr, Xml(""), nullptr);
    if (!refNode) {
        SetLastError(u"10009 - Не удалось добавить ссылку на шаблон подписи.");
        return kSignFailed;
    }
    if (!xmlSecTmplReferenceAddTransform(refNode, xmlSecTransformEnvelopedGetKlass())) {
        SetLastError(u"10011 - Не удалось выполнить enveloped-преобразование.");
        return kSignFailed;
    }
    xmlNodePtr keyInfoNode = xmlSecTmplSignatureEnsureKeyInfo(signNode, nullptr);
    if (!keyInfoNode) {
        SetLastError(u"10013 - Не удалось создать шаблон ключа подписи.");
        return kSignFailed;
    }
    if (!xmlSecTmplKeyInfoAddKeyValue(keyInfoNode)) {
        SetLastError(u"00025 - Не удалось создать информацию о ключе подписи.");
        return kSignFailed;
    }
    common::UniqueDSigCtx dsigCtx(xmlSecDSigCtxCreate(nullptr));
    if (!dsigCtx) {
        SetLastError(u"10015 - Не удалось сформировать контекст подписи.");
        return kSignFailed;
    }
    // The context owns the key once it is set; until then this guard does.
    common::UniqueSecKey key(
        xmlSecCryptoAppKeyLoad(path.c_str(), xmlSecKeyDataFormatPem, kKeyPassword, nullptr, nullptr));
    if (!key) {
        SetLastError(u"10017 - Не удалось добавить информацию о ключе.");
        return kSignFailed;
    }
    dsigCtx->signKey = key.release();
    if (xmlSecCryptoAppKeyCertLoad(dsigCtx->signKey, path.c_str(), xmlSecKeyDataFormatPem) < 0) {
        SetLastError(u"10019 - Не удалось добавить информацию о сертификате.");
        return kSignFailed;
    }
    if (xmlSecKeySetName(dsigCtx->signKey, Xml(path.c_str())) < 0) {
        SetLastError(u"10021 - Не удалось установить наименование ключа.");
        return kSignFailed;
    }
    if (xmlSecDSigCtxSign(dsigCtx.get(), signNode) < 0) {
        SetLastError(u"10023 - Не удалось сформировать подпись.");
        return kSignFailed;
    }

    xmlChar* dumped = nullptr;
    int dumpedSize = 0;
    xmlDocDumpMemoryEnc(doc.get(), &dumped, &dumpedSize, "UTF-8");
    common::UniqueXmlBytes output(dumped);
    if (!output)
        throw std::bad_alloc();
    // The signing context and the document are done with once serialised.
    dsigCtx.reset();
    doc.reset();
    common::UniqueBstr result = common::Utf8ToBstr(reinterpret_cast<const char*>(output.get()));
    if (!result)
        throw std::bad_alloc();
    if (retXml)
        *retXml = result.release();
    return S_OK;
}

} // namespace trumik::pemsigner

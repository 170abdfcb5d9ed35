#include "XmlSigner.h"
#include "Messages.h"

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

void CXmlSigner::SetLastError(const common::Message& message)
{
    SetLastError(common::MessageText(message));
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
        std::u16string message = common::MessageText(messages::kException);
        if (common::UniqueBstr what = common::NarrowToBstr(e.what()))
            message += common::View(what.get());
        SetLastError(message);
        return kRefused;
    }
}

HRESULT CXmlSigner::Sign(BSTR xml, BSTR keyFile, BSTR* retXml)
{
    if (!PathFileExistsW(keyFile)) {
        SetLastError(messages::kNoKeyFile);
        return kRefused;
    }
    common::XmlOperation operation(started_, common::kOpenSSLBackend, ErrorStackId::XmlSigner, false);
    if (!operation.Ready()) {
        SetLastError(messages::kNotStarted);
        return kRefused;
    }
    operation.ReportTo(common::XmlSignerErrorCallback);

    const std::string path = common::PathToNarrow(keyFile);
    // The caller's text is needed only until the parser has its copy.
    common::UniqueXmlDoc doc = common::ParseCallerDocument(common::DocumentToUtf8Buffer(xml));
    if (!doc || !xmlDocGetRootElement(doc.get())) {
        SetLastError(messages::kNotParsed);
        return kSignFailed;
    }
    xmlNodePtr signNode = xmlSecTmplSignatureCreate(doc.get(), xmlSecTransformInclC14NGetKlass(),
                                                    xmlSecTransformRsaSha1GetKlass(), nullptr);
    if (!signNode) {
        SetLastError(messages::kNoTemplate);
        return kSignFailed;
    }
    // From here on the Signature node belongs to the document.
    xmlAddChild(xmlDocGetRootElement(doc.get()), signNode);

    xmlNodePtr refNode =
        xmlSecTmplSignatureAddReference(signNode, xmlSecTransformSha1GetKlass(), nullptr, Xml(""), nullptr);
    if (!refNode) {
        SetLastError(messages::kNoReference);
        return kSignFailed;
    }
    if (!xmlSecTmplReferenceAddTransform(refNode, xmlSecTransformEnvelopedGetKlass())) {
        SetLastError(messages::kNoTransform);
        return kSignFailed;
    }
    xmlNodePtr keyInfoNode = xmlSecTmplSignatureEnsureKeyInfo(signNode, nullptr);
    if (!keyInfoNode) {
        SetLastError(messages::kNoKeyInfoTemplate);
        return kSignFailed;
    }
    if (!xmlSecTmplKeyInfoAddKeyValue(keyInfoNode)) {
        SetLastError(messages::kNoKeyValue);
        return kSignFailed;
    }
    common::UniqueDSigCtx dsigCtx(xmlSecDSigCtxCreate(nullptr));
    if (!dsigCtx) {
        SetLastError(messages::kNoContext);
        return kSignFailed;
    }
    // The context owns the key once it is set; until then this guard does.
    common::UniqueSecKey key(
        xmlSecCryptoAppKeyLoad(path.c_str(), xmlSecKeyDataFormatPem, kKeyPassword, nullptr, nullptr));
    if (!key) {
        SetLastError(messages::kNoKey);
        return kSignFailed;
    }
    dsigCtx->signKey = key.release();
    if (xmlSecCryptoAppKeyCertLoad(dsigCtx->signKey, path.c_str(), xmlSecKeyDataFormatPem) < 0) {
        SetLastError(messages::kNoCertificate);
        return kSignFailed;
    }
    if (xmlSecKeySetName(dsigCtx->signKey, Xml(path.c_str())) < 0) {
        SetLastError(messages::kNoKeyName);
        return kSignFailed;
    }
    if (xmlSecDSigCtxSign(dsigCtx.get(), signNode) < 0) {
        SetLastError(messages::kNotSigned);
        return kSignFailed;
    }

    // The signing context and the document are done with once serialised.
    dsigCtx.reset();
    // The signed text is the caller's and the signature: room for the
    // caller's at three bytes a unit and the signature is room for it all.
    const size_t room = size_t{SysStringLen(xml)} * 3 + 8192;
    common::UniqueBstr result = common::SerializedDocument(std::move(doc), "UTF-8", room);
    if (retXml)
        *retXml = result.release();
    return S_OK;
}

} // namespace trumik::pemsigner

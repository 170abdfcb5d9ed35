// VerifyDocument: every ds:Signature of the document is verified on its own,
// with the key of the certificate in its KeyInfo, through the mscrypto
// back-end. Only what reads nothing outside the document is accepted:
// references to the document itself ("" or "#id"), the enveloped transform,
// exclusive C14N, C14N 1.0 and 1.1, the normalisation transform, and the GOST
// methods of the back-end; external references, XSLT and XPointer are not.
#include "XmlElementVerifier.h"

#include "ElementSignatures.h"
#include "Messages.h"
#include "NormalisationTransform.h"

#include "common/CallerDocument.h"
#include "common/Conversions.h"
#include "common/CryptGuards.h"
#include "common/DSigRestrictions.h"
#include "common/XmlGuards.h"
#include "common/XmlLibrary.h"

#include <wincrypt.h>

#include <libxml/tree.h>
#include <xmlsec/base64.h>
#include <xmlsec/crypto.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmltree.h>

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace trumik::exchange {

namespace {

using common::ErrorStackId;
using common::Xml;

std::u16string Utf16(const xmlChar* text)
{
    if (!text)
        return {};
    common::UniqueBstr wide = common::Utf8ToBstr(reinterpret_cast<const char*>(text));
    return std::u16string(common::View(wide.get()));
}

// The first child element of `parent` with the XML-DSig name, or null.
xmlNodePtr DSigChild(xmlNodePtr parent, const xmlChar* name)
{
    return parent ? xmlSecFindChild(parent, name, xmlSecDSigNs) : nullptr;
}

// The document-only restrictions, with the enveloped and the normalisation
// transforms.
int RestrictContext(xmlSecDSigCtxPtr ctx)
{
    if (common::RestrictToTheDocument(ctx) < 0 ||
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformEnvelopedId) < 0 ||
        xmlSecDSigCtxEnableReferenceTransform(ctx, NormalisationTransformGetKlass()) < 0)
        return -1;
    return 0;
}

// Every Reference URI is "" or "#" and a bare name: no other document, no
// XPointer expression.
bool ReferencesStayInTheDocument(xmlNodePtr signedInfo)
{
    for (xmlNodePtr child = signedInfo ? signedInfo->children : nullptr; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE || !xmlSecCheckNodeName(child, xmlSecNodeReference, xmlSecDSigNs))
            continue;
        common::UniqueXmlBytes uri(xmlGetProp(child, Xml("URI")));
        if (!uri)
            return false;
        const std::string_view text(reinterpret_cast<const char*>(uri.get()));
        if (!text.empty() && (text[0] != '#' || text.find_first_of("()/") != std::string_view::npos))
            return false;
    }
    return true;
}

// The certificate of KeyInfo/X509Data/X509Certificate, or null.
common::UniqueCertContext KeyInfoCertificate(xmlNodePtr signature)
{
    xmlNodePtr certNode = DSigChild(DSigChild(DSigChild(signature, xmlSecNodeKeyInfo), xmlSecNodeX509Data),
                                    xmlSecNodeX509Certificate);
    common::UniqueXmlBytes base64(certNode ? xmlNodeGetContent(certNode) : nullptr);
    if (!base64)
        return nullptr;
    xmlSecSize size = 0;
    if (xmlSecBase64DecodeInPlace(base64.get(), &size) < 0 || size == 0)
        return nullptr;
    return common::UniqueCertContext(
        CertCreateCertificateContext(X509_ASN_ENCODING, base64.get(), static_cast<DWORD>(size)));
}

std::u16string SubjectOf(PCCERT_CONTEXT cert)
{
    CERT_NAME_BLOB* name = &cert->pCertInfo->Subject;
    const DWORD flags = CERT_X500_NAME_STR;
    DWORD length = CertNameToStrW(X509_ASN_ENCODING, name, flags, nullptr, 0);
    if (length <= 1)
        return {};
    std::u16string text(length, u'\0');
    CertNameToStrW(X509_ASN_ENCODING, name, flags, text.data(), length);
    text.resize(length - 1);
    return text;
}

std::u16string Base64Of(PCCERT_CONTEXT cert)
{
    common::UniqueXmlBytes base64(xmlSecBase64Encode(cert->pbCertEncoded, cert->cbCertEncoded, 0));
    return Utf16(base64.get());
}

} // namespace

CXmlElementVerifier::~CXmlElementVerifier()
{
    common::ForgetLibraries(started_, ErrorStackId::XmlElementVerifier);
}

HRESULT CXmlElementVerifier::VerifyDocument(BSTR xml, VARIANT_BOOL* result)
{
    if (!result)
        return E_POINTER;
    std::lock_guard guard(lock_);
    *result = VARIANT_FALSE;
    signatures_.clear();
    record_.Reset();
    if (!xml) {
        record_.SetError(messages::kVerifyBadArguments);
        return S_FALSE;
    }
    UseNormalisationTransform();
    common::XmlOperation operation(started_, common::kMSCryptoBackend, ErrorStackId::XmlElementVerifier,
                                   true);
    if (!operation.Ready()) {
        record_.SetError(messages::kVerifyNotStarted);
        return S_FALSE;
    }
    try {
        operation.ReportTo(common::XmlElementVerifierErrorCallback);
        if (!VerifyAll(xml))
            return S_FALSE;
    } catch (const std::exception& e) {
        signatures_.clear();
        record_.PushExceptionText(e.what());
        record_.SetError(messages::kVerifyException);
        return S_FALSE;
    }
    bool all = true;
    for (const Signature& signature : signatures_)
        all = all && signature.valid;
    *result = all ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

bool CXmlElementVerifier::VerifyAll(BSTR xml)
{
    common::UniqueXmlDoc doc = common::ParseCallerText(xml);
    if (DeclaresDocumentType(doc.get(), common::View(xml))) {
        record_.SetError(messages::kVerifyDocumentType);
        return false;
    }
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root) {
        record_.SetError(messages::kVerifyNotParsed);
        return false;
    }
    RegisterUniqueIds(doc.get());
    // All signatures first: verifying one (enveloped transforms) leaves the
    // tree as it was, but the list is made before any runs.
    std::vector<xmlNodePtr> found;
    for (xmlNodePtr node = xmlSecFindNode(root, xmlSecNodeSignature, xmlSecDSigNs); node;) {
        found.push_back(node);
        // The next Signature in document order after this one's subtree.
        xmlNodePtr next = nullptr;
        for (xmlNodePtr at = node; at && !next; at = at->parent) {
            for (xmlNodePtr sibling = at->next; sibling && !next; sibling = sibling->next) {
                if (sibling->type == XML_ELEMENT_NODE)
                    next = xmlSecFindNode(sibling, xmlSecNodeSignature, xmlSecDSigNs);
            }
        }
        node = next;
    }
    if (found.empty()) {
        record_.SetError(messages::kNoSignature);
        return false;
    }
    for (xmlNodePtr signature : found)
        signatures_.push_back(VerifyOne(signature));
    return true;
}

CXmlElementVerifier::Signature CXmlElementVerifier::VerifyOne(xmlNodePtr node)
{
    Signature signature;
    xmlNodePtr signedInfo = DSigChild(node, xmlSecNodeSignedInfo);
    if (xmlNodePtr reference = DSigChild(signedInfo, xmlSecNodeReference)) {
        common::UniqueXmlBytes uri(xmlGetProp(reference, Xml("URI")));
        signature.reference = Utf16(uri.get());
    }
    common::UniqueCertContext cert = KeyInfoCertificate(node);
    if (!cert) {
        common::stacks::Push(ErrorStackId::XmlElementVerifier,
                             u"Подпись не содержит сертификата в KeyInfo/X509Data/X509Certificate.\n");
        return signature;
    }
    signature.certificate = Base64Of(cert.get());
    signature.subject = SubjectOf(cert.get());
    if (!ReferencesStayInTheDocument(signedInfo)) {
        common::stacks::Push(ErrorStackId::XmlElementVerifier,
                             u"Подпись ссылается на данные вне документа.\n");
        return signature;
    }
    common::UniqueDSigCtx context(xmlSecDSigCtxCreate(nullptr));
    if (!context || RestrictContext(context.get()) < 0)
        return signature;
    context->signKey = xmlSecCryptoAppKeyLoadMemory(cert->pbCertEncoded, cert->cbCertEncoded,
                                                    xmlSecKeyDataFormatCertDer, nullptr, nullptr, nullptr);
    if (!context->signKey)
        return signature;
    signature.valid =
        xmlSecDSigCtxVerify(context.get(), node) >= 0 && context->status == xmlSecDSigStatusSucceeded;
    return signature;
}

const CXmlElementVerifier::Signature* CXmlElementVerifier::At(LONG index)
{
    record_.Reset();
    if (index < 0 || static_cast<size_t>(index) >= signatures_.size()) {
        record_.SetError(messages::kBadIndex);
        return nullptr;
    }
    return &signatures_[static_cast<size_t>(index)];
}
HRESULT CXmlElementVerifier::SignatureCount(LONG* count)
{
    if (!count)
        return E_POINTER;
    std::lock_guard guard(lock_);
    *count = static_cast<LONG>(signatures_.size());
    return S_OK;
}

HRESULT CXmlElementVerifier::SignatureValid(LONG index, VARIANT_BOOL* valid)
{
    if (!valid)
        return E_POINTER;
    std::lock_guard guard(lock_);
    const Signature* signature = At(index);
    *valid = signature && signature->valid ? VARIANT_TRUE : VARIANT_FALSE;
    return signature ? S_OK : S_FALSE;
}

namespace {

// A text of one signature, or S_FALSE with *out null when there is none.
HRESULT CopyText(const CXmlElementVerifier::Signature* signature,
                 std::u16string CXmlElementVerifier::Signature::*field, BSTR* out)
{
    if (!signature) {
        *out = nullptr;
        return S_FALSE;
    }
    return common::CopyOut(signature->*field, out) ? S_OK : E_OUTOFMEMORY;
}

} // namespace

HRESULT CXmlElementVerifier::SignatureReference(LONG index, BSTR* uri)
{
    if (!uri)
        return E_POINTER;
    std::lock_guard guard(lock_);
    return CopyText(At(index), &Signature::reference, uri);
}

HRESULT CXmlElementVerifier::SignerCertificate(LONG index, BSTR* certificate)
{
    if (!certificate)
        return E_POINTER;
    std::lock_guard guard(lock_);
    return CopyText(At(index), &Signature::certificate, certificate);
}

HRESULT CXmlElementVerifier::SignerSubject(LONG index, BSTR* subject)
{
    if (!subject)
        return E_POINTER;
    std::lock_guard guard(lock_);
    return CopyText(At(index), &Signature::subject, subject);
}

HRESULT CXmlElementVerifier::GetLastErrorMessage(BSTR* ErrorMessage)
{
    std::lock_guard guard(lock_);
    return record_.CopyMessage(ErrorMessage);
}

HRESULT CXmlElementVerifier::GetLastErrorCode(INT* ErrorCode)
{
    std::lock_guard guard(lock_);
    return record_.CopyCode(ErrorCode);
}

HRESULT CXmlElementVerifier::GetLastErrorStack(BSTR* ErrorStack)
{
    std::lock_guard guard(lock_);
    return record_.CopyStack(ErrorStack);
}

} // namespace trumik::exchange

// SignElement: the certificate and key are found as the store signer finds
// them (thumbprint, current-user store, PIN on the key's provider), checked for
// validity now and for the digital-signature key usage; the named element is
// signed by its identifier with the methods of the key, the Signature element
// (with the certificate in KeyInfo) goes into the parent element, and its text
// is written into the caller's own text there.
#include "XmlElementSigner.h"

#include "ElementSignatures.h"
#include "Messages.h"
#include "NormalisationTransform.h"

#include "common/CallerDocument.h"
#include "common/Conversions.h"
#include "common/CryptGuards.h"
#include "common/XmlGuards.h"
#include "common/XmlLibrary.h"
#include "signer/CertLookup.h"
#include "signer/KeyMethods.h"
#include "signer/SignatureSplice.h"

#include <wincrypt.h>

#include <libxml/tree.h>
#include <libxml/valid.h>
#include <xmlsec/base64.h>
#include <xmlsec/mscrypto/certkeys.h>
#include <xmlsec/mscrypto/crypto.h>
#include <xmlsec/mscrypto/x509.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmldsig.h>

#include <exception>
#include <optional>
#include <string>

namespace trumik::exchange {

namespace {

using common::ErrorStackId;
using common::Xml;

enum class Profile { Smev3, ExcC14n };

// "smev3" when the text is null or empty.
std::optional<Profile> ProfileOf(BSTR profile)
{
    const std::u16string_view name = common::View(profile);
    if (name.empty() || name == u"smev3")
        return Profile::Smev3;
    if (name == u"exc-c14n")
        return Profile::ExcC14n;
    return std::nullopt;
}

// An identifier as UTF-8, without the NUL the conversion keeps.
std::string Utf8(BSTR text)
{
    std::string bytes = common::DocumentToUtf8(text);
    return std::string(bytes.c_str());
}

// The certificate as KeyInfo/X509Data/X509Certificate of the signature.
bool AddCertificate(xmlNodePtr signature, PCCERT_CONTEXT cert)
{
    xmlNodePtr keyInfo = xmlSecTmplSignatureEnsureKeyInfo(signature, nullptr);
    xmlNodePtr x509Data = keyInfo ? xmlSecTmplKeyInfoAddX509Data(keyInfo) : nullptr;
    xmlNodePtr certNode = x509Data ? xmlSecTmplX509DataAddCertificate(x509Data) : nullptr;
    if (!certNode)
        return false;
    common::UniqueXmlBytes base64(xmlSecBase64Encode(cert->pbCertEncoded, cert->cbCertEncoded, 0));
    if (!base64)
        return false;
    xmlNodeSetContent(certNode, base64.get());
    return true;
}

} // namespace

CXmlElementSigner::~CXmlElementSigner()
{
    common::ForgetLibraries(started_, ErrorStackId::XmlElementSigner);
}

HRESULT CXmlElementSigner::SignElement(BSTR xml, BSTR elementId, BSTR signatureParentId, BSTR storeName,
                                       BSTR thumbprint, BSTR pin, BSTR profile, BSTR* signedXml)
{
    if (!signedXml)
        return E_POINTER;
    std::lock_guard guard(lock_);
    *signedXml = nullptr;
    record_.Reset();
    if (!xml || !elementId || common::View(elementId).empty() || !storeName || !thumbprint) {
        record_.SetError(messages::kSignBadArguments);
        return S_FALSE;
    }
    const std::optional<Profile> chosen = ProfileOf(profile);
    if (!chosen) {
        record_.SetError(messages::kUnknownProfile);
        return S_FALSE;
    }
    // Known to xmlsec before the operation uses the library.
    UseNormalisationTransform();
    common::XmlOperation operation(started_, common::kMSCryptoBackend, ErrorStackId::XmlElementSigner, true);
    if (!operation.Ready()) {
        record_.SetError(messages::kSignNotStarted);
        return S_FALSE;
    }
    try {
        operation.ReportTo(common::XmlElementSignerErrorCallback);
        Request request{xml,        elementId, signatureParentId,        storeName,
                        thumbprint, pin,       *chosen == Profile::Smev3};
        common::UniqueBstr result = Sign(request);
        if (!result)
            return S_FALSE;
        *signedXml = result.release();
        return S_OK;
    } catch (const std::exception& e) {
        record_.PushExceptionText(e.what());
        record_.SetError(messages::kSignException);
        return S_FALSE;
    }
}

// The certificate, its checks and its key, ready to sign; null with the
// record set.
common::UniqueSecKey CXmlElementSigner::SigningKey(const Request& request, common::UniqueCertContext& cert,
                                                   signer::GostMethods& methods)
{
    common::UniqueStore store;
    switch (signer::LookupCertificate(request.storeName, request.thumbprint, store, cert)) {
    case signer::LookupResult::StoreNotFound:
        record_.SetError(messages::kNoStore);
        return nullptr;
    case signer::LookupResult::CertNotFound:
        record_.PushSystemErrorText();
        record_.SetError(messages::kNoCertificate);
        return nullptr;
    case signer::LookupResult::Found:
        break;
    }
    const LONG validity = CertVerifyTimeValidity(nullptr, cert->pCertInfo);
    if (validity != 0) {
        record_.SetError(validity < 0 ? messages::kNotYetValid : messages::kExpired);
        return nullptr;
    }
    BYTE usage = 0;
    if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert->pCertInfo, &usage, 1) ||
        !(usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE)) {
        record_.PushSystemErrorText();
        record_.SetError(messages::kNoDigitalSignature);
        return nullptr;
    }

    // The key data takes its own reference to the certificate.
    common::UniqueSecKeyData keyData(
        xmlSecMSCryptoCertAdopt(cert.get(), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate));
    methods = keyData ? signer::MethodsFor(keyData.get()) : signer::GostMethods{};
    if (!methods.signature) {
        record_.SetError(messages::kNoKeyData);
        return nullptr;
    }
    if (request.pin) {
        const std::string pinBytes = common::BytePerCharacter(request.pin);
        HCRYPTPROV provider = xmlSecMSCryptoKeyDataGetMSCryptoProvider(keyData.get());
        if (!CryptSetProvParam(provider, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pinBytes.c_str()),
                               0)) {
            record_.PushSystemErrorText();
            record_.SetError(messages::kPinRefused);
            return nullptr;
        }
    }
    common::UniqueSecKey key(xmlSecKeyCreate());
    if (!key || xmlSecKeySetValue(key.get(), keyData.get()) < 0) {
        record_.SetError(messages::kNoKeyData);
        return nullptr;
    }
    keyData.release(); // the key owns it now
    return key;
}

// The identifier attribute of the one element that carries it; null with the
// record set when none or several carry it.
xmlAttrPtr CXmlElementSigner::IdAttribute(xmlDocPtr doc, BSTR id, const common::Message& notFound)
{
    const std::vector<xmlAttrPtr> found = AttributesWithId(doc, Utf8(id));
    if (found.size() != 1) {
        record_.SetError(found.empty() ? notFound : messages::kElementIdTwice);
        return nullptr;
    }
    return found.front();
}

common::UniqueBstr CXmlElementSigner::Sign(const Request& request)
{
    common::UniqueCertContext cert;
    signer::GostMethods methods;
    common::UniqueSecKey key = SigningKey(request, cert, methods);
    if (!key)
        return nullptr;

    common::UniqueXmlDoc doc = common::ParseCallerText(request.xml);
    if (DeclaresDocumentType(doc.get(), common::View(request.xml))) {
        record_.SetError(messages::kSignDocumentType);
        return nullptr;
    }
    if (!doc || !xmlDocGetRootElement(doc.get())) {
        record_.SetError(messages::kSignNotParsed);
        return nullptr;
    }
    xmlAttrPtr idAttribute = IdAttribute(doc.get(), request.elementId, messages::kElementNotFound);
    if (!idAttribute)
        return nullptr;
    xmlNodePtr element = idAttribute->parent;
    const bool enveloped = common::View(request.signatureParentId).empty();
    xmlAttrPtr parentId =
        enveloped ? nullptr : IdAttribute(doc.get(), request.signatureParentId, messages::kParentNotFound);
    if (!enveloped && !parentId)
        return nullptr;
    xmlNodePtr parent = enveloped ? element : parentId->parent;
    if (request.normalise && HasElementWithoutNamespace(element)) {
        record_.SetError(messages::kNoNamespace);
        return nullptr;
    }
    // xmlsec finds the element by the identifier it is registered under; one
    // that the parser registered already for another attribute (xml:id)
    // names a second element.
    const std::string id = Utf8(request.elementId);
    xmlAttrPtr known = xmlGetID(doc.get(), Xml(id.c_str()));
    if (known && known != idAttribute) {
        record_.SetError(messages::kElementIdTwice);
        return nullptr;
    }
    if (!known)
        xmlAddID(nullptr, doc.get(), Xml(id.c_str()), idAttribute);
    const size_t parentOrdinal = ElementOrdinal(doc.get(), parent);

    // The template, as the last child of the parent.
    xmlNodePtr signature = xmlSecTmplSignatureCreateNsPref(doc.get(), xmlSecTransformExclC14NGetKlass(),
                                                           methods.signature, nullptr, Xml("ds"));
    if (!signature) {
        record_.SetError(messages::kNotSigned);
        return nullptr;
    }
    if (!xmlAddChild(parent, signature)) {
        xmlFreeNode(signature);
        record_.SetError(messages::kNotSigned);
        return nullptr;
    }
    const std::string uri = "#" + id;
    xmlNodePtr reference =
        xmlSecTmplSignatureAddReference(signature, methods.digest, nullptr, Xml(uri.c_str()), nullptr);
    bool transformsAdded =
        reference &&
        (!enveloped || xmlSecTmplReferenceAddTransform(reference, xmlSecTransformEnvelopedGetKlass())) &&
        xmlSecTmplReferenceAddTransform(reference, xmlSecTransformExclC14NGetKlass()) &&
        (!request.normalise || xmlSecTmplReferenceAddTransform(reference, NormalisationTransformGetKlass()));
    common::UniqueDSigCtx context(transformsAdded ? xmlSecDSigCtxCreate(nullptr) : nullptr);
    if (!context) {
        record_.SetError(messages::kNotSigned);
        return nullptr;
    }
    context->signKey = key.release(); // the context owns the key now
    if (xmlSecDSigCtxSign(context.get(), signature) < 0 || !AddCertificate(signature, cert.get())) {
        record_.SetError(messages::kNotSigned);
        return nullptr;
    }

    const std::u16string signatureText = signer::ElementText(signature);
    common::UniqueBstr result = signatureText.empty() ? nullptr
                                                      : signer::SpliceSignature(common::View(request.xml),
                                                                                signatureText, parentOrdinal);
    if (!result)
        record_.SetError(messages::kNotSigned);
    return result;
}

HRESULT CXmlElementSigner::GetLastErrorMessage(BSTR* ErrorMessage)
{
    std::lock_guard guard(lock_);
    return record_.CopyMessage(ErrorMessage);
}

HRESULT CXmlElementSigner::GetLastErrorCode(INT* ErrorCode)
{
    std::lock_guard guard(lock_);
    return record_.CopyCode(ErrorCode);
}

HRESULT CXmlElementSigner::GetLastErrorStack(BSTR* ErrorStack)
{
    std::lock_guard guard(lock_);
    return record_.CopyStack(ErrorStack);
}

} // namespace trumik::exchange

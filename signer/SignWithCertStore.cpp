// SignWithCertStore and SignWithCertStorePass of CMSXmlSigner: the signing
// core makes an enveloped GOST R 34.10-2001 signature over the whole document
// with the key of a store certificate (with the AcceptGost2012 switch on, a
// GOST R 34.10-2012 one for a certificate with a 2012 key); the new Signature
// element is then written into the caller's own text.
#include "MSXmlSigner.h"

#include "CertLookup.h"
#include "KeyMethods.h"
#include "Messages.h"

#include "common/CallerDocument.h"
#include "common/Conversions.h"
#include "common/Gost2012.h"
#include "common/KeyPin.h"
#include "common/XmlGuards.h"
#include "common/XmlLibrary.h"

#include <wincrypt.h>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/keys.h>
#include <xmlsec/mscrypto/certkeys.h>
#include <xmlsec/mscrypto/crypto.h>
#include <xmlsec/mscrypto/x509.h>
#include <xmlsec/strings.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace trumik::signer {

namespace {

using common::ErrorStackId;

using common::Xml;
using UniqueDoc = common::UniqueXmlDoc;

// Store names as UTF-8 for the key's name.
std::string Utf8(BSTR text)
{
    const int units = static_cast<int>(SysStringLen(text));
    if (units == 0)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, units, out.data(), size, nullptr, nullptr);
    return out;
}

} // namespace

CMSXmlSigner::~CMSXmlSigner()
{
    common::ForgetLibraries(started_, ErrorStackId::MSXmlSigner);
}

bool CMSXmlSigner::SignCore(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR password, BSTR* result)
{
    record_.Reset();
    if (!xml || !certStoreName || !certHashString) {
        record_.SetError(messages::kBadArguments);
        return false;
    }
    common::XmlOperation operation(started_, common::kMSCryptoBackend, ErrorStackId::MSXmlSigner, true);
    if (!operation.Ready()) {
        record_.SetError(messages::kNotStarted);
        return false;
    }
    try {
        if (result)
            *result = nullptr;
        operation.ReportTo(common::MSXmlSignerErrorCallback);
        return Core(xml, certStoreName, certHashString, password, result);
    } catch (const std::exception& e) {
        record_.PushExceptionText(e.what());
        record_.SetError(messages::kSigningException);
        return false;
    }
}

bool CMSXmlSigner::Core(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR password, BSTR* result)
{
    // Everything below is released on every path by these guards, in the
    // reverse order of their declaration.
    UniqueStore store;
    UniqueCertContext cert;
    switch (LookupCertificate(certStoreName, certHashString, store, cert)) {
    case LookupResult::StoreNotFound:
        record_.SetError(messages::kNoStore);
        return false;
    case LookupResult::CertNotFound:
        record_.PushSystemErrorText();
        record_.SetError(messages::kNoCertificate);
        return false;
    case LookupResult::Found:
        break;
    }

    VARIANT_BOOL passed = VARIANT_FALSE;
    VerifyCertUsingCertStore(certStoreName, certHashString, &passed, 0);
    if (!passed)
        return false;

    const char* oid = cert->pCertInfo->SignatureAlgorithm.pszObjId;
    const std::string algorithm = oid ? oid : "";
    const bool acceptGost2012 = common::AcceptGost2012();

    // The key data takes its own reference to the certificate; ours is
    // released with the store at the end.
    common::UniqueSecKeyData keyData(
        xmlSecMSCryptoCertAdopt(cert.get(), xmlSecKeyDataTypePublic | xmlSecKeyDataTypePrivate));
    if (!keyData) {
        record_.SetError(messages::kNoKeyData);
        return false;
    }
    // Without the switch only a GOST R 34.10-2001 key signs, as before the
    // back-end knew the 2012 keys.
    const GostMethods methods = MethodsFor(keyData.get());
    if (!methods.signature || (!acceptGost2012 && !methods.gost2001)) {
        record_.SetError(messages::kNoKeyData);
        return false;
    }

    if (password) {
        // The provider checks the PIN here: a wrong one is refused now, not
        // when the key signs.
        if (!common::SetKeyPin(xmlSecMSCryptoKeyDataGetMSCryptoProvider(keyData.get()), password)) {
            record_.PushSystemErrorText();
            record_.SetError(messages::kPinRefused);
            return false;
        }
    }

    // Offered as X.509 data too, where the key data is X.509 data; each takes
    // its own reference when it accepts. Nothing later depends on them, and
    // key data of another kind would only fill the stack with refusals.
    if (xmlSecKeyDataCheckId(keyData.get(), xmlSecMSCryptoKeyDataX509Id)) {
        xmlSecMSCryptoKeyDataX509AdoptCert(keyData.get(), cert.get());
        xmlSecMSCryptoKeyDataX509AdoptKeyCert(keyData.get(), cert.get());
    }

    common::UniqueSecKey key(xmlSecKeyCreate());
    if (!key) {
        record_.SetError(messages::kNoKey);
        return false;
    }
    if (xmlSecKeySetValue(key.get(), keyData.get()) >= 0)
        keyData.release(); // the key owns it now

    common::UniqueXmlDoc doc = common::ParseCallerText(xml);
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root) {
        record_.SetError(messages::kNotParsed);
        return false;
    }

    if (!common::IsGostSignatureAlgorithm(algorithm.c_str(), acceptGost2012)) {
        record_.SetError(messages::kSigningNotGost);
        return false;
    }

    xmlNodePtr signNode =
        xmlSecTmplSignatureCreate(doc.get(), xmlSecTransformInclC14NGetKlass(), methods.signature, nullptr);
    if (!signNode) {
        record_.SetError(messages::kNoTemplate);
        return false;
    }
    // From here on the Signature element belongs to the document.
    if (!xmlAddChild(root, signNode)) {
        xmlFreeNode(signNode);
        record_.SetError(messages::kNoTemplate);
        return false;
    }
    xmlNodePtr refNode = xmlSecTmplSignatureAddReference(signNode, methods.digest, nullptr, Xml(""), nullptr);
    if (!refNode) {
        record_.SetError(messages::kNoReference);
        return false;
    }
    if (!xmlSecTmplReferenceAddTransform(refNode, xmlSecTransformEnvelopedGetKlass())) {
        record_.SetError(messages::kNoTransform);
        return false;
    }

    common::UniqueDSigCtx dsigCtx(xmlSecDSigCtxCreate(nullptr));
    if (!dsigCtx) {
        record_.SetError(messages::kNoContext);
        return false;
    }
    dsigCtx->signKey = key.release(); // the context owns the key now

    if (xmlSecKeySetName(dsigCtx->signKey, Xml(Utf8(certStoreName).c_str())) < 0) {
        record_.SetError(messages::kNoKeyName);
        return false;
    }
    if (xmlSecDSigCtxSign(dsigCtx.get(), signNode) < 0) {
        record_.SetError(messages::kNotSigned);
        return false;
    }

    if (doc->encoding)
        xmlFree(const_cast<xmlChar*>(doc->encoding));
    doc->encoding = xmlStrdup(Xml("UTF-8"));
    dsigCtx.reset();
    if (keepCoreDocument_) {
        // The signing methods take the signature from the document itself and
        // serialise the whole only when the caller is to get it.
        coreDocument_ = std::move(doc);
        return true;
    }
    common::UniqueBstr text = common::SerializedDocument(doc.get());
    if (result)
        *result = text.release();
    return true;
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
        record_.SetError(messages::kRebuildException);
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
    *retXml = common::SerializedDocument(coreDocument_.get()).release();
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
        record_.SetError(messages::kSignedNotParsed);
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
        record_.SetError(messages::kSignatureNotFound);
        HandOverCoreDocument(retXml);
        return;
    }
    // A copy, so that the core's document stays whole for the caller should
    // the rebuilding still fail.
    const std::u16string s = ElementText(signature);
    if (s.empty()) {
        record_.SetError(messages::kSignatureNotFound);
        HandOverCoreDocument(retXml);
        return;
    }

    common::UniqueBstr replacement = SpliceSignature(xml, s);
    SysFreeString(*retXml);
    *retXml = replacement.release();
}

} // namespace trumik::signer

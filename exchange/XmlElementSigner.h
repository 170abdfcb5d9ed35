// CXmlElementSigner: a signature over one element of a document, referenced by
// its Id, with exclusive C14N and (profile "smev3") the normalisation
// transform, made with the key of a certificate from a current-user store and
// put into an element the caller names, or enveloped in the signed element.
#pragma once

#include <oleauto.h>

#include "common/Bstr.h"
#include "common/CryptGuards.h"
#include "common/ErrorState.h"
#include "common/XmlGuards.h"
#include "signer/KeyMethods.h"

#include <libxml/tree.h>

#include <mutex>

namespace trumik::exchange {

class CXmlElementSigner {
  public:
    CXmlElementSigner() : record_(common::ErrorStackId::XmlElementSigner) {}
    ~CXmlElementSigner();
    CXmlElementSigner(const CXmlElementSigner&) = delete;
    CXmlElementSigner& operator=(const CXmlElementSigner&) = delete;

    // S_OK with *signedXml set when signed; S_FALSE with the error record set
    // (and *signedXml null) when not.
    HRESULT SignElement(BSTR xml, BSTR elementId, BSTR signatureParentId, BSTR storeName, BSTR thumbprint,
                        BSTR pin, BSTR profile, BSTR* signedXml);
    HRESULT GetLastErrorMessage(BSTR* ErrorMessage);
    HRESULT GetLastErrorCode(INT* ErrorCode);
    HRESULT GetLastErrorStack(BSTR* ErrorStack);

  private:
    struct Request {
        BSTR xml, elementId, signatureParentId, storeName, thumbprint, pin;
        bool normalise; // profile "smev3"
    };
    common::UniqueBstr Sign(const Request& request);
    common::UniqueSecKey SigningKey(const Request& request, common::UniqueCertContext& cert,
                                    signer::GostMethods& methods);
    xmlNodePtr ElementWithId(xmlDocPtr doc, BSTR id, const common::Message& notFound);

    // Registered "both": calls on one object from several threads take turns.
    std::mutex lock_;
    common::ErrorRecord record_;
    VARIANT_BOOL started_ = VARIANT_FALSE;
};

} // namespace trumik::exchange

// CXmlElementVerifier: verifies every XML-DSig signature of a document (element
// signatures of the exchange profile among them) with the certificate each
// carries in its KeyInfo, and keeps per signature its verdict, reference and
// signer for the caller, whose decision trust is.
#pragma once

#include <oleauto.h>

#include "common/ErrorState.h"

#include <libxml/tree.h>

#include <mutex>
#include <string>
#include <vector>

namespace trumik::exchange {

class CXmlElementVerifier {
  public:
    CXmlElementVerifier() : record_(common::ErrorStackId::XmlElementVerifier) {}
    ~CXmlElementVerifier();
    CXmlElementVerifier(const CXmlElementVerifier&) = delete;
    CXmlElementVerifier& operator=(const CXmlElementVerifier&) = delete;

    // *result true only when the document holds at least one signature and
    // every one verifies. S_OK when the document was read (whatever the
    // verdict), S_FALSE with the error record set when not.
    HRESULT VerifyDocument(BSTR xml, VARIANT_BOOL* result);
    // The signatures of the last VerifyDocument, in document order, from 0.
    HRESULT SignatureCount(LONG* count);
    HRESULT SignatureValid(LONG index, VARIANT_BOOL* valid);
    HRESULT SignatureReference(LONG index, BSTR* uri);
    HRESULT SignerCertificate(LONG index, BSTR* certificate);
    HRESULT SignerSubject(LONG index, BSTR* subject);
    HRESULT GetLastErrorMessage(BSTR* ErrorMessage);
    HRESULT GetLastErrorCode(INT* ErrorCode);
    HRESULT GetLastErrorStack(BSTR* ErrorStack);

    struct Signature {
        bool valid = false;
        std::u16string reference;   // the URI of its (first) reference
        std::u16string certificate; // Base64 DER of the KeyInfo certificate
        std::u16string subject;     // its subject as text
    };

  private:
    // Reads the document and verifies each signature into signatures_;
    // false with the record set when the document cannot be read or holds no
    // signature.
    bool VerifyAll(BSTR xml);
    Signature VerifyOne(xmlNodePtr signature);
    // The signature at index, or null with the record set.
    const Signature* At(LONG index);

    std::mutex lock_;
    common::ErrorRecord record_;
    VARIANT_BOOL started_ = VARIANT_FALSE;
    std::vector<Signature> signatures_;
};

} // namespace trumik::exchange

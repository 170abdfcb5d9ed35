// CXmlSigner: enveloped RSA-SHA1 signatures with a key and certificate from
// one PEM file, through the security library's openssl back-end.
#pragma once

#include <oleauto.h>

#include "common/Bstr.h"
#include "common/Messages.h"

#include <mutex>
#include <string_view>

namespace trumik::pemsigner {

// Status values of SignWithKey besides S_OK.
inline constexpr HRESULT kRefused = 1;     // refused before signing, or stopped by an exception
inline constexpr HRESULT kSignFailed = -1; // a signing step failed

class CXmlSigner {
  public:
    CXmlSigner() = default;
    ~CXmlSigner();
    CXmlSigner(const CXmlSigner&) = delete;
    CXmlSigner& operator=(const CXmlSigner&) = delete;

    // Signs xml with the key and certificate of the PEM file keyFile; retXml
    // receives the signed document only on success.
    HRESULT SignWithKey(BSTR xml, BSTR keyFile, BSTR* retXml);
    // The last error message with the library's reports, cut to 2000 characters.
    HRESULT SignFGetLastError(BSTR* ErrorMessage);

    VARIANT_BOOL LibraryStarted() const { return started_; }

  private:
    // The message becomes text followed by the signer error text.
    void SetLastError(std::u16string_view text);
    void SetLastError(const common::Message& message);
    HRESULT Sign(BSTR xml, BSTR keyFile, BSTR* retXml);

    // The class is registered for both threading models, so a host may call
    // one object from several threads: its calls take turns.
    std::mutex lock_;
    common::UniqueBstr message_;
    VARIANT_BOOL started_ = VARIANT_FALSE;
};

} // namespace trumik::pemsigner

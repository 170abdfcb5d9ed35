// CCmsSigner: CMS SignedData with the CAdES-BES attributes for hosts, as byte
// arrays or Base64 text: signing attached or detached with a store
// certificate's GOST key, adding a signer, and verifying every signer, whose
// verdicts, certificates, subjects and signing times the object then keeps
// for the caller, whose decision trust is.
#pragma once

#include <oleauto.h>

#include "common/ErrorState.h"
#include "exchange/cms/CmsOperations.h"

#include <mutex>

namespace trumik::exchange::cms {

class CCmsSigner {
  public:
    CCmsSigner() : record_(common::ErrorStackId::CmsSigner) {}
    CCmsSigner(const CCmsSigner&) = delete;
    CCmsSigner& operator=(const CCmsSigner&) = delete;

    // The signing methods: S_OK with the result, or S_FALSE with the error
    // record set and nothing written.
    HRESULT Sign(VARIANT* data, BSTR storeName, BSTR thumbprint, BSTR pin, VARIANT_BOOL detached,
                 VARIANT* signedData);
    HRESULT SignText(BSTR base64Data, BSTR storeName, BSTR thumbprint, BSTR pin, VARIANT_BOOL detached,
                     BSTR* signedData);
    HRESULT CoSign(VARIANT* signedData, VARIANT* data, BSTR storeName, BSTR thumbprint, BSTR pin,
                   VARIANT* result);
    // *result true only when there is a signer and every one holds. S_OK
    // when the message was read (whatever the verdict; a signer that could
    // not be checked leaves its message in the record), S_FALSE when not.
    HRESULT Verify(VARIANT* signedData, VARIANT* data, VARIANT_BOOL* result);
    // The signers of the last Verify, from 0.
    HRESULT SignerCount(LONG* count);
    HRESULT SignerValid(LONG index, VARIANT_BOOL* valid);
    HRESULT SignerCertificate(LONG index, BSTR* certificate);
    HRESULT SignerSubject(LONG index, BSTR* subject);
    HRESULT SigningTime(LONG index, DATE* time);
    // The attached content of the last verified message.
    HRESULT Content(VARIANT* content);
    HRESULT GetLastErrorMessage(BSTR* ErrorMessage);
    HRESULT GetLastErrorCode(INT* ErrorCode);
    HRESULT GetLastErrorStack(BSTR* ErrorStack);

  private:
    // Signs bytes into *out; false with the record set.
    bool SignBytes(const BYTE* data, size_t size, BSTR storeName, BSTR thumbprint, BSTR pin, bool detached,
                   Bytes* out);
    // Puts a failed outcome into the record; returns S_FALSE.
    HRESULT Failed(const Outcome& outcome);
    const SignerResult* At(LONG index);

    std::mutex lock_;
    common::ErrorRecord record_;
    Verification verification_;
};

} // namespace trumik::exchange::cms

// The automation object of CMSXmlVerifier.
#pragma once

#include "ComObject.h"
#include "ZelvaneTrumikXmlSigner.h"

#include "verifier/MSXmlVerifier.h"

namespace trumik::server {

extern const DispTable kMSXmlVerifierTable;

class MSXmlVerifierObject final : public DualObject<IMSXmlVerifier> {
  public:
    explicit MSXmlVerifierObject(IUnknown* outer)
        : DualObject(outer, CLSID_CMSXmlVerifier, IID_IMSXmlVerifier, kMSXmlVerifierTable)
    {
    }

    HRESULT STDMETHODCALLTYPE VerifyUsingCertFile(BSTR signedXml, BSTR certFilePath,
                                                  VARIANT_BOOL* result) override
    {
        return verifier_.VerifyUsingCertFile(signedXml, certFilePath, result);
    }
    HRESULT STDMETHODCALLTYPE VerifyUsingCertFileWoCert(BSTR signedXml, BSTR certFilePath,
                                                        VARIANT_BOOL* result) override
    {
        return verifier_.VerifyUsingCertFileWoCert(signedXml, certFilePath, result);
    }
    HRESULT STDMETHODCALLTYPE VerifyUsingCertFileAndDate(BSTR signedXml, BSTR certFilePath, DATE CheckDate,
                                                         VARIANT_BOOL* result) override
    {
        return verifier_.VerifyUsingCertFileAndDate(signedXml, certFilePath, CheckDate, result);
    }
    HRESULT STDMETHODCALLTYPE VerifyCertTimeValidityUsingCertFile(BSTR certFilePath,
                                                                  VARIANT_BOOL* result) override
    {
        return verifier_.VerifyCertTimeValidityUsingCertFile(certFilePath, result);
    }
    HRESULT STDMETHODCALLTYPE VerifyCertIsGOSTUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result) override
    {
        return verifier_.VerifyCertIsGOSTUsingCertFile(certFilePath, result);
    }
    HRESULT STDMETHODCALLTYPE VerifyCertUsageUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result) override
    {
        return verifier_.VerifyCertUsageUsingCertFile(certFilePath, result);
    }
    HRESULT STDMETHODCALLTYPE SignGetLastError(BSTR* ErrorMessage) override
    {
        return verifier_.SignGetLastError(ErrorMessage);
    }
    HRESULT STDMETHODCALLTYPE SignGetLastErrorCode(INT* ErrorCode) override
    {
        return verifier_.SignGetLastErrorCode(ErrorCode);
    }
    HRESULT STDMETHODCALLTYPE SignGetLastErrorStack(BSTR* ErrorStack) override
    {
        return verifier_.SignGetLastErrorStack(ErrorStack);
    }
    HRESULT STDMETHODCALLTYPE VerifyCertTimeValidityUsingCertFileAndDate(BSTR certFilePath, DATE CheckDate,
                                                                         VARIANT_BOOL* result) override
    {
        return verifier_.VerifyCertTimeValidityUsingCertFileAndDate(certFilePath, CheckDate, result);
    }

  private:
    // Empties the class's stack at release when this object started the
    // libraries, before the base lowers the module lock count.
    verifier::CMSXmlVerifier verifier_;
};

} // namespace trumik::server

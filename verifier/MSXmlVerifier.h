// CMSXmlVerifier: checks of a certificate file (validity period, GOST
// signature algorithm, key usage, revocation) and verification of enveloped
// XML signatures against a certificate file's key, through the security
// library's mscrypto back-end.
#pragma once

#include <oleauto.h>

#include "common/ErrorState.h"
#include "common/XmlLibrary.h"

namespace trumik::verifier {

// Status of a check or verification that failed before its verdict.
inline constexpr HRESULT kFailed = 1; // S_FALSE

class CMSXmlVerifier {
  public:
    // The back-end is "mscrypto"; another name serves only tests that drive
    // the verification steps with a stock back-end.
    explicit CMSXmlVerifier(const char* backend = common::kMSCryptoBackend) : backend_(backend) {}
    virtual ~CMSXmlVerifier();
    CMSXmlVerifier(const CMSXmlVerifier&) = delete;
    CMSXmlVerifier& operator=(const CMSXmlVerifier&) = delete;

    // The interface methods, in slot order.
    virtual HRESULT VerifyUsingCertFile(BSTR signedXml, BSTR certFilePath, VARIANT_BOOL* result);
    virtual HRESULT VerifyUsingCertFileWoCert(BSTR signedXml, BSTR certFilePath, VARIANT_BOOL* result);
    virtual HRESULT VerifyUsingCertFileAndDate(BSTR signedXml, BSTR certFilePath, DATE CheckDate,
                                               VARIANT_BOOL* result);
    virtual HRESULT VerifyCertTimeValidityUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result);
    virtual HRESULT VerifyCertIsGOSTUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result);
    virtual HRESULT VerifyCertUsageUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result);
    virtual HRESULT SignGetLastError(BSTR* ErrorMessage);
    virtual HRESULT SignGetLastErrorCode(INT* ErrorCode);
    virtual HRESULT SignGetLastErrorStack(BSTR* ErrorStack);
    virtual HRESULT VerifyCertTimeValidityUsingCertFileAndDate(BSTR certFilePath, DATE CheckDate,
                                                               VARIANT_BOOL* result);

    // Class operations outside the interface. The chains run the single
    // checks through the virtual table and stop at the first that fails.
    virtual HRESULT VerifyCertUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result);
    virtual HRESULT VerifyCertUsingCertFileAndDate(BSTR certFilePath, DATE CheckDate, VARIANT_BOOL* result);
    virtual HRESULT VerifyCertRevocationUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result);

    const common::ErrorRecord& Record() const { return record_; }
    VARIANT_BOOL LibraryStarted() const { return started_; }

  private:
    enum class CertCheck { Certificate, CertificateAtDate, None };
    HRESULT Verify(BSTR signedXml, BSTR certFilePath, CertCheck check, DATE checkDate, VARIANT_BOOL* result);
    void VerifyDocument(BSTR signedXml, BSTR certFilePath, VARIANT_BOOL* result);
    // The GOST and usage checks after the time check's status and answer;
    // `result` becomes true only when every check wrote true.
    HRESULT ChainAfterTime(HRESULT hr, VARIANT_BOOL passed, BSTR certFilePath, VARIANT_BOOL* result);

    common::ErrorRecord record_{common::ErrorStackId::MSXmlVerifier};
    VARIANT_BOOL started_ = VARIANT_FALSE;
    const char* backend_;
};

} // namespace trumik::verifier

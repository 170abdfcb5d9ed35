// CMSXmlSigner: enveloped GOST R 34.10-2001 signatures (and, with the
// AcceptGost2012 switch on, GOST R 34.10-2012 ones) with the key of a
// certificate from a current-user system store, through the security
// library's mscrypto back-end, and the checks of such a certificate.
#pragma once

#include <oleauto.h>

#include "common/Bstr.h"
#include "common/ErrorState.h"
#include "common/XmlGuards.h"
#include "signer/SignatureSplice.h"

#include <string>
#include <string_view>

namespace trumik::signer {

class CMSXmlSigner {
  public:
    CMSXmlSigner() : record_(common::ErrorStackId::MSXmlSigner) {}
    // Empties the class's stack when this object had started the libraries.
    virtual ~CMSXmlSigner();
    CMSXmlSigner(const CMSXmlSigner&) = delete;
    CMSXmlSigner& operator=(const CMSXmlSigner&) = delete;

    // The automation methods of IMSXmlSigner. S_OK when the signing core
    // succeeded, S_FALSE when it failed; the outcome is in the error record.
    HRESULT SignWithCertStore(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR* retXml);
    HRESULT SignWithCertStorePass(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR password,
                                  BSTR* retXml);
    HRESULT SignGetLastError(BSTR* ErrorMessage) { return record_.CopyMessage(ErrorMessage); }
    HRESULT SignGetLastErrorCode(INT* ErrorCode) { return record_.CopyCode(ErrorCode); }
    HRESULT SignGetLastErrorStack(BSTR* ErrorStack) { return record_.CopyStack(ErrorStack); }

    // The signing core: signs xml with the certificate's key (with the PIN
    // password when it is not null) and hands the whole signed document,
    // serialised as UTF-8, to *result. False with the error record set.
    virtual bool SignCore(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR password, BSTR* result);

    // The store certificate checks: status 0 with *result true on pass, 1 on
    // fail. The last argument is not used.
    virtual HRESULT VerifyCertTimeValidityUsingCertStore(BSTR storeName, BSTR certHashString,
                                                         VARIANT_BOOL* result, LONG reserved);
    virtual HRESULT VerifyCertTimeValidityUsingCertStoreAndDate(BSTR storeName, BSTR certHashString,
                                                                DATE checkDate, VARIANT_BOOL* result,
                                                                LONG reserved);
    virtual HRESULT VerifyCertIsGOSTUsingCertStore(BSTR storeName, BSTR certHashString, VARIANT_BOOL* result,
                                                   LONG reserved);
    virtual HRESULT VerifyCertUsageUsingCertStore(BSTR storeName, BSTR certHashString, VARIANT_BOOL* result,
                                                  LONG reserved);
    // Time now, GOST, key usage; stops at the first failing check.
    virtual HRESULT VerifyCertUsingCertStore(BSTR storeName, BSTR certHashString, VARIANT_BOOL* result,
                                             LONG reserved);
    // Time at the date, GOST, key usage; stops at the first failing check.
    virtual HRESULT VerifyCertUsingCertStoreAndDate(BSTR storeName, BSTR certHashString, DATE checkDate,
                                                    VARIANT_BOOL* result, LONG reserved);

    const common::ErrorRecord& Record() const { return record_; }
    VARIANT_BOOL LibraryStarted() const { return started_; }

  private:
    enum class Check { Time, Gost, Usage };
    // One single check: lookup, test, release; date is null for "now".
    HRESULT RunCheck(Check check, BSTR storeName, BSTR certHashString, const DATE* date,
                     VARIANT_BOOL* result);
    // The rest of a chain once the time check has run: GOST, then key usage,
    // through the object.
    HRESULT ChainAfterTime(VARIANT_BOOL timePassed, BSTR storeName, BSTR certHashString, VARIANT_BOOL* result,
                           LONG reserved);
    HRESULT Sign(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR password, BSTR* retXml);
    bool Core(BSTR xml, BSTR certStoreName, BSTR certHashString, BSTR password, BSTR* result);
    void Rebuild(std::u16string_view xml, BSTR* retXml);
    // Hands the core's kept document to *retXml, where the rebuilding does
    // not replace it.
    void HandOverCoreDocument(BSTR* retXml);

    common::ErrorRecord record_;
    VARIANT_BOOL started_ = VARIANT_FALSE;
    // While Sign runs, the core keeps its signed document here instead of
    // serialising it: the rebuilding takes the new Signature element from it,
    // and only a failed rebuilding hands the whole document to the caller as
    // text. A core that gives text (coreDocument_ empty) is read back from it.
    bool keepCoreDocument_ = false;
    common::UniqueXmlDoc coreDocument_;
};

} // namespace trumik::signer

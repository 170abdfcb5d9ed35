// The store certificate checks of CMSXmlSigner: time validity (now or at a
// date), a GOST signature algorithm and the signing key usages, one by one or
// chained.
#include "MSXmlSigner.h"

#include "CertLookup.h"
#include "Messages.h"

#include "common/Conversions.h"
#include "common/Gost2012.h"
#include "common/XmlLibrary.h"

#include <winbase.h>
#include <wincrypt.h>

#include <exception>

namespace trumik::signer {

// ---------------------------------------------------------------------------
// Store certificate checks

HRESULT CMSXmlSigner::RunCheck(Check check, BSTR storeName, BSTR certHashString, const DATE* date,
                               VARIANT_BOOL* result)
{
    const messages::CheckFamily& family = check == Check::Time   ? messages::kTimeChecks
                                          : check == Check::Gost ? messages::kGostChecks
                                                                 : messages::kUsageChecks;
    record_.Reset();
    try {
        if (!storeName || !certHashString) {
            record_.SetError(family.arguments);
            return S_FALSE;
        }
        if (result)
            *result = VARIANT_FALSE;
        UniqueStore store;
        UniqueCertContext cert;
        switch (LookupCertificate(storeName, certHashString, store, cert)) {
        case LookupResult::StoreNotFound:
            record_.PushSystemErrorText();
            record_.SetError(family.store);
            return S_FALSE;
        case LookupResult::CertNotFound:
            record_.PushSystemErrorText();
            record_.SetError(family.certificate);
            return S_FALSE;
        case LookupResult::Found:
            break;
        }

        bool pass = false;
        switch (check) {
        case Check::Time: {
            FILETIME when{};
            bool converted = true;
            if (date) {
                SYSTEMTIME system{};
                if (!VariantTimeToSystemTime(*date, &system)) {
                    record_.SetError(messages::kDateNotConverted);
                    converted = false;
                } else if (!SystemTimeToFileTime(&system, &when)) {
                    record_.SetError(messages::kDateNotFileTime);
                    converted = false;
                }
            }
            if (converted) {
                const LONG validity = CertVerifyTimeValidity(date ? &when : nullptr, cert->pCertInfo);
                if (validity < 0)
                    record_.SetError(messages::kNotYetValid);
                else if (validity > 0)
                    record_.SetError(messages::kExpired);
                else
                    pass = true;
            }
            break;
        }
        case Check::Gost: {
            if (common::IsGostSignatureAlgorithm(cert->pCertInfo->SignatureAlgorithm.pszObjId,
                                                 common::AcceptGost2012()))
                pass = true;
            else
                record_.SetError(messages::kCheckNotGost);
            break;
        }
        case Check::Usage: {
            BYTE usage = 0;
            if (!CertGetIntendedKeyUsage(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert->pCertInfo, &usage,
                                         1)) {
                record_.PushSystemErrorText();
                record_.SetError(messages::kNoKeyUsage);
            } else if ((usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE) &&
                       (usage & CERT_NON_REPUDIATION_KEY_USAGE)) {
                pass = true;
            } else {
                record_.SetError(messages::kWrongKeyUsage);
            }
            break;
        }
        }
        cert.reset();
        store.reset();
        if (result)
            *result = pass ? VARIANT_TRUE : VARIANT_FALSE;
        return pass ? S_OK : S_FALSE;
    } catch (const std::exception& e) {
        record_.PushExceptionText(e.what());
        record_.SetError(family.exception);
        return S_FALSE;
    }
}

HRESULT CMSXmlSigner::VerifyCertTimeValidityUsingCertStore(BSTR storeName, BSTR certHashString,
                                                           VARIANT_BOOL* result, LONG)
{
    return RunCheck(Check::Time, storeName, certHashString, nullptr, result);
}

HRESULT CMSXmlSigner::VerifyCertTimeValidityUsingCertStoreAndDate(BSTR storeName, BSTR certHashString,
                                                                  DATE checkDate, VARIANT_BOOL* result, LONG)
{
    return RunCheck(Check::Time, storeName, certHashString, &checkDate, result);
}

HRESULT CMSXmlSigner::VerifyCertIsGOSTUsingCertStore(BSTR storeName, BSTR certHashString,
                                                     VARIANT_BOOL* result, LONG)
{
    return RunCheck(Check::Gost, storeName, certHashString, nullptr, result);
}

HRESULT CMSXmlSigner::VerifyCertUsageUsingCertStore(BSTR storeName, BSTR certHashString, VARIANT_BOOL* result,
                                                    LONG)
{
    return RunCheck(Check::Usage, storeName, certHashString, nullptr, result);
}

HRESULT CMSXmlSigner::VerifyCertUsingCertStore(BSTR storeName, BSTR certHashString, VARIANT_BOOL* result,
                                               LONG reserved)
{
    if (result)
        *result = VARIANT_FALSE;
    VARIANT_BOOL passed = VARIANT_FALSE;
    VerifyCertTimeValidityUsingCertStore(storeName, certHashString, &passed, reserved);
    return ChainAfterTime(passed, storeName, certHashString, result, reserved);
}

HRESULT CMSXmlSigner::VerifyCertUsingCertStoreAndDate(BSTR storeName, BSTR certHashString, DATE checkDate,
                                                      VARIANT_BOOL* result, LONG reserved)
{
    if (result)
        *result = VARIANT_FALSE;
    VARIANT_BOOL passed = VARIANT_FALSE;
    VerifyCertTimeValidityUsingCertStoreAndDate(storeName, certHashString, checkDate, &passed, reserved);
    return ChainAfterTime(passed, storeName, certHashString, result, reserved);
}

HRESULT CMSXmlSigner::ChainAfterTime(VARIANT_BOOL timePassed, BSTR storeName, BSTR certHashString,
                                     VARIANT_BOOL* result, LONG reserved)
{
    if (!timePassed)
        return S_FALSE;
    VARIANT_BOOL passed = VARIANT_FALSE;
    VerifyCertIsGOSTUsingCertStore(storeName, certHashString, &passed, reserved);
    if (!passed)
        return S_FALSE;
    passed = VARIANT_FALSE;
    VerifyCertUsageUsingCertStore(storeName, certHashString, &passed, reserved);
    if (!passed)
        return S_FALSE;
    if (result)
        *result = VARIANT_TRUE;
    return S_OK;
}

} // namespace trumik::signer

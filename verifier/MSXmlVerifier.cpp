#include "MSXmlVerifier.h"
#include "Messages.h"
#include "XPathLimit.h"

#include "common/CallerDocument.h"
#include "common/Conversions.h"
#include "common/CryptGuards.h"
#include "common/DSigRestrictions.h"
#include "common/Gost2012.h"
#include "common/XmlGuards.h"

#include <shlwapi.h>
#include <winbase.h>
#include <wincrypt.h>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/keys.h>
#include <xmlsec/transforms.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace trumik::verifier {

namespace {

using common::ErrorRecord;
using common::ErrorStackId;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using common::UniqueStore;
using UniqueCert = common::UniqueCertContext;

// A family's test of the first certificate of the file: true for pass. On
// fail it has set its message and code.
using CertTest = std::function<bool(PCCERT_CONTEXT cert, ErrorRecord& record)>;

// The frame shared by the certificate checks: reset, path, open the file as a
// store, take its first certificate, test it, release.
HRESULT RunCertCheck(ErrorRecord& record, const messages::CheckFamily& family, BSTR certFilePath,
                     VARIANT_BOOL* result, const CertTest& test)
{
    if (!result)
        return E_POINTER;
    record.Reset();
    try {
        if (!certFilePath || !PathFileExistsW(certFilePath)) {
            record.SetError(family.path);
            return kFailed;
        }
        *result = VARIANT_FALSE;
        UniqueStore store(CertOpenStore(CERT_STORE_PROV_FILENAME_W, kEncoding, 0, 0, certFilePath));
        if (!store) {
            record.PushSystemErrorText();
            record.SetError(family.open);
            return kFailed;
        }
        bool pass = false;
        {
            UniqueCert cert(CertEnumCertificatesInStore(store.get(), nullptr));
            if (!cert) {
                record.PushSystemErrorText();
                record.SetError(family.select);
            } else {
                pass = test(cert.get(), record);
            }
        }
        store.reset();
        *result = pass ? VARIANT_TRUE : VARIANT_FALSE;
        return pass ? S_OK : kFailed;
    } catch (const std::exception& e) {
        record.PushExceptionText(e.what());
        record.SetError(family.exception);
        return kFailed;
    }
}

// The validity period of the certificate against a time (null: now).
bool TimeValid(PCCERT_CONTEXT cert, FILETIME* time, ErrorRecord& record)
{
    LONG verdict = CertVerifyTimeValidity(time, cert->pCertInfo);
    if (verdict < 0) {
        record.SetError(messages::kNotYetValid);
        return false;
    }
    if (verdict > 0) {
        record.SetError(messages::kExpired);
        return false;
    }
    return true;
}

using common::Xml;

// Only what reads nothing outside the document: same-document references,
// canonicalisation, the enveloped transform, Base64, the XPath filter and
// XPath Filter 2.0 (which select from the document), and the digest and
// signature methods of the back-end. References to files or network
// addresses and transforms that can read them (XSLT, XPointer) are refused
// before anything is opened.
int RestrictContext(xmlSecDSigCtxPtr ctx)
{
    if (common::RestrictToTheDocument(ctx) < 0 ||
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformEnvelopedId) < 0 ||
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformBase64Id) < 0 ||
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformXPathId) < 0 ||
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformXPath2Id) < 0)
        return -1;
    return 0;
}

} // namespace

CMSXmlVerifier::~CMSXmlVerifier()
{
    common::ForgetLibraries(started_, ErrorStackId::MSXmlVerifier);
}

HRESULT CMSXmlVerifier::SignGetLastError(BSTR* ErrorMessage)
{
    return record_.CopyMessage(ErrorMessage);
}

HRESULT CMSXmlVerifier::SignGetLastErrorCode(INT* ErrorCode)
{
    if (!ErrorCode)
        return E_POINTER;
    LONG code = 0;
    HRESULT hr = record_.CopyCode(&code);
    *ErrorCode = code;
    return hr;
}

HRESULT CMSXmlVerifier::SignGetLastErrorStack(BSTR* ErrorStack)
{
    return record_.CopyStack(ErrorStack);
}

HRESULT CMSXmlVerifier::VerifyCertTimeValidityUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    return RunCertCheck(
        record_, messages::kTimeChecks, certFilePath, result,
        [](PCCERT_CONTEXT cert, ErrorRecord& record) { return TimeValid(cert, nullptr, record); });
}

HRESULT CMSXmlVerifier::VerifyCertTimeValidityUsingCertFileAndDate(BSTR certFilePath, DATE CheckDate,
                                                                   VARIANT_BOOL* result)
{
    return RunCertCheck(record_, messages::kTimeChecks, certFilePath, result,
                        [CheckDate](PCCERT_CONTEXT cert, ErrorRecord& record) {
                            SYSTEMTIME systemTime{};
                            if (!VariantTimeToSystemTime(CheckDate, &systemTime)) {
                                record.SetError(messages::kDateNotConverted);
                                return false;
                            }
                            // The date is a UTC time; no time-zone conversion.
                            FILETIME fileTime{};
                            if (!SystemTimeToFileTime(&systemTime, &fileTime)) {
                                record.SetError(messages::kDateNotFileTime);
                                return false;
                            }
                            return TimeValid(cert, &fileTime, record);
                        });
}

HRESULT CMSXmlVerifier::VerifyCertIsGOSTUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    return RunCertCheck(record_, messages::kGostChecks, certFilePath, result,
                        [](PCCERT_CONTEXT cert, ErrorRecord& record) {
                            if (common::IsGostSignatureAlgorithm(cert->pCertInfo->SignatureAlgorithm.pszObjId,
                                                                 common::AcceptGost2012()))
                                return true;
                            record.SetError(messages::kNotGost);
                            return false;
                        });
}

HRESULT CMSXmlVerifier::VerifyCertUsageUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    return RunCertCheck(
        record_, messages::kUsageChecks, certFilePath, result, [](PCCERT_CONTEXT cert, ErrorRecord& record) {
            BYTE usage = 0;
            if (!CertGetIntendedKeyUsage(kEncoding, cert->pCertInfo, &usage, 1)) {
                record.PushSystemErrorText();
                record.SetError(messages::kNoKeyUsage);
                return false;
            }
            constexpr BYTE kBoth = CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE;
            if ((usage & kBoth) == kBoth)
                return true;
            record.SetError(messages::kWrongKeyUsage);
            return false;
        });
}

HRESULT CMSXmlVerifier::VerifyCertRevocationUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    return RunCertCheck(record_, messages::kRevocationChecks, certFilePath, result,
                        [](PCCERT_CONTEXT cert, ErrorRecord& record) {
                            CERT_REVOCATION_STATUS status{};
                            status.cbSize = sizeof status;
                            PVOID contexts[] = {const_cast<CERT_CONTEXT*>(cert)};
                            if (CertVerifyRevocation(kEncoding, CERT_CONTEXT_REVOCATION_TYPE, 1, contexts,
                                                     CERT_VERIFY_REV_CHAIN_FLAG, nullptr, &status))
                                return true;
                            // A revoked certificate is reported with CRYPT_E_REVOKED and its
                            // reason; any other error means the status could not be determined.
                            if (status.dwError != 0 &&
                                status.dwError != static_cast<DWORD>(CRYPT_E_REVOKED)) {
                                record.PushSystemErrorText();
                                record.SetError(messages::kRevocationUnknown);
                                return false;
                            }
                            switch (status.dwReason) {
                            case 0:
                                record.SetError(messages::kRevokedUnspecified);
                                break;
                            case 1:
                                record.SetError(messages::kRevokedKeyCompromise);
                                break;
                            case 2:
                                record.SetError(messages::kRevokedCaCompromise);
                                break;
                            case 3:
                                record.SetError(messages::kRevokedAffiliationChanged);
                                break;
                            case 4:
                                record.SetError(messages::kRevokedSuperseded);
                                break;
                            case 5:
                                record.SetError(messages::kRevokedCessationOfOperation);
                                break;
                            case 6:
                                record.SetError(messages::kRevokedCertificateHold);
                                break;
                            default:
                                break; // no message for other reasons
                            }
                            return false;
                        });
}

HRESULT CMSXmlVerifier::VerifyCertUsingCertFile(BSTR certFilePath, VARIANT_BOOL* result)
{
    if (!result)
        return E_POINTER;
    *result = VARIANT_FALSE;
    VARIANT_BOOL passed = VARIANT_FALSE;
    const HRESULT hr = VerifyCertTimeValidityUsingCertFile(certFilePath, &passed);
    return ChainAfterTime(hr, passed, certFilePath, result);
}

HRESULT CMSXmlVerifier::VerifyCertUsingCertFileAndDate(BSTR certFilePath, DATE CheckDate,
                                                       VARIANT_BOOL* result)
{
    if (!result)
        return E_POINTER;
    *result = VARIANT_FALSE;
    VARIANT_BOOL passed = VARIANT_FALSE;
    const HRESULT hr = VerifyCertTimeValidityUsingCertFileAndDate(certFilePath, CheckDate, &passed);
    return ChainAfterTime(hr, passed, certFilePath, result);
}

HRESULT CMSXmlVerifier::ChainAfterTime(HRESULT hr, VARIANT_BOOL passed, BSTR certFilePath,
                                       VARIANT_BOOL* result)
{
    using Check = HRESULT (CMSXmlVerifier::*)(BSTR, VARIANT_BOOL*);
    const Check rest[] = {&CMSXmlVerifier::VerifyCertIsGOSTUsingCertFile,
                          &CMSXmlVerifier::VerifyCertUsageUsingCertFile};
    for (Check next : rest) {
        if (hr != S_OK || !passed)
            break;
        // Each check answers into a fresh false: one that returns without
        // writing (its file gone since the check before) stops the chain.
        passed = VARIANT_FALSE;
        hr = (this->*next)(certFilePath, &passed);
    }
    if (hr != S_OK || !passed)
        return FAILED(hr) ? hr : kFailed;
    *result = VARIANT_TRUE;
    return S_OK;
}

HRESULT CMSXmlVerifier::VerifyUsingCertFile(BSTR signedXml, BSTR certFilePath, VARIANT_BOOL* result)
{
    return Verify(signedXml, certFilePath, CertCheck::Certificate, 0, result);
}

HRESULT CMSXmlVerifier::VerifyUsingCertFileWoCert(BSTR signedXml, BSTR certFilePath, VARIANT_BOOL* result)
{
    return Verify(signedXml, certFilePath, CertCheck::None, 0, result);
}

HRESULT CMSXmlVerifier::VerifyUsingCertFileAndDate(BSTR signedXml, BSTR certFilePath, DATE CheckDate,
                                                   VARIANT_BOOL* result)
{
    return Verify(signedXml, certFilePath, CertCheck::CertificateAtDate, CheckDate, result);
}

HRESULT CMSXmlVerifier::Verify(BSTR signedXml, BSTR certFilePath, CertCheck check, DATE checkDate,
                               VARIANT_BOOL* result)
{
    if (!result)
        return E_POINTER;
    record_.Reset();
    common::XmlOperation operation(started_, backend_, ErrorStackId::MSXmlVerifier, true);
    if (!operation.Ready()) {
        record_.SetError(messages::kNotStarted);
        return kFailed;
    }
    *result = VARIANT_FALSE;
    operation.ReportTo(common::MSXmlVerifierErrorCallback);
    if (!certFilePath || !PathFileExistsW(certFilePath)) {
        record_.SetError(messages::kNoCertFile);
        return kFailed;
    }
    if (!signedXml) {
        record_.SetError(messages::kNoDocument);
        return kFailed;
    }
    if (check == CertCheck::Certificate)
        VerifyCertUsingCertFile(certFilePath, result);
    else if (check == CertCheck::CertificateAtDate)
        VerifyCertUsingCertFileAndDate(certFilePath, checkDate, result);
    if (check != CertCheck::None) {
        if (!*result)
            return S_OK;
        *result = VARIANT_FALSE;
    }
    try {
        VerifyDocument(signedXml, certFilePath, result);
    } catch (const std::exception& e) {
        *result = VARIANT_FALSE;
        record_.PushExceptionText(e.what());
        record_.SetError(messages::kNotVerified);
    }
    return S_OK;
}

void CMSXmlVerifier::VerifyDocument(BSTR signedXml, BSTR certFilePath, VARIANT_BOOL* result)
{
    // The parse reads nothing but this text; a document that needs more, or
    // that the ANSI code page cannot hold, is refused.
    common::UniqueXmlDoc doc = common::ParseCallerText(signedXml);
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root) {
        record_.SetError(messages::kNotParsed);
        return;
    }
    xmlNodePtr signature = xmlSecFindNode(root, xmlSecNodeSignature, xmlSecDSigNs);
    if (!signature) {
        record_.SetError(messages::kNoSignature);
        return;
    }
    common::UniqueDSigCtx ctx(xmlSecDSigCtxCreate(nullptr));
    if (!ctx || RestrictContext(ctx.get()) < 0) {
        record_.SetError(messages::kNoContext);
        return;
    }
    const std::string path = common::DocumentToParserBytes(certFilePath).value_or(std::string(1, '\0'));
    common::UniqueSecKey key(
        xmlSecCryptoAppKeyLoad(path.c_str(), xmlSecKeyDataFormatCertDer, nullptr, nullptr, nullptr));
    if (!key) {
        record_.SetError(messages::kNoKey);
        return;
    }
    // The context owns the key from here on.
    ctx->signKey = key.release();
    if (xmlSecKeySetName(ctx->signKey, Xml(path.c_str())) < 0) {
        record_.SetError(messages::kNoKeyName);
        return;
    }
    if (!XPathWithinLimit(doc.get(), signature) || xmlSecDSigCtxVerify(ctx.get(), signature) < 0) {
        record_.SetError(messages::kNotVerified);
        return;
    }
    if (ctx->status == xmlSecDSigStatusSucceeded)
        *result = VARIANT_TRUE;
}

} // namespace trumik::verifier

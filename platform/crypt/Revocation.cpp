// CertVerifyRevocation from the CRLs in the platform's stores. A CRL counts
// for a certificate when its issuer name equals the certificate's issuer.
// The CRL's signature is checked when the issuer certificate is at hand and
// OpenSSL knows its key type (RSA, EC); GOST CRLs are taken unverified.
#include "CryptInternal.h"
#include "internal/CryptHandles.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstring>

using namespace trumik::crypt;

namespace {

using trumik::platform::UniqueStore;

bool SameBlob(const CRYPT_DATA_BLOB& a, const CRYPT_DATA_BLOB& b)
{
    return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

bool SignedBy(PCCRL_CONTEXT crl, PCCERT_CONTEXT issuer)
{
    if (!issuer)
        return true;
    const unsigned char* p = issuer->pbCertEncoded;
    X509* x = d2i_X509(nullptr, &p, issuer->cbCertEncoded);
    bool ok = true;
    if (x) {
        EVP_PKEY* key = X509_get0_pubkey(x);
        if (key) {
            const unsigned char* q = crl->pbCrlEncoded;
            X509_CRL* c = d2i_X509_CRL(nullptr, &q, crl->cbCrlEncoded);
            ok = c && X509_CRL_verify(c, key) == 1;
            X509_CRL_free(c);
        }
        X509_free(x);
    }
    ERR_clear_error();
    return ok;
}

PCCERT_CONTEXT FindIssuer(const std::vector<HCERTSTORE>& stores, PCCERT_CONTEXT cert)
{
    for (HCERTSTORE s : stores) {
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c;
             c = CertEnumCertificatesInStore(s, c))
            if (SameBlob(c->pCertInfo->Subject, cert->pCertInfo->Issuer))
                return c;
    }
    return nullptr;
}

DWORD ReasonCode(const CRL_ENTRY& entry)
{
    for (DWORD i = 0; i < entry.cExtension; ++i)
        if (std::strcmp(entry.rgExtension[i].pszObjId, szOID_CRL_REASON_CODE) == 0) {
            const CRYPT_OBJID_BLOB& v = entry.rgExtension[i].Value;
            if (v.cbData == 3 && v.pbData[0] == 0x0A && v.pbData[1] == 1)
                return v.pbData[2];
        }
    return CRL_REASON_UNSPECIFIED;
}

} // namespace

extern "C" {

WINAPI_EXPORT BOOL WINAPI CertVerifyRevocation(DWORD, DWORD dwRevType, DWORD cContext, PVOID rgpvContext[],
                                               DWORD dwFlags, PCERT_REVOCATION_PARA pRevPara,
                                               PCERT_REVOCATION_STATUS pRevStatus)
{
    if (!pRevStatus || pRevStatus->cbSize < offsetof(CERT_REVOCATION_STATUS, fHasFreshnessTime) ||
        dwRevType != CERT_CONTEXT_REVOCATION_TYPE || (cContext && !rgpvContext)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    pRevStatus->dwIndex = 0;
    pRevStatus->dwError = 0;
    pRevStatus->dwReason = 0;
    if (cContext == 0)
        return TRUE;
    std::vector<UniqueStore> owned;
    std::vector<HCERTSTORE> stores;
    if (pRevPara && pRevPara->cbSize >= offsetof(CERT_REVOCATION_PARA, hCrlStore) + sizeof(HCERTSTORE) &&
        pRevPara->hCrlStore)
        stores.push_back(pRevPara->hCrlStore);
    if (pRevPara && pRevPara->cbSize >= offsetof(CERT_REVOCATION_PARA, rgCertStore) + sizeof(HCERTSTORE*))
        for (DWORD i = 0; i < pRevPara->cCertStore && pRevPara->rgCertStore; ++i)
            stores.push_back(pRevPara->rgCertStore[i]);
    for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE})
        for (const char16_t* name : {u"CA", u"Root", u"My"}) {
            HCERTSTORE s =
                CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                              location | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, name);
            if (s) {
                owned.emplace_back(s);
                stores.push_back(s);
            }
        }
    for (DWORD i = 0; i < cContext; ++i) {
        auto cert = static_cast<PCCERT_CONTEXT>(rgpvContext[i]);
        pRevStatus->dwIndex = i;
        if (!cert || !cert->pCertInfo) {
            pRevStatus->dwError = static_cast<DWORD>(E_INVALIDARG);
            SetLastError(pRevStatus->dwError);
            return FALSE;
        }
        PCCERT_CONTEXT issuer = nullptr;
        bool freeIssuer = false;
        if ((dwFlags & CERT_VERIFY_REV_CHAIN_FLAG) && i + 1 < cContext)
            issuer = static_cast<PCCERT_CONTEXT>(rgpvContext[i + 1]);
        else if (pRevPara && pRevPara->pIssuerCert)
            issuer = pRevPara->pIssuerCert;
        else {
            issuer = FindIssuer(stores, cert);
            freeIssuer = issuer != nullptr;
        }
        bool checked = false;
        const CRL_ENTRY* revoked = nullptr;
        for (HCERTSTORE s : stores) {
            for (PCCRL_CONTEXT crl = CertEnumCRLsInStore(s, nullptr); crl;
                 crl = CertEnumCRLsInStore(s, crl)) {
                if (!SameBlob(crl->pCrlInfo->Issuer, cert->pCertInfo->Issuer) || !SignedBy(crl, issuer))
                    continue;
                checked = true;
                for (DWORD k = 0; k < crl->pCrlInfo->cCRLEntry && !revoked; ++k)
                    if (SameBlob(crl->pCrlInfo->rgCRLEntry[k].SerialNumber, cert->pCertInfo->SerialNumber)) {
                        revoked = &crl->pCrlInfo->rgCRLEntry[k];
                        pRevStatus->dwReason = ReasonCode(*revoked);
                    }
                if (revoked) {
                    CertFreeCRLContext(crl);
                    break;
                }
            }
            if (revoked)
                break;
        }
        if (freeIssuer)
            CertFreeCertificateContext(issuer);
        if (revoked || !checked) {
            pRevStatus->dwError = static_cast<DWORD>(revoked ? CRYPT_E_REVOKED : CRYPT_E_NO_REVOCATION_CHECK);
            SetLastError(pRevStatus->dwError);
            return FALSE;
        }
    }
    pRevStatus->dwIndex = 0;
    return TRUE;
}

} // extern "C"

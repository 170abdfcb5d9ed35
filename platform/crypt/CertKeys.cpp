// The crypt32 calls that lead from a certificate to a key of the provider:
// a certificate's private key through its key-provider information, and the
// key of a public key info. The provider does the key work behind them
// (csp/ContextKey.h), as a provider does behind crypt32 on Windows.
#include "csp/ContextKey.h"
#include "internal/CryptHandles.h"

#include <cstdint>
#include <vector>

using trumik::csp::CheckContainerKey;
using trumik::platform::UniqueProv;

namespace {

// Sets the last error and returns FALSE, for `return Fail(code);`.
template <typename T> BOOL Fail(T code)
{
    SetLastError(static_cast<DWORD>(code));
    return FALSE;
}

} // namespace

BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD, PCERT_PUBLIC_KEY_INFO pInfo,
                                     HCRYPTKEY* phKey)
{
    if (DWORD rc = trumik::csp::ImportPublicKeyInfo(hCryptProv, pInfo, phKey))
        return Fail(rc);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                              HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey,
                                              DWORD* pdwKeySpec, BOOL* pfCallerFreeProvOrNCryptKey)
{
    if (!pCert || !phCryptProvOrNCryptKey || pvParameters)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0)
        return Fail(CRYPT_E_NO_KEY_PROPERTY);
    std::vector<uint64_t> buffer((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size))
        return Fail(CRYPT_E_NO_KEY_PROPERTY);
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    DWORD acquireFlags = info->dwFlags & CRYPT_MACHINE_KEYSET;
    if (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG)
        acquireFlags |= CRYPT_SILENT;
    UniqueProv provider;
    if (!CryptAcquireContextW(provider.put(), info->pwszContainerName, info->pwszProvName, info->dwProvType,
                              acquireFlags))
        return FALSE; // its error stands
    for (DWORD i = 0; i < info->cProvParam; ++i)
        CryptSetProvParam(provider.get(), info->rgProvParam[i].dwParam, info->rgProvParam[i].pbData,
                          info->rgProvParam[i].dwFlags);
    const DWORD keySpec = info->dwKeySpec;
    const bool compare = (dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) != 0;
    if (DWORD rc = CheckContainerKey(provider.get(), keySpec, compare,
                                     pCert->pCertInfo ? &pCert->pCertInfo->SubjectPublicKeyInfo : nullptr))
        return Fail(rc);
    *phCryptProvOrNCryptKey = provider.release();
    if (pdwKeySpec)
        *pdwKeySpec = keySpec;
    if (pfCallerFreeProvOrNCryptKey)
        *pfCallerFreeProvOrNCryptKey = TRUE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

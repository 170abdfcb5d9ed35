// Certificate context properties: read, set (and written through to the
// certificate's store), enumerated.
#include "KeyProvInfo.h"
#include "StoreInternal.h"

#include <algorithm>
#include <cstring>
#include <optional>

using namespace trumik::crypt;

extern "C" {

WINAPI_EXPORT BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                            void* pvData, DWORD* pcbData)
{
    std::lock_guard lock(Lock());
    if (!pCertContext || !pcbData) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    CertObject* c = ToObject(pCertContext);
    Bytes value;
    bool keyProvInfo = false;
    auto it = c->props.find(dwPropId);
    if (dwPropId == CERT_SHA1_HASH_PROP_ID)
        value = c->sha1;
    else if (dwPropId == CERT_MD5_HASH_PROP_ID)
        value = Md5(c->encoded);
    else if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID && it != c->props.end()) {
        KeyProvInfoParts parts;
        if (!ParseKeyProvInfo(it->second, parts)) {
            Fail(CRYPT_E_FILE_ERROR);
            return FALSE;
        }
        value = NativeKeyProvInfo(parts);
        keyProvInfo = true;
    } else if (dwPropId == CERT_KEY_SPEC_PROP_ID && it == c->props.end()) {
        auto info = c->props.find(CERT_KEY_PROV_INFO_PROP_ID);
        KeyProvInfoParts parts;
        if (info == c->props.end() || !ParseKeyProvInfo(info->second, parts)) {
            Fail(CRYPT_E_NOT_FOUND);
            return FALSE;
        }
        PutDword(value, parts.keySpec);
    } else if (it != c->props.end())
        value = it->second;
    else {
        Fail(CRYPT_E_NOT_FOUND);
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(value.size());
    if (!pvData) {
        *pcbData = need;
        return TRUE;
    }
    if (*pcbData < need) {
        *pcbData = need;
        Fail(static_cast<DWORD>(ERROR_MORE_DATA));
        return FALSE;
    }
    if (need)
        std::memcpy(pvData, value.data(), need);
    if (keyProvInfo)
        FixUpKeyProvInfo(static_cast<BYTE*>(pvData));
    *pcbData = need;
    return TRUE;
}

WINAPI_EXPORT BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                            DWORD dwFlags, const void* pvData)
{
    std::lock_guard lock(Lock());
    if (!pCertContext || dwPropId == 0 || dwPropId == kCertElement || dwPropId == kCrlElement ||
        dwPropId == kCtlElement) {
        Fail(E_INVALIDARG);
        return FALSE;
    }
    CertObject* c = ToObject(pCertContext);
    if (c->inStore && c->store && c->store->readOnly && Persistent(dwPropId)) {
        Fail(E_ACCESSDENIED);
        return FALSE;
    }
    auto old = c->props.find(dwPropId);
    std::optional<Bytes> previous;
    if (old != c->props.end())
        previous = old->second;
    if (!pvData) {
        c->props.erase(dwPropId);
    } else {
        Bytes value;
        switch (dwPropId) {
        case CERT_KEY_PROV_INFO_PROP_ID:
            value = SerializeKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(pvData));
            break;
        case CERT_KEY_PROV_HANDLE_PROP_ID: {
            auto p = static_cast<const BYTE*>(pvData);
            value.assign(p, p + sizeof(HCRYPTPROV));
            break;
        }
        case CERT_KEY_CONTEXT_PROP_ID: {
            CERT_KEY_CONTEXT context{};
            std::memcpy(&context, pvData, sizeof(DWORD));
            std::memcpy(&context, pvData, std::min<size_t>(context.cbSize, sizeof context));
            auto p = reinterpret_cast<const BYTE*>(&context);
            value.assign(p, p + sizeof context);
            break;
        }
        case CERT_KEY_SPEC_PROP_ID:
            PutDword(value, *static_cast<const DWORD*>(pvData));
            break;
        default: {
            auto blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
            if (blob->cbData && !blob->pbData) {
                Fail(E_INVALIDARG);
                return FALSE;
            }
            if (blob->cbData)
                value.assign(blob->pbData, blob->pbData + blob->cbData);
        }
        }
        c->props[dwPropId] = std::move(value);
    }
    if (Persistent(dwPropId) && !(dwFlags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG) && !PersistCert(*c)) {
        DWORD err = GetLastError();
        if (previous)
            c->props[dwPropId] = *previous;
        else
            c->props.erase(dwPropId);
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

WINAPI_EXPORT DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId)
{
    std::lock_guard lock(Lock());
    if (!pCertContext)
        return 0;
    CertObject* c = ToObject(pCertContext);
    auto it = c->props.upper_bound(dwPropId);
    return it == c->props.end() ? 0 : it->first;
}

} // extern "C"

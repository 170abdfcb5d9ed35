// The provider, its key containers and the choice of a certificate's key.
#include "CryptEncMessage.h"

#include "common/Conversions.h"
#include "common/Gost2012.h"
#include "common/Thumbprint.h"

#include <winbase.h>
#include <winnls.h>

#include <cstring>
#include <exception>
#include <vector>

namespace trumik::cryptmsg {

namespace {

constexpr size_t kMaxOldProviderName = 64; // fully qualified names for providers up to 3.0

// The size of the longest container name, from a first size query.
enum class SizeQuery { Ok, NoContainers, Failed };
SizeQuery QueryNameSize(HCRYPTPROV prov, DWORD& size)
{
    size = 0;
    if (CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST | CRYPT_FQCN))
        return SizeQuery::Ok;
    return GetLastError() == ERROR_NO_MORE_ITEMS ? SizeQuery::NoContainers : SizeQuery::Failed;
}

} // namespace

std::string WideToCodePage(UINT codePage, BSTR text)
{
    if (!text || !*text)
        return {};
    int size = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string bytes(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, 0, text, -1, bytes.data(), size, nullptr, nullptr) <= 0)
        return {};
    bytes.resize(std::strlen(bytes.c_str()));
    return bytes;
}

bool CCryptEncMessage::KeyIsUsable(const CRYPT_KEY_PROV_INFO& info)
{
    if (info.dwKeySpec == AT_KEYEXCHANGE && info.dwProvType == PROV_GOST_2001_DH)
        return true;
    // The GOST R 34.10-2012 providers' keys, with the switch on only.
    if (info.dwKeySpec == AT_KEYEXCHANGE &&
        (info.dwProvType == PROV_GOST_2012_256 || info.dwProvType == PROV_GOST_2012_512) &&
        common::AcceptGost2012())
        return true;
    Fail(messages::kKeyNotForEncryption);
    return false;
}

UniqueKeyProvInfo CCryptEncMessage::ReadKeyProvInfo(PCCERT_CONTEXT cert, const messages::KeyInfoSteps& steps)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        FailWithPlatformText(steps.size);
        return nullptr;
    }
    UniqueKeyProvInfo info(static_cast<CRYPT_KEY_PROV_INFO*>(std::malloc(size ? size : 1)));
    if (!info) {
        Fail(steps.allocation);
        return nullptr;
    }
    if (size < sizeof(CRYPT_KEY_PROV_INFO) ||
        !CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info.get(), &size)) {
        Fail(steps.read);
        return nullptr;
    }
    return info;
}

UniqueCertContext CCryptEncMessage::SelectRecipientCertificate(HCERTSTORE userStore, HCERTSTORE machineStore,
                                                               BSTR hash)
{
    if (!userStore) {
        Fail(messages::kRecipientNoStore);
        return nullptr;
    }
    UniqueCertContext cert = common::FindByThumbprint(userStore, hash);
    if (!cert)
        cert = common::FindByThumbprint(machineStore, hash);
    if (!cert) {
        FailWithPlatformText(messages::kRecipientNotFound);
        return nullptr;
    }
    UniqueKeyProvInfo info = ReadKeyProvInfo(cert.get(), messages::kRecipientKeyInfo);
    if (!info || !KeyIsUsable(*info))
        return nullptr;
    return cert;
}

UniqueKeyProvInfo CCryptEncMessage::GetKeyProviderInfo(HCERTSTORE userStore, BSTR hash, BSTR storeName,
                                                       UniqueStore& machineStore)
{
    machineStore.reset();
    if (!userStore) {
        Fail(messages::kHolderNoStore);
        return nullptr;
    }
    UniqueCertContext cert = common::FindByThumbprint(userStore, hash);
    UniqueStore machine;
    if (!cert) {
        machine.reset(
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, storeName));
        if (!machine) {
            FailWithPlatformText(messages::kHolderNoMachineStore);
            return nullptr;
        }
        cert = common::FindByThumbprint(machine.get(), hash);
        if (!cert) {
            FailWithPlatformText(messages::kHolderNotFound);
            return nullptr;
        }
    }
    UniqueKeyProvInfo info = ReadKeyProvInfo(cert.get(), messages::kHolderKeyInfo);
    // The certificate goes before the store that holds it.
    cert.reset();
    machineStore = std::move(machine);
    if (!info || !KeyIsUsable(*info))
        return nullptr;
    return info;
}

LONG CCryptEncMessage::GetProviderVersion()
{
    UniqueProv prov;
    if (!CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT)) {
        FailWithPlatformText(messages::kVersionNoProvider);
        return -1;
    }
    DWORD version = 0;
    DWORD size = sizeof version;
    // A version that cannot be read counts as 0, the oldest provider.
    if (!CryptGetProvParam(prov.get(), PP_VERSION, reinterpret_cast<BYTE*>(&version), &size, 0))
        version = 0;
    return static_cast<LONG>(version);
}

LONG CCryptEncMessage::FindContainerIndex(const std::string& containerName, bool machine)
{
    UniqueProv prov;
    if (!CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH,
                              CRYPT_VERIFYCONTEXT | (machine ? CRYPT_MACHINE_KEYSET : 0))) {
        FailWithPlatformText(messages::kIndexNoProvider);
        return 0;
    }
    DWORD size = 0;
    switch (QueryNameSize(prov.get(), size)) {
    case SizeQuery::Ok:
        break;
    case SizeQuery::NoContainers:
        Fail(messages::kIndexNoContainers);
        return 0;
    case SizeQuery::Failed:
        return 0;
    }
    std::vector<char> buffer(size_t(size) + 1, '\0');
    LONG position = 0;
    for (DWORD flags = CRYPT_FIRST | CRYPT_UNIQUE;; flags = CRYPT_UNIQUE) {
        DWORD capacity = static_cast<DWORD>(buffer.size());
        if (!CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()),
                               &capacity, flags))
            return 0;
        ++position;
        buffer.back() = '\0';
        if (containerName == buffer.data())
            return position;
    }
}

bool CCryptEncMessage::GetContainerNameByIndex(LONG index, bool machine, std::string& name)
{
    if (index <= 0) {
        Fail(messages::kNameBadIndex);
        return false;
    }
    UniqueProv prov;
    if (!CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH,
                              CRYPT_VERIFYCONTEXT | (machine ? CRYPT_MACHINE_KEYSET : 0))) {
        FailWithPlatformText(messages::kNameNoProvider);
        return false;
    }
    DWORD size = 0;
    switch (QueryNameSize(prov.get(), size)) {
    case SizeQuery::Ok:
        break;
    case SizeQuery::NoContainers:
        FailWithPlatformText(messages::kNameNoContainers);
        return false;
    case SizeQuery::Failed:
        return false;
    }
    std::vector<char> buffer(size_t(size) + 1, '\0');
    LONG position = 0;
    for (DWORD flags = CRYPT_FIRST | CRYPT_FQCN;; flags = CRYPT_FQCN) {
        DWORD capacity = static_cast<DWORD>(buffer.size());
        if (!CryptGetProvParam(prov.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()),
                               &capacity, flags))
            return false;
        if (++position == index) {
            buffer.back() = '\0';
            name = buffer.data();
            return true;
        }
    }
}

HRESULT CCryptEncMessage::GetProviderInfo(BSTR* retValue)
{
    UniqueProv prov;
    if (!CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT)) {
        Fail(messages::kNoProviderContext);
        return S_FALSE;
    }
    if (!retValue)
        return E_POINTER;
    return common::CopyOut(kProviderInfoText, retValue) ? S_OK : E_OUTOFMEMORY;
}

bool CCryptEncMessage::NamesGiven(BSTR storeName, BSTR hash, const common::Message& noStore,
                                  const common::Message& noHash)
{
    if (!storeName) {
        Fail(noStore);
        return false;
    }
    if (!hash) {
        Fail(noHash);
        return false;
    }
    return true;
}

bool CCryptEncMessage::QualifiedContainerName(const std::string& containerName, bool machine,
                                              const messages::ContainerNameSteps& steps,
                                              std::string& fullName)
{
    const LONG index = FindContainerIndex(containerName, machine);
    if (index == 0 || !GetContainerNameByIndex(index, machine, fullName)) {
        Fail(steps.notFound);
        return false;
    }
    if (fullName.size() > kMaxOldProviderName) {
        Fail(steps.tooLong);
        return false;
    }
    return true;
}

HRESULT CCryptEncMessage::GetContainerName(BSTR p_StoreName, BSTR p_Hash, BSTR* container_name)
{
    record_.Reset();
    if (!NamesGiven(p_StoreName, p_Hash, messages::kContainerNoStoreName, messages::kContainerNoThumbprint))
        return S_FALSE;
    if (!container_name)
        return E_POINTER;
    *container_name = SysAllocString(u"");
    if (!*container_name)
        return E_OUTOFMEMORY;
    try {
        UniqueStore userStore(
            CertOpenSystemStoreA(0, WideToCodePage(common::ThreadAnsiCodePage(), p_StoreName).c_str()));
        if (!userStore) {
            Fail(messages::kContainerNoUserStore);
            return S_OK;
        }
        const LONG version = GetProviderVersion();
        if (version == -1)
            return S_OK;
        UniqueStore machineStore;
        UniqueKeyProvInfo info = GetKeyProviderInfo(userStore.get(), p_Hash, p_StoreName, machineStore);
        if (!info || !info->pwszContainerName || !*info->pwszContainerName)
            return S_OK;
        const std::string narrow = WideToCodePage(common::ThreadAnsiCodePage(), info->pwszContainerName);
        if (version > 0x300) {
            common::UniqueBstr name = common::NarrowToBstr(narrow.c_str());
            if (!name)
                return S_OK;
            SysFreeString(*container_name);
            *container_name = name.release();
            return S_OK;
        }
        const bool machine = machineStore != nullptr;
        std::string fullName;
        if (!QualifiedContainerName(narrow, machine, messages::kContainerFullName, fullName))
            return S_OK;
        if (common::UniqueBstr name = common::NarrowToBstr(fullName.c_str())) {
            SysFreeString(*container_name);
            *container_name = name.release();
        }
        return S_OK;
    } catch (const std::exception& e) {
        FailWithException(e.what(), messages::kContainerException);
        return S_FALSE;
    }
}

} // namespace trumik::cryptmsg

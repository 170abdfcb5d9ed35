// The provider, its key containers and the choice of a certificate's key.
#include "CryptEncMessage.h"

#include "common/Conversions.h"
#include "common/Gost2012.h"
#include "common/Thumbprint.h"

#include <winbase.h>
#include <winnls.h>

#include <array>
#include <cstring>
#include <exception>
#include <vector>

namespace trumik::cryptmsg {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr size_t kMaxOldProviderName = 64; // fully qualified names for providers up to 3.0

// The first certificate whose SHA-1 hash is the thumbprint's; an unfilled hash finds nothing.
UniqueCertContext FindByThumbprint(HCERTSTORE store, BSTR hash)
{
    std::array<BYTE, 20> bytes{};
    if (!store || !common::ParseThumbprint(hash, bytes))
        return nullptr;
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(bytes.size()), bytes.data()};
    return UniqueCertContext(
        CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SHA1_HASH, &blob, nullptr));
}

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
    Fail(u"Ключ, связанный с указанным сертификатом, не является ключём для шифрования, либо не поддерживает "
         u"ГОСТ.(Код ошибки - 81011)",
         81011);
    return false;
}

UniqueKeyProvInfo CCryptEncMessage::ReadKeyProvInfo(PCCERT_CONTEXT cert, LONG sizeCode, LONG allocCode,
                                                    LONG readCode)
{
    const bool select = sizeCode == 81005;
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        FailWithPlatformText(
            select ? u"Невозможно выбрать свойства ключа для указанного сертификата.(Код ошибки - "
                     u"81005)"
                   : u"Невозможно выбрать свойства ключа для указанного сертификата.(Код ошибки - "
                     u"83005)",
            sizeCode);
        return nullptr;
    }
    UniqueKeyProvInfo info(static_cast<CRYPT_KEY_PROV_INFO*>(std::malloc(size ? size : 1)));
    if (!info) {
        Fail(select ? u"Невозможно выделить память под структуру, содержащую информацию о ключе.(Код ошибки "
                      u"- 81007)"
                    : u"Невозможно выделить память под структуру, содержащую информацию о ключе.(Код ошибки "
                      u"- 83007)",
             allocCode);
        return nullptr;
    }
    if (size < sizeof(CRYPT_KEY_PROV_INFO) ||
        !CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info.get(), &size)) {
        Fail(select ? u"Невозможно выделить память под структуру, содержащую информацию о ключе при "
                      u"вторичном вызове "
                      u"функции.(Код ошибки - 81009)"
                    : u"Невозможно выделить память под структуру, содержащую информацию о ключе при "
                      u"вторичном вызове "
                      u"функции.(Код ошибки - 83009)",
             readCode);
        return nullptr;
    }
    return info;
}

UniqueCertContext CCryptEncMessage::SelectRecipientCertificate(HCERTSTORE userStore, HCERTSTORE machineStore,
                                                               BSTR hash)
{
    if (!userStore) {
        Fail(u"В функцию выбора ключа неверно передан параметр идентификатора хранилища сертификатов.(Код "
             u"ошибки - "
             u"81001)",
             81001);
        return nullptr;
    }
    UniqueCertContext cert = FindByThumbprint(userStore, hash);
    if (!cert)
        cert = FindByThumbprint(machineStore, hash);
    if (!cert) {
        FailWithPlatformText(
            u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 81003)",
            81003);
        return nullptr;
    }
    UniqueKeyProvInfo info = ReadKeyProvInfo(cert.get(), 81005, 81007, 81009);
    if (!info || !KeyIsUsable(*info))
        return nullptr;
    return cert;
}

UniqueKeyProvInfo CCryptEncMessage::GetKeyProviderInfo(HCERTSTORE userStore, BSTR hash, BSTR storeName,
                                                       UniqueStore& machineStore)
{
    machineStore.reset();
    if (!userStore) {
        Fail(u"В функцию выбора ключа неверно передан параметр идентификатора хранилища сертификатов.(Код "
             u"ошибки - "
             u"83001)",
             83001);
        return nullptr;
    }
    UniqueCertContext cert = FindByThumbprint(userStore, hash);
    UniqueStore machine;
    if (!cert) {
        machine.reset(
            CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, storeName));
        if (!machine) {
            FailWithPlatformText(
                u"Невозможно открыть системное (machine) хранилище сертификатов.(Код ошибки - 83002)", 83002);
            return nullptr;
        }
        cert = FindByThumbprint(machine.get(), hash);
        if (!cert) {
            FailWithPlatformText(
                u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 83003)",
                83003);
            return nullptr;
        }
    }
    UniqueKeyProvInfo info = ReadKeyProvInfo(cert.get(), 83005, 83007, 83009);
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
        FailWithPlatformText(u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - 82007)",
                             82007);
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
        FailWithPlatformText(u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - 86001)",
                             86001);
        return 0;
    }
    DWORD size = 0;
    switch (QueryNameSize(prov.get(), size)) {
    case SizeQuery::Ok:
        break;
    case SizeQuery::NoContainers:
        Fail(u"Не найдены контейнеры ключей для криптопровайдера.(Код ошибки - 86003)", 86003);
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
        Fail(u"Ошибка входных параметров. Неверный индекс контейнера.(Код ошибки - 86100)", 86100);
        return false;
    }
    UniqueProv prov;
    if (!CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH,
                              CRYPT_VERIFYCONTEXT | (machine ? CRYPT_MACHINE_KEYSET : 0))) {
        FailWithPlatformText(u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - 86101)",
                             86101);
        return false;
    }
    DWORD size = 0;
    switch (QueryNameSize(prov.get(), size)) {
    case SizeQuery::Ok:
        break;
    case SizeQuery::NoContainers:
        FailWithPlatformText(u"Не найдены контейнеры ключей для криптопровайдера.(Код ошибки - 86103)",
                             86103);
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
        Fail(u"Невозможно инициализировать контекст криптопровайдера.(Код ошибки - 80005)", 80005);
        return S_FALSE;
    }
    if (!retValue)
        return E_POINTER;
    return common::CopyOut(kProviderInfoText, retValue) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CCryptEncMessage::GetContainerName(BSTR p_StoreName, BSTR p_Hash, BSTR* container_name)
{
    record_.Reset();
    if (!p_StoreName) {
        Fail(u"Неверно заданы входные параметры. Не задано значение наименования системного хранилища.(Код "
             u"ошибки - "
             u"87000)",
             87000);
        return S_FALSE;
    }
    if (!p_Hash) {
        Fail(u"Неверно заданы входные параметры. Не задано значение отпечатка сертификата.(Код ошибки - "
             u"87001)",
             87001);
        return S_FALSE;
    }
    if (!container_name)
        return E_POINTER;
    *container_name = SysAllocString(u"");
    if (!*container_name)
        return E_OUTOFMEMORY;
    try {
        UniqueStore userStore(
            CertOpenSystemStoreA(0, WideToCodePage(common::ThreadAnsiCodePage(), p_StoreName).c_str()));
        if (!userStore) {
            Fail(u"Невозможно открыть системное хранилище сертификатов.(Код ошибки - 87005)", 87005);
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
        const LONG index = FindContainerIndex(narrow, machine);
        std::string fullName;
        if (index == 0 || !GetContainerNameByIndex(index, machine, fullName)) {
            Fail(u"Невозможно выбрать наименование контейнера. Возможно не вставлен ключевой носитель. (Код "
                 u"ошибки - "
                 u"87007)",
                 87007);
            return S_OK;
        }
        if (fullName.size() > kMaxOldProviderName) {
            Fail(u"Имя контейнера содержит больше, чем 64 байта. Для версии CSP 3.0 необходимо уменьшить "
                 u"длину "
                 u"контейнера до 64-х байт. (Код ошибки - 87008)",
                 87008);
            return S_OK;
        }
        if (common::UniqueBstr name = common::NarrowToBstr(fullName.c_str())) {
            SysFreeString(*container_name);
            *container_name = name.release();
        }
        return S_OK;
    } catch (const std::exception& e) {
        FailWithException(e.what(), u"Не удалось выбрать наименование контейнера. (Код ошибки - 87023)",
                          87023);
        return S_FALSE;
    }
}

} // namespace trumik::cryptmsg

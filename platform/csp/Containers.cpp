#include "csp/Containers.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

namespace trumik::csp {

std::vector<ContainerInfo> ListContainers(Scope scope)
{
    std::vector<ContainerInfo> list;
    for (const auto& name : ListContainerNames(scope)) {
        ContainerInfo info;
        info.name = info.uniqueName = name;
        info.fullyQualifiedName = "\\\\.\\HDIMAGE\\" + name;
        ContainerData data;
        if (ReadContainer(scope, name, &data) == 0) {
            info.hasExchangeKey = data.exchange.present;
            info.hasSignatureKey = data.signature.present;
            info.pinProtected = data.protectedByPin;
        } else {
            info.readable = false;
        }
        list.push_back(std::move(info));
    }
    return list;
}

DWORD CreateContainer(Scope scope, const std::string& name, DWORD keySpec, const Bytes& pkcs8Der,
                      const std::optional<std::string>& pin, bool exportable)
{
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    UniqueEvpPkey key = PrivateKeyFromPkcs8(pkcs8Der);
    if (!IsGostKey(key.get()))
        return static_cast<DWORD>(NTE_BAD_DATA);
    auto spki = PublicKeyToSpki(key.get());
    auto normalized = PrivateKeyToPkcs8(key.get());
    if (!spki || !normalized)
        return static_cast<DWORD>(NTE_BAD_DATA);
    ContainerData data;
    data.protectedByPin = pin.has_value();
    StoredKey& slot = data.Slot(keySpec);
    slot.present = true;
    slot.exportable = exportable;
    slot.publicKey = std::move(*spki);
    if (pin) {
        auto encrypted = EncryptPkcs8(*normalized, *pin);
        if (!encrypted)
            return static_cast<DWORD>(NTE_FAIL);
        slot.privateKey = std::move(*encrypted);
    } else {
        slot.privateKey = *normalized;
    }
    return WriteContainer(scope, name, data, true);
}

DWORD LoadPrivateKey(Scope scope, const std::string& name, DWORD keySpec,
                     const std::optional<std::string>& pin, UniqueEvpPkey* key)
{
    ContainerData data;
    if (DWORD rc = ReadContainer(scope, name, &data))
        return rc;
    return OpenPrivateKey(data, keySpec, pin, key);
}

DWORD ExportPrivateKey(Scope scope, const std::string& name, DWORD keySpec,
                       const std::optional<std::string>& pin, UniqueEvpPkey* key)
{
    ContainerData data;
    if (DWORD rc = ReadContainer(scope, name, &data))
        return rc;
    if (!data.Slot(keySpec).present)
        return static_cast<DWORD>(NTE_NO_KEY);
    if (!data.Slot(keySpec).exportable)
        return static_cast<DWORD>(NTE_BAD_KEY_STATE);
    return OpenPrivateKey(data, keySpec, pin, key);
}

DWORD ExportPrivateKeyPem(Scope scope, const std::string& name, DWORD keySpec,
                          const std::optional<std::string>& pin, std::string* pem)
{
    UniqueEvpPkey key;
    if (DWORD rc = ExportPrivateKey(scope, name, keySpec, pin, &key))
        return rc;
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio ||
        PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return static_cast<DWORD>(NTE_FAIL);
    char* text = nullptr;
    long len = BIO_get_mem_data(bio.get(), &text);
    pem->assign(text, static_cast<size_t>(len));
    return 0;
}

DWORD DeleteContainer(Scope scope, const std::string& name)
{
    return DeleteContainerFile(scope, name);
}

DWORD GetPublicKeyInfo(Scope scope, const std::string& name, DWORD keySpec, Bytes* spkiDer)
{
    ContainerData data;
    if (DWORD rc = ReadContainer(scope, name, &data))
        return rc;
    if (!data.Slot(keySpec).present)
        return static_cast<DWORD>(NTE_NO_KEY);
    *spkiDer = data.Slot(keySpec).publicKey;
    return 0;
}

} // namespace trumik::csp

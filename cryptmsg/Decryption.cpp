// Decryption of CMS enveloped-data messages with the key container of a store
// certificate, as bytes or as Base64 text.
#include "ArrayArgument.h"
#include "CryptEncMessage.h"

#include "common/Conversions.h"
#include "common/KeyPin.h"

#include <winbase.h>

#include <exception>

namespace trumik::cryptmsg {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

CRYPT_DECRYPT_MESSAGE_PARA DecryptionParameters(HCERTSTORE* store)
{
    CRYPT_DECRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = kEncoding;
    para.cCertStore = 1;
    para.rghCertStore = store;
    para.dwFlags = CRYPT_MESSAGE_SILENT_KEYSET_FLAG;
    return para;
}

bool NamesContainer(const CRYPT_KEY_PROV_INFO& info)
{
    return info.pwszContainerName && *info.pwszContainerName;
}

} // namespace

bool CCryptEncMessage::DecryptWithContainer(const std::string& container, DWORD flags, BSTR password,
                                            HCERTSTORE* store, const BYTE* message, DWORD messageSize,
                                            const messages::DecryptionSteps& steps,
                                            const std::function<BYTE*(DWORD)>& allocate, DWORD& size)
{
    UniqueProv prov;
    if (!CryptAcquireContextA(prov.put(), container.c_str(), nullptr, PROV_GOST_2001_DH, flags)) {
        if (steps.providerWithPlatformText)
            FailWithPlatformText(steps.provider);
        else
            Fail(steps.provider);
        return false;
    }
    // The provider checks the PIN as it is set, and keeps it for the
    // container while the context lives: CryptDecryptMessage opens the key
    // through a context of its own.
    if (password && !common::SetKeyPin(prov.get(), password)) {
        FailWithPlatformText(steps.pin);
        return false;
    }
    CRYPT_DECRYPT_MESSAGE_PARA para = DecryptionParameters(store);
    size = 0;
    if (!CryptDecryptMessage(&para, message, messageSize, nullptr, &size, nullptr)) {
        FailWithPlatformText(steps.size);
        return false;
    }
    BYTE* plain = allocate(size);
    if (!plain) {
        FailWithPlatformText(steps.allocation);
        return false;
    }
    if (!CryptDecryptMessage(&para, message, messageSize, plain, &size, nullptr)) {
        const DWORD error = GetLastError();
        if (steps.wrongPin && error == static_cast<DWORD>(SCARD_W_WRONG_CHV))
            Fail(*steps.wrongPin);
        else if (steps.noKeyCertificate && error == static_cast<DWORD>(CRYPT_E_NO_DECRYPT_CERT))
            Fail(*steps.noKeyCertificate);
        else
            FailWithPlatformText(steps.decrypt);
        return false;
    }
    return true;
}

HRESULT CCryptEncMessage::DecryptMessageByte(BSTR p_StoreName, BSTR p_Hash, BSTR password,
                                             LONG in_message_len, VARIANT* ByteArray, VARIANT* out_message)
{
    record_.Reset();
    if (!NamesGiven(p_StoreName, p_Hash, messages::kDecryptNoStoreName, messages::kDecryptNoThumbprint))
        return S_FALSE;
    ArrayDataLock inputLock;
    if (!LockByteArgument(ByteArray, in_message_len, messages::kDecryptNotOneDimension,
                          messages::kDecryptBytesUnreadable, inputLock))
        return S_FALSE;
    try {
        UniqueStore userStore(
            CertOpenSystemStoreA(0, WideToCodePage(common::ThreadAnsiCodePage(), p_StoreName).c_str()));
        if (!userStore) {
            Fail(messages::kDecryptBytesNoUserStore);
            return S_OK;
        }
        UniqueStore machineStore;
        std::string container;
        {
            UniqueKeyProvInfo info = GetKeyProviderInfo(userStore.get(), p_Hash, p_StoreName, machineStore);
            if (!info)
                return S_OK;
            // Information without a container names no key to decrypt with.
            if (!NamesContainer(*info)) {
                Fail(messages::kDecryptNoProvider);
                return S_OK;
            }
            container = WideToCodePage(common::ThreadAnsiCodePage(), info->pwszContainerName);
        }
        HCERTSTORE stores[] = {userStore.get()};
        // The plain data is written straight into the array the caller gets.
        ResultByteArray plain;
        const auto allocate = [&plain](DWORD n) { return plain.Allocate(n) ? plain.data() : nullptr; };
        DWORD size = 0;
        if (!DecryptWithContainer(container, CRYPT_SILENT, password, stores, inputLock.data(),
                                  static_cast<DWORD>(in_message_len), messages::kDecryptBytesSteps, allocate,
                                  size))
            return S_OK;
        if (!plain.Put(size, out_message)) {
            Fail(messages::kDecryptBytesNoResult);
            return S_OK;
        }
        return S_OK;
    } catch (const std::exception& e) {
        FailWithException(e.what(), messages::kDecryptBytesException);
        return S_FALSE;
    }
}

HRESULT CCryptEncMessage::DecryptMessage(BSTR p_StoreName, BSTR p_Hash, BSTR p_ContainerName, BSTR password,
                                         BSTR ByteArray, BSTR* out_message)
{
    record_.Reset();
    if (!NamesGiven(p_StoreName, p_Hash, messages::kDecryptNoStoreName, messages::kDecryptNoThumbprint))
        return S_FALSE;
    try {
        UniqueBlock message;
        DWORD messageSize = 0;
        if (!DecodeTextArgument(ByteArray, message, messageSize)) {
            Fail(messages::kDecryptTextUnreadable);
            return S_OK;
        }
        UniqueStore userStore(
            CertOpenSystemStoreA(0, WideToCodePage(common::ThreadAnsiCodePage(), p_StoreName).c_str()));
        if (!userStore) {
            Fail(messages::kDecryptTextNoUserStore);
            return S_OK;
        }
        UniqueStore machineStore;
        std::string container;
        DWORD flags = CRYPT_SILENT;
        if (p_ContainerName) {
            container = WideToCodePage(common::ThreadAnsiCodePage(), p_ContainerName);
            machineStore.reset(
                CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, p_StoreName));
            if (!machineStore) {
                FailWithPlatformText(messages::kDecryptTextNoMachineStore);
                return S_OK;
            }
            flags = CRYPT_SILENT | CRYPT_MACHINE_KEYSET;
        } else {
            const LONG version = GetProviderVersion();
            if (version == -1)
                return S_OK;
            UniqueKeyProvInfo info = GetKeyProviderInfo(userStore.get(), p_Hash, p_StoreName, machineStore);
            if (!info)
                return S_OK;
            if (!NamesContainer(*info)) {
                SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
                FailWithPlatformText(messages::kDecryptNoProvider);
                return S_OK;
            }
            container = WideToCodePage(common::ThreadAnsiCodePage(), info->pwszContainerName);
            info.reset();
            const bool machine = machineStore != nullptr;
            if (version <= 0x300) {
                std::string fullName;
                if (!QualifiedContainerName(container, machine, messages::kDecryptTextContainerName,
                                            fullName))
                    return S_OK;
                container = fullName;
            }
            if (machine)
                flags = CRYPT_SILENT | CRYPT_MACHINE_KEYSET;
        }
        HCERTSTORE stores[] = {machineStore ? machineStore.get() : userStore.get()};
        UniqueBlock plain;
        const auto allocate = [&plain](DWORD n) {
            plain = AllocateBlock(n);
            return plain.get();
        };
        DWORD size = 0;
        if (!DecryptWithContainer(container, flags, password, stores, message.get(), messageSize,
                                  messages::kDecryptTextSteps, allocate, size))
            return S_OK;
        message.reset();
        common::UniqueBstr text = EncodeTextResult(plain.get(), size);
        if (!text || !out_message) {
            Fail(messages::kDecryptTextNoResult);
            return S_OK;
        }
        *out_message = text.release();
        return S_OK;
    } catch (const std::exception& e) {
        FailWithException(e.what(), messages::kDecryptTextException);
        return S_FALSE;
    }
}

} // namespace trumik::cryptmsg

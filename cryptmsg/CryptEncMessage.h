// CCryptEncMessage: GOST 28147-89 CMS messages for the holder of a store
// certificate, the provider's key containers and the choice of a
// certificate's key. The automation object of the server forwards to it.
#pragma once

#include "Messages.h"

#include "common/CryptGuards.h"
#include "common/ErrorState.h"

#include <oleauto.h>
#include <wincrypt.h>

#include <functional>
#include <string>

namespace trumik::cryptmsg {

class ArrayDataLock;

using common::AllocateBlock;
using common::UniqueBlock;
using common::UniqueCertContext;
using common::UniqueKeyProvInfo;
using common::UniqueProv;
using common::UniqueStore;

// The text GetProviderInfo hands back.
inline constexpr char16_t kProviderInfoText[] =
    u"Тип криптопровайдера: 75, Наименование криптопровайдера: Crypto-Pro GOST R 34.10-2001 Cryptographic "
    u"Service Provider";

class CCryptEncMessage {
  public:
    CCryptEncMessage() : record_(common::ErrorStackId::CryptEncMessage) { record_.SetError(u"", 0); }

    // The methods of ICryptEncMessage; each returns 0 or 1 (S_OK / S_FALSE)
    // and leaves its outcome in the error record.
    HRESULT CryptMessageByte(BSTR p_StoreName, BSTR p_Hash, LONG in_message_len, VARIANT* ByteArray,
                             VARIANT* out_message);
    HRESULT DecryptMessageByte(BSTR p_StoreName, BSTR p_Hash, BSTR password, LONG in_message_len,
                               VARIANT* ByteArray, VARIANT* out_message);
    HRESULT CryptMessage(BSTR p_StoreName, BSTR p_Hash, BSTR ByteArray, BSTR* out_message);
    HRESULT DecryptMessage(BSTR p_StoreName, BSTR p_Hash, BSTR p_ContainerName, BSTR password, BSTR ByteArray,
                           BSTR* out_message);
    HRESULT GetContainerName(BSTR p_StoreName, BSTR p_Hash, BSTR* container_name);
    HRESULT GetProviderInfo(BSTR* retValue);
    HRESULT CryptGetLastError(BSTR* ErrorMessage) const { return record_.CopyMessage(ErrorMessage); }
    HRESULT CryptGetLastErrorCode(INT* ErrorCode) const { return record_.CopyCode(ErrorCode); }
    HRESULT CryptGetLastErrorStack(BSTR* ErrorStack) const { return record_.CopyStack(ErrorStack); }

    // Class operations used by the methods above. Each sets the error record
    // when it fails and leaves it alone otherwise.

    // The recipient certificate: searched in the user store, then in the
    // machine store; its key must be a key-exchange key of provider type 75.
    UniqueCertContext SelectRecipientCertificate(HCERTSTORE userStore, HCERTSTORE machineStore, BSTR hash);
    // The key-provider information of the certificate, searched in the user
    // store, then in the machine store of the name (handed back in
    // machineStore when the certificate was found there).
    UniqueKeyProvInfo GetKeyProviderInfo(HCERTSTORE userStore, BSTR hash, BSTR storeName,
                                         UniqueStore& machineStore);
    // PP_VERSION of the default provider of type 75; -1 on failure.
    LONG GetProviderVersion();
    // The 1-based position of the container with this unique name; 0 when
    // there is none.
    LONG FindContainerIndex(const std::string& containerName, bool machine);
    // The fully qualified name at a position; false when there is none.
    bool GetContainerNameByIndex(LONG index, bool machine, std::string& name);

    const common::ErrorRecord& Record() const { return record_; }

  private:
    void Fail(const common::Message& message) { record_.SetError(message); }
    void FailWithPlatformText(const common::Message& message)
    {
        record_.PushSystemErrorText();
        record_.SetError(message);
    }
    void FailWithException(const char* what, const common::Message& message)
    {
        record_.PushExceptionText(what);
        record_.SetError(message);
    }
    // Reads the key-provider information property of a certificate, with the
    // messages of the calling operation (size, allocation, read).
    UniqueKeyProvInfo ReadKeyProvInfo(PCCERT_CONTEXT cert, const messages::KeyInfoSteps& steps);
    bool KeyIsUsable(const CRYPT_KEY_PROV_INFO& info);
    // The steps both encryptions share, from the provider context to the
    // encrypted bytes (80005 to 80013). False when one failed, with *status
    // what the method returns; a failed open of the machine store carries the
    // platform's text only where machineStoreText asks for it. The message is
    // written into the buffer that allocate gives for its size (null: out of
    // memory), so that each method chooses where its result lives.
    bool EncryptForHolder(BSTR p_StoreName, BSTR p_Hash, const BYTE* plain, DWORD plainSize,
                          bool machineStoreText, const std::function<BYTE*(DWORD)>& allocate, DWORD& size,
                          HRESULT* status);

    // The checks every method but GetProviderInfo makes first: a store name
    // and a thumbprint; false with the method's message for the missing one.
    bool NamesGiven(BSTR storeName, BSTR hash, const common::Message& noStore, const common::Message& noHash);
    // The byte-array argument of the byte methods: one dimension, its data
    // locked in lock, the count within it; false with the method's message.
    bool LockByteArgument(VARIANT* byteArray, LONG count, const common::Message& notOneDimension,
                          const common::Message& unreadable, ArrayDataLock& lock);
    // The steps both decryptions share, from the provider context of the
    // container (with the PIN when password is not null) to the plain bytes,
    // with the calling method's messages. False when one failed. The plain
    // bytes are written into the buffer that allocate gives for their size
    // (null: out of memory).
    bool DecryptWithContainer(const std::string& container, DWORD flags, BSTR password, HCERTSTORE* store,
                              const BYTE* message, DWORD messageSize, const messages::DecryptionSteps& steps,
                              const std::function<BYTE*(DWORD)>& allocate, DWORD& size);
    // The fully qualified name of a container, as providers up to version 3.0
    // take it (at most 64 bytes); false with the calling method's message.
    bool QualifiedContainerName(const std::string& containerName, bool machine,
                                const messages::ContainerNameSteps& steps, std::string& fullName);

    common::ErrorRecord record_;
};

// Narrow text of a UTF-16 string (up to its first NUL) in a code page.
std::string WideToCodePage(UINT codePage, BSTR text);

// The plain bytes of a Base64 text argument: the text in the system ANSI code
// page, one byte per UTF-16 unit, through a size pass and a decode pass of the
// codec; false when the decode pass fails.
bool DecodeTextArgument(BSTR text, UniqueBlock& bytes, DWORD& size);

// The Base64 text (padded, no line breaks) of bytes as a new automation
// string; null when the encoder fails.
common::UniqueBstr EncodeTextResult(const BYTE* data, DWORD size);

} // namespace trumik::cryptmsg

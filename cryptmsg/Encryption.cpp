// Encryption of data for the holder of a store certificate: a CMS
// enveloped-data message with GOST 28147-89, as bytes or as Base64 text.
#include "ArrayArgument.h"
#include "CryptEncMessage.h"
#include "MessageTextCodec.h"

#include "common/Conversions.h"

#include <winbase.h>
#include <winnls.h>

#include <exception>

namespace trumik::cryptmsg {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
char kGost28147[] = szOID_CP_GOST_28147;

CRYPT_ENCRYPT_MESSAGE_PARA EncryptionParameters(HCRYPTPROV prov)
{
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = kEncoding;
    para.hCryptProv = prov;
    para.ContentEncryptionAlgorithm.pszObjId = kGost28147;
    para.ContentEncryptionAlgorithm.Parameters.cbData = 0;
    para.ContentEncryptionAlgorithm.Parameters.pbData = nullptr;
    para.pvEncryptionAuxInfo = nullptr;
    para.dwFlags = 0;
    para.dwInnerContentType = 0;
    return para;
}

} // namespace

bool DecodeTextArgument(BSTR text, UniqueBlock& bytes, DWORD& size)
{
    const UINT units = SysStringLen(text);
    if (units > static_cast<UINT>(INT32_MAX))
        return false;
    // A multibyte ANSI code page (UTF-8) takes more than one byte for some
    // characters: the text is as long as the conversion says.
    int length = 0;
    if (units > 0) {
        length = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
        if (length <= 0)
            return false;
    }
    UniqueBlock narrow = AllocateBlock(static_cast<size_t>(length));
    if (!narrow)
        return false;
    if (length > 0 &&
        WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), reinterpret_cast<char*>(narrow.get()),
                            length, nullptr, nullptr) != length)
        return false;
    const char* chars = reinterpret_cast<const char*>(narrow.get());
    LONG decoded = 0;
    MessageTextDecode(chars, static_cast<LONG>(length), nullptr, &decoded);
    bytes = AllocateBlock(static_cast<size_t>(decoded));
    LONG capacity = decoded;
    if (!MessageTextDecode(chars, static_cast<LONG>(length), bytes.get(), &capacity))
        return false;
    size = static_cast<DWORD>(capacity);
    return true;
}

common::UniqueBstr EncodeTextResult(const BYTE* data, DWORD size)
{
    if (size > static_cast<DWORD>(INT32_MAX))
        return nullptr;
    const LONG length = MessageTextEncodedLength(static_cast<LONG>(size), kTextNoLineBreaks);
    if (length < 0)
        return nullptr;
    UniqueBlock text = AllocateBlock(static_cast<size_t>(length) + 1);
    LONG written = length;
    if (!text || !MessageTextEncode(data, static_cast<LONG>(size), reinterpret_cast<char*>(text.get()),
                                    &written, kTextNoLineBreaks))
        return nullptr;
    text.get()[written] = 0;
    return common::NarrowToBstr(reinterpret_cast<const char*>(text.get()));
}

bool CCryptEncMessage::EncryptForHolder(BSTR p_StoreName, BSTR p_Hash, const BYTE* plain, DWORD plainSize,
                                        bool machineStoreText, UniqueBlock& encrypted, DWORD& size,
                                        HRESULT* status)
{
    UniqueProv prov;
    if (!CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT)) {
        Fail(messages::kNoProviderContext);
        *status = S_FALSE;
        return false;
    }
    *status = S_OK; // every later failure returns 0
    UniqueStore userStore(
        CertOpenSystemStoreA(prov.get(), WideToCodePage(common::ThreadAnsiCodePage(), p_StoreName).c_str()));
    if (!userStore) {
        Fail(messages::kCryptNoUserStore);
        return false;
    }
    UniqueStore machineStore(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, p_StoreName));
    if (!machineStore) {
        if (machineStoreText)
            FailWithPlatformText(messages::kCryptNoMachineStore);
        else
            Fail(messages::kCryptNoMachineStore);
        return false;
    }
    UniqueCertContext recipient = SelectRecipientCertificate(userStore.get(), machineStore.get(), p_Hash);
    if (!recipient)
        return false;
    CRYPT_ENCRYPT_MESSAGE_PARA para = EncryptionParameters(prov.get());
    PCCERT_CONTEXT recipients[] = {recipient.get()};
    size = 0;
    if (!CryptEncryptMessage(&para, 1, recipients, plain, plainSize, nullptr, &size)) {
        Fail(messages::kCryptNoSize);
        return false;
    }
    encrypted = AllocateBlock(size);
    if (!encrypted) {
        Fail(messages::kCryptNoMemory);
        return false;
    }
    if (!CryptEncryptMessage(&para, 1, recipients, plain, plainSize, encrypted.get(), &size)) {
        FailWithPlatformText(messages::kCryptNotEncrypted);
        return false;
    }
    return true;
}

HRESULT CCryptEncMessage::CryptMessageByte(BSTR p_StoreName, BSTR p_Hash, LONG in_message_len,
                                           VARIANT* ByteArray, VARIANT* out_message)
{
    record_.Reset();
    if (!NamesGiven(p_StoreName, p_Hash, messages::kCryptNoStoreName, messages::kCryptNoThumbprint))
        return S_FALSE;
    ArrayDataLock inputLock;
    if (!LockByteArgument(ByteArray, in_message_len, messages::kCryptNotOneDimension,
                          messages::kCryptBytesUnreadable, inputLock))
        return S_FALSE;
    try {
        UniqueBlock encrypted;
        DWORD size = 0;
        HRESULT status = S_OK;
        if (!EncryptForHolder(p_StoreName, p_Hash, inputLock.data(), static_cast<DWORD>(in_message_len),
                              false, encrypted, size, &status))
            return status;
        if (!out_message || !PutByteArray(encrypted.get(), size, out_message)) {
            Fail(messages::kCryptNoResult);
            return S_OK;
        }
        return S_OK;
    } catch (const std::exception& e) {
        FailWithException(e.what(), messages::kCryptException);
        return S_FALSE;
    }
}

HRESULT CCryptEncMessage::CryptMessage(BSTR p_StoreName, BSTR p_Hash, BSTR ByteArray, BSTR* out_message)
{
    record_.Reset();
    if (!NamesGiven(p_StoreName, p_Hash, messages::kCryptNoStoreName, messages::kCryptNoThumbprint))
        return S_FALSE;
    try {
        UniqueBlock plain;
        DWORD plainSize = 0;
        if (!DecodeTextArgument(ByteArray, plain, plainSize)) {
            Fail(messages::kCryptTextUnreadable);
            return S_OK;
        }
        UniqueBlock encrypted;
        DWORD size = 0;
        HRESULT status = S_OK;
        if (!EncryptForHolder(p_StoreName, p_Hash, plain.get(), plainSize, true, encrypted, size, &status))
            return status;
        common::UniqueBstr text = EncodeTextResult(encrypted.get(), size);
        if (!text || !out_message) {
            Fail(messages::kCryptNoResult);
            return S_OK;
        }
        *out_message = text.release();
        return S_OK;
    } catch (const std::exception& e) {
        FailWithException(e.what(), messages::kCryptException);
        return S_FALSE;
    }
}

} // namespace trumik::cryptmsg

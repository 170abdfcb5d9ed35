// Encryption of data for the holder of a store certificate: a CMS
// enveloped-data message with GOST 28147-89, as bytes or as Base64 text.
#include "ArrayArgument.h"
#include "CryptEncMessage.h"
#include "MessageTextCodec.h"

#include "common/Conversions.h"

#include <winbase.h>
#include <winnls.h>

#include <algorithm>
#include <exception>
#include <vector>

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
    // The text goes to the ANSI code page a piece at a time (never between the
    // two units of a surrogate pair), as long as each conversion says, since a
    // multibyte code page (UTF-8) takes more than one byte for some characters;
    // the decoder keeps only the alphabet, so a large text is never held twice.
    constexpr UINT kPieceUnits = 65536;
    const UINT codePage = common::ThreadAnsiCodePage();
    std::vector<char> narrow;
    std::string kept;
    const auto eachPiece = [&](const auto& use) {
        for (UINT at = 0; at < units;) {
            UINT count = std::min(kPieceUnits, units - at);
            if (at + count < units && count > 1 && text[at + count - 1] >= 0xD800 &&
                text[at + count - 1] <= 0xDBFF)
                --count;
            const int length = WideCharToMultiByte(codePage, 0, text + at, static_cast<int>(count), nullptr,
                                                   0, nullptr, nullptr);
            if (length <= 0)
                return false;
            narrow.resize(static_cast<size_t>(length));
            if (WideCharToMultiByte(codePage, 0, text + at, static_cast<int>(count), narrow.data(), length,
                                    nullptr, nullptr) != length)
                return false;
            MessageTextKeepAlphabet(narrow.data(), length, kept);
            use();
            at += count;
        }
        return true;
    };
    // First the size of the decoded bytes, then the bytes, a whole number of
    // groups of four characters at a time.
    LONG alphabet = 0;
    if (!eachPiece([&] {
            alphabet += static_cast<LONG>(kept.size());
            kept.clear();
        }))
        return false;
    const LONG decoded = MessageTextDecodedLength(alphabet);
    bytes = AllocateBlock(static_cast<size_t>(decoded));
    if (!bytes)
        return false;
    LONG done = 0;
    bool fits = true;
    const auto decode = [&](size_t characters) {
        LONG room = decoded - done;
        fits =
            fits && MessageTextDecode(kept.data(), static_cast<LONG>(characters), bytes.get() + done, &room);
        done += room;
        kept.erase(0, characters);
    };
    if (!eachPiece([&] { decode(kept.size() / 4 * 4); }))
        return false;
    decode(kept.size());
    if (!fits || done != decoded)
        return false;
    size = static_cast<DWORD>(done);
    return true;
}

common::UniqueBstr EncodeTextResult(const BYTE* data, DWORD size)
{
    if (size > static_cast<DWORD>(INT32_MAX))
        return nullptr;
    const LONG length = MessageTextEncodedLength(static_cast<LONG>(size), kTextNoLineBreaks);
    if (length < 0)
        return nullptr;
    common::UniqueBstr text(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (!text)
        return nullptr;
    // Without line breaks, whole groups of three bytes encode on their own, so
    // the text is made a piece at a time, each piece widened from the ANSI code
    // page straight into the result: a large message is never held as text twice.
    constexpr DWORD kPieceBytes = 3 * 16384;
    std::vector<char> piece(static_cast<size_t>(MessageTextEncodedLength(kPieceBytes, kTextNoLineBreaks)));
    const UINT codePage = common::ThreadAnsiCodePage();
    LONG written = 0;
    for (DWORD at = 0; at < size; at += kPieceBytes) {
        const DWORD count = std::min(kPieceBytes, size - at);
        LONG pieceLength = static_cast<LONG>(piece.size());
        if (!MessageTextEncode(data + at, static_cast<LONG>(count), piece.data(), &pieceLength,
                               kTextNoLineBreaks))
            return nullptr;
        const int units = MultiByteToWideChar(codePage, 0, piece.data(), pieceLength, text.get() + written,
                                              length - written);
        if (units != pieceLength)
            return nullptr;
        written += units;
    }
    return written == length ? std::move(text) : nullptr;
}

bool CCryptEncMessage::EncryptForHolder(BSTR p_StoreName, BSTR p_Hash, const BYTE* plain, DWORD plainSize,
                                        bool machineStoreText, const std::function<BYTE*(DWORD)>& allocate,
                                        DWORD& size, HRESULT* status)
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
    BYTE* encrypted = allocate(size);
    if (!encrypted) {
        Fail(messages::kCryptNoMemory);
        return false;
    }
    if (!CryptEncryptMessage(&para, 1, recipients, plain, plainSize, encrypted, &size)) {
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
        // The message is written straight into the array the caller gets.
        ResultByteArray encrypted;
        const auto allocate = [&encrypted](DWORD n) {
            return encrypted.Allocate(n) ? encrypted.data() : nullptr;
        };
        DWORD size = 0;
        HRESULT status = S_OK;
        if (!EncryptForHolder(p_StoreName, p_Hash, inputLock.data(), static_cast<DWORD>(in_message_len),
                              false, allocate, size, &status))
            return status;
        if (!encrypted.Put(size, out_message)) {
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
        const auto allocate = [&encrypted](DWORD n) {
            encrypted = AllocateBlock(n);
            return encrypted.get();
        };
        DWORD size = 0;
        HRESULT status = S_OK;
        if (!EncryptForHolder(p_StoreName, p_Hash, plain.get(), plainSize, true, allocate, size, &status))
            return status;
        plain.reset();
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

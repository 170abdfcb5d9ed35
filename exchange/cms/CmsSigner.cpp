// CCmsSigner: the automation surface over the CMS operations. Arguments are
// checked and converted here (byte arrays, Base64 text, dates), failures go
// into the object's error record with their codes; the work is done by
// CmsOperations.cpp.
#include "exchange/cms/CmsSigner.h"

#include "exchange/cms/Messages.h"

#include "common/Bstr.h"
#include "cryptmsg/ArrayArgument.h"
#include "cryptmsg/CryptEncMessage.h"

#include <winbase.h>

#include <exception>

namespace trumik::exchange::cms {

namespace {

namespace msg = messages;
using cryptmsg::ArrayDataLock;
using cryptmsg::ResultByteArray;

// The bytes of a byte-array argument, locked while the guard lives; an
// argument without an array gives no bytes and false.
bool LockBytes(VARIANT* argument, ArrayDataLock& lock, const BYTE** data, size_t* size)
{
    SAFEARRAY* array = cryptmsg::ArgumentArray(argument);
    if (!array || SafeArrayGetDim(array) != 1 || FAILED(lock.Lock(array)))
        return false;
    *data = lock.data();
    *size = cryptmsg::ArrayByteSize(array);
    return true;
}

// A SignedData argument and its detached content: empty data, or none, for a
// message that carries its content.
struct SignedArguments {
    ArrayDataLock messageLock, contentLock;
    const BYTE* message = nullptr;
    size_t messageSize = 0;
    const BYTE* content = nullptr;
    size_t contentSize = 0;
    ContentSource source;

    // False when the message is missing or empty.
    bool Lock(VARIANT* signedData, VARIANT* data)
    {
        if (!LockBytes(signedData, messageLock, &message, &messageSize) || messageSize == 0)
            return false;
        if (!LockBytes(data, contentLock, &content, &contentSize))
            contentSize = 0;
        source = FromMemory(content, contentSize);
        return true;
    }
    Bytes Message() const { return Bytes(message, message + messageSize); }
    const ContentSource* Content() const { return contentSize ? &source : nullptr; }
};

bool PutBytes(const Bytes& bytes, VARIANT* out)
{
    ResultByteArray result;
    if (!result.Allocate(static_cast<DWORD>(bytes.size())))
        return false;
    if (!bytes.empty())
        std::copy(bytes.begin(), bytes.end(), result.data());
    return result.Put(static_cast<DWORD>(bytes.size()), out);
}

} // namespace

HRESULT CCmsSigner::Failed(const Outcome& outcome)
{
    if (outcome.systemText)
        record_.PushSystemErrorText();
    record_.SetError(*outcome.failure);
    return S_FALSE;
}

bool CCmsSigner::SignBytes(const BYTE* data, size_t size, BSTR storeName, BSTR thumbprint, BSTR pin,
                           bool detached, Bytes* out)
{
    SigningKey key;
    Outcome outcome = key.Open(storeName, thumbprint, pin);
    if (outcome)
        outcome = cms::Sign(key, FromMemory(data, size), detached, out);
    if (!outcome)
        Failed(outcome);
    return static_cast<bool>(outcome);
}

HRESULT CCmsSigner::Sign(VARIANT* data, BSTR storeName, BSTR thumbprint, BSTR pin, VARIANT_BOOL detached,
                         VARIANT* signedData)
{
    std::lock_guard guard(lock_);
    record_.Reset();
    try {
        ArrayDataLock lock;
        const BYTE* bytes = nullptr;
        size_t size = 0;
        if (!storeName || !thumbprint || !LockBytes(data, lock, &bytes, &size))
            return Failed({&msg::kSignBadArguments});
        Bytes result;
        if (!SignBytes(bytes, size, storeName, thumbprint, pin, detached != VARIANT_FALSE, &result))
            return S_FALSE;
        return PutBytes(result, signedData) ? S_OK : Failed({&msg::kNotSigned});
    } catch (const std::exception& e) {
        record_.PushExceptionText(e.what());
        return Failed({&msg::kSignException});
    }
}

HRESULT CCmsSigner::SignText(BSTR base64Data, BSTR storeName, BSTR thumbprint, BSTR pin,
                             VARIANT_BOOL detached, BSTR* signedData)
{
    std::lock_guard guard(lock_);
    record_.Reset();
    try {
        if (!base64Data || !storeName || !thumbprint)
            return Failed({&msg::kSignBadArguments});
        common::UniqueBlock bytes;
        DWORD size = 0;
        if (!cryptmsg::DecodeTextArgument(base64Data, bytes, size))
            return Failed({&msg::kNotBase64});
        Bytes result;
        if (!SignBytes(bytes.get(), size, storeName, thumbprint, pin, detached != VARIANT_FALSE, &result))
            return S_FALSE;
        common::UniqueBstr text =
            cryptmsg::EncodeTextResult(result.data(), static_cast<DWORD>(result.size()));
        if (!text || !signedData)
            return Failed({&msg::kNotSigned});
        *signedData = text.release();
        return S_OK;
    } catch (const std::exception& e) {
        record_.PushExceptionText(e.what());
        return Failed({&msg::kSignException});
    }
}

HRESULT CCmsSigner::CoSign(VARIANT* signedData, VARIANT* data, BSTR storeName, BSTR thumbprint, BSTR pin,
                           VARIANT* result)
{
    std::lock_guard guard(lock_);
    record_.Reset();
    try {
        if (!storeName || !thumbprint)
            return Failed({&msg::kSignBadArguments});
        SignedArguments in;
        if (!in.Lock(signedData, data))
            return Failed({&msg::kVerifyBadArguments});

        SigningKey key;
        Outcome outcome = key.Open(storeName, thumbprint, pin);
        Bytes signedResult;
        if (outcome)
            outcome = cms::CoSign(in.Message(), in.Content(), key, &signedResult);
        if (!outcome)
            return Failed(outcome);
        return PutBytes(signedResult, result) ? S_OK : Failed({&msg::kNotSigned});
    } catch (const std::exception& e) {
        record_.PushExceptionText(e.what());
        return Failed({&msg::kSignException});
    }
}

HRESULT CCmsSigner::Verify(VARIANT* signedData, VARIANT* data, VARIANT_BOOL* result)
{
    if (!result)
        return E_POINTER;
    std::lock_guard guard(lock_);
    record_.Reset();
    *result = VARIANT_FALSE;
    verification_ = Verification{};
    try {
        SignedArguments in;
        if (!in.Lock(signedData, data))
            return Failed({&msg::kVerifyBadArguments});
        if (Outcome outcome = cms::Verify(in.Message(), in.Content(), &verification_); !outcome) {
            verification_ = Verification{};
            return Failed(outcome);
        }
        // A signer that could not be checked says why; a signature that does
        // not hold is a verdict, not a failure.
        for (const SignerResult& signer : verification_.signers)
            if (signer.problem) {
                record_.SetError(*signer.problem);
                break;
            }
        *result = verification_.AllValid() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    } catch (const std::exception& e) {
        verification_ = Verification{};
        record_.PushExceptionText(e.what());
        return Failed({&msg::kVerifyException});
    }
}

const SignerResult* CCmsSigner::At(LONG index)
{
    record_.Reset();
    if (index < 0 || static_cast<size_t>(index) >= verification_.signers.size()) {
        record_.SetError(msg::kBadIndex);
        return nullptr;
    }
    return &verification_.signers[static_cast<size_t>(index)];
}

HRESULT CCmsSigner::SignerCount(LONG* count)
{
    if (!count)
        return E_POINTER;
    std::lock_guard guard(lock_);
    *count = static_cast<LONG>(verification_.signers.size());
    return S_OK;
}

HRESULT CCmsSigner::SignerValid(LONG index, VARIANT_BOOL* valid)
{
    if (!valid)
        return E_POINTER;
    std::lock_guard guard(lock_);
    const SignerResult* signer = At(index);
    *valid = signer && signer->valid ? VARIANT_TRUE : VARIANT_FALSE;
    return signer ? S_OK : S_FALSE;
}

HRESULT CCmsSigner::SignerCertificate(LONG index, BSTR* certificate)
{
    if (!certificate)
        return E_POINTER;
    std::lock_guard guard(lock_);
    *certificate = nullptr;
    const SignerResult* signer = At(index);
    if (!signer)
        return S_FALSE;
    if (signer->certificate.empty()) {
        record_.SetError(msg::kSignerCertificateMissing);
        return S_FALSE;
    }
    common::UniqueBstr text = cryptmsg::EncodeTextResult(signer->certificate.data(),
                                                         static_cast<DWORD>(signer->certificate.size()));
    if (!text)
        return E_OUTOFMEMORY;
    *certificate = text.release();
    return S_OK;
}

HRESULT CCmsSigner::SignerSubject(LONG index, BSTR* subject)
{
    if (!subject)
        return E_POINTER;
    std::lock_guard guard(lock_);
    *subject = nullptr;
    const SignerResult* signer = At(index);
    if (!signer)
        return S_FALSE;
    return common::CopyOut(signer->subject, subject) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CCmsSigner::SigningTime(LONG index, DATE* time)
{
    if (!time)
        return E_POINTER;
    std::lock_guard guard(lock_);
    *time = 0;
    const SignerResult* signer = At(index);
    if (!signer)
        return S_FALSE;
    SYSTEMTIME utc{};
    if (!signer->hasSigningTime || !FileTimeToSystemTime(&signer->signingTime, &utc) ||
        !SystemTimeToVariantTime(&utc, time)) {
        record_.SetError(msg::kNoSigningTime);
        return S_FALSE;
    }
    return S_OK;
}

HRESULT CCmsSigner::Content(VARIANT* content)
{
    if (!content)
        return E_POINTER;
    std::lock_guard guard(lock_);
    record_.Reset();
    if (verification_.signers.empty() || verification_.detached) {
        record_.SetError(msg::kNoContent);
        return S_FALSE;
    }
    return PutBytes(verification_.content, content) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CCmsSigner::GetLastErrorMessage(BSTR* ErrorMessage)
{
    std::lock_guard guard(lock_);
    return record_.CopyMessage(ErrorMessage);
}

HRESULT CCmsSigner::GetLastErrorCode(INT* ErrorCode)
{
    std::lock_guard guard(lock_);
    return record_.CopyCode(ErrorCode);
}

HRESULT CCmsSigner::GetLastErrorStack(BSTR* ErrorStack)
{
    std::lock_guard guard(lock_);
    return record_.CopyStack(ErrorStack);
}

} // namespace trumik::exchange::cms

#include "XmlElementVerifier.h"

#include "Messages.h"

#include "common/XmlLibrary.h"

namespace trumik::exchange {

CXmlElementVerifier::~CXmlElementVerifier()
{
    common::ForgetLibraries(started_, common::ErrorStackId::XmlElementVerifier);
}

HRESULT CXmlElementVerifier::VerifyDocument(BSTR, VARIANT_BOOL* result)
{
    if (!result)
        return E_POINTER;
    *result = VARIANT_FALSE;
    return E_NOTIMPL;
}

const CXmlElementVerifier::Signature* CXmlElementVerifier::At(LONG index)
{
    record_.Reset();
    if (index < 0 || static_cast<size_t>(index) >= signatures_.size()) {
        record_.SetError(messages::kBadIndex);
        return nullptr;
    }
    return &signatures_[static_cast<size_t>(index)];
}

HRESULT CXmlElementVerifier::SignatureCount(LONG* count)
{
    if (!count)
        return E_POINTER;
    std::lock_guard guard(lock_);
    *count = static_cast<LONG>(signatures_.size());
    return S_OK;
}

HRESULT CXmlElementVerifier::SignatureValid(LONG index, VARIANT_BOOL* valid)
{
    if (!valid)
        return E_POINTER;
    std::lock_guard guard(lock_);
    const Signature* signature = At(index);
    *valid = signature && signature->valid ? VARIANT_TRUE : VARIANT_FALSE;
    return signature ? S_OK : S_FALSE;
}

namespace {

// A text of one signature, or S_FALSE with *out null when there is none.
HRESULT CopyText(const CXmlElementVerifier::Signature* signature,
                 std::u16string CXmlElementVerifier::Signature::*field, BSTR* out)
{
    if (!signature) {
        *out = nullptr;
        return S_FALSE;
    }
    return common::CopyOut(signature->*field, out) ? S_OK : E_OUTOFMEMORY;
}

} // namespace

HRESULT CXmlElementVerifier::SignatureReference(LONG index, BSTR* uri)
{
    if (!uri)
        return E_POINTER;
    std::lock_guard guard(lock_);
    return CopyText(At(index), &Signature::reference, uri);
}

HRESULT CXmlElementVerifier::SignerCertificate(LONG index, BSTR* certificate)
{
    if (!certificate)
        return E_POINTER;
    std::lock_guard guard(lock_);
    return CopyText(At(index), &Signature::certificate, certificate);
}

HRESULT CXmlElementVerifier::SignerSubject(LONG index, BSTR* subject)
{
    if (!subject)
        return E_POINTER;
    std::lock_guard guard(lock_);
    return CopyText(At(index), &Signature::subject, subject);
}

HRESULT CXmlElementVerifier::GetLastErrorMessage(BSTR* ErrorMessage)
{
    std::lock_guard guard(lock_);
    return record_.CopyMessage(ErrorMessage);
}

HRESULT CXmlElementVerifier::GetLastErrorCode(INT* ErrorCode)
{
    std::lock_guard guard(lock_);
    return record_.CopyCode(ErrorCode);
}

HRESULT CXmlElementVerifier::GetLastErrorStack(BSTR* ErrorStack)
{
    std::lock_guard guard(lock_);
    return record_.CopyStack(ErrorStack);
}

} // namespace trumik::exchange

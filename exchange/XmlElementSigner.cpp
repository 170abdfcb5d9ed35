#include "XmlElementSigner.h"

#include "Messages.h"

#include "common/XmlLibrary.h"

namespace trumik::exchange {

CXmlElementSigner::~CXmlElementSigner()
{
    common::ForgetLibraries(started_, common::ErrorStackId::XmlElementSigner);
}

HRESULT CXmlElementSigner::SignElement(BSTR, BSTR, BSTR, BSTR, BSTR, BSTR, BSTR, BSTR* signedXml)
{
    if (!signedXml)
        return E_POINTER;
    *signedXml = nullptr;
    return E_NOTIMPL;
}

HRESULT CXmlElementSigner::GetLastErrorMessage(BSTR* ErrorMessage)
{
    std::lock_guard guard(lock_);
    return record_.CopyMessage(ErrorMessage);
}

HRESULT CXmlElementSigner::GetLastErrorCode(INT* ErrorCode)
{
    std::lock_guard guard(lock_);
    return record_.CopyCode(ErrorCode);
}

HRESULT CXmlElementSigner::GetLastErrorStack(BSTR* ErrorStack)
{
    std::lock_guard guard(lock_);
    return record_.CopyStack(ErrorStack);
}

} // namespace trumik::exchange

// The automation object of CCryptEncMessage.
#pragma once

#include "ComObject.h"
#include "ZelvaneTrumikXmlSigner.h"

#include "cryptmsg/CryptEncMessage.h"

namespace trumik::server {

extern const DispTable kCryptEncMessageTable;

class CryptEncMessageObject final : public DualObject<ICryptEncMessage> {
  public:
    explicit CryptEncMessageObject(IUnknown* outer)
        : DualObject(outer, CLSID_CCryptEncMessage, IID_ICryptEncMessage, kCryptEncMessageTable)
    {
    }

    HRESULT STDMETHODCALLTYPE CryptMessageByte(BSTR p_StoreName, BSTR p_Hash, LONG in_message_len,
                                               VARIANT* ByteArray, VARIANT* out_message) override
    {
        return impl_.CryptMessageByte(p_StoreName, p_Hash, in_message_len, ByteArray, out_message);
    }
    HRESULT STDMETHODCALLTYPE DecryptMessageByte(BSTR p_StoreName, BSTR p_Hash, BSTR password,
                                                 LONG in_message_len, VARIANT* ByteArray,
                                                 VARIANT* out_message) override
    {
        return impl_.DecryptMessageByte(p_StoreName, p_Hash, password, in_message_len, ByteArray,
                                        out_message);
    }
    HRESULT STDMETHODCALLTYPE CryptMessage(BSTR p_StoreName, BSTR p_Hash, BSTR ByteArray,
                                           BSTR* out_message) override
    {
        return impl_.CryptMessage(p_StoreName, p_Hash, ByteArray, out_message);
    }
    HRESULT STDMETHODCALLTYPE DecryptMessage(BSTR p_StoreName, BSTR p_Hash, BSTR p_ContainerName,
                                             BSTR password, BSTR ByteArray, BSTR* out_message) override
    {
        return impl_.DecryptMessage(p_StoreName, p_Hash, p_ContainerName, password, ByteArray, out_message);
    }
    HRESULT STDMETHODCALLTYPE GetContainerName(BSTR p_StoreName, BSTR p_Hash, BSTR* container_name) override
    {
        return impl_.GetContainerName(p_StoreName, p_Hash, container_name);
    }
    HRESULT STDMETHODCALLTYPE GetProviderInfo(BSTR* retValue) override
    {
        return impl_.GetProviderInfo(retValue);
    }
    HRESULT STDMETHODCALLTYPE CryptGetLastError(BSTR* ErrorMessage) override
    {
        return impl_.CryptGetLastError(ErrorMessage);
    }
    HRESULT STDMETHODCALLTYPE CryptGetLastErrorCode(INT* ErrorCode) override
    {
        return impl_.CryptGetLastErrorCode(ErrorCode);
    }
    HRESULT STDMETHODCALLTYPE CryptGetLastErrorStack(BSTR* ErrorStack) override
    {
        return impl_.CryptGetLastErrorStack(ErrorStack);
    }

  private:
    cryptmsg::CCryptEncMessage impl_;
};

} // namespace trumik::server

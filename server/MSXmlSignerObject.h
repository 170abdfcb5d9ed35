// The automation object of CMSXmlSigner.
#pragma once

#include "ComObject.h"
#include "ZelvaneTrumikXmlSigner.h"

#include "signer/MSXmlSigner.h"

namespace trumik::server {

extern const DispTable kMSXmlSignerTable;

class MSXmlSignerObject final : public DualObject<IMSXmlSigner> {
  public:
    explicit MSXmlSignerObject(IUnknown* outer)
        : DualObject(outer, CLSID_CMSXmlSigner, IID_IMSXmlSigner, kMSXmlSignerTable)
    {
    }

    HRESULT STDMETHODCALLTYPE SignWithCertStore(BSTR xml, BSTR certStoreName, BSTR certHashString,
                                                BSTR* retXml) override
    {
        return signer_.SignWithCertStore(xml, certStoreName, certHashString, retXml);
    }
    HRESULT STDMETHODCALLTYPE SignGetLastError(BSTR* ErrorMessage) override
    {
        return signer_.SignGetLastError(ErrorMessage);
    }
    HRESULT STDMETHODCALLTYPE SignGetLastErrorCode(INT* ErrorCode) override
    {
        return signer_.SignGetLastErrorCode(ErrorCode);
    }
    HRESULT STDMETHODCALLTYPE SignGetLastErrorStack(BSTR* ErrorStack) override
    {
        return signer_.SignGetLastErrorStack(ErrorStack);
    }
    HRESULT STDMETHODCALLTYPE SignWithCertStorePass(BSTR xml, BSTR certStoreName, BSTR certHashString,
                                                    BSTR password, BSTR* retXml) override
    {
        return signer_.SignWithCertStorePass(xml, certStoreName, certHashString, password, retXml);
    }

  private:
    // Empties the class's stack (when this object started the libraries)
    // before the module lock count is lowered by the base.
    signer::CMSXmlSigner signer_;
};

} // namespace trumik::server

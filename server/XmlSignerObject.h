// The automation object of CXmlSigner.
#pragma once

#include "ComObject.h"
#include "ZelvaneTrumikXmlSigner.h"

#include "pemsigner/XmlSigner.h"

namespace trumik::server {

extern const DispTable kXmlSignerTable;

class XmlSignerObject final : public DualObject<IXmlSigner> {
  public:
    explicit XmlSignerObject(IUnknown* outer)
        : DualObject(outer, CLSID_CXmlSigner, IID_IXmlSigner, kXmlSignerTable)
    {
    }

    HRESULT STDMETHODCALLTYPE SignWithKey(BSTR xml, BSTR keyFile, BSTR* retXml) override
    {
        return signer_.SignWithKey(xml, keyFile, retXml);
    }
    HRESULT STDMETHODCALLTYPE SignFGetLastError(BSTR* ErrorMessage) override
    {
        return signer_.SignFGetLastError(ErrorMessage);
    }

  private:
    // Shuts the libraries down (when this object started them) before the
    // module lock count is lowered by the base.
    pemsigner::CXmlSigner signer_;
};

} // namespace trumik::server

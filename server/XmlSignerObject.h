// The automation object of XmlSigner: its interface, dispatch table and
// forwarders come from the IDL (ZelvaneTrumikXmlSigner_dispatch.h).
#pragma once

#include "ZelvaneTrumikXmlSigner_dispatch.h"

#include "pemsigner/XmlSigner.h"

#include <iterator>

namespace trumik::server {

// The only interface that places named arguments, by its parameter names.
inline constexpr DispTable kXmlSignerTable = {
    IXmlSigner_dispatch::kMethods, std::size(IXmlSigner_dispatch::kMethods), IXmlSigner_dispatch::kParamNames,
    std::size(IXmlSigner_dispatch::kParamNames)};

class XmlSignerObject final : public IXmlSignerObject<XmlSignerObject> {
  public:
    explicit XmlSignerObject(IUnknown* outer)
        : IXmlSignerObject(outer, CLSID_CXmlSigner, IID_IXmlSigner, kXmlSignerTable)
    {
    }

    // What the interface's methods forward to.
    pemsigner::CXmlSigner& Target() { return signer_; }

  private:
    // Shuts the libraries down (when this object started them) before the
    // module lock count is lowered by the base.
    pemsigner::CXmlSigner signer_;
};

} // namespace trumik::server

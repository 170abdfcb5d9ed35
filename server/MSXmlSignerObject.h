// The automation object of MSXmlSigner: its interface, dispatch table and
// forwarders come from the IDL (ZelvaneTrumikXmlSigner_dispatch.h).
#pragma once

#include "ZelvaneTrumikXmlSigner_dispatch.h"

#include "signer/MSXmlSigner.h"

#include <iterator>

namespace trumik::server {

// The interface knows only its method names.
inline constexpr DispTable kMSXmlSignerTable = {IMSXmlSigner_dispatch::kMethods,
                                                std::size(IMSXmlSigner_dispatch::kMethods), nullptr, 0};

class MSXmlSignerObject final : public IMSXmlSignerObject<MSXmlSignerObject> {
  public:
    explicit MSXmlSignerObject(IUnknown* outer)
        : IMSXmlSignerObject(outer, CLSID_CMSXmlSigner, IID_IMSXmlSigner, kMSXmlSignerTable)
    {
    }

    // What the interface's methods forward to.
    signer::CMSXmlSigner& Target() { return signer_; }

  private:
    // Empties the class's stack (when this object started the libraries)
    // before the module lock count is lowered by the base.
    signer::CMSXmlSigner signer_;
};

} // namespace trumik::server

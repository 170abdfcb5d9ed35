// The automation object of MSXmlVerifier: its interface, dispatch table and
// forwarders come from the IDL (ZelvaneTrumikXmlSigner_dispatch.h).
#pragma once

#include "ZelvaneTrumikXmlSigner_dispatch.h"

#include "verifier/MSXmlVerifier.h"

#include <iterator>

namespace trumik::server {

// The interface knows only its method names.
inline constexpr DispTable kMSXmlVerifierTable = {IMSXmlVerifier_dispatch::kMethods,
                                                  std::size(IMSXmlVerifier_dispatch::kMethods), nullptr, 0};

class MSXmlVerifierObject final : public IMSXmlVerifierObject<MSXmlVerifierObject> {
  public:
    explicit MSXmlVerifierObject(IUnknown* outer)
        : IMSXmlVerifierObject(outer, CLSID_CMSXmlVerifier, IID_IMSXmlVerifier, kMSXmlVerifierTable)
    {
    }

    // What the interface's methods forward to.
    verifier::CMSXmlVerifier& Target() { return verifier_; }

  private:
    // Empties the class's stack at release when this object started the
    // libraries, before the base lowers the module lock count.
    verifier::CMSXmlVerifier verifier_;
};

} // namespace trumik::server

// The automation object of CryptEncMessage: its interface, dispatch table and
// forwarders come from the IDL (ZelvaneTrumikXmlSigner_dispatch.h).
#pragma once

#include "ZelvaneTrumikXmlSigner_dispatch.h"

#include "cryptmsg/CryptEncMessage.h"

#include <iterator>

namespace trumik::server {

// The interface knows only its method names; a string result that the
// method leaves null leaves the result variant empty.
inline constexpr DispTable kCryptEncMessageTable = {
    ICryptEncMessage_dispatch::kMethods, std::size(ICryptEncMessage_dispatch::kMethods), nullptr, 0, true};

class CryptEncMessageObject final : public ICryptEncMessageObject<CryptEncMessageObject> {
  public:
    explicit CryptEncMessageObject(IUnknown* outer)
        : ICryptEncMessageObject(outer, CLSID_CCryptEncMessage, IID_ICryptEncMessage, kCryptEncMessageTable)
    {
    }

    // What the interface's methods forward to.
    cryptmsg::CCryptEncMessage& Target() { return impl_; }

  private:
    // The component object.
    cryptmsg::CCryptEncMessage impl_;
};

} // namespace trumik::server

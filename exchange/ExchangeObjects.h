// The automation objects of the exchange module: their interfaces, dispatch
// tables and forwarders come from the IDL (ZelvaneTrumikExchange_dispatch.h);
// each object forwards to its component class.
#pragma once

#include "ZelvaneTrumikExchange_dispatch.h"

#include "exchange/XmlElementSigner.h"
#include "exchange/XmlElementVerifier.h"
#include "exchange/cms/CmsSigner.h"

#include <iterator>

namespace trumik::exchange {

// The interfaces of this module know their method names only.
inline constexpr server::DispTable kXmlElementSignerTable = {
    server::IXmlElementSigner_dispatch::kMethods, std::size(server::IXmlElementSigner_dispatch::kMethods),
    nullptr, 0};
inline constexpr server::DispTable kXmlElementVerifierTable = {
    server::IXmlElementVerifier_dispatch::kMethods, std::size(server::IXmlElementVerifier_dispatch::kMethods),
    nullptr, 0};

inline constexpr server::DispTable kCmsSignerTable = {
    server::ICmsSigner_dispatch::kMethods, std::size(server::ICmsSigner_dispatch::kMethods), nullptr, 0};

class XmlElementSignerObject final : public server::IXmlElementSignerObject<XmlElementSignerObject> {
  public:
    explicit XmlElementSignerObject(IUnknown* outer)
        : IXmlElementSignerObject(outer, CLSID_CXmlElementSigner, IID_IXmlElementSigner,
                                  kXmlElementSignerTable)
    {
    }
    CXmlElementSigner& Target() { return signer_; }

  private:
    CXmlElementSigner signer_;
};

class XmlElementVerifierObject final : public server::IXmlElementVerifierObject<XmlElementVerifierObject> {
  public:
    explicit XmlElementVerifierObject(IUnknown* outer)
        : IXmlElementVerifierObject(outer, CLSID_CXmlElementVerifier, IID_IXmlElementVerifier,
                                    kXmlElementVerifierTable)
    {
    }
    CXmlElementVerifier& Target() { return verifier_; }

  private:
    CXmlElementVerifier verifier_;
};

class CmsSignerObject final : public server::ICmsSignerObject<CmsSignerObject> {
  public:
    explicit CmsSignerObject(IUnknown* outer)
        : ICmsSignerObject(outer, CLSID_CCmsSigner, IID_ICmsSigner, kCmsSignerTable)
    {
    }
    cms::CCmsSigner& Target() { return signer_; }

  private:
    cms::CCmsSigner signer_;
};

} // namespace trumik::exchange

// The object map of Zelvane.Trumik.Exchange: its classes in the order the
// module lists them. A new class is one entry here and one coclass in the IDL.
#include "ObjectMap.h"

#include "ExchangeObjects.h"
#include "ZelvaneTrumikExchange.h"

#include <iterator>

namespace trumik::server {

namespace {

using exchange::CmsSignerObject;
using exchange::XmlElementSignerObject;
using exchange::XmlElementVerifierObject;

const ClassEntry kObjectMap[] = {
    {&CLSID_CXmlElementSigner, u"ZelvaneTrumikExchange.XmlElementSigner.1",
     u"ZelvaneTrumikExchange.XmlElementSigner", u"CXmlElementSigner Object", u"both",
     CreateObject<XmlElementSignerObject>},
    {&CLSID_CXmlElementVerifier, u"ZelvaneTrumikExchange.XmlElementVerifier.1",
     u"ZelvaneTrumikExchange.XmlElementVerifier", u"CXmlElementVerifier Object", u"both",
     CreateObject<XmlElementVerifierObject>},
    {&CLSID_CCmsSigner, u"ZelvaneTrumikExchange.CmsSigner.1", u"ZelvaneTrumikExchange.CmsSigner",
     u"CCmsSigner Object", u"both", CreateObject<CmsSignerObject>},
};

const ModuleDefinition kModule = {&LIBID_ZelvaneTrumikExchange, kObjectMap, std::size(kObjectMap)};

} // namespace

const ModuleDefinition& ThisModule()
{
    return kModule;
}

} // namespace trumik::server

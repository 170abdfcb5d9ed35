// The object map of Zelvane.Trumik.XmlSigner: its four classes in the order
// the module lists them.
#include "ObjectMap.h"

#include "CryptEncMessageObject.h"
#include "MSXmlSignerObject.h"
#include "MSXmlVerifierObject.h"
#include "XmlSignerObject.h"
#include "ZelvaneTrumikXmlSigner.h"

#include <iterator>

namespace trumik::server {

namespace {

const ClassEntry kObjectMap[] = {
    {&CLSID_CCryptEncMessage, u"ZelvaneTrumikXmlSigner.CryptEncMessage.1",
     u"ZelvaneTrumikXmlSigner.CryptEncMessage", u"CCryptEncMessage Object", u"apartment",
     CreateObject<CryptEncMessageObject>},
    {&CLSID_CMSXmlSigner, u"ZelvaneTrumikXmlSigner.MSXmlSigner.1", u"ZelvaneTrumikXmlSigner.MSXmlSigner",
     u"CMSXmlSigner Object", u"apartment", CreateObject<MSXmlSignerObject>},
    {&CLSID_CMSXmlVerifier, u"ZelvaneTrumikXmlSigner.MSXmlVerifier.1",
     u"ZelvaneTrumikXmlSigner.MSXmlVerifier", u"CMSXmlVerifier Object", u"apartment",
     CreateObject<MSXmlVerifierObject>},
    {&CLSID_CXmlSigner, u"ZelvaneTrumik.XmlSigner.1", u"ZelvaneTrumik.XmlSigner", u"CXmlSigner Object",
     u"both", CreateObject<XmlSignerObject>},
};

const ModuleDefinition kModule = {&LIBID_ZelvaneTrumikXmlSigner, kObjectMap, std::size(kObjectMap)};

} // namespace

const ModuleDefinition& ThisModule()
{
    return kModule;
}

} // namespace trumik::server

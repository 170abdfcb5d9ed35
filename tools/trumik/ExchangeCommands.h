// trumik sign-element and verify-element: the classes of the exchange module
// (ZelvaneTrumikExchange.XmlElementSigner, .XmlElementVerifier) by late binding.
#pragma once

#include <string>
#include <vector>

namespace trumik::host {

// sign-element: 0 signed, 1 refused (the component's message on standard
// error), 2 usage error or no object. verify-element: 0 when every signature
// holds, 1 when one does not (or the document cannot be read), 2 usage error
// or no object.
int SignElementCommand(const std::vector<std::string>& args);
int VerifyElementCommand(const std::vector<std::string>& args);

extern const char kSignElementHelp[];
extern const char kVerifyElementHelp[];

} // namespace trumik::host

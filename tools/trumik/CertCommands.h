// The administrative commands over the platform's certificate stores, key
// containers and GOST provider. They call the platform library directly.
#pragma once

#include <string>
#include <vector>

namespace trumik::host {

int CertCommand(const std::vector<std::string>& args);      // trumik cert new|import|list|show|export|delete
int CrlCommand(const std::vector<std::string>& args);       // trumik crl import
int ContainerCommand(const std::vector<std::string>& args); // trumik container list|export|delete
int ProviderCommand(const std::vector<std::string>& args);  // trumik provider version|gost2012

} // namespace trumik::host

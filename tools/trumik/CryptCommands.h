// trumik encrypt, decrypt, container-name and provider-info: the methods of
// ZelvaneTrumikXmlSigner.CryptEncMessage by late binding.
#pragma once

#include <string>
#include <vector>

namespace trumik::host {

// Each returns the exit status: 0 on success, 1 when the component reports a
// failure (its message on standard error), 2 for a usage error or when the
// object cannot be made.
int EncryptCommand(const std::vector<std::string>& args);
int DecryptCommand(const std::vector<std::string>& args);
int ContainerNameCommand(const std::vector<std::string>& args);
int ProviderInfoCommand(const std::vector<std::string>& args);

extern const char kEncryptHelp[];
extern const char kDecryptHelp[];
extern const char kContainerNameHelp[];
extern const char kProviderInfoHelp[];

} // namespace trumik::host

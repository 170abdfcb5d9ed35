// trumik token: PKCS #11 token libraries for the provider and the key pairs
// and certificates on their tokens.
#pragma once

#include <string>
#include <vector>

namespace trumik::host {

int TokenCommand(const std::vector<std::string>& args); // trumik token add|remove|list|import

} // namespace trumik::host

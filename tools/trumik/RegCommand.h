// trumik reg query|add|delete: the registry, in the manner of Windows' reg.
#pragma once

#include <string>
#include <vector>

namespace trumik::host {

int RegCommand(const std::vector<std::string>& args);

} // namespace trumik::host

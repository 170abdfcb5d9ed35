// The component's settings in the registry, set and shown by the host.
#pragma once

#include <string>
#include <vector>

namespace trumik::host {

// trumik provider gost2012 [on|off]: shows or sets
// HKEY_LOCAL_MACHINE\SOFTWARE\Trumik\Component, AcceptGost2012 (REG_DWORD).
int Gost2012Command(const std::vector<std::string>& args);
// Whether the component accepts GOST R 34.10-2012 now.
bool Gost2012SwitchOn();

} // namespace trumik::host

// The system message table: the texts FormatMessage gives for system codes.
#pragma once

#include "windef.h"

namespace trumik::platform {

// The text of a Russian system for the code (UTF-8, ending in CR LF), or
// null when the table has none.
const char* FindSystemMessage(DWORD code);

} // namespace trumik::platform

// The platform's root directory: $TRUMIK_HOME, or ~/.trumik.
#pragma once

#include <filesystem>

namespace trumik::platform {

// The root, created (mode 0700) when missing. Read from the environment at
// every call, so a process that changes TRUMIK_HOME sees the new root.
std::filesystem::path HomeDir();

} // namespace trumik::platform

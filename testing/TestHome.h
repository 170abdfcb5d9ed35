// Every test process runs against a fresh platform root, never the user's own.
#pragma once

#include <filesystem>
#include <string>

namespace trumik::testing {

// The root directory (TRUMIK_HOME) made for this test process.
const std::filesystem::path& TestHome();

// A new empty folder under the test root.
std::filesystem::path MakeTempDir(const std::string& prefix);

// Reads a whole file; writes a whole file.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& content);

// Runs a shell command, returns its exit status and captures standard output
// (and standard error, when mergeStderr is set).
int RunCommand(const std::string& command, std::string* output = nullptr, bool mergeStderr = true);

// Runs a shell command in the folder dir; returns its exit status with
// standard output and standard error each captured apart.
int RunApart(const std::filesystem::path& dir, const std::string& command, std::string& out,
             std::string& err);

} // namespace trumik::testing

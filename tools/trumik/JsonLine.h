// The host's JSON: values are nlohmann's ordered JSON (object members keep
// the order they were set in), and each reply is written on one line with
// ", " and ": " between its parts, as the host has always printed it.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace trumik::host {

using Json = nlohmann::ordered_json;

// One line of the host's output for the value: numbers with an integral value
// below 1e15 without a fraction, others with 17 significant digits, and not
// finite ones as null; strings as UTF-8 with the escapes JSON requires.
std::string DumpLine(const Json& json);

// The member of an object; null when json is not an object or has no such
// member.
const Json* Find(const Json& json, const char* key);

} // namespace trumik::host

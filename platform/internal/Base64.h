// Base64 (RFC 4648, the standard alphabet, padded, no line breaks) for the
// platform's own files and for the tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trumik::platform {

std::string Base64Encode(const uint8_t* data, size_t size);
inline std::string Base64Encode(const std::vector<uint8_t>& data)
{
    return Base64Encode(data.data(), data.size());
}

// Exactly a padded Base64 text: nullopt when it is empty, not a multiple of
// four characters long, or holds anything outside the alphabet.
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);

// Text that a person may have wrapped or pasted: whatever is outside the
// alphabet (line breaks, blanks, padding) is passed over.
std::vector<uint8_t> Base64DecodeLenient(std::string_view text);

} // namespace trumik::platform

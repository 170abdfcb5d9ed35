#include "internal/Base64.h"

#include <openssl/evp.h>

#include <cstring>

namespace trumik::platform {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

std::string Base64Encode(const uint8_t* data, size_t size)
{
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text)
{
    if (text.empty() || text.size() % 4 != 0)
        return std::nullopt;
    std::vector<uint8_t> out(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0)
        return std::nullopt;
    size_t pad = text[text.size() - 1] == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::vector<uint8_t> Base64DecodeLenient(std::string_view text)
{
    std::vector<uint8_t> bytes;
    unsigned bits = 0;
    int count = 0;
    for (unsigned char c : text) {
        const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
        if (!p)
            continue;
        bits = (bits << 6) | unsigned(p - kAlphabet);
        if ((count += 6) >= 8) {
            count -= 8;
            bytes.push_back(static_cast<uint8_t>((bits >> count) & 0xFF));
        }
    }
    return bytes;
}

} // namespace trumik::platform

// libFuzzer entry point: the Base64 text codec of the messages. The first
// byte picks the encoder flags, the rest is the data. Every text the encoder
// writes decodes to the data it came from; the encoder writes only the
// alphabet, its padding and CR LF line breaks (lines of at most 76
// characters), never beyond the length it announces; and any input taken as
// text decodes into a buffer of the size the decoder's size query gave.
// Built with -fsanitize=fuzzer under TRUMIK_FUZZ; the test run drives it
// through FuzzTextCodecDriverTest.cpp.
#include "cryptmsg/MessageTextCodec.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Require(bool ok, const char* what, size_t size)
{
    if (!ok) {
        std::fprintf(stderr, "FuzzTextCodec: %s (input of %zu bytes)\n", what, size);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace trumik::cryptmsg;
    if (size == 0 || size > (1u << 20))
        return 0;
    const DWORD flags = data[0] & (kTextNoPadding | kTextNoLineBreaks);
    const BYTE none = 0;
    const BYTE* bytes = size > 1 ? data + 1 : &none;
    const LONG count = static_cast<LONG>(size - 1);

    const LONG needed = MessageTextEncodedLength(count, flags);
    Require(needed >= 0, "no encoded length", size);
    std::vector<char> text(static_cast<size_t>(needed) + 1, '\x7f');
    LONG length = needed - 1;
    if (needed > 0)
        Require(!MessageTextEncode(bytes, count, text.data(), &length, flags) && text[0] == '\x7f',
                "a capacity below the encoded length is taken", size);
    length = needed;
    Require(MessageTextEncode(bytes, count, text.data(), &length, flags), "encoding refused", size);
    Require(length >= 0 && length <= needed && text[static_cast<size_t>(needed)] == '\x7f',
            "written beyond the announced length", size);

    LONG lineLength = 0;
    for (LONG i = 0; i < length; ++i) {
        const char c = text[static_cast<size_t>(i)];
        if (c == '\r') {
            Require(!(flags & kTextNoLineBreaks) && i + 1 < length &&
                        text[static_cast<size_t>(i) + 1] == '\n',
                    "a stray line break", size);
            Require(lineLength <= 76, "a line longer than 76 characters", size);
            lineLength = 0;
            ++i;
            continue;
        }
        Require(std::strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", c) ||
                    (c == '=' && !(flags & kTextNoPadding)),
                "a character outside the alphabet", size);
        ++lineLength;
    }
    Require((flags & kTextNoLineBreaks) || lineLength <= 76, "a line longer than 76 characters", size);

    // decode(encode(x)) == x, with the size query first.
    LONG decodedSize = -1;
    Require(!MessageTextDecode(text.data(), length, nullptr, &decodedSize) && decodedSize == count,
            "the size query disagrees with the data", size);
    std::vector<BYTE> back(static_cast<size_t>(count) + 1);
    LONG capacity = count;
    Require(MessageTextDecode(text.data(), length, back.data(), &capacity) && capacity == count &&
                std::memcmp(back.data(), bytes, static_cast<size_t>(count)) == 0,
            "decode(encode(x)) differs from x", size);

    // The raw input as text: the size query's answer is what fits.
    const char* raw = reinterpret_cast<const char*>(data);
    LONG rawSize = -1;
    MessageTextDecode(raw, static_cast<LONG>(size), nullptr, &rawSize);
    Require(rawSize >= 0, "no size for a text", size);
    std::vector<BYTE> rawOut(static_cast<size_t>(rawSize) + 1);
    LONG rawCapacity = rawSize;
    Require(MessageTextDecode(raw, static_cast<LONG>(size), rawOut.data(), &rawCapacity) &&
                rawCapacity == rawSize,
            "a text does not decode into the size its query gave", size);
    return 0;
}

#include "MessageTextCodec.h"

#include <cstdint>

namespace trumik::cryptmsg {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineGroups = 19; // 76 characters per line

int AlphabetValue(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

LONG MessageTextEncodedLength(LONG count, DWORD flags)
{
    if (count < 0)
        return -1;
    const int64_t n = count;
    int64_t b = 4 * n / 3;
    if (!(flags & kTextNoPadding))
        b += n % 3;
    const int64_t unrounded = b;
    if ((b % 76) % 4 != 0)
        b += 4 - b % 4;
    int64_t result = b;
    if (!(flags & kTextNoLineBreaks))
        result = b + 2 * (unrounded / 76) + 2;
    return result > INT32_MAX ? -1 : static_cast<LONG>(result);
}

bool MessageTextEncode(const BYTE* data, LONG count, char* text, LONG* length, DWORD flags)
{
    if (!data || !text || !length)
        return false;
    const LONG needed = MessageTextEncodedLength(count, flags);
    if (needed < 0 || *length < needed)
        return false;
    const bool lineBreaks = !(flags & kTextNoLineBreaks);
    const LONG groups = count / 3;
    LONG out = 0;
    auto putGroup = [&](const BYTE* g) {
        const uint32_t v = (uint32_t(g[0]) << 16) | (uint32_t(g[1]) << 8) | g[2];
        text[out++] = kAlphabet[(v >> 18) & 63];
        text[out++] = kAlphabet[(v >> 12) & 63];
        text[out++] = kAlphabet[(v >> 6) & 63];
        text[out++] = kAlphabet[v & 63];
    };
    if (!lineBreaks) {
        for (LONG i = 0; i < groups; ++i)
            putGroup(data + 3 * i);
    } else {
        // Whole lines of 19 groups and one last line of what remains, each
        // followed by CR LF; the last CR LF is then taken back.
        const LONG fullLines = groups / kLineGroups;
        LONG group = 0;
        for (LONG line = 0; line <= fullLines; ++line) {
            const LONG inLine = line < fullLines ? kLineGroups : groups - fullLines * kLineGroups;
            for (LONG i = 0; i < inLine; ++i, ++group)
                putGroup(data + 3 * group);
            text[out++] = '\r';
            text[out++] = '\n';
        }
        out -= 2;
    }
    const LONG rest = count % 3;
    if (rest != 0) {
        const BYTE* tail = data + 3 * groups;
        const uint32_t v = (uint32_t(tail[0]) << 16) | (rest == 2 ? uint32_t(tail[1]) << 8 : 0);
        text[out++] = kAlphabet[(v >> 18) & 63];
        text[out++] = kAlphabet[(v >> 12) & 63];
        if (rest == 2)
            text[out++] = kAlphabet[(v >> 6) & 63];
        if (!(flags & kTextNoPadding)) {
            text[out++] = '=';
            if (rest == 1)
                text[out++] = '=';
        }
    }
    *length = out;
    return true;
}

bool MessageTextDecode(const char* text, LONG textLength, BYTE* output, LONG* length)
{
    if (!text || !length || textLength < 0)
        return false;
    bool overflow = output == nullptr;
    const LONG capacity = output ? *length : 0;
    LONG total = 0;
    LONG pos = 0;
    while (pos < textLength) {
        uint32_t bits = 0;
        int k = 0;
        for (; pos < textLength && k < 4; ++pos) {
            const int value = AlphabetValue(static_cast<unsigned char>(text[pos]));
            if (value < 0)
                continue;
            bits = (bits << 6) | uint32_t(value);
            ++k;
        }
        const int produced = 6 * k / 8;
        if (produced == 0)
            continue;
        bits <<= 6 * (4 - k); // most significant end first; low bits are dropped
        if (!overflow && total + produced > capacity)
            overflow = true;
        if (!overflow)
            for (int i = 0; i < produced; ++i)
                output[total + i] = static_cast<BYTE>(bits >> (16 - 8 * i));
        total += produced;
    }
    *length = total;
    return !overflow;
}

void MessageTextKeepAlphabet(const char* text, LONG textLength, std::string& kept)
{
    for (LONG i = 0; i < textLength; ++i)
        if (AlphabetValue(static_cast<unsigned char>(text[i])) >= 0)
            kept.push_back(text[i]);
}

LONG MessageTextDecodedLength(LONG count)
{
    return count < 0 ? 0 : count / 4 * 3 + 6 * (count % 4) / 8;
}

} // namespace trumik::cryptmsg

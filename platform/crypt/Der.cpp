// Definite-length DER reading and writing for the message code.
#include "crypt/Der.h"

#include <cstdint>
#include <cstdlib>

namespace trumik::crypt::der {

bool ReadTlv(const BYTE* data, size_t at, size_t limit, Tlv* out)
{
    if (!data || at >= limit || limit - at < 2)
        return false;
    const BYTE tag = data[at];
    if ((tag & 0x1F) == 0x1F)
        return false;
    size_t pos = at + 1;
    size_t length = data[pos++];
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || count > limit - pos)
            return false;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | data[pos++];
    }
    if (length > limit - pos)
        return false;
    *out = Tlv{tag, at, pos, length};
    return true;
}

bool Children(const BYTE* data, const Tlv& parent, std::vector<Tlv>* out)
{
    out->clear();
    for (size_t at = parent.content; at < parent.End();) {
        Tlv child;
        if (!ReadTlv(data, at, parent.End(), &child))
            return false;
        out->push_back(child);
        at = child.End();
    }
    return true;
}

void AppendLength(Bytes& out, size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<BYTE>(length));
        return;
    }
    BYTE bytes[sizeof(size_t)];
    size_t n = 0;
    for (size_t v = length; v; v >>= 8)
        bytes[n++] = static_cast<BYTE>(v);
    out.push_back(static_cast<BYTE>(0x80 | n));
    while (n)
        out.push_back(bytes[--n]);
}

void AppendTlv(Bytes& out, BYTE tag, const BYTE* content, size_t length)
{
    out.push_back(tag);
    AppendLength(out, length);
    if (length)
        out.insert(out.end(), content, content + length);
}

Bytes EncodeOid(const std::string& dotted)
{
    std::vector<uint64_t> arcs;
    const char* p = dotted.c_str();
    while (*p) {
        char* end = nullptr;
        if (*p < '0' || *p > '9')
            return {};
        arcs.push_back(std::strtoull(p, &end, 10));
        p = end;
        if (*p == '.')
            ++p;
        else if (*p)
            return {};
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39))
        return {};
    Bytes content;
    auto base128 = [&content](uint64_t v) {
        BYTE tmp[10];
        size_t n = 0;
        do {
            tmp[n++] = static_cast<BYTE>(v & 0x7F);
            v >>= 7;
        } while (v);
        while (n > 1)
            content.push_back(static_cast<BYTE>(tmp[--n] | 0x80));
        content.push_back(tmp[0]);
    };
    base128(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i)
        base128(arcs[i]);
    return Wrap(0x06, content);
}

std::string OidText(const BYTE* content, size_t length)
{
    std::string text;
    uint64_t value = 0;
    bool first = true;
    for (size_t i = 0; i < length; ++i) {
        if (value > (UINT64_MAX >> 7))
            return {};
        value = (value << 7) | (content[i] & 0x7F);
        if (content[i] & 0x80)
            continue;
        if (first) {
            const uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
            text = std::to_string(top) + "." + std::to_string(value - top * 40);
            first = false;
        } else {
            text += "." + std::to_string(value);
        }
        value = 0;
    }
    if (length == 0 || (content[length - 1] & 0x80))
        return {};
    return text;
}

} // namespace trumik::crypt::der

// Definite-length DER, read and written in place: one TLV at a time within
// bounds the caller gives, so that nothing is read past the bytes at hand.
// The message code keeps the elements it does not change as the bytes they
// came in (a second signer leaves the first one's bytes alone).
#pragma once

#include "wincrypt.h"

#include <cstddef>
#include <string>
#include <vector>

namespace trumik::crypt::der {

using Bytes = std::vector<BYTE>;

struct Tlv {
    BYTE tag = 0;
    size_t start = 0;   // offset of the tag
    size_t content = 0; // offset of the content
    size_t length = 0;  // of the content
    size_t End() const { return content + length; }
    size_t Size() const { return End() - start; }
};

// One TLV at `at` within [0, limit): single-byte tags, definite lengths of
// up to four bytes.
bool ReadTlv(const BYTE* data, size_t at, size_t limit, Tlv* out);

// The elements of a constructed TLV; false when they do not fill it exactly.
bool Children(const BYTE* data, const Tlv& parent, std::vector<Tlv>* out);

void AppendLength(Bytes& out, size_t length);
// tag, length, then the content.
void AppendTlv(Bytes& out, BYTE tag, const BYTE* content, size_t length);
inline void AppendTlv(Bytes& out, BYTE tag, const Bytes& content)
{
    AppendTlv(out, tag, content.data(), content.size());
}
inline Bytes Wrap(BYTE tag, const Bytes& content)
{
    Bytes out;
    AppendTlv(out, tag, content);
    return out;
}
inline void Append(Bytes& out, const Bytes& more)
{
    out.insert(out.end(), more.begin(), more.end());
}
inline Bytes Raw(const BYTE* data, const Tlv& tlv)
{
    return Bytes(data + tlv.start, data + tlv.End());
}

// An OBJECT IDENTIFIER (the whole TLV) from its dotted text; empty for a
// malformed text.
Bytes EncodeOid(const std::string& dotted);
// The dotted text of an OBJECT IDENTIFIER's content; empty when malformed.
std::string OidText(const BYTE* content, size_t length);

} // namespace trumik::crypt::der

// Definite-length DER walking for the content path of enveloped messages.
#include "crypt/DerPath.h"
#include "crypt/Der.h"

#include <array>

namespace trumik::crypt {

namespace {

using der::AppendLength;
using der::ReadTlv;
using der::Tlv;

// The last element inside a constructed TLV; false when it is empty or its
// elements do not fill it exactly.
bool LastChild(const BYTE* data, Tlv parent, Tlv* last)
{
    size_t at = parent.content;
    bool any = false;
    while (at < parent.End()) {
        if (!ReadTlv(data, at, parent.End(), last))
            return false;
        at = last->End();
        any = true;
    }
    return any && at == parent.End();
}

constexpr std::array<BYTE, 4> kPathTags = {0x30, 0xA0, 0x30, 0x30};
constexpr BYTE kContentTag = 0x80;

struct Path {
    std::array<Tlv, 4> levels;
    Tlv leaf;
};

bool FindPath(const BYTE* data, size_t size, Path* path)
{
    Tlv node;
    if (!ReadTlv(data, 0, size, &node) || node.End() != size)
        return false;
    for (size_t i = 0; i < kPathTags.size(); ++i) {
        if (node.tag != kPathTags[i])
            return false;
        path->levels[i] = node;
        if (!LastChild(data, node, &node))
            return false;
    }
    if (node.tag != kContentTag)
        return false;
    path->leaf = node;
    return true;
}

// The bytes before a content of `contentSize` bytes on the path of `data`.
std::vector<BYTE> HeaderFor(const BYTE* data, const Path& path, size_t contentSize)
{
    std::vector<BYTE> inner{kContentTag};
    AppendLength(inner, contentSize);
    size_t innerTotal = inner.size() + contentSize;
    const Tlv* child = &path.leaf;
    for (size_t i = path.levels.size(); i-- > 0;) {
        const Tlv& level = path.levels[i];
        const BYTE* prefix = data + level.content;
        const size_t prefixSize = child->start - level.content;
        const size_t contentLength = prefixSize + innerTotal;
        std::vector<BYTE> outer{level.tag};
        AppendLength(outer, contentLength);
        const size_t outerHeader = outer.size();
        outer.insert(outer.end(), prefix, prefix + prefixSize);
        outer.insert(outer.end(), inner.begin(), inner.end());
        inner = std::move(outer);
        innerTotal = outerHeader + contentLength;
        child = &level;
    }
    return inner;
}

} // namespace

bool RewriteContentPath(const std::vector<BYTE>& emptyMessage, size_t contentSize, std::vector<BYTE>* header)
{
    Path path;
    if (!FindPath(emptyMessage.data(), emptyMessage.size(), &path) || path.leaf.length != 0)
        return false;
    *header = HeaderFor(emptyMessage.data(), path, contentSize);
    return true;
}

bool SplitContentPath(const BYTE* data, size_t size, ContentSplit* out)
{
    Path path;
    if (!data || !FindPath(data, size, &path))
        return false;
    out->header = HeaderFor(data, path, 0);
    out->contentOffset = path.leaf.content;
    out->contentSize = path.leaf.length;
    return true;
}

bool ContentAlgorithm(const BYTE* data, size_t size, std::vector<BYTE>* oidDer, std::vector<BYTE>* paramsDer)
{
    Tlv info, explicitTag, enveloped;
    if (!data || !ReadTlv(data, 0, size, &info) || info.tag != 0x30 || !LastChild(data, info, &explicitTag) ||
        explicitTag.tag != 0xA0 || !ReadTlv(data, explicitTag.content, explicitTag.End(), &enveloped) ||
        enveloped.tag != 0x30)
        return false;
    // EncryptedContentInfo is the one SEQUENCE among the elements of EnvelopedData.
    for (size_t at = enveloped.content; at < enveloped.End();) {
        Tlv element;
        if (!ReadTlv(data, at, enveloped.End(), &element))
            return false;
        at = element.End();
        if (element.tag != 0x30)
            continue;
        Tlv contentType, algorithm, oid;
        if (!ReadTlv(data, element.content, element.End(), &contentType) ||
            !ReadTlv(data, contentType.End(), element.End(), &algorithm) || algorithm.tag != 0x30 ||
            !ReadTlv(data, algorithm.content, algorithm.End(), &oid) || oid.tag != 0x06)
            return false;
        oidDer->assign(data + oid.start, data + oid.End());
        paramsDer->clear();
        if (oid.End() < algorithm.End()) {
            Tlv params;
            if (!ReadTlv(data, oid.End(), algorithm.End(), &params) || params.End() != algorithm.End())
                return false;
            paramsDer->assign(data + params.start, data + params.End());
        }
        return true;
    }
    return false;
}

bool Gost28147Parameters(const std::vector<BYTE>& paramsDer, std::vector<BYTE>* paramSetOidDer)
{
    const BYTE* data = paramsDer.data();
    Tlv sequence, iv, oid;
    if (!ReadTlv(data, 0, paramsDer.size(), &sequence) || sequence.tag != 0x30 ||
        sequence.End() != paramsDer.size() || !ReadTlv(data, sequence.content, sequence.End(), &iv) ||
        iv.tag != 0x04 || iv.length != 8 || !ReadTlv(data, iv.End(), sequence.End(), &oid) ||
        oid.tag != 0x06 || oid.End() != sequence.End())
        return false;
    paramSetOidDer->assign(data + oid.start, data + oid.End());
    return true;
}

} // namespace trumik::crypt

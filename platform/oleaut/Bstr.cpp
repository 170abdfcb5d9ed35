// BSTR: a 32-bit byte count, the characters, then a NUL unit. The block comes
// from malloc so that any host can hand it back to SysFreeString.
#include "OleAutInternal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Byte counts from 2 GiB up are refused, as Windows refuses them.
constexpr uint64_t kMaxBytes = 0x7FFFFFFFu;
constexpr size_t kPrefix = sizeof(uint32_t);
constexpr size_t kSuffix = sizeof(OLECHAR);

// A block for byteLen bytes of text, its prefix set and the whole text area
// plus the terminator zeroed.
BSTR AllocBytes(uint64_t byteLen)
{
    if (byteLen > kMaxBytes)
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::calloc(1, kPrefix + byteLen + kSuffix));
    if (!block)
        return nullptr;
    const auto len = static_cast<uint32_t>(byteLen);
    std::memcpy(block, &len, sizeof len);
    return reinterpret_cast<BSTR>(block + kPrefix);
}

void* BlockOf(BSTR bstr)
{
    return reinterpret_cast<unsigned char*>(bstr) - kPrefix;
}

size_t UnitLength(const OLECHAR* psz)
{
    size_t n = 0;
    while (psz[n])
        ++n;
    return n;
}

} // namespace

namespace trumik::platform::oleaut {

BSTR AllocBstr(std::u16string_view text)
{
    BSTR out = AllocBytes(static_cast<uint64_t>(text.size()) * sizeof(OLECHAR));
    if (out && !text.empty())
        std::memcpy(out, text.data(), text.size() * sizeof(OLECHAR));
    return out;
}

BSTR AllocBstrAscii(std::string_view text)
{
    BSTR out = AllocBytes(static_cast<uint64_t>(text.size()) * sizeof(OLECHAR));
    if (out)
        for (size_t i = 0; i < text.size(); ++i)
            out[i] = static_cast<unsigned char>(text[i]);
    return out;
}

} // namespace trumik::platform::oleaut

BSTR WINAPI SysAllocString(const OLECHAR* psz)
{
    if (!psz)
        return nullptr;
    return trumik::platform::oleaut::AllocBstr(std::u16string_view(psz, UnitLength(psz)));
}

BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui)
{
    BSTR out = AllocBytes(static_cast<uint64_t>(ui) * sizeof(OLECHAR));
    if (out && strIn && ui)
        std::memmove(out, strIn, static_cast<size_t>(ui) * sizeof(OLECHAR));
    return out;
}

BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len)
{
    BSTR out = AllocBytes(len);
    if (out && psz && len)
        std::memmove(out, psz, len);
    return out;
}

INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len)
{
    if (!pbstr)
        return FALSE;
    // A fresh block is filled before the old one goes, so psz may point into
    // *pbstr. Without a source the old text is kept as far as it reaches.
    BSTR out = AllocBytes(static_cast<uint64_t>(len) * sizeof(OLECHAR));
    if (!out)
        return FALSE;
    if (psz) {
        if (len)
            std::memcpy(out, psz, static_cast<size_t>(len) * sizeof(OLECHAR));
    } else if (*pbstr) {
        const UINT keep = std::min(len, SysStringLen(*pbstr));
        if (keep)
            std::memcpy(out, *pbstr, static_cast<size_t>(keep) * sizeof(OLECHAR));
    }
    SysFreeString(*pbstr);
    *pbstr = out;
    return TRUE;
}

INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz)
{
    if (!pbstr)
        return FALSE;
    const size_t n = psz ? UnitLength(psz) : 0;
    if (n > kMaxBytes / sizeof(OLECHAR))
        return FALSE;
    // A null source gives an empty string (not the old text).
    static const OLECHAR kEmpty[1] = {0};
    return SysReAllocStringLen(pbstr, psz ? psz : kEmpty, static_cast<UINT>(n));
}

void WINAPI SysFreeString(BSTR bstrString)
{
    if (bstrString)
        std::free(BlockOf(bstrString));
}

UINT WINAPI SysStringByteLen(BSTR bstr)
{
    if (!bstr)
        return 0;
    uint32_t len;
    std::memcpy(&len, BlockOf(bstr), sizeof len);
    return len;
}

UINT WINAPI SysStringLen(BSTR pbstr)
{
    return SysStringByteLen(pbstr) / sizeof(OLECHAR);
}

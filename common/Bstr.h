// Ownership of automation strings.
#pragma once

#include <oleauto.h>

#include <memory>
#include <string>
#include <string_view>

namespace trumik::common {

struct BstrDeleter {
    void operator()(BSTR text) const { SysFreeString(text); }
};

// Owns one BSTR; null is a valid (absent) value.
using UniqueBstr = std::unique_ptr<OLECHAR, BstrDeleter>;

inline UniqueBstr MakeBstr(std::u16string_view text)
{
    return UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// The characters of a BSTR; empty for null.
inline std::u16string_view View(BSTR text)
{
    return text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
}

// Hands a new copy to an out-parameter; false when the copy could not be made.
inline bool CopyOut(std::u16string_view text, BSTR* out)
{
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out != nullptr;
}

} // namespace trumik::common

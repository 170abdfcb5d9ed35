#include "Messages.h"

#include <cstdio>

namespace trumik::common {

std::u16string CodeText(LONG code)
{
    char digits[16];
    const long magnitude = code < 0 ? -static_cast<long>(code) : static_cast<long>(code);
    std::snprintf(digits, sizeof digits, code < 0 ? "(-%05ld)" : "%05ld", magnitude);
    return std::u16string(digits, digits + std::char_traits<char>::length(digits));
}

std::u16string MessageText(const Message& message)
{
    std::u16string text(message.text);
    const size_t at = text.find(u"{}");
    if (at != std::u16string::npos)
        text.replace(at, 2, CodeText(message.code));
    return text;
}

} // namespace trumik::common

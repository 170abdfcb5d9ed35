// FormatMessageA/W over the system message table, and local memory.
#include "kernel/CodePages.h"
#include "kernel/SystemMessages.h"
#include "winbase.h"
#include "winnls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

using namespace trumik::platform;

namespace {

#define FORMAT_MESSAGE_FROM_SOURCES                                                                          \
    (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM)

// The system texts are those of a Russian installation: the neutral and
// default languages and Russian itself find them, other languages do not.
bool HasSystemLanguage(DWORD languageId)
{
    if (languageId == 0)
        return true;
    const DWORD primary = languageId & 0x3FF;
    const DWORD sub = (languageId >> 10) & 0x3F;
    if (primary == LANG_NEUTRAL)
        return sub == SUBLANG_NEUTRAL || sub == SUBLANG_DEFAULT || sub == SUBLANG_SYS_DEFAULT;
    return primary == LANG_RUSSIAN && (languageId & 0xFFFF0000u) == 0;
}

// One insert argument as text; `wide` tells how the caller passes strings.
std::optional<std::u16string> FormatInsert(const std::u16string& spec, DWORD_PTR argument, bool wide)
{
    // spec is the printf-style conversion without the leading '%',
    // e.g. "s", "d", "08X", "lu", "I64x".
    std::string flags;
    size_t i = 0;
    while (i < spec.size() && std::strchr("-+ #0123456789.", static_cast<char>(spec[i])) && spec[i] < 0x80)
        flags.push_back(static_cast<char>(spec[i++]));
    bool wide64 = false, longString = false, shortString = false;
    while (i + 1 < spec.size()) {
        if (spec.compare(i, 3, u"I64") == 0) {
            wide64 = true;
            i += 3;
        } else if (spec.compare(i, 2, u"ll") == 0) {
            wide64 = true;
            i += 2;
        } else if (spec[i] == u'l' || spec[i] == u'w') {
            longString = true;
            ++i;
        } else if (spec[i] == u'h') {
            shortString = true;
            ++i;
        } else {
            break;
        }
    }
    if (i + 1 != spec.size())
        return std::nullopt;
    const char16_t conversion = spec[i];
    char buffer[128];
    switch (conversion) {
    case u's':
    case u'S': {
        bool argumentWide = conversion == u's' ? wide : !wide;
        if (longString)
            argumentWide = true;
        if (shortString)
            argumentWide = false;
        std::u16string text;
        if (!argument) {
            text = u"(null)";
        } else if (argumentWide) {
            text = reinterpret_cast<const char16_t*>(argument);
        } else {
            text = CodePageToUtf16(reinterpret_cast<const char*>(argument), CP_ACP);
        }
        if (flags.empty())
            return text;
        // Width and precision count characters, as printf counts bytes of
        // the UTF-8 form; pad in UTF-8 then convert back.
        const std::string utf8 = Utf16ToUtf8(text);
        std::string padded;
        const std::string format = "%" + flags + "s";
        const int needed = std::snprintf(nullptr, 0, format.c_str(), utf8.c_str());
        if (needed < 0)
            return std::nullopt;
        padded.resize(static_cast<size_t>(needed) + 1);
        std::snprintf(padded.data(), padded.size(), format.c_str(), utf8.c_str());
        padded.resize(static_cast<size_t>(needed));
        return Utf8ToUtf16(padded);
    }
    case u'c': {
        const char16_t c = static_cast<char16_t>(argument & (wide ? 0xFFFF : 0xFF));
        if (!wide)
            return CodePageToUtf16(std::string(1, static_cast<char>(c)), CP_ACP);
        return std::u16string(1, c);
    }
    case u'd':
    case u'i':
    case u'u':
    case u'x':
    case u'X':
    case u'o': {
        const std::string format = "%" + flags + "ll" + static_cast<char>(conversion);
        long long value;
        const bool isSigned = conversion == u'd' || conversion == u'i';
        if (wide64)
            value = static_cast<long long>(argument);
        else if (isSigned)
            value = static_cast<int32_t>(static_cast<uint32_t>(argument));
        else
            value = static_cast<long long>(static_cast<uint32_t>(argument));
        if (std::snprintf(buffer, sizeof buffer, format.c_str(), value) < 0)
            return std::nullopt;
        return Utf8ToUtf16(buffer);
    }
    default:
        return std::nullopt;
    }
}

// Expands the escapes and inserts of a message. Returns false when an insert
// cannot be filled (no argument array, or a malformed insert).
bool ExpandMessage(const std::u16string& text, const DWORD_PTR* arguments, bool wide, bool ignoreWidth,
                   std::u16string& out)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n' && ignoreWidth) {
            out.push_back(u' '); // a regular line break of the text
            ++i;
            continue;
        }
        if (c != u'%' || i + 1 >= text.size()) {
            out.push_back(c);
            continue;
        }
        const char16_t e = text[++i];
        if (e == u'0')
            return true;
        if (e >= u'1' && e <= u'9') {
            unsigned number = e - u'0';
            if (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9')
                number = number * 10 + (text[++i] - u'0');
            std::u16string spec = u"s";
            if (i + 1 < text.size() && text[i + 1] == u'!') {
                const size_t end = text.find(u'!', i + 2);
                if (end == std::u16string::npos)
                    return false;
                spec = text.substr(i + 2, end - i - 2);
                i = end;
            }
            if (!arguments)
                return false;
            const auto insert = FormatInsert(spec, arguments[number - 1], wide);
            if (!insert)
                return false;
            out += *insert;
            continue;
        }
        switch (e) {
        case u'n':
            out += u"\r\n";
            break;
        case u'r':
            out.push_back(u'\r');
            break;
        case u't':
            out.push_back(u'\t');
            break;
        case u'b':
            out.push_back(u' ');
            break;
        default: // %% %. %! %space and anything else: the character itself
            out.push_back(e);
            break;
        }
    }
    return true;
}

// Breaks lines longer than `width` at their last space.
std::u16string WrapLines(const std::u16string& text, size_t width)
{
    std::u16string out;
    size_t lineStart = 0; // index in out
    size_t lastSpace = std::u16string::npos;
    for (char16_t c : text) {
        out.push_back(c);
        if (c == u'\n') {
            lineStart = out.size();
            lastSpace = std::u16string::npos;
            continue;
        }
        if (c == u' ')
            lastSpace = out.size() - 1;
        if (out.size() - lineStart > width && lastSpace != std::u16string::npos) {
            out.replace(lastSpace, 1, u"\r\n");
            lineStart = lastSpace + 2;
            lastSpace = std::u16string::npos;
        }
    }
    return out;
}

// The message text as UTF-16, or the error to fail with.
template <typename Char>
DWORD FindText(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, std::u16string& text)
{
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (!source)
            return ERROR_INVALID_PARAMETER;
        if constexpr (sizeof(Char) == 1)
            text = CodePageToUtf16(static_cast<const char*>(source), CP_ACP);
        else
            text = static_cast<const char16_t*>(source);
        return ERROR_SUCCESS;
    }
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
        // Modules carry no message tables here.
        return (flags & FORMAT_MESSAGE_FROM_HMODULE) ? ERROR_RESOURCE_TYPE_NOT_FOUND
                                                     : ERROR_INVALID_PARAMETER;
    }
    const char* message = FindSystemMessage(messageId);
    if (!message)
        return ERROR_MR_MID_NOT_FOUND;
    if (!HasSystemLanguage(languageId))
        return ERROR_RESOURCE_LANG_NOT_FOUND;
    text = Utf8ToUtf16(message);
    return ERROR_SUCCESS;
}

template <typename Char>
DWORD FormatMessageT(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, Char* buffer, DWORD size,
                     void* arguments)
{
    const bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (allocate)
        *reinterpret_cast<Char**>(buffer) = nullptr;

    std::u16string text;
    if (const DWORD error = FindText<Char>(flags, source, messageId, languageId, text)) {
        SetLastError(error);
        return 0;
    }

    const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    std::u16string expanded;
    if (flags & FORMAT_MESSAGE_IGNORE_INSERTS) {
        if (width == 0) {
            expanded = text;
        } else {
            for (size_t i = 0; i < text.size(); ++i) {
                if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
                    expanded.push_back(u' ');
                    ++i;
                } else {
                    expanded.push_back(text[i]);
                }
            }
        }
    } else {
        // Only an argument array can be read here; a va_list is not supported.
        const auto* array =
            (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? static_cast<const DWORD_PTR*>(arguments) : nullptr;
        if (!ExpandMessage(text, array, sizeof(Char) == 2, width != 0, expanded)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK)
        expanded = WrapLines(expanded, width);

    std::basic_string<Char> result;
    if constexpr (sizeof(Char) == 1)
        result = Utf16ToCodePage(expanded, CP_ACP);
    else
        result = expanded;

    const size_t count = result.size();
    if (allocate) {
        const size_t chars = count + 1 > size ? count + 1 : size;
        auto* memory = static_cast<Char*>(LocalAlloc(LMEM_FIXED, chars * sizeof(Char)));
        if (!memory) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(memory, result.c_str(), (count + 1) * sizeof(Char));
        *reinterpret_cast<Char**>(buffer) = memory;
    } else {
        if (count + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(buffer, result.c_str(), (count + 1) * sizeof(Char));
    }
    return static_cast<DWORD>(count);
}

} // namespace

WINAPI_EXPORT DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                          DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, void* Arguments)
{
    return FormatMessageT<char>(dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize, Arguments);
}

WINAPI_EXPORT DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                          DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize, void* Arguments)
{
    return FormatMessageT<char16_t>(dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize, Arguments);
}

WINAPI_EXPORT HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    // Every block is fixed: the handle is the pointer.
    const size_t bytes = uBytes ? uBytes : 1;
    void* memory = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, bytes) : std::malloc(bytes);
    if (!memory)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

WINAPI_EXPORT HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return nullptr;
}

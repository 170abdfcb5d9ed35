// MultiByteToWideChar, WideCharToMultiByte and the code-page queries.
#include "kernel/CodePages.h"

#include "kernel/CodePageTables.h"
#include "winbase.h"
#include "winnls.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

namespace trumik::platform {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char16_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Where a conversion puts its units: a counter for size queries, the
// caller's buffer (counting what does not fit), or a string.
template <typename Char> struct CountSink {
    size_t count = 0;
    void Put(Char) { ++count; }
    void PutRun(const unsigned char*, size_t n) { count += n; }
};

template <typename Char> struct BufferSink {
    Char* buffer;
    size_t capacity;
    size_t count = 0;
    void Put(Char c)
    {
        if (count < capacity)
            buffer[count] = c;
        ++count;
    }
    void PutRun(const unsigned char* s, size_t n)
    {
        size_t room = count < capacity ? capacity - count : 0;
        size_t copied = n < room ? n : room;
        for (size_t i = 0; i < copied; ++i)
            buffer[count + i] = static_cast<Char>(s[i]);
        count += n;
    }
};

// The caller's buffer when it is known to hold the whole result: no count
// against its end for each unit.
template <typename Char> struct RawSink {
    Char* begin;
    Char* at = begin;
    size_t Count() const { return static_cast<size_t>(at - begin); }
    void Put(Char c) { *at++ = c; }
    void PutRun(const unsigned char* s, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            at[i] = static_cast<Char>(s[i]);
        at += n;
    }
};

template <typename Char> struct StringSink {
    std::basic_string<Char>& out;
    size_t count = 0;
    void Put(Char c)
    {
        out.push_back(c);
        ++count;
    }
    void PutRun(const unsigned char* s, size_t n)
    {
        out.append(s, s + n);
        count += n;
    }
};

// The length of the run of ASCII bytes at s.
size_t AsciiRun(const unsigned char* s, size_t n)
{
    size_t i = 0;
    while (i + 8 <= n) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & 0x8080808080808080ULL)
            break;
        i += 8;
    }
    while (i < n && s[i] < 0x80)
        ++i;
    return i;
}

// Decodes UTF-8. Each maximal ill-formed subpart becomes one U+FFFD, or the
// decoding stops (false) when strict.
template <typename Sink> bool DecodeUtf8(const unsigned char* s, size_t n, bool strict, Sink& out)
{
    size_t i = 0;
    while (i < n) {
        const unsigned char b = s[i];
        if (b < 0x80) {
            size_t run = AsciiRun(s + i, n - i);
            out.PutRun(s + i, run);
            i += run;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF && i + 1 < n && (s[i + 1] & 0xC0) == 0x80) {
            out.Put(static_cast<char16_t>(((b & 0x1F) << 6) | (s[i + 1] & 0x3F)));
            i += 2;
            continue;
        }
        int trail;
        char32_t cp;
        unsigned char lo = 0x80, hi = 0xBF; // range of the first trail byte
        if (b >= 0xC2 && b <= 0xDF) {
            trail = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            trail = 2;
            cp = b & 0x0F;
            if (b == 0xE0)
                lo = 0xA0; // no overlong forms
            else if (b == 0xED)
                hi = 0x9F; // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            trail = 3;
            cp = b & 0x07;
            if (b == 0xF0)
                lo = 0x90;
            else if (b == 0xF4)
                hi = 0x8F; // nothing above U+10FFFF
        } else {
            if (strict)
                return false;
            out.Put(kReplacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool complete = true;
        for (int k = 0; k < trail; ++k, ++j) {
            if (j >= n || s[j] < lo || s[j] > hi) {
                complete = false;
                break;
            }
            cp = (cp << 6) | (s[j] & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        if (!complete) {
            if (strict)
                return false;
            out.Put(kReplacement);
            i = j; // resume at the byte that broke the sequence
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.Put(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.Put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.Put(static_cast<char16_t>(cp));
        }
        i = j;
    }
    return true;
}

// Encodes UTF-16 as UTF-8. An unpaired surrogate becomes EF BF BD, or the
// encoding stops (false) when strict. One unit at a time, with the common
// cases first: ASCII, then the two-byte range (Cyrillic).
template <typename Sink> bool EncodeUtf8(const char16_t* s, size_t n, bool strict, Sink& out)
{
    for (size_t i = 0; i < n; ++i) {
        char32_t cp = s[i];
        if (cp < 0x80) {
            out.Put(static_cast<char>(cp));
            continue;
        }
        if (cp < 0x800) {
            out.Put(static_cast<char>(0xC0 | (cp >> 6)));
            out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
            continue;
        }
        if (IsHighSurrogate(s[i]) && i + 1 < n && IsLowSurrogate(s[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(s[i]) || IsLowSurrogate(s[i])) {
            if (strict)
                return false;
            cp = kReplacement;
        }
        if (cp < 0x10000) {
            out.Put(static_cast<char>(0xE0 | (cp >> 12)));
            out.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.Put(static_cast<char>(0xF0 | (cp >> 18)));
            out.Put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return true;
}

// Decodes a byte page. A byte (or pair) the page does not define becomes the
// page's default character, or the decoding stops (false) when strict. A
// lead byte without a valid trail stands alone, and the trail is read again.
template <typename Sink>
bool DecodeBytes(const ByteCodePage& page, const unsigned char* s, size_t n, bool strict, Sink& out)
{
    for (size_t i = 0; i < n; ++i) {
        const unsigned char b = s[i];
        uint16_t unit;
        if (page.IsLeadByte(b)) {
            unit = i + 1 < n ? page.DecodePair(b, s[i + 1]) : ByteCodePage::kNone;
            if (unit != ByteCodePage::kNone)
                ++i;
        } else {
            unit = page.DecodeByte(b);
        }
        if (unit == ByteCodePage::kNone) {
            if (strict)
                return false;
            unit = page.UnicodeDefault();
        }
        out.Put(static_cast<char16_t>(unit));
    }
    return true;
}

// The bytes that stand for a character the page lacks: the caller's default
// character (both bytes of it when it is a double-byte character of the
// page), else '?'.
struct DefaultBytes {
    char bytes[2] = {'?', 0};
    size_t size = 1;
};

DefaultBytes MakeDefault(const ByteCodePage& page, const char* defaultChar)
{
    DefaultBytes d;
    if (!defaultChar)
        return d;
    d.bytes[0] = defaultChar[0];
    if (page.IsLeadByte(static_cast<unsigned char>(defaultChar[0])) && defaultChar[1]) {
        d.bytes[1] = defaultChar[1];
        d.size = 2;
    }
    return d;
}

// Each UTF-16 unit on its own (a surrogate pair gives two default
// characters). Returns whether the default character was used.
template <typename Sink>
bool EncodeBytes(const ByteCodePage& page, const char16_t* s, size_t n, const DefaultBytes& fallback,
                 Sink& out)
{
    bool usedDefault = false;
    for (size_t i = 0; i < n; ++i) {
        const uint16_t code = page.Encode(s[i]);
        if (code == ByteCodePage::kNone) {
            for (size_t k = 0; k < fallback.size; ++k)
                out.Put(fallback.bytes[k]);
            usedDefault = true;
        } else if (code > 0xFF) {
            out.Put(static_cast<char>(code >> 8));
            out.Put(static_cast<char>(code & 0xFF));
        } else {
            out.Put(static_cast<char>(code));
        }
    }
    return usedDefault;
}

// UTF-7 through iconv. A byte the decoder refuses passes as the character
// of its value (Windows is as lenient); an unpaired surrogate is encoded as
// U+FFFD.
std::u16string DecodeUtf7(const char* s, size_t n)
{
    std::u16string result;
    Converter cd = OpenConverter("UTF-16LE", "UTF-7");
    if (!cd)
        return result;
    char* in = const_cast<char*>(s);
    size_t inLeft = n;
    char buffer[1024];
    auto drain = [&](char* end) {
        for (char* p = buffer; p + 1 < end; p += 2) {
            char16_t unit;
            std::memcpy(&unit, p, 2);
            result.push_back(unit);
        }
    };
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const size_t rc = iconv(cd.get(), &in, &inLeft, &out, &outLeft);
        drain(out);
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            // An invalid or unfinished sequence: take its first byte as it is.
            result.push_back(static_cast<unsigned char>(*in));
            ++in;
            --inLeft;
            iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd.get(), nullptr, nullptr, &out, &outLeft);
    drain(out);
    return result;
}

std::string EncodeUtf7(const char16_t* s, size_t n)
{
    std::u16string text(s, n);
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
            ++i;
        else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i]))
            text[i] = kReplacement;
    }
    std::string result;
    Converter cd = OpenConverter("UTF-7", "UTF-16LE");
    if (!cd)
        return result;
    char* in = reinterpret_cast<char*>(text.data());
    size_t inLeft = text.size() * sizeof(char16_t);
    char buffer[1024];
    for (;;) {
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        const size_t rc = inLeft > 0 ? iconv(cd.get(), &in, &inLeft, &out, &outLeft)
                                     : iconv(cd.get(), nullptr, nullptr, &out, &outLeft);
        result.append(buffer, out);
        if (rc == static_cast<size_t>(-1) && errno == E2BIG)
            continue;
        if (inLeft == 0 && rc != static_cast<size_t>(-1) && out == buffer)
            break;
        if (rc == static_cast<size_t>(-1))
            break; // cannot happen for well-formed UTF-16
    }
    return result;
}

template <typename Char, typename Sink> void PutAll(const std::basic_string<Char>& text, Sink& out)
{
    for (Char c : text)
        out.Put(c);
}

bool IsSupported(UINT codePage)
{
    return codePage == CP_UTF8 || codePage == CP_UTF7 || FindByteCodePage(codePage);
}

// Runs a conversion under the Win32 size rules: a destination size of 0 asks
// for the count, a short buffer fails with ERROR_INSUFFICIENT_BUFFER.
// convert(sink) returns false when the conversion itself failed (last error set).
// A destination of at least `mostUnits` (the most the result can take) is
// written without a check at each unit.
template <typename Char, typename Convert>
int Deliver(Char* destination, int destinationSize, Convert convert, size_t mostUnits = SIZE_MAX)
{
    size_t count;
    if (destinationSize == 0) {
        CountSink<Char> sink;
        if (!convert(sink))
            return 0;
        count = sink.count;
    } else if (static_cast<size_t>(destinationSize) >= mostUnits) {
        RawSink<Char> sink{destination};
        if (!convert(sink))
            return 0;
        count = sink.Count();
    } else {
        BufferSink<Char> sink{destination, static_cast<size_t>(destinationSize)};
        if (!convert(sink))
            return 0;
        count = sink.count;
        if (count > static_cast<size_t>(destinationSize)) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
    }
    if (count > 0x7FFFFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<int>(count);
}

} // namespace

UINT ResolveCodePage(UINT codePage)
{
    switch (codePage) {
    case CP_ACP:
    case CP_THREAD_ACP: // the thread locale is the system locale here
        return SystemAnsiCodePage();
    case CP_OEMCP:
        return 866;
    default:
        return codePage;
    }
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    StringSink<char> sink{out};
    EncodeUtf8(text.data(), text.size(), false, sink);
    return out;
}

bool Utf16ToUtf8Strict(std::u16string_view text, std::string& out)
{
    out.clear();
    StringSink<char> sink{out};
    return EncodeUtf8(text.data(), text.size(), true, sink);
}

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    StringSink<char16_t> sink{out};
    DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size(), false, sink);
    return out;
}

std::string Utf16ToCodePage(std::u16string_view text, UINT codePage)
{
    codePage = ResolveCodePage(codePage);
    if (codePage == CP_UTF8)
        return Utf16ToUtf8(text);
    if (codePage == CP_UTF7)
        return EncodeUtf7(text.data(), text.size());
    std::string out;
    StringSink<char> sink{out};
    if (const ByteCodePage* page = FindByteCodePage(codePage))
        EncodeBytes(*page, text.data(), text.size(), DefaultBytes{}, sink);
    return out;
}

std::u16string CodePageToUtf16(std::string_view text, UINT codePage)
{
    codePage = ResolveCodePage(codePage);
    if (codePage == CP_UTF8)
        return Utf8ToUtf16(text);
    if (codePage == CP_UTF7)
        return DecodeUtf7(text.data(), text.size());
    std::u16string out;
    StringSink<char16_t> sink{out};
    if (const ByteCodePage* page = FindByteCodePage(codePage))
        DecodeBytes(*page, reinterpret_cast<const unsigned char*>(text.data()), text.size(), false, sink);
    return out;
}

} // namespace trumik::platform

using namespace trumik::platform;

// A negative source length other than -1 reads up to and including the NUL,
// as -1 does.
WINAPI_EXPORT int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                             int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (!lpWideCharStr && cchWideChar != 0) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const UINT page = ResolveCodePage(CodePage);
    if (!IsSupported(page)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (page == CP_UTF8) {
        if (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
    } else if (page == CP_UTF7) {
        if (dwFlags != 0) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
    } else if ((dwFlags & ~static_cast<DWORD>(MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS |
                                              MB_ERR_INVALID_CHARS)) ||
               ((dwFlags & MB_PRECOMPOSED) && (dwFlags & MB_COMPOSITE))) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }

    const size_t length =
        cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const auto* source = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    if (page == CP_UTF7) {
        const std::u16string text = DecodeUtf7(lpMultiByteStr, length);
        return Deliver(lpWideCharStr, cchWideChar, [&](auto& sink) {
            PutAll(text, sink);
            return true;
        });
    }
    const ByteCodePage* bytePage = page == CP_UTF8 ? nullptr : FindByteCodePage(page);
    // A byte gives one unit at most; four bytes two.
    return Deliver(
        lpWideCharStr, cchWideChar,
        [&](auto& sink) {
            const bool ok = bytePage ? DecodeBytes(*bytePage, source, length, strict, sink)
                                     : DecodeUtf8(source, length, strict, sink);
            if (!ok)
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return ok;
        },
        length);
}

// A negative source length other than -1 reads up to and including the NUL,
// as -1 does. UTF-8 and UTF-7 take no default character and report none.
WINAPI_EXPORT int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                             int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                             LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (!lpMultiByteStr && cbMultiByte != 0) ||
        static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const UINT page = ResolveCodePage(CodePage);
    if (!IsSupported(page)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (page == CP_UTF8 || page == CP_UTF7) {
        const DWORD allowed = page == CP_UTF8 ? static_cast<DWORD>(WC_ERR_INVALID_CHARS) : 0;
        if (dwFlags & ~allowed) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        if (lpDefaultChar || lpUsedDefaultChar) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    } else if (dwFlags & ~static_cast<DWORD>(WC_NO_BEST_FIT_CHARS | WC_COMPOSITECHECK | WC_DISCARDNS |
                                             WC_SEPCHARS | WC_DEFAULTCHAR)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }

    size_t length;
    if (cchWideChar < 0) {
        length = 0;
        while (lpWideCharStr[length])
            ++length;
        ++length;
    } else {
        length = static_cast<size_t>(cchWideChar);
    }
    if (page == CP_UTF7) {
        const std::string bytes = EncodeUtf7(lpWideCharStr, length);
        return Deliver(lpMultiByteStr, cbMultiByte, [&](auto& sink) {
            PutAll(bytes, sink);
            return true;
        });
    }
    const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    const ByteCodePage* bytePage = page == CP_UTF8 ? nullptr : FindByteCodePage(page);
    // A unit gives three UTF-8 bytes at most (a pair four), and two bytes of
    // a code page.
    const size_t mostBytes = length * (bytePage ? 2 : 3);
    return Deliver(
        lpMultiByteStr, cbMultiByte,
        [&](auto& sink) {
            if (bytePage) {
                const bool used = EncodeBytes(*bytePage, lpWideCharStr, length,
                                              MakeDefault(*bytePage, lpDefaultChar), sink);
                if (lpUsedDefaultChar)
                    *lpUsedDefaultChar = used ? TRUE : FALSE;
                return true;
            }
            if (!EncodeUtf8(lpWideCharStr, length, strict, sink)) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return false;
            }
            return true;
        },
        mostBytes);
}

WINAPI_EXPORT UINT WINAPI GetACP(void)
{
    return SystemAnsiCodePage();
}

WINAPI_EXPORT UINT WINAPI GetOEMCP(void)
{
    return 866;
}

WINAPI_EXPORT BOOL WINAPI IsValidCodePage(UINT CodePage)
{
    // The pseudo pages CP_ACP and friends are not code pages of their own.
    if (CodePage == CP_ACP || CodePage == CP_OEMCP || CodePage == CP_MACCP || CodePage == CP_THREAD_ACP)
        return FALSE;
    return IsSupported(CodePage) ? TRUE : FALSE;
}

#include "Conversions.h"
#include "TextSizes.h"

#include <winbase.h>
#include <winnls.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

namespace trumik::common {

namespace {

UINT ChooseThreadAnsiCodePage()
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 5)
        return CP_THREAD_ACP;
    char value[7] = {};
    if (GetLocaleInfoA(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, value, sizeof value) > 0) {
        UINT codePage = static_cast<UINT>(std::strtoul(value, nullptr, 10));
        if (codePage != 0)
            return codePage;
    }
    return GetACP();
}

// length UTF-16 units, the last of them a NUL, in the given code page. One
// pass into a buffer of the largest size the result can have (three bytes a
// unit); the pages of it never written are never touched.
ConvertedBytes WideToBuffer(UINT codePage, const OLECHAR* source, size_t length, DWORD flags,
                            BOOL* usedDefault)
{
    ConvertedBytes bytes;
    const int room = static_cast<int>(length * 3);
    bytes.data = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(room));
    int written = WideCharToMultiByte(codePage, flags, source, static_cast<int>(length), bytes.data.get(),
                                      room, nullptr, usedDefault);
    if (written <= 0) {
        bytes.data[0] = '\0';
        written = 1;
    }
    bytes.size = static_cast<size_t>(written);
    return bytes;
}

// UTF-16 up to its first NUL, and that NUL, in the given code page.
ConvertedBytes WideToConverted(UINT codePage, BSTR text, BOOL* usedDefault = nullptr)
{
    // UTF-8 takes no default character: asking for one is an error there.
    const DWORD flags = usedDefault ? WC_NO_BEST_FIT_CHARS : 0;
    static const OLECHAR empty[] = {0};
    const OLECHAR* source = text ? text : empty;
    const size_t length = std::char_traits<OLECHAR>::length(source) + 1;
    if (length <= INT_MAX / 3)
        return WideToBuffer(codePage, source, length, flags, usedDefault);
    // Too long for one pass into the largest size: counted, then converted.
    ConvertedBytes bytes;
    int size = WideCharToMultiByte(codePage, flags, source, -1, nullptr, 0, nullptr, usedDefault);
    bytes.data = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size > 0 ? size : 1));
    int written = size > 0 ? WideCharToMultiByte(codePage, flags, source, -1, bytes.data.get(), size, nullptr,
                                                 usedDefault)
                           : 0;
    if (written <= 0) {
        bytes.data[0] = '\0';
        written = 1;
    }
    bytes.size = static_cast<size_t>(written);
    return bytes;
}

std::string WideToBytes(UINT codePage, BSTR text, BOOL* usedDefault = nullptr)
{
    const ConvertedBytes bytes = WideToConverted(codePage, text, usedDefault);
    return std::string(bytes.data.get(), bytes.size);
}

// Bytes up to their first NUL as a BSTR; one pass, as above (a unit a byte at most).
UniqueBstr BytesToBstr(UINT codePage, const char* bytes)
{
    if (!bytes)
        return nullptr;
    const size_t length = std::strlen(bytes) + 1;
    if (length > INT_MAX)
        return nullptr;
    if (codePage == CP_UTF8) {
        // Counted first, then written once into the string itself (the NUL is
        // not written: the string keeps its own).
        const size_t units = Utf16UnitsOfUtf8(std::string_view(bytes, length - 1));
        UniqueBstr result(SysAllocStringLen(nullptr, static_cast<UINT>(units)));
        if (!result)
            throw std::bad_alloc();
        if (length == 1 || MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length - 1), result.get(),
                                               static_cast<int>(units)) == static_cast<int>(units))
            return result;
    }
    auto buffer = std::make_unique_for_overwrite<OLECHAR[]>(length);
    int size = MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length), buffer.get(),
                                   static_cast<int>(length));
    if (size <= 0)
        return nullptr;
    // The conversion's last unit is the NUL; the BSTR holds the rest.
    UniqueBstr result(SysAllocStringLen(buffer.get(), static_cast<UINT>(size - 1)));
    if (!result)
        throw std::bad_alloc();
    return result;
}

} // namespace

UINT ThreadAnsiCodePage()
{
    static UINT codePage = 0;
    static std::once_flag once;
    std::call_once(once, [] { codePage = ChooseThreadAnsiCodePage(); });
    return codePage;
}

std::optional<ConvertedBytes> DocumentToParserBuffer(BSTR xml)
{
    ConvertedBytes utf8 = DocumentToUtf8Buffer(xml);
    const std::string_view text(utf8.data.get(), utf8.size);
    if (text.find("encoding=\"windows-1251\"") == std::string_view::npos &&
        text.find("encoding=\"WINDOWS-1251\"") == std::string_view::npos)
        return utf8;
    utf8 = {};
    if (GetACP() == CP_UTF8)
        return WideToConverted(CP_ACP, xml);
    // A character the code page cannot hold would reach the parser as the
    // default character, and the signature would cover that instead.
    BOOL usedDefault = FALSE;
    ConvertedBytes bytes = WideToConverted(CP_ACP, xml, &usedDefault);
    if (usedDefault)
        return std::nullopt;
    return bytes;
}

std::optional<std::string> DocumentToParserBytes(BSTR xml)
{
    const std::optional<ConvertedBytes> bytes = DocumentToParserBuffer(xml);
    if (!bytes)
        return std::nullopt;
    return std::string(bytes->data.get(), bytes->size);
}

std::string DocumentToUtf8(BSTR xml)
{
    return WideToBytes(CP_UTF8, xml);
}

ConvertedBytes DocumentToUtf8Buffer(BSTR xml)
{
    static const OLECHAR empty[] = {0};
    const OLECHAR* source = xml ? xml : empty;
    const size_t length = std::char_traits<OLECHAR>::length(source) + 1;
    if (length > INT_MAX / 3)
        return WideToConverted(CP_UTF8, xml);
    // Counted first, so that the block is the text's size and can take the
    // place of one of that size freed before; converted the general way when
    // the count was not exact (a lone surrogate).
    const size_t counted = Utf8BytesOfUtf16(std::u16string_view(source, length));
    ConvertedBytes bytes;
    bytes.data = std::make_unique_for_overwrite<char[]>(counted);
    if (WideCharToMultiByte(CP_UTF8, 0, source, static_cast<int>(length), bytes.data.get(),
                            static_cast<int>(counted), nullptr, nullptr) == static_cast<int>(counted)) {
        bytes.size = counted;
        return bytes;
    }
    return WideToBuffer(CP_UTF8, source, length, 0, nullptr);
}

UniqueBstr Utf8ToBstr(const char* bytes)
{
    return BytesToBstr(CP_UTF8, bytes);
}

UniqueBstr NarrowToBstr(const char* text)
{
    return BytesToBstr(ThreadAnsiCodePage(), text);
}

std::string PathToNarrow(BSTR path)
{
    return WideToBytes(CP_UTF8, path);
}

std::string BytePerCharacter(BSTR text)
{
    std::string bytes;
    UINT length = SysStringLen(text);
    for (UINT i = 0; i < length && i < 40; ++i)
        bytes.push_back(static_cast<char>(text[i] & 0xFF));
    bytes.push_back('\0');
    return bytes;
}

} // namespace trumik::common

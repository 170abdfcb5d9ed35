// The byte code pages: three compiled tables (the pages the platform uses
// most, ready without a converter) and the others built from glibc's iconv
// the first time they are used.
#include "kernel/CodePageTables.h"

#include <iconv.h>

#include <array>
#include <cstring>
#include <memory>
#include <mutex>

namespace trumik::platform {

namespace {

// Windows-1251 (Cyrillic). 0x98 is unassigned and maps to U+0098, as on Windows.
const char16_t kHigh1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, 0x0410,
    0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D,
    0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A,
    0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444,
    0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

// Windows-1252 (Western). The five unassigned bytes map to the C1 controls, as on Windows.
const char16_t kHigh1252[128] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152,
    0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122,
    0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF, 0x00B0, 0x00B1, 0x00B2, 0x00B3,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0,
    0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD,
    0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA,
    0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4,
    0x00F5, 0x00F6, 0x00F7, 0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

// DOS Cyrillic (866), the OEM code page of a Russian system.
const char16_t kHigh866[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C,
    0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429,
    0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436,
    0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F, 0x0401, 0x0451, 0x0404, 0x0454, 0x0407,
    0x0457, 0x040E, 0x045E, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

struct PageInfo {
    UINT id;
    const char* iconvName;
    const char16_t* compiled; // bytes 0x80..0xFF, or null
    bool doubleByte;
    char16_t unicodeDefault;
};

// The pages a Russian or Western system has, and the East Asian ones.
// Windows decodes an invalid Shift-JIS byte as KATAKANA MIDDLE DOT.
constexpr PageInfo kPages[] = {
    {437, "IBM437", nullptr, false, u'?'},        {850, "IBM850", nullptr, false, u'?'},
    {866, "IBM866", kHigh866, false, u'?'},       {874, "WINDOWS-874", nullptr, false, u'?'},
    {932, "CP932", nullptr, true, u'\x30FB'},     {936, "CP936", nullptr, true, u'?'},
    {949, "CP949", nullptr, true, u'?'},          {950, "CP950", nullptr, true, u'?'},
    {1250, "CP1250", nullptr, false, u'?'},       {1251, "CP1251", kHigh1251, false, u'?'},
    {1252, "CP1252", kHigh1252, false, u'?'},     {1253, "CP1253", nullptr, false, u'?'},
    {1254, "CP1254", nullptr, false, u'?'},       {1255, "CP1255", nullptr, false, u'?'},
    {1256, "CP1256", nullptr, false, u'?'},       {1257, "CP1257", nullptr, false, u'?'},
    {1258, "CP1258", nullptr, false, u'?'},       {20127, "ASCII", nullptr, false, u'?'},
    {20866, "KOI8-R", nullptr, false, u'?'},      {21866, "KOI8-U", nullptr, false, u'?'},
    {28591, "ISO-8859-1", nullptr, false, u'?'},  {28592, "ISO-8859-2", nullptr, false, u'?'},
    {28593, "ISO-8859-3", nullptr, false, u'?'},  {28594, "ISO-8859-4", nullptr, false, u'?'},
    {28595, "ISO-8859-5", nullptr, false, u'?'},  {28596, "ISO-8859-6", nullptr, false, u'?'},
    {28597, "ISO-8859-7", nullptr, false, u'?'},  {28598, "ISO-8859-8", nullptr, false, u'?'},
    {28599, "ISO-8859-9", nullptr, false, u'?'},  {28603, "ISO-8859-13", nullptr, false, u'?'},
    {28605, "ISO-8859-15", nullptr, false, u'?'},
};
constexpr size_t kPageCount = sizeof kPages / sizeof kPages[0];

const PageInfo* FindInfo(UINT id)
{
    for (const auto& page : kPages)
        if (page.id == id)
            return &page;
    return nullptr;
}

// Converts one complete character with a fresh state; the output bytes, or
// an empty result when the input is not one whole character (or is several).
size_t ConvertOne(iconv_t cd, const char* in, size_t inSize, char* out, size_t outSize)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* inPtr = const_cast<char*>(in);
    size_t inLeft = inSize;
    char* outPtr = out;
    size_t outLeft = outSize;
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0)
        return 0;
    // Stateful pages (1255, 1258) hold the last character back until flushed.
    if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1))
        return 0;
    return outSize - outLeft;
}

// The one UTF-16 unit that a byte sequence decodes to, or kNone.
uint16_t DecodeOne(iconv_t cd, const unsigned char* bytes, size_t n)
{
    unsigned char out[8];
    const size_t got =
        ConvertOne(cd, reinterpret_cast<const char*>(bytes), n, reinterpret_cast<char*>(out), sizeof out);
    if (got != 2)
        return ByteCodePage::kNone;
    const uint16_t unit = static_cast<uint16_t>(out[0] | out[1] << 8);
    return unit == ByteCodePage::kNone ? ByteCodePage::kNone : unit;
}

} // namespace

struct CodePageBuilder {
    // Bytes 0x80..0x9F that the page leaves undefined decode to the C1
    // control of the same value and back, as Windows maps the gaps of its
    // Western, Central European, Baltic and Thai pages.
    static void FillC1Gaps(ByteCodePage& page)
    {
        for (unsigned b = 0x80; b < 0xA0; ++b)
            if (page.decode_[b] == ByteCodePage::kNone && !page.lead_[b] &&
                page.encode_[b] == ByteCodePage::kNone) {
                page.decode_[b] = static_cast<uint16_t>(b);
                page.encode_[b] = static_cast<uint16_t>(b);
            }
    }

    static std::unique_ptr<ByteCodePage> FromCompiled(const PageInfo& info)
    {
        auto page = std::make_unique<ByteCodePage>();
        page->id_ = info.id;
        page->unicodeDefault_ = info.unicodeDefault;
        page->lead_.assign(256, false);
        page->decode_.assign(256, ByteCodePage::kNone);
        page->encode_.assign(0x10000, ByteCodePage::kNone);
        for (unsigned b = 0; b < 256; ++b) {
            const char16_t unit = b < 0x80 ? static_cast<char16_t>(b) : info.compiled[b - 0x80];
            page->decode_[b] = unit;
            if (page->encode_[unit] == ByteCodePage::kNone)
                page->encode_[unit] = static_cast<uint16_t>(b);
        }
        return page;
    }

    static std::unique_ptr<ByteCodePage> FromIconv(const PageInfo& info)
    {
        Converter decoder = OpenConverter("UTF-16LE", info.iconvName);
        Converter encoder = OpenConverter(info.iconvName, "UTF-16LE");
        if (!decoder || !encoder)
            return nullptr;
        auto page = std::make_unique<ByteCodePage>();
        page->id_ = info.id;
        page->doubleByte_ = info.doubleByte;
        page->unicodeDefault_ = info.unicodeDefault;
        page->lead_.assign(256, false);
        page->decode_.assign(info.doubleByte ? 256 + 0x10000 : 256, ByteCodePage::kNone);
        page->encode_.assign(0x10000, ByteCodePage::kNone);

        for (unsigned b = 0; b < 256; ++b) {
            const unsigned char byte = static_cast<unsigned char>(b);
            page->decode_[b] = DecodeOne(decoder.get(), &byte, 1);
            if (!info.doubleByte || page->decode_[b] != ByteCodePage::kNone || b < 0x80)
                continue;
            bool anyPair = false;
            for (unsigned t = 0x30; t < 256; ++t) {
                const unsigned char pair[2] = {byte, static_cast<unsigned char>(t)};
                const uint16_t unit = DecodeOne(decoder.get(), pair, 2);
                page->decode_[256 + (b << 8 | t)] = unit;
                anyPair = anyPair || unit != ByteCodePage::kNone;
            }
            page->lead_[b] = anyPair;
        }

        // The encoder gives the page's own choice where several bytes decode
        // to one character.
        for (unsigned u = 0; u < 0x10000; ++u) {
            if (u >= 0xD800 && u <= 0xDFFF)
                continue;
            const unsigned char in[2] = {static_cast<unsigned char>(u & 0xFF),
                                         static_cast<unsigned char>(u >> 8)};
            unsigned char out[8];
            const size_t got = ConvertOne(encoder.get(), reinterpret_cast<const char*>(in), 2,
                                          reinterpret_cast<char*>(out), sizeof out);
            if (got == 1)
                page->encode_[u] = out[0];
            else if (got == 2 && info.doubleByte && page->lead_[out[0]])
                page->encode_[u] = static_cast<uint16_t>(out[0] << 8 | out[1]);
        }
        if (info.id == 20127) {
            // Windows strips the high bit of bytes above 0x7F in US-ASCII.
            for (unsigned b = 0x80; b < 256; ++b)
                page->decode_[b] = static_cast<uint16_t>(b & 0x7F);
        } else {
            FillC1Gaps(*page);
        }
        return page;
    }
};

const ByteCodePage* FindByteCodePage(UINT codePage)
{
    const PageInfo* info = FindInfo(codePage);
    if (!info)
        return nullptr;
    static std::array<std::once_flag, kPageCount> once;
    static std::array<std::unique_ptr<ByteCodePage>, kPageCount> pages;
    const size_t slot = static_cast<size_t>(info - kPages);
    std::call_once(once[slot], [&] {
        pages[slot] =
            info->compiled ? CodePageBuilder::FromCompiled(*info) : CodePageBuilder::FromIconv(*info);
    });
    return pages[slot].get();
}

const char16_t* CompiledTable(UINT codePage)
{
    const PageInfo* info = FindInfo(codePage);
    return info ? info->compiled : nullptr;
}

const char* IconvName(UINT codePage)
{
    const PageInfo* info = FindInfo(codePage);
    return info ? info->iconvName : nullptr;
}

Converter OpenConverter(const char* to, const char* from)
{
    iconv_t cd = iconv_open(to, from);
    return Converter(cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd);
}

} // namespace trumik::platform

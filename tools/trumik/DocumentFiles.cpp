#include "DocumentFiles.h"

#include "Automation.h"

namespace trumik::host {

// A document file as text: windows-1251 when it says so, UTF-8 otherwise.
bool DeclaresWindows1251(const std::string& bytes)
{
    return bytes.find("encoding=\"windows-1251\"") != std::string::npos ||
           bytes.find("encoding=\"WINDOWS-1251\"") != std::string::npos;
}

std::string Recode(const std::string& bytes, UINT from, UINT to)
{
    int units = MultiByteToWideChar(from, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::u16string wide(static_cast<size_t>(units > 0 ? units : 0), u'\0');
    if (units > 0)
        MultiByteToWideChar(from, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), units);
    int size =
        WideCharToMultiByte(to, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(to, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size, nullptr,
                            nullptr);
    return out;
}

// A document file (standard input for "" or "-") as UTF-8 text for the
// component: read in one piece, and from windows-1251 when it declares it.
bool ReadDocument(const std::string& path, std::string& text, bool& cp1251)
{
    if (!ReadFileBytes(path.empty() ? "-" : path, text))
        return false;
    cp1251 = DeclaresWindows1251(text);
    if (cp1251)
        text = Recode(text, 1251, CP_UTF8);
    return true;
}

} // namespace trumik::host

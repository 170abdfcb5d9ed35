#include "CommandLine.h"

#include <winnls.h>

#include <malloc.h>

#include <cstdio>
#include <fstream>

namespace trumik::host {

namespace {

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

} // namespace

std::optional<Options> ParseCommandLine(const std::vector<std::string>& args, const CommandSyntax& syntax)
{
    // One-letter forms become their long names; any other "-x" is unknown.
    std::vector<std::string> spelled;
    for (const std::string& a : args) {
        if (a.size() >= 2 && a[0] == '-' && a[1] != '-') {
            auto letter = syntax.letters.find(a);
            if (letter == syntax.letters.end()) {
                UsageError("unknown option " + a, syntax.topic);
                return std::nullopt;
            }
            spelled.push_back("--" + letter->second);
        } else {
            spelled.push_back(a);
        }
    }
    std::string error;
    std::optional<Options> options = ParseOptions(spelled, syntax.valued, syntax.flags, &error);
    if (!options) {
        UsageError(error, syntax.topic);
        return std::nullopt;
    }
    if (options->positional.size() > syntax.maxInputs) {
        UsageError("unexpected argument " + options->positional[syntax.maxInputs], syntax.topic);
        return std::nullopt;
    }
    for (const std::string& name : syntax.required) {
        if (!options->Get(name)) {
            UsageError(std::string(syntax.topic) + " needs --" + name, syntax.topic);
            return std::nullopt;
        }
    }
    return options;
}

bool CreateForCommand(const std::string& progId, DispatchRef& object)
{
    HRESULT hr = CreateObject(progId, &object.p);
    if (SUCCEEDED(hr) && object.p)
        return true;
    std::fprintf(stderr, "trumik: cannot create %s (%s); run trumik register first\n", progId.c_str(),
                 HResultText(FAILED(hr) ? hr : E_NOINTERFACE).c_str());
    return false;
}

std::optional<Document> ReadDocument(const std::string& path, bool declaredCodePage)
{
    Document document;
    if (!ReadFileBytes(path.empty() ? "-" : path, document.text)) {
        std::fprintf(stderr, "trumik: cannot read %s\n", path.empty() ? "standard input" : path.c_str());
        return std::nullopt;
    }
    document.cp1251 = declaredCodePage && DeclaresWindows1251(document.text);
    if (document.cp1251)
        document.text = Recode(document.text, 1251, CP_UTF8);
    return document;
}

std::string TakeTextArgument(Document& document)
{
    // In place: the file was read with room for the form.
    document.text.insert(0, "str:");
    return std::move(document.text);
}

bool WriteDocumentOutput(const std::string& path, const Document& like, BSTR text)
{
    const Utf8Buffer utf8 = ToUtf8Buffer(text, SysStringLen(text));
    if (!like.cp1251)
        return WriteOutput(path, utf8.View());
    return WriteOutput(path, Recode(std::string(utf8.View()), CP_UTF8, 1251));
}

void KeepLargeBuffersInHeap()
{
    constexpr int kLargeBufferHeap = 256 * 1024 * 1024;
    mallopt(M_MMAP_THRESHOLD, kLargeBufferHeap);
    mallopt(M_TRIM_THRESHOLD, kLargeBufferHeap);
    // The heap grows in steps of 64 MB of address space (pages are still
    // taken only as they are touched), not in hundreds of small steps.
    mallopt(M_TOP_PAD, 64 * 1024 * 1024);
    // The parsed tree is a great many small blocks. Without the fast bins they
    // are merged as they are freed, not all at once by the next large block.
    mallopt(M_MXFAST, 0);
}

int StartDocumentCall(const std::string& in, const char* progId, DocumentCall& call, bool declaredCodePage)
{
    KeepLargeBuffersInHeap();
    std::optional<Document> document = ReadDocument(in, declaredCodePage);
    if (!document)
        return 1;
    call.document = std::move(*document);
    return CreateForCommand(progId, call.object) ? 0 : 2;
}

bool WriteOutput(const std::string& path, std::string_view bytes)
{
    if (path.empty() || path == "-") {
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0)
            return true;
        std::fputs("trumik: cannot write standard output\n", stderr);
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) && out.flush())
        return true;
    std::fprintf(stderr, "trumik: cannot write %s\n", path.c_str());
    return false;
}

} // namespace trumik::host

// trumik-midl: compiles the automation subset of MIDL into a type library
// in the platform's .tlb format (see platform/oleaut/typelib/TypeLibFormat.h),
// and, when asked, into the C++ of the same interfaces (see CppWriter.h).
//
//   trumik-midl [-o output.tlb] [-h header.h] [-i identifiers.cpp]
//               [-d dispatch.h] input.idl
//
// The subset: import "..."; interfaces with attributes (object, uuid, dual,
// oleautomation, nonextensible, pointer_default, helpstring, version, hidden,
// restricted, local) deriving from IUnknown, IDispatch or an interface of the
// same file; methods with id, helpstring, helpcontext, propget, propput,
// propputref, hidden, restricted; parameters with in, out, retval, optional,
// lcid; a library with uuid, version, lcid, helpstring, helpfile,
// helpcontext, hidden, restricted, control, holding importlib(...),
// interfaces and coclasses ([default], [source] interface lists).
//
// The library holds the interfaces that it defines or that its coclasses
// name, in the order the file declares them, then its coclasses in order.
#include "CppWriter.h"
#include "TypeLibBuilder.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

using namespace trumik::midl;

int Usage()
{
    std::cerr << "usage: trumik-midl [-o output.tlb] [-h header.h] [-i identifiers.cpp] [-d dispatch.h] "
                 "input.idl\n";
    return 2;
}

// Writes the bytes through a temporary file beside the output, so that a
// failed run leaves no half-written file.
bool WriteFile(const std::string& path, const std::string& bytes)
{
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out || !out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
            std::cerr << temp << ": cannot write\n";
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::cerr << path << ": " << ec.message() << "\n";
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string input, output, header, identifiers, dispatch;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "-o" || arg == "/tlb" || arg == "-tlb") && i + 1 < argc)
            output = argv[++i];
        else if (arg == "-h" && i + 1 < argc)
            header = argv[++i];
        else if (arg == "-i" && i + 1 < argc)
            identifiers = argv[++i];
        else if (arg == "-d" && i + 1 < argc)
            dispatch = argv[++i];
        else if (!arg.empty() && arg[0] == '-')
            return Usage();
        else if (input.empty())
            input = arg;
        else
            return Usage();
    }
    if (input.empty())
        return Usage();
    if (output.empty())
        output = std::filesystem::path(input).replace_extension(".tlb").string();

    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::cerr << input << ": cannot open\n";
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();

    const std::string idlName = std::filesystem::path(input).filename().string();
    const std::string headerName =
        header.empty() ? std::filesystem::path(input).replace_extension(".h").filename().string()
                       : std::filesystem::path(header).filename().string();
    std::string bytes, headerText, identifiersText, dispatchText;
    try {
        Parser parser(text.str());
        parser.ParseFile();
        bytes = tl::Serialize(BuildTypeLib(parser));
        // What is written must read back.
        tl::LibModel check;
        if (tl::Parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), check) !=
            tl::ParseResult::Ok)
            throw CompileError(0, "internal error: the library does not read back");
        if (!header.empty())
            headerText = PublicHeader(parser, idlName);
        if (!identifiers.empty())
            identifiersText = GuidDefinitions(parser, idlName, headerName);
        if (!dispatch.empty())
            dispatchText = DispatchTables(parser, idlName, headerName);
    } catch (const CompileError& e) {
        std::cerr << input << ":" << e.line << ": error: " << e.what() << "\n";
        return 1;
    }

    if (!WriteFile(output, bytes))
        return 1;
    if (!header.empty() && !WriteFile(header, headerText))
        return 1;
    if (!identifiers.empty() && !WriteFile(identifiers, identifiersText))
        return 1;
    if (!dispatch.empty() && !WriteFile(dispatch, dispatchText))
        return 1;
    return 0;
}

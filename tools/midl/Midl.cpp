// trumik-midl: compiles the automation subset of MIDL into a type library
// in the platform's .tlb format (see platform/oleaut/typelib/TypeLibFormat.h).
//
//   trumik-midl [-o output.tlb] input.idl
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
    std::cerr << "usage: trumik-midl [-o output.tlb] input.idl\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string input, output;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "-o" || arg == "/tlb" || arg == "-tlb") && i + 1 < argc)
            output = argv[++i];
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

    std::string bytes;
    try {
        Parser parser(text.str());
        parser.ParseFile();
        bytes = tl::Serialize(BuildTypeLib(parser));
        // What is written must read back.
        tl::LibModel check;
        if (tl::Parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), check) !=
            tl::ParseResult::Ok)
            throw CompileError(0, "internal error: the library does not read back");
    } catch (const CompileError& e) {
        std::cerr << input << ":" << e.line << ": error: " << e.what() << "\n";
        return 1;
    }

    const std::string temp = output + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out || !out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
            std::cerr << temp << ": cannot write\n";
            return 1;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, output, ec);
    if (ec) {
        std::cerr << output << ": " << ec.message() << "\n";
        std::filesystem::remove(temp, ec);
        return 1;
    }
    return 0;
}

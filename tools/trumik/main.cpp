// trumik: the command-line host of the component.
#include "pemsigner/XmlSigner.h"

#include "common/Conversions.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using trumik::common::MakeBstr;
using trumik::common::UniqueBstr;

int Usage()
{
    std::fputs("usage:\n"
               "  trumik sign-pem --key KEYFILE [IN] [-o OUT]\n"
               "      Signs the XML document IN (standard input when absent or -) with the RSA key and\n"
               "      certificate of the PEM file KEYFILE and writes the signed document to OUT\n"
               "      (standard output when absent). Exit status 0 on success, 1 on failure, with the\n"
               "      component's message on standard error.\n",
               stderr);
    return 2;
}

bool ReadInput(const std::string& name, std::string& text)
{
    if (name.empty() || name == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream in(name, std::ios::binary);
    if (!in)
        return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteOutput(const std::string& name, const std::string& text)
{
    if (name.empty() || name == "-") {
        std::cout << text;
        return bool(std::cout.flush());
    }
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out.flush());
}

std::u16string FromUtf8(const std::string& text)
{
    UniqueBstr b = trumik::common::Utf8ToBstr(text.c_str());
    return std::u16string(trumik::common::View(b.get()));
}

std::string ToUtf8(BSTR text)
{
    std::string bytes = trumik::common::DocumentToUtf8(text);
    bytes.pop_back();
    return bytes;
}

int SignPem(const std::vector<std::string>& args)
{
    std::string key, in, out;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--key" && i + 1 < args.size())
            key = args[++i];
        else if (args[i] == "-o" && i + 1 < args.size())
            out = args[++i];
        else if (in.empty() && (args[i] == "-" || args[i].rfind("-", 0) != 0))
            in = args[i];
        else
            return Usage();
    }
    if (key.empty())
        return Usage();
    std::string document;
    if (!ReadInput(in, document)) {
        std::fprintf(stderr, "trumik: cannot read %s\n", in.c_str());
        return 1;
    }
    trumik::pemsigner::CXmlSigner signer;
    UniqueBstr xml = MakeBstr(FromUtf8(document));
    UniqueBstr keyFile = MakeBstr(FromUtf8(key));
    BSTR signedXml = nullptr;
    HRESULT status = signer.SignWithKey(xml.get(), keyFile.get(), &signedXml);
    UniqueBstr result(signedXml);
    if (status != S_OK) {
        BSTR message = nullptr;
        signer.SignFGetLastError(&message);
        UniqueBstr owned(message);
        std::fprintf(stderr, "%s\n", ToUtf8(message).c_str());
        return 1;
    }
    if (!WriteOutput(out, ToUtf8(result.get()))) {
        std::fprintf(stderr, "trumik: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    std::vector<std::string> args(argv + 2, argv + argc);
    std::string command = argv[1];
    if (command == "sign-pem")
        return SignPem(args);
    return Usage();
}

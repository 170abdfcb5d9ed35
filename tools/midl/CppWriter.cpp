#include "CppWriter.h"

#include "TypeLibBuilder.h"

#include <cstdio>
#include <sstream>

namespace trumik::midl {

namespace {

// What the code needs to know of one parameter's type.
struct CppType {
    std::string declared; // as the public header writes it
    std::string vartype;  // the [in] parameter's automation type for the dispatch table
    std::string field;    // the member of the checked argument that holds it
};

CppType TypeOf(const TypeName& type, int line)
{
    struct Known {
        const char* idl;
        const char* cpp;
        const char* vartype;
        const char* field;
    };
    static const Known kKnown[] = {
        {"BSTR", "BSTR", "VT_BSTR", "bstrVal"},
        {"long", "LONG", "VT_I4", "lVal"},
        {"int", "INT", "VT_I4", "lVal"},
        {"DATE", "DATE", "VT_DATE", "date"},
        {"VARIANT_BOOL", "VARIANT_BOOL", "VT_BOOL", "boolVal"},
        {"double", "DOUBLE", "VT_R8", "dblVal"},
        {"VARIANT", "VARIANT", "", ""},
    };
    for (const Known& k : kKnown) {
        if (type.base != k.idl)
            continue;
        CppType t;
        t.declared = std::string(k.cpp) + std::string(static_cast<size_t>(type.pointers), '*');
        if (type.base == "VARIANT" && type.pointers == 1) {
            t.vartype = "VT_BYREF | VT_VARIANT";
            t.field = "pvarVal";
        } else if (type.pointers == 0) {
            t.vartype = k.vartype;
            t.field = k.field;
        }
        return t;
    }
    throw CompileError(line, "type '" + type.base + "' has no C++ form here");
}

bool IsRetval(const ParamDecl& p)
{
    return Find(p.attrs, "retval") != nullptr;
}

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string GuidInitializer(const GUID& g)
{
    char text[96];
    std::snprintf(
        text, sizeof text,
        "{0x%08X, 0x%04X, 0x%04X, {0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X}}",
        static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
        g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::vector<const InterfaceDecl*> DefinedInterfaces(Parser& parser)
{
    std::vector<const InterfaceDecl*> out;
    for (const InterfaceDecl& i : parser.interfaces)
        if (i.defined)
            out.push_back(&i);
    return out;
}

std::string Banner(const std::string& idlName, const char* what)
{
    return "// Made by trumik-midl from " + idlName + ": do not edit; change the IDL.\n// " + what + "\n";
}

// "BSTR xml, BSTR keyFile, BSTR* retXml"
std::string Signature(const MethodDecl& m)
{
    std::string out;
    for (const ParamDecl& p : m.params) {
        if (!out.empty())
            out += ", ";
        out += TypeOf(p.type, m.line).declared + " " + p.name;
    }
    return out;
}

std::string ArgumentNames(const MethodDecl& m)
{
    std::string out;
    for (const ParamDecl& p : m.params) {
        if (!out.empty())
            out += ", ";
        out += p.name;
    }
    return out;
}

DISPID DispidOf(const MethodDecl& m)
{
    const Attr* id = Find(m.attrs, "id");
    if (!id)
        throw CompileError(m.line, "method " + m.name + " has no id");
    return static_cast<DISPID>(Number(*id, 0x7FFFFFFF));
}

// The thunk of one method: the checked arguments in parameter order, the
// [out, retval] value into the result variant.
void WriteThunk(std::ostringstream& out, const InterfaceDecl& iface, const MethodDecl& m)
{
    out << "inline HRESULT " << m.name << "(IDispatch* self, VARIANTARG* const*"
        << (m.params.size() > 1 || (m.params.size() == 1 && !IsRetval(m.params[0])) ? " args" : "")
        << ", VARIANT* retval)\n{\n";
    std::string call;
    std::string put;
    size_t index = 0;
    for (const ParamDecl& p : m.params) {
        if (!call.empty())
            call += ", ";
        if (!IsRetval(p)) {
            const CppType t = TypeOf(p.type, m.line);
            if (t.field.empty())
                throw CompileError(m.line, "parameter " + p.name + " cannot be passed by dispatch");
            call += "args[" + std::to_string(index++) + "]->" + t.field;
            continue;
        }
        if (p.type.pointers != 1)
            throw CompileError(m.line, "the retval of " + m.name + " is not a pointer");
        if (p.type.base == "VARIANT") {
            call += "retval";
        } else if (p.type.base == "BSTR") {
            out << "    BSTR out = nullptr;\n";
            call += "&out";
            put = "PutBstr(retval, out);";
        } else if (p.type.base == "int" || p.type.base == "long") {
            out << "    INT out = 0;\n";
            call += "&out";
            put = "PutInt(retval, out);";
        } else if (p.type.base == "VARIANT_BOOL") {
            out << "    VARIANT_BOOL out = VARIANT_FALSE;\n";
            call += "&out";
            put = "PutBool(retval, out);";
        } else if (p.type.base == "DATE") {
            out << "    DATE out = 0;\n";
            call += "&out";
            put = "PutDate(retval, out);";
        } else {
            throw CompileError(m.line, "the retval type of " + m.name + " has no result form here");
        }
    }
    out << "    const HRESULT hr = static_cast<" << iface.name << "*>(self)->" << m.name << "(" << call
        << ");\n";
    if (!put.empty())
        out << "    " << put << "\n";
    out << "    return hr;\n}\n\n";
}

} // namespace

std::string PublicHeader(Parser& parser, const std::string& idlName)
{
    const LibraryDecl& lib = parser.library;
    std::ostringstream out;
    out << Banner(idlName, "The binary interface of the type library for hosts that bind early.")
        << "// Every interface is dual: IUnknown (slots 0-2), IDispatch (3-6), then the\n"
           "// methods below in slot order from slot 7, each with its dispatch identifier.\n"
           "// Every method returns an HRESULT; its last parameter is the [out, retval]\n"
           "// value. Hosts free the strings, variants and arrays they receive with\n"
           "// SysFreeString / VariantClear.\n"
           "#pragma once\n\n#include <oleauto.h>\n\nextern \"C\" {\n";
    if (lib.present) {
        std::string version;
        if (const Attr* v = Find(lib.attrs, "version"))
            version = ", version " + v->value;
        out << "extern const GUID LIBID_" << lib.name << "; // "
            << GuidText(Uuid(lib.attrs, lib.line, "library " + lib.name)) << version << "\n\n";
        for (const CoclassDecl& c : lib.coclasses)
            out << "extern const CLSID CLSID_" << c.name << "; // "
                << GuidText(Uuid(c.attrs, c.line, "coclass " + c.name)) << "\n";
        out << "\n";
    }
    for (const InterfaceDecl* i : DefinedInterfaces(parser))
        out << "extern const IID IID_" << i->name << "; // "
            << GuidText(Uuid(i->attrs, i->line, "interface " + i->name)) << "\n";
    out << "}\n";
    for (const InterfaceDecl* i : DefinedInterfaces(parser)) {
        out << "\n";
        if (const Attr* help = Find(i->attrs, "helpstring"))
            out << "// " << help->value << "\n";
        out << "struct " << i->name << " : " << (i->base.empty() ? "IUnknown" : i->base) << " {\n";
        for (const MethodDecl& m : i->methods)
            out << "    virtual HRESULT STDMETHODCALLTYPE " << m.name << "(" << Signature(m) << ") = 0; // "
                << DispidOf(m) << "\n";
        out << "};\n";
    }
    return out.str();
}

std::string GuidDefinitions(Parser& parser, const std::string& idlName, const std::string& headerName)
{
    const LibraryDecl& lib = parser.library;
    std::ostringstream out;
    out << Banner(idlName, "The identifiers of the library, its classes and its interfaces.") << "#include \""
        << headerName << "\"\n\nextern \"C\" {\n";
    if (lib.present) {
        out << "const GUID LIBID_" << lib.name << " = "
            << GuidInitializer(Uuid(lib.attrs, lib.line, lib.name)) << ";\n";
        for (const CoclassDecl& c : lib.coclasses)
            out << "const CLSID CLSID_" << c.name << " = " << GuidInitializer(Uuid(c.attrs, c.line, c.name))
                << ";\n";
    }
    for (const InterfaceDecl* i : DefinedInterfaces(parser))
        out << "const IID IID_" << i->name << " = " << GuidInitializer(Uuid(i->attrs, i->line, i->name))
            << ";\n";
    out << "}\n";
    return out.str();
}

std::string DispatchTables(Parser& parser, const std::string& idlName, const std::string& headerName)
{
    std::ostringstream out;
    out << Banner(idlName, "The dispatch tables of the interfaces and their dual objects, for the server.")
        << "#pragma once\n\n#include \"ComObject.h\"\n#include \"Dispatch.h\"\n#include \"" << headerName
        << "\"\n\nnamespace trumik::server {\n";
    for (const InterfaceDecl* i : DefinedInterfaces(parser)) {
        out << "\n// " << i->name << "\nnamespace " << i->name << "_dispatch {\n\n";
        for (const MethodDecl& m : i->methods)
            WriteThunk(out, *i, m);
        out << "// In slot order.\ninline constexpr DispMethod kMethods[] = {\n";
        for (const MethodDecl& m : i->methods) {
            std::string types;
            size_t count = 0;
            for (const ParamDecl& p : m.params) {
                if (IsRetval(p))
                    continue;
                types += (count++ ? ", " : "") + TypeOf(p.type, m.line).vartype;
            }
            if (count > 8) // kMaxDispParams of server/Dispatch.h
                throw CompileError(m.line, "method " + m.name + " has more than eight [in] parameters");
            out << "    {u\"" << m.name << "\", " << DispidOf(m) << ", {" << types << "}, " << count << ", "
                << m.name << "},\n";
        }
        out << "};\n\n// Each parameter's name with its position in its method.\n"
               "inline constexpr DispParamName kParamNames[] = {\n";
        bool any = false;
        for (const MethodDecl& m : i->methods) {
            for (size_t p = 0; p < m.params.size(); ++p) {
                out << "    {u\"" << m.params[p].name << "\", " << p << "},\n";
                any = true;
            }
        }
        if (!any)
            out << "    {u\"\", 0},\n";
        out << "};\n\n} // namespace " << i->name << "_dispatch\n\n";
        out << "// The dual object of " << i->name
            << ": each method forwards to Derived::Target(), the component object.\n"
               "template <class Derived>\nclass "
            << i->name << "Object : public DualObject<" << i->name << "> {\n  public:\n    using DualObject<"
            << i->name << ">::DualObject;\n";
        for (const MethodDecl& m : i->methods)
            out << "    HRESULT STDMETHODCALLTYPE " << m.name << "(" << Signature(m)
                << ") override\n    {\n        return static_cast<Derived*>(this)->Target()." << m.name << "("
                << ArgumentNames(m) << ");\n    }\n";
        out << "};\n";
    }
    out << "\n} // namespace trumik::server\n";
    return out.str();
}

} // namespace trumik::midl

// The declarations of an IDL file as parsed, and the parser that reads them.
#pragma once

#include "IdlLexer.h"

#include <string>
#include <vector>

namespace trumik::midl {

struct Attr {
    std::string name;
    std::string value; // empty when the attribute takes no argument
    bool hasValue = false;
    int line = 0;
};
using Attrs = std::vector<Attr>;

inline const Attr* Find(const Attrs& attrs, const std::string& name)
{
    for (const Attr& a : attrs)
        if (a.name == name)
            return &a;
    return nullptr;
}

struct TypeName {
    std::string base; // may be two words ("unsigned long")
    int pointers = 0;
    int line = 0;
};

struct ParamDecl {
    Attrs attrs;
    TypeName type;
    std::string name;
};

struct MethodDecl {
    Attrs attrs;
    TypeName ret;
    std::string name;
    std::vector<ParamDecl> params;
    int line = 0;
};

struct InterfaceDecl {
    Attrs attrs;
    std::string name;
    std::string base;
    std::vector<MethodDecl> methods;
    bool defined = false;
    int line = 0;
};

struct CoclassDecl {
    Attrs attrs;
    std::string name;
    struct Item {
        Attrs attrs;
        std::string iface;
        int line = 0;
    };
    std::vector<Item> items;
    int line = 0;
};

struct LibraryDecl {
    Attrs attrs;
    std::string name;
    std::vector<std::string> interfacesInside;
    std::vector<CoclassDecl> coclasses;
    bool present = false;
    int line = 0;
};

class Parser {
  public:
    explicit Parser(std::string src) : lex_(std::move(src)) { Advance(); }

    void ParseFile()
    {
        while (cur_.kind != Tok::End) {
            if (IsPunct(";")) {
                Advance();
                continue;
            }
            if (IsIdent("import")) {
                Advance();
                Expect(Tok::String, "a file name");
                while (IsPunct(",")) {
                    Advance();
                    Expect(Tok::String, "a file name");
                }
                ExpectPunct(";");
                continue;
            }
            Attrs attrs = IsPunct("[") ? ParseAttrs() : Attrs{};
            if (IsIdent("interface")) {
                ParseInterface(std::move(attrs));
            } else if (IsIdent("library")) {
                ParseLibrary(std::move(attrs));
            } else {
                throw CompileError(cur_.line, "expected interface or library, found '" + cur_.text + "'");
            }
        }
    }

    std::vector<InterfaceDecl> interfaces; // in declaration order
    LibraryDecl library;

    InterfaceDecl* FindInterface(const std::string& name)
    {
        for (InterfaceDecl& i : interfaces)
            if (i.name == name)
                return &i;
        return nullptr;
    }

  private:
    void Advance() { cur_ = lex_.Next(); }
    bool IsPunct(const char* p) const { return cur_.kind == Tok::Punct && cur_.text == p; }
    bool IsIdent(const char* p) const { return cur_.kind == Tok::Ident && cur_.text == p; }
    [[noreturn]] void Fail(const std::string& expected) const
    {
        throw CompileError(cur_.line, "expected " + expected + ", found '" +
                                          (cur_.kind == Tok::End ? std::string("end of file") : cur_.text) +
                                          "'");
    }
    std::string Expect(Tok kind, const std::string& what)
    {
        if (cur_.kind != kind)
            Fail(what);
        std::string text = cur_.text;
        Advance();
        return text;
    }
    void ExpectPunct(const char* p)
    {
        if (!IsPunct(p))
            Fail(std::string("'") + p + "'");
        Advance();
    }

    Attrs ParseAttrs()
    {
        Attrs attrs;
        ExpectPunct("[");
        if (IsPunct("]")) {
            Advance();
            return attrs;
        }
        for (;;) {
            Attr a;
            a.line = cur_.line;
            a.name = Expect(Tok::Ident, "an attribute");
            if (IsPunct("(")) {
                a.hasValue = true;
                if (a.name == "uuid") {
                    // The lexer is one token ahead: '(' is current, the raw text follows.
                    a.value = lex_.RawUntilParen();
                    Advance(); // ')'
                    ExpectPunct(")");
                } else {
                    Advance();
                    if (cur_.kind == Tok::Punct)
                        Fail("an attribute argument");
                    a.value = cur_.text;
                    Advance();
                    ExpectPunct(")");
                }
            }
            attrs.push_back(std::move(a));
            if (IsPunct(",")) {
                Advance();
                continue;
            }
            ExpectPunct("]");
            return attrs;
        }
    }

    TypeName ParseType()
    {
        TypeName t;
        t.line = cur_.line;
        if (IsIdent("const"))
            Advance();
        t.base = Expect(Tok::Ident, "a type");
        if (t.base == "unsigned" || t.base == "signed") {
            if (cur_.kind == Tok::Ident &&
                (IsIdent("long") || IsIdent("int") || IsIdent("short") || IsIdent("char")))
                t.base += " " + Expect(Tok::Ident, "a type");
            else
                t.base += " int";
        }
        while (IsPunct("*")) {
            ++t.pointers;
            Advance();
        }
        return t;
    }

    void ParseInterface(Attrs attrs)
    {
        const int line = cur_.line;
        Advance(); // interface
        std::string name = Expect(Tok::Ident, "an interface name");
        InterfaceDecl* existing = FindInterface(name);
        if (IsPunct(";")) { // forward declaration
            Advance();
            if (!existing) {
                InterfaceDecl decl;
                decl.name = name;
                decl.line = line;
                interfaces.push_back(std::move(decl));
            }
            NoteInLibrary(name);
            return;
        }
        if (existing && existing->defined)
            throw CompileError(line, "interface " + name + " defined twice");
        InterfaceDecl decl;
        decl.attrs = std::move(attrs);
        decl.name = name;
        decl.line = line;
        decl.defined = true;
        if (IsPunct(":")) {
            Advance();
            decl.base = Expect(Tok::Ident, "a base interface");
        }
        ExpectPunct("{");
        while (!IsPunct("}")) {
            if (cur_.kind == Tok::End)
                Fail("'}'");
            decl.methods.push_back(ParseMethod());
        }
        Advance();
        if (IsPunct(";"))
            Advance();
        if (existing)
            *existing = std::move(decl);
        else
            interfaces.push_back(std::move(decl));
        NoteInLibrary(name);
    }

    MethodDecl ParseMethod()
    {
        MethodDecl m;
        m.line = cur_.line;
        if (IsPunct("["))
            m.attrs = ParseAttrs();
        m.ret = ParseType();
        m.name = Expect(Tok::Ident, "a method name");
        ExpectPunct("(");
        if (IsIdent("void")) {
            Advance();
            ExpectPunct(")");
        } else if (IsPunct(")")) {
            Advance();
        } else {
            for (;;) {
                ParamDecl p;
                if (IsPunct("["))
                    p.attrs = ParseAttrs();
                p.type = ParseType();
                p.name = Expect(Tok::Ident, "a parameter name");
                m.params.push_back(std::move(p));
                if (IsPunct(",")) {
                    Advance();
                    continue;
                }
                ExpectPunct(")");
                break;
            }
        }
        ExpectPunct(";");
        return m;
    }

    void ParseLibrary(Attrs attrs)
    {
        if (library.present)
            throw CompileError(cur_.line, "a second library");
        library.present = true;
        library.line = cur_.line;
        library.attrs = std::move(attrs);
        Advance();
        library.name = Expect(Tok::Ident, "a library name");
        ExpectPunct("{");
        inLibrary_ = true;
        while (!IsPunct("}")) {
            if (cur_.kind == Tok::End)
                Fail("'}'");
            if (IsPunct(";")) {
                Advance();
                continue;
            }
            if (IsIdent("importlib")) {
                Advance();
                ExpectPunct("(");
                Expect(Tok::String, "a library file name");
                ExpectPunct(")");
                ExpectPunct(";");
                continue;
            }
            Attrs itemAttrs = IsPunct("[") ? ParseAttrs() : Attrs{};
            if (IsIdent("coclass"))
                ParseCoclass(std::move(itemAttrs));
            else if (IsIdent("interface"))
                ParseInterface(std::move(itemAttrs));
            else
                Fail("coclass, interface or importlib");
        }
        inLibrary_ = false;
        Advance();
        if (IsPunct(";"))
            Advance();
    }

    void ParseCoclass(Attrs attrs)
    {
        CoclassDecl c;
        c.line = cur_.line;
        c.attrs = std::move(attrs);
        Advance();
        c.name = Expect(Tok::Ident, "a coclass name");
        ExpectPunct("{");
        while (!IsPunct("}")) {
            CoclassDecl::Item item;
            item.line = cur_.line;
            if (IsPunct("["))
                item.attrs = ParseAttrs();
            if (!IsIdent("interface"))
                Fail("interface");
            Advance();
            item.iface = Expect(Tok::Ident, "an interface name");
            ExpectPunct(";");
            c.items.push_back(std::move(item));
        }
        Advance();
        if (IsPunct(";"))
            Advance();
        library.coclasses.push_back(std::move(c));
    }

    void NoteInLibrary(const std::string& name)
    {
        if (inLibrary_)
            library.interfacesInside.push_back(name);
    }

    Lexer lex_;
    Token cur_;
    bool inLibrary_ = false;
};

} // namespace trumik::midl

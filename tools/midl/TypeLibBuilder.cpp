#include "TypeLibBuilder.h"

#include <map>

namespace trumik::midl {

std::u16string Widen(const std::string& utf8, int line)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        } else {
            throw CompileError(line, "text is not UTF-8");
        }
        if (i + len > utf8.size())
            throw CompileError(line, "text is not UTF-8");
        for (size_t k = 1; k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(utf8[i + k]);
            if ((cc & 0xC0) != 0x80)
                throw CompileError(line, "text is not UTF-8");
            cp = (cp << 6) | (cc & 0x3F);
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

uint32_t Number(const Attr& a, uint32_t max)
{
    const std::string& s = a.value;
    uint64_t v = 0;
    size_t i = 0;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= s.size())
        throw CompileError(a.line, a.name + ": not a number: " + s);
    for (; i < s.size(); ++i) {
        int d = std::isdigit(static_cast<unsigned char>(s[i])) ? s[i] - '0'
                : base == 16 && std::isxdigit(static_cast<unsigned char>(s[i]))
                    ? std::tolower(static_cast<unsigned char>(s[i])) - 'a' + 10
                    : -1;
        if (d < 0)
            throw CompileError(a.line, a.name + ": not a number: " + s);
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > max)
            throw CompileError(a.line, a.name + ": out of range: " + s);
    }
    return static_cast<uint32_t>(v);
}

void Version(const Attr& a, uint16_t& major, uint16_t& minor)
{
    const size_t dot = a.value.find('.');
    Attr part = a;
    part.value = a.value.substr(0, dot);
    major = static_cast<uint16_t>(Number(part, 0xFFFF));
    minor = 0;
    if (dot != std::string::npos) {
        part.value = a.value.substr(dot + 1);
        minor = static_cast<uint16_t>(Number(part, 0xFFFF));
    }
}

GUID Uuid(const Attrs& attrs, int line, const std::string& what)
{
    const Attr* a = Find(attrs, "uuid");
    if (!a)
        throw CompileError(line, what + " has no uuid");
    GUID g{};
    if (!tl::ParseGuid(std::string_view(a->value), g))
        throw CompileError(a->line, "bad uuid: " + a->value);
    return g;
}

void CheckAttrs(const Attrs& attrs, std::initializer_list<const char*> allowed, const std::string& where)
{
    for (const Attr& a : attrs) {
        bool ok = false;
        for (const char* name : allowed)
            ok = ok || a.name == name;
        if (!ok)
            throw CompileError(a.line, "attribute '" + a.name + "' not supported on " + where);
    }
}

namespace {

class Builder {
  public:
    explicit Builder(Parser& p) : p_(p) {}

    tl::LibModel Build()
    {
        const LibraryDecl& lib = p_.library;
        if (!lib.present)
            throw CompileError(1, "no library block");
        CheckAttrs(lib.attrs,
                   {"uuid", "version", "lcid", "helpstring", "helpfile", "helpcontext", "hidden",
                    "restricted", "control"},
                   "a library");
        model_.name = Widen(lib.name, lib.line);
        model_.libid = Uuid(lib.attrs, lib.line, "library " + lib.name);
        if (const Attr* a = Find(lib.attrs, "version"))
            Version(*a, model_.major, model_.minor);
        if (const Attr* a = Find(lib.attrs, "lcid"))
            model_.lcid = Number(*a, 0xFFFFFFFF);
        if (const Attr* a = Find(lib.attrs, "helpstring"))
            model_.help = Widen(a->value, a->line);
        if (const Attr* a = Find(lib.attrs, "helpfile"))
            model_.helpFile = Widen(a->value, a->line);
        if (const Attr* a = Find(lib.attrs, "helpcontext"))
            model_.helpContext = Number(*a, 0xFFFFFFFF);
        if (Find(lib.attrs, "restricted"))
            model_.flags |= LIBFLAG_FRESTRICTED;
        if (Find(lib.attrs, "control"))
            model_.flags |= LIBFLAG_FCONTROL;
        if (Find(lib.attrs, "hidden"))
            model_.flags |= LIBFLAG_FHIDDEN;
        model_.syskind = SYS_WIN32;

        // Which interfaces the library holds.
        std::vector<bool> wanted(p_.interfaces.size());
        auto want = [&](const std::string& name, int line) {
            for (size_t i = 0; i < p_.interfaces.size(); ++i)
                if (p_.interfaces[i].name == name) {
                    wanted[i] = true;
                    return;
                }
            if (name != "IDispatch" && name != "IUnknown")
                throw CompileError(line, "unknown interface " + name);
        };
        for (const std::string& name : lib.interfacesInside)
            want(name, lib.line);
        for (const CoclassDecl& c : lib.coclasses)
            for (const auto& item : c.items)
                want(item.iface, item.line);
        // Bases come along with the interfaces that derive from them.
        for (size_t pass = 0; pass < p_.interfaces.size(); ++pass)
            for (size_t i = 0; i < p_.interfaces.size(); ++i)
                if (wanted[i] && !p_.interfaces[i].base.empty())
                    if (InterfaceDecl* base = p_.FindInterface(p_.interfaces[i].base))
                        wanted[static_cast<size_t>(base - p_.interfaces.data())] = true;

        for (size_t i = 0; i < p_.interfaces.size(); ++i)
            if (wanted[i]) {
                if (!p_.interfaces[i].defined)
                    throw CompileError(p_.interfaces[i].line, "interface " + p_.interfaces[i].name +
                                                                  " is declared but never defined");
                index_[p_.interfaces[i].name] = static_cast<uint32_t>(order_.size());
                order_.push_back(&p_.interfaces[i]);
            }
        for (const InterfaceDecl* decl : order_)
            model_.types.push_back(BuildInterface(*decl));
        for (const CoclassDecl& c : lib.coclasses)
            model_.types.push_back(BuildCoclass(c));
        return model_;
    }

  private:
    // Virtual table slots an interface's own methods start after.
    unsigned BaseSlots(const InterfaceDecl& decl, int depth = 0)
    {
        if (depth > 64)
            throw CompileError(decl.line, "interface " + decl.name + " derives from itself");
        if (decl.base == "IUnknown")
            return 3;
        if (decl.base == "IDispatch")
            return 7;
        InterfaceDecl* base = p_.FindInterface(decl.base);
        if (!base || !base->defined)
            throw CompileError(decl.line, "unknown base interface " + decl.base);
        return BaseSlots(*base, depth + 1) + static_cast<unsigned>(base->methods.size());
    }

    bool Dispatchable(const InterfaceDecl& decl, int depth = 0)
    {
        if (decl.base == "IDispatch")
            return true;
        InterfaceDecl* base = p_.FindInterface(decl.base);
        return base && depth < 64 && Dispatchable(*base, depth + 1);
    }

    tl::TypeSpec MapType(const TypeName& t)
    {
        static const std::map<std::string, uint16_t> base = {
            {"BSTR", VT_BSTR},         {"long", VT_I4},
            {"int", VT_INT},           {"short", VT_I2},
            {"VARIANT_BOOL", VT_BOOL}, {"DATE", VT_DATE},
            {"double", VT_R8},         {"float", VT_R4},
            {"VARIANT", VT_VARIANT},   {"HRESULT", VT_HRESULT},
            {"void", VT_VOID},         {"char", VT_I1},
            {"signed char", VT_I1},    {"unsigned char", VT_UI1},
            {"BYTE", VT_UI1},          {"unsigned short", VT_UI2},
            {"unsigned long", VT_UI4}, {"unsigned int", VT_UINT},
            {"signed int", VT_INT},    {"signed long", VT_I4},
            {"signed short", VT_I2},   {"CY", VT_CY},
            {"CURRENCY", VT_CY},       {"SCODE", VT_ERROR},
            {"LONG", VT_I4},           {"ULONG", VT_UI4},
            {"INT", VT_INT},           {"UINT", VT_UINT},
            {"SHORT", VT_I2},          {"USHORT", VT_UI2},
            {"DECIMAL", VT_DECIMAL},   {"LPSTR", VT_LPSTR},
            {"LPWSTR", VT_LPWSTR},     {"hyper", VT_I8},
            {"__int64", VT_I8},        {"LONGLONG", VT_I8},
        };
        tl::TypeSpec spec;
        int pointers = t.pointers;
        uint16_t leaf;
        if (auto it = base.find(t.base); it != base.end()) {
            leaf = it->second;
        } else if (t.base == "IDispatch" || t.base == "IUnknown") {
            if (pointers == 0)
                throw CompileError(t.line, t.base + " is passed by pointer");
            --pointers;
            leaf = t.base == "IDispatch" ? VT_DISPATCH : VT_UNKNOWN;
        } else if (auto idx = index_.find(t.base); idx != index_.end()) {
            if (pointers == 0)
                throw CompileError(t.line, t.base + " is passed by pointer");
            leaf = VT_USERDEFINED;
            spec.href = idx->second;
        } else {
            throw CompileError(t.line, "unsupported type " + t.base);
        }
        if (static_cast<size_t>(pointers) >= tl::kMaxTypeDepth)
            throw CompileError(t.line, "too many levels of pointers");
        spec.chain.assign(static_cast<size_t>(pointers), VT_PTR);
        spec.chain.push_back(leaf);
        return spec;
    }

    tl::TypeModel BuildInterface(const InterfaceDecl& decl)
    {
        CheckAttrs(decl.attrs,
                   {"object", "uuid", "dual", "nonextensible", "oleautomation", "pointer_default",
                    "helpstring", "helpcontext", "version", "hidden", "restricted", "local"},
                   "an interface");
        tl::TypeModel t;
        t.kind = TKIND_INTERFACE;
        t.name = Widen(decl.name, decl.line);
        t.guid = Uuid(decl.attrs, decl.line, "interface " + decl.name);
        if (Find(decl.attrs, "dual"))
            t.flags |= TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
        if (Find(decl.attrs, "oleautomation"))
            t.flags |= TYPEFLAG_FOLEAUTOMATION;
        if (Find(decl.attrs, "nonextensible"))
            t.flags |= TYPEFLAG_FNONEXTENSIBLE;
        if (Find(decl.attrs, "hidden"))
            t.flags |= TYPEFLAG_FHIDDEN;
        if (Find(decl.attrs, "restricted"))
            t.flags |= TYPEFLAG_FRESTRICTED;
        if (decl.base.empty())
            throw CompileError(decl.line, "interface " + decl.name + " has no base interface");
        const bool dispatchable = Dispatchable(decl);
        if (dispatchable)
            t.flags |= TYPEFLAG_FDISPATCHABLE;
        if ((t.flags & TYPEFLAG_FDUAL) && !dispatchable)
            throw CompileError(decl.line, "dual interface " + decl.name + " does not derive from IDispatch");
        if (Find(decl.attrs, "version"))
            Version(*Find(decl.attrs, "version"), t.major, t.minor);
        if (const Attr* a = Find(decl.attrs, "helpstring"))
            t.help = Widen(a->value, a->line);
        if (const Attr* a = Find(decl.attrs, "helpcontext"))
            t.helpContext = Number(*a, 0xFFFFFFFF);
        if (decl.base == "IDispatch")
            t.impls.push_back({tl::kStdoleRef | tl::kStdoleIDispatch, 0});
        else if (decl.base == "IUnknown")
            t.impls.push_back({tl::kStdoleRef | tl::kStdoleIUnknown, 0});
        else if (auto idx = index_.find(decl.base); idx != index_.end())
            t.impls.push_back({idx->second, 0});
        else
            throw CompileError(decl.line, "unknown base interface " + decl.base);

        const unsigned firstSlot = BaseSlots(decl);
        std::map<std::pair<int32_t, uint32_t>, std::string> seen;
        for (size_t i = 0; i < decl.methods.size(); ++i)
            t.funcs.push_back(BuildMethod(decl, decl.methods[i], firstSlot + static_cast<unsigned>(i),
                                          static_cast<uint32_t>(i), dispatchable, seen));
        return t;
    }

    tl::FuncModel BuildMethod(const InterfaceDecl& decl, const MethodDecl& m, unsigned slot, uint32_t index,
                              bool dispatchable, std::map<std::pair<int32_t, uint32_t>, std::string>& seen)
    {
        CheckAttrs(m.attrs,
                   {"id", "helpstring", "helpcontext", "propget", "propput", "propputref", "hidden",
                    "restricted", "source", "bindable", "defaultbind", "displaybind", "requestedit",
                    "nonbrowsable", "uidefault", "defaultcollelem", "immediatebind"},
                   "a method");
        tl::FuncModel f;
        f.name = Widen(m.name, m.line);
        f.slot = static_cast<uint16_t>(slot);
        f.funckind = FUNC_PUREVIRTUAL;
        f.callconv = CC_STDCALL;
        if (Find(m.attrs, "propget"))
            f.invkind = INVOKE_PROPERTYGET;
        else if (Find(m.attrs, "propput"))
            f.invkind = INVOKE_PROPERTYPUT;
        else if (Find(m.attrs, "propputref"))
            f.invkind = INVOKE_PROPERTYPUTREF;
        if (const Attr* a = Find(m.attrs, "id")) {
            f.memid = static_cast<int32_t>(Number(*a, 0xFFFFFFFF));
        } else {
            f.memid = static_cast<int32_t>((dispatchable ? 0x60020000u : 0x60010000u) + index);
            // The accessors of one property share the first one's id.
            if (f.invkind != INVOKE_FUNC)
                for (const auto& [key, name] : seen)
                    if (key.second != INVOKE_FUNC && name == m.name)
                        f.memid = key.first;
        }
        static const std::pair<const char*, uint16_t> flagAttrs[] = {
            {"restricted", FUNCFLAG_FRESTRICTED},
            {"source", FUNCFLAG_FSOURCE},
            {"bindable", FUNCFLAG_FBINDABLE},
            {"requestedit", FUNCFLAG_FREQUESTEDIT},
            {"displaybind", FUNCFLAG_FDISPLAYBIND},
            {"defaultbind", FUNCFLAG_FDEFAULTBIND},
            {"hidden", FUNCFLAG_FHIDDEN},
            {"defaultcollelem", FUNCFLAG_FDEFAULTCOLLELEM},
            {"uidefault", FUNCFLAG_FUIDEFAULT},
            {"nonbrowsable", FUNCFLAG_FNONBROWSABLE},
            {"immediatebind", FUNCFLAG_FIMMEDIATEBIND},
        };
        for (const auto& [name, flag] : flagAttrs)
            if (Find(m.attrs, name))
                f.flags |= flag;
        if (const Attr* a = Find(m.attrs, "helpstring"))
            f.help = Widen(a->value, a->line);
        if (const Attr* a = Find(m.attrs, "helpcontext"))
            f.helpContext = Number(*a, 0xFFFFFFFF);
        f.ret = MapType(m.ret);
        if ((Find(decl.attrs, "dual") || Find(decl.attrs, "oleautomation")) &&
            !(f.ret.chain.size() == 1 && (f.ret.chain[0] == VT_HRESULT || f.ret.chain[0] == VT_VOID)))
            throw CompileError(m.line,
                               "method " + m.name + " of an automation interface must return HRESULT");
        auto key = std::make_pair(f.memid, f.invkind);
        if (!seen.emplace(key, m.name).second)
            throw CompileError(m.line, "method " + m.name + " repeats the id of " + seen[key]);

        for (size_t i = 0; i < m.params.size(); ++i) {
            const ParamDecl& pd = m.params[i];
            CheckAttrs(pd.attrs, {"in", "out", "retval", "optional", "lcid", "defaultvalue"}, "a parameter");
            if (Find(pd.attrs, "defaultvalue"))
                throw CompileError(pd.type.line, "defaultvalue is not supported");
            tl::ParamModel p;
            p.name = Widen(pd.name, pd.type.line);
            p.type = MapType(pd.type);
            const bool out = Find(pd.attrs, "out") != nullptr;
            if (Find(pd.attrs, "in") || !out)
                p.flags |= PARAMFLAG_FIN;
            if (out)
                p.flags |= PARAMFLAG_FOUT;
            if (Find(pd.attrs, "retval")) {
                if (!out || i + 1 != m.params.size() || p.type.chain.size() < 2)
                    throw CompileError(pd.type.line, "retval must be the last parameter, [out], by pointer");
                p.flags |= PARAMFLAG_FRETVAL;
            }
            if (out && p.type.chain[0] != VT_PTR)
                throw CompileError(pd.type.line, "[out] parameter " + pd.name + " is not a pointer");
            if (Find(pd.attrs, "optional"))
                p.flags |= PARAMFLAG_FOPT;
            if (Find(pd.attrs, "lcid"))
                p.flags |= PARAMFLAG_FLCID;
            f.params.push_back(std::move(p));
        }
        return f;
    }

    tl::TypeModel BuildCoclass(const CoclassDecl& c)
    {
        CheckAttrs(c.attrs,
                   {"uuid", "helpstring", "helpcontext", "version", "noncreatable", "hidden", "appobject",
                    "control", "licensed", "aggregatable"},
                   "a coclass");
        tl::TypeModel t;
        t.kind = TKIND_COCLASS;
        t.name = Widen(c.name, c.line);
        t.guid = Uuid(c.attrs, c.line, "coclass " + c.name);
        if (!Find(c.attrs, "noncreatable"))
            t.flags |= TYPEFLAG_FCANCREATE;
        static const std::pair<const char*, uint16_t> flagAttrs[] = {
            {"hidden", TYPEFLAG_FHIDDEN},
            {"appobject", TYPEFLAG_FAPPOBJECT},
            {"control", TYPEFLAG_FCONTROL},
            {"licensed", TYPEFLAG_FLICENSED},
            {"aggregatable", TYPEFLAG_FAGGREGATABLE},
        };
        for (const auto& [name, flag] : flagAttrs)
            if (Find(c.attrs, name))
                t.flags |= flag;
        if (const Attr* a = Find(c.attrs, "version"))
            Version(*a, t.major, t.minor);
        if (const Attr* a = Find(c.attrs, "helpstring"))
            t.help = Widen(a->value, a->line);
        if (const Attr* a = Find(c.attrs, "helpcontext"))
            t.helpContext = Number(*a, 0xFFFFFFFF);
        for (const auto& item : c.items) {
            CheckAttrs(item.attrs, {"default", "source", "restricted", "defaultvtable"},
                       "a coclass interface");
            tl::ImplModel impl;
            if (item.iface == "IDispatch")
                impl.href = tl::kStdoleRef | tl::kStdoleIDispatch;
            else if (item.iface == "IUnknown")
                impl.href = tl::kStdoleRef | tl::kStdoleIUnknown;
            else
                impl.href = index_.at(item.iface);
            if (Find(item.attrs, "default"))
                impl.flags |= IMPLTYPEFLAG_FDEFAULT;
            if (Find(item.attrs, "source"))
                impl.flags |= IMPLTYPEFLAG_FSOURCE;
            if (Find(item.attrs, "restricted"))
                impl.flags |= IMPLTYPEFLAG_FRESTRICTED;
            if (Find(item.attrs, "defaultvtable"))
                impl.flags |= IMPLTYPEFLAG_FDEFAULTVTABLE;
            t.impls.push_back(impl);
        }
        return t;
    }

    Parser& p_;
    tl::LibModel model_;
    std::vector<const InterfaceDecl*> order_;
    std::map<std::string, uint32_t> index_;
};

} // namespace

tl::LibModel BuildTypeLib(Parser& parser)
{
    return Builder(parser).Build();
}

} // namespace trumik::midl

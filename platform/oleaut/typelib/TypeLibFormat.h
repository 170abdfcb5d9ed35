// The platform's type library file (.tlb) format: the model it holds, the
// writer (used by the IDL compiler) and the defensive reader (used by
// LoadTypeLib). Header-only, so that the host-side compiler shares it without
// linking the platform library.
//
// Format, version 1. All integers little-endian; strings are a u32 count of
// UTF-16 units followed by the units (no terminator); GUIDs are 16 bytes
// (Data1 u32, Data2 u16, Data3 u16, Data4 8 bytes).
//
//   header   "TRTL"  u16 formatVersion (1)  u16 reserved (0)  u32 totalSize (whole file)
//   library  str name  guid libid  u16 major  u16 minor  u32 lcid  u32 syskind  u16 libflags
//            str helpString  str helpFile  u32 helpContext  u32 typeCount  type[typeCount]
//   type     u32 typekind  str name  guid  u16 typeflags  u16 major  u16 minor
//            str helpString  u32 helpContext
//            u32 implCount  impl[implCount]    impl = u32 hreftype  u32 impltypeflags
//            u32 funcCount  func[funcCount]
//            u32 varCount   var[varCount]
//   func     str name  i32 memid  u32 funckind  u32 invkind  u32 callconv  u16 funcflags
//            u16 vtableSlot  str helpString  u32 helpContext
//            tdesc returnType  u16 returnFlags  u32 paramCount  param[paramCount]
//   param    str name  tdesc type  u16 paramflags
//   var      str name  i32 memid  u32 varkind  u16 varflags  tdesc type  i32 value (VAR_CONST,
//            as VT_I4) or instance offset  str helpString  u32 helpContext
//   tdesc    u16 vt; VT_PTR and VT_SAFEARRAY are followed by the tdesc they point to
//            (at most 8 deep); VT_USERDEFINED by a u32 hreftype
//
// A hreftype below 0x80000000 is the index of a type in the same library;
// 0x80000000 | n names type n of the built-in standard library (0 IUnknown,
// 1 IDispatch). Interface methods do not repeat the inherited IUnknown and
// IDispatch methods: an interface's methods start at the virtual table slot
// after its base's, and vtableSlot is that slot number (not a byte offset).
#pragma once

#include "oaidl_typeinfo.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace trumik::typelib {

inline constexpr char kMagic[4] = {'T', 'R', 'T', 'L'};
inline constexpr uint16_t kFormatVersion = 1;
inline constexpr uint32_t kHeaderSize = 12;
inline constexpr uint32_t kStdoleRef = 0x80000000u;
inline constexpr uint32_t kStdoleIUnknown = 0;
inline constexpr uint32_t kStdoleIDispatch = 1;
inline constexpr uint32_t kStdoleTypeCount = 2;
inline constexpr size_t kMaxTypeDepth = 8;

// A type as a chain: {VT_PTR, VT_BSTR} is a pointer to a BSTR. A chain that
// ends in VT_USERDEFINED refers to href.
struct TypeSpec {
    std::vector<uint16_t> chain;
    uint32_t href = 0;
};

struct ParamModel {
    std::u16string name;
    TypeSpec type;
    uint16_t flags = 0;
};

struct FuncModel {
    std::u16string name;
    int32_t memid = 0;
    uint32_t funckind = FUNC_PUREVIRTUAL;
    uint32_t invkind = INVOKE_FUNC;
    uint32_t callconv = CC_STDCALL;
    uint16_t flags = 0;
    uint16_t slot = 0;
    std::u16string help;
    uint32_t helpContext = 0;
    TypeSpec ret;
    uint16_t retFlags = 0;
    std::vector<ParamModel> params;
};

struct VarModel {
    std::u16string name;
    int32_t memid = 0;
    uint32_t varkind = VAR_CONST;
    uint16_t flags = 0;
    TypeSpec type;
    int32_t value = 0;
    std::u16string help;
    uint32_t helpContext = 0;
};

struct ImplModel {
    uint32_t href = 0;
    uint32_t flags = 0;
};

struct TypeModel {
    uint32_t kind = TKIND_INTERFACE;
    std::u16string name;
    GUID guid{};
    uint16_t flags = 0;
    uint16_t major = 0, minor = 0;
    std::u16string help;
    uint32_t helpContext = 0;
    std::vector<ImplModel> impls;
    std::vector<FuncModel> funcs;
    std::vector<VarModel> vars;
};

struct LibModel {
    std::u16string name;
    GUID libid{};
    uint16_t major = 0, minor = 0;
    uint32_t lcid = 0;
    uint32_t syskind = SYS_WIN32;
    uint16_t flags = 0;
    std::u16string help, helpFile;
    uint32_t helpContext = 0;
    std::vector<TypeModel> types;
};

// ---------------------------------------------------------------------------
// GUID text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case when written.

inline std::u16string FormatGuid(const GUID& g)
{
    static const char hex[] = "0123456789ABCDEF";
    std::u16string s;
    auto put = [&](uint64_t v, int digits) {
        for (int i = digits - 1; i >= 0; --i)
            s.push_back(static_cast<char16_t>(hex[(v >> (i * 4)) & 0xF]));
    };
    s.push_back(u'{');
    put(g.Data1, 8);
    s.push_back(u'-');
    put(g.Data2, 4);
    s.push_back(u'-');
    put(g.Data3, 4);
    s.push_back(u'-');
    put(g.Data4[0], 2);
    put(g.Data4[1], 2);
    s.push_back(u'-');
    for (int i = 2; i < 8; ++i)
        put(g.Data4[i], 2);
    s.push_back(u'}');
    return s;
}

// Accepts the form with or without braces, either case.
template <typename Char> bool ParseGuid(std::basic_string_view<Char> text, GUID& out)
{
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}')
            return false;
        text = text.substr(1, 36);
    }
    if (text.size() != 36)
        return false;
    uint8_t bytes[16];
    size_t n = 0;
    for (size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return false;
            ++i;
            continue;
        }
        int v = 0;
        for (int k = 0; k < 2; ++k) {
            Char c = text[i + k];
            int d = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
            if (d < 0)
                return false;
            v = v * 16 + d;
        }
        bytes[n++] = static_cast<uint8_t>(v);
        i += 2;
    }
    out.Data1 =
        (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    out.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    out.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    std::memcpy(out.Data4, bytes + 8, 8);
    return true;
}

// ---------------------------------------------------------------------------
// Writer

class Writer {
  public:
    void U16(uint16_t v)
    {
        out_.push_back(static_cast<char>(v & 0xFF));
        out_.push_back(static_cast<char>(v >> 8));
    }
    void U32(uint32_t v)
    {
        U16(static_cast<uint16_t>(v & 0xFFFF));
        U16(static_cast<uint16_t>(v >> 16));
    }
    void Str(const std::u16string& s)
    {
        U32(static_cast<uint32_t>(s.size()));
        for (char16_t c : s)
            U16(c);
    }
    void Guid(const GUID& g)
    {
        U32(g.Data1);
        U16(g.Data2);
        U16(g.Data3);
        for (uint8_t b : g.Data4)
            out_.push_back(static_cast<char>(b));
    }
    void Type(const TypeSpec& t)
    {
        for (uint16_t vt : t.chain) {
            U16(vt);
            if (vt == VT_USERDEFINED)
                U32(t.href);
        }
    }
    std::string& Bytes() { return out_; }

  private:
    std::string out_;
};

inline std::string Serialize(const LibModel& lib)
{
    Writer w;
    w.Bytes().append(kMagic, 4);
    w.U16(kFormatVersion);
    w.U16(0);
    w.U32(0); // total size, patched below
    w.Str(lib.name);
    w.Guid(lib.libid);
    w.U16(lib.major);
    w.U16(lib.minor);
    w.U32(lib.lcid);
    w.U32(lib.syskind);
    w.U16(lib.flags);
    w.Str(lib.help);
    w.Str(lib.helpFile);
    w.U32(lib.helpContext);
    w.U32(static_cast<uint32_t>(lib.types.size()));
    for (const TypeModel& t : lib.types) {
        w.U32(t.kind);
        w.Str(t.name);
        w.Guid(t.guid);
        w.U16(t.flags);
        w.U16(t.major);
        w.U16(t.minor);
        w.Str(t.help);
        w.U32(t.helpContext);
        w.U32(static_cast<uint32_t>(t.impls.size()));
        for (const ImplModel& i : t.impls) {
            w.U32(i.href);
            w.U32(i.flags);
        }
        w.U32(static_cast<uint32_t>(t.funcs.size()));
        for (const FuncModel& f : t.funcs) {
            w.Str(f.name);
            w.U32(static_cast<uint32_t>(f.memid));
            w.U32(f.funckind);
            w.U32(f.invkind);
            w.U32(f.callconv);
            w.U16(f.flags);
            w.U16(f.slot);
            w.Str(f.help);
            w.U32(f.helpContext);
            w.Type(f.ret);
            w.U16(f.retFlags);
            w.U32(static_cast<uint32_t>(f.params.size()));
            for (const ParamModel& p : f.params) {
                w.Str(p.name);
                w.Type(p.type);
                w.U16(p.flags);
            }
        }
        w.U32(static_cast<uint32_t>(t.vars.size()));
        for (const VarModel& v : t.vars) {
            w.Str(v.name);
            w.U32(static_cast<uint32_t>(v.memid));
            w.U32(v.varkind);
            w.U16(v.flags);
            w.Type(v.type);
            w.U32(static_cast<uint32_t>(v.value));
            w.Str(v.help);
            w.U32(v.helpContext);
        }
    }
    std::string& bytes = w.Bytes();
    const auto size = static_cast<uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i)
        bytes[8 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    return bytes;
}

// ---------------------------------------------------------------------------
// Reader. Every read is bounds-checked; every count is checked against the
// bytes left before anything is allocated for it; every reference is checked
// against the types it may name.

enum class ParseResult { Ok, NotTypeLib, UnsupportedVersion, Corrupt };

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    bool U16(uint16_t& v)
    {
        if (Left() < 2)
            return false;
        v = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
        p_ += 2;
        return true;
    }
    bool U32(uint32_t& v)
    {
        uint16_t lo, hi;
        if (Left() < 4 || !U16(lo) || !U16(hi))
            return false;
        v = lo | (uint32_t(hi) << 16);
        return true;
    }
    bool I32(int32_t& v)
    {
        uint32_t u;
        if (!U32(u))
            return false;
        v = static_cast<int32_t>(u);
        return true;
    }
    bool Str(std::u16string& s)
    {
        uint32_t n;
        if (!U32(n) || n > Left() / 2)
            return false;
        s.resize(n);
        for (uint32_t i = 0; i < n; ++i) {
            uint16_t c = 0;
            U16(c);
            s[i] = static_cast<char16_t>(c);
        }
        return true;
    }
    bool Guid(GUID& g)
    {
        if (Left() < 16)
            return false;
        U32(g.Data1);
        U16(g.Data2);
        U16(g.Data3);
        std::memcpy(g.Data4, p_, 8);
        p_ += 8;
        return true;
    }
    // A count of records that each take at least minSize bytes.
    bool Count(uint32_t& n, size_t minSize) { return U32(n) && n <= Left() / minSize; }
    bool Type(TypeSpec& t)
    {
        t.chain.clear();
        for (size_t depth = 0; depth <= kMaxTypeDepth; ++depth) {
            uint16_t vt;
            if (!U16(vt))
                return false;
            t.chain.push_back(vt);
            if (vt == VT_PTR || vt == VT_SAFEARRAY)
                continue;
            if (vt == VT_USERDEFINED)
                return U32(t.href);
            return IsBaseType(vt);
        }
        return false;
    }
    size_t Left() const { return static_cast<size_t>(end_ - p_); }

    static bool IsBaseType(uint16_t vt)
    {
        switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_ERROR:
        case VT_BOOL:
        case VT_VARIANT:
        case VT_UNKNOWN:
        case VT_DECIMAL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_VOID:
        case VT_HRESULT:
        case VT_LPSTR:
        case VT_LPWSTR:
        case VT_INT_PTR:
        case VT_UINT_PTR:
            return true;
        default:
            return false;
        }
    }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

namespace detail {

inline bool ValidHref(uint32_t href, size_t typeCount)
{
    if (href & kStdoleRef)
        return (href & ~kStdoleRef) < kStdoleTypeCount;
    return href < typeCount;
}

inline bool ValidType(const TypeSpec& t, size_t typeCount)
{
    return t.chain.empty() || t.chain.back() != VT_USERDEFINED || ValidHref(t.href, typeCount);
}

inline bool ReadFunc(Reader& r, FuncModel& f)
{
    uint32_t memid, count;
    if (!r.Str(f.name) || !r.U32(memid) || !r.U32(f.funckind) || !r.U32(f.invkind) || !r.U32(f.callconv) ||
        !r.U16(f.flags) || !r.U16(f.slot) || !r.Str(f.help) || !r.U32(f.helpContext) || !r.Type(f.ret) ||
        !r.U16(f.retFlags) || !r.Count(count, 8))
        return false;
    f.memid = static_cast<int32_t>(memid);
    if (f.funckind > FUNC_DISPATCH || f.callconv >= CC_MAX)
        return false;
    if (f.invkind != INVOKE_FUNC && f.invkind != INVOKE_PROPERTYGET && f.invkind != INVOKE_PROPERTYPUT &&
        f.invkind != INVOKE_PROPERTYPUTREF)
        return false;
    if (count > 0x7FFF)
        return false;
    f.params.resize(count);
    for (ParamModel& p : f.params)
        if (!r.Str(p.name) || !r.Type(p.type) || !r.U16(p.flags))
            return false;
    return true;
}

inline bool ReadVar(Reader& r, VarModel& v)
{
    uint32_t memid, value;
    if (!r.Str(v.name) || !r.U32(memid) || !r.U32(v.varkind) || !r.U16(v.flags) || !r.Type(v.type) ||
        !r.U32(value) || !r.Str(v.help) || !r.U32(v.helpContext))
        return false;
    v.memid = static_cast<int32_t>(memid);
    v.value = static_cast<int32_t>(value);
    return v.varkind <= VAR_DISPATCH;
}

inline bool ReadType(Reader& r, TypeModel& t)
{
    uint32_t count;
    if (!r.U32(t.kind) || t.kind >= TKIND_MAX || !r.Str(t.name) || t.name.empty() || !r.Guid(t.guid) ||
        !r.U16(t.flags) || !r.U16(t.major) || !r.U16(t.minor) || !r.Str(t.help) || !r.U32(t.helpContext))
        return false;
    if (!r.Count(count, 8) || count > 0xFFFF)
        return false;
    t.impls.resize(count);
    for (ImplModel& i : t.impls)
        if (!r.U32(i.href) || !r.U32(i.flags))
            return false;
    if (!r.Count(count, 40) || count > 0xFFFF)
        return false;
    t.funcs.resize(count);
    for (FuncModel& f : t.funcs)
        if (!ReadFunc(r, f))
            return false;
    if (!r.Count(count, 28) || count > 0xFFFF)
        return false;
    t.vars.resize(count);
    for (VarModel& v : t.vars)
        if (!ReadVar(r, v))
            return false;
    return true;
}

} // namespace detail

inline ParseResult Parse(const uint8_t* data, size_t size, LibModel& lib)
{
    if (size < kHeaderSize || std::memcmp(data, kMagic, 4) != 0)
        return ParseResult::NotTypeLib;
    Reader r(data + 4, size - 4);
    uint16_t version = 0, reserved = 0;
    uint32_t total = 0, count = 0;
    r.U16(version);
    r.U16(reserved);
    r.U32(total);
    if (version != kFormatVersion)
        return ParseResult::UnsupportedVersion;
    if (total != size)
        return ParseResult::Corrupt;
    if (!r.Str(lib.name) || lib.name.empty() || !r.Guid(lib.libid) || !r.U16(lib.major) ||
        !r.U16(lib.minor) || !r.U32(lib.lcid) || !r.U32(lib.syskind) || lib.syskind > SYS_WIN64 ||
        !r.U16(lib.flags) || !r.Str(lib.help) || !r.Str(lib.helpFile) || !r.U32(lib.helpContext) ||
        !r.Count(count, 50) || count > 0xFFFF)
        return ParseResult::Corrupt;
    lib.types.resize(count);
    for (TypeModel& t : lib.types)
        if (!detail::ReadType(r, t))
            return ParseResult::Corrupt;
    if (r.Left() != 0)
        return ParseResult::Corrupt;
    // References: impl types name interfaces (a coclass) or the base (an
    // interface); types used by members name existing types.
    const size_t n = lib.types.size();
    for (const TypeModel& t : lib.types) {
        for (const ImplModel& i : t.impls) {
            if (!detail::ValidHref(i.href, n))
                return ParseResult::Corrupt;
            if (!(i.href & kStdoleRef)) {
                uint32_t k = lib.types[i.href].kind;
                if (k != TKIND_INTERFACE && k != TKIND_DISPATCH)
                    return ParseResult::Corrupt;
            }
        }
        if ((t.kind == TKIND_INTERFACE || t.kind == TKIND_DISPATCH) && t.impls.size() > 1)
            return ParseResult::Corrupt;
        for (const FuncModel& f : t.funcs) {
            if (!detail::ValidType(f.ret, n))
                return ParseResult::Corrupt;
            for (const ParamModel& p : f.params)
                if (!detail::ValidType(p.type, n))
                    return ParseResult::Corrupt;
        }
        for (const VarModel& v : t.vars)
            if (!detail::ValidType(v.type, n))
                return ParseResult::Corrupt;
    }
    return ParseResult::Ok;
}

} // namespace trumik::typelib

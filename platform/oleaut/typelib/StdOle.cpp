// The built-in standard library (stdole) that describes IUnknown and
// IDispatch, which the interfaces of every loaded library derive from.
#include "TypeLibInternal.h"

namespace trumik::platform::typelib {

namespace tl = trumik::typelib;

namespace {

constexpr GUID kIIDUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kIIDDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kLibidStdole = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

FuncModel StdFunc(const char16_t* name, int32_t memid, uint16_t slot, tl::TypeSpec ret,
                  std::vector<tl::ParamModel> params)
{
    FuncModel f;
    f.name = name;
    f.memid = memid;
    f.slot = slot;
    f.flags = FUNCFLAG_FRESTRICTED;
    f.ret = std::move(ret);
    f.params = std::move(params);
    return f;
}

// The standard library as far as this platform needs it. Structures the
// methods take (GUID, DISPPARAMS, EXCEPINFO) are described as untyped pointers.
LibModel MakeStdOleModel()
{
    constexpr uint16_t in = PARAMFLAG_FIN, out = PARAMFLAG_FOUT;
    const auto hr = Spec({VT_HRESULT});
    const auto pvoid = Spec({VT_PTR, VT_VOID});
    const auto ppvoid = Spec({VT_PTR, VT_PTR, VT_VOID});
    LibModel lib;
    lib.name = u"stdole";
    lib.libid = kLibidStdole;
    lib.major = 2;
    lib.help = u"OLE Automation";
    lib.syskind = SYS_WIN32;

    TypeModel unk;
    unk.kind = TKIND_INTERFACE;
    unk.name = u"IUnknown";
    unk.guid = kIIDUnknown;
    unk.flags = TYPEFLAG_FHIDDEN;
    unk.funcs.push_back(
        StdFunc(u"QueryInterface", 0x60000000, 0, hr, {{u"riid", pvoid, in}, {u"ppvObj", ppvoid, out}}));
    unk.funcs.push_back(StdFunc(u"AddRef", 0x60000001, 1, Spec({VT_UI4}), {}));
    unk.funcs.push_back(StdFunc(u"Release", 0x60000002, 2, Spec({VT_UI4}), {}));
    lib.types.push_back(std::move(unk));

    TypeModel disp;
    disp.kind = TKIND_INTERFACE;
    disp.name = u"IDispatch";
    disp.guid = kIIDDispatch;
    disp.flags = TYPEFLAG_FRESTRICTED | TYPEFLAG_FDISPATCHABLE;
    disp.impls.push_back({tl::kStdoleRef | tl::kStdoleIUnknown, 0});
    disp.funcs.push_back(
        StdFunc(u"GetTypeInfoCount", 0x60010000, 3, hr, {{u"pctinfo", Spec({VT_PTR, VT_UINT}), out}}));
    disp.funcs.push_back(StdFunc(
        u"GetTypeInfo", 0x60010001, 4, hr,
        {{u"itinfo", Spec({VT_UINT}), in}, {u"lcid", Spec({VT_UI4}), in}, {u"pptinfo", ppvoid, out}}));
    disp.funcs.push_back(StdFunc(u"GetIDsOfNames", 0x60010002, 5, hr,
                                 {{u"riid", pvoid, in},
                                  {u"rgszNames", Spec({VT_PTR, VT_PTR, VT_I1}), in},
                                  {u"cNames", Spec({VT_UINT}), in},
                                  {u"lcid", Spec({VT_UI4}), in},
                                  {u"rgdispid", Spec({VT_PTR, VT_I4}), out}}));
    disp.funcs.push_back(StdFunc(u"Invoke", 0x60010003, 6, hr,
                                 {{u"dispidMember", Spec({VT_I4}), in},
                                  {u"riid", pvoid, in},
                                  {u"lcid", Spec({VT_UI4}), in},
                                  {u"wFlags", Spec({VT_UI2}), in},
                                  {u"pdispparams", pvoid, in},
                                  {u"pvarResult", Spec({VT_PTR, VT_VARIANT}), out},
                                  {u"pexcepinfo", pvoid, out},
                                  {u"puArgErr", Spec({VT_PTR, VT_UINT}), out}}));
    lib.types.push_back(std::move(disp));
    return lib;
}

} // namespace

tl::TypeSpec Spec(std::initializer_list<uint16_t> chain)
{
    return tl::TypeSpec{chain, 0};
}

TypeLibObject& StdOle()
{
    static TypeLibObject* lib = new TypeLibObject(MakeStdOleModel(), true); // immortal by design
    return *lib;
}

} // namespace trumik::platform::typelib

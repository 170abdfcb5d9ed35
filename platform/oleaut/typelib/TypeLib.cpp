// ITypeLib and ITypeInfo over a loaded library model, and the built-in
// standard library that describes IUnknown and IDispatch.
#include "TypeLibInternal.h"
#include "objbase.h"
#include "oleaut/OleAutInternal.h"

#include <algorithm>
#include <deque>

extern "C" {
const IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeComp = {0x00020403, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IProvideClassInfo = {
    0xB196B283, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
}

namespace trumik::platform::typelib {

namespace tl = trumik::typelib;
using oleaut::AllocBstr;

namespace {

constexpr GUID kIIDUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kIIDDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kLibidStdole = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr WORD kSlotSize = sizeof(void*);

tl::TypeSpec Spec(std::initializer_list<uint16_t> chain)
{
    return tl::TypeSpec{chain, 0};
}

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

// A method as dispatch calls it: a HRESULT result is hidden, the [out, retval]
// parameter becomes the result, [lcid] parameters are supplied by the caller.
FuncModel DispatchForm(const FuncModel& f)
{
    FuncModel g = f;
    g.funckind = FUNC_DISPATCH;
    g.params.erase(std::remove_if(g.params.begin(), g.params.end(),
                                  [](const tl::ParamModel& p) { return (p.flags & PARAMFLAG_FLCID) != 0; }),
                   g.params.end());
    if (f.ret.chain.size() == 1 && f.ret.chain[0] == VT_HRESULT) {
        g.ret = Spec({VT_VOID});
        g.retFlags = 0;
        if (!g.params.empty() && (g.params.back().flags & PARAMFLAG_FRETVAL) &&
            g.params.back().type.chain.size() > 1 && g.params.back().type.chain[0] == VT_PTR) {
            const tl::TypeSpec& t = g.params.back().type;
            g.ret.chain.assign(t.chain.begin() + 1, t.chain.end());
            g.ret.href = t.href;
            g.params.pop_back();
        }
    }
    return g;
}

uint16_t VtableSize(const TypeModel& t)
{
    unsigned slots = 0;
    for (const FuncModel& f : t.funcs)
        slots = std::max<unsigned>(slots, f.slot + 1u);
    if (slots == 0 && !t.impls.empty())
        slots = t.impls[0].href == (tl::kStdoleRef | tl::kStdoleIUnknown) ? 3 : 7;
    return static_cast<uint16_t>(std::min<unsigned>(slots * kSlotSize, 0xFFFF));
}

char16_t Fold(char16_t c)
{
    if (c >= u'A' && c <= u'Z')
        return static_cast<char16_t>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return static_cast<char16_t>(c + 32);
    if (c >= 0x410 && c <= 0x42F)
        return static_cast<char16_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F)
        return static_cast<char16_t>(c + 80);
    return c;
}

size_t UnitLength(const OLECHAR* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

// Fills out with the chain from position pos on; deeper levels go to storage,
// whose elements keep their addresses.
void FillTypeDesc(TYPEDESC& out, const tl::TypeSpec& spec, size_t pos, std::deque<TYPEDESC>& storage)
{
    out = TYPEDESC{};
    if (pos >= spec.chain.size()) {
        out.vt = VT_EMPTY;
        return;
    }
    out.vt = spec.chain[pos];
    if (out.vt == VT_PTR || out.vt == VT_SAFEARRAY) {
        storage.emplace_back();
        FillTypeDesc(storage.back(), spec, pos + 1, storage);
        out.lptdesc = &storage.back();
    } else if (out.vt == VT_USERDEFINED) {
        out.hreftype = spec.href;
    }
}

struct TypeAttrBlock : DescBlock {
    TYPEATTR attr{};
};
struct FuncDescBlock : DescBlock {
    FUNCDESC desc{};
    std::vector<ELEMDESC> params;
    std::deque<TYPEDESC> types;
};
struct VarDescBlock : DescBlock {
    VARDESC desc{};
    VARIANT value{};
    std::deque<TYPEDESC> types;
};
struct LibAttrBlock : DescBlock {
    TLIBATTR attr{};
};

// Sets an optional BSTR out-parameter; empty text gives a null BSTR when
// nullIfEmpty. False when the allocation failed.
bool PutBstr(BSTR* out, const std::u16string& text, bool nullIfEmpty)
{
    if (!out)
        return true;
    *out = nullptr;
    if (text.empty() && nullIfEmpty)
        return true;
    *out = AllocBstr(text);
    return *out != nullptr;
}

HRESULT Documentation(const std::u16string& name, const std::u16string& help, uint32_t context,
                      const std::u16string& helpFile, BSTR* pBstrName, BSTR* pBstrDocString,
                      DWORD* pdwHelpContext, BSTR* pBstrHelpFile)
{
    for (BSTR* b : {pBstrName, pBstrDocString, pBstrHelpFile})
        if (b)
            *b = nullptr;
    if (!PutBstr(pBstrName, name, false) || !PutBstr(pBstrDocString, help, true) ||
        !PutBstr(pBstrHelpFile, helpFile, true)) {
        for (BSTR* b : {pBstrName, pBstrDocString, pBstrHelpFile})
            if (b) {
                SysFreeString(*b);
                *b = nullptr;
            }
        return E_OUTOFMEMORY;
    }
    if (pdwHelpContext)
        *pdwHelpContext = context;
    return S_OK;
}

} // namespace

bool NamesEqual(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}


TypeLibObject& StdOle()
{
    static TypeLibObject* lib = new TypeLibObject(MakeStdOleModel(), true); // immortal by design
    return *lib;
}

// ---------------------------------------------------------------------------
// TypeLibObject

TypeLibObject::TypeLibObject(LibModel model, bool immortal) : model_(std::move(model)), immortal_(immortal)
{
    const size_t n = model_.types.size();
    std::vector<bool> dual(n);
    for (size_t i = 0; i < n; ++i)
        dual[i] = model_.types[i].kind == TKIND_INTERFACE && (model_.types[i].flags & TYPEFLAG_FDUAL);
    vtableViews_.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
        const TypeModel& t = model_.types[i];
        TypeView view;
        view.index = i;
        view.kind = static_cast<TYPEKIND>(t.kind);
        view.flags = t.flags;
        if (dual[i]) {
            TypeView vt;
            vt.index = i;
            vt.interfaceView = true;
            vt.kind = TKIND_INTERFACE;
            vt.flags = t.flags;
            vt.funcs = t.funcs;
            vt.impls = t.impls;
            // A dual base interface is seen through its virtual-table view too.
            for (ImplModel& impl : vt.impls)
                if (!(impl.href & kHrefStdole) && impl.href < n && dual[impl.href])
                    impl.href |= kHrefInterfaceView;
            vt.cbSizeVft = VtableSize(t);
            vtableViews_[i] = std::make_unique<TypeInfoObject>(this, std::move(vt));

            view.kind = TKIND_DISPATCH;
            view.impls.push_back({kHrefStdole | tl::kStdoleIDispatch, 0});
            AppendInherited(t, view.funcs, 0);
            for (const FuncModel& f : t.funcs)
                view.funcs.push_back(DispatchForm(f));
            view.cbSizeVft = 7 * kSlotSize;
            view.hasInterfaceView = true;
        } else {
            view.funcs = t.funcs;
            view.impls = t.impls;
            if (t.kind == TKIND_INTERFACE)
                view.cbSizeVft = VtableSize(t);
            else if (t.kind == TKIND_DISPATCH)
                view.cbSizeVft = 7 * kSlotSize;
        }
        main_.push_back(std::make_unique<TypeInfoObject>(this, std::move(view)));
    }
}

void TypeLibObject::AppendInherited(const TypeModel& t, std::vector<FuncModel>& funcs, int depth) const
{
    if (t.impls.empty() || depth > 32)
        return;
    const HREFTYPE base = t.impls[0].href;
    const LibModel& std = StdOle().Model();
    if (base == (kHrefStdole | tl::kStdoleIDispatch)) {
        for (const TypeModel& type : std.types)
            for (const FuncModel& f : type.funcs)
                funcs.push_back(DispatchForm(f));
    } else if (base == (kHrefStdole | tl::kStdoleIUnknown)) {
        for (const FuncModel& f : std.types[tl::kStdoleIUnknown].funcs)
            funcs.push_back(DispatchForm(f));
    } else if (!(base & kHrefStdole) && base < model_.types.size()) {
        const TypeModel& b = model_.types[base];
        AppendInherited(b, funcs, depth + 1);
        for (const FuncModel& f : b.funcs)
            funcs.push_back(DispatchForm(f));
    }
}

HRESULT TypeLibObject::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_ITypeLib)
        return E_NOINTERFACE;
    *ppv = static_cast<ITypeLib*>(this);
    AddRef();
    return S_OK;
}

ULONG TypeLibObject::AddRef()
{
    if (immortal_)
        return 2;
    return ++refs_;
}

ULONG TypeLibObject::Release()
{
    if (immortal_)
        return 1;
    const ULONG left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

UINT TypeLibObject::GetTypeInfoCount()
{
    return static_cast<UINT>(main_.size());
}

HRESULT TypeLibObject::GetTypeInfo(UINT index, ITypeInfo** ppTInfo)
{
    if (!ppTInfo)
        return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (index >= main_.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *ppTInfo = main_[index].get();
    AddRef();
    return S_OK;
}

HRESULT TypeLibObject::GetTypeInfoType(UINT index, TYPEKIND* pTKind)
{
    if (!pTKind)
        return E_INVALIDARG;
    if (index >= main_.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *pTKind = main_[index]->View().kind;
    return S_OK;
}

HRESULT TypeLibObject::GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo)
{
    if (!ppTinfo)
        return E_INVALIDARG;
    *ppTinfo = nullptr;
    for (size_t i = 0; i < model_.types.size(); ++i)
        if (model_.types[i].guid == guid)
            return GetTypeInfo(static_cast<UINT>(i), ppTinfo);
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeLibObject::GetLibAttr(TLIBATTR** ppTLibAttr)
{
    if (!ppTLibAttr)
        return E_INVALIDARG;
    auto block = std::make_unique<LibAttrBlock>();
    TLIBATTR& a = block->attr;
    a.guid = model_.libid;
    a.lcid = model_.lcid;
    a.syskind = static_cast<SYSKIND>(model_.syskind);
    a.wMajorVerNum = model_.major;
    a.wMinorVerNum = model_.minor;
    a.wLibFlags = model_.flags;
    *ppTLibAttr = &a;
    Keep(&a, std::move(block));
    return S_OK;
}

HRESULT TypeLibObject::GetTypeComp(ITypeComp** ppTComp)
{
    if (ppTComp)
        *ppTComp = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeLibObject::GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                        DWORD* pdwHelpContext, BSTR* pBstrHelpFile)
{
    if (index == -1)
        return Documentation(model_.name, model_.help, model_.helpContext, model_.helpFile, pBstrName,
                             pBstrDocString, pdwHelpContext, pBstrHelpFile);
    if (index < 0 || static_cast<size_t>(index) >= model_.types.size())
        return TYPE_E_ELEMENTNOTFOUND;
    const TypeModel& t = model_.types[static_cast<size_t>(index)];
    return Documentation(t.name, t.help, t.helpContext, model_.helpFile, pBstrName, pBstrDocString,
                         pdwHelpContext, pBstrHelpFile);
}

HRESULT TypeLibObject::IsName(LPOLESTR szNameBuf, ULONG, BOOL* pfName)
{
    if (!szNameBuf || !pfName)
        return E_INVALIDARG;
    *pfName = FALSE;
    const std::u16string_view wanted(szNameBuf, UnitLength(szNameBuf));
    auto hit = [&](const std::u16string& name) {
        if (!NamesEqual(name, wanted))
            return false;
        std::copy(name.begin(), name.end(), szNameBuf); // same length: the name as declared
        *pfName = TRUE;
        return true;
    };
    for (const auto& info : main_) {
        const TypeModel& t = model_.types[info->View().index];
        if (hit(t.name))
            return S_OK;
        for (const FuncModel& f : info->View().funcs)
            if (hit(f.name))
                return S_OK;
        for (const VarModel& v : t.vars)
            if (hit(v.name))
                return S_OK;
    }
    return S_OK;
}

HRESULT TypeLibObject::FindName(LPOLESTR szNameBuf, ULONG, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                                USHORT* pcFound)
{
    if (!szNameBuf || !ppTInfo || !rgMemId || !pcFound)
        return E_INVALIDARG;
    const std::u16string_view wanted(szNameBuf, UnitLength(szNameBuf));
    const USHORT room = *pcFound;
    USHORT found = 0;
    for (const auto& info : main_) {
        if (found >= room)
            break;
        const TypeModel& t = model_.types[info->View().index];
        MEMBERID memid = MEMBERID_NIL;
        bool match = NamesEqual(t.name, wanted);
        for (size_t k = 0; !match && k < info->View().funcs.size(); ++k)
            if (NamesEqual(info->View().funcs[k].name, wanted)) {
                match = true;
                memid = info->View().funcs[k].memid;
            }
        for (size_t k = 0; !match && k < t.vars.size(); ++k)
            if (NamesEqual(t.vars[k].name, wanted)) {
                match = true;
                memid = t.vars[k].memid;
            }
        if (match) {
            ppTInfo[found] = info.get();
            AddRef();
            rgMemId[found] = memid;
            ++found;
        }
    }
    *pcFound = found;
    return S_OK;
}

void TypeLibObject::ReleaseTLibAttr(TLIBATTR* pTLibAttr)
{
    if (pTLibAttr)
        Forget(pTLibAttr);
}

TypeInfoObject* TypeLibObject::Resolve(HREFTYPE href)
{
    if (href & kHrefStdole) {
        TypeLibObject& std = StdOle();
        if (&std == this)
            return MainView(href & ~kHrefStdole);
        return std.MainView(href & ~kHrefStdole);
    }
    if (href & kHrefInterfaceView) {
        const HREFTYPE index = href & ~kHrefInterfaceView;
        return index < vtableViews_.size() ? vtableViews_[index].get() : nullptr;
    }
    return MainView(href);
}

void TypeLibObject::Keep(void* key, std::unique_ptr<DescBlock> block)
{
    std::lock_guard<std::mutex> lock(descMutex_);
    descs_[key] = std::move(block);
}

void TypeLibObject::Forget(void* key)
{
    std::unique_ptr<DescBlock> gone;
    {
        std::lock_guard<std::mutex> lock(descMutex_);
        auto it = descs_.find(key);
        if (it == descs_.end())
            return;
        gone = std::move(it->second);
        descs_.erase(it);
    }
}

HRESULT LibraryFromBytes(const uint8_t* data, size_t size, TypeLibObject** out)
{
    *out = nullptr;
    LibModel model;
    switch (tl::Parse(data, size, model)) {
    case tl::ParseResult::Ok:
        break;
    case tl::ParseResult::NotTypeLib:
    case tl::ParseResult::UnsupportedVersion:
        return TYPE_E_UNSUPFORMAT;
    case tl::ParseResult::Corrupt:
        return TYPE_E_INVDATAREAD;
    }
    *out = new TypeLibObject(std::move(model), false);
    return S_OK;
}

// ---------------------------------------------------------------------------
// TypeInfoObject

const TypeModel& TypeInfoObject::Model() const
{
    return lib_->Model().types[view_.index];
}

const FuncModel* TypeInfoObject::FuncByMemid(MEMBERID memid) const
{
    for (const FuncModel& f : view_.funcs)
        if (f.memid == memid)
            return &f;
    return nullptr;
}

const VarModel* TypeInfoObject::VarByMemid(MEMBERID memid) const
{
    for (const VarModel& v : Model().vars)
        if (v.memid == memid)
            return &v;
    return nullptr;
}

HRESULT TypeInfoObject::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_ITypeInfo)
        return E_NOINTERFACE;
    *ppv = static_cast<ITypeInfo*>(this);
    AddRef();
    return S_OK;
}

ULONG TypeInfoObject::AddRef()
{
    return lib_->AddRef();
}
ULONG TypeInfoObject::Release()
{
    return lib_->Release();
}

HRESULT TypeInfoObject::GetTypeAttr(TYPEATTR** ppTypeAttr)
{
    if (!ppTypeAttr)
        return E_INVALIDARG;
    const TypeModel& t = Model();
    auto block = std::make_unique<TypeAttrBlock>();
    TYPEATTR& a = block->attr;
    a.guid = t.guid;
    a.lcid = lib_->Model().lcid;
    a.memidConstructor = MEMBERID_NIL;
    a.memidDestructor = MEMBERID_NIL;
    a.cbSizeInstance = sizeof(void*);
    a.typekind = view_.kind;
    a.cFuncs = static_cast<WORD>(view_.funcs.size());
    a.cVars = static_cast<WORD>(t.vars.size());
    a.cImplTypes = static_cast<WORD>(view_.impls.size());
    a.cbSizeVft = view_.cbSizeVft;
    a.cbAlignment = alignof(void*);
    a.wTypeFlags = view_.flags;
    a.wMajorVerNum = t.major;
    a.wMinorVerNum = t.minor;
    a.tdescAlias.vt = VT_EMPTY;
    *ppTypeAttr = &a;
    lib_->Keep(&a, std::move(block));
    return S_OK;
}

HRESULT TypeInfoObject::GetTypeComp(ITypeComp** ppTComp)
{
    if (ppTComp)
        *ppTComp = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeInfoObject::GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc)
{
    if (!ppFuncDesc)
        return E_INVALIDARG;
    *ppFuncDesc = nullptr;
    if (index >= view_.funcs.size())
        return TYPE_E_ELEMENTNOTFOUND;
    const FuncModel& f = view_.funcs[index];
    auto block = std::make_unique<FuncDescBlock>();
    FUNCDESC& d = block->desc;
    d.memid = f.memid;
    d.funckind = static_cast<FUNCKIND>(f.funckind);
    d.invkind = static_cast<INVOKEKIND>(f.invkind);
    d.callconv = static_cast<CALLCONV>(f.callconv);
    d.cParams = static_cast<SHORT>(f.params.size());
    d.oVft = static_cast<SHORT>(f.slot * kSlotSize);
    d.wFuncFlags = f.flags;
    FillTypeDesc(d.elemdescFunc.tdesc, f.ret, 0, block->types);
    d.elemdescFunc.paramdesc.wParamFlags = f.retFlags;
    block->params.resize(f.params.size());
    for (size_t i = 0; i < f.params.size(); ++i) {
        FillTypeDesc(block->params[i].tdesc, f.params[i].type, 0, block->types);
        block->params[i].paramdesc.pparamdescex = nullptr;
        block->params[i].paramdesc.wParamFlags = f.params[i].flags;
        if (f.params[i].flags & PARAMFLAG_FOPT)
            ++d.cParamsOpt;
    }
    d.lprgelemdescParam = block->params.empty() ? nullptr : block->params.data();
    *ppFuncDesc = &d;
    lib_->Keep(&d, std::move(block));
    return S_OK;
}

HRESULT TypeInfoObject::GetVarDesc(UINT index, VARDESC** ppVarDesc)
{
    if (!ppVarDesc)
        return E_INVALIDARG;
    *ppVarDesc = nullptr;
    const TypeModel& t = Model();
    if (index >= t.vars.size())
        return TYPE_E_ELEMENTNOTFOUND;
    const VarModel& v = t.vars[index];
    auto block = std::make_unique<VarDescBlock>();
    VARDESC& d = block->desc;
    d.memid = v.memid;
    d.varkind = static_cast<VARKIND>(v.varkind);
    d.wVarFlags = v.flags;
    FillTypeDesc(d.elemdescVar.tdesc, v.type, 0, block->types);
    if (v.varkind == VAR_CONST) {
        block->value.vt = VT_I4;
        block->value.lVal = v.value;
        d.lpvarValue = &block->value;
    } else {
        d.oInst = static_cast<ULONG>(v.value);
    }
    *ppVarDesc = &d;
    lib_->Keep(&d, std::move(block));
    return S_OK;
}

HRESULT TypeInfoObject::GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames)
{
    if (!rgBstrNames || !pcNames)
        return E_INVALIDARG;
    *pcNames = 0;
    std::vector<const std::u16string*> names;
    if (const FuncModel* f = FuncByMemid(memid)) {
        names.push_back(&f->name);
        for (const tl::ParamModel& p : f->params)
            names.push_back(&p.name);
    } else if (const VarModel* v = VarByMemid(memid)) {
        names.push_back(&v->name);
    } else {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    const UINT count = std::min<UINT>(cMaxNames, static_cast<UINT>(names.size()));
    for (UINT i = 0; i < count; ++i) {
        rgBstrNames[i] = AllocBstr(*names[i]);
        if (!rgBstrNames[i]) {
            for (UINT k = 0; k < i; ++k) {
                SysFreeString(rgBstrNames[k]);
                rgBstrNames[k] = nullptr;
            }
            return E_OUTOFMEMORY;
        }
    }
    *pcNames = count;
    return S_OK;
}

HRESULT TypeInfoObject::GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType)
{
    if (!pRefType)
        return E_INVALIDARG;
    if (index == static_cast<UINT>(-1)) {
        if (!view_.hasInterfaceView)
            return TYPE_E_ELEMENTNOTFOUND;
        *pRefType = view_.index | kHrefInterfaceView;
        return S_OK;
    }
    if (index >= view_.impls.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *pRefType = view_.impls[index].href;
    return S_OK;
}

HRESULT TypeInfoObject::GetImplTypeFlags(UINT index, INT* pImplTypeFlags)
{
    if (!pImplTypeFlags)
        return E_INVALIDARG;
    if (index >= view_.impls.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *pImplTypeFlags = static_cast<INT>(view_.impls[index].flags);
    return S_OK;
}

HRESULT TypeInfoObject::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId)
{
    if (!rgszNames || !pMemId || cNames == 0)
        return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i)
        pMemId[i] = MEMBERID_NIL;
    if (!rgszNames[0])
        return E_INVALIDARG;
    const std::u16string_view member(rgszNames[0], UnitLength(rgszNames[0]));
    const FuncModel* func = nullptr;
    for (const FuncModel& f : view_.funcs)
        if (NamesEqual(f.name, member)) {
            func = &f;
            break;
        }
    if (!func) {
        for (const VarModel& v : Model().vars)
            if (NamesEqual(v.name, member)) {
                pMemId[0] = v.memid;
                return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
            }
        return DISP_E_UNKNOWNNAME;
    }
    pMemId[0] = func->memid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < cNames; ++i) {
        bool known = false;
        if (rgszNames[i]) {
            const std::u16string_view name(rgszNames[i], UnitLength(rgszNames[i]));
            for (size_t k = 0; k < func->params.size(); ++k)
                if (NamesEqual(func->params[k].name, name)) {
                    pMemId[i] = static_cast<MEMBERID>(k);
                    known = true;
                    break;
                }
        }
        if (!known)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT TypeInfoObject::Invoke(PVOID, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
{
    return E_NOTIMPL;
}

HRESULT TypeInfoObject::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                         DWORD* pdwHelpContext, BSTR* pBstrHelpFile)
{
    const std::u16string& helpFile = lib_->Model().helpFile;
    if (memid == MEMBERID_NIL) {
        const TypeModel& t = Model();
        return Documentation(t.name, t.help, t.helpContext, helpFile, pBstrName, pBstrDocString,
                             pdwHelpContext, pBstrHelpFile);
    }
    if (const FuncModel* f = FuncByMemid(memid))
        return Documentation(f->name, f->help, f->helpContext, helpFile, pBstrName, pBstrDocString,
                             pdwHelpContext, pBstrHelpFile);
    if (const VarModel* v = VarByMemid(memid))
        return Documentation(v->name, v->help, v->helpContext, helpFile, pBstrName, pBstrDocString,
                             pdwHelpContext, pBstrHelpFile);
    return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeInfoObject::GetDllEntry(MEMBERID, INVOKEKIND, BSTR* pBstrDllName, BSTR* pBstrName,
                                    WORD* pwOrdinal)
{
    if (pBstrDllName)
        *pBstrDllName = nullptr;
    if (pBstrName)
        *pBstrName = nullptr;
    if (pwOrdinal)
        *pwOrdinal = 0;
    return TYPE_E_BADMODULEKIND;
}

HRESULT TypeInfoObject::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo)
{
    if (!ppTInfo)
        return E_INVALIDARG;
    *ppTInfo = nullptr;
    TypeInfoObject* info = lib_->Resolve(hRefType);
    if (!info)
        return TYPE_E_ELEMENTNOTFOUND;
    info->AddRef();
    *ppTInfo = info;
    return S_OK;
}

HRESULT TypeInfoObject::AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv)
{
    if (ppv)
        *ppv = nullptr;
    return TYPE_E_BADMODULEKIND;
}

HRESULT TypeInfoObject::CreateInstance(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj)
{
    if (!ppvObj)
        return E_INVALIDARG;
    *ppvObj = nullptr;
    if (view_.kind != TKIND_COCLASS)
        return TYPE_E_WRONGTYPEKIND;
    return CoCreateInstance(Model().guid, pUnkOuter, CLSCTX_SERVER, riid, ppvObj);
}

HRESULT TypeInfoObject::GetMops(MEMBERID, BSTR* pBstrMops)
{
    if (!pBstrMops)
        return E_INVALIDARG;
    *pBstrMops = nullptr;
    return S_OK;
}

HRESULT TypeInfoObject::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex)
{
    if (!ppTLib)
        return E_INVALIDARG;
    lib_->AddRef();
    *ppTLib = lib_;
    if (pIndex)
        *pIndex = view_.index;
    return S_OK;
}

void TypeInfoObject::ReleaseTypeAttr(TYPEATTR* pTypeAttr)
{
    if (pTypeAttr)
        lib_->Forget(pTypeAttr);
}

void TypeInfoObject::ReleaseFuncDesc(FUNCDESC* pFuncDesc)
{
    if (pFuncDesc)
        lib_->Forget(pFuncDesc);
}

void TypeInfoObject::ReleaseVarDesc(VARDESC* pVarDesc)
{
    if (pVarDesc)
        lib_->Forget(pVarDesc);
}

} // namespace trumik::platform::typelib

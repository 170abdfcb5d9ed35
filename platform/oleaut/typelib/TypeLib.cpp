// ITypeLib over a loaded library model, and what its type information
// shares with it: dispatch forms, names, documentation strings.
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

namespace {

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

} // namespace

size_t UnitLength(const OLECHAR* s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

namespace {

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

} // namespace

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

namespace {

struct LibAttrBlock : DescBlock {
    TLIBATTR attr{};
};

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

} // namespace trumik::platform::typelib

// ITypeInfo over a type of a loaded library model.
#include "TypeLibInternal.h"
#include "objbase.h"
#include "oleaut/OleAutInternal.h"

#include <algorithm>
#include <deque>

namespace trumik::platform::typelib {

namespace tl = trumik::typelib;
using oleaut::AllocBstr;

namespace {

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

} // namespace

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

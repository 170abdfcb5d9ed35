// The type library objects behind ITypeLib and ITypeInfo, shared by the
// loader and the registration functions.
#pragma once

#include "TypeLibFormat.h"
#include "oleauto.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace trumik::platform::typelib {

using trumik::typelib::FuncModel;
using trumik::typelib::ImplModel;
using trumik::typelib::LibModel;
using trumik::typelib::TypeModel;
using trumik::typelib::VarModel;

// Hreftypes handed out: a type of the same library by index, the
// virtual-table view of a dual interface, a type of the built-in standard
// library.
inline constexpr HREFTYPE kHrefInterfaceView = 0x40000000u;
inline constexpr HREFTYPE kHrefStdole = trumik::typelib::kStdoleRef;

class TypeLibObject;

// One view of a type. A dual interface has two, as on Windows: the dispatch
// view (TKIND_DISPATCH, what the library hands out by index and by GUID),
// which lists every inherited method first (IUnknown's and IDispatch's too) and shows
// every method as dispatch would call it (the [out, retval] parameter as the
// result), and the virtual-table view (TKIND_INTERFACE), which lists the
// interface's own methods as declared.
struct TypeView {
    uint32_t index = 0; // of the type in its library
    bool interfaceView = false;
    TYPEKIND kind = TKIND_INTERFACE;
    uint16_t flags = 0;
    uint16_t cbSizeVft = 0;
    std::vector<FuncModel> funcs;
    std::vector<ImplModel> impls;
    bool hasInterfaceView = false; // GetRefTypeOfImplType(-1) answers
};

class TypeInfoObject final : public ITypeInfo {
  public:
    TypeInfoObject(TypeLibObject* lib, TypeView view) : lib_(lib), view_(std::move(view)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** ppTypeAttr) override;
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override;
    HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override;
    HRESULT STDMETHODCALLTYPE GetVarDesc(UINT index, VARDESC** ppVarDesc) override;
    HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames,
                                       UINT* pcNames) override;
    HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override;
    HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override;
    HRESULT STDMETHODCALLTYPE Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                                     VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
    HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override;
    HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName,
                                          BSTR* pBstrName, WORD* pwOrdinal) override;
    HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID memid, INVOKEKIND invKind, PVOID* ppv) override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj) override;
    HRESULT STDMETHODCALLTYPE GetMops(MEMBERID memid, BSTR* pBstrMops) override;
    HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
    void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* pTypeAttr) override;
    void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* pFuncDesc) override;
    void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC* pVarDesc) override;

    const TypeView& View() const { return view_; }

  private:
    const TypeModel& Model() const;
    const FuncModel* FuncByMemid(MEMBERID memid) const;
    const VarModel* VarByMemid(MEMBERID memid) const;

    TypeLibObject* lib_;
    TypeView view_;
};

// Descriptions handed out (TYPEATTR, FUNCDESC, VARDESC, TLIBATTR) stay owned
// by the library until the matching Release* call, or until the library goes.
struct DescBlock {
    virtual ~DescBlock() = default;
};

// The library object. Its type infos share its reference count, so that a
// type info keeps its library alive and each type has one ITypeInfo identity.
class TypeLibObject final : public ITypeLib {
  public:
    // immortal: the built-in standard library, never freed.
    TypeLibObject(LibModel model, bool immortal);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    UINT STDMETHODCALLTYPE GetTypeInfoCount() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* pTKind) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override;
    HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) override;
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override;
    HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override;
    HRESULT STDMETHODCALLTYPE IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) override;
    HRESULT STDMETHODCALLTYPE FindName(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo,
                                       MEMBERID* rgMemId, USHORT* pcFound) override;
    void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) override;

    const LibModel& Model() const { return model_; }
    // The type info for a hreftype of this library (or of the standard
    // library), not AddRef'ed; null when there is none.
    TypeInfoObject* Resolve(HREFTYPE href);
    TypeInfoObject* MainView(uint32_t index) { return index < main_.size() ? main_[index].get() : nullptr; }

    // Keeps a description until Forget(key) or the library's end.
    void Keep(void* key, std::unique_ptr<DescBlock> block);
    void Forget(void* key);

  private:
    ~TypeLibObject() = default;
    // The methods a dispatch view lists before the type's own: those of its
    // bases, the standard library's first.
    void AppendInherited(const TypeModel& t, std::vector<FuncModel>& funcs, int depth) const;

    LibModel model_;
    bool immortal_;
    std::atomic<ULONG> refs_{1};
    std::vector<std::unique_ptr<TypeInfoObject>> main_;
    std::vector<std::unique_ptr<TypeInfoObject>> vtableViews_; // null unless the type is dual
    std::mutex descMutex_;
    std::unordered_map<void*, std::unique_ptr<DescBlock>> descs_;
};

// The built-in standard library (IUnknown, IDispatch).
TypeLibObject& StdOle();

// Reads a library from a buffer; a new object with one reference on success.
HRESULT LibraryFromBytes(const uint8_t* data, size_t size, TypeLibObject** out);

// Case-insensitive comparison of names, as type information compares them.
bool NamesEqual(std::u16string_view a, std::u16string_view b);

// A pointer's size: a virtual table slot.
constexpr WORD kSlotSize = sizeof(void*);
// A type of one or more levels (VT_PTR, ..., the type pointed to).
trumik::typelib::TypeSpec Spec(std::initializer_list<uint16_t> chain);
// A method as dispatch calls it: a HRESULT result is hidden, the [out, retval]
// parameter becomes the result, [lcid] parameters are supplied by the caller.
FuncModel DispatchForm(const FuncModel& f);
// The size of a type's virtual table in bytes.
uint16_t VtableSize(const TypeModel& t);
// The length of a NUL-ended string in units.
size_t UnitLength(const OLECHAR* s);
// The four outputs of GetDocumentation, each optional; E_OUTOFMEMORY when a
// string cannot be allocated (none is handed out then).
HRESULT Documentation(const std::u16string& name, const std::u16string& help, uint32_t context,
                      const std::u16string& helpFile, BSTR* pBstrName, BSTR* pBstrDocString,
                      DWORD* pdwHelpContext, BSTR* pBstrHelpFile);

} // namespace trumik::platform::typelib

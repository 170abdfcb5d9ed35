// The COM identity shared by the four classes: one dual interface, IDispatch
// and IUnknown on one pointer, IProvideClassInfo on a second; aggregation
// through an inner IUnknown; one module lock count per live object.
#pragma once

#include "Dispatch.h"
#include "Module.h"

#include <oleauto.h>

#include <atomic>
#include <new>

namespace trumik::server {

template <class Interface> class DualObject : public Interface, public IProvideClassInfo {
  public:
    // IUnknown of every interface pointer but the inner one: delegated to the
    // outer object when aggregated.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        return outer_ ? outer_->QueryInterface(riid, ppv) : InnerQueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return outer_ ? outer_->AddRef() : InnerAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return outer_ ? outer_->Release() : InnerRelease(); }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override
    {
        if (!pctinfo)
            return E_POINTER;
        ITypeInfo* info = nullptr;
        *pctinfo = SUCCEEDED(ModuleTypeInfo(interfaceId_, &info)) && info ? 1 : 0;
        if (info)
            info->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override
    {
        if (!ppTInfo)
            return E_POINTER;
        *ppTInfo = nullptr;
        if (iTInfo != 0)
            return DISP_E_BADINDEX;
        return ModuleTypeInfo(interfaceId_, ppTInfo);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID,
                                            DISPID* rgDispId) override
    {
        return TableGetIDsOfNames(table_, rgszNames, cNames, rgDispId);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams,
                                     VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) override
    {
        return TableInvoke(table_, static_cast<Interface*>(this), dispIdMember, pDispParams, pVarResult,
                           puArgErr);
    }

    // IProvideClassInfo
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override
    {
        if (!ppTI)
            return E_POINTER;
        *ppTI = nullptr;
        return RegisteredClassInfo(classId_, ppTI);
    }

    // The interface handed to an outer object at creation.
    IUnknown* Inner() { return &inner_; }

  protected:
    DualObject(IUnknown* outer, const CLSID& classId, const IID& interfaceId, const DispTable& table)
        : outer_(outer), classId_(classId), interfaceId_(interfaceId), table_(table)
    {
        inner_.owner = this;
        LockModule();
    }
    virtual ~DualObject() { UnlockModule(); }

  private:
    struct InnerUnknown : IUnknown {
        DualObject* owner = nullptr;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
        {
            return owner->InnerQueryInterface(riid, ppv);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner->InnerAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner->InnerRelease(); }
    };

    HRESULT InnerQueryInterface(REFIID riid, void** ppv)
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown)
            *ppv = outer_ ? static_cast<IUnknown*>(&inner_)
                          : static_cast<IUnknown*>(static_cast<Interface*>(this));
        else if (riid == IID_IDispatch || riid == interfaceId_)
            *ppv = static_cast<Interface*>(this);
        else if (riid == IID_IProvideClassInfo)
            *ppv = static_cast<IProvideClassInfo*>(this);
        else
            return E_NOINTERFACE;
        static_cast<IUnknown*>(*ppv)->AddRef();
        return S_OK;
    }
    ULONG InnerAddRef() { return ++refs_; }
    ULONG InnerRelease()
    {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    IUnknown* outer_;
    InnerUnknown inner_;
    std::atomic<ULONG> refs_{0};
    const CLSID& classId_;
    const IID& interfaceId_;
    const DispTable& table_;
};

// The object creator of a class: a plain object without an outer one, an
// aggregated one with it; the new object is asked for riid and destroyed at
// once when that fails.
template <class Object> HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    Object* object = new (std::nothrow) Object(outer);
    if (!object)
        return E_OUTOFMEMORY;
    IUnknown* inner = object->Inner();
    inner->AddRef();
    HRESULT hr = inner->QueryInterface(riid, ppv);
    inner->Release();
    return hr;
}

} // namespace trumik::server

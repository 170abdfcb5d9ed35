// A counting IUnknown (and IDispatch) for the ownership tests.
#pragma once

#include "oleauto.h"

namespace oleaut_test {

class MockDispatch : public IDispatch {
  public:
    ULONG refs = 1;
    VARIANT value{}; // what the value property answers (DISPID_VALUE)
    int invokes = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override
    {
        ++invokes;
        if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !params || params->cArgs != 0 || !result)
            return DISP_E_MEMBERNOTFOUND;
        if (value.vt == VT_EMPTY)
            return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, &value);
    }
};

} // namespace oleaut_test

// VARIANT lifetime: initialising, clearing (which frees what the variant
// owns) and copying (deep for strings and arrays, AddRef for interfaces).
#include "OleAutInternal.h"

#include <cstring>

namespace trumik::platform::oleaut {

bool IsValidVariantType(VARTYPE vt)
{
    if (vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF))
        return false;
    const bool arrayOrRef = (vt & (VT_ARRAY | VT_BYREF)) != 0;
    switch (vt & VT_TYPEMASK) {
    case VT_EMPTY:
    case VT_NULL:
        return !arrayOrRef;
    case VT_VARIANT:
        return arrayOrRef;
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
        return true;
    default:
        // VT_RECORD needs IRecordInfo, which this platform does not provide.
        return false;
    }
}

} // namespace trumik::platform::oleaut

using namespace trumik::platform::oleaut;

void WINAPI VariantInit(VARIANTARG* pvarg)
{
    if (!pvarg)
        return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT WINAPI VariantClear(VARIANTARG* pvarg)
{
    if (!pvarg)
        return E_INVALIDARG;
    const VARTYPE vt = pvarg->vt;
    if (!IsValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            const HRESULT hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr))
                return hr;
        } else if (vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (pvarg->punkVal)
                pvarg->punkVal->Release();
        }
    }
    pvarg->vt = VT_EMPTY;
    return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc)
{
    if (!pvargDest || !pvargSrc)
        return E_INVALIDARG;
    const VARTYPE vt = pvargSrc->vt;
    if (!IsValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    if (pvargDest == pvargSrc)
        return S_OK;
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr))
        return hr;

    VARIANT copy;
    std::memcpy(&copy, pvargSrc, sizeof copy);
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            if (pvargSrc->parray) {
                hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
                if (FAILED(hr))
                    return hr;
            }
        } else if (vt == VT_BSTR) {
            if (pvargSrc->bstrVal) {
                copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                                     SysStringByteLen(pvargSrc->bstrVal));
                if (!copy.bstrVal)
                    return E_OUTOFMEMORY;
            }
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (copy.punkVal)
                copy.punkVal->AddRef();
        }
    }
    std::memcpy(pvargDest, &copy, sizeof copy);
    return S_OK;
}

HRESULT WINAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc)
{
    if (!pvarDest || !pvargSrc)
        return E_INVALIDARG;
    const VARTYPE vt = pvargSrc->vt;
    if (!IsValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    if (!(vt & VT_BYREF))
        return VariantCopy(pvarDest, pvargSrc);
    if (!pvargSrc->byref)
        return E_INVALIDARG;

    const VARTYPE target = vt & ~VT_BYREF;
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = S_OK;
    if (target == VT_VARIANT) {
        // One level only: a variant that refers to a reference is refused.
        const VARIANT* inner = pvargSrc->pvarVal;
        if (inner->vt & VT_BYREF)
            return E_INVALIDARG;
        hr = VariantCopy(&copy, inner);
    } else if (target & VT_ARRAY) {
        copy.parray = nullptr;
        if (*pvargSrc->pparray)
            hr = SafeArrayCopy(*pvargSrc->pparray, &copy.parray);
        if (SUCCEEDED(hr))
            copy.vt = target;
    } else if (target == VT_DECIMAL) {
        copy.decVal = *pvargSrc->pdecVal;
        copy.vt = VT_DECIMAL;
    } else if (target == VT_BSTR) {
        const BSTR source = *pvargSrc->pbstrVal;
        copy.bstrVal = nullptr;
        if (source) {
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
            if (!copy.bstrVal)
                hr = E_OUTOFMEMORY;
        }
        if (SUCCEEDED(hr))
            copy.vt = VT_BSTR;
    } else if (target == VT_UNKNOWN || target == VT_DISPATCH) {
        copy.punkVal = *pvargSrc->ppunkVal;
        if (copy.punkVal)
            copy.punkVal->AddRef();
        copy.vt = target;
    } else {
        copy.llVal = 0;
        std::memcpy(&copy.llVal, pvargSrc->byref, ArrayElementSize(target));
        copy.vt = target;
    }
    if (FAILED(hr))
        return hr;
    // The source is a reference and owns nothing, so converting in place
    // needs no clearing; any other destination is cleared first.
    if (pvarDest != pvargSrc) {
        hr = VariantClear(pvarDest);
        if (FAILED(hr)) {
            VariantClear(&copy);
            return hr;
        }
    }
    std::memcpy(pvarDest, &copy, sizeof copy);
    return S_OK;
}

#include "CryptEncMessageObject.h"

namespace trumik::server {

namespace {

ICryptEncMessage* Self(IDispatch* self)
{
    return static_cast<ICryptEncMessage*>(self);
}

HRESULT CallCryptMessageByte(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    return Self(self)->CryptMessageByte(args[0]->bstrVal, args[1]->bstrVal, args[2]->lVal, args[3]->pvarVal,
                                        retval);
}

HRESULT CallDecryptMessageByte(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    return Self(self)->DecryptMessageByte(args[0]->bstrVal, args[1]->bstrVal, args[2]->bstrVal, args[3]->lVal,
                                          args[4]->pvarVal, retval);
}

HRESULT CallCryptMessage(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->CryptMessage(args[0]->bstrVal, args[1]->bstrVal, args[2]->bstrVal, &out);
    if (out)
        PutBstr(retval, out);
    return hr;
}

HRESULT CallDecryptMessage(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->DecryptMessage(args[0]->bstrVal, args[1]->bstrVal, args[2]->bstrVal,
                                            args[3]->bstrVal, args[4]->bstrVal, &out);
    if (out)
        PutBstr(retval, out);
    return hr;
}

HRESULT CallGetContainerName(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->GetContainerName(args[0]->bstrVal, args[1]->bstrVal, &out);
    if (out)
        PutBstr(retval, out);
    return hr;
}

HRESULT CallGetProviderInfo(IDispatch* self, VARIANTARG* const*, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->GetProviderInfo(&out);
    if (out)
        PutBstr(retval, out);
    return hr;
}

HRESULT CallCryptGetLastError(IDispatch* self, VARIANTARG* const*, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->CryptGetLastError(&out);
    PutBstr(retval, out);
    return hr;
}

HRESULT CallCryptGetLastErrorCode(IDispatch* self, VARIANTARG* const*, VARIANT* retval)
{
    INT code = 0;
    HRESULT hr = Self(self)->CryptGetLastErrorCode(&code);
    PutInt(retval, code);
    return hr;
}

HRESULT CallCryptGetLastErrorStack(IDispatch* self, VARIANTARG* const*, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->CryptGetLastErrorStack(&out);
    PutBstr(retval, out);
    return hr;
}

constexpr VARTYPE kVariantRef = VT_BYREF | VT_VARIANT;

const DispMethod kMethods[] = {
    {u"CryptMessageByte", 30, {VT_BSTR, VT_BSTR, VT_I4, kVariantRef}, 4, CallCryptMessageByte},
    {u"DecryptMessageByte", 31, {VT_BSTR, VT_BSTR, VT_BSTR, VT_I4, kVariantRef}, 5, CallDecryptMessageByte},
    {u"CryptMessage", 32, {VT_BSTR, VT_BSTR, VT_BSTR}, 3, CallCryptMessage},
    {u"DecryptMessage", 33, {VT_BSTR, VT_BSTR, VT_BSTR, VT_BSTR, VT_BSTR}, 5, CallDecryptMessage},
    {u"GetContainerName", 34, {VT_BSTR, VT_BSTR}, 2, CallGetContainerName},
    {u"GetProviderInfo", 35, {}, 0, CallGetProviderInfo},
    {u"CryptGetLastError", 40, {}, 0, CallCryptGetLastError},
    {u"CryptGetLastErrorCode", 41, {}, 0, CallCryptGetLastErrorCode},
    {u"CryptGetLastErrorStack", 42, {}, 0, CallCryptGetLastErrorStack},
};

} // namespace

const DispTable kCryptEncMessageTable = {kMethods, std::size(kMethods), nullptr, 0};

} // namespace trumik::server

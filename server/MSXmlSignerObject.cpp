#include "MSXmlSignerObject.h"

namespace trumik::server {

namespace {

IMSXmlSigner* Self(IDispatch* self)
{
    return static_cast<IMSXmlSigner*>(self);
}

HRESULT CallSignWithCertStore(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->SignWithCertStore(args[0]->bstrVal, args[1]->bstrVal, args[2]->bstrVal, &out);
    PutBstr(retval, out);
    return hr;
}

HRESULT CallSignGetLastError(IDispatch* self, VARIANTARG* const*, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->SignGetLastError(&out);
    PutBstr(retval, out);
    return hr;
}

HRESULT CallSignGetLastErrorCode(IDispatch* self, VARIANTARG* const*, VARIANT* retval)
{
    INT code = 0;
    HRESULT hr = Self(self)->SignGetLastErrorCode(&code);
    PutInt(retval, code);
    return hr;
}

HRESULT CallSignGetLastErrorStack(IDispatch* self, VARIANTARG* const*, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->SignGetLastErrorStack(&out);
    PutBstr(retval, out);
    return hr;
}

HRESULT CallSignWithCertStorePass(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->SignWithCertStorePass(args[0]->bstrVal, args[1]->bstrVal, args[2]->bstrVal,
                                                   args[3]->bstrVal, &out);
    PutBstr(retval, out);
    return hr;
}

const DispMethod kMethods[] = {
    {u"SignWithCertStore", 8, {VT_BSTR, VT_BSTR, VT_BSTR}, 3, CallSignWithCertStore},
    {u"SignGetLastError", 9, {}, 0, CallSignGetLastError},
    {u"SignGetLastErrorCode", 10, {}, 0, CallSignGetLastErrorCode},
    {u"SignGetLastErrorStack", 11, {}, 0, CallSignGetLastErrorStack},
    {u"SignWithCertStorePass", 12, {VT_BSTR, VT_BSTR, VT_BSTR, VT_BSTR}, 4, CallSignWithCertStorePass},
};

} // namespace

// The interface knows only its method names.
const DispTable kMSXmlSignerTable = {kMethods, std::size(kMethods), nullptr, 0};

} // namespace trumik::server

#include "XmlSignerObject.h"

namespace trumik::server {

namespace {

HRESULT CallSignWithKey(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = static_cast<IXmlSigner*>(self)->SignWithKey(args[0]->bstrVal, args[1]->bstrVal, &out);
    PutBstr(retval, out);
    return hr;
}

HRESULT CallSignFGetLastError(IDispatch* self, VARIANTARG* const*, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = static_cast<IXmlSigner*>(self)->SignFGetLastError(&out);
    PutBstr(retval, out);
    return hr;
}

const DispMethod kMethods[] = {
    {u"SignWithKey", 6, {VT_BSTR, VT_BSTR}, 2, CallSignWithKey},
    {u"SignFGetLastError", 7, {}, 0, CallSignFGetLastError},
};

const DispParamName kParamNames[] = {
    {u"xml", 0},
    {u"keyFile", 1},
    {u"retXml", 2},
    {u"ErrorMessage", 0},
};

} // namespace

const DispTable kXmlSignerTable = {kMethods, std::size(kMethods), kParamNames, std::size(kParamNames)};

} // namespace trumik::server

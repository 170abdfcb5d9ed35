#include "MSXmlVerifierObject.h"

namespace trumik::server {

namespace {

IMSXmlVerifier* Self(IDispatch* self)
{
    return static_cast<IMSXmlVerifier*>(self);
}

HRESULT CallVerifyUsingCertFile(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    VARIANT_BOOL out = VARIANT_FALSE;
    HRESULT hr = Self(self)->VerifyUsingCertFile(args[0]->bstrVal, args[1]->bstrVal, &out);
    PutBool(retval, out);
    return hr;
}

HRESULT CallVerifyUsingCertFileWoCert(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    VARIANT_BOOL out = VARIANT_FALSE;
    HRESULT hr = Self(self)->VerifyUsingCertFileWoCert(args[0]->bstrVal, args[1]->bstrVal, &out);
    PutBool(retval, out);
    return hr;
}

HRESULT CallVerifyUsingCertFileAndDate(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    VARIANT_BOOL out = VARIANT_FALSE;
    HRESULT hr =
        Self(self)->VerifyUsingCertFileAndDate(args[0]->bstrVal, args[1]->bstrVal, args[2]->date, &out);
    PutBool(retval, out);
    return hr;
}

HRESULT CallVerifyCertTimeValidityUsingCertFile(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    VARIANT_BOOL out = VARIANT_FALSE;
    HRESULT hr = Self(self)->VerifyCertTimeValidityUsingCertFile(args[0]->bstrVal, &out);
    PutBool(retval, out);
    return hr;
}

HRESULT CallVerifyCertIsGOSTUsingCertFile(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    VARIANT_BOOL out = VARIANT_FALSE;
    HRESULT hr = Self(self)->VerifyCertIsGOSTUsingCertFile(args[0]->bstrVal, &out);
    PutBool(retval, out);
    return hr;
}

HRESULT CallVerifyCertUsageUsingCertFile(IDispatch* self, VARIANTARG* const* args, VARIANT* retval)
{
    VARIANT_BOOL out = VARIANT_FALSE;
    HRESULT hr = Self(self)->VerifyCertUsageUsingCertFile(args[0]->bstrVal, &out);
    PutBool(retval, out);
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
    INT out = 0;
    HRESULT hr = Self(self)->SignGetLastErrorCode(&out);
    PutInt(retval, out);
    return hr;
}

HRESULT CallSignGetLastErrorStack(IDispatch* self, VARIANTARG* const*, VARIANT* retval)
{
    BSTR out = nullptr;
    HRESULT hr = Self(self)->SignGetLastErrorStack(&out);
    PutBstr(retval, out);
    return hr;
}

HRESULT CallVerifyCertTimeValidityUsingCertFileAndDate(IDispatch* self, VARIANTARG* const* args,
                                                       VARIANT* retval)
{
    VARIANT_BOOL out = VARIANT_FALSE;
    HRESULT hr =
        Self(self)->VerifyCertTimeValidityUsingCertFileAndDate(args[0]->bstrVal, args[1]->date, &out);
    PutBool(retval, out);
    return hr;
}

// In slot order; the dispatch identifiers are not.
const DispMethod kMethods[] = {
    {u"VerifyUsingCertFile", 21, {VT_BSTR, VT_BSTR}, 2, CallVerifyUsingCertFile},
    {u"VerifyUsingCertFileWoCert", 30, {VT_BSTR, VT_BSTR}, 2, CallVerifyUsingCertFileWoCert},
    {u"VerifyUsingCertFileAndDate", 29, {VT_BSTR, VT_BSTR, VT_DATE}, 3, CallVerifyUsingCertFileAndDate},
    {u"VerifyCertTimeValidityUsingCertFile", 22, {VT_BSTR}, 1, CallVerifyCertTimeValidityUsingCertFile},
    {u"VerifyCertIsGOSTUsingCertFile", 23, {VT_BSTR}, 1, CallVerifyCertIsGOSTUsingCertFile},
    {u"VerifyCertUsageUsingCertFile", 24, {VT_BSTR}, 1, CallVerifyCertUsageUsingCertFile},
    {u"SignGetLastError", 25, {}, 0, CallSignGetLastError},
    {u"SignGetLastErrorCode", 26, {}, 0, CallSignGetLastErrorCode},
    {u"SignGetLastErrorStack", 27, {}, 0, CallSignGetLastErrorStack},
    {u"VerifyCertTimeValidityUsingCertFileAndDate",
     28,
     {VT_BSTR, VT_DATE},
     2,
     CallVerifyCertTimeValidityUsingCertFileAndDate},
};

} // namespace

const DispTable kMSXmlVerifierTable = {kMethods, std::size(kMethods), nullptr, 0};

} // namespace trumik::server

// OLE Automation functions: BSTR, VARIANT, SAFEARRAY, dates.
#pragma once

#include "oaidl.h"

// BSTR: the characters, preceded by their length in bytes (32-bit) and
// followed by a NUL unit. A null BSTR is a valid empty string for reading.
WINAPI_EXPORT BSTR WINAPI SysAllocString(const OLECHAR* psz);
WINAPI_EXPORT BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
WINAPI_EXPORT BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len);
WINAPI_EXPORT INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
WINAPI_EXPORT INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
WINAPI_EXPORT void WINAPI SysFreeString(BSTR bstrString);
WINAPI_EXPORT UINT WINAPI SysStringLen(BSTR pbstr);
WINAPI_EXPORT UINT WINAPI SysStringByteLen(BSTR bstr);

// VariantChangeType(Ex) flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_CALENDAR_HIJRI 0x08
#define VARIANT_LOCALBOOL 0x10

WINAPI_EXPORT void WINAPI VariantInit(VARIANTARG* pvarg);
WINAPI_EXPORT HRESULT WINAPI VariantClear(VARIANTARG* pvarg);
WINAPI_EXPORT HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
WINAPI_EXPORT HRESULT WINAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
WINAPI_EXPORT HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                               USHORT wFlags, VARTYPE vt);
WINAPI_EXPORT HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                                                 USHORT wFlags, VARTYPE vt);

WINAPI_EXPORT SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
WINAPI_EXPORT SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
WINAPI_EXPORT HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa);
WINAPI_EXPORT HRESULT WINAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
WINAPI_EXPORT UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa);
WINAPI_EXPORT UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa);
WINAPI_EXPORT HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
WINAPI_EXPORT HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
WINAPI_EXPORT HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
WINAPI_EXPORT HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa);
WINAPI_EXPORT HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa);
WINAPI_EXPORT HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
WINAPI_EXPORT HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa);
WINAPI_EXPORT HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
WINAPI_EXPORT HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
WINAPI_EXPORT HRESULT WINAPI SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew);
// The building blocks of SafeArrayCreate / SafeArrayDestroy, and element addresses.
WINAPI_EXPORT HRESULT WINAPI SafeArrayAllocDescriptor(UINT cDims, SAFEARRAY** ppsaOut);
WINAPI_EXPORT HRESULT WINAPI SafeArrayAllocDescriptorEx(VARTYPE vt, UINT cDims, SAFEARRAY** ppsaOut);
WINAPI_EXPORT HRESULT WINAPI SafeArrayAllocData(SAFEARRAY* psa);
WINAPI_EXPORT HRESULT WINAPI SafeArrayDestroyData(SAFEARRAY* psa);
WINAPI_EXPORT HRESULT WINAPI SafeArrayDestroyDescriptor(SAFEARRAY* psa);
WINAPI_EXPORT HRESULT WINAPI SafeArrayGetIID(SAFEARRAY* psa, GUID* pguid);
WINAPI_EXPORT HRESULT WINAPI SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData);

// Dates: days since 30 December 1899, the time of day as the fraction.
WINAPI_EXPORT INT WINAPI VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime);
WINAPI_EXPORT INT WINAPI SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime);
#include "oaidl_typeinfo.h"

// Component categories: the standard categories manager (a class built into
// the platform, CLSID_StdComponentCategoriesMgr) keeps categories under
// HKEY_CLASSES_ROOT\Component Categories and a class's categories under
// HKEY_CLASSES_ROOT\CLSID\{clsid}\Implemented Categories and
// \Required Categories, one subkey per category.
#pragma once

#include "unknwn.h"

typedef GUID CATID;
typedef const GUID& REFCATID;

#ifndef CAT_E_CATIDNOEXIST
#define CAT_E_CATIDNOEXIST _HRESULT_TYPEDEF_(0x80040160L)
#endif
#ifndef CAT_E_NODESCRIPTION
#define CAT_E_NODESCRIPTION _HRESULT_TYPEDEF_(0x80040161L)
#endif

typedef struct tagCATEGORYINFO {
    CATID catid;
    LCID lcid;
    OLECHAR szDescription[128];
} CATEGORYINFO, *LPCATEGORYINFO;

WINAPI_EXPORT const CLSID CLSID_StdComponentCategoriesMgr;
WINAPI_EXPORT const IID IID_ICatRegister;
WINAPI_EXPORT const IID IID_ICatInformation;
WINAPI_EXPORT const IID IID_IEnumGUID;
WINAPI_EXPORT const IID IID_IEnumCATEGORYINFO;
#define IID_IEnumCLSID IID_IEnumGUID
#define IID_IEnumCATID IID_IEnumGUID

struct IEnumGUID : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, GUID* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumGUID** ppenum) = 0;
};
typedef IEnumGUID IEnumCLSID;
typedef IEnumGUID IEnumCATID;

struct IEnumCATEGORYINFO : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, CATEGORYINFO* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumCATEGORYINFO** ppenum) = 0;
};

struct ICatRegister : IUnknown {
    // Writes HKCR\Component Categories\{catid}, value "<lcid in hex>" (e.g.
    // "409") = the description.
    virtual HRESULT STDMETHODCALLTYPE RegisterCategories(ULONG cCategories,
                                                         CATEGORYINFO rgCategoryInfo[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterCategories(ULONG cCategories, CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                                  CATID rgcatid[]) = 0;
    // Deletes the category subkeys; the emptied "Implemented Categories" key
    // stays, as on Windows.
    virtual HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                                    CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                                 CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                                   CATID rgcatid[]) = 0;
};

struct ICatInformation : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumCategories(LCID lcid, IEnumCATEGORYINFO** ppenumCategoryInfo) = 0;
    // The result is allocated with CoTaskMemAlloc.
    virtual HRESULT STDMETHODCALLTYPE GetCategoryDesc(REFCATID rcatid, LCID lcid, LPWSTR* pszDesc) = 0;
    // A class qualifies when it implements one of rgcatidImpl and requires
    // nothing outside rgcatidReq; a count of (ULONG)-1 drops that test.
    virtual HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG cImplemented, const CATID rgcatidImpl[],
                                                              ULONG cRequired, const CATID rgcatidReq[],
                                                              IEnumGUID** ppenumClsid) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsClassOfCategories(REFCLSID rclsid, ULONG cImplemented,
                                                          const CATID rgcatidImpl[], ULONG cRequired,
                                                          const CATID rgcatidReq[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumImplCategoriesOfClass(REFCLSID rclsid, IEnumGUID** ppenumCatid) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumReqCategoriesOfClass(REFCLSID rclsid, IEnumGUID** ppenumCatid) = 0;
};

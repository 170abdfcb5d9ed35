#include "MockUnknown.h"
#include "oleauto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using oleaut_test::MockDispatch;

namespace {

TEST(SafeArray, BoundsAreStoredReversedAndCountedFromTheLeft)
{
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {4, -2}}; // (1 To 3, -2 To 1)
    SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 2u);
    EXPECT_EQ(SafeArrayGetElemsize(psa), 4u);
    EXPECT_EQ(psa->rgsabound[1].cElements, 3u);
    EXPECT_EQ(psa->rgsabound[0].cElements, 4u);
    LONG lb, ub;
    ASSERT_EQ(SafeArrayGetLBound(psa, 1, &lb), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(psa, 1, &ub), S_OK);
    EXPECT_EQ(lb, 1);
    EXPECT_EQ(ub, 3);
    ASSERT_EQ(SafeArrayGetLBound(psa, 2, &lb), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(psa, 2, &ub), S_OK);
    EXPECT_EQ(lb, -2);
    EXPECT_EQ(ub, 1);
    EXPECT_EQ(SafeArrayGetLBound(psa, 0, &lb), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 3, &ub), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &lb), E_INVALIDARG);

    // The first index varies fastest.
    LONG idx[2] = {2, -2};
    LONG value = 99;
    ASSERT_EQ(SafeArrayPutElement(psa, idx, &value), S_OK);
    EXPECT_EQ(static_cast<LONG*>(psa->pvData)[1], 99);
    idx[0] = 1;
    idx[1] = -1;
    value = 7;
    ASSERT_EQ(SafeArrayPutElement(psa, idx, &value), S_OK);
    EXPECT_EQ(static_cast<LONG*>(psa->pvData)[3], 7);
    LONG got = 0;
    ASSERT_EQ(SafeArrayGetElement(psa, idx, &got), S_OK);
    EXPECT_EQ(got, 7);
    void* cell;
    ASSERT_EQ(SafeArrayPtrOfIndex(psa, idx, &cell), S_OK);
    EXPECT_EQ(cell, static_cast<LONG*>(psa->pvData) + 3);

    for (auto bad : {std::pair<LONG, LONG>{0, 0}, {4, 0}, {1, -3}, {1, 2}}) {
        LONG b[2] = {bad.first, bad.second};
        EXPECT_EQ(SafeArrayGetElement(psa, b, &got), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayPutElement(psa, b, &value), DISP_E_BADINDEX);
    }
    EXPECT_EQ(psa->cLocks, 0u);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, FeaturesAndVartype)
{
    const struct {
        VARTYPE vt;
        USHORT features;
        ULONG size;
    } cases[] = {
        {VT_I1, FADF_HAVEVARTYPE, 1},
        {VT_BOOL, FADF_HAVEVARTYPE, 2},
        {VT_R4, FADF_HAVEVARTYPE, 4},
        {VT_ERROR, FADF_HAVEVARTYPE, 4},
        {VT_CY, FADF_HAVEVARTYPE, 8},
        {VT_DATE, FADF_HAVEVARTYPE, 8},
        {VT_DECIMAL, FADF_HAVEVARTYPE, 16},
        {VT_BSTR, FADF_HAVEVARTYPE | FADF_BSTR, 8},
        {VT_VARIANT, FADF_HAVEVARTYPE | FADF_VARIANT, 24},
        {VT_UNKNOWN, FADF_HAVEIID | FADF_UNKNOWN, 8},
        {VT_DISPATCH, FADF_HAVEIID | FADF_DISPATCH, 8},
    };
    for (const auto& c : cases) {
        SAFEARRAY* psa = SafeArrayCreateVector(c.vt, 0, 2);
        ASSERT_NE(psa, nullptr) << c.vt;
        EXPECT_EQ(psa->fFeatures, c.features | FADF_CREATEVECTOR) << c.vt;
        EXPECT_EQ(psa->cbElements, c.size) << c.vt;
        VARTYPE vt = 0;
        ASSERT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
        EXPECT_EQ(vt, c.vt);
        if (c.features & FADF_HAVEVARTYPE) {
            DWORD stored;
            std::memcpy(&stored, reinterpret_cast<char*>(psa) - 4, 4);
            EXPECT_EQ(stored, c.vt);
        } else {
            GUID iid;
            ASSERT_EQ(SafeArrayGetIID(psa, &iid), S_OK);
            EXPECT_EQ(iid, c.vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown);
        }
        EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    }
    SAFEARRAYBOUND b{1, 0};
    EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, &b), nullptr);
    // Only the vector form carries FADF_CREATEVECTOR.
    SAFEARRAY* plain = SafeArrayCreate(VT_I4, 1, &b);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->fFeatures, FADF_HAVEVARTYPE);
    EXPECT_EQ(SafeArrayDestroy(plain), S_OK);
    EXPECT_EQ(SafeArrayCreate(VT_NULL, 1, &b), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &b), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
}

TEST(SafeArray, SizesThatOverflowAreRefused)
{
    SAFEARRAYBOUND huge[2] = {{0x10000, 0}, {0x10000, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_UI1, 2, huge), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0x10000000), nullptr);
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 0, 0);
    ASSERT_NE(psa, nullptr);
    SAFEARRAYBOUND grow{0x40000000, 0};
    EXPECT_EQ(SafeArrayRedim(psa, &grow), E_OUTOFMEMORY);
    EXPECT_EQ(psa->rgsabound[0].cElements, 0u);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, LocksGuardDestroyAndRedim)
{
    SAFEARRAY* psa = SafeArrayCreateVector(VT_I2, 0, 4);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_EQ(data, psa->pvData);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    EXPECT_EQ(psa->cLocks, 2u);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    SAFEARRAYBOUND nb{8, 0};
    EXPECT_EQ(SafeArrayRedim(psa, &nb), DISP_E_ARRAYISLOCKED);
    // Elements can still be read and written while the array is locked.
    LONG idx = 1;
    SHORT v = 5;
    EXPECT_EQ(SafeArrayPutElement(psa, &idx, &v), S_OK);
    EXPECT_EQ(psa->cLocks, 2u);
    EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
    EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
}

TEST(SafeArray, BstrElementsAreCopiedInAndOut)
{
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(psa, nullptr);
    BSTR mine = SysAllocString(u"mine");
    LONG idx = 0;
    ASSERT_EQ(SafeArrayPutElement(psa, &idx, mine), S_OK);
    BSTR stored = static_cast<BSTR*>(psa->pvData)[0];
    EXPECT_NE(stored, mine);
    SysFreeString(mine); // the array keeps its own copy
    BSTR out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, &idx, &out), S_OK);
    EXPECT_NE(out, stored);
    EXPECT_EQ(std::u16string(out), u"mine");
    SysFreeString(out);
    // Replacing frees the old element (ASan would see a leak otherwise).
    BSTR next = SysAllocString(u"next");
    ASSERT_EQ(SafeArrayPutElement(psa, &idx, next), S_OK);
    SysFreeString(next);
    idx = 1;
    ASSERT_EQ(SafeArrayGetElement(psa, &idx, &out), S_OK);
    EXPECT_EQ(out, nullptr);

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    // The copy is no vector of its own making.
    EXPECT_EQ(copy->fFeatures, psa->fFeatures & ~FADF_CREATEVECTOR);
    EXPECT_EQ(copy->fFeatures, FADF_HAVEVARTYPE | FADF_BSTR);
    EXPECT_NE(static_cast<BSTR*>(copy->pvData)[0], static_cast<BSTR*>(psa->pvData)[0]);
    EXPECT_EQ(std::u16string(static_cast<BSTR*>(copy->pvData)[0]), u"next");
    VARTYPE vt;
    ASSERT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
    EXPECT_EQ(vt, VT_BSTR);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

    SAFEARRAY* none = reinterpret_cast<SAFEARRAY*>(1);
    EXPECT_EQ(SafeArrayCopy(nullptr, &none), S_OK);
    EXPECT_EQ(none, nullptr);
}

TEST(SafeArray, InterfaceAndVariantElementsAreOwned)
{
    MockDispatch mock;
    SAFEARRAY* unk = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    LONG idx = 0;
    ASSERT_EQ(SafeArrayPutElement(unk, &idx, static_cast<IUnknown*>(&mock)), S_OK);
    EXPECT_EQ(mock.refs, 2u);
    IUnknown* got = nullptr;
    ASSERT_EQ(SafeArrayGetElement(unk, &idx, &got), S_OK);
    EXPECT_EQ(mock.refs, 3u);
    got->Release();
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(unk, &copy), S_OK);
    EXPECT_EQ(mock.refs, 3u);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(unk), S_OK);
    EXPECT_EQ(mock.refs, 1u);

    SAFEARRAY* vars = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"in a variant");
    ASSERT_EQ(SafeArrayPutElement(vars, &idx, &v), S_OK);
    VariantClear(&v);
    VARIANT out;
    out.vt = VT_BSTR; // garbage in the output is not released
    out.bstrVal = reinterpret_cast<BSTR>(0x10);
    ASSERT_EQ(SafeArrayGetElement(vars, &idx, &out), S_OK);
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(out.bstrVal), u"in a variant");
    VariantClear(&out);
    EXPECT_EQ(SafeArrayDestroy(vars), S_OK);
}

TEST(SafeArray, RedimChangesTheLastDimension)
{
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    SAFEARRAY* psa = SafeArrayCreate(VT_BSTR, 2, bounds);
    ASSERT_NE(psa, nullptr);
    for (LONG i = 0; i < 2; ++i)
        for (LONG j = 0; j < 2; ++j) {
            LONG idx[2] = {i, j};
            const char16_t s[] = {char16_t(u'a' + i), char16_t(u'0' + j), 0};
            BSTR b = SysAllocString(s);
            ASSERT_EQ(SafeArrayPutElement(psa, idx, b), S_OK);
            SysFreeString(b);
        }
    SAFEARRAYBOUND grown{3, 5};
    ASSERT_EQ(SafeArrayRedim(psa, &grown), S_OK);
    LONG lb, ub;
    SafeArrayGetLBound(psa, 2, &lb);
    SafeArrayGetUBound(psa, 2, &ub);
    EXPECT_EQ(lb, 5);
    EXPECT_EQ(ub, 7);
    SafeArrayGetUBound(psa, 1, &ub);
    EXPECT_EQ(ub, 1);
    LONG idx[2] = {1, 6}; // was (1, 1)
    BSTR out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(psa, idx, &out), S_OK);
    EXPECT_EQ(std::u16string(out), u"b1");
    SysFreeString(out);
    idx[1] = 7;
    ASSERT_EQ(SafeArrayGetElement(psa, idx, &out), S_OK);
    EXPECT_EQ(out, nullptr);

    SAFEARRAYBOUND shrunk{1, 0}; // drops (x, 1) and the new cells
    ASSERT_EQ(SafeArrayRedim(psa, &shrunk), S_OK);
    idx[1] = 0;
    ASSERT_EQ(SafeArrayGetElement(psa, idx, &out), S_OK);
    EXPECT_EQ(std::u16string(out), u"b0");
    SysFreeString(out);
    idx[1] = 1;
    EXPECT_EQ(SafeArrayGetElement(psa, idx, &out), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

} // namespace

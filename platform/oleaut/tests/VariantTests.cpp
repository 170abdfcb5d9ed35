#include "MockUnknown.h"
#include "oleauto.h"

#include <gtest/gtest.h>

#include <string>

using oleaut_test::MockDispatch;

namespace {

TEST(Variant, InitSetsEmpty)
{
    VARIANT v;
    v.vt = VT_BSTR;
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
}

TEST(Variant, ClearReleasesInterfaceExactlyOnce)
{
    MockDispatch mock;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = &mock;
    mock.AddRef();
    ASSERT_EQ(mock.refs, 2u);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(mock.refs, 1u);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(mock.refs, 1u);

    v.vt = VT_DISPATCH;
    v.pdispVal = &mock;
    mock.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(mock.refs, 1u);

    v.vt = VT_UNKNOWN;
    v.punkVal = nullptr;
    EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(Variant, ClearLeavesReferencedValuesAlone)
{
    MockDispatch mock;
    IUnknown* unk = &mock;
    BSTR text = SysAllocString(u"owned elsewhere");
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_UNKNOWN;
    v.ppunkVal = &unk;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(mock.refs, 1u);
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = &text;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(std::u16string(text), u"owned elsewhere");
    SysFreeString(text);
}

TEST(Variant, ClearRejectsBadTypesAndLockedArrays)
{
    VARIANT v;
    VariantInit(&v);
    for (VARTYPE bad : {VARTYPE(15), VARTYPE(VT_VARIANT), VARTYPE(VT_VOID), VARTYPE(VT_BYREF | VT_EMPTY),
                        VARTYPE(VT_I4 | 0x1000), VARTYPE(VT_RESERVED | VT_I4)}) {
        v.vt = bad;
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << bad;
        EXPECT_EQ(v.vt, bad);
    }
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, 3);
    ASSERT_EQ(SafeArrayLock(v.parray), S_OK);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_I4);
    ASSERT_EQ(SafeArrayUnlock(v.parray), S_OK);
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
}

TEST(Variant, CopyIsDeep)
{
    MockDispatch mock;
    VARIANT src, dst;
    VariantInit(&src);
    VariantInit(&dst);

    src.vt = VT_BSTR;
    src.bstrVal = SysAllocStringLen(u"a\0b", 3);
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    ASSERT_EQ(dst.vt, VT_BSTR);
    EXPECT_NE(dst.bstrVal, src.bstrVal);
    EXPECT_EQ(std::u16string(dst.bstrVal, SysStringLen(dst.bstrVal)), std::u16string(u"a\0b", 3));
    VariantClear(&src);

    // Copying over a string releases it; interfaces gain a reference.
    src.vt = VT_DISPATCH;
    src.pdispVal = &mock;
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(dst.pdispVal, &mock);
    EXPECT_EQ(mock.refs, 2u);
    VariantClear(&dst);
    EXPECT_EQ(mock.refs, 1u);

    src.vt = VT_ARRAY | VT_BSTR;
    src.parray = SafeArrayCreateVector(VT_BSTR, 1, 1);
    LONG idx = 1;
    BSTR item = SysAllocString(u"item");
    ASSERT_EQ(SafeArrayPutElement(src.parray, &idx, item), S_OK);
    SysFreeString(item);
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    ASSERT_NE(dst.parray, src.parray);
    BSTR a = static_cast<BSTR*>(src.parray->pvData)[0];
    BSTR b = static_cast<BSTR*>(dst.parray->pvData)[0];
    EXPECT_NE(a, b);
    EXPECT_EQ(std::u16string(b), u"item");
    VariantClear(&src);
    VariantClear(&dst);

    // A null string stays null.
    src.vt = VT_BSTR;
    src.bstrVal = nullptr;
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_EQ(dst.bstrVal, nullptr);

    src.vt = 15;
    EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
    EXPECT_EQ(dst.vt, VT_BSTR);
    src.vt = VT_I4;
    src.lVal = 5;
    EXPECT_EQ(VariantCopy(&src, &src), S_OK);
    EXPECT_EQ(src.lVal, 5);
}

TEST(Variant, CopyIndDereferences)
{
    VARIANT dst;
    VariantInit(&dst);
    VARIANT ref;
    VariantInit(&ref);

    BSTR text = SysAllocString(u"text");
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &text;
    ASSERT_EQ(VariantCopyInd(&dst, &ref), S_OK);
    ASSERT_EQ(dst.vt, VT_BSTR);
    EXPECT_NE(dst.bstrVal, text);
    EXPECT_EQ(std::u16string(dst.bstrVal), u"text");
    VariantClear(&dst);

    DECIMAL dec{};
    dec.Lo64 = 12345;
    dec.scale = 2;
    ref.vt = VT_BYREF | VT_DECIMAL;
    ref.pdecVal = &dec;
    ASSERT_EQ(VariantCopyInd(&dst, &ref), S_OK);
    EXPECT_EQ(dst.vt, VT_DECIMAL);
    EXPECT_EQ(dst.decVal.Lo64, 12345u);
    EXPECT_EQ(dst.decVal.scale, 2);

    SHORT small = -7;
    ref.vt = VT_BYREF | VT_I2;
    ref.piVal = &small;
    ASSERT_EQ(VariantCopyInd(&ref, &ref), S_OK); // in place
    EXPECT_EQ(ref.vt, VT_I2);
    EXPECT_EQ(ref.iVal, -7);

    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_BSTR;
    inner.bstrVal = text;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &inner;
    ASSERT_EQ(VariantCopyInd(&dst, &ref), S_OK);
    EXPECT_EQ(dst.vt, VT_BSTR);
    EXPECT_NE(dst.bstrVal, text);
    VariantClear(&dst);

    // A variant reference to a reference is refused.
    VARIANT twice;
    twice.vt = VT_BYREF | VT_VARIANT;
    twice.pvarVal = &ref;
    EXPECT_EQ(VariantCopyInd(&dst, &twice), E_INVALIDARG);
    SysFreeString(text);
}

} // namespace

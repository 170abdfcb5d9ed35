// VariantChangeType(Ex): conversions between the automation scalar types
// with the Windows rules: DISP_E_OVERFLOW for values out of the target's
// range, DISP_E_TYPEMISMATCH for text that is not a number (or date),
// floating values rounded half to even on their way to integers.
#include "DateText.h"
#include "ExactDecimal.h"
#include "NumberText.h"
#include "OleAutInternal.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

using namespace trumik::platform::oleaut;

namespace {

const GUID kIidNull = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

std::u16string_view BstrView(BSTR b)
{
    return b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view();
}

// ---------------------------------------------------------------------------
// The source value, read once from the variant.

struct Scalar {
    enum Kind { Empty, Signed, Unsigned, Bool, Real, Date, Cy, Dec, Str } kind = Empty;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    bool single = false;
    DECIMAL dec{};
    BSTR str = nullptr;
};

bool ReadScalar(const VARIANT& v, Scalar& s)
{
    switch (v.vt) {
    case VT_EMPTY:
        s.kind = Scalar::Empty;
        return true;
    case VT_I1:
        s.kind = Scalar::Signed;
        s.i = static_cast<signed char>(v.cVal);
        return true;
    case VT_I2:
        s.kind = Scalar::Signed;
        s.i = v.iVal;
        return true;
    case VT_I4:
        s.kind = Scalar::Signed;
        s.i = v.lVal;
        return true;
    case VT_INT:
        s.kind = Scalar::Signed;
        s.i = v.intVal;
        return true;
    case VT_I8:
        s.kind = Scalar::Signed;
        s.i = v.llVal;
        return true;
    case VT_UI1:
        s.kind = Scalar::Unsigned;
        s.u = v.bVal;
        return true;
    case VT_UI2:
        s.kind = Scalar::Unsigned;
        s.u = v.uiVal;
        return true;
    case VT_UI4:
        s.kind = Scalar::Unsigned;
        s.u = v.ulVal;
        return true;
    case VT_UINT:
        s.kind = Scalar::Unsigned;
        s.u = v.uintVal;
        return true;
    case VT_UI8:
        s.kind = Scalar::Unsigned;
        s.u = v.ullVal;
        return true;
    case VT_BOOL:
        // A value other than VARIANT_TRUE converts as the number it holds.
        s.kind = Scalar::Bool;
        s.i = v.boolVal;
        return true;
    case VT_R4:
        s.kind = Scalar::Real;
        s.d = v.fltVal;
        s.single = true;
        return true;
    case VT_R8:
        s.kind = Scalar::Real;
        s.d = v.dblVal;
        return true;
    case VT_DATE:
        s.kind = Scalar::Date;
        s.d = v.date;
        return true;
    case VT_CY:
        s.kind = Scalar::Cy;
        s.i = v.cyVal.int64;
        return true;
    case VT_DECIMAL:
        s.kind = Scalar::Dec;
        s.dec = v.decVal;
        return true;
    case VT_BSTR:
        s.kind = Scalar::Str;
        s.str = v.bstrVal;
        return true;
    default:
        return false;
    }
}

// The exact form of an integral, currency, decimal or text source.
HRESULT ToExact(const Scalar& s, const LocaleRules& rules, Exact& e)
{
    switch (s.kind) {
    case Scalar::Empty:
        e = Exact{};
        return S_OK;
    case Scalar::Signed:
    case Scalar::Bool:
        e = ExactFromSigned(s.i);
        return S_OK;
    case Scalar::Unsigned:
        e = Exact{false, s.u, 0};
        return S_OK;
    case Scalar::Cy:
        e = ExactFromSigned(s.i);
        e.exp = -4;
        return S_OK;
    case Scalar::Dec:
        e = ExactFromDecimal(s.dec);
        return S_OK;
    case Scalar::Str:
        return ParseNumber(BstrView(s.str), rules, e);
    case Scalar::Real:
    case Scalar::Date:
        if (!std::isfinite(s.d))
            return DISP_E_OVERFLOW;
        e = ExactFromDouble(s.d, s.single ? 7 : 15);
        return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

// The low bits of raw as an integer of that width, signed when min is
// negative: a boolean is cast to the target as Windows casts it (true into an
// unsigned type keeps the bit pattern of -1), and the digits of "&HFFFF" are
// -1 as a 16-bit integer.
HRESULT CastBits(uint64_t raw, i128 min, int bits, i128& out)
{
    const uint64_t mask = bits < 64 ? (static_cast<uint64_t>(1) << bits) - 1 : ~static_cast<uint64_t>(0);
    raw &= mask;
    const uint64_t signBit = static_cast<uint64_t>(1) << (bits - 1);
    if (min < 0 && (raw & signBit))
        out = static_cast<i128>(raw) - (static_cast<i128>(mask) + 1);
    else
        out = static_cast<i128>(raw);
    return S_OK;
}

HRESULT ToInteger(const Scalar& s, const LocaleRules& rules, i128 min, i128 max, int bits, i128& out)
{
    if (s.kind == Scalar::Bool)
        return CastBits(static_cast<uint64_t>(s.i), min, bits, out);
    if (s.kind == Scalar::Str) {
        TextNumber n;
        if (!ParseNumber(BstrView(s.str), rules, n))
            return DISP_E_TYPEMISMATCH;
        if (n.radix) {
            if (n.tooLong || (bits < 64 && (n.bits >> bits) != 0))
                return DISP_E_OVERFLOW;
            return CastBits(n.bits, min, bits, out);
        }
    }
    if (s.kind == Scalar::Real || s.kind == Scalar::Date) {
        if (std::isnan(s.d))
            return DISP_E_OVERFLOW;
        const double r = std::nearbyint(s.d); // the default mode rounds half to even
        const double lo = min == 0 ? 0.0 : -std::ldexp(1.0, bits - 1);
        const double hiExclusive = min == 0 ? std::ldexp(1.0, bits) : std::ldexp(1.0, bits - 1);
        if (!(r >= lo && r < hiExclusive))
            return DISP_E_OVERFLOW;
        out = static_cast<i128>(r);
        return S_OK;
    }
    Exact e;
    HRESULT hr = ToExact(s, rules, e);
    if (FAILED(hr))
        return hr;
    u128 mag;
    if (!RoundToExp(e, 0, mag) || mag > (static_cast<u128>(1) << 126))
        return DISP_E_OVERFLOW;
    const i128 v = e.neg ? -static_cast<i128>(mag) : static_cast<i128>(mag);
    if (v < min || v > max)
        return DISP_E_OVERFLOW;
    out = v;
    return S_OK;
}

HRESULT ToDouble(const Scalar& s, const LocaleRules& rules, double& out)
{
    switch (s.kind) {
    case Scalar::Empty:
        out = 0;
        return S_OK;
    case Scalar::Signed:
    case Scalar::Bool:
        out = static_cast<double>(s.i);
        return S_OK;
    case Scalar::Unsigned:
        out = static_cast<double>(s.u);
        return S_OK;
    case Scalar::Real:
    case Scalar::Date:
        out = s.d;
        return S_OK;
    case Scalar::Cy:
        out = static_cast<double>(s.i) / 10000.0;
        return S_OK;
    case Scalar::Dec:
    case Scalar::Str: {
        Exact e;
        const HRESULT hr = ToExact(s, rules, e);
        if (FAILED(hr))
            return hr;
        return ExactToDouble(e, out) ? S_OK : DISP_E_OVERFLOW;
    }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT ToCurrency(const Scalar& s, const LocaleRules& rules, int64_t& out)
{
    if (s.kind == Scalar::Real || s.kind == Scalar::Date) {
        const double r = std::nearbyint(s.d * 10000.0);
        if (!(r >= -std::ldexp(1.0, 63) && r < std::ldexp(1.0, 63)))
            return DISP_E_OVERFLOW;
        out = static_cast<int64_t>(r);
        return S_OK;
    }
    Exact e;
    const HRESULT hr = ToExact(s, rules, e);
    if (FAILED(hr))
        return hr;
    u128 mag;
    const u128 limit = static_cast<u128>(1) << 63;
    if (!RoundToExp(e, -4, mag) || mag > limit || (mag == limit && !e.neg))
        return DISP_E_OVERFLOW;
    out = e.neg ? static_cast<int64_t>(-static_cast<i128>(mag)) : static_cast<int64_t>(mag);
    return S_OK;
}

HRESULT ToDecimal(const Scalar& s, const LocaleRules& rules, DECIMAL& out)
{
    if (s.kind == Scalar::Bool) {
        // VariantChangeType makes true 1 as a decimal, whatever bits it holds.
        out = DECIMAL{};
        out.Lo64 = s.i != 0 ? 1 : 0;
        return S_OK;
    }
    Exact e;
    const HRESULT hr = ToExact(s, rules, e);
    if (FAILED(hr))
        return hr;
    return ExactToDecimal(e, out) ? S_OK : DISP_E_OVERFLOW;
}

HRESULT ToBool(const Scalar& s, const LocaleRules& rules, VARIANT_BOOL& out)
{
    bool value = false;
    switch (s.kind) {
    case Scalar::Empty:
        break;
    case Scalar::Signed:
    case Scalar::Bool:
    case Scalar::Cy:
        value = s.i != 0;
        break;
    case Scalar::Unsigned:
        value = s.u != 0;
        break;
    case Scalar::Real:
    case Scalar::Date:
        value = s.d != 0;
        break;
    case Scalar::Dec:
        value = ExactFromDecimal(s.dec).mag != 0;
        break;
    case Scalar::Str: {
        const std::u16string_view text = Trim(BstrView(s.str));
        if (EqualsAsciiNoCase(text, "True")) {
            value = true;
            break;
        }
        if (EqualsAsciiNoCase(text, "False"))
            break;
        Exact e;
        const HRESULT hr = ParseNumber(text, rules, e);
        if (FAILED(hr))
            return hr;
        value = e.mag != 0;
        break;
    }
    }
    out = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ToDate(const Scalar& s, const LocaleRules& rules, double& out)
{
    double d;
    if (s.kind == Scalar::Str) {
        if (!ParseDate(BstrView(s.str), rules, d))
            return DISP_E_TYPEMISMATCH;
        out = d;
        return S_OK;
    }
    const HRESULT hr = ToDouble(s, rules, d);
    if (FAILED(hr))
        return hr;
    if (!(d > -657435.0 && d < 2958466.0))
        return DISP_E_OVERFLOW;
    out = d;
    return S_OK;
}

HRESULT ToBstr(const Scalar& s, const LocaleRules& rules, USHORT flags, BSTR& out)
{
    std::u16string text;
    switch (s.kind) {
    case Scalar::Empty:
        break;
    case Scalar::Signed:
        text = Widen(std::to_string(s.i), rules.decimalSep);
        break;
    case Scalar::Unsigned:
        text = Widen(std::to_string(s.u), rules.decimalSep);
        break;
    case Scalar::Bool:
        if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
            text = s.i ? u"True" : u"False";
        else
            text = Widen(std::to_string(s.i), rules.decimalSep);
        break;
    case Scalar::Real:
        text = Widen(FormatDouble(s.d, s.single ? 7 : 15), rules.decimalSep);
        break;
    case Scalar::Date: {
        std::string formatted;
        if (!FormatDate(s.d, rules, formatted))
            return E_INVALIDARG;
        for (char c : formatted)
            text.push_back(static_cast<unsigned char>(c));
        break;
    }
    case Scalar::Cy:
    case Scalar::Dec: {
        Exact e;
        ToExact(s, rules, e);
        text = Widen(FormatExact(e), rules.decimalSep);
        break;
    }
    case Scalar::Str:
        text = BstrView(s.str);
        break;
    }
    out = AllocBstr(text);
    return out ? S_OK : E_OUTOFMEMORY;
}

template <class T> HRESULT IntegerInto(const Scalar& s, const LocaleRules& rules, T& field)
{
    i128 v;
    const HRESULT hr =
        ToInteger(s, rules, static_cast<i128>(std::numeric_limits<T>::min()),
                  static_cast<i128>(std::numeric_limits<T>::max()),
                  std::numeric_limits<T>::digits + (std::numeric_limits<T>::is_signed ? 1 : 0), v);
    if (SUCCEEDED(hr))
        field = static_cast<T>(v);
    return hr;
}

// Converts a scalar source into out (initialised, empty) as type vt.
HRESULT CoerceScalar(const VARIANT& source, const LocaleRules& rules, USHORT flags, VARTYPE vt, VARIANT& out)
{
    Scalar s;
    if (!ReadScalar(source, s))
        return DISP_E_TYPEMISMATCH;
    HRESULT hr = DISP_E_TYPEMISMATCH;
    switch (vt) {
    case VT_I1: {
        signed char v = 0;
        hr = IntegerInto(s, rules, v);
        out.cVal = static_cast<CHAR>(v);
        break;
    }
    case VT_I2:
        hr = IntegerInto(s, rules, out.iVal);
        break;
    case VT_I4:
        hr = IntegerInto(s, rules, out.lVal);
        break;
    case VT_INT:
        hr = IntegerInto(s, rules, out.intVal);
        break;
    case VT_I8:
        hr = IntegerInto(s, rules, out.llVal);
        break;
    case VT_UI1:
        hr = IntegerInto(s, rules, out.bVal);
        break;
    case VT_UI2:
        hr = IntegerInto(s, rules, out.uiVal);
        break;
    case VT_UI4:
        hr = IntegerInto(s, rules, out.ulVal);
        break;
    case VT_UINT:
        hr = IntegerInto(s, rules, out.uintVal);
        break;
    case VT_UI8:
        hr = IntegerInto(s, rules, out.ullVal);
        break;
    case VT_R4: {
        double d;
        hr = ToDouble(s, rules, d);
        if (SUCCEEDED(hr) && (d < -FLT_MAX || d > FLT_MAX))
            hr = DISP_E_OVERFLOW;
        if (SUCCEEDED(hr))
            out.fltVal = static_cast<float>(d);
        break;
    }
    case VT_R8:
        hr = ToDouble(s, rules, out.dblVal);
        break;
    case VT_DATE:
        hr = ToDate(s, rules, out.date);
        break;
    case VT_CY:
        hr = ToCurrency(s, rules, out.cyVal.int64);
        break;
    case VT_DECIMAL: {
        DECIMAL d;
        hr = ToDecimal(s, rules, d);
        if (SUCCEEDED(hr))
            out.decVal = d;
        break;
    }
    case VT_BOOL:
        hr = ToBool(s, rules, out.boolVal);
        break;
    case VT_BSTR:
        hr = ToBstr(s, rules, flags, out.bstrVal);
        break;
    default:
        break;
    }
    if (SUCCEEDED(hr))
        out.vt = vt;
    return hr;
}

bool IsScalarTarget(VARTYPE vt)
{
    switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_DECIMAL:
    case VT_BOOL:
    case VT_BSTR:
        return true;
    default:
        return false;
    }
}

// Converts the dereferenced source into out (initialised, empty).
HRESULT Coerce(const VARIANT& source, LCID lcid, USHORT flags, VARTYPE vt, VARIANT& out, int depth = 0)
{
    const VARTYPE from = source.vt;
    if (from == vt)
        return VariantCopy(&out, &source);
    if (vt == VT_EMPTY)
        return S_OK;
    if (vt == VT_NULL) {
        if (from != VT_EMPTY)
            return DISP_E_TYPEMISMATCH;
        out.vt = VT_NULL;
        return S_OK;
    }
    if ((from & VT_ARRAY) || (vt & VT_ARRAY) || from == VT_NULL || from == VT_ERROR || vt == VT_ERROR)
        return DISP_E_TYPEMISMATCH;

    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if ((from != VT_UNKNOWN && from != VT_DISPATCH) || !source.punkVal)
            return DISP_E_TYPEMISMATCH;
        if (vt == VT_UNKNOWN) {
            source.punkVal->AddRef();
            out.punkVal = source.punkVal;
        } else {
            void* dispatch = nullptr;
            if (FAILED(source.punkVal->QueryInterface(IID_IDispatch, &dispatch)) || !dispatch)
                return DISP_E_TYPEMISMATCH;
            out.pdispVal = static_cast<IDispatch*>(dispatch);
        }
        out.vt = vt;
        return S_OK;
    }
    if (from == VT_UNKNOWN)
        return DISP_E_TYPEMISMATCH;
    if (from == VT_DISPATCH) {
        // The object's value property stands for the object.
        if ((flags & VARIANT_NOVALUEPROP) || !source.pdispVal || depth > 0)
            return DISP_E_TYPEMISMATCH;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        VARIANT value;
        VariantInit(&value);
        HRESULT hr = source.pdispVal->Invoke(DISPID_VALUE, kIidNull, lcid, DISPATCH_PROPERTYGET, &none,
                                             &value, nullptr, nullptr);
        if (FAILED(hr)) {
            VariantClear(&value);
            return DISP_E_TYPEMISMATCH;
        }
        if (value.vt & VT_BYREF) {
            hr = VariantCopyInd(&value, &value);
            if (FAILED(hr))
                return hr;
        }
        hr = Coerce(value, lcid, flags, vt, out, depth + 1);
        VariantClear(&value);
        return hr;
    }
    if (!IsScalarTarget(vt))
        return DISP_E_TYPEMISMATCH;
    return CoerceScalar(source, RulesFor(lcid), flags, vt, out);
}

} // namespace

HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                                   VARTYPE vt)
{
    if (!pvargDest || !pvarSrc)
        return E_INVALIDARG;
    if (!IsValidVariantType(pvarSrc->vt))
        return DISP_E_BADVARTYPE;
    if (vt != VT_EMPTY && vt != VT_NULL && !IsValidVariantType(vt))
        return DISP_E_BADVARTYPE;
    if (vt & VT_BYREF)
        return DISP_E_TYPEMISMATCH;

    // A by-reference source is read through its reference.
    VARIANT local;
    VariantInit(&local);
    const VARIANT* source = pvarSrc;
    if (pvarSrc->vt & VT_BYREF) {
        const HRESULT hr = VariantCopyInd(&local, pvarSrc);
        if (FAILED(hr))
            return hr;
        source = &local;
    }

    VARIANT result;
    VariantInit(&result);
    HRESULT hr = Coerce(*source, lcid, wFlags, vt, result);
    VariantClear(&local);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    // Only now is the destination (which may be the source) released.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    std::memcpy(pvargDest, &result, sizeof result);
    return S_OK;
}

HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt)
{
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

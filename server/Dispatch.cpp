#include "Dispatch.h"

#include <array>

namespace trumik::server {

namespace {

char16_t Fold(char16_t c)
{
    if (c >= u'A' && c <= u'Z')
        return static_cast<char16_t>(c + 32);
    if (c >= 0x0410 && c <= 0x042F)
        return static_cast<char16_t>(c + 32);
    if (c == 0x0401)
        return 0x0451;
    return c;
}

bool SameName(const char16_t* a, const OLECHAR* b)
{
    if (!a || !b)
        return false;
    for (; *a && *b; ++a, ++b) {
        if (Fold(*a) != Fold(*b))
            return false;
    }
    return *a == 0 && *b == 0;
}

const DispMethod* FindMethod(const DispTable& table, DISPID member)
{
    for (size_t i = 0; i < table.methodCount; ++i) {
        if (table.methods[i].dispid == member)
            return &table.methods[i];
    }
    return nullptr;
}

// Brings one argument to its declared type, in place. Returns S_OK or
// DISP_E_TYPEMISMATCH; `used` receives the variant the method reads.
HRESULT CheckArgument(VARIANTARG* arg, VARTYPE declared, VARIANTARG** used)
{
    if (arg->vt == declared) {
        *used = arg;
        return S_OK;
    }
    if (declared == (VT_BYREF | VT_VARIANT))
        return DISP_E_TYPEMISMATCH;
    VARIANTARG* target = arg;
    if (target->vt == (VT_BYREF | VT_VARIANT)) {
        if (!target->pvarVal)
            return DISP_E_TYPEMISMATCH;
        target = target->pvarVal;
    }
    if (target->vt & VT_BYREF)
        return DISP_E_TYPEMISMATCH;
    if (target->vt != declared && FAILED(VariantChangeType(target, target, 0, declared)))
        return DISP_E_TYPEMISMATCH;
    *used = target;
    return S_OK;
}

} // namespace

HRESULT TableGetIDsOfNames(const DispTable& table, LPOLESTR* names, UINT count, DISPID* ids)
{
    if (!names || !ids)
        return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        bool found = false;
        for (size_t m = 0; m < table.methodCount && !found; ++m) {
            if (SameName(table.methods[m].name, names[i])) {
                ids[i] = table.methods[m].dispid;
                found = true;
            }
        }
        for (size_t p = 0; p < table.paramNameCount && !found; ++p) {
            if (SameName(table.paramNames[p].name, names[i])) {
                ids[i] = table.paramNames[p].id;
                found = true;
            }
        }
        if (!found)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT TableInvoke(const DispTable& table, IDispatch* self, DISPID member, DISPPARAMS* params,
                    VARIANT* result, UINT* argErr)
{
    if (!params)
        return DISP_E_BADVARTYPE;
    const DispMethod* method = FindMethod(table, member);
    if (!method)
        return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != method->paramCount)
        return DISP_E_BADPARAMCOUNT;
    if (params->cArgs > 0 && !params->rgvarg)
        return DISP_E_BADVARTYPE;

    // The argument of each parameter, in parameter order.
    std::array<VARIANTARG*, kMaxDispParams> byParam{};
    for (UINT i = 0; i < params->cArgs; ++i)
        byParam[i] = &params->rgvarg[params->cArgs - 1 - i];
    if (params->cNamedArgs > 0) {
        if (!params->rgdispidNamedArgs)
            return DISP_E_BADVARTYPE;
        if (table.paramNameCount == 0) {
            if (!(params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT))
                return DISP_E_NONAMEDARGS;
        } else {
            if (params->cNamedArgs > params->cArgs)
                return DISP_E_BADPARAMCOUNT;
            // Named arguments come first in rgvarg; positional ones follow, last first.
            std::array<VARIANTARG*, kMaxDispParams> placed{};
            for (UINT n = 0; n < params->cNamedArgs; ++n) {
                DISPID id = params->rgdispidNamedArgs[n];
                if (id < 0 || static_cast<UINT>(id) >= method->paramCount || placed[id]) {
                    if (argErr)
                        *argErr = n;
                    return DISP_E_PARAMNOTFOUND;
                }
                placed[id] = &params->rgvarg[n];
            }
            UINT positional = params->cArgs - params->cNamedArgs;
            for (UINT i = 0; i < positional; ++i) {
                if (placed[i]) {
                    if (argErr)
                        *argErr = params->cArgs - 1 - i;
                    return DISP_E_PARAMNOTFOUND;
                }
                placed[i] = &params->rgvarg[params->cArgs - 1 - i];
            }
            byParam = placed;
        }
    }

    std::array<VARIANTARG*, kMaxDispParams> used{};
    for (UINT i = 0; i < method->paramCount; ++i) {
        if (CheckArgument(byParam[i], method->params[i], &used[i]) != S_OK) {
            if (argErr)
                *argErr = static_cast<UINT>(byParam[i] - params->rgvarg);
            return DISP_E_TYPEMISMATCH;
        }
    }

    VARIANT retval;
    VariantInit(&retval);
    HRESULT hr = method->call(self, used.data(), &retval);
    if (table.nullStringLeavesEmpty && retval.vt == VT_BSTR && !retval.bstrVal)
        retval.vt = VT_EMPTY;
    if (result) {
        *result = retval; // ownership moves to the caller's initialised variant
    } else {
        VariantClear(&retval);
    }
    return hr;
}

void PutBstr(VARIANT* retval, BSTR value)
{
    retval->vt = VT_BSTR;
    retval->bstrVal = value;
}

void PutInt(VARIANT* retval, INT value)
{
    retval->vt = VT_I4;
    retval->lVal = value;
}

void PutBool(VARIANT* retval, VARIANT_BOOL value)
{
    retval->vt = VT_BOOL;
    retval->boolVal = value;
}

void PutDate(VARIANT* retval, DATE value)
{
    retval->vt = VT_DATE;
    retval->date = value;
}

} // namespace trumik::server

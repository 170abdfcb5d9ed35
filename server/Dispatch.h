// Late binding from fixed tables: each interface answers GetIDsOfNames and
// Invoke from a table made from the IDL with its method list (see
// ZelvaneTrumikXmlSigner_dispatch.h), without type information; the rules
// that differ between interfaces are fields of the table.
#pragma once

#include <oleauto.h>

#include <cstddef>

namespace trumik::server {

// The automation type of a method's [out, retval] value.
enum class RetKind { Bstr, Int, Bool, Variant };

// Calls the method through the virtual table with the checked arguments (in
// parameter order) and stores the [out, retval] value in *retval, which the
// caller has initialised to VT_EMPTY.
using MethodThunk = HRESULT (*)(IDispatch* self, VARIANTARG* const* args, VARIANT* retval);

// The most [in] parameters a method of a table may have.
inline constexpr size_t kMaxDispParams = 8;

struct DispMethod {
    const char16_t* name;
    DISPID dispid;
    VARTYPE params[kMaxDispParams]; // declared [in] types: VT_BSTR, VT_I4, VT_DATE, or VT_BYREF | VT_VARIANT
    UINT paramCount;
    MethodThunk call;
};

struct DispParamName {
    const char16_t* name;
    DISPID id; // positional identifier
};

struct DispTable {
    const DispMethod* methods;
    size_t methodCount;
    // Only an interface with parameter names places named arguments.
    const DispParamName* paramNames;
    size_t paramNameCount;
    // A string result that the method leaves null leaves the result variant
    // empty instead of holding a null string.
    bool nullStringLeavesEmpty = false;
};

HRESULT TableGetIDsOfNames(const DispTable& table, LPOLESTR* names, UINT count, DISPID* ids);
HRESULT TableInvoke(const DispTable& table, IDispatch* self, DISPID member, DISPPARAMS* params,
                    VARIANT* result, UINT* argErr);

// Helpers for the thunks: move a method's out-value into the result variant.
void PutBstr(VARIANT* retval, BSTR value);
void PutInt(VARIANT* retval, INT value);
void PutBool(VARIANT* retval, VARIANT_BOOL value);
void PutDate(VARIANT* retval, DATE value);

} // namespace trumik::server

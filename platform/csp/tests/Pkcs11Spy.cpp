// A PKCS #11 library for the tests that stands between the provider and the
// test token: it passes every call on to the library named by
// TRUMIK_SPY_TARGET and counts what the tests need to see from outside the
// provider (logins, and any request for the value of a private key). The
// mechanism named in TRUMIK_SPY_HIDE (hexadecimal), when set, is one the
// token does not have.
#include "csp/Pkcs11.h"

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>

namespace {

CK_FUNCTION_LIST_PTR g_target = nullptr;
CK_FUNCTION_LIST g_spy{};
std::atomic<unsigned long> g_logins{0};
std::atomic<unsigned long> g_failedLogins{0};
std::atomic<unsigned long> g_privateValueRequests{0};

bool Hidden(CK_MECHANISM_TYPE mechanism)
{
    const char* hide = std::getenv("TRUMIK_SPY_HIDE");
    return hide && *hide && std::strtoul(hide, nullptr, 16) == mechanism;
}

CK_RV SpyGetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info)
{
    return Hidden(type) ? CKR_MECHANISM_INVALID : g_target->C_GetMechanismInfo(slot, type, info);
}

CK_RV SpySignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key)
{
    return mechanism && Hidden(mechanism->mechanism) ? CKR_MECHANISM_INVALID
                                                     : g_target->C_SignInit(session, mechanism, key);
}

CK_RV SpyLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen)
{
    ++g_logins;
    CK_RV rv = g_target->C_Login(session, user, pin, pinLen);
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN)
        ++g_failedLogins;
    return rv;
}

CK_RV SpyGetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR templ,
                           CK_ULONG count)
{
    CK_OBJECT_CLASS cls = 0;
    CK_ATTRIBUTE classAttr{CKA_CLASS, &cls, sizeof cls};
    if (templ && g_target->C_GetAttributeValue(session, object, &classAttr, 1) == CKR_OK &&
        cls == CKO_PRIVATE_KEY) {
        for (CK_ULONG i = 0; i < count; ++i)
            if (templ[i].type == CKA_VALUE)
                ++g_privateValueRequests;
    }
    return g_target->C_GetAttributeValue(session, object, templ, count);
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    if (!list)
        return CKR_ARGUMENTS_BAD;
    if (!g_target) {
        const char* path = std::getenv("TRUMIK_SPY_TARGET");
        void* library = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
        auto get =
            library ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList")) : nullptr;
        if (!get || get(&g_target) != CKR_OK)
            return CKR_GENERAL_ERROR;
        g_spy = *g_target;
        g_spy.C_Login = SpyLogin;
        g_spy.C_GetAttributeValue = SpyGetAttributeValue;
        g_spy.C_GetMechanismInfo = SpyGetMechanismInfo;
        g_spy.C_SignInit = SpySignInit;
    }
    *list = &g_spy;
    return CKR_OK;
}

// What the spy has seen in this process.
__attribute__((visibility("default"))) void
TrumikSpyCounts(unsigned long* logins, unsigned long* failedLogins, unsigned long* privateValueRequests)
{
    *logins = g_logins;
    *failedLogins = g_failedLogins;
    *privateValueRequests = g_privateValueRequests;
}

} // extern "C"

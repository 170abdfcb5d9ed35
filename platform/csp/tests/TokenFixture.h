// What the token tests share: the spy library between the provider and the
// test token (its counters and function list) and a token set up as its
// maker's tools would.
#pragma once

#include "csp/Pkcs11.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

namespace trumik::testing {

inline const char kLabel[] = "Test A";
inline const char kPin[] = "1234";
inline const char kSoPin[] = "87654321";

struct SpyCounts {
    unsigned long logins = 0, failedLogins = 0, privateValueRequests = 0;
};

// The spy as the provider loads it (the same handle), for its counters and
// its function list.
inline void* Spy()
{
    static void* handle = [] {
        setenv("TRUMIK_SPY_TARGET", TRUMIK_TESTTOKEN_PATH, 1);
        return dlopen(TRUMIK_SPY_PATH, RTLD_NOW | RTLD_LOCAL);
    }();
    return handle;
}

inline SpyCounts Counts()
{
    using CountsFn = void (*)(unsigned long*, unsigned long*, unsigned long*);
    auto fn = reinterpret_cast<CountsFn>(dlsym(Spy(), "TrumikSpyCounts"));
    SpyCounts counts;
    fn(&counts.logins, &counts.failedLogins, &counts.privateValueRequests);
    return counts;
}

inline CK_FUNCTION_LIST_PTR SpyFunctions()
{
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(Spy(), "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    return get && get(&list) == CKR_OK ? list : nullptr;
}

// Initialises slot 0 with a label and the user PIN, as a token's own tools would.
inline void InitialiseToken()
{
    CK_FUNCTION_LIST_PTR f = SpyFunctions();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_UTF8CHAR label[32];
    std::fill(std::begin(label), std::end(label), ' ');
    std::copy(kLabel, kLabel + std::strlen(kLabel), label);
    auto so = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kSoPin));
    auto user = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin));
    ASSERT_EQ(f->C_InitToken(0, so, std::strlen(kSoPin), label), CKR_OK);
    CK_SESSION_HANDLE session;
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
    ASSERT_EQ(f->C_Login(session, CKU_SO, so, std::strlen(kSoPin)), CKR_OK);
    ASSERT_EQ(f->C_InitPIN(session, user, std::strlen(kPin)), CKR_OK);
    f->C_Logout(session);
    f->C_CloseSession(session);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
}

} // namespace trumik::testing

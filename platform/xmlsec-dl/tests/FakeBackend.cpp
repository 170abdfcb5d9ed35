// Stand-in crypto back-ends for the loader tests, built beside the platform
// library. FAKE_BACKEND_KIND selects what the library offers:
//   1: xmlSecCryptoGetFunctions_testfake with a table of a few members,
//   2: no getter at all,
//   3: xmlSecCryptoGetFunctions_testnulltable returning NULL.
#include <xmlsec/dl.h>
#include <xmlsec/private.h>

namespace {

#if FAKE_BACKEND_KIND == 1
// xmlSecTransformKlass is a const type; the fake fills a mutable one.
struct _xmlSecTransformKlass g_sha1Klass = {};
int g_initCalls = 0;

int FakeInit(void)
{
    return ++g_initCalls;
}
xmlSecTransformId FakeSha1(void)
{
    return &g_sha1Klass;
}
char g_pwdCallback = 0;
#endif

} // namespace

#if FAKE_BACKEND_KIND == 1
extern "C" __attribute__((visibility("default"))) xmlSecCryptoDLFunctionsPtr
xmlSecCryptoGetFunctions_testfake(void)
{
    static xmlSecCryptoDLFunctions functions = {};
    g_sha1Klass.name = reinterpret_cast<const xmlChar*>("fake-sha1");
    functions.cryptoInit = FakeInit;
    functions.transformSha1GetKlass = FakeSha1;
    functions.cryptoAppDefaultPwdCallback = &g_pwdCallback;
    return &functions;
}
#elif FAKE_BACKEND_KIND == 3
extern "C" __attribute__((visibility("default"))) xmlSecCryptoDLFunctionsPtr
xmlSecCryptoGetFunctions_testnulltable(void)
{
    return nullptr;
}
#endif

// COM: apartments, activation through the registry, unloading, ProgIDs and
// GUID strings.
#include "ComTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

using namespace comtest;
using Events = std::vector<std::string>;

namespace {

const std::u16string kCalcKey = u"CLSID\\" + GuidText(kClsidTestCalc);

class Com : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, CoInitialize(nullptr));
        SetClassesRootString(kCalcKey + u"\\InprocServer32", nullptr, ModulePath());
        TakeEvents();
    }
    void TearDown() override
    {
        CoFreeUnusedLibraries();
        CoUninitialize();
        DeleteClassesRootKey(kCalcKey);
        TakeEvents();
    }
};

HRESULT OnFreshThread(const std::function<HRESULT()>& work)
{
    HRESULT hr = E_FAIL;
    std::thread([&] { hr = work(); }).join();
    return hr;
}

} // namespace

TEST(ComApartment, InitialisationCountsPerThreadAndKeepsItsModel)
{
    std::thread([] {
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
        EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        CoUninitialize();
        CoUninitialize();
        // Closed: a new start is a first start again.
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        CoUninitialize();
        EXPECT_EQ(E_INVALIDARG, CoInitialize(reinterpret_cast<void*>(1)));
    }).join();
}

TEST(ComApartment, ActivationNeedsInitialisedCom)
{
    SetClassesRootString(kCalcKey + u"\\InprocServer32", nullptr, ModulePath());
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CO_E_NOTINITIALIZED, OnFreshThread([&] {
                  return CoCreateInstance(kClsidTestCalc, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc,
                                          &object);
              }));
    EXPECT_EQ(nullptr, object);

    // A thread without its own apartment may use the open multithreaded one.
    std::thread mta([&] {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        const HRESULT hr = OnFreshThread([&] {
            ITestCalc* calc = nullptr;
            HRESULT result = CoCreateInstance(kClsidTestCalc, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc,
                                              reinterpret_cast<void**>(&calc));
            if (calc)
                calc->Release();
            return result;
        });
        EXPECT_EQ(S_OK, hr);
        CoUninitialize(); // the last apartment: the idle server is unloaded
    });
    mta.join();
    EXPECT_EQ(nullptr, GetModuleHandleW(ModulePath().c_str()));
    DeleteClassesRootKey(kCalcKey);
    TakeEvents();
}

TEST_F(Com, CreateInstanceLoadsTheRegisteredServerAndUnloadsItWhenIdle)
{
    ITestCalc* calc = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(kClsidTestCalc, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc,
                                     reinterpret_cast<void**>(&calc)));
    ASSERT_NE(nullptr, calc);
    LONG sum = 0;
    EXPECT_EQ(S_OK, calc->Add(2, 40, &sum));
    EXPECT_EQ(42, sum);
    EXPECT_EQ((Events{"module:init", "module:attach"}), TakeEvents());

    // A second object comes from the same loaded server.
    ITestCalc* other = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(kClsidTestCalc, nullptr, CLSCTX_ALL, kIidTestCalc,
                                     reinterpret_cast<void**>(&other)));
    EXPECT_TRUE(TakeEvents().empty());

    // Objects alive: DllCanUnloadNow says S_FALSE, the server stays.
    CoFreeUnusedLibraries();
    calc->Release();
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_TRUE(TakeEvents().empty());
    EXPECT_NE(nullptr, GetModuleHandleW(ModulePath().c_str()));

    other->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ((Events{"module:detach", "module:fini"}), TakeEvents());
    EXPECT_EQ(nullptr, GetModuleHandleW(ModulePath().c_str()));
}

TEST_F(Com, ClassObjectHeldByTheCallerKeepsTheServer)
{
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, CoGetClassObject(kClsidTestCalc, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(&factory)));
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_NE(nullptr, GetModuleHandleW(ModulePath().c_str()));

    // The server's own answer decides: E_NOINTERFACE passes through.
    void* unknown = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE,
              CoCreateInstance(kClsidTestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &unknown));
    EXPECT_EQ(nullptr, unknown);
    ASSERT_EQ(S_OK, CoGetClassObject(kClsidTestCalc, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(&factory)));
    factory->LockServer(FALSE);
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(nullptr, GetModuleHandleW(ModulePath().c_str()));
}

TEST_F(Com, ActivationFailuresGiveTheWindowsCodes)
{
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_POINTER,
              CoCreateInstance(kClsidTestCalc, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc, nullptr));
    EXPECT_EQ(E_INVALIDARG,
              CoGetClassObject(kClsidTestCalc, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, nullptr));

    // Not registered at all; registered without InprocServer32.
    const CLSID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc, &object));
    EXPECT_EQ(nullptr, object);
    const std::u16string unknownKey = u"CLSID\\" + GuidText(unknown);
    SetClassesRootString(unknownKey, nullptr, u"A class with no server");
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc, &object));
    // Only a local server asked for: none here.
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              CoCreateInstance(kClsidTestCalc, nullptr, CLSCTX_LOCAL_SERVER, kIidTestCalc, &object));

    // The module file is missing.
    SetClassesRootString(unknownKey + u"\\InprocServer32", nullptr, u"/nonexistent/server.so");
    EXPECT_EQ(static_cast<HRESULT>(0x8007007E),
              CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc, &object));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND),
              CoGetClassObject(unknown, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &object));

    // The module refuses to load.
    SetClassesRootString(unknownKey + u"\\InprocServer32", nullptr, RefusePath());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED),
              CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc, &object));

    // The module has no DllGetClassObject: it is not kept loaded.
    SetClassesRootString(unknownKey + u"\\InprocServer32", nullptr, NoClassPath());
    EXPECT_EQ(CO_E_ERRORINDLL,
              CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc, &object));
    EXPECT_EQ(nullptr, GetModuleHandleW(NoClassPath().c_str()));

    // The module does not serve this class.
    SetClassesRootString(unknownKey + u"\\InprocServer32", nullptr, ModulePath());
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, kIidTestCalc, &object));
    EXPECT_EQ(nullptr, object);
    DeleteClassesRootKey(unknownKey);
}

TEST(ProgId, CurVerNamesTheCurrentVersionsClass)
{
    const CLSID independent = {0xAAAAAAAA, 0x1111, 0x2222, {3, 3, 3, 3, 3, 3, 3, 1}};
    const CLSID current = {0xBBBBBBBB, 0x1111, 0x2222, {3, 3, 3, 3, 3, 3, 3, 2}};
    SetClassesRootString(u"Test.Calc\\CLSID", nullptr, GuidText(independent));
    SetClassesRootString(u"Test.Calc\\CurVer", nullptr, u"Test.Calc.2");
    SetClassesRootString(u"Test.Calc.2\\CLSID", nullptr, GuidText(current));

    CLSID clsid{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"Test.Calc", &clsid));
    EXPECT_EQ(current, clsid);
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"test.calc.2", &clsid));
    EXPECT_EQ(current, clsid);
    ASSERT_EQ(S_OK, CLSIDFromString(u"Test.Calc", &clsid));
    EXPECT_EQ(current, clsid);

    // CurVer naming a ProgID that is not there: the key's own CLSID.
    SetClassesRootString(u"Test.Calc\\CurVer", nullptr, u"Test.Calc.9");
    ASSERT_EQ(S_OK, CLSIDFromProgID(u"Test.Calc", &clsid));
    EXPECT_EQ(independent, clsid);

    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"No.Such.ProgId", &clsid));
    EXPECT_EQ(CLSID{}, clsid);
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(u"No.Such.ProgId", &clsid));
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"", &clsid));
    EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(nullptr, &clsid));
    // A ProgID whose CLSID value is no GUID.
    SetClassesRootString(u"Test.Broken\\CLSID", nullptr, u"not a guid");
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Test.Broken", &clsid));

    SetClassesRootString(u"CLSID\\" + GuidText(current) + u"\\ProgID", nullptr, u"Test.Calc.2");
    LPOLESTR progId = nullptr;
    ASSERT_EQ(S_OK, ProgIDFromCLSID(current, &progId));
    EXPECT_EQ(u"Test.Calc.2", std::u16string(progId));
    CoTaskMemFree(progId);
    progId = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, ProgIDFromCLSID(independent, &progId));
    EXPECT_EQ(nullptr, progId);

    for (const char16_t* key : {u"Test.Calc", u"Test.Calc.2", u"Test.Broken"})
        DeleteClassesRootKey(key);
    DeleteClassesRootKey(u"CLSID\\" + GuidText(current));
}

TEST(GuidStrings, RoundTripInUpperCaseBracedForm)
{
    const GUID guid = {0x0002E005, 0x00AB, 0xCD00, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x46}};
    OLECHAR text[40];
    EXPECT_EQ(39, StringFromGUID2(guid, text, 40));
    EXPECT_EQ(u"{0002E005-00AB-CD00-C000-000000000F46}", std::u16string(text));
    EXPECT_EQ(39, StringFromGUID2(guid, text, 39));
    EXPECT_EQ(0, StringFromGUID2(guid, text, 38));

    GUID parsed{};
    EXPECT_EQ(S_OK, CLSIDFromString(u"{0002e005-00ab-cd00-c000-000000000f46}", &parsed));
    EXPECT_EQ(guid, parsed);
    EXPECT_EQ(S_OK, IIDFromString(text, &parsed));
    EXPECT_EQ(guid, parsed);

    LPOLESTR allocated = nullptr;
    ASSERT_EQ(S_OK, StringFromCLSID(guid, &allocated));
    EXPECT_EQ(std::u16string(text), std::u16string(allocated));
    CoTaskMemFree(allocated);
    ASSERT_EQ(S_OK, StringFromIID(guid, &allocated));
    EXPECT_EQ(std::u16string(text), std::u16string(allocated));
    CoTaskMemFree(allocated);

    // A null string is the null GUID.
    parsed = guid;
    EXPECT_EQ(S_OK, CLSIDFromString(nullptr, &parsed));
    EXPECT_EQ(GUID{}, parsed);
}

TEST(GuidStrings, BadSyntaxIsRefused)
{
    for (const char16_t* bad :
         {u"{0002E005-0000-0000-C000-000000000046", u"{0002E005-0000-0000-C000-00000000004}",
          u"{0002E005-0000-0000-C000-000000000046}x", u"{0002E005+0000-0000-C000-000000000046}",
          u"{0002E005-0000-0000-C0000-00000000046}", u"{0002E00G-0000-0000-C000-000000000046}", u"{}",
          u"{"}) {
        GUID guid{};
        EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(bad, &guid)) << U8(bad);
        EXPECT_EQ(E_INVALIDARG, IIDFromString(bad, &guid));
    }
    GUID guid{};
    // IIDFromString takes no ProgID.
    EXPECT_EQ(E_INVALIDARG, IIDFromString(u"Some.ProgId", &guid));
    EXPECT_EQ(E_INVALIDARG, IIDFromString(u"0002E005-0000-0000-C000-000000000046", &guid));
}

TEST(GuidStrings, CoCreateGuidMakesRandomVersionFourGuids)
{
    GUID a{}, b{};
    ASSERT_EQ(S_OK, CoCreateGuid(&a));
    ASSERT_EQ(S_OK, CoCreateGuid(&b));
    EXPECT_NE(a, b);
    EXPECT_EQ(0x4000, a.Data3 & 0xF000);
    EXPECT_EQ(0x80, a.Data4[0] & 0xC0);
    EXPECT_EQ(E_INVALIDARG, CoCreateGuid(nullptr));
}

TEST(TaskMemory, ReallocGrowsKeepsContentAndFreesAtZero)
{
    auto* p = static_cast<char*>(CoTaskMemAlloc(4));
    ASSERT_NE(nullptr, p);
    std::memcpy(p, "abc", 4);
    p = static_cast<char*>(CoTaskMemRealloc(p, 4096));
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("abc", p);
    EXPECT_EQ(nullptr, CoTaskMemRealloc(p, 0));
    void* fresh = CoTaskMemRealloc(nullptr, 8);
    EXPECT_NE(nullptr, fresh);
    CoTaskMemFree(fresh);
    CoTaskMemFree(nullptr);
}

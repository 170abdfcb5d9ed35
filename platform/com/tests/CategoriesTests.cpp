// The standard component categories manager.
#include "ComTestSupport.h"

#include "comcat.h"

#include <gtest/gtest.h>

#include <memory>

using namespace comtest;

namespace {

const CLSID kClass = {0x3C6084B9, 0xD9AD, 0x4B67, {0x8D, 0x80, 0x5B, 0x79, 0x69, 0xA8, 0x63, 0x64}};
const CATID kSafeForScripting = {
    0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
const CATID kSafeForInitialising = {
    0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
const std::u16string kClassKey = u"CLSID\\{3C6084B9-D9AD-4B67-8D80-5B7969A86364}";

struct Releaser {
    void operator()(IUnknown* p) const
    {
        if (p)
            p->Release();
    }
};
template <class T> using ComPtr = std::unique_ptr<T, Releaser>;

class Categories : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, CoInitialize(nullptr));
        ICatRegister* raw = nullptr;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_ICatRegister, reinterpret_cast<void**>(&raw)));
        registrar_.reset(raw);
        ICatInformation* info = nullptr;
        ASSERT_EQ(S_OK, registrar_->QueryInterface(IID_ICatInformation, reinterpret_cast<void**>(&info)));
        information_.reset(info);
    }
    void TearDown() override
    {
        information_.reset();
        registrar_.reset();
        DeleteClassesRootKey(kClassKey);
        DeleteClassesRootKey(u"Component Categories");
        CoUninitialize();
    }

    std::vector<GUID> Drain(IEnumGUID* raw)
    {
        ComPtr<IEnumGUID> e(raw);
        std::vector<GUID> out;
        GUID guid;
        ULONG fetched = 0;
        while (e->Next(1, &guid, &fetched) == S_OK)
            out.push_back(guid);
        return out;
    }

    ComPtr<ICatRegister> registrar_;
    ComPtr<ICatInformation> information_;
};

} // namespace

TEST_F(Categories, ImplementedCategoriesAreSubkeysAndTheEmptiedParentStays)
{
    // The manager is built in: no registry entry made it creatable.
    EXPECT_FALSE(ClassesRootKeyExists(u"CLSID\\{0002E005-0000-0000-C000-000000000046}"));

    CATID both[] = {kSafeForScripting, kSafeForInitialising};
    ASSERT_EQ(S_OK, registrar_->RegisterClassImplCategories(kClass, 1, &both[0]));
    ASSERT_EQ(S_OK, registrar_->RegisterClassImplCategories(kClass, 1, &both[1]));
    EXPECT_TRUE(ClassesRootKeyExists(kClassKey +
                                     u"\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_TRUE(ClassesRootKeyExists(kClassKey +
                                     u"\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_EQ(2u, SubkeyCount(kClassKey + u"\\Implemented Categories"));
    // Registering again changes nothing.
    ASSERT_EQ(S_OK, registrar_->RegisterClassImplCategories(kClass, 2, both));
    EXPECT_EQ(2u, SubkeyCount(kClassKey + u"\\Implemented Categories"));

    IEnumGUID* e = nullptr;
    ASSERT_EQ(S_OK, information_->EnumImplCategoriesOfClass(kClass, &e));
    const std::vector<GUID> listed = Drain(e);
    ASSERT_EQ(2u, listed.size());
    EXPECT_EQ(S_OK, information_->IsClassOfCategories(kClass, 1, &kSafeForInitialising,
                                                      static_cast<ULONG>(-1), nullptr));

    ASSERT_EQ(S_OK, registrar_->UnRegisterClassImplCategories(kClass, 1, &both[0]));
    EXPECT_FALSE(ClassesRootKeyExists(kClassKey +
                                      u"\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_EQ(S_FALSE, information_->IsClassOfCategories(kClass, 1, &kSafeForScripting,
                                                         static_cast<ULONG>(-1), nullptr));
    ASSERT_EQ(S_OK, registrar_->UnRegisterClassImplCategories(kClass, 1, &both[1]));
    EXPECT_TRUE(ClassesRootKeyExists(kClassKey + u"\\Implemented Categories"));
    EXPECT_EQ(0u, SubkeyCount(kClassKey + u"\\Implemented Categories"));
    // Absent categories unregister without complaint.
    EXPECT_EQ(S_OK, registrar_->UnRegisterClassImplCategories(kClass, 2, both));
}

TEST_F(Categories, RequiredCategoriesLimitWhichClassesQualify)
{
    CATID scripting = kSafeForScripting;
    CATID initialising = kSafeForInitialising;
    ASSERT_EQ(S_OK, registrar_->RegisterClassImplCategories(kClass, 1, &scripting));
    ASSERT_EQ(S_OK, registrar_->RegisterClassReqCategories(kClass, 1, &initialising));
    EXPECT_TRUE(
        ClassesRootKeyExists(kClassKey + u"\\Required Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"));

    // A caller that does not support what the class requires does not get it.
    EXPECT_EQ(S_FALSE, information_->IsClassOfCategories(kClass, 1, &kSafeForScripting, 0, nullptr));
    EXPECT_EQ(S_OK,
              information_->IsClassOfCategories(kClass, 1, &kSafeForScripting, 1, &kSafeForInitialising));
    IEnumGUID* e = nullptr;
    ASSERT_EQ(S_OK,
              information_->EnumClassesOfCategories(1, &kSafeForScripting, 1, &kSafeForInitialising, &e));
    EXPECT_EQ(std::vector<GUID>{kClass}, Drain(e));
    ASSERT_EQ(S_OK, information_->EnumClassesOfCategories(1, &kSafeForScripting, 0, nullptr, &e));
    EXPECT_TRUE(Drain(e).empty());

    ASSERT_EQ(S_OK, information_->EnumReqCategoriesOfClass(kClass, &e));
    EXPECT_EQ(std::vector<GUID>{kSafeForInitialising}, Drain(e));
    ASSERT_EQ(S_OK, registrar_->UnRegisterClassReqCategories(kClass, 1, &initialising));
    EXPECT_EQ(0u, SubkeyCount(kClassKey + u"\\Required Categories"));
    EXPECT_EQ(S_OK, information_->IsClassOfCategories(kClass, 1, &kSafeForScripting, 0, nullptr));
}

TEST_F(Categories, CategoryDescriptionsAreKeptPerLocale)
{
    CATEGORYINFO info[2] = {};
    info[0].catid = kSafeForScripting;
    info[0].lcid = 0x0409;
    std::u16string text = u"Controls that are safely scriptable";
    std::copy(text.begin(), text.end(), info[0].szDescription);
    info[1].catid = kSafeForScripting;
    info[1].lcid = 0x0419;
    text = u"Безопасно для сценариев";
    std::copy(text.begin(), text.end(), info[1].szDescription);
    ASSERT_EQ(S_OK, registrar_->RegisterCategories(2, info));

    // Values named by the locale in hex, as "409".
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT,
                                           u"Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}", 0,
                                           KEY_READ, &key));
    WCHAR value[128];
    DWORD size = sizeof value;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, u"409", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size));
    EXPECT_EQ(u"Controls that are safely scriptable", std::u16string(value));
    RegCloseKey(key);

    LPWSTR description = nullptr;
    ASSERT_EQ(S_OK, information_->GetCategoryDesc(kSafeForScripting, 0x0419, &description));
    EXPECT_EQ(u"Безопасно для сценариев", std::u16string(description));
    CoTaskMemFree(description);
    // Same primary language, other sublanguage.
    ASSERT_EQ(S_OK, information_->GetCategoryDesc(kSafeForScripting, 0x0809, &description));
    EXPECT_EQ(u"Controls that are safely scriptable", std::u16string(description));
    CoTaskMemFree(description);
    EXPECT_EQ(CAT_E_NODESCRIPTION, information_->GetCategoryDesc(kSafeForScripting, 0x0407, &description));
    EXPECT_EQ(CAT_E_CATIDNOEXIST, information_->GetCategoryDesc(kSafeForInitialising, 0x0409, &description));
    EXPECT_EQ(nullptr, description);

    IEnumCATEGORYINFO* raw = nullptr;
    ASSERT_EQ(S_OK, information_->EnumCategories(0x0409, &raw));
    ComPtr<IEnumCATEGORYINFO> e(raw);
    CATEGORYINFO got[2];
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, e->Next(2, got, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(kSafeForScripting, got[0].catid);
    EXPECT_EQ(u"Controls that are safely scriptable", std::u16string(got[0].szDescription));

    CATID catid = kSafeForScripting;
    ASSERT_EQ(S_OK, registrar_->UnRegisterCategories(1, &catid));
    EXPECT_FALSE(ClassesRootKeyExists(u"Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
}

TEST_F(Categories, ManagerAnswersItsInterfacesOnly)
{
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, registrar_->QueryInterface(IID_IDispatch, &p));
    EXPECT_EQ(nullptr, p);
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    ASSERT_EQ(S_OK, registrar_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)));
    ASSERT_EQ(S_OK, information_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b)));
    EXPECT_EQ(a, b); // one identity
    a->Release();
    b->Release();
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_StdComponentCategoriesMgr, a, CLSCTX_INPROC_SERVER, IID_IUnknown, &p));
}

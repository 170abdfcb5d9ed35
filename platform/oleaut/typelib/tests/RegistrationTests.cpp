// RegisterTypeLib / UnRegisterTypeLib / LoadRegTypeLib / QueryPathOfRegTypeLib
// and the registry entries they write and read.
#include "TestSupport.h"
#include "TypeLibFormat.h"

#include "TestHome.h"

#include <gtest/gtest.h>

using namespace typelib_test;
namespace tl = trumik::typelib;

namespace {

const std::u16string kLibKey = u"TypeLib\\{E5C22796-7B83-4CD3-88C7-E4B63215E540}";
const std::u16string kPSOA = u"{00020424-0000-0000-C000-000000000046}";

const std::vector<std::pair<std::u16string, std::u16string>> kInterfaces = {
    {u"{0FB9D19C-5E40-4503-A381-8B0CE579F233}", u"ICryptEncMessage"},
    {u"{A5CA66FE-A165-4683-8BA7-148730152FED}", u"IMSXmlSigner"},
    {u"{44CDB0A0-3E52-4B66-9640-F3D111087350}", u"IMSXmlVerifier"},
    {u"{63ECEA47-D5A2-4470-B0E6-B869A4D33B21}", u"IXmlSigner"},
};

void SetDefault(const std::u16string& path, const std::u16string& value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * 2));
    RegCloseKey(key);
}

class Registration : public ::testing::Test {
  protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, kLibKey.c_str());
        for (const auto& [iid, name] : kInterfaces)
            RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"Interface\\" + iid).c_str());
        path = Widen(TYPELIB_TEST_COMPONENT_TLB);
        lib = Load(TYPELIB_TEST_COMPONENT_TLB);
        ASSERT_TRUE(lib);
    }
    std::u16string path;
    Ptr<ITypeLib> lib;
};

TEST_F(Registration, WritesTheLibraryAndInterfaceEntries)
{
    ASSERT_EQ(RegisterTypeLib(lib.get(), path.c_str(), u"/opt/help"), S_OK);
    const std::u16string version = kLibKey + u"\\1.4";
    EXPECT_EQ(RegString(version), u"Zelvane.Trumik.XmlSigner 1.4 Type Library");
    EXPECT_EQ(RegString(version + u"\\409\\win32"), path);
    EXPECT_EQ(RegString(version + u"\\FLAGS"), u"0");
    EXPECT_EQ(RegString(version + u"\\HELPDIR"), u"/opt/help");
    EXPECT_FALSE(RegKeyExists(version + u"\\0"));
    for (const auto& [iid, name] : kInterfaces) {
        SCOPED_TRACE(::testing::PrintToString(name));
        const std::u16string key = u"Interface\\" + iid;
        EXPECT_EQ(RegString(key), name);
        EXPECT_EQ(RegString(key + u"\\ProxyStubClsid"), kPSOA);
        EXPECT_EQ(RegString(key + u"\\ProxyStubClsid32"), kPSOA);
        EXPECT_EQ(RegString(key + u"\\TypeLib"), u"{E5C22796-7B83-4CD3-88C7-E4B63215E540}");
        EXPECT_EQ(RegString(key + u"\\TypeLib", u"Version"), u"1.4");
    }
    // Classes have no interface entries.
    EXPECT_FALSE(RegKeyExists(u"Interface\\{3C6084B9-D9AD-4B67-8D80-5B7969A86364}"));

    // Registering again, without a help folder, rewrites the same keys.
    ASSERT_EQ(RegisterTypeLib(lib.get(), path.c_str(), nullptr), S_OK);
    EXPECT_EQ(RegString(version + u"\\HELPDIR"), u"");

    EXPECT_EQ(RegisterTypeLib(nullptr, path.c_str(), nullptr), E_INVALIDARG);
    EXPECT_EQ(RegisterTypeLib(lib.get(), nullptr, nullptr), E_INVALIDARG);
}

TEST_F(Registration, LoadRegTypeLibFindsTheBestMinorVersionAndLocale)
{
    ASSERT_EQ(RegisterTypeLib(lib.get(), path.c_str(), nullptr), S_OK);
    ITypeLib* found = nullptr;
    // 1.0 is satisfied by the registered 1.4.
    ASSERT_EQ(LoadRegTypeLib(kLibid, 1, 0, 0x0409, &found), S_OK);
    TLIBATTR* attr = nullptr;
    found->GetLibAttr(&attr);
    EXPECT_EQ(attr->wMinorVerNum, 4);
    found->ReleaseTLibAttr(attr);
    found->Release();

    BSTR where = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(kLibid, 1, 4, 0x0409, &where), S_OK);
    Bstr g(where);
    EXPECT_EQ(Text(where), path);

    EXPECT_EQ(LoadRegTypeLib(kLibid, 1, 5, 0x0409, &found), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(LoadRegTypeLib(kLibid, 2, 0, 0x0409, &found), TYPE_E_LIBNOTREGISTERED);
    // Registered under 409 only: another English locale finds neither its
    // primary language (9) nor neutral (0); a language-neutral request takes
    // the registered locale.
    EXPECT_EQ(LoadRegTypeLib(kLibid, 1, 0, 0x0809, &found), TYPE_E_LIBNOTREGISTERED);
    for (LCID neutral : {0x0u, 0x400u, 0x800u}) {
        ASSERT_EQ(LoadRegTypeLib(kLibid, 1, 0, neutral, &found), S_OK) << neutral;
        found->Release();
    }
    GUID other = kLibid;
    other.Data1 ^= 1;
    EXPECT_EQ(LoadRegTypeLib(other, 1, 0, 0x0409, &found), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(QueryPathOfRegTypeLib(other, 1, 0, 0x0409, &where), TYPE_E_LIBNOTREGISTERED);

    // Other versions by hand: the highest minor wins unless the exact one exists.
    SetDefault(kLibKey + u"\\1.6\\0\\win32", u"/nowhere/v16.tlb");
    SetDefault(kLibKey + u"\\1.a\\9\\win32", u"/nowhere/v1a.tlb");
    SetDefault(kLibKey + u"\\junk", u"");
    BSTR p = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(kLibid, 1, 0, 0x0409, &p), S_OK);
    EXPECT_EQ(Text(p), u"/nowhere/v1a.tlb"); // 1.10 through the primary language 9
    SysFreeString(p);
    ASSERT_EQ(QueryPathOfRegTypeLib(kLibid, 1, 4, 0x0409, &p), S_OK);
    EXPECT_EQ(Text(p), path);
    SysFreeString(p);
    ASSERT_EQ(QueryPathOfRegTypeLib(kLibid, 1, 6, 0x0419, &p), S_OK);
    EXPECT_EQ(Text(p), u"/nowhere/v16.tlb"); // exact version, neutral locale
    SysFreeString(p);
    SetDefault(kLibKey + u"\\1.a\\7\\win32", u"/nowhere/v1a-7.tlb");
    ASSERT_EQ(QueryPathOfRegTypeLib(kLibid, 1, 10, 0, &p), S_OK);
    EXPECT_EQ(Text(p), u"/nowhere/v1a-7.tlb"); // neutral request: the lowest locale
    SysFreeString(p);
    // A registered path that does not load gives the load failure.
    EXPECT_EQ(LoadRegTypeLib(kLibid, 1, 6, 0, &found), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(QueryPathOfRegTypeLib(kLibid, 1, 0, 0, nullptr), E_INVALIDARG);
}

TEST_F(Registration, UnregisterRemovesOnlyThisLibrarysEntries)
{
    ASSERT_EQ(RegisterTypeLib(lib.get(), path.c_str(), nullptr), S_OK);
    // One interface entry now belongs to another library; it stays.
    const std::u16string foreign = u"Interface\\" + kInterfaces[3].first + u"\\TypeLib";
    SetDefault(foreign, u"{00000000-0000-0000-0000-000000000001}");

    EXPECT_EQ(UnRegisterTypeLib(kLibid, 1, 4, 0x0409, SYS_WIN32), S_OK);
    EXPECT_FALSE(RegKeyExists(kLibKey));
    for (size_t i = 0; i < 3; ++i)
        EXPECT_FALSE(RegKeyExists(u"Interface\\" + kInterfaces[i].first));
    EXPECT_TRUE(RegKeyExists(foreign));
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"Interface\\" + kInterfaces[3].first).c_str());

    ITypeLib* found = nullptr;
    EXPECT_EQ(LoadRegTypeLib(kLibid, 1, 0, 0x0409, &found), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(UnRegisterTypeLib(kLibid, 1, 4, 0x0409, SYS_WIN32), TYPE_E_REGISTRYACCESS);
}

TEST_F(Registration, UnregisterKeepsOtherVersionsAndLocales)
{
    ASSERT_EQ(RegisterTypeLib(lib.get(), path.c_str(), nullptr), S_OK);
    SetDefault(kLibKey + u"\\1.4\\0\\win32", path);
    SetDefault(kLibKey + u"\\1.3\\409\\win32", path);

    EXPECT_EQ(UnRegisterTypeLib(kLibid, 1, 4, 0x0409, SYS_WIN32), S_OK);
    EXPECT_FALSE(RegKeyExists(kLibKey + u"\\1.4\\409"));
    EXPECT_EQ(RegString(kLibKey + u"\\1.4\\0\\win32"), path);
    EXPECT_TRUE(RegKeyExists(kLibKey + u"\\1.4\\FLAGS"));
    EXPECT_EQ(UnRegisterTypeLib(kLibid, 1, 4, 0x0409, SYS_WIN32), TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(UnRegisterTypeLib(kLibid, 1, 4, 0, SYS_WIN64), TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(UnRegisterTypeLib(kLibid, 1, 4, 0, SYS_WIN32), S_OK);
    EXPECT_FALSE(RegKeyExists(kLibKey + u"\\1.4"));
    EXPECT_EQ(RegString(kLibKey + u"\\1.3\\409\\win32"), path);
    EXPECT_EQ(UnRegisterTypeLib(kLibid, 1, 3, 0x0409, SYS_WIN32), S_OK);
    EXPECT_FALSE(RegKeyExists(kLibKey));
}

// A library written directly: no help string (the name is registered), a
// dispatch interface (the dispatch marshaler), a plain interface without
// automation flags (no entry), 64-bit target, library flags.
TEST(RegistrationOfOtherLibraries, NameFallbackDispatchInterfacesAndTargets)
{
    tl::LibModel model;
    model.name = u"Bare";
    tl::ParseGuid(std::u16string_view(u"{22222222-0000-0000-0000-000000000001}"), model.libid);
    model.major = 3;
    model.minor = 0;
    model.lcid = 0x419;
    model.syskind = SYS_WIN64;
    model.flags = LIBFLAG_FHIDDEN | LIBFLAG_FHASDISKIMAGE;
    tl::TypeModel disp;
    disp.kind = TKIND_DISPATCH;
    disp.name = u"DEvents";
    tl::ParseGuid(std::u16string_view(u"{22222222-0000-0000-0000-000000000002}"), disp.guid);
    disp.impls.push_back({tl::kStdoleRef | tl::kStdoleIDispatch, 0});
    tl::TypeModel plain;
    plain.kind = TKIND_INTERFACE;
    plain.name = u"ICustom";
    tl::ParseGuid(std::u16string_view(u"{22222222-0000-0000-0000-000000000003}"), plain.guid);
    plain.impls.push_back({tl::kStdoleRef | tl::kStdoleIUnknown, 0});
    tl::FuncModel f;
    f.name = u"Go";
    f.slot = 3;
    f.ret.chain = {VT_HRESULT};
    plain.funcs.push_back(f);
    model.types = {disp, plain};
    const auto file = trumik::testing::MakeTempDir("typelib-reg") / "bare.tlb";
    trumik::testing::WriteFile(file, tl::Serialize(model));

    Ptr<ITypeLib> lib = Load(file.string());
    ASSERT_TRUE(lib);
    const std::u16string path = Widen(file.string());
    ASSERT_EQ(RegisterTypeLib(lib.get(), path.c_str(), nullptr), S_OK);
    const std::u16string key = u"TypeLib\\{22222222-0000-0000-0000-000000000001}\\3.0";
    EXPECT_EQ(RegString(key), u"Bare");
    EXPECT_EQ(RegString(key + u"\\419\\win64"), path);
    EXPECT_EQ(RegString(key + u"\\FLAGS"), u"12");
    EXPECT_EQ(RegString(u"Interface\\{22222222-0000-0000-0000-000000000002}\\ProxyStubClsid32"),
              u"{00020420-0000-0000-C000-000000000046}");
    EXPECT_FALSE(RegKeyExists(u"Interface\\{22222222-0000-0000-0000-000000000003}"));

    // The 64-bit entry is found when there is no 32-bit one.
    ITypeLib* found = nullptr;
    ASSERT_EQ(LoadRegTypeLib(model.libid, 3, 0, 0x419, &found), S_OK);
    found->Release();
    EXPECT_EQ(UnRegisterTypeLib(model.libid, 3, 0, 0x419, SYS_WIN32), TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(UnRegisterTypeLib(model.libid, 3, 0, 0x419, SYS_WIN64), S_OK);
    EXPECT_FALSE(RegKeyExists(u"TypeLib\\{22222222-0000-0000-0000-000000000001}"));
    EXPECT_FALSE(RegKeyExists(u"Interface\\{22222222-0000-0000-0000-000000000002}"));
}

} // namespace

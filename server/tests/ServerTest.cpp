// The module through its exports, COM activation and the binary interface.
#include "ZelvaneTrumikXmlSigner.h"

#include "TestHome.h"

#include <comcat.h>
#include <libloaderapi.h>
#include <objbase.h>
#include <winnls.h>
#include <winreg.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

std::u16string U16Utf8(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
    out.pop_back();
    return out;
}

std::string Utf8(const OLECHAR* text)
{
    if (!text)
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.pop_back();
    return out;
}

fs::path ModuleFile()
{
    const char* build = std::getenv("TRUMIK_BUILD_DIR");
    return fs::path(build ? build : ".") / "lib" / "Zelvane.Trumik.XmlSigner.so";
}

struct Bstr {
    BSTR p = nullptr;
    Bstr() = default;
    explicit Bstr(const std::u16string& s) : p(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    ~Bstr() { SysFreeString(p); }
};

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref()
    {
        if (p)
            p->Release();
    }
    void** Out() { return reinterpret_cast<void**>(&p); }
    T** Typed() { return &p; }
};

std::optional<std::u16string> RegString(const std::u16string& key, const char16_t* value = nullptr)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return std::nullopt;
    OLECHAR buffer[1024] = {};
    DWORD size = sizeof buffer, type = 0;
    LSTATUS status = RegQueryValueExW(h, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(h);
    if (status != ERROR_SUCCESS)
        return std::nullopt;
    return std::u16string(buffer);
}

bool KeyExists(const std::u16string& key)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

const std::u16string kClsid = u"{3C6084B9-D9AD-4B67-8D80-5B7969A86364}";

class ServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        module_ = LoadLibraryW(U16Utf8(ModuleFile().string()).c_str());
        ASSERT_NE(module_, nullptr) << ModuleFile();
        getClassObject_ = reinterpret_cast<decltype(getClassObject_)>(GetProcAddress(module_, "DllGetClassObject"));
        canUnloadNow_ = reinterpret_cast<decltype(canUnloadNow_)>(GetProcAddress(module_, "DllCanUnloadNow"));
        registerServer_ = reinterpret_cast<decltype(registerServer_)>(GetProcAddress(module_, "DllRegisterServer"));
        unregisterServer_ =
            reinterpret_cast<decltype(unregisterServer_)>(GetProcAddress(module_, "DllUnregisterServer"));
        ASSERT_TRUE(getClassObject_ && canUnloadNow_ && registerServer_ && unregisterServer_);
        ASSERT_EQ(registerServer_(), S_OK);

        fs::path dir = tt::MakeTempDir("server");
        key_ = dir / "signer.pem";
        ASSERT_EQ(tt::RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=S -days 3 -keyout " +
                                 (dir / "k.pem").string() + " -out " + (dir / "c.pem").string()),
                  0);
        tt::WriteFile(key_, tt::ReadFile(dir / "k.pem") + tt::ReadFile(dir / "c.pem"));
    }

    static IXmlSigner* NewSigner()
    {
        void* out = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_CXmlSigner, nullptr, CLSCTX_INPROC_SERVER, IID_IXmlSigner, &out), S_OK);
        return static_cast<IXmlSigner*>(out);
    }

    static HMODULE module_;
    static HRESULT (*getClassObject_)(REFCLSID, REFIID, void**);
    static HRESULT (*canUnloadNow_)();
    static HRESULT (*registerServer_)();
    static HRESULT (*unregisterServer_)();
    static fs::path key_;
};

HMODULE ServerTest::module_ = nullptr;
HRESULT (*ServerTest::getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
HRESULT (*ServerTest::canUnloadNow_)() = nullptr;
HRESULT (*ServerTest::registerServer_)() = nullptr;
HRESULT (*ServerTest::unregisterServer_)() = nullptr;
fs::path ServerTest::key_;

} // namespace

TEST_F(ServerTest, RegistrationWritesTheClassLayout)
{
    EXPECT_EQ(RegString(u"ZelvaneTrumik.XmlSigner.1"), u"CXmlSigner Object");
    EXPECT_EQ(RegString(u"ZelvaneTrumik.XmlSigner.1\\CLSID"), kClsid);
    EXPECT_EQ(RegString(u"ZelvaneTrumik.XmlSigner"), u"CXmlSigner Object");
    EXPECT_EQ(RegString(u"ZelvaneTrumik.XmlSigner\\CurVer"), u"ZelvaneTrumik.XmlSigner.1");
    const std::u16string clsidKey = u"CLSID\\" + kClsid;
    EXPECT_EQ(RegString(clsidKey), u"CXmlSigner Object");
    EXPECT_EQ(RegString(clsidKey, u"AppID"), u"");
    EXPECT_EQ(RegString(clsidKey + u"\\ProgID"), u"ZelvaneTrumik.XmlSigner.1");
    EXPECT_EQ(RegString(clsidKey + u"\\VersionIndependentProgID"), u"ZelvaneTrumik.XmlSigner");
    EXPECT_TRUE(KeyExists(clsidKey + u"\\Programmable"));
    EXPECT_EQ(RegString(clsidKey + u"\\InprocServer32", u"ThreadingModel"), u"both");
    EXPECT_EQ(RegString(clsidKey + u"\\InprocServer32"), U16Utf8(fs::canonical(ModuleFile()).string()));
    EXPECT_EQ(RegString(clsidKey + u"\\TypeLib"), u"{E5C22796-7B83-4CD3-88C7-E4B63215E540}");
    EXPECT_TRUE(KeyExists(clsidKey + u"\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_TRUE(KeyExists(clsidKey + u"\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_FALSE(KeyExists(u"AppID\\ZelvaneTrumikXmlSigner.DLL"));
    EXPECT_TRUE(KeyExists(u"TypeLib\\{E5C22796-7B83-4CD3-88C7-E4B63215E540}\\1.4"));
    EXPECT_TRUE(KeyExists(u"Interface\\{63ECEA47-D5A2-4470-B0E6-B869A4D33B21}"));
}

TEST_F(ServerTest, ReRegistrationDropsStaleSubkeysAndUnregistrationKeepsClsid)
{
    const std::u16string stale = u"CLSID\\" + kClsid + u"\\Stale";
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, stale.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(h);
    ASSERT_EQ(registerServer_(), S_OK);
    EXPECT_FALSE(KeyExists(stale));
    EXPECT_TRUE(KeyExists(u"CLSID\\" + kClsid + u"\\InprocServer32"));

    ASSERT_EQ(unregisterServer_(), S_OK);
    EXPECT_TRUE(KeyExists(u"CLSID"));
    EXPECT_FALSE(KeyExists(u"CLSID\\" + kClsid));
    EXPECT_FALSE(KeyExists(u"ZelvaneTrumik.XmlSigner"));
    EXPECT_FALSE(KeyExists(u"ZelvaneTrumik.XmlSigner.1"));
    EXPECT_FALSE(KeyExists(u"TypeLib\\{E5C22796-7B83-4CD3-88C7-E4B63215E540}\\1.4"));
    // Absent keys are skipped; only the type library, already gone, may be reported.
    HRESULT again = unregisterServer_();
    EXPECT_TRUE(again == S_OK || again == TYPE_E_REGISTRYACCESS) << std::hex << again;
    ASSERT_EQ(registerServer_(), S_OK);
}

TEST_F(ServerTest, ClassFactoriesAreCachedAndCountedForUnloading)
{
    Ref<IClassFactory> first, second;
    ASSERT_EQ(getClassObject_(CLSID_CXmlSigner, IID_IClassFactory, first.Out()), S_OK);
    ASSERT_EQ(getClassObject_(CLSID_CXmlSigner, IID_IClassFactory, second.Out()), S_OK);
    EXPECT_EQ(first.p, second.p);
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    second.p->Release();
    second.p = nullptr;
    first.p->Release();
    first.p = nullptr;
    EXPECT_EQ(canUnloadNow_(), S_OK);

    void* none = reinterpret_cast<void*>(1);
    const CLSID unknownClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(getClassObject_(unknownClass, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(getClassObject_(CLSID_CXmlSigner, IID_IClassFactory, nullptr), E_POINTER);
    Ref<IUnknown> unknown;
    EXPECT_EQ(getClassObject_(CLSID_CXmlSigner, IID_IDispatch, unknown.Out()), E_NOINTERFACE);

    Ref<IClassFactory> factory;
    ASSERT_EQ(getClassObject_(CLSID_CXmlSigner, IID_IClassFactory, factory.Out()), S_OK);
    EXPECT_EQ(factory.p->LockServer(TRUE), S_OK);
    factory.p->Release();
    factory.p = nullptr;
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    ASSERT_EQ(getClassObject_(CLSID_CXmlSigner, IID_IClassFactory, factory.Out()), S_OK);
    EXPECT_EQ(factory.p->LockServer(FALSE), S_OK);
    {
        Ref<IXmlSigner> object;
        ASSERT_EQ(factory.p->CreateInstance(nullptr, IID_IXmlSigner, object.Out()), S_OK);
        factory.p->Release();
        factory.p = nullptr;
        EXPECT_EQ(canUnloadNow_(), S_FALSE);
    }
    EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(ServerTest, IdentityAndClassInformation)
{
    Ref<IXmlSigner> signer;
    signer.p = NewSigner();
    ASSERT_NE(signer.p, nullptr);
    Ref<IUnknown> unknown;
    Ref<IDispatch> dispatch;
    ASSERT_EQ(signer.p->QueryInterface(IID_IUnknown, unknown.Out()), S_OK);
    ASSERT_EQ(signer.p->QueryInterface(IID_IDispatch, dispatch.Out()), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown.p), static_cast<void*>(signer.p));
    EXPECT_EQ(static_cast<void*>(dispatch.p), static_cast<void*>(signer.p));

    const IID iidSupportErrorInfo = {0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
    void* none = nullptr;
    EXPECT_EQ(signer.p->QueryInterface(iidSupportErrorInfo, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    Ref<IProvideClassInfo> classInfo;
    ASSERT_EQ(signer.p->QueryInterface(IID_IProvideClassInfo, classInfo.Out()), S_OK);
    EXPECT_NE(static_cast<void*>(classInfo.p), static_cast<void*>(signer.p));
    Ref<ITypeInfo> coclass;
    ASSERT_EQ(classInfo.p->GetClassInfo(coclass.Typed()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(coclass.p->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, CLSID_CXmlSigner);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    coclass.p->ReleaseTypeAttr(attr);
    EXPECT_EQ(classInfo.p->GetClassInfo(nullptr), E_POINTER);

    UINT count = 0;
    EXPECT_EQ(signer.p->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    Ref<ITypeInfo> info;
    EXPECT_EQ(signer.p->GetTypeInfo(1, 0, info.Typed()), DISP_E_BADINDEX);
    ASSERT_EQ(signer.p->GetTypeInfo(0, 0, info.Typed()), S_OK);
    ASSERT_EQ(info.p->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IXmlSigner);
    info.p->ReleaseTypeAttr(attr);
}

TEST_F(ServerTest, NamesResolveFromTheFixedTable)
{
    Ref<IXmlSigner> signer;
    signer.p = NewSigner();
    const IID none = {};
    std::u16string a = u"signwithkey", b = u"KEYFILE", c = u"SignFGetLastError", d = u"Nope";
    LPOLESTR names[2] = {a.data(), b.data()};
    DISPID ids[2] = {};
    EXPECT_EQ(signer.p->GetIDsOfNames(none, names, 2, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 6);
    EXPECT_EQ(ids[1], 1);
    names[0] = c.data();
    EXPECT_EQ(signer.p->GetIDsOfNames(none, names, 1, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 7);
    names[1] = d.data();
    EXPECT_EQ(signer.p->GetIDsOfNames(none, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
}

TEST_F(ServerTest, InvokeChecksArgumentsInOrder)
{
    Ref<IXmlSigner> signer;
    signer.p = NewSigner();
    const IID none = {};
    VARIANT result;
    VariantInit(&result);
    UINT argErr = 99;
    EXPECT_EQ(signer.p->Invoke(6, none, 0, DISPATCH_METHOD, nullptr, &result, nullptr, &argErr), DISP_E_BADVARTYPE);
    DISPPARAMS empty = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(signer.p->Invoke(8, none, 0, DISPATCH_METHOD, &empty, &result, nullptr, &argErr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(signer.p->Invoke(6, none, 0, DISPATCH_METHOD, &empty, &result, nullptr, &argErr),
              DISP_E_BADPARAMCOUNT);

    // A by-reference string where a string is declared is refused, with its position.
    Bstr key(U16Utf8(key_.string()));
    BSTR referenced = key.p;
    VARIANT args[2];
    args[1].vt = VT_BSTR; // xml
    args[1].bstrVal = nullptr;
    args[0].vt = VT_BYREF | VT_BSTR; // keyFile
    args[0].pbstrVal = &referenced;
    DISPPARAMS two = {args, nullptr, 2, 0};
    EXPECT_EQ(signer.p->Invoke(6, none, 0, DISPATCH_METHOD, &two, &result, nullptr, &argErr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);

    // A number is converted to its text; a by-reference variant is converted in place.
    VARIANT callerVariable;
    callerVariable.vt = VT_I4;
    callerVariable.lVal = 42;
    args[1].vt = VT_BYREF | VT_VARIANT;
    args[1].pvarVal = &callerVariable;
    args[0].vt = VT_I4;
    args[0].lVal = 7;
    EXPECT_EQ(signer.p->Invoke(6, none, 0, DISPATCH_METHOD, &two, &result, nullptr, &argErr), S_FALSE);
    EXPECT_EQ(callerVariable.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(callerVariable.bstrVal), u"42");
    EXPECT_EQ(args[0].vt, VT_BSTR);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(result.bstrVal, nullptr);
    VariantClear(&callerVariable);
    VariantClear(&args[0]);

    Bstr message;
    ASSERT_EQ(signer.p->SignFGetLastError(&message.p), S_OK);
    EXPECT_EQ(Utf8(message.p), "10001 - Путь к PEM-файлу пуст или PEM-файл с ключём не найден.");
}

TEST_F(ServerTest, NamedArgumentsArePlacedByPosition)
{
    Ref<IXmlSigner> signer;
    signer.p = NewSigner();
    const IID none = {};
    Bstr xml(u"<doc>named</doc>"), key(U16Utf8(key_.string()));
    VARIANT args[2];
    args[0].vt = VT_BSTR; // named: keyFile (1)
    args[0].bstrVal = key.p;
    args[1].vt = VT_BSTR; // named: xml (0)
    args[1].bstrVal = xml.p;
    DISPID named[2] = {1, 0};
    DISPPARAMS params = {args, named, 2, 2};
    VARIANT result;
    VariantInit(&result);
    UINT argErr = 99;
    ASSERT_EQ(signer.p->Invoke(6, none, 0, DISPATCH_METHOD, &params, &result, nullptr, &argErr), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_NE(std::u16string(result.bstrVal).find(u"<doc>named<Signature"), std::u16string::npos);
    VariantClear(&result);

    DISPID outOfRange[2] = {1, 5};
    params.rgdispidNamedArgs = outOfRange;
    EXPECT_EQ(signer.p->Invoke(6, none, 0, DISPATCH_METHOD, &params, &result, nullptr, &argErr),
              DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(argErr, 1u);
}

TEST_F(ServerTest, EarlyAndLateBoundSigningAgree)
{
    Ref<IXmlSigner> signer;
    signer.p = NewSigner();
    Bstr xml(u"<doc>Текст</doc>"), key(U16Utf8(key_.string()));
    Bstr early;
    ASSERT_EQ(signer.p->SignWithKey(xml.p, key.p, &early.p), S_OK);
    ASSERT_NE(early.p, nullptr);

    const IID none = {};
    VARIANT args[2];
    args[1].vt = VT_BSTR;
    args[1].bstrVal = xml.p;
    args[0].vt = VT_BSTR;
    args[0].bstrVal = key.p;
    DISPPARAMS params = {args, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(signer.p->Invoke(6, none, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    // RSA PKCS#1 v1.5 signatures are deterministic: both texts are the same.
    EXPECT_EQ(std::u16string(result.bstrVal), std::u16string(early.p));
    VariantClear(&result);

    args[1].bstrVal = nullptr;
    ASSERT_EQ(signer.p->Invoke(6, none, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_FALSE);
    Bstr bad(u"<unclosed>");
    args[1].bstrVal = bad.p;
    EXPECT_EQ(signer.p->Invoke(6, none, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
              static_cast<HRESULT>(-1));
    DISPPARAMS noArgs = {nullptr, nullptr, 0, 0};
    ASSERT_EQ(signer.p->Invoke(7, none, 0, DISPATCH_METHOD, &noArgs, &result, nullptr, nullptr), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(Utf8(result.bstrVal), "10005 - Не удалось произвести разбор указанного документа.");
    VariantClear(&result);
}

namespace {

// An outer object that aggregates the signer and counts its own references.
struct Outer : IUnknown {
    ULONG refs = 1;
    IUnknown* inner = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

} // namespace

TEST_F(ServerTest, AggregationDelegatesToTheOuterObject)
{
    Ref<IClassFactory> factory;
    ASSERT_EQ(getClassObject_(CLSID_CXmlSigner, IID_IClassFactory, factory.Out()), S_OK);
    Outer outer;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory.p->CreateInstance(&outer, IID_IXmlSigner, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(factory.p->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    IXmlSigner* signer = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IXmlSigner, reinterpret_cast<void**>(&signer)), S_OK);
    EXPECT_EQ(outer.refs, 2u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(signer->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, &outer);
    identity->Release();
    signer->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(outer.inner->Release(), 0u);
}

TEST_F(ServerTest, ModulePathOfTwoHundredSixtyCharactersFailsRegistration)
{
    fs::path dir = tt::MakeTempDir("long");
    while (dir.string().size() < 262)
        dir /= std::string(60, 'x');
    fs::create_directories(dir);
    fs::path copy = dir / "Zelvane.Trumik.XmlSigner.so";
    fs::copy_file(ModuleFile(), copy);
    HMODULE other = LoadLibraryW(U16Utf8(copy.string()).c_str());
    ASSERT_NE(other, nullptr);
    auto reg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(other, "DllRegisterServer"));
    ASSERT_NE(reg, nullptr);
    EXPECT_EQ(reg(), static_cast<HRESULT>(0x8007007A));
    FreeLibrary(other);
    EXPECT_EQ(RegString(u"CLSID\\" + kClsid + u"\\InprocServer32"), U16Utf8(fs::canonical(ModuleFile()).string()));
}

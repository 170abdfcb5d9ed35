// CMSXmlSigner through COM: registration, early and late binding, the class's
// shared error stack and the release rules, as a host reaches them.
#include "ZelvaneTrumikXmlSigner.h"

#include "SignerFixtures.h"
#include "TestHome.h"

#include <libloaderapi.h>
#include <objbase.h>
#include <winreg.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using trumik::signertest::GetSignerFixtures;
using trumik::signertest::U16;
using trumik::signertest::Utf8;

namespace {

const IID kNoIid = {};

fs::path ModuleFile()
{
    const char* build = std::getenv("TRUMIK_BUILD_DIR");
    return fs::path(build ? build : ".") / "lib" / "Zelvane.Trumik.XmlSigner.so";
}

struct Bstr {
    BSTR p = nullptr;
    Bstr() = default;
    explicit Bstr(const std::u16string& s) : p(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    explicit Bstr(const std::string& ascii) : Bstr(std::u16string(ascii.begin(), ascii.end())) {}
    ~Bstr() { SysFreeString(p); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    std::u16string Text() const { return p ? std::u16string(p, SysStringLen(p)) : std::u16string(); }
};

template <class T> struct Ref {
    T* p = nullptr;
    ~Ref() { Reset(); }
    void Reset()
    {
        if (p)
            p->Release();
        p = nullptr;
    }
    void** Out() { return reinterpret_cast<void**>(&p); }
    T* operator->() const { return p; }
};

std::u16string RegValue(const std::u16string& key, const char16_t* value = nullptr)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return u"<absent>";
    OLECHAR buffer[1024] = {};
    DWORD size = sizeof buffer, type = 0;
    LSTATUS status = RegQueryValueExW(h, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(h);
    return status == ERROR_SUCCESS ? std::u16string(buffer) : u"<absent>";
}

// A late-bound call by name with the arguments in parameter order.
HRESULT CallByName(IDispatch* object, const char16_t* name, std::vector<VARIANT> args, VARIANT* result,
                   DISPID* dispid = nullptr)
{
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(kNoIid, names, 1, 0, &id);
    if (FAILED(hr))
        return hr;
    if (dispid)
        *dispid = id;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    UINT argErr = 0;
    return object->Invoke(id, kNoIid, 0, DISPATCH_METHOD, &params, result, nullptr, &argErr);
}

VARIANT Str(const Bstr& text)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text.p;
    return v;
}

class MSXmlSignerServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        GetSignerFixtures();
        module_ = LoadLibraryW(U16(ModuleFile().string()).c_str());
        ASSERT_NE(module_, nullptr) << ModuleFile();
        auto registerServer = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
    }

    static IMSXmlSigner* NewSigner()
    {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(u"ZelvaneTrumikXmlSigner.MSXmlSigner", &clsid), S_OK);
        EXPECT_TRUE(clsid == CLSID_CMSXmlSigner);
        void* out = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMSXmlSigner, &out), S_OK);
        return static_cast<IMSXmlSigner*>(out);
    }

    static std::u16string StackOf(IMSXmlSigner* signer)
    {
        Bstr stack;
        EXPECT_EQ(signer->SignGetLastErrorStack(&stack.p), S_OK);
        return stack.Text();
    }

    static HMODULE module_;
};

HMODULE MSXmlSignerServer::module_ = nullptr;

} // namespace

TEST_F(MSXmlSignerServer, RegistrationOfTheClass)
{
    const std::u16string clsid = u"CLSID\\{A4B9FF35-03A9-41C6-8881-3A59F572B446}";
    EXPECT_EQ(RegValue(clsid), u"CMSXmlSigner Object");
    EXPECT_EQ(RegValue(clsid + u"\\ProgID"), u"ZelvaneTrumikXmlSigner.MSXmlSigner.1");
    EXPECT_EQ(RegValue(clsid + u"\\VersionIndependentProgID"), u"ZelvaneTrumikXmlSigner.MSXmlSigner");
    EXPECT_EQ(RegValue(clsid + u"\\InprocServer32", u"ThreadingModel"), u"apartment");
    EXPECT_EQ(RegValue(clsid, u"AppID"), u"");
    EXPECT_EQ(RegValue(clsid + u"\\TypeLib"), u"{E5C22796-7B83-4CD3-88C7-E4B63215E540}");
    EXPECT_EQ(RegValue(u"ZelvaneTrumikXmlSigner.MSXmlSigner\\CurVer"),
              u"ZelvaneTrumikXmlSigner.MSXmlSigner.1");
    EXPECT_EQ(RegValue(u"ZelvaneTrumikXmlSigner.MSXmlSigner.1\\CLSID"),
              u"{A4B9FF35-03A9-41C6-8881-3A59F572B446}");
}

TEST_F(MSXmlSignerServer, EarlyAndLateBindingSignAlike)
{
    const auto& f = GetSignerFixtures();
    Ref<IMSXmlSigner> signer;
    signer.p = NewSigner();
    ASSERT_NE(signer.p, nullptr);

    // A new object: empty message, code 0.
    Bstr message;
    INT code = -1;
    ASSERT_EQ(signer->SignGetLastError(&message.p), S_OK);
    ASSERT_EQ(signer->SignGetLastErrorCode(&code), S_OK);
    EXPECT_EQ(message.Text(), u"");
    EXPECT_EQ(code, 0);

    Bstr xml(std::u16string(u"<doc>early</doc>")), store(std::u16string(u"My")), hash(f.good.thumbprint),
        pin(f.pin);
    Bstr early;
    ASSERT_EQ(signer->SignWithCertStorePass(xml.p, store.p, hash.p, pin.p, &early.p), S_OK);
    ASSERT_EQ(signer->SignGetLastErrorCode(&code), S_OK);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(early.Text().rfind(u"<doc>early<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\">", 0),
              0u);

    // By name, with DISPIDs 12 and 9.
    Ref<IDispatch> dispatch;
    ASSERT_EQ(signer->QueryInterface(IID_IDispatch, dispatch.Out()), S_OK);
    VARIANT result;
    VariantInit(&result);
    DISPID id = 0;
    ASSERT_EQ(CallByName(dispatch.p, u"signwithcertstorepass", {Str(xml), Str(store), Str(hash), Str(pin)},
                         &result, &id),
              S_OK);
    EXPECT_EQ(id, 12);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(result.bstrVal).rfind(u"<doc>early<Signature", 0), 0u);
    VariantClear(&result);

    // A failure by name: S_FALSE from Invoke, the code as VT_I4, the message by name.
    Bstr other(std::string(40, 'E'));
    EXPECT_EQ(CallByName(dispatch.p, u"SignWithCertStore", {Str(xml), Str(store), Str(other)}, &result, &id),
              S_FALSE);
    EXPECT_EQ(id, 8);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(result.bstrVal, nullptr);
    VariantClear(&result);
    ASSERT_EQ(CallByName(dispatch.p, u"SignGetLastError", {}, &result, &id), S_OK);
    EXPECT_EQ(id, 9);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(result.bstrVal),
              u"Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 00007)");
    VariantClear(&result);
    ASSERT_EQ(CallByName(dispatch.p, u"SignGetLastErrorCode", {}, &result, &id), S_OK);
    EXPECT_EQ(id, 10);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 7);
    VariantClear(&result);
    ASSERT_EQ(CallByName(dispatch.p, u"SignGetLastErrorStack", {}, &result, &id), S_OK);
    EXPECT_EQ(id, 11);
    VariantClear(&result);

    // Only method names are known; no named arguments; the count must match.
    DISPID ids[2] = {};
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"SignWithCertStore"), const_cast<LPOLESTR>(u"xml")};
    EXPECT_EQ(dispatch->GetIDsOfNames(kNoIid, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    VARIANT args[3] = {Str(hash), Str(store), Str(xml)};
    DISPID named = 0;
    DISPPARAMS withNames{args, &named, 3, 1};
    UINT argErr = 0;
    EXPECT_EQ(dispatch->Invoke(8, kNoIid, 0, DISPATCH_METHOD, &withNames, &result, nullptr, &argErr),
              DISP_E_NONAMEDARGS);
    DISPPARAMS two{args, nullptr, 2, 0};
    EXPECT_EQ(dispatch->Invoke(8, kNoIid, 0, DISPATCH_METHOD, &two, &result, nullptr, &argErr),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(dispatch->Invoke(13, kNoIid, 0, DISPATCH_METHOD, &two, &result, nullptr, &argErr),
              DISP_E_MEMBERNOTFOUND);
}

TEST_F(MSXmlSignerServer, TwoObjectsShareTheStackAndReleaseEmptiesIt)
{
    const auto& f = GetSignerFixtures();
    Ref<IMSXmlSigner> first, second, idle;
    first.p = NewSigner();
    second.p = NewSigner();
    idle.p = NewSigner();
    Bstr xml(std::u16string(u"<doc/>")), store(std::u16string(u"My")), missing(std::string(40, 'C'));
    Bstr out;
    EXPECT_EQ(first->SignWithCertStore(xml.p, store.p, missing.p, &out.p), S_FALSE);
    const std::u16string stack = StackOf(first.p);
    EXPECT_NE(stack, u"");
    EXPECT_EQ(StackOf(second.p), stack);
    INT code = -1;
    second->SignGetLastErrorCode(&code);
    EXPECT_EQ(code, 0);
    first->SignGetLastErrorCode(&code);
    EXPECT_EQ(code, 7);

    // Releasing an object that never started the libraries keeps the text;
    // releasing one that started them empties it for every object.
    idle.Reset();
    EXPECT_EQ(StackOf(second.p), stack);
    first.Reset();
    EXPECT_EQ(StackOf(second.p), u"");
    (void)f;
}

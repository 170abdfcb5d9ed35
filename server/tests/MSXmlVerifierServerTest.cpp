// CMSXmlVerifier through the module: activation, early and late binding, the
// dispatch identifiers, registration and the class-wide stack.
#include "ZelvaneTrumikXmlSigner.h"

#include "TestHome.h"

#include <libloaderapi.h>
#include <objbase.h>
#include <winnls.h>
#include <winreg.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

const IID kNoIid = {};

std::u16string U16(const std::string& utf8)
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

struct Bstr {
    BSTR p = nullptr;
    Bstr() = default;
    explicit Bstr(const std::string& s) : p(SysAllocString(U16(s).c_str())) {}
    ~Bstr() { SysFreeString(p); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
};

template <class T> struct Ref {
    T* p = nullptr;
    Ref() = default;
    ~Ref()
    {
        if (p)
            p->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    void** Out() { return reinterpret_cast<void**>(&p); }
};

std::u16string RegDefault(const std::u16string& key, const char16_t* value = nullptr)
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

DISPID IdOf(IDispatch* object, const char16_t* name)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(kNoIid, names, 1, 0, &id), S_OK) << Utf8(name);
    return id;
}

// Invokes by DISPID with copies of the arguments in parameter order (the
// call may convert them in place).
HRESULT InvokeWith(IDispatch* object, DISPID id, std::initializer_list<VARIANT> args, VARIANT* result)
{
    std::vector<VARIANT> reversed(args.size());
    size_t i = args.size();
    for (const VARIANT& arg : args) {
        VariantInit(&reversed[--i]);
        VariantCopy(&reversed[i], &arg);
    }
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    UINT argErr = 0;
    HRESULT hr = object->Invoke(id, kNoIid, 0, DISPATCH_METHOD, &params, result, nullptr, &argErr);
    for (VARIANT& arg : reversed)
        VariantClear(&arg);
    return hr;
}

VARIANT Text(BSTR text)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text;
    return v;
}

class VerifierServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const char* build = std::getenv("TRUMIK_BUILD_DIR");
        fs::path module = fs::path(build ? build : ".") / "lib" / "Zelvane.Trumik.XmlSigner.so";
        HMODULE handle = LoadLibraryW(U16(module.string()).c_str());
        ASSERT_NE(handle, nullptr) << module;
        auto registerServer = reinterpret_cast<HRESULT (*)()>(GetProcAddress(handle, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
        dir_ = tt::MakeTempDir("verifier-server");
        ASSERT_EQ(
            tt::RunCommand("cd '" + dir_.string() +
                           "' && openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=R -days 3 "
                           "-keyout k.pem -out c.pem && openssl x509 -in c.pem -outform DER -out c.der"),
            0);
    }

    static IMSXmlVerifier* NewVerifier()
    {
        void* out = nullptr;
        EXPECT_EQ(
            CoCreateInstance(CLSID_CMSXmlVerifier, nullptr, CLSCTX_INPROC_SERVER, IID_IMSXmlVerifier, &out),
            S_OK);
        return static_cast<IMSXmlVerifier*>(out);
    }

    static fs::path dir_;
};

fs::path VerifierServerTest::dir_;

} // namespace

TEST_F(VerifierServerTest, RegisteredAsAnApartmentClassWithItsProgIds)
{
    const std::u16string clsid = u"CLSID\\{A07E2B70-AF5E-4BFA-8D45-C71B98BB6805}";
    EXPECT_EQ(RegDefault(clsid), u"CMSXmlVerifier Object");
    EXPECT_EQ(RegDefault(clsid + u"\\InprocServer32", u"ThreadingModel"), u"apartment");
    EXPECT_EQ(RegDefault(clsid + u"\\ProgID"), u"ZelvaneTrumikXmlSigner.MSXmlVerifier.1");
    EXPECT_EQ(RegDefault(u"ZelvaneTrumikXmlSigner.MSXmlVerifier\\CurVer"),
              u"ZelvaneTrumikXmlSigner.MSXmlVerifier.1");
    CLSID byProgId{};
    EXPECT_EQ(CLSIDFromProgID(u"ZelvaneTrumikXmlSigner.MSXmlVerifier", &byProgId), S_OK);
    EXPECT_TRUE(byProgId == CLSID_CMSXmlVerifier);
}

TEST_F(VerifierServerTest, EarlyBindingThroughTheVirtualTable)
{
    Ref<IMSXmlVerifier> v;
    v.p = NewVerifier();
    ASSERT_NE(v.p, nullptr);
    INT code = 5;
    BSTR message = nullptr;
    EXPECT_EQ(v.p->SignGetLastErrorCode(&code), S_OK);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(v.p->SignGetLastError(&message), S_OK);
    EXPECT_EQ(Utf8(message), "");
    SysFreeString(message);

    Bstr cert((dir_ / "c.der").string());
    VARIANT_BOOL result = VARIANT_TRUE;
    EXPECT_EQ(v.p->VerifyCertIsGOSTUsingCertFile(cert.p, &result), 1);
    EXPECT_EQ(result, VARIANT_FALSE);
    EXPECT_EQ(v.p->SignGetLastErrorCode(&code), S_OK);
    EXPECT_EQ(code, 21007);
    EXPECT_EQ(v.p->VerifyCertUsageUsingCertFile(cert.p, &result), 1);
    EXPECT_EQ(v.p->SignGetLastErrorCode(&code), S_OK);
    EXPECT_EQ(code, 22007);
    EXPECT_EQ(v.p->VerifyCertTimeValidityUsingCertFile(cert.p, &result), S_OK);
    EXPECT_EQ(result, VARIANT_TRUE);
    EXPECT_EQ(v.p->VerifyCertTimeValidityUsingCertFileAndDate(cert.p, 1.0, &result), 1);
    EXPECT_EQ(v.p->SignGetLastErrorCode(&code), S_OK);
    EXPECT_EQ(code, 20007);
    result = 3;
    EXPECT_EQ(v.p->VerifyUsingCertFile(nullptr, nullptr, &result), 1);
    EXPECT_EQ(v.p->SignGetLastErrorCode(&code), S_OK);
    EXPECT_TRUE(code == -2003 || code == -2001) << code;
}

TEST_F(VerifierServerTest, LateBindingByNameWithTheDispatchIdentifiers)
{
    Ref<IDispatch> d;
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"ZelvaneTrumikXmlSigner.MSXmlVerifier", &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, d.Out()), S_OK);
    EXPECT_EQ(IdOf(d.p, u"VerifyUsingCertFile"), 21);
    EXPECT_EQ(IdOf(d.p, u"verifyusingcertfilewocert"), 30);
    EXPECT_EQ(IdOf(d.p, u"VerifyUsingCertFileAndDate"), 29);
    EXPECT_EQ(IdOf(d.p, u"VerifyCertTimeValidityUsingCertFile"), 22);
    EXPECT_EQ(IdOf(d.p, u"VerifyCertIsGOSTUsingCertFile"), 23);
    EXPECT_EQ(IdOf(d.p, u"VerifyCertUsageUsingCertFile"), 24);
    EXPECT_EQ(IdOf(d.p, u"SignGetLastError"), 25);
    EXPECT_EQ(IdOf(d.p, u"SignGetLastErrorCode"), 26);
    EXPECT_EQ(IdOf(d.p, u"SignGetLastErrorStack"), 27);
    EXPECT_EQ(IdOf(d.p, u"VerifyCertTimeValidityUsingCertFileAndDate"), 28);
    LPOLESTR withParam[] = {const_cast<LPOLESTR>(u"VerifyUsingCertFile"), const_cast<LPOLESTR>(u"signedXml")};
    DISPID ids[2] = {};
    EXPECT_EQ(d.p->GetIDsOfNames(kNoIid, withParam, 2, 0, ids), DISP_E_UNKNOWNNAME);

    // The certificate check by DISPID: the verdict as a boolean variant, the code as VT_I4.
    Bstr cert((dir_ / "c.der").string());
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(InvokeWith(d.p, 23, {Text(cert.p)}, &result), 1);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_FALSE);
    VariantClear(&result);
    EXPECT_EQ(InvokeWith(d.p, 26, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 21007);
    VariantClear(&result);
    EXPECT_EQ(InvokeWith(d.p, 25, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(Utf8(result.bstrVal),
              "Алгоритм подписи указанного сертификата не поддерживается ГОСТ.(Код ошибки-21007)");
    VariantClear(&result);

    // One argument where two are declared; a date given as text is converted.
    EXPECT_EQ(InvokeWith(d.p, 21, {Text(cert.p)}, &result), DISP_E_BADPARAMCOUNT);
    Bstr date("2001-01-01");
    EXPECT_EQ(InvokeWith(d.p, 28, {Text(cert.p), Text(date.p)}, &result), 1);
    EXPECT_EQ(InvokeWith(d.p, 26, {}, &result), S_OK);
    EXPECT_EQ(result.lVal, 20007);
    VariantClear(&result);
    EXPECT_EQ(InvokeWith(d.p, 31, {}, &result), DISP_E_MEMBERNOTFOUND);
}

TEST_F(VerifierServerTest, TwoObjectsShareTheStackAndKeepTheirCodes)
{
    Ref<IMSXmlVerifier> a, b;
    a.p = NewVerifier();
    b.p = NewVerifier();
    ASSERT_TRUE(a.p && b.p);
    tt::WriteFile(dir_ / "random.bin", std::string(300, '\x5a'));
    Bstr junk((dir_ / "random.bin").string());
    VARIANT_BOOL result = VARIANT_TRUE;
    EXPECT_EQ(a.p->VerifyCertUsageUsingCertFile(junk.p, &result), 1);
    EXPECT_EQ(result, VARIANT_FALSE);
    INT codeA = 0, codeB = 5;
    a.p->SignGetLastErrorCode(&codeA);
    b.p->SignGetLastErrorCode(&codeB);
    EXPECT_NE(codeA, 0);
    EXPECT_EQ(codeB, 0);
    BSTR stackA = nullptr, stackB = nullptr;
    a.p->SignGetLastErrorStack(&stackA);
    b.p->SignGetLastErrorStack(&stackB);
    EXPECT_FALSE(Utf8(stackA).empty()) << "the system's text for the failed open";
    EXPECT_EQ(Utf8(stackA), Utf8(stackB));
    SysFreeString(stackA);
    SysFreeString(stackB);
}

TEST_F(VerifierServerTest, IdentityAndNoErrorObjects)
{
    Ref<IMSXmlVerifier> v;
    v.p = NewVerifier();
    ASSERT_NE(v.p, nullptr);
    Ref<IUnknown> unknown;
    Ref<IDispatch> dispatch;
    EXPECT_EQ(v.p->QueryInterface(IID_IUnknown, unknown.Out()), S_OK);
    EXPECT_EQ(v.p->QueryInterface(IID_IDispatch, dispatch.Out()), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown.p), static_cast<void*>(v.p));
    EXPECT_EQ(static_cast<void*>(dispatch.p), static_cast<void*>(v.p));
    Ref<IProvideClassInfo> classInfo;
    ASSERT_EQ(v.p->QueryInterface(IID_IProvideClassInfo, classInfo.Out()), S_OK);
    Ref<ITypeInfo> info;
    ASSERT_EQ(classInfo.p->GetClassInfo(reinterpret_cast<ITypeInfo**>(info.Out())), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info.p->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(attr->guid == CLSID_CMSXmlVerifier);
    info.p->ReleaseTypeAttr(attr);
    void* none = nullptr;
    const IID IID_ISupportErrorInfo = {
        0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
    EXPECT_EQ(v.p->QueryInterface(IID_ISupportErrorInfo, &none), E_NOINTERFACE);
}

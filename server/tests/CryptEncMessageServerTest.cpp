// CCryptEncMessage through the module: registration, identity, and byte
// arrays in and out by early and by late binding.
#include "ZelvaneTrumikXmlSigner.h"

#include "GostIdentity.h"
#include "TestHome.h"

#include <libloaderapi.h>
#include <objbase.h>
#include <winreg.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace trumik::cryptmsgtest;

namespace {

const IID kNone = {};
const std::u16string kClsid = u"{5B0F2D1F-C363-4B0B-A2A6-1BDE915B7E59}";

fs::path ModuleFile()
{
    const char* build = std::getenv("TRUMIK_BUILD_DIR");
    return fs::path(build ? build : ".") / "lib" / "Zelvane.Trumik.XmlSigner.so";
}

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

template <class T> struct Ref {
    T* p = nullptr;
    ~Ref()
    {
        if (p)
            p->Release();
    }
    void** Out() { return reinterpret_cast<void**>(&p); }
};

struct Variant {
    VARIANT v;
    Variant() { VariantInit(&v); }
    ~Variant() { VariantClear(&v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

void PutBytes(VARIANT* v, const std::string& bytes)
{
    v->vt = VT_ARRAY | VT_UI1;
    v->parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!bytes.empty())
        std::memcpy(v->parray->pvData, bytes.data(), bytes.size());
}

std::string GetBytes(const VARIANT& v)
{
    if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray)
        return "<no array>";
    return std::string(static_cast<const char*>(v.parray->pvData), v.parray->rgsabound[0].cElements);
}

// A BSTR argument variant.
void PutText(VARIANT* v, const std::string& ascii)
{
    std::u16string wide(ascii.begin(), ascii.end());
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

class CryptEncMessageServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        std::u16string path;
        for (char c : ModuleFile().string())
            path += static_cast<char16_t>(c);
        module_ = LoadLibraryW(path.c_str());
        ASSERT_NE(module_, nullptr);
        registerServer_ = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, "DllRegisterServer"));
        unregisterServer_ = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, "DllUnregisterServer"));
        ASSERT_EQ(registerServer_(), S_OK);
        holder_ = MakeGostIdentity("server-holder", WithPin("2468"));
    }

    static ICryptEncMessage* NewObject()
    {
        void* out = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_CCryptEncMessage, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICryptEncMessage, &out),
                  S_OK);
        return static_cast<ICryptEncMessage*>(out);
    }

    static LONG Code(ICryptEncMessage* object)
    {
        INT code = -1;
        EXPECT_EQ(object->CryptGetLastErrorCode(&code), S_OK);
        return code;
    }

    static HMODULE module_;
    static HRESULT (*registerServer_)();
    static HRESULT (*unregisterServer_)();
    static std::optional<GostIdentity> holder_;
};

HMODULE CryptEncMessageServer::module_ = nullptr;
HRESULT (*CryptEncMessageServer::registerServer_)() = nullptr;
HRESULT (*CryptEncMessageServer::unregisterServer_)() = nullptr;
std::optional<GostIdentity> CryptEncMessageServer::holder_;

} // namespace

TEST_F(CryptEncMessageServer, RegistrationLayout)
{
    EXPECT_EQ(RegString(u"ZelvaneTrumikXmlSigner.CryptEncMessage.1"), u"CCryptEncMessage Object");
    EXPECT_EQ(RegString(u"ZelvaneTrumikXmlSigner.CryptEncMessage.1\\CLSID"), kClsid);
    EXPECT_EQ(RegString(u"ZelvaneTrumikXmlSigner.CryptEncMessage\\CurVer"),
              u"ZelvaneTrumikXmlSigner.CryptEncMessage.1");
    const std::u16string clsidKey = u"CLSID\\" + kClsid;
    EXPECT_EQ(RegString(clsidKey), u"CCryptEncMessage Object");
    EXPECT_EQ(RegString(clsidKey, u"AppID"), u"");
    EXPECT_EQ(RegString(clsidKey + u"\\ProgID"), u"ZelvaneTrumikXmlSigner.CryptEncMessage.1");
    EXPECT_EQ(RegString(clsidKey + u"\\VersionIndependentProgID"), u"ZelvaneTrumikXmlSigner.CryptEncMessage");
    EXPECT_EQ(RegString(clsidKey + u"\\InprocServer32", u"ThreadingModel"), u"apartment");
    EXPECT_EQ(RegString(clsidKey + u"\\TypeLib"), u"{E5C22796-7B83-4CD3-88C7-E4B63215E540}");
    EXPECT_TRUE(KeyExists(clsidKey + u"\\Programmable"));
    EXPECT_TRUE(KeyExists(clsidKey + u"\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_TRUE(KeyExists(u"Interface\\{0FB9D19C-5E40-4503-A381-8B0CE579F233}"));

    // Every class of the module goes and comes back together.
    struct Class {
        std::u16string clsid, progId, threading;
    };
    const Class classes[] = {
        {kClsid, u"ZelvaneTrumikXmlSigner.CryptEncMessage", u"apartment"},
        {u"{A4B9FF35-03A9-41C6-8881-3A59F572B446}", u"ZelvaneTrumikXmlSigner.MSXmlSigner", u"apartment"},
        {u"{A07E2B70-AF5E-4BFA-8D45-C71B98BB6805}", u"ZelvaneTrumikXmlSigner.MSXmlVerifier", u"apartment"},
        {u"{3C6084B9-D9AD-4B67-8D80-5B7969A86364}", u"ZelvaneTrumik.XmlSigner", u"both"},
    };
    for (const Class& c : classes) {
        EXPECT_EQ(RegString(u"CLSID\\" + c.clsid + u"\\InprocServer32", u"ThreadingModel"), c.threading);
        EXPECT_EQ(RegString(c.progId + u"\\CurVer"), c.progId + u".1");
    }
    ASSERT_EQ(unregisterServer_(), S_OK);
    for (const Class& c : classes) {
        EXPECT_FALSE(KeyExists(u"CLSID\\" + c.clsid));
        EXPECT_FALSE(KeyExists(c.progId));
        EXPECT_FALSE(KeyExists(c.progId + u".1"));
    }
    EXPECT_TRUE(KeyExists(u"CLSID"));
    ASSERT_EQ(registerServer_(), S_OK);
    for (const Class& c : classes)
        EXPECT_TRUE(KeyExists(u"CLSID\\" + c.clsid + u"\\InprocServer32"));
    EXPECT_TRUE(KeyExists(clsidKey + u"\\InprocServer32"));
}

TEST_F(CryptEncMessageServer, IdentityAndNewObjectState)
{
    Ref<ICryptEncMessage> object;
    object.p = NewObject();
    ASSERT_NE(object.p, nullptr);
    Ref<IDispatch> dispatch;
    ASSERT_EQ(object.p->QueryInterface(IID_IDispatch, dispatch.Out()), S_OK);
    EXPECT_EQ(static_cast<void*>(dispatch.p), static_cast<void*>(object.p));
    const IID iidSupportErrorInfo = {
        0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
    void* none = nullptr;
    EXPECT_EQ(object.p->QueryInterface(iidSupportErrorInfo, &none), E_NOINTERFACE);
    Ref<IProvideClassInfo> classInfo;
    ASSERT_EQ(object.p->QueryInterface(IID_IProvideClassInfo, classInfo.Out()), S_OK);
    Ref<ITypeInfo> coclass;
    ASSERT_EQ(classInfo.p->GetClassInfo(&coclass.p), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(coclass.p->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, CLSID_CCryptEncMessage);
    coclass.p->ReleaseTypeAttr(attr);

    BSTR text = nullptr;
    EXPECT_EQ(object.p->CryptGetLastError(&text), S_OK);
    EXPECT_EQ(SysStringLen(text), 0u);
    SysFreeString(text);
    EXPECT_EQ(Code(object.p), 0);
}

TEST_F(CryptEncMessageServer, EarlyBoundByteArrays)
{
    Ref<ICryptEncMessage> object;
    object.p = NewObject();
    Variant input, message, plain;
    PutBytes(&input.v, "early bound");
    BSTR store = SysAllocString(u"My");
    std::u16string thumb(holder_->thumbprint.begin(), holder_->thumbprint.end());
    BSTR hash = SysAllocString(thumb.c_str());
    BSTR pin = SysAllocString(u"2468");
    EXPECT_EQ(object.p->CryptMessageByte(store, hash, 11, &input.v, &message.v), S_OK);
    ASSERT_EQ(Code(object.p), 0);
    EXPECT_EQ(message.v.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(object.p->DecryptMessageByte(store, hash, pin, static_cast<LONG>(GetBytes(message.v).size()),
                                           &message.v, &plain.v),
              S_OK);
    ASSERT_EQ(Code(object.p), 0);
    EXPECT_EQ(GetBytes(plain.v), "early bound");

    // Zero bytes, and an array of zero bytes to decrypt.
    Variant none, emptyMessage, emptyPlain;
    PutBytes(&none.v, "");
    EXPECT_EQ(object.p->CryptMessageByte(store, hash, 0, &none.v, &emptyMessage.v), S_OK);
    ASSERT_EQ(Code(object.p), 0);
    EXPECT_EQ(object.p->DecryptMessageByte(store, hash, pin, 0, &none.v, &emptyPlain.v), S_OK);
    EXPECT_EQ(Code(object.p), 82013);
    EXPECT_EQ(emptyPlain.v.vt, VT_EMPTY);
    SysFreeString(store);
    SysFreeString(hash);
    SysFreeString(pin);
}

TEST_F(CryptEncMessageServer, LateBoundByteArrays)
{
    Ref<ICryptEncMessage> object;
    object.p = NewObject();
    std::u16string lower = u"cryptmessagebyte", last = u"CryptGetLastError", param = u"p_StoreName";
    LPOLESTR names[2] = {lower.data(), param.data()};
    DISPID ids[2] = {};
    EXPECT_EQ(object.p->GetIDsOfNames(kNone, names, 1, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 30);
    EXPECT_EQ(object.p->GetIDsOfNames(kNone, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    names[0] = last.data();
    EXPECT_EQ(object.p->GetIDsOfNames(kNone, names, 1, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 40);

    // CryptMessageByte(p_StoreName, p_Hash, in_message_len, ByteArray): arguments in reverse.
    Variant bytes;
    PutBytes(&bytes.v, "late bound");
    VARIANT args[4];
    PutText(&args[3], "My");
    PutText(&args[2], holder_->thumbprint);
    PutText(&args[1], "10"); // a text where a long is declared is converted
    args[0].vt = VT_BYREF | VT_VARIANT;
    args[0].pvarVal = &bytes.v;
    DISPPARAMS params = {args, nullptr, 4, 0};
    Variant message;
    UINT argErr = 0;
    ASSERT_EQ(object.p->Invoke(30, kNone, 0, DISPATCH_METHOD, &params, &message.v, nullptr, &argErr), S_OK);
    EXPECT_EQ(args[1].vt, VT_I4);
    Variant code;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    ASSERT_EQ(object.p->Invoke(41, kNone, 0, DISPATCH_METHOD, &none, &code.v, nullptr, &argErr), S_OK);
    EXPECT_EQ(code.v.vt, VT_I4);
    EXPECT_EQ(code.v.lVal, 0);
    ASSERT_EQ(message.v.vt, VT_ARRAY | VT_UI1);

    // DecryptMessageByte(p_StoreName, p_Hash, password, in_message_len, ByteArray).
    VARIANT dargs[5];
    PutText(&dargs[4], "My");
    PutText(&dargs[3], holder_->thumbprint);
    PutText(&dargs[2], "2468");
    dargs[1].vt = VT_I4;
    dargs[1].lVal = static_cast<LONG>(GetBytes(message.v).size());
    dargs[0].vt = VT_BYREF | VT_VARIANT;
    dargs[0].pvarVal = &message.v;
    DISPPARAMS dparams = {dargs, nullptr, 5, 0};
    Variant plain;
    ASSERT_EQ(object.p->Invoke(31, kNone, 0, DISPATCH_METHOD, &dparams, &plain.v, nullptr, &argErr), S_OK);
    EXPECT_EQ(GetBytes(plain.v), "late bound");

    // An array not passed by reference where VARIANT* is declared is refused.
    Variant direct;
    PutBytes(&direct.v, "x");
    VariantClear(&args[0]);
    args[0] = direct.v;
    Variant unused;
    EXPECT_EQ(object.p->Invoke(30, kNone, 0, DISPATCH_METHOD, &params, &unused.v, nullptr, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);
    args[0].vt = VT_EMPTY;

    // A two-dimensional array reaches the method and is refused with 80003.
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    Variant twoDims;
    twoDims.v.vt = VT_ARRAY | VT_UI1;
    twoDims.v.parray = SafeArrayCreate(VT_UI1, 2, bounds);
    args[0].vt = VT_BYREF | VT_VARIANT;
    args[0].pvarVal = &twoDims.v;
    args[1].lVal = 4;
    EXPECT_EQ(object.p->Invoke(30, kNone, 0, DISPATCH_METHOD, &params, &unused.v, nullptr, &argErr), S_FALSE);
    EXPECT_EQ(unused.v.vt, VT_EMPTY);
    Variant code2;
    ASSERT_EQ(object.p->Invoke(41, kNone, 0, DISPATCH_METHOD, &none, &code2.v, nullptr, &argErr), S_OK);
    EXPECT_EQ(code2.v.lVal, 80003);

    // Named arguments are not accepted.
    DISPID named = 0;
    DISPPARAMS withNames = {args, &named, 4, 1};
    EXPECT_EQ(object.p->Invoke(30, kNone, 0, DISPATCH_METHOD, &withNames, &unused.v, nullptr, &argErr),
              DISP_E_NONAMEDARGS);
    for (int i = 1; i < 4; ++i)
        VariantClear(&args[i]);
    for (int i = 1; i < 5; ++i)
        VariantClear(&dargs[i]);
}

// A text given for the long in_message_len is read as Windows reads numbers:
// "&H10" is 16, "(5)" is -5, and only the locale's decimal separator counts.
TEST_F(CryptEncMessageServer, LateBoundLongFromText)
{
    Ref<ICryptEncMessage> object;
    object.p = NewObject();
    constexpr LCID kRussian = 0x419;
    const std::string plain = "0123456789abcdefghij";
    DISPPARAMS none = {nullptr, nullptr, 0, 0};

    // CryptMessageByte(p_StoreName, p_Hash, in_message_len, ByteArray) with the
    // count as text; returns the status, the converted count and the message.
    auto encrypt = [&](const char* count, LONG& converted, Variant& message, UINT& argErr) {
        Variant bytes;
        PutBytes(&bytes.v, plain);
        VARIANT args[4];
        PutText(&args[3], "My");
        PutText(&args[2], holder_->thumbprint);
        PutText(&args[1], count);
        args[0].vt = VT_BYREF | VT_VARIANT;
        args[0].pvarVal = &bytes.v;
        DISPPARAMS params = {args, nullptr, 4, 0};
        argErr = 99;
        const HRESULT hr =
            object.p->Invoke(30, kNone, kRussian, DISPATCH_METHOD, &params, &message.v, nullptr, &argErr);
        converted = args[1].vt == VT_I4 ? args[1].lVal : -999;
        for (int i = 1; i < 4; ++i)
            VariantClear(&args[i]);
        return hr;
    };
    auto decrypt = [&](VARIANT& message) {
        VARIANT dargs[5];
        PutText(&dargs[4], "My");
        PutText(&dargs[3], holder_->thumbprint);
        PutText(&dargs[2], "2468");
        dargs[1].vt = VT_I4;
        dargs[1].lVal = static_cast<LONG>(GetBytes(message).size());
        dargs[0].vt = VT_BYREF | VT_VARIANT;
        dargs[0].pvarVal = &message;
        DISPPARAMS dparams = {dargs, nullptr, 5, 0};
        Variant out;
        UINT argErr = 0;
        EXPECT_EQ(object.p->Invoke(31, kNone, kRussian, DISPATCH_METHOD, &dparams, &out.v, nullptr, &argErr),
                  S_OK);
        for (int i = 2; i < 5; ++i)
            VariantClear(&dargs[i]);
        return GetBytes(out.v);
    };
    auto lastCode = [&] {
        Variant code;
        UINT argErr = 0;
        EXPECT_EQ(object.p->Invoke(41, kNone, kRussian, DISPATCH_METHOD, &none, &code.v, nullptr, &argErr),
                  S_OK);
        return code.v.lVal;
    };

    // "&H10": the method encrypts the first 16 bytes.
    LONG converted = 0;
    UINT argErr = 0;
    {
        Variant message;
        ASSERT_EQ(encrypt("&H10", converted, message, argErr), S_OK);
        EXPECT_EQ(converted, 16);
        EXPECT_EQ(lastCode(), 0);
        EXPECT_EQ(decrypt(message.v), plain.substr(0, 16));
    }
    // "1,5" in the Russian locale is 1.5, rounded to even: 2 bytes.
    {
        Variant message;
        ASSERT_EQ(encrypt("1,5", converted, message, argErr), S_OK);
        EXPECT_EQ(converted, 2);
        EXPECT_EQ(decrypt(message.v), plain.substr(0, 2));
    }
    // "(5)" and "5-" are -5: the method refuses a negative count with its own code.
    for (const char* negative : {"(5)", "5-"}) {
        Variant message;
        EXPECT_EQ(encrypt(negative, converted, message, argErr), S_FALSE) << negative;
        EXPECT_EQ(converted, -5) << negative;
        EXPECT_EQ(lastCode(), 80004) << negative;
        EXPECT_EQ(message.v.vt, VT_EMPTY);
    }
    // "1.5" is no number where the decimal separator is a comma: the call
    // fails before the method, with the position of the count.
    {
        Variant message;
        EXPECT_EQ(encrypt("1.5", converted, message, argErr), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(argErr, 1u);
        EXPECT_EQ(converted, -999); // the argument is left as it was
        EXPECT_EQ(message.v.vt, VT_EMPTY);
        EXPECT_EQ(lastCode(), 80004) << "the method was not called, its record is unchanged";
    }
}

// The text methods hand back no string when they fail: late bound, the result
// variant then stays empty rather than holding a null string, for every one
// of them, while the error record says what happened.
TEST_F(CryptEncMessageServer, LateBoundFailedTextMethodsLeaveTheResultEmpty)
{
    Ref<ICryptEncMessage> object;
    object.p = NewObject();
    const std::string nowhere(40, '0');
    struct Case {
        DISPID dispid;
        std::vector<std::string> args; // in parameter order
    };
    const Case cases[] = {
        {32, {"My", nowhere, "AAAA"}},           // CryptMessage
        {33, {"My", nowhere, "c", "1", "AAAA"}}, // DecryptMessage
        {34, {"My", nowhere}},                   // GetContainerName
    };
    for (const Case& c : cases) {
        std::vector<VARIANT> args(c.args.size());
        for (size_t i = 0; i < c.args.size(); ++i)
            PutText(&args[c.args.size() - 1 - i], c.args[i]);
        DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        Variant result;
        UINT argErr = 0;
        const HRESULT hr =
            object.p->Invoke(c.dispid, kNone, 0, DISPATCH_METHOD, &params, &result.v, nullptr, &argErr);
        EXPECT_TRUE(SUCCEEDED(hr)) << c.dispid;
        if (c.dispid == 34) {
            // GetContainerName hands back an empty string, never a null one.
            EXPECT_EQ(result.v.vt, VT_BSTR) << c.dispid;
        } else {
            EXPECT_EQ(result.v.vt, VT_EMPTY) << c.dispid;
        }
        INT code = 0;
        EXPECT_EQ(object.p->CryptGetLastErrorCode(&code), S_OK);
        EXPECT_NE(code, 0) << c.dispid;
        for (VARIANT& a : args)
            VariantClear(&a);
    }
}

// Zelvane.Trumik.Exchange through its exports and COM, as hosts reach it:
// registration beside the first module, activation by ProgID, identity.
#include "ZelvaneTrumikExchange.h"

#include "TestHome.h"

#include <libloaderapi.h>
#include <objbase.h>
#include <winnls.h>
#include <winreg.h>

#include <gtest/gtest.h>
#include <xmlsec/transforms.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace {

std::u16string U16(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
    out.pop_back();
    return out;
}

fs::path LibDir()
{
    const char* build = std::getenv("TRUMIK_BUILD_DIR");
    return fs::canonical(fs::path(build ? build : ".") / "lib");
}

std::optional<std::u16string> RegString(const std::u16string& key, const char16_t* value = nullptr)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return std::nullopt;
    char16_t buffer[1024] = {};
    DWORD size = sizeof buffer, type = 0;
    LSTATUS status = RegQueryValueExW(h, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(h);
    if (status != ERROR_SUCCESS)
        return std::nullopt;
    return std::u16string(buffer);
}

// The exports of one module file.
struct Module {
    HMODULE handle = nullptr;
    HRESULT (*registerServer)() = nullptr;
    HRESULT (*unregisterServer)() = nullptr;
    explicit Module(const char* file)
    {
        handle = LoadLibraryW(U16((LibDir() / file).string()).c_str());
        if (!handle)
            return;
        registerServer = reinterpret_cast<HRESULT (*)()>(GetProcAddress(handle, "DllRegisterServer"));
        unregisterServer = reinterpret_cast<HRESULT (*)()>(GetProcAddress(handle, "DllUnregisterServer"));
    }
    ~Module()
    {
        if (handle)
            FreeLibrary(handle);
    }
};

constexpr char kExchange[] = "Zelvane.Trumik.Exchange.so";
const std::u16string kSignerClsid = u"{373D51E8-B689-495F-B74E-B58A494E5E44}";
const std::u16string kVerifierClsid = u"{C1E149F3-14B4-431E-BD44-DE2ACA7CDBFA}";
const std::u16string kLibid = u"{D21B2AD2-8F4D-4073-95E7-703E84FCCD1A}";

class ExchangeModuleTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
};

TEST_F(ExchangeModuleTest, RegistersItsOwnClassesAndTypeLibraryBesideTheFirstModule)
{
    Module first("Zelvane.Trumik.XmlSigner.so");
    Module exchange(kExchange);
    ASSERT_TRUE(first.registerServer && exchange.registerServer && exchange.unregisterServer);
    ASSERT_EQ(first.registerServer(), S_OK);
    ASSERT_EQ(exchange.registerServer(), S_OK);

    const std::u16string path = U16((LibDir() / kExchange).string());
    for (const auto& [clsid, progId] :
         {std::pair{kSignerClsid, std::u16string(u"ZelvaneTrumikExchange.XmlElementSigner")},
          std::pair{kVerifierClsid, std::u16string(u"ZelvaneTrumikExchange.XmlElementVerifier")}}) {
        const std::u16string key = u"CLSID\\" + clsid;
        EXPECT_EQ(RegString(key + u"\\InprocServer32"), path);
        EXPECT_EQ(RegString(key + u"\\InprocServer32", u"ThreadingModel"), u"both");
        EXPECT_EQ(RegString(key + u"\\TypeLib"), kLibid);
        EXPECT_EQ(RegString(key + u"\\ProgID"), progId + u".1");
        EXPECT_EQ(RegString(progId + u"\\CurVer"), progId + u".1");
        EXPECT_EQ(RegString(progId + u".1\\CLSID"), clsid);
    }
    EXPECT_EQ(RegString(u"TypeLib\\" + kLibid + u"\\1.0"), u"Zelvane.Trumik.Exchange 1.0 Type Library");
    // The first module's entries are its own still.
    EXPECT_EQ(RegString(u"CLSID\\{A4B9FF35-03A9-41C6-8881-3A59F572B446}\\TypeLib"),
              u"{E5C22796-7B83-4CD3-88C7-E4B63215E540}");

    // Created by ProgID through the registry, both classes answer their
    // interface, IDispatch and class information.
    for (const char16_t* progId :
         {u"ZelvaneTrumikExchange.XmlElementSigner", u"ZelvaneTrumikExchange.XmlElementVerifier.1"}) {
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
        IDispatch* object = nullptr;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&object)),
                  S_OK);
        IProvideClassInfo* info = nullptr;
        ASSERT_EQ(object->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&info)), S_OK);
        ITypeInfo* classInfo = nullptr;
        EXPECT_EQ(info->GetClassInfo(&classInfo), S_OK);
        if (classInfo)
            classInfo->Release();
        info->Release();
        UINT count = 0;
        EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
        EXPECT_EQ(count, 1u);
        object->Release();
    }

    ASSERT_EQ(exchange.unregisterServer(), S_OK);
    EXPECT_FALSE(RegString(u"CLSID\\" + kSignerClsid));
    EXPECT_FALSE(RegString(u"ZelvaneTrumikExchange.XmlElementSigner"));
    EXPECT_EQ(RegString(u"CLSID\\{A4B9FF35-03A9-41C6-8881-3A59F572B446}\\TypeLib"),
              u"{E5C22796-7B83-4CD3-88C7-E4B63215E540}");
    ASSERT_EQ(first.unregisterServer(), S_OK);
}

// The normalisation transform joins xmlsec's list at the first operation of an
// exchange class, not before: loading the module alone changes nothing for
// the first module's classes.
TEST_F(ExchangeModuleTest, TheTransformJoinsXmlsecAtTheFirstOperation)
{
    Module first("Zelvane.Trumik.XmlSigner.so"); // keeps the common library loaded
    const auto registered = [] {
        xmlSecPtrListPtr list = xmlSecTransformIdsGet();
        return list && xmlSecTransformIdListFindByHref(
                           list, reinterpret_cast<const xmlChar*>("urn://smev-gov-ru/xmldsig/transform"),
                           xmlSecTransformUsageAny) != xmlSecTransformIdUnknown;
    };
    {
        Module exchange(kExchange);
        auto getClassObject = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, void**)>(
            GetProcAddress(exchange.handle, "DllGetClassObject"));
        ASSERT_NE(getClassObject, nullptr);
        IClassFactory* factory = nullptr;
        ASSERT_EQ(
            getClassObject(CLSID_CXmlElementVerifier, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
        IXmlElementVerifier* verifier = nullptr;
        ASSERT_EQ(
            factory->CreateInstance(nullptr, IID_IXmlElementVerifier, reinterpret_cast<void**>(&verifier)),
            S_OK);
        factory->Release();
        EXPECT_FALSE(registered());
        BSTR xml = SysAllocString(u"<r xmlns=\"urn:r\"/>");
        VARIANT_BOOL result = VARIANT_TRUE;
        EXPECT_EQ(verifier->VerifyDocument(xml, &result), S_FALSE);
        EXPECT_EQ(result, VARIANT_FALSE);
        SysFreeString(xml);
        EXPECT_TRUE(registered());
        verifier->Release();
    }
}

} // namespace

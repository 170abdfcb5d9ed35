// What CMSXmlSigner signs, CMSXmlVerifier accepts: both classes in one process,
// through the module as a host reaches them, beside CXmlSigner's own back-end.
#include "ZelvaneTrumikXmlSigner.h"

#include "SignerFixtures.h"

#include <libloaderapi.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using trumik::signertest::GetSignerFixtures;
using trumik::signertest::U16;
using trumik::signertest::Utf8;

namespace {

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
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    std::u16string Text() const { return p ? std::u16string(p, SysStringLen(p)) : std::u16string(); }
};

template <class T> struct Ref {
    T* p = nullptr;
    ~Ref()
    {
        if (p)
            p->Release();
    }
    T* operator->() const { return p; }
};

template <class T> void Create(const char16_t* progId, REFIID iid, Ref<T>& out)
{
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    void* object = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &object), S_OK);
    out.p = static_cast<T*>(object);
}

class SignVerifyRoundTrip : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        GetSignerFixtures();
        HMODULE module = LoadLibraryW(U16(ModuleFile().string()).c_str());
        ASSERT_NE(module, nullptr) << ModuleFile();
        auto registerServer = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
    }

    // Signs with the PIN-protected certificate; empty on failure.
    static std::u16string Sign(const std::u16string& document)
    {
        Ref<IMSXmlSigner> signer;
        Create(u"ZelvaneTrumikXmlSigner.MSXmlSigner", IID_IMSXmlSigner, signer);
        const auto& f = GetSignerFixtures();
        Bstr xml(document), store(u"My"), thumb(U16(f.good.thumbprint)), pin(U16(f.pin)), out;
        EXPECT_EQ(signer->SignWithCertStorePass(xml.p, store.p, thumb.p, pin.p, &out.p), S_OK);
        int code = -1;
        signer->SignGetLastErrorCode(&code);
        EXPECT_EQ(code, 0);
        return out.Text();
    }

    struct Verdict {
        VARIANT_BOOL result = 1; // neither true nor false
        HRESULT status = E_FAIL;
        int code = -1;
        std::u16string message;
    };

    static Verdict Verify(const std::u16string& document, const fs::path& cert, bool checkCert = true)
    {
        Ref<IMSXmlVerifier> verifier;
        Create(u"ZelvaneTrumikXmlSigner.MSXmlVerifier", IID_IMSXmlVerifier, verifier);
        Bstr xml(document), path(U16(cert.string())), message;
        Verdict v;
        v.status = checkCert ? verifier->VerifyUsingCertFile(xml.p, path.p, &v.result)
                             : verifier->VerifyUsingCertFileWoCert(xml.p, path.p, &v.result);
        verifier->SignGetLastErrorCode(&v.code);
        verifier->SignGetLastError(&message.p);
        v.message = message.Text();
        return v;
    }
};

TEST_F(SignVerifyRoundTrip, SignedDocumentVerifiesAndAChangedCharacterDoesNot)
{
    const std::u16string document =
        u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        u"<Заявление номер=\"42\">\n  <Сумма валюта=\"RUB\">1500.00</Сумма>\n</Заявление>\n";
    const std::u16string signedText = Sign(document);
    ASSERT_NE(signedText.find(u"<SignatureValue>"), std::u16string::npos);

    Verdict good = Verify(signedText, GetSignerFixtures().good.der);
    EXPECT_EQ(good.status, S_OK);
    EXPECT_EQ(good.result, VARIANT_TRUE);
    EXPECT_EQ(good.code, 0);

    std::u16string tampered = signedText;
    tampered.replace(tampered.find(u"1500.00"), 7, u"1900.00");
    Verdict bad = Verify(tampered, GetSignerFixtures().good.der);
    EXPECT_EQ(bad.status, S_OK);
    EXPECT_EQ(bad.result, VARIANT_FALSE);
    EXPECT_EQ(bad.code, 0);
    EXPECT_EQ(bad.message, u"");
}

TEST_F(SignVerifyRoundTrip, Windows1251DocumentKeepsItsDeclarationAndVerifies)
{
    const std::u16string document = u"<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n"
                                    u"<Документ><Текст>Привет, мир</Текст></Документ>";
    const std::u16string signedText = Sign(document);
    ASSERT_EQ(signedText.rfind(u"<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<Документ><Текст>", 0),
              0u);
    Verdict v = Verify(signedText, GetSignerFixtures().good.der);
    EXPECT_EQ(v.result, VARIANT_TRUE) << Utf8(v.message);
}

TEST_F(SignVerifyRoundTrip, TheRsaSignerRunsBetweenGostCallsInOneProcess)
{
    const std::u16string first = Sign(u"<a>1</a>");
    {
        // CXmlSigner starts its own back-end and shuts the libraries down at its
        // release only when no other started object is left.
        Ref<IXmlSigner> rsa;
        Create(u"ZelvaneTrumik.XmlSigner", IID_IXmlSigner, rsa);
        Bstr xml(std::u16string(u"<b/>")), key(std::u16string(u"/nonexistent.pem")), out;
        EXPECT_EQ(rsa->SignWithKey(xml.p, key.p, &out.p), S_FALSE);
    }
    const std::u16string second = Sign(u"<a>2</a>");
    EXPECT_EQ(Verify(first, GetSignerFixtures().good.der).result, VARIANT_TRUE);
    EXPECT_EQ(Verify(second, GetSignerFixtures().good.der).result, VARIANT_TRUE);
}

} // namespace

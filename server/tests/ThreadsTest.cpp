// The four classes on several threads at once, each thread in its own
// apartment with its own objects, through the module as a host reaches them:
// every result is checked call by call against what one thread alone gets.
#include "ZelvaneTrumikXmlSigner.h"

#include "Gost2012Fixtures.h"
#include "GostIdentity.h"
#include "SignerFixtures.h"
#include "TestHome.h"

#include <libloaderapi.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
namespace tt = trumik::testing;
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
    explicit Bstr(const std::string& s) : Bstr(U16(s)) {}
    ~Bstr() { SysFreeString(p); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    std::u16string Text() const { return p ? std::u16string(p, SysStringLen(p)) : std::u16string(); }
};

struct Variant {
    VARIANT v;
    Variant() { VariantInit(&v); }
    ~Variant() { VariantClear(&v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

template <class T> struct Ref {
    T* p = nullptr;
    Ref() = default;
    ~Ref() { Reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    void Reset()
    {
        if (p)
            p->Release();
        p = nullptr;
    }
    T* operator->() const { return p; }
};

// COM on the calling thread, in an apartment of its own, for a scope.
struct Apartment {
    Apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Apartment() { CoUninitialize(); }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
};

// What went wrong on one thread, with the call it went wrong in.
class Problems {
  public:
    void Add(const std::string& what)
    {
        std::lock_guard guard(mutex_);
        list_.push_back(what);
    }
    void Check(bool ok, const std::string& what)
    {
        if (!ok)
            Add(what);
    }
    std::string Report() const
    {
        std::string text;
        for (const std::string& p : list_)
            text += p + "\n";
        return text;
    }
    bool Empty() const { return list_.empty(); }

  private:
    std::mutex mutex_;
    std::vector<std::string> list_;
};

template <class T> bool Create(const CLSID& clsid, REFIID iid, Ref<T>& out)
{
    void* object = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &object);
    out.p = static_cast<T*>(object);
    return hr == S_OK && object != nullptr;
}

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

// The text between <Name> and </Name>, or "" when there is none.
std::u16string Element(const std::u16string& text, const std::u16string& name)
{
    const std::u16string open = u"<" + name + u">", close = u"</" + name + u">";
    size_t begin = text.find(open);
    if (begin == std::u16string::npos)
        return {};
    begin += open.size();
    size_t end = text.find(close, begin);
    return end == std::u16string::npos ? std::u16string() : text.substr(begin, end - begin);
}

// A document that needs the start-up's parser settings on every thread: an
// internal entity to substitute, an attribute default of the internal subset
// and Cyrillic text.
std::u16string Document(int variant)
{
    return u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           u"<!DOCTYPE Заявление [\n"
           u"  <!ENTITY орг \"ООО Ромашка\">\n"
           u"  <!ATTLIST Заявление версия CDATA \"2\">\n"
           u"]>\n"
           u"<Заявление номер=\"" +
           U16(std::to_string(variant)) +
           u"\">\n  <Кому>&орг;</Кому>\n  <Сумма валюта=\"RUB\">1500.00</Сумма>\n</Заявление>\n";
}

constexpr int kDocuments = 3;

// A GOST certificate of the store with its PIN and its file.
struct GostSigner {
    std::string thumbprint, pin;
    fs::path der;
};

// What one thread alone gets for each document.
struct Expected {
    std::u16string rsaSigned[kDocuments];  // CXmlSigner: RSA PKCS #1 v1.5 is deterministic
    std::u16string digest2001[kDocuments]; // CMSXmlSigner: the DigestValue
    std::u16string digest2012[kDocuments];
};

class Threads : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const auto& f = GetSignerFixtures();
        const auto& g = trumik::gost2012test::GetGost2012Fixtures();
        g2001_ = GostSigner{f.good.thumbprint, f.pin, f.good.der};
        g2012_ = GostSigner{g.k256.thumbprint, g.pin, g.k256.der};
        holder_ =
            trumik::cryptmsgtest::MakeGostIdentity("threads-holder", trumik::cryptmsgtest::WithPin("2468"));

        fs::path dir = tt::MakeTempDir("threads");
        rsaKey_ = dir / "signer.pem";
        ASSERT_EQ(tt::RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=S -days 3 -keyout " +
                                 (dir / "k.pem").string() + " -out " + (dir / "c.pem").string()),
                  0);
        tt::WriteFile(rsaKey_, tt::ReadFile(dir / "k.pem") + tt::ReadFile(dir / "c.pem"));

        HMODULE module = LoadLibraryW(U16(ModuleFile().string()).c_str());
        ASSERT_NE(module, nullptr) << ModuleFile();
        auto registerServer = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
        // From here on the module is loaded and unloaded by COM alone.
        FreeLibrary(module);

        trumik::gost2012test::SetAcceptGost2012(true);
        // The expected results, from this thread alone.
        Problems problems;
        for (int d = 0; d < kDocuments; ++d) {
            expected_.rsaSigned[d] = SignRsa(Document(d), problems, "reference");
            expected_.digest2001[d] =
                Element(SignGost(g2001_, Document(d), problems, "reference"), u"DigestValue");
            expected_.digest2012[d] =
                Element(SignGost(g2012_, Document(d), problems, "reference"), u"DigestValue");
        }
        ASSERT_TRUE(problems.Empty()) << problems.Report();
        ASSERT_NE(expected_.rsaSigned[0].find(u"<Кому>ООО Ромашка</Кому>"), std::u16string::npos)
            << Utf8(expected_.rsaSigned[0]);
        ASSERT_NE(expected_.rsaSigned[0].find(u"версия=\"2\""), std::u16string::npos);
        ASSERT_NE(expected_.digest2001[0], u"");
        ASSERT_NE(expected_.digest2001[0], expected_.digest2012[0]);
    }

    static void TearDownTestSuite() { trumik::gost2012test::SetAcceptGost2012(false); }

    // CXmlSigner.SignWithKey with the PEM key; the signed text.
    static std::u16string SignRsa(const std::u16string& document, Problems& problems,
                                  const std::string& where)
    {
        Ref<IXmlSigner> signer;
        if (!Create(CLSID_CXmlSigner, IID_IXmlSigner, signer)) {
            problems.Add(where + ": CXmlSigner not created");
            return {};
        }
        Bstr xml(document), key(rsaKey_.string()), out, error;
        HRESULT status = signer->SignWithKey(xml.p, key.p, &out.p);
        signer->SignFGetLastError(&error.p);
        problems.Check(status == S_OK && error.Text().empty(),
                       where + ": SignWithKey gave " + std::to_string(status) + ": " + Utf8(error.Text()));
        return out.Text();
    }

    // CMSXmlSigner.SignWithCertStorePass; the signed text.
    static std::u16string SignGost(const GostSigner& cert, const std::u16string& document, Problems& problems,
                                   const std::string& where)
    {
        Ref<IMSXmlSigner> signer;
        if (!Create(CLSID_CMSXmlSigner, IID_IMSXmlSigner, signer)) {
            problems.Add(where + ": CMSXmlSigner not created");
            return {};
        }
        Bstr xml(document), store(u"My"), thumb(cert.thumbprint), pin(cert.pin), out, message;
        HRESULT status = signer->SignWithCertStorePass(xml.p, store.p, thumb.p, pin.p, &out.p);
        INT code = -1;
        signer->SignGetLastErrorCode(&code);
        signer->SignGetLastError(&message.p);
        problems.Check(status == S_OK && code == 0, where + ": SignWithCertStorePass gave " +
                                                        std::to_string(status) + ", code " +
                                                        std::to_string(code) + ": " + Utf8(message.Text()));
        return out.Text();
    }

    // CMSXmlVerifier.VerifyUsingCertFileWoCert: true with code 0.
    static bool Verify(const std::u16string& document, const fs::path& cert, Problems& problems,
                       const std::string& where)
    {
        Ref<IMSXmlVerifier> verifier;
        if (!Create(CLSID_CMSXmlVerifier, IID_IMSXmlVerifier, verifier)) {
            problems.Add(where + ": CMSXmlVerifier not created");
            return false;
        }
        Bstr xml(document), path(cert.string()), stack;
        VARIANT_BOOL result = 1;
        HRESULT status = verifier->VerifyUsingCertFileWoCert(xml.p, path.p, &result);
        INT code = -1;
        verifier->SignGetLastErrorCode(&code);
        verifier->SignGetLastErrorStack(&stack.p);
        const bool ok = status == S_OK && result == VARIANT_TRUE && code == 0;
        problems.Check(ok, where + ": VerifyUsingCertFileWoCert gave " + std::to_string(status) +
                               ", result " + std::to_string(result) + ", code " + std::to_string(code) +
                               ": " + Utf8(stack.Text()));
        return ok;
    }

    // CCryptEncMessage: bytes encrypted for the holder and decrypted with its PIN.
    static void EncryptDecrypt(const std::string& plain, Problems& problems, const std::string& where)
    {
        Ref<ICryptEncMessage> object;
        if (!Create(CLSID_CCryptEncMessage, IID_ICryptEncMessage, object)) {
            problems.Add(where + ": CCryptEncMessage not created");
            return;
        }
        Bstr store(u"My"), hash(holder_->thumbprint), pin(u"2468");
        Variant input, message, output;
        PutBytes(&input.v, plain);
        INT code = -1;
        HRESULT status =
            object->CryptMessageByte(store.p, hash.p, static_cast<LONG>(plain.size()), &input.v, &message.v);
        object->CryptGetLastErrorCode(&code);
        if (status != S_OK || code != 0 || message.v.vt != (VT_ARRAY | VT_UI1)) {
            problems.Add(where + ": CryptMessageByte gave " + std::to_string(status) + ", code " +
                         std::to_string(code));
            return;
        }
        const std::string encrypted = GetBytes(message.v);
        problems.Check(encrypted.find(plain) == std::string::npos,
                       where + ": the message holds the plain text");
        status = object->DecryptMessageByte(store.p, hash.p, pin.p, static_cast<LONG>(encrypted.size()),
                                            &message.v, &output.v);
        object->CryptGetLastErrorCode(&code);
        problems.Check(status == S_OK && code == 0 && GetBytes(output.v) == plain,
                       where + ": DecryptMessageByte gave " + std::to_string(status) + ", code " +
                           std::to_string(code) + ", " + std::to_string(GetBytes(output.v).size()) +
                           " bytes");
    }

    // Runs `body(thread)` on `count` threads at once, each in its own
    // apartment, all starting together.
    static void RunTogether(int count, const std::function<void(int)>& body)
    {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < count; ++t) {
            threads.emplace_back([&, t] {
                Apartment apartment;
                ready.fetch_add(1);
                while (ready.load() < count)
                    std::this_thread::yield();
                body(t);
            });
        }
        for (std::thread& thread : threads)
            thread.join();
    }

    static GostSigner g2001_, g2012_;
    static std::optional<trumik::cryptmsgtest::GostIdentity> holder_;
    static fs::path rsaKey_;
    static Expected expected_;
};

GostSigner Threads::g2001_, Threads::g2012_;
std::optional<trumik::cryptmsgtest::GostIdentity> Threads::holder_;
fs::path Threads::rsaKey_;
Expected Threads::expected_;

constexpr int kThreads = 4;
constexpr int kRounds = 3;

TEST_F(Threads, EveryClassOnSeveralThreadsGivesWhatOneThreadGives)
{
    Problems problems;
    RunTogether(kThreads, [&](int t) {
        for (int round = 0; round < kRounds; ++round) {
            // Each thread takes the documents in its own order, so different
            // operations overlap.
            const int d = (t + round) % kDocuments;
            const std::string where = "thread " + std::to_string(t) + ", round " + std::to_string(round);
            const std::u16string document = Document(d);

            problems.Check(SignRsa(document, problems, where) == expected_.rsaSigned[d],
                           where + ": SignWithKey differs from the single-threaded result");

            const std::u16string signed2001 = SignGost(g2001_, document, problems, where + ", 2001");
            problems.Check(Element(signed2001, u"DigestValue") == expected_.digest2001[d],
                           where + ": the 2001 digest differs: " + Utf8(Element(signed2001, u"DigestValue")));
            problems.Check(Element(signed2001, u"SignatureValue").size() > 80, where + ": no 2001 signature");
            Verify(signed2001, g2001_.der, problems, where + ", 2001");

            const std::u16string signed2012 = SignGost(g2012_, document, problems, where + ", 2012-256");
            problems.Check(Element(signed2012, u"DigestValue") == expected_.digest2012[d],
                           where + ": the 2012-256 digest differs");
            Verify(signed2012, g2012_.der, problems, where + ", 2012-256");

            // Each signature verifies only against its own certificate.
            std::u16string tampered = signed2001;
            const size_t amount = tampered.find(u"1500.00");
            Ref<IMSXmlVerifier> verifier;
            if (amount != std::u16string::npos &&
                Create(CLSID_CMSXmlVerifier, IID_IMSXmlVerifier, verifier)) {
                tampered.replace(amount, 7, u"1900.00");
                Bstr xml(tampered), path(g2001_.der.string());
                VARIANT_BOOL result = 1;
                INT code = -1;
                verifier->VerifyUsingCertFileWoCert(xml.p, path.p, &result);
                verifier->SignGetLastErrorCode(&code);
                problems.Check(result == VARIANT_FALSE && code == 0,
                               where + ": a changed document gave result " + std::to_string(result) +
                                   ", code " + std::to_string(code));
            }

            EncryptDecrypt("message of " + where, problems, where);
        }
    });
    EXPECT_TRUE(problems.Empty()) << problems.Report();
}

// Documents large enough that the digest is taken on a thread of its own
// beside the canonical form, signed and verified on several threads at once:
// every digest is the one a single thread takes.
TEST_F(Threads, LargeDocumentsHashedAsideGiveTheSingleThreadedDigest)
{
    std::u16string rows;
    for (int i = 0; rows.size() < (1u << 20); ++i)
        rows +=
            u"  <Строка номер=\"" + U16(std::to_string(i)) + u"\">Съешь же ещё этих мягких булок</Строка>\n";
    auto document = [&](int d) {
        return u"<Реестр часть=\"" + U16(std::to_string(d)) + u"\">\n" + rows + u"</Реестр>\n";
    };
    Problems problems;
    std::u16string expected[2];
    for (int d = 0; d < 2; ++d)
        expected[d] = Element(SignGost(g2012_, document(d), problems, "reference"), u"DigestValue");
    ASSERT_TRUE(problems.Empty()) << problems.Report();
    RunTogether(2, [&](int t) {
        const std::string where = "thread " + std::to_string(t);
        const std::u16string signed2012 = SignGost(g2012_, document(t), problems, where);
        problems.Check(!expected[t].empty() && Element(signed2012, u"DigestValue") == expected[t],
                       where + ": the digest of the large document differs");
        Verify(signed2012, g2012_.der, problems, where);
    });
    EXPECT_TRUE(problems.Empty()) << problems.Report();
}

// Each class's reports land on its own stack while the others report at once.
TEST_F(Threads, ReportsOfConcurrentOperationsLandOnTheirOwnClassStack)
{
    // Each document needs an external entity that names its class; the
    // parse refuses it and the report names the URL.
    auto refused = [](const char* marker) {
        return u"<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///nonexistent/" +
               U16(marker) + u".ent\">]>\n<r>&e;</r>\n";
    };
    const char* markers[] = {"pem-signer-report", "gost-signer-report", "verifier-report"};
    auto others = [&](int own, const std::u16string& stack) {
        for (int m = 0; m < 3; ++m) {
            if (m != own && stack.find(U16(markers[m])) != std::u16string::npos)
                return true;
        }
        return false;
    };

    Problems problems;
    constexpr int kCalls = 12;
    RunTogether(3, [&](int t) {
        const std::u16string document = refused(markers[t]);
        for (int i = 0; i < kCalls; ++i) {
            const std::string where = std::string(markers[t]) + ", call " + std::to_string(i);
            std::u16string stack;
            if (t == 0) {
                Ref<IXmlSigner> signer;
                if (!Create(CLSID_CXmlSigner, IID_IXmlSigner, signer))
                    return problems.Add(where + ": not created");
                Bstr xml(document), key(rsaKey_.string()), out, error;
                HRESULT status = signer->SignWithKey(xml.p, key.p, &out.p);
                signer->SignFGetLastError(&error.p);
                stack = error.Text();
                problems.Check(status == -1 && stack.rfind(u"10005 - ", 0) == 0,
                               where + ": gave " + std::to_string(status) + ": " + Utf8(stack));
            } else if (t == 1) {
                Ref<IMSXmlSigner> signer;
                if (!Create(CLSID_CMSXmlSigner, IID_IMSXmlSigner, signer))
                    return problems.Add(where + ": not created");
                Bstr xml(document), store(u"My"), thumb(g2001_.thumbprint), pin(g2001_.pin), out, text;
                signer->SignWithCertStorePass(xml.p, store.p, thumb.p, pin.p, &out.p);
                INT code = -1;
                signer->SignGetLastErrorCode(&code);
                signer->SignGetLastErrorStack(&text.p);
                stack = text.Text();
                problems.Check(code == 19, where + ": code " + std::to_string(code));
            } else {
                Ref<IMSXmlVerifier> verifier;
                if (!Create(CLSID_CMSXmlVerifier, IID_IMSXmlVerifier, verifier))
                    return problems.Add(where + ": not created");
                Bstr xml(document), path(g2001_.der.string()), text;
                VARIANT_BOOL result = 1;
                verifier->VerifyUsingCertFileWoCert(xml.p, path.p, &result);
                INT code = -1;
                verifier->SignGetLastErrorCode(&code);
                verifier->SignGetLastErrorStack(&text.p);
                stack = text.Text();
                problems.Check(result == VARIANT_FALSE && code == 2007,
                               where + ": code " + std::to_string(code));
            }
            problems.Check(stack.find(U16(markers[t])) != std::u16string::npos,
                           where + ": its own report is missing: " + Utf8(stack));
            problems.Check(!others(t, stack),
                           where + ": another class's report is on its stack: " + Utf8(stack));
        }
    });
    EXPECT_TRUE(problems.Empty()) << problems.Report();
}

// CXmlSigner is registered for both threading models: threads of the
// multithreaded apartment may call one object at once.
TEST_F(Threads, OneCXmlSignerCalledFromSeveralThreadsOfTheMultithreadedApartment)
{
    Ref<IXmlSigner> shared;
    {
        std::thread([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            Create(CLSID_CXmlSigner, IID_IXmlSigner, shared);
            CoUninitialize();
        }).join();
    }
    ASSERT_NE(shared.p, nullptr);
    Problems problems;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < kRounds * 2; ++i) {
                const int d = (t + i) % kDocuments;
                const std::string where = "thread " + std::to_string(t) + ", call " + std::to_string(i);
                Bstr xml(Document(d)), key(rsaKey_.string()), out, error;
                HRESULT status = shared->SignWithKey(xml.p, key.p, &out.p);
                shared->SignFGetLastError(&error.p);
                problems.Check(status == S_OK && out.Text() == expected_.rsaSigned[d],
                               where + ": SignWithKey gave " + std::to_string(status) + ": " +
                                   Utf8(error.Text()));
            }
            CoUninitialize();
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(problems.Empty()) << problems.Report();
}

// Objects of every class created and released on several threads, some of
// them used once, while COM keeps asking the module whether it can go.
TEST_F(Threads, CreateReleaseStormsWithUnusedLibrariesFreedInBetween)
{
    Problems problems;
    std::atomic<bool> done{false};
    std::thread freer([&] {
        Apartment apartment;
        while (!done.load()) {
            CoFreeUnusedLibraries();
            std::this_thread::yield();
        }
    });
    constexpr int kCycles = 30;
    RunTogether(kThreads, [&](int t) {
        for (int i = 0; i < kCycles; ++i) {
            const std::string where = "thread " + std::to_string(t) + ", cycle " + std::to_string(i);
            {
                Ref<IXmlSigner> a;
                Ref<IMSXmlSigner> b;
                Ref<IMSXmlVerifier> c;
                Ref<ICryptEncMessage> d;
                problems.Check(Create(CLSID_CXmlSigner, IID_IXmlSigner, a) &&
                                   Create(CLSID_CMSXmlSigner, IID_IMSXmlSigner, b) &&
                                   Create(CLSID_CMSXmlVerifier, IID_IMSXmlVerifier, c) &&
                                   Create(CLSID_CCryptEncMessage, IID_ICryptEncMessage, d),
                               where + ": an object was not created");
                INT code = -1;
                if (b.p)
                    problems.Check(b->SignGetLastErrorCode(&code) == S_OK && code == 0, where + ": new code");
            }
            // Every few cycles one call of one class: the libraries start, and
            // a CXmlSigner's release may shut them down while others start.
            const int d = i % kDocuments;
            switch ((t + i) % 6) {
            case 0:
                problems.Check(SignRsa(Document(d), problems, where) == expected_.rsaSigned[d],
                               where + ": SignWithKey differs");
                break;
            case 2:
                problems.Check(Element(SignGost(g2001_, Document(d), problems, where), u"DigestValue") ==
                                   expected_.digest2001[d],
                               where + ": the 2001 digest differs");
                break;
            case 4:
                EncryptDecrypt("storm " + where, problems, where);
                break;
            default:
                break;
            }
        }
    });
    done.store(true);
    freer.join();
    EXPECT_TRUE(problems.Empty()) << problems.Report();

    // Nothing left alive: the module can go, and comes back for the next object.
    CoFreeUnusedLibraries();
    Problems after;
    EXPECT_EQ(SignRsa(Document(0), after, "after the storm"), expected_.rsaSigned[0]);
    EXPECT_TRUE(after.Empty()) << after.Report();
}

} // namespace

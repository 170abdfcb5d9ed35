// Calls per second of every class of both modules on one thread against two
// threads at once (each thread its own apartment and its own object), in one
// process; every result is checked: the first module's PEM signer, store
// signer, verifier and message class (encryption to the store certificate and
// decryption back to the same text), the second module's element signer,
// element verifier and CMS signer (SignedData made, and verified).
//
// On a machine busy with other work the wall-clock figures understate what
// two threads can do, so each row also gives the figures on processor time:
// a thread's time less what it spent ready to run but waiting for a core
// (the kernel's run-queue time), i.e. what the calls took on a core of their
// own, waits for locks included. One thread and two take turns in short
// rounds. TRUMIK_THREAD_BENCH_ROWS=text runs only the
// rows whose name holds the text.
//   thread_bench SECONDS DOCUMENT PEMKEY STORE-THUMBPRINT PIN CERT.der [THUMBPRINT-2012 PIN-2012
//   CERT-2012.der]
// The 2012 rows need the AcceptGost2012 switch on.
#include "ZelvaneTrumikExchange.h"
#include "ZelvaneTrumikXmlSigner.h"

#include <objbase.h>
#include <winnls.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::u16string Wide(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
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

template <class T> bool Create(const CLSID& clsid, REFIID iid, Ref<T>& out)
{
    void* object = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &object);
    out.p = static_cast<T*>(object);
    return hr == S_OK && object;
}

struct Inputs {
    std::u16string document, key, thumbprint, pin, cert;
    std::u16string thumbprint2012, pin2012, cert2012;
    std::u16string signed2001, signed2012; // made once, for the verification rows
    std::string documentBytes;             // the document as UTF-8, for the CMS signer
    std::u16string documentBase64;         // and in Base64, for the message class
    // The element rows: a message whose element "D" is signed into "S", with
    // the 2012 certificate when given, else the 2001 one.
    std::u16string message, signedMessage, elementThumbprint, elementPin;
};

// One kind of call: a factory for a thread's own caller, which returns
// whether one call succeeded with the expected result.
using Caller = std::function<bool()>;
using CallerFactory = std::function<Caller()>;

// A factory whose caller owns one object of a class, made on the caller's
// thread, and runs `call` on it.
template <class T, class F> CallerFactory Each(const CLSID& clsid, REFIID iid, F call)
{
    return [&clsid, &iid, call]() -> Caller {
        auto object = std::make_shared<Ref<T>>();
        if (!Create(clsid, iid, *object))
            return [] { return false; };
        return [object, call] { return call(object->p); };
    };
}

CallerFactory PemSigner(const Inputs& in)
{
    return Each<IXmlSigner>(CLSID_CXmlSigner, IID_IXmlSigner, [&in](IXmlSigner* signer) {
        Bstr xml(in.document), key(in.key), out;
        return signer->SignWithKey(xml.p, key.p, &out.p) == S_OK &&
               out.Text().find(u"<SignatureValue>") != std::u16string::npos;
    });
}

CallerFactory GostSigner(const Inputs& in, bool use2012)
{
    return Each<IMSXmlSigner>(CLSID_CMSXmlSigner, IID_IMSXmlSigner, [&in, use2012](IMSXmlSigner* signer) {
        Bstr xml(in.document), store(u"My"), thumb(use2012 ? in.thumbprint2012 : in.thumbprint),
            pin(use2012 ? in.pin2012 : in.pin), out;
        INT code = -1;
        return signer->SignWithCertStorePass(xml.p, store.p, thumb.p, pin.p, &out.p) == S_OK &&
               signer->SignGetLastErrorCode(&code) == S_OK && code == 0 &&
               out.Text().find(u"<SignatureValue>") != std::u16string::npos;
    });
}

CallerFactory Verifier(const Inputs& in, bool use2012)
{
    return Each<IMSXmlVerifier>(
        CLSID_CMSXmlVerifier, IID_IMSXmlVerifier, [&in, use2012](IMSXmlVerifier* verifier) {
            Bstr xml(use2012 ? in.signed2012 : in.signed2001), path(use2012 ? in.cert2012 : in.cert);
            VARIANT_BOOL result = VARIANT_FALSE;
            INT code = -1;
            return verifier->VerifyUsingCertFileWoCert(xml.p, path.p, &result) == S_OK &&
                   result == VARIANT_TRUE && verifier->SignGetLastErrorCode(&code) == S_OK && code == 0;
        });
}

// Base64 of bytes, the text form the message class takes and gives.
std::u16string Base64(const std::string& bytes)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::u16string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 2]);
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? digits[v & 63] : '=';
    }
    return out;
}

// The text without line breaks.
std::u16string Unbroken(std::u16string text)
{
    std::erase_if(text, [](char16_t c) { return c == u'\r' || c == u'\n'; });
    return text;
}

// The message class: encrypts the document to the store certificate and
// decrypts it back, each call checking the round trip's text.
CallerFactory Message(const Inputs& in)
{
    return Each<ICryptEncMessage>(
        CLSID_CCryptEncMessage, IID_ICryptEncMessage, [&in](ICryptEncMessage* message) {
            Bstr store(u"My"), thumb(in.thumbprint), pin(in.pin), text(in.documentBase64), sealed, opened;
            INT code = -1;
            return message->CryptMessage(store.p, thumb.p, text.p, &sealed.p) == S_OK && sealed.p &&
                   message->DecryptMessage(store.p, thumb.p, nullptr, pin.p, sealed.p, &opened.p) == S_OK &&
                   message->CryptGetLastErrorCode(&code) == S_OK && code == 0 &&
                   Unbroken(opened.Text()) == in.documentBase64;
        });
}

// The element signer: signs the element of Id "D" of in.message into "S".
CallerFactory ElementSigner(const Inputs& in)
{
    return Each<IXmlElementSigner>(
        CLSID_CXmlElementSigner, IID_IXmlElementSigner, [&in](IXmlElementSigner* signer) {
            Bstr xml(in.message), id(u"D"), into(u"S"), store(u"My"), thumb(in.elementThumbprint),
                pin(in.elementPin), profile(u"smev3"), out;
            INT code = -1;
            return signer->SignElement(xml.p, id.p, into.p, store.p, thumb.p, pin.p, profile.p, &out.p) ==
                       S_OK &&
                   signer->GetLastErrorCode(&code) == S_OK && code == 0 &&
                   out.Text().find(u"SignatureValue") != std::u16string::npos;
        });
}

CallerFactory ElementVerifier(const Inputs& in)
{
    return Each<IXmlElementVerifier>(
        CLSID_CXmlElementVerifier, IID_IXmlElementVerifier, [&in](IXmlElementVerifier* verifier) {
            Bstr xml(in.signedMessage);
            VARIANT_BOOL all = VARIANT_FALSE;
            LONG count = 0;
            return verifier->VerifyDocument(xml.p, &all) == S_OK && all == VARIANT_TRUE &&
                   verifier->SignatureCount(&count) == S_OK && count == 1;
        });
}

// A VARIANT holding a byte array, cleared with it.
struct ByteVariant {
    VARIANT v;
    ByteVariant() { VariantInit(&v); }
    explicit ByteVariant(const std::string& bytes) : ByteVariant()
    {
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        void* data = nullptr;
        if (v.parray && SafeArrayAccessData(v.parray, &data) == S_OK) {
            std::memcpy(data, bytes.data(), bytes.size());
            SafeArrayUnaccessData(v.parray);
        }
    }
    ~ByteVariant() { VariantClear(&v); }
    ByteVariant(const ByteVariant&) = delete;
    ByteVariant& operator=(const ByteVariant&) = delete;
};

// The CMS signer: an attached SignedData of the document, then its verification.
CallerFactory CmsSigner(const Inputs& in)
{
    return Each<ICmsSigner>(CLSID_CCmsSigner, IID_ICmsSigner, [&in](ICmsSigner* signer) {
        ByteVariant data(in.documentBytes), signedData, nothing;
        Bstr store(u"My"), thumb(in.elementThumbprint), pin(in.elementPin);
        VARIANT_BOOL valid = VARIANT_FALSE;
        LONG count = 0;
        return signer->Sign(&data.v, store.p, thumb.p, pin.p, VARIANT_FALSE, &signedData.v) == S_OK &&
               signedData.v.vt == (VT_ARRAY | VT_UI1) &&
               signer->Verify(&signedData.v, &nothing.v, &valid) == S_OK && valid == VARIANT_TRUE &&
               signer->SignerCount(&count) == S_OK && count == 1;
    });
}

struct Run {
    std::vector<long> calls;     // per thread
    std::vector<double> ownCore; // per thread: seconds less the run-queue wait
    long failures = 0;
    double seconds = 0;
};

// Seconds this thread has waited in the run queue so far (0 when the kernel
// does not say).
double RunQueueSeconds()
{
    unsigned long long onCpu = 0, waiting = 0;
    std::FILE* f = std::fopen("/proc/thread-self/schedstat", "r");
    if (!f)
        return 0;
    const bool read = std::fscanf(f, "%llu %llu", &onCpu, &waiting) == 2;
    std::fclose(f);
    return read ? static_cast<double>(waiting) / 1e9 : 0;
}

// Each factory on a thread of its own, all calling for `seconds`.
Run RunFor(double seconds, const std::vector<CallerFactory>& factories)
{
    Run run;
    run.calls.assign(factories.size(), 0);
    run.ownCore.assign(factories.size(), 0);
    std::atomic<int> ready{0};
    std::atomic<bool> stop{false};
    std::atomic<long> failures{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < factories.size(); ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            {
                Caller call = factories[t]();
                // Warm: the libraries and the back-end start on the first call.
                for (int i = 0; i < 3; ++i) {
                    if (!call())
                        failures.fetch_add(1);
                }
                ready.fetch_add(1);
                while (ready.load() < static_cast<int>(factories.size()))
                    std::this_thread::yield();
                long n = 0;
                const auto start = std::chrono::steady_clock::now();
                const double queued = RunQueueSeconds();
                while (!stop.load()) {
                    if (!call())
                        failures.fetch_add(1);
                    ++n;
                }
                run.ownCore[t] =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() -
                    (RunQueueSeconds() - queued);
                run.calls[t] = n;
            }
            CoUninitialize();
        });
    }
    while (ready.load() < static_cast<int>(factories.size()))
        std::this_thread::yield();
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    for (std::thread& thread : threads)
        thread.join();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.failures = failures.load();
    return run;
}

long Total(const Run& run)
{
    long total = 0;
    for (long n : run.calls)
        total += n;
    return total;
}

// Calls per second with each thread on a core of its own.
double OwnCoreRate(const Run& run)
{
    double rate = 0;
    for (size_t t = 0; t < run.calls.size(); ++t)
        if (run.ownCore[t] > 0)
            rate += run.calls[t] / run.ownCore[t];
    return rate;
}

// The calls and times of several runs as one.
void Add(Run& total, const Run& run)
{
    if (total.calls.empty()) {
        total = run;
        return;
    }
    for (size_t t = 0; t < run.calls.size(); ++t) {
        total.calls[t] += run.calls[t];
        total.ownCore[t] += run.ownCore[t];
    }
    total.seconds += run.seconds;
    total.failures += run.failures;
}

// One thread and two take turns in short rounds (TRUMIK_THREAD_BENCH_ROUNDS,
// 4 by default), so that a machine whose speed drifts while the row runs
// (a virtual machine's neighbours) slows both alike.
bool Row(const char* name, double seconds, const CallerFactory& factory)
{
    if (const char* only = std::getenv("TRUMIK_THREAD_BENCH_ROWS"); only && !std::strstr(name, only))
        return true;
    const char* roundsText = std::getenv("TRUMIK_THREAD_BENCH_ROUNDS");
    const int rounds = roundsText && std::atoi(roundsText) > 0 ? std::atoi(roundsText) : 4;
    Run one, two;
    for (int round = 0; round < rounds; ++round) {
        Add(one, RunFor(seconds / rounds, {factory}));
        Add(two, RunFor(seconds / rounds, {factory, factory}));
    }
    const double a = Total(one) / one.seconds, b = Total(two) / two.seconds;
    const double ratio = a > 0 ? b / a : 0;
    const double ownA = OwnCoreRate(one), ownB = OwnCoreRate(two);
    const double ownRatio = ownA > 0 ? ownB / ownA : 0;
    std::printf("%-34s %10.1f %10.1f %7.2f  %-6s  %10.1f %10.1f %7.2f  %s%s\n", name, a, b, ratio,
                ratio >= 1.7 ? "met" : "missed", ownA, ownB, ownRatio, ownRatio >= 1.7 ? "met" : "missed",
                one.failures + two.failures ? "  RESULTS WRONG" : "");
    return one.failures + two.failures == 0;
}

std::string ReadFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7 && argc != 10) {
        std::fprintf(stderr, "usage: thread_bench SECONDS DOCUMENT PEMKEY THUMBPRINT PIN CERT.der "
                             "[THUMBPRINT-2012 PIN-2012 CERT-2012.der]\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    Inputs in;
    in.document = Wide(ReadFile(argv[2]));
    in.key = Wide(argv[3]);
    in.thumbprint = Wide(argv[4]);
    in.pin = Wide(argv[5]);
    in.cert = Wide(argv[6]);
    const bool with2012 = argc == 10;
    if (with2012) {
        in.thumbprint2012 = Wide(argv[7]);
        in.pin2012 = Wide(argv[8]);
        in.cert2012 = Wide(argv[9]);
    }

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    auto signOnce = [&](bool use2012) {
        Ref<IMSXmlSigner> signer;
        Bstr xml(in.document), store(u"My"), thumb(use2012 ? in.thumbprint2012 : in.thumbprint),
            pin(use2012 ? in.pin2012 : in.pin), out;
        if (Create(CLSID_CMSXmlSigner, IID_IMSXmlSigner, signer))
            signer->SignWithCertStorePass(xml.p, store.p, thumb.p, pin.p, &out.p);
        return out.Text();
    };
    in.signed2001 = signOnce(false);
    if (with2012)
        in.signed2012 = signOnce(true);
    if (in.signed2001.empty() || (with2012 && in.signed2012.empty())) {
        std::fprintf(stderr, "thread_bench: the documents to verify could not be signed\n");
        return 1;
    }

    in.documentBytes = ReadFile(argv[2]);
    in.documentBase64 = Base64(in.documentBytes);
    in.elementThumbprint = with2012 ? in.thumbprint2012 : in.thumbprint;
    in.elementPin = with2012 ? in.pin2012 : in.pin;
    {
        // The document's root element becomes the signed element of a message.
        std::u16string body = in.document;
        if (body.rfind(u"<?xml", 0) == 0)
            body.erase(0, body.find(u"?>") + 2);
        in.message = u"<m:Msg xmlns:m=\"urn:m\"><m:Data Id=\"D\" xmlns=\"urn:d\">" + body +
                     u"</m:Data><m:Sig Id=\"S\"/></m:Msg>";
        Ref<IXmlElementSigner> signer;
        Bstr xml(in.message), id(u"D"), into(u"S"), store(u"My"), thumb(in.elementThumbprint),
            pin(in.elementPin), profile(u"smev3"), out;
        if (Create(CLSID_CXmlElementSigner, IID_IXmlElementSigner, signer))
            signer->SignElement(xml.p, id.p, into.p, store.p, thumb.p, pin.p, profile.p, &out.p);
        in.signedMessage = out.Text();
    }
    if (in.signedMessage.empty()) {
        std::fprintf(stderr, "thread_bench: the message to verify could not be signed\n");
        return 1;
    }

    bool ok = true;
    std::printf("%-34s %10s %10s %7s  %-6s  %10s %10s %7s  %s\n", "calls per second", "1 thread", "2 threads",
                "ratio", "1.7x", "own core 1", "own core 2", "ratio", "1.7x");
    ok &= Row("SignWithKey", seconds, PemSigner(in));
    ok &= Row("SignWithCertStorePass 2001", seconds, GostSigner(in, false));
    if (with2012)
        ok &= Row("SignWithCertStorePass 2012-256", seconds, GostSigner(in, true));
    ok &= Row("VerifyUsingCertFileWoCert 2001", seconds, Verifier(in, false));
    if (with2012)
        ok &= Row("VerifyUsingCertFileWoCert 2012-256", seconds, Verifier(in, true));

    ok &= Row("CCryptEncMessage encrypt+decrypt", seconds, Message(in));
    ok &= Row("CXmlElementSigner smev3", seconds, ElementSigner(in));
    ok &= Row("CXmlElementVerifier", seconds, ElementVerifier(in));
    ok &= Row("CCmsSigner sign+verify", seconds, CmsSigner(in));

    // Mixed: one thread CXmlSigner, one CMSXmlSigner, each against itself alone.
    if (const char* only = std::getenv("TRUMIK_THREAD_BENCH_ROWS"); only && *only) {
        CoUninitialize();
        return ok ? 0 : 1;
    }
    Run pemAlone = RunFor(seconds, {PemSigner(in)});
    Run gostAlone = RunFor(seconds, {GostSigner(in, false)});
    Run mixed = RunFor(seconds, {PemSigner(in), GostSigner(in, false)});
    const double pemShare = (mixed.calls[0] / mixed.seconds) / (Total(pemAlone) / pemAlone.seconds);
    const double gostShare = (mixed.calls[1] / mixed.seconds) / (Total(gostAlone) / gostAlone.seconds);
    std::printf("mixed SignWithKey + SignWithCertStorePass 2001: %.1f + %.1f calls/s, %.2f + %.2f of each "
                "alone = %.2fx%s\n",
                mixed.calls[0] / mixed.seconds, mixed.calls[1] / mixed.seconds, pemShare, gostShare,
                pemShare + gostShare,
                pemAlone.failures + gostAlone.failures + mixed.failures ? "  RESULTS WRONG" : "");
    ok &= pemAlone.failures + gostAlone.failures + mixed.failures == 0;
    CoUninitialize();
    return ok ? 0 : 1;
}

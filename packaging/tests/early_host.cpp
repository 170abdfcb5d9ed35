// An early-binding host built only against an installed prefix
// (pkg-config trumik): creates CMSXmlSigner with CoCreateInstance, signs the
// document IN with the store certificate THUMBPRINT and its key's PIN through
// the virtual table, and writes the signed document to standard output.
//   early_host THUMBPRINT PIN IN
#include <ZelvaneTrumikXmlSigner.h>
#include <objbase.h>
#include <winnls.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace {

struct Apartment {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ~Apartment()
    {
        if (SUCCEEDED(hr))
            CoUninitialize();
    }
};

struct Releaser {
    void operator()(IUnknown* p) const { p->Release(); }
};

struct BstrFree {
    void operator()(OLECHAR* b) const { SysFreeString(b); }
};
using BstrPtr = std::unique_ptr<OLECHAR, BstrFree>;

BstrPtr FromUtf8(const std::string& text)
{
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    BstrPtr result(SysAllocStringLen(nullptr, static_cast<UINT>(units)));
    if (result && units > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.get(), units);
    return result;
}

std::string ToUtf8(BSTR text)
{
    int units = static_cast<int>(SysStringLen(text));
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, units, result.data(), bytes, nullptr, nullptr);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: early_host THUMBPRINT PIN IN\n");
        return 2;
    }
    std::ifstream in(argv[3], std::ios::binary);
    std::string document((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    Apartment apartment;
    IMSXmlSigner* raw = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_CMSXmlSigner, nullptr, CLSCTX_INPROC_SERVER, IID_IMSXmlSigner,
                                  reinterpret_cast<void**>(&raw));
    if (FAILED(hr)) {
        std::fprintf(stderr, "CoCreateInstance failed: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::unique_ptr<IMSXmlSigner, Releaser> signer(raw);

    BstrPtr xml = FromUtf8(document), store = FromUtf8("My"), thumbprint = FromUtf8(argv[1]),
            pin = FromUtf8(argv[2]);
    BSTR out = nullptr;
    hr = signer->SignWithCertStorePass(xml.get(), store.get(), thumbprint.get(), pin.get(), &out);
    BstrPtr signedXml(out);
    INT code = -1;
    signer->SignGetLastErrorCode(&code);
    if (hr != S_OK || code != 0 || !signedXml) {
        BSTR message = nullptr;
        signer->SignGetLastError(&message);
        BstrPtr owned(message);
        std::fprintf(stderr, "SignWithCertStorePass: 0x%08X, code %d: %s\n", static_cast<unsigned>(hr), code,
                     owned ? ToUtf8(owned.get()).c_str() : "");
        return 1;
    }
    std::fputs(ToUtf8(signedXml.get()).c_str(), stdout);
    return 0;
}

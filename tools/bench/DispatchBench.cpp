// Times SignWithKey of one document through the virtual table and through
// IDispatch::Invoke on the same object, and prints the dispatch overhead.
#include "ZelvaneTrumikXmlSigner.h"

#include <objbase.h>
#include <winnls.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::u16string Wide(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
    out.pop_back();
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: dispatch_bench DOCUMENT KEYFILE [ROUNDS]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string document((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int rounds = argc > 3 ? std::atoi(argv[3]) : 300;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    void* out = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_CXmlSigner, nullptr, CLSCTX_INPROC_SERVER, IID_IXmlSigner, &out);
    if (FAILED(hr)) {
        std::fprintf(stderr, "dispatch_bench: CoCreateInstance failed: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    auto* signer = static_cast<IXmlSigner*>(out);
    std::u16string xmlText = Wide(document), keyText = Wide(argv[2]);
    BSTR xml = SysAllocStringLen(xmlText.data(), static_cast<UINT>(xmlText.size()));
    BSTR key = SysAllocStringLen(keyText.data(), static_cast<UINT>(keyText.size()));

    auto early = [&] {
        BSTR result = nullptr;
        HRESULT status = signer->SignWithKey(xml, key, &result);
        SysFreeString(result);
        return status;
    };
    const IID none = {};
    auto late = [&] {
        VARIANT args[2];
        args[1].vt = VT_BSTR;
        args[1].bstrVal = xml;
        args[0].vt = VT_BSTR;
        args[0].bstrVal = key;
        DISPPARAMS params = {args, nullptr, 2, 0};
        VARIANT result;
        VariantInit(&result);
        HRESULT status = signer->Invoke(6, none, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        VariantClear(&result);
        return status;
    };
    if (early() != S_OK || late() != S_OK) {
        std::fprintf(stderr, "dispatch_bench: signing failed\n");
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    double best[2] = {1e30, 1e30};
    // Alternate the two ways in blocks so that both see the same machine.
    for (int block = 0; block < 5; ++block) {
        for (int way = 0; way < 2; ++way) {
            auto start = Clock::now();
            for (int i = 0; i < rounds / 5; ++i)
                way == 0 ? early() : late();
            double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / (rounds / 5);
            if (us < best[way])
                best[way] = us;
        }
    }
    std::printf("SignWithKey, %zu-byte document: virtual table %.1f us, IDispatch::Invoke %.1f us, overhead %.2f%%\n",
                document.size(), best[0], best[1], (best[1] - best[0]) / best[0] * 100.0);
    SysFreeString(xml);
    SysFreeString(key);
    signer->Release();
    CoUninitialize();
    return 0;
}

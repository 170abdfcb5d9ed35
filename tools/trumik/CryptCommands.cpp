#include "CryptCommands.h"

#include "Automation.h"
#include "CommandLine.h"
#include "Hints.h"
#include "internal/Base64.h"

#include <objbase.h>
#include <winnls.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

namespace trumik::host {

const char kEncryptHelp[] =
    "usage: trumik encrypt --store STORE --thumbprint HEX [--base64] [IN] [-o OUT]\n"
    "  Encrypts IN (standard input when absent) for the holder of the certificate with the SHA-1\n"
    "  thumbprint HEX in the system store STORE (the user's, else the machine's) as a GOST 28147-89\n"
    "  CMS message (CryptMessageByte) and writes it to OUT (standard output when absent) in DER.\n"
    "  --base64: IN is Base64 text and the message is written as Base64 text (CryptMessage).\n";
const char kDecryptHelp[] =
    "usage: trumik decrypt --store STORE --thumbprint HEX [--pin PIN] [--container NAME] [--base64] [IN] [-o "
    "OUT]\n"
    "  Decrypts the CMS message IN (standard input when absent) with the key container of the\n"
    "  certificate (DecryptMessageByte) and writes the plain data to OUT (standard output when absent).\n"
    "  --pin PIN: the container's password. --container NAME: the machine container to use (through\n"
    "  DecryptMessage). --base64: IN is Base64 text and the data is written as Base64 text "
    "(DecryptMessage).\n";
const char kContainerNameHelp[] = "usage: trumik container-name --store STORE --thumbprint HEX\n"
                                  "  Prints the key container of the certificate (GetContainerName).\n";
const char kProviderInfoHelp[] = "usage: trumik provider-info\n"
                                 "  Prints the crypto provider the component works with (GetProviderInfo).\n";

namespace {

constexpr char kProgId[] = "ZelvaneTrumikXmlSigner.CryptEncMessage";
const IID kNullIid = {};

// Owns the argument variants of one call.
struct Args {
    std::vector<VARIANT> values; // in parameter order
    VARIANT array{};             // the byte array that a by-reference argument points at
    Args() { VariantInit(&array); }
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    ~Args() { Clear(); }
    // Frees the arguments, so that a large input is gone before the result is copied.
    void Clear()
    {
        for (VARIANT& v : values)
            VariantClear(&v); // a by-reference entry frees nothing
        values.clear();
        VariantClear(&array);
    }
    // The bytes as a one-dimensional byte array, passed by reference as the
    // message methods take it; false when memory runs out.
    bool Bytes(const std::string& data)
    {
        SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(data.size()));
        if (!psa)
            return false;
        if (!data.empty())
            std::memcpy(psa->pvData, data.data(), data.size());
        VariantClear(&array);
        array.vt = VT_ARRAY | VT_UI1;
        array.parray = psa;
        VARIANT ref;
        VariantInit(&ref);
        ref.vt = VT_BYREF | VT_VARIANT;
        ref.pvarVal = &array;
        values.push_back(ref);
        return true;
    }
    // UTF-8 text converted straight into the argument's string: a large text
    // is not held a third time on its way.
    void Utf8Text(const std::string& text)
    {
        const int room = text.size() > INT_MAX ? -1 : static_cast<int>(text.size());
        const int units = room > 0 ? MultiByteToWideChar(CP_UTF8, 0, text.data(), room, nullptr, 0) : 0;
        if (room < 0 || (room > 0 && units <= 0)) {
            Text(FromUtf8(text)); // the general conversion's reading of it
            return;
        }
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(units));
        if (v.bstrVal && units > 0)
            MultiByteToWideChar(CP_UTF8, 0, text.data(), room, v.bstrVal, units);
        values.push_back(v);
    }
    void Text(const std::optional<std::u16string>& text)
    {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = text ? SysAllocStringLen(text->data(), static_cast<UINT>(text->size())) : nullptr;
        values.push_back(v);
    }
    void Long(LONG n)
    {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = n;
        values.push_back(v);
    }
};

// The message commands' options.
struct MessageOptions {
    std::string store, thumbprint, in, out;
    std::optional<std::string> pin, container;
    bool base64 = false;
};

// Parses the options of a message command; a usage error is reported and
// gives nullopt.
std::optional<MessageOptions> ParseMessageOptions(const std::vector<std::string>& args, const char* topic)
{
    const bool decrypt = std::string(topic) == "decrypt";
    const bool data = decrypt || std::string(topic) == "encrypt";
    CommandSyntax syntax{topic, {"store", "thumbprint"}, {}, {}, {"store", "thumbprint"}, data ? 1u : 0u};
    if (data) {
        syntax.valued.insert("out");
        syntax.flags.insert("base64");
        syntax.letters["-o"] = "out";
    }
    if (decrypt)
        syntax.valued.insert({"pin", "container"});
    const std::optional<Options> options = ParseCommandLine(args, syntax);
    if (!options)
        return std::nullopt;
    MessageOptions o;
    o.store = *options->Get("store");
    o.thumbprint = *options->Get("thumbprint");
    o.in = options->positional.empty() ? std::string() : options->positional[0];
    o.out = options->Get("out", "");
    o.pin = options->Get("pin");
    o.container = options->Get("container");
    o.base64 = options->Has("base64");
    return o;
}

bool ReadInput(const std::string& path, std::string& bytes)
{
    return ReadFileBytes(path.empty() ? "-" : path, bytes);
}

std::string Unbase64(const std::string& text)
{
    const std::vector<uint8_t> bytes = trumik::platform::Base64DecodeLenient(text);
    return std::string(bytes.begin(), bytes.end());
}

class Messenger {
  public:
    // Creates the object for the certificate the command names.
    HRESULT Create(const MessageOptions& o)
    {
        certificate_ = {o.store, o.thumbprint, {}};
        return CreateForCommand(kProgId, object_) ? S_OK : E_FAIL;
    }

    // Calls the method by name with the arguments in parameter order; the
    // result variant is the method's [out, retval] value.
    HRESULT Invoke(const char16_t* method, Args& args, VARIANT* result)
    {
        DISPID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(method);
        HRESULT hr = object_.p->GetIDsOfNames(kNullIid, &name, 1, 0, &id);
        if (FAILED(hr))
            return hr;
        std::vector<VARIANT> reversed(args.values.rbegin(), args.values.rend());
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        UINT argErr = 0;
        return object_.p->Invoke(id, kNullIid, 0, DISPATCH_METHOD, &params, result, nullptr, &argErr);
    }

    LONG LastCode()
    {
        Args none;
        VARIANT v;
        VariantInit(&v);
        LONG code = -1;
        if (SUCCEEDED(Invoke(u"CryptGetLastErrorCode", none, &v)) && v.vt == VT_I4)
            code = v.lVal;
        VariantClear(&v);
        return code;
    }

    // Prints the component's message (and its error stack) to standard
    // error, then the hint for the method's code, if any.
    void ReportFailure(const char16_t* method, LONG code)
    {
        for (const char16_t* method : {u"CryptGetLastError", u"CryptGetLastErrorStack"}) {
            Args none;
            VARIANT v;
            VariantInit(&v);
            if (SUCCEEDED(Invoke(method, none, &v)) && v.vt == VT_BSTR && SysStringLen(v.bstrVal) > 0)
                std::fprintf(stderr, "%s\n", ToUtf8(v.bstrVal, SysStringLen(v.bstrVal)).c_str());
            VariantClear(&v);
        }
        PrintFailureHint(ToUtf8(method, std::char_traits<char16_t>::length(method)), code, certificate_);
    }

  private:
    DispatchRef object_;
    CertificateRef certificate_;
};

std::optional<std::u16string> Text(const std::optional<std::string>& utf8)
{
    if (!utf8)
        return std::nullopt;
    return FromUtf8(*utf8);
}

// Runs one method; on success hands its result over as bytes (a byte array)
// or as UTF-8 text (a string). Returns the exit status.
int Run(Messenger& messenger, const char16_t* method, Args& args, std::string& output)
{
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = messenger.Invoke(method, args, &result);
    args.Clear();
    int status = 0;
    if (FAILED(hr)) {
        std::fprintf(stderr, "trumik: the call failed (%s)\n", HResultText(hr).c_str());
        status = 1;
    } else if (LONG code = messenger.LastCode(); code != 0) {
        messenger.ReportFailure(method, code);
        status = 1;
    } else if (result.vt == (VT_ARRAY | VT_UI1) && result.parray) {
        void* data = nullptr;
        SafeArrayAccessData(result.parray, &data);
        output.assign(static_cast<const char*>(data), result.parray->rgsabound[0].cElements);
        SafeArrayUnaccessData(result.parray);
    } else if (result.vt == VT_BSTR) {
        output = ToUtf8(result.bstrVal, SysStringLen(result.bstrVal));
    }
    VariantClear(&result);
    return status;
}

// Reads the input, calls the component through call with the store and the
// thumbprint as the first arguments, and writes what the call returned.
template <typename Call> int MessageCommand(const MessageOptions& o, Call call)
{
    std::string input;
    if (!ReadInput(o.in, input)) {
        std::fprintf(stderr, "trumik: cannot read %s\n", o.in.c_str());
        return 1;
    }
    ComApartment com;
    Messenger messenger;
    if (FAILED(messenger.Create(o)))
        return 2;
    Args args;
    args.Text(FromUtf8(o.store));
    args.Text(FromUtf8(o.thumbprint));
    std::string output;
    int status = call(messenger, args, input, output);
    if (status == 0 && !WriteOutput(o.out, output))
        return 1;
    return status;
}

// The length and the bytes of a binary argument, the input freed once the
// array holds it; false when out of memory.
bool AddBytes(Args& args, std::string& input)
{
    args.Long(static_cast<LONG>(input.size()));
    if (!args.Bytes(input)) {
        std::fputs("trumik: out of memory\n", stderr);
        return false;
    }
    std::string().swap(input);
    return true;
}

} // namespace

int EncryptCommand(const std::vector<std::string>& all)
{
    const std::optional<MessageOptions> parsed = ParseMessageOptions(all, "encrypt");
    if (!parsed)
        return kExitUsage;
    const MessageOptions& o = *parsed;
    return MessageCommand(o, [&](Messenger& messenger, Args& args, std::string& input, std::string& output) {
        if (o.base64) {
            args.Utf8Text(input);
            std::string().swap(input);
            int status = Run(messenger, u"CryptMessage", args, output);
            output += "\n";
            return status;
        }
        if (!AddBytes(args, input))
            return 1;
        return Run(messenger, u"CryptMessageByte", args, output);
    });
}

int DecryptCommand(const std::vector<std::string>& all)
{
    const std::optional<MessageOptions> parsed = ParseMessageOptions(all, "decrypt");
    if (!parsed)
        return kExitUsage;
    const MessageOptions& o = *parsed;
    return MessageCommand(o, [&](Messenger& messenger, Args& args, std::string& input, std::string& output) {
        if (o.base64 || o.container) {
            // The text method; binary input and output are carried as Base64.
            args.Text(Text(o.container));
            args.Text(Text(o.pin));
            if (o.base64)
                args.Utf8Text(input);
            else
                args.Utf8Text(trumik::platform::Base64Encode(reinterpret_cast<const uint8_t*>(input.data()),
                                                             input.size()));
            std::string().swap(input);
            int status = Run(messenger, u"DecryptMessage", args, output);
            output = o.base64 ? output + "\n" : Unbase64(output);
            return status;
        }
        args.Text(Text(o.pin));
        if (!AddBytes(args, input))
            return 1;
        return Run(messenger, u"DecryptMessageByte", args, output);
    });
}

int ContainerNameCommand(const std::vector<std::string>& all)
{
    const std::optional<MessageOptions> o = ParseMessageOptions(all, "container-name");
    if (!o)
        return kExitUsage;
    ComApartment com;
    Messenger messenger;
    if (FAILED(messenger.Create(*o)))
        return 2;
    Args args;
    args.Text(FromUtf8(o->store));
    args.Text(FromUtf8(o->thumbprint));
    std::string output;
    int status = Run(messenger, u"GetContainerName", args, output);
    if (status == 0)
        std::printf("%s\n", output.c_str());
    return status;
}

int ProviderInfoCommand(const std::vector<std::string>& all)
{
    if (!ParseCommandLine(all, {"provider-info", {}, {}, {}, {}, 0}))
        return kExitUsage;
    ComApartment com;
    Messenger messenger;
    if (FAILED(messenger.Create({})))
        return 2;
    Args args;
    VARIANT result;
    VariantInit(&result);
    HRESULT hr = messenger.Invoke(u"GetProviderInfo", args, &result);
    int status = 0;
    if (hr == S_OK && result.vt == VT_BSTR) {
        std::printf("%s\n", ToUtf8(result.bstrVal, SysStringLen(result.bstrVal)).c_str());
    } else {
        messenger.ReportFailure(u"GetProviderInfo", messenger.LastCode());
        status = 1;
    }
    VariantClear(&result);
    return status;
}

} // namespace trumik::host

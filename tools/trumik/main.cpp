// trumik: the command-line host. It reaches the component only through COM,
// as a script host does: objects by ProgID, methods by name through IDispatch.
#include "Automation.h"
#include "CertCommands.h"
#include "CmsCommands.h"
#include "CryptCommands.h"
#include "DocumentFiles.h"
#include "ExchangeCommands.h"
#include "JsonLine.h"
#include "RegCommand.h"

#include <libloaderapi.h>
#include <objbase.h>
#include <winnls.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace trumik::host;

namespace {

const char kModuleName[] = "Zelvane.Trumik.XmlSigner.so";
const char kExchangeModuleName[] = "Zelvane.Trumik.Exchange.so";

// The installed module: lib/ beside the folder of this program.
std::string InstalledModule(const char* name)
{
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.find_last_of('/'));
    return dir.substr(0, dir.find_last_of('/')) + "/lib/" + name;
}

void PrintJson(const Json& json)
{
    std::printf("%s\n", DumpLine(json).c_str());
}

// The commands in the order a new user meets them, each with one line.
void PrintOverview(std::FILE* out)
{
    static const std::pair<const char*, const char*> commands[] = {
        {"register", "register the component's module (DllRegisterServer)"},
        {"unregister", "unregister the component's module (DllUnregisterServer)"},
        {"sign", "sign an XML document with a store certificate's GOST key (CMSXmlSigner)"},
        {"verify", "verify an enveloped GOST signature with a certificate file (CMSXmlVerifier)"},
        {"sign-pem", "sign an XML document with RSA-SHA1 and a PEM key file (CXmlSigner)"},
        {"sign-element", "sign one element by its Id for exchange systems (CXmlElementSigner)"},
        {"verify-element", "verify every signature of a document by its KeyInfo (CXmlElementVerifier)"},
        {"encrypt", "encrypt data for a store certificate's holder as a CMS message"},
        {"decrypt", "decrypt a CMS message with the holder's key container"},
        {"container-name", "print the key container a store certificate names"},
        {"provider-info", "print the GOST provider's description"},
        {"call", "call a method of a class by name through IDispatch, print JSON"},
        {"script", "run JSON lines of calls on objects that live across lines"},
        {"cms", "sign, co-sign and verify CMS SignedData (CAdES-BES), files of any size"},
        {"cert", "make, import, list, show, export and delete store certificates"},
        {"crl", "import certificate revocation lists"},
        {"container", "list, export and delete the provider's key containers"},
        {"provider", "show or set the provider's settings"},
        {"reg", "query and edit the registry"},
    };
    std::fputs("usage: trumik COMMAND [ARG...]\n"
               "       trumik COMMAND --help   (the command's own usage)\n"
               "commands:\n",
               out);
    for (const auto& [name, line] : commands)
        std::fprintf(out, "  %-15s %s\n", name, line);
}

int Usage(const char* topic = nullptr)
{
    static const std::map<std::string, const char*> help = {
        {"register",
         "usage: trumik register [MODULE]\n"
         "  Calls DllRegisterServer of MODULE, as regsvr32 does; without MODULE, of each module\n"
         "  installed beside trumik (Zelvane.Trumik.XmlSigner.so, Zelvane.Trumik.Exchange.so).\n"},
        {"unregister", "usage: trumik unregister [MODULE]\n"
                       "  Calls DllUnregisterServer of MODULE (default: each installed module).\n"},
        {"call", "usage: trumik call PROGID METHOD [ARG...] [--out PATH]\n"
                 "  Creates PROGID, calls METHOD by name through IDispatch and prints one JSON object:\n"
                 "  {\"hresult\": \"0x...\", \"result\": ..., \"error\": {\"message\": ..., \"code\": ..., "
                 "\"stack\": ...}}\n"
                 "  ARG: TEXT | @PATH (file as UTF-8 text; @- standard input) | null | str:TEXT | int:N |\n"
                 "       date:YYYY-MM-DD[THH:MM:SS] | bool:true|false | bytes:@PATH | empty\n"
                 "  --out PATH writes a string result as UTF-8 or a byte-array result as bytes.\n"
                 "  Exit status 0 when the method was invoked, 2 when the object or the name is unknown.\n"},
        {"script",
         "usage: trumik script [FILE]\n"
         "  JSON lines in (FILE or standard input), one JSON line out per line:\n"
         "  {\"new\": \"a\", \"progid\": \"...\"}  {\"call\": \"a\", \"method\": \"...\", \"args\": [...]}\n"
         "  {\"release\": \"a\"}\n"},
        {"sign-pem",
         "usage: trumik sign-pem --key KEYFILE [IN] [-o OUT]\n"
         "  Signs IN (standard input when absent) with SignWithKey of ZelvaneTrumik.XmlSigner and\n"
         "  writes the signed document to OUT (standard output when absent); on failure the\n"
         "  component's message goes to standard error and the exit status is 1.\n"},
        {"sign",
         "usage: trumik sign --store STORE --thumbprint HEX [--pin PIN] [IN] [-o OUT]\n"
         "  Signs IN (standard input when absent) with SignWithCertStore (SignWithCertStorePass with\n"
         "  --pin) of ZelvaneTrumikXmlSigner.MSXmlSigner, using the certificate with the SHA-1\n"
         "  thumbprint HEX in the current user's store STORE (as My), and writes the signed document\n"
         "  to OUT (standard output when absent). A document that declares encoding=\"windows-1251\"\n"
         "  is read and written in that code page, any other as UTF-8. On failure the component's\n"
         "  message goes to standard error and the exit status is 1.\n"},
        {"verify",
         "usage: trumik verify --cert FILE [--date YYYY-MM-DD[THH:MM:SS]] [--no-cert-check] [IN]\n"
         "  Verifies the enveloped signature of IN (standard input when absent) with the key of the\n"
         "  certificate FILE (one DER certificate) through ZelvaneTrumikXmlSigner.MSXmlVerifier:\n"
         "  VerifyUsingCertFile, with --date VerifyUsingCertFileAndDate (the certificate checked at\n"
         "  that UTC date), with --no-cert-check VerifyUsingCertFileWoCert. Exit status 0 when the\n"
         "  signature is valid, 1 when it is not or the verification failed (the component's\n"
         "  message on standard error).\n"},
        {"reg", "usage: trumik reg query|add|delete KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"},
        {"cert",
         "usage: trumik cert new --subject DN [--store My] [--machine] [--container NAME] [--pin PIN]\n"
         "                       [--algorithm gost2001|gost2012-256|gost2012-512]\n"
         "                       [--key-spec exchange|signature] [--key-usage LIST|none]\n"
         "                       [--not-before ISO] [--not-after ISO] [--issuer THUMBPRINT [--issuer-pin "
         "PIN]]\n"
         "                       [--out FILE]\n"
         "       trumik cert import [--store My] [--machine] FILE [--key KEYFILE --container NAME [--pin "
         "PIN]\n"
         "                          [--key-spec exchange|signature]]\n"
         "       trumik cert import --pfx FILE [--password PW] --container NAME [--pin PIN] [--store My]\n"
         "                          [--machine] [--key-spec exchange|signature]\n"
         "       trumik cert list [--store My] [--machine]\n"
         "       trumik cert show|export|delete THUMBPRINT [--store My] [--machine] [--out FILE]\n"
         "                          [--with-container]\n"
         "       trumik cert export THUMBPRINT --pfx FILE --password PW [--pin PIN] [--store My] "
         "[--machine]\n"
         "  new: a new container with a GOST key and a certificate for it, self-signed or signed by\n"
         "    the store certificate THUMBPRINT with the key of its container (the signature algorithm\n"
         "    follows the signing key); added to the store and linked to the container (provider type\n"
         "    75, 80 or 81 by the key); prints the thumbprint. --algorithm: gost2001 (GOST R 34.10-2001,\n"
         "    CryptoPro A; the default), gost2012-256 (CryptoPro A), gost2012-512 (TC26 512 A).\n"
         "    DN: \"CN=Name, O=Org\" or \"/CN=Name/O=Org\". LIST: digitalSignature, nonRepudiation,\n"
         "    keyEncipherment, dataEncipherment, keyAgreement, keyCertSign, cRLSign, encipherOnly,\n"
         "    decipherOnly, comma-separated (default digitalSignature,nonRepudiation,keyEncipherment).\n"
         "    ISO: YYYY-MM-DD[THH:MM[:SS]] in UTC (default now .. now + 1 year).\n"
         "    --container defaults to the thumbprint.\n"
         "  import: the certificates of a DER, PEM or PKCS #7 file; --key puts a PEM or PKCS #8 private\n"
         "    key that belongs to one of them into a new container linked to it. With --pfx: the key of\n"
         "    a PKCS #12 file (GOST R 34.10-2001 or 2012) into a new container (PIN-protected with --pin)\n"
         "    linked to its certificate, the file's other certificates into the store as well.\n"
         "  list: thumbprint, subject, not before, not after, container (tab-separated).\n"
         "  export: DER, or PEM when FILE ends in .pem (PEM on standard output without --out). With\n"
         "    --pfx: the certificate and its exportable key as PKCS #12 (mode 0600), protected with\n"
         "    GOST 28147-89 (PBES2) and an HMAC GOST R 34.11-2012 MAC.\n"
         "  delete: --with-container deletes the linked container too.\n"
         "  Exit status 0 on success, 1 on failure, 2 for usage errors.\n"},
        {"crl",
         "usage: trumik crl import FILE [--store CA] [--machine]\n"
         "  Adds the CRLs of a DER, PEM or PKCS #7 file to the store; prints issuer and this-update.\n"},
        {"container",
         "usage: trumik container list [--machine]\n"
         "       trumik container export NAME [--machine] [--pin PIN] [--key-spec exchange|signature] --out "
         "FILE\n"
         "       trumik container delete NAME [--machine]\n"
         "  list: unique name, fully qualified name, keys, PIN (tab-separated).\n"
         "  export: the private key as unencrypted PKCS #8 PEM (mode 0600; - for standard output).\n"},
        {"provider",
         "usage: trumik provider version [VALUE | --reset]\n"
         "       trumik provider gost2012 [on|off]\n"
         "  version: prints what PP_VERSION reports, as MAJOR.MINOR (0xVALUE), or sets it: 3.0, 0x300\n"
         "    or 768; --reset goes back to the default.\n"
         "  gost2012: prints whether the component accepts GOST R 34.10-2012 certificates and keys (on,\n"
         "    off), or turns that on or off (HKEY_LOCAL_MACHINE\\SOFTWARE\\Trumik\\Component,\n"
         "    AcceptGost2012). Off, the default, the component knows GOST R 34.10-2001 only.\n"},
        {"sign-element", kSignElementHelp},
        {"verify-element", kVerifyElementHelp},
        {"cms", kCmsHelp},
        {"encrypt", kEncryptHelp},
        {"decrypt", kDecryptHelp},
        {"container-name", kContainerNameHelp},
        {"provider-info", kProviderInfoHelp},
    };
    if (topic) {
        auto it = help.find(topic);
        if (it != help.end()) {
            std::fputs(it->second, stdout);
            return 0;
        }
    }
    PrintOverview(stderr);
    return 2;
}

bool WantsHelp(const std::vector<std::string>& args)
{
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h")
            return true;
    }
    return false;
}

int RegisterOne(const std::string& module, bool registering)
{
    const char* entry = registering ? "DllRegisterServer" : "DllUnregisterServer";
    ComApartment com;
    HMODULE handle = LoadLibraryW(FromUtf8(module).c_str());
    if (!handle) {
        std::fprintf(stderr, "The module \"%s\" failed to load.\n", module.c_str());
        return 3;
    }
    using Entry = HRESULT (*)();
    auto function = reinterpret_cast<Entry>(GetProcAddress(handle, entry));
    if (!function) {
        std::fprintf(stderr, "The module \"%s\" was loaded but the entry-point %s was not found.\n",
                     module.c_str(), entry);
        FreeLibrary(handle);
        return 4;
    }
    HRESULT hr = function();
    FreeLibrary(handle);
    if (FAILED(hr)) {
        std::fprintf(stderr, "The module \"%s\" was loaded but the call to %s failed with error code %s.\n",
                     module.c_str(), entry, HResultText(hr).c_str());
        return 5;
    }
    std::printf("%s in %s succeeded.\n", entry, module.c_str());
    return 0;
}

// The named module, or each module installed beside this program.
int RegisterModule(const std::vector<std::string>& args, bool registering)
{
    if (!args.empty())
        return RegisterOne(args[0], registering);
    for (const char* name : {kModuleName, kExchangeModuleName}) {
        const std::string module = InstalledModule(name);
        if (name != kModuleName && access(module.c_str(), F_OK) != 0)
            continue; // an installation without the exchange module
        if (int status = RegisterOne(module, registering))
            return status;
    }
    return 0;
}

// One call: prints the JSON object; returns the exit status.
int Call(IDispatch* object, const std::string& method, const std::vector<std::string>& args,
         const std::string& outPath)
{
    CallResult result;
    std::string argError;
    if (!CallByName(object, method, args, result, &argError)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 2;
    }
    PrintJson(result.json);
    if (!result.invoked)
        return 2;
    if (!outPath.empty() && !WriteResult(result.value, outPath)) {
        std::fprintf(stderr, "trumik: cannot write %s\n", outPath.c_str());
        return 1;
    }
    return 0;
}

int CallCommand(const std::vector<std::string>& all)
{
    std::vector<std::string> args;
    std::string outPath;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == "--out" && i + 1 < all.size())
            outPath = all[++i];
        else
            args.push_back(all[i]);
    }
    if (args.size() < 2)
        return Usage("call"), 2;
    ComApartment com;
    DispatchRef object;
    HRESULT hr = CreateObject(args[0], &object.p);
    if (FAILED(hr) || !object.p) {
        PrintJson(Json::object({{"hresult", HResultText(FAILED(hr) ? hr : E_NOINTERFACE)}}));
        return 2;
    }
    return Call(object.p, args[1], std::vector<std::string>(args.begin() + 2, args.end()), outPath);
}

int ScriptCommand(const std::vector<std::string>& args)
{
    std::ifstream file;
    std::istream* in = &std::cin;
    if (!args.empty() && args[0] != "-") {
        file.open(args[0]);
        if (!file) {
            std::fprintf(stderr, "trumik: cannot read %s\n", args[0].c_str());
            return 1;
        }
        in = &file;
    }
    ComApartment com;
    std::map<std::string, IDispatch*> objects;
    std::string line;
    int status = 0;
    while (std::getline(*in, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        std::string error;
        std::optional<Json> request;
        try {
            request = Json::parse(line);
        } catch (const Json::parse_error& e) {
            error = e.what();
        }
        Json reply = Json::object();
        if (!request || !request->is_object()) {
            reply["error"] = request ? "not an object" : error;
            PrintJson(reply);
            status = 1;
            continue;
        }
        auto text = [&](const char* key) -> std::string {
            const Json* v = Find(*request, key);
            return v && v->is_string() ? v->get_ref<const std::string&>() : std::string();
        };
        if (Find(*request, "new")) {
            std::string name = text("new");
            IDispatch* object = nullptr;
            HRESULT hr = CreateObject(text("progid"), &object);
            if (SUCCEEDED(hr) && object) {
                if (objects.count(name))
                    objects[name]->Release();
                objects[name] = object;
            }
            reply["new"] = name;
            reply["hresult"] = HResultText(hr);
        } else if (Find(*request, "call")) {
            std::string name = text("call");
            auto found = objects.find(name);
            if (found == objects.end()) {
                reply["call"] = name;
                reply["error"] = "no such object";
                status = 1;
            } else {
                std::vector<std::string> callArgs;
                if (const Json* list = Find(*request, "args"); list && list->is_array()) {
                    for (const Json& item : *list) {
                        if (item.is_null())
                            callArgs.push_back("null");
                        else if (item.is_string())
                            callArgs.push_back(item.get_ref<const std::string&>());
                        else if (item.is_boolean())
                            callArgs.push_back(item.get<bool>() ? "bool:true" : "bool:false");
                        else if (item.is_number())
                            callArgs.push_back("int:" +
                                               std::to_string(static_cast<long long>(item.get<double>())));
                    }
                }
                CallResult result;
                std::string argError;
                if (!CallByName(found->second, text("method"), callArgs, result, &argError)) {
                    reply["error"] = argError;
                    status = 1;
                } else {
                    reply = std::move(result.json);
                    if (std::string out = text("out"); !out.empty() && result.invoked)
                        WriteResult(result.value, out);
                }
            }
        } else if (Find(*request, "release")) {
            std::string name = text("release");
            auto found = objects.find(name);
            reply["release"] = name;
            if (found == objects.end()) {
                reply["error"] = "no such object";
                status = 1;
            } else {
                reply["refs"] = found->second->Release();
                objects.erase(found);
            }
        } else {
            reply["error"] = "expected new, call or release";
            status = 1;
        }
        PrintJson(reply);
        std::fflush(stdout);
    }
    for (auto& [name, object] : objects)
        object->Release();
    return status;
}

int SignPem(const std::vector<std::string>& args)
{
    std::string key, in, out;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--key" && i + 1 < args.size())
            key = args[++i];
        else if (args[i] == "-o" && i + 1 < args.size())
            out = args[++i];
        else if (in.empty() && (args[i] == "-" || args[i].rfind("-", 0) != 0))
            in = args[i];
        else
            return Usage("sign-pem"), 2;
    }
    if (key.empty())
        return Usage("sign-pem"), 2;
    ComApartment com;
    DispatchRef object;
    HRESULT hr = CreateObject("ZelvaneTrumik.XmlSigner", &object.p);
    if (FAILED(hr) || !object.p) {
        std::fprintf(stderr,
                     "trumik: cannot create ZelvaneTrumik.XmlSigner (%s); run trumik register first\n",
                     HResultText(hr).c_str());
        return 2;
    }
    CallResult result;
    std::string argError;
    if (!CallByName(object.p, "SignWithKey", {"@" + (in.empty() ? std::string("-") : in), "str:" + key},
                    result, &argError, false)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 1;
    }
    const Json* hresult = Find(result.json, "hresult");
    if (!result.invoked || !hresult || hresult->get_ref<const std::string&>() != "0x00000000" ||
        result.value.vt != VT_BSTR) {
        const Json* error = Find(result.json, "error");
        const Json* message = error ? Find(*error, "message") : nullptr;
        std::fprintf(stderr, "%s\n",
                     message && message->is_string() ? message->get_ref<const std::string&>().c_str()
                                                     : "trumik: signing failed");
        return 1;
    }
    if (out.empty() || out == "-") {
        std::string signedText = ToUtf8(result.value.bstrVal, SysStringLen(result.value.bstrVal));
        std::fwrite(signedText.data(), 1, signedText.size(), stdout);
        return 0;
    }
    if (!WriteResult(result.value, out)) {
        std::fprintf(stderr, "trumik: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

int SignWithStore(const std::vector<std::string>& args)
{
    std::string store, thumbprint, in, out;
    std::optional<std::string> pin;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--store" && i + 1 < args.size())
            store = args[++i];
        else if (args[i] == "--thumbprint" && i + 1 < args.size())
            thumbprint = args[++i];
        else if (args[i] == "--pin" && i + 1 < args.size())
            pin = args[++i];
        else if (args[i] == "-o" && i + 1 < args.size())
            out = args[++i];
        else if (in.empty() && (args[i] == "-" || args[i].rfind("-", 0) != 0))
            in = args[i];
        else
            return Usage("sign"), 2;
    }
    if (store.empty() || thumbprint.empty())
        return Usage("sign"), 2;

    std::string document;
    bool cp1251 = false;
    if (!ReadDocument(in, document, cp1251)) {
        std::fprintf(stderr, "trumik: cannot read %s\n", in.c_str());
        return 1;
    }

    ComApartment com;
    DispatchRef object;
    HRESULT hr = CreateObject("ZelvaneTrumikXmlSigner.MSXmlSigner", &object.p);
    if (FAILED(hr) || !object.p) {
        std::fprintf(
            stderr,
            "trumik: cannot create ZelvaneTrumikXmlSigner.MSXmlSigner (%s); run trumik register first\n",
            HResultText(hr).c_str());
        return 2;
    }
    std::vector<std::string> callArgs = {"str:" + document, "str:" + store, "str:" + thumbprint};
    if (pin)
        callArgs.push_back("str:" + *pin);
    CallResult result;
    std::string argError;
    if (!CallByName(object.p, pin ? "SignWithCertStorePass" : "SignWithCertStore", callArgs, result,
                    &argError, false)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 1;
    }
    // S_OK with a code set means the signature was made but could not be put
    // into the caller's text: a failure too.
    const Json* hresult = Find(result.json, "hresult");
    const Json* error = Find(result.json, "error");
    const Json* code = error ? Find(*error, "code") : nullptr;
    const bool codeClear = !code || !code->is_number() || code->get<double>() == 0;
    if (!result.invoked || !hresult || hresult->get_ref<const std::string&>() != "0x00000000" || !codeClear ||
        result.value.vt != VT_BSTR || !result.value.bstrVal) {
        const Json* message = error ? Find(*error, "message") : nullptr;
        std::fprintf(stderr, "%s\n",
                     message && message->is_string() ? message->get_ref<const std::string&>().c_str()
                                                     : "trumik: signing failed");
        return 1;
    }
    std::string signedText = ToUtf8(result.value.bstrVal, SysStringLen(result.value.bstrVal));
    if (cp1251)
        signedText = Recode(signedText, CP_UTF8, 1251);
    if (out.empty() || out == "-") {
        std::fwrite(signedText.data(), 1, signedText.size(), stdout);
        return 0;
    }
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(signedText.data(), static_cast<std::streamsize>(signedText.size()));
    if (!file) {
        std::fprintf(stderr, "trumik: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

int Verify(const std::vector<std::string>& args)
{
    std::string cert, date, in;
    bool checkCert = true;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--cert" && i + 1 < args.size())
            cert = args[++i];
        else if (args[i] == "--date" && i + 1 < args.size())
            date = args[++i];
        else if (args[i] == "--no-cert-check")
            checkCert = false;
        else if (in.empty() && (args[i] == "-" || args[i].rfind("-", 0) != 0))
            in = args[i];
        else
            return Usage("verify"), 2;
    }
    if (cert.empty() || (!date.empty() && !checkCert))
        return Usage("verify"), 2;
    std::string document;
    bool cp1251 = false;
    if (!ReadDocument(in, document, cp1251)) {
        std::fprintf(stderr, "trumik: cannot read %s\n", in.c_str());
        return 1;
    }
    ComApartment com;
    DispatchRef object;
    HRESULT hr = CreateObject("ZelvaneTrumikXmlSigner.MSXmlVerifier", &object.p);
    if (FAILED(hr) || !object.p) {
        std::fprintf(
            stderr,
            "trumik: cannot create ZelvaneTrumikXmlSigner.MSXmlVerifier (%s); run trumik register first\n",
            HResultText(hr).c_str());
        return 2;
    }
    std::vector<std::string> callArgs = {"str:" + document, "str:" + cert};
    std::string method = checkCert ? "VerifyUsingCertFile" : "VerifyUsingCertFileWoCert";
    if (!date.empty()) {
        method = "VerifyUsingCertFileAndDate";
        callArgs.push_back("date:" + date);
    }
    CallResult result;
    std::string argError;
    if (!CallByName(object.p, method, callArgs, result, &argError, false)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 1;
    }
    if (result.invoked && result.value.vt == VT_BOOL && result.value.boolVal == VARIANT_TRUE)
        return 0;
    const Json* error = Find(result.json, "error");
    const Json* message = error ? Find(*error, "message") : nullptr;
    if (message && message->is_string() && !message->get_ref<const std::string&>().empty())
        std::fprintf(stderr, "%s\n", message->get_ref<const std::string&>().c_str());
    else
        std::fputs("trumik: the signature is not valid\n", stderr);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        if (!args.empty())
            return Usage(args[0].c_str());
        PrintOverview(stdout);
        return 0;
    }
    if (command != "reg" && WantsHelp(args))
        return Usage(command.c_str());
    if (command == "register")
        return RegisterModule(args, true);
    if (command == "unregister")
        return RegisterModule(args, false);
    if (command == "call")
        return CallCommand(args);
    if (command == "script")
        return ScriptCommand(args);
    if (command == "sign-pem")
        return SignPem(args);
    if (command == "sign")
        return SignWithStore(args);
    if (command == "verify")
        return Verify(args);
    if (command == "reg")
        return RegCommand(args);
    if (command == "cms")
        return CmsCommand(args);
    if (command == "cert")
        return CertCommand(args);
    if (command == "crl")
        return CrlCommand(args);
    if (command == "container")
        return ContainerCommand(args);
    if (command == "provider")
        return ProviderCommand(args);
    if (command == "sign-element")
        return SignElementCommand(args);
    if (command == "verify-element")
        return VerifyElementCommand(args);
    if (command == "encrypt")
        return EncryptCommand(args);
    if (command == "decrypt")
        return DecryptCommand(args);
    if (command == "container-name")
        return ContainerNameCommand(args);
    if (command == "provider-info")
        return ProviderInfoCommand(args);
    return Usage();
}

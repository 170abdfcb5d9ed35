// trumik: the command-line host. It reaches the component only through COM,
// as a script host does: objects by ProgID, methods by name through IDispatch.
// Each command is one row of kCommands: its name, one line for the overview,
// the function that runs it and its usage. Usage errors of every command go to
// standard error, naming what was wrong, with exit status 2 (UsageError,
// ParseCommandLine).
#include "Automation.h"
#include "CertCommands.h"
#include "CmsCommands.h"
#include "CommandLine.h"
#include "CryptCommands.h"
#include "ExchangeCommands.h"
#include "Hints.h"
#include "JsonLine.h"
#include "RegCommand.h"
#include "TokenCommands.h"

#include <libloaderapi.h>
#include <objbase.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
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

// An installed module: lib/ beside the folder of this program.
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
    const auto options = ParseCommandLine(args, {registering ? "register" : "unregister", {}, {}, {}, {}, 1});
    if (!options)
        return kExitUsage;
    if (!options->positional.empty())
        return RegisterOne(options->positional[0], registering);
    for (const char* name : {kModuleName, kExchangeModuleName}) {
        const std::string module = InstalledModule(name);
        if (name != kModuleName && access(module.c_str(), F_OK) != 0)
            continue; // an installation without the exchange module
        if (int status = RegisterOne(module, registering))
            return status;
    }
    return 0;
}

int RegisterCommand(const std::vector<std::string>& args)
{
    return RegisterModule(args, true);
}

int UnregisterCommand(const std::vector<std::string>& args)
{
    return RegisterModule(args, false);
}

// One call: prints the JSON object; returns the exit status. With an output
// file a string or byte-array result goes there, and the JSON names the file.
int Call(IDispatch* object, const std::string& method, const std::vector<std::string>& args,
         const std::string& outPath)
{
    CallResult result;
    std::string argError;
    if (!CallByName(object, method, args, result, &argError)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 2;
    }
    const VARIANT* value = &result.value;
    if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal)
        value = value->pvarVal;
    const bool fileHoldsIt = value->vt == VT_BSTR || value->vt == (VT_ARRAY | VT_UI1);
    if (result.invoked && !outPath.empty() && fileHoldsIt) {
        if (!WriteResult(result.value, outPath)) {
            std::fprintf(stderr, "trumik: cannot write %s\n", outPath.c_str());
            return 1;
        }
        result.json["result"] = Json::object({{"out", outPath}});
    }
    PrintJson(result.json);
    return result.invoked ? 0 : 2;
}

int CallCommand(const std::vector<std::string>& all)
{
    std::vector<std::string> args;
    std::string outPath;
    // Only --out is an option: every other word, "-" ones too, is an argument.
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == "--out" && i + 1 >= all.size())
            return UsageError("--out needs a value", "call");
        if (all[i] == "--out")
            outPath = all[++i];
        else
            args.push_back(all[i]);
    }
    if (args.size() < 2)
        return UsageError(args.empty() ? "call needs PROGID and METHOD" : "call needs a METHOD", "call");
    ComApartment com;
    DispatchRef object;
    HRESULT hr = CreateObject(args[0], &object.p);
    if (FAILED(hr) || !object.p) {
        PrintJson(Json::object({{"hresult", HResultText(FAILED(hr) ? hr : E_NOINTERFACE)}}));
        return 2;
    }
    return Call(object.p, args[1], std::vector<std::string>(args.begin() + 2, args.end()), outPath);
}

int ScriptCommand(const std::vector<std::string>& all)
{
    const auto options = ParseCommandLine(all, {"script", {}, {}, {}, {}, 1});
    if (!options)
        return kExitUsage;
    const std::vector<std::string>& args = options->positional;
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

// The component's message for a failed call, then the hint for it, if any;
// returns 1.
int ReportFailure(const CallResult& result, const std::string& method, const CertificateRef& certificate,
                  const char* fallback)
{
    const Json* error = Find(result.json, "error");
    const Json* message = error ? Find(*error, "message") : nullptr;
    const Json* code = error ? Find(*error, "code") : nullptr;
    const Json* stack = error ? Find(*error, "stack") : nullptr;
    if (message && message->is_string() && !message->get_ref<const std::string&>().empty())
        std::fprintf(stderr, "%s\n", message->get_ref<const std::string&>().c_str());
    else
        std::fprintf(stderr, "trumik: %s\n", fallback);
    if (code && code->is_number())
        PrintFailureHint(method, static_cast<LONG>(code->get<double>()), certificate,
                         stack && stack->is_string() ? stack->get_ref<const std::string&>() : std::string());
    return 1;
}

std::string Input(const Options& options)
{
    return options.positional.empty() ? std::string() : options.positional[0];
}

int SignPem(const std::vector<std::string>& args)
{
    const auto options =
        ParseCommandLine(args, {"sign-pem", {"key", "out"}, {}, {{"-o", "out"}}, {"key"}, 1});
    if (!options)
        return kExitUsage;
    const std::string in = Input(*options);
    const std::string out = options->Get("out", "");
    DocumentCall call;
    // The PEM signer takes every document as UTF-8 text, as it always has.
    if (int status = StartDocumentCall(in, "ZelvaneTrumik.XmlSigner", call, false))
        return status;
    CallResult result;
    std::string argError;
    std::vector<std::string> callArgs;
    callArgs.push_back(TakeTextArgument(call.document));
    callArgs.push_back("str:" + *options->Get("key"));
    if (!CallByName(call.object.p, "SignWithKey", std::move(callArgs), result, &argError, false)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 1;
    }
    const Json* hresult = Find(result.json, "hresult");
    if (!result.invoked || !hresult || hresult->get_ref<const std::string&>() != "0x00000000" ||
        result.value.vt != VT_BSTR)
        return ReportFailure(result, "SignWithKey", {}, "signing failed");
    const Utf8Buffer signedText = ToUtf8Buffer(result.value.bstrVal, SysStringLen(result.value.bstrVal));
    return WriteOutput(out, signedText.View()) ? 0 : 1;
}

int SignWithStore(const std::vector<std::string>& args)
{
    const auto options = ParseCommandLine(
        args,
        {"sign", {"store", "thumbprint", "pin", "out"}, {}, {{"-o", "out"}}, {"store", "thumbprint"}, 1});
    if (!options)
        return kExitUsage;
    const CertificateRef certificate{*options->Get("store"), *options->Get("thumbprint"), {}};
    const std::optional<std::string> pin = options->Get("pin");
    DocumentCall call;
    if (int status = StartDocumentCall(Input(*options), "ZelvaneTrumikXmlSigner.MSXmlSigner", call))
        return status;
    std::vector<std::string> callArgs;
    callArgs.push_back(TakeTextArgument(call.document));
    callArgs.push_back("str:" + certificate.store);
    callArgs.push_back("str:" + certificate.thumbprint);
    if (pin)
        callArgs.push_back("str:" + *pin);
    const std::string method = pin ? "SignWithCertStorePass" : "SignWithCertStore";
    CallResult result;
    std::string argError;
    if (!CallByName(call.object.p, method, std::move(callArgs), result, &argError, false)) {
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
        result.value.vt != VT_BSTR || !result.value.bstrVal)
        return ReportFailure(result, method, certificate, "signing failed");
    return WriteDocumentOutput(options->Get("out", ""), call.document, result.value.bstrVal) ? 0 : 1;
}

int Verify(const std::vector<std::string>& args)
{
    const auto options = ParseCommandLine(
        args, {"verify", {"cert", "date"}, {"no-cert-check", "quiet"}, {{"-q", "quiet"}}, {"cert"}, 1});
    if (!options)
        return kExitUsage;
    const std::optional<std::string> date = options->Get("date");
    const bool checkCert = !options->Has("no-cert-check");
    if (date && !checkCert)
        return UsageError("--date and --no-cert-check do not go together", "verify");
    std::string dateError;
    if (date && !ParseDate(*date, &dateError))
        return UsageError("--date: " + dateError + ": " + *date, "verify");
    const CertificateRef certificate{{}, {}, *options->Get("cert")};
    DocumentCall call;
    if (int status = StartDocumentCall(Input(*options), "ZelvaneTrumikXmlSigner.MSXmlVerifier", call))
        return status;
    std::vector<std::string> callArgs;
    callArgs.push_back(TakeTextArgument(call.document));
    callArgs.push_back("str:" + certificate.file);
    std::string method = checkCert ? "VerifyUsingCertFile" : "VerifyUsingCertFileWoCert";
    if (date) {
        method = "VerifyUsingCertFileAndDate";
        callArgs.push_back("date:" + *date);
    }
    CallResult result;
    std::string argError;
    if (!CallByName(call.object.p, method, std::move(callArgs), result, &argError, false)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 1;
    }
    if (result.invoked && result.value.vt == VT_BOOL && result.value.boolVal == VARIANT_TRUE) {
        if (!options->Has("quiet"))
            std::puts("valid");
        return 0;
    }
    return ReportFailure(result, method, certificate, "the signature is not valid");
}

struct Command {
    const char* name;
    const char* summary; // one line in the overview
    int (*run)(const std::vector<std::string>& args);
    const char* usage; // trumik COMMAND --help
};

// The commands in the order a new user meets them.
const Command kCommands[] = {
    {"register", "register the component's module (DllRegisterServer)", RegisterCommand,
     "usage: trumik register [MODULE]\n"
     "  Calls DllRegisterServer of MODULE, as regsvr32 does; without MODULE, of each module\n"
     "  installed beside trumik (Zelvane.Trumik.XmlSigner.so, Zelvane.Trumik.Exchange.so).\n"},
    {"unregister", "unregister the component's module (DllUnregisterServer)", UnregisterCommand,
     "usage: trumik unregister [MODULE]\n"
     "  Calls DllUnregisterServer of MODULE (default: each installed module).\n"},
    {"sign", "sign an XML document with a store certificate's GOST key (CMSXmlSigner)", SignWithStore,
     "usage: trumik sign --store STORE --thumbprint HEX [--pin PIN] [IN] [-o OUT]\n"
     "  Signs IN (standard input when absent) with SignWithCertStore (SignWithCertStorePass with\n"
     "  --pin) of ZelvaneTrumikXmlSigner.MSXmlSigner, using the certificate with the SHA-1\n"
     "  thumbprint HEX in the current user's store STORE (as My), and writes the signed document\n"
     "  to OUT (standard output when absent). GOST R 34.10-2001 keys sign as always; GOST R\n"
     "  34.10-2012 keys once trumik provider gost2012 on. A document that declares\n"
     "  encoding=\"windows-1251\" is read and written in that code page, any other as UTF-8.\n"
     "  On failure the component's message goes to standard error and the exit status is 1.\n"},
    {"verify", "verify an enveloped GOST signature with a certificate file (CMSXmlVerifier)", Verify,
     "usage: trumik verify --cert FILE [--date YYYY-MM-DD[THH:MM:SS]] [--no-cert-check] [-q] [IN]\n"
     "  Verifies the enveloped signature of IN (standard input when absent) with the key of the\n"
     "  certificate FILE (one DER certificate) through ZelvaneTrumikXmlSigner.MSXmlVerifier:\n"
     "  VerifyUsingCertFile, with --date VerifyUsingCertFileAndDate (the certificate checked at\n"
     "  that UTC date), with --no-cert-check VerifyUsingCertFileWoCert. Prints \"valid\" and exits\n"
     "  with 0 when the signature is valid (-q, --quiet: prints nothing); exits with 1 when it is\n"
     "  not or the verification failed (the component's message on standard error).\n"},
    {"sign-pem", "sign an XML document with RSA-SHA1 and a PEM key file (CXmlSigner)", SignPem,
     "usage: trumik sign-pem --key KEYFILE [IN] [-o OUT]\n"
     "  Signs IN (standard input when absent) with SignWithKey of ZelvaneTrumik.XmlSigner and\n"
     "  writes the signed document to OUT (standard output when absent); on failure the\n"
     "  component's message goes to standard error and the exit status is 1.\n"},
    {"sign-element", "sign one element by its Id for exchange systems (CXmlElementSigner)",
     SignElementCommand, kSignElementHelp},
    {"verify-element", "verify every signature of a document by its KeyInfo (CXmlElementVerifier)",
     VerifyElementCommand, kVerifyElementHelp},
    {"cms", "sign, co-sign and verify CMS SignedData (CAdES-BES), files of any size", CmsCommand, kCmsHelp},
    {"encrypt", "encrypt data for a store certificate's holder as a CMS message", EncryptCommand,
     kEncryptHelp},
    {"decrypt", "decrypt a CMS message with the holder's key container", DecryptCommand, kDecryptHelp},
    {"container-name", "print the key container a store certificate names", ContainerNameCommand,
     kContainerNameHelp},
    {"provider-info", "print the GOST provider's description", ProviderInfoCommand, kProviderInfoHelp},
    {"call", "call a method of a class by name through IDispatch, print JSON", CallCommand,
     "usage: trumik call PROGID METHOD [ARG...] [--out PATH]\n"
     "  Creates PROGID, calls METHOD by name through IDispatch and prints one JSON object:\n"
     "  {\"hresult\": \"0x...\", \"result\": ..., \"error\": {\"message\": ..., \"code\": ..., "
     "\"stack\": ...}}\n"
     "  ARG: TEXT | @PATH (file as UTF-8 text; @- standard input) | null | str:TEXT | int:N |\n"
     "       date:YYYY-MM-DD[THH:MM:SS] | bool:true|false | bytes:@PATH | empty\n"
     "  --out PATH writes a string result as UTF-8 or a byte-array result as bytes.\n"
     "  Exit status 0 when the method was invoked, 2 when the object or the name is unknown.\n"},
    {"script", "run JSON lines of calls on objects that live across lines", ScriptCommand,
     "usage: trumik script [FILE]\n"
     "  JSON lines in (FILE or standard input), one JSON line out per line:\n"
     "  {\"new\": \"a\", \"progid\": \"...\"}  {\"call\": \"a\", \"method\": \"...\", \"args\": [...]}\n"
     "  {\"release\": \"a\"}\n"},
    {"cert", "make, import, list, show, export and delete store certificates", CertCommand,
     "usage: trumik cert new --subject DN [--store My] [--machine] [--container NAME] [--pin PIN]\n"
     "                       [--algorithm gost2001|gost2012-256|gost2012-512]\n"
     "                       [--key-spec exchange|signature] [--key-usage LIST|none]\n"
     "                       [--not-before ISO] [--not-after ISO] [--issuer THUMBPRINT [--issuer-pin "
     "PIN]]\n"
     "                       [--out FILE]\n"
     "       trumik cert new --token LABEL --pin PIN --subject DN --algorithm gost2012-256|gost2012-512\n"
     "                       [the options of cert new but --container]\n"
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
    {"crl", "import certificate revocation lists", CrlCommand,
     "usage: trumik crl import FILE [--store CA] [--machine]\n"
     "  Adds the CRLs of a DER, PEM or PKCS #7 file to the store; prints issuer and this-update.\n"},
    {"container", "list, export and delete the provider's key containers", ContainerCommand,
     "usage: trumik container list [--machine]\n"
     "       trumik container export NAME [--machine] [--pin PIN] [--key-spec exchange|signature] --out "
     "FILE\n"
     "       trumik container delete NAME [--machine]\n"
     "  list: unique name, fully qualified name, keys, PIN (tab-separated).\n"
     "  export: the private key as unencrypted PKCS #8 PEM (mode 0600; - for standard output).\n"},
    {"provider", "show or set the provider's settings (version, gost2012)", ProviderCommand,
     "usage: trumik provider version [VALUE | --reset]\n"
     "       trumik provider gost2012 [on|off]\n"
     "  version: prints what PP_VERSION reports, as MAJOR.MINOR (0xVALUE), or sets it: 3.0, 0x300\n"
     "    or 768; --reset goes back to the default.\n"
     "  gost2012: prints whether the component accepts GOST R 34.10-2012 certificates and keys (on,\n"
     "    off), or turns that on or off (HKEY_LOCAL_MACHINE\\SOFTWARE\\Trumik\\Component,\n"
     "    AcceptGost2012). Off, the default, the component knows GOST R 34.10-2001 only.\n"},
    {"token", "PKCS #11 token libraries, the key pairs on their tokens, their certificates", TokenCommand,
     "usage: trumik token add --module PATH\n"
     "       trumik token remove --module PATH\n"
     "       trumik token list [--pin PIN] [--store My] [--machine]\n"
     "       trumik token import [--pin PIN] [--store My] [--machine]\n"
     "  add: records a token maker's PKCS #11 library (HKEY_LOCAL_MACHINE\\SOFTWARE\\Trumik\\Provider\\\n"
     "    Tokens); the provider then shows each key pair on its tokens as the container\n"
     "    \\\\.\\LABEL\\ID (token label, CKA_ID in lower-case hex), whose PIN is the token's user PIN.\n"
     "  list: each library's slots, tokens and key pairs (container, algorithm, whether a\n"
     "    certificate is on the token and in the store); with --pin, private keys are seen too.\n"
     "  import: puts the certificates of the key pairs into the store (My), linked to their\n"
     "    token containers; a key pair without a certificate is listed as not imported.\n"},
    {"reg", "query and edit the registry", RegCommand,
     "usage: trumik reg query|add|delete KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"},
};

const Command* FindCommand(const std::string& name)
{
    for (const Command& command : kCommands) {
        if (name == command.name)
            return &command;
    }
    return nullptr;
}

void PrintOverview(std::FILE* out)
{
    std::fputs("usage: trumik COMMAND [ARG...]\n"
               "       trumik COMMAND --help   (the command's own usage)\n"
               "       trumik --version\n"
               "commands:\n",
               out);
    for (const Command& command : kCommands)
        std::fprintf(out, "  %-15s %s\n", command.name, command.summary);
}

// A usage error of the command line as a whole: what was wrong, then the overview.
int OverviewError(const std::string& text)
{
    std::fprintf(stderr, "trumik: %s\n", text.c_str());
    PrintOverview(stderr);
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return OverviewError("no command given");
    const std::string name = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (name == "--version") {
        std::printf("trumik %s\n", TRUMIK_VERSION);
        return 0;
    }
    if (name == "--help" || name == "-h" || name == "help") {
        if (args.empty()) {
            PrintOverview(stdout);
            return 0;
        }
        const Command* topic = FindCommand(args[0]);
        if (!topic)
            return OverviewError("unknown command \"" + args[0] + "\"");
        std::fputs(topic->usage, stdout);
        return 0;
    }
    const Command* command = FindCommand(name);
    if (!command)
        return OverviewError("unknown command \"" + name + "\"");
    if (name != "reg" && WantsHelp(args)) {
        std::fputs(command->usage, stdout);
        return 0;
    }
    return command->run(args);
}

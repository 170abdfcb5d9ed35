// trumik sign-element and verify-element: each reads its document, creates
// its object by ProgID and calls it by name, as a script does.
#include "ExchangeCommands.h"

#include "Automation.h"
#include "DocumentFiles.h"

#include <cstdio>
#include <fstream>
#include <map>

namespace trumik::host {

const char kSignElementHelp[] =
    "usage: trumik sign-element --id ID [--into PARENT_ID] [--profile smev3|exc-c14n]\n"
    "                           --store NAME --thumbprint HEX --pin PIN [IN] [-o OUT]\n"
    "  Signs the element whose Id (id, ID, wsu:Id) is ID with the GOST key of the store certificate,\n"
    "  exclusive C14N then the normalisation transform (smev3, the default) or exclusive C14N alone,\n"
    "  and puts the ds:Signature as the last child of the element PARENT_ID, or of the signed element\n"
    "  itself (enveloped) without --into. IN and OUT default to standard input and output.\n";
const char kVerifyElementHelp[] =
    "usage: trumik verify-element [IN]\n"
    "  Verifies every ds:Signature of the document with the certificate in its KeyInfo and prints\n"
    "  one line per signature: index, reference, valid or invalid, the signer's subject (tab-separated).\n"
    "  Exit status 0 when every signature holds, 1 when one does not, 2 on a usage error.\n";

namespace {

// The options of a command: "--name value" pairs, -o, and one input path.
struct Options {
    std::map<std::string, std::string> values;
    std::string in;
    bool ok = true;
};

Options ReadOptions(const std::vector<std::string>& args, std::initializer_list<const char*> names)
{
    Options options;
    for (size_t i = 0; i < args.size() && options.ok; ++i) {
        bool named = false;
        for (const char* name : names) {
            if (args[i] == name && i + 1 < args.size()) {
                options.values[name] = args[++i];
                named = true;
                break;
            }
        }
        if (named)
            continue;
        if (options.in.empty() && (args[i] == "-" || args[i].rfind("-", 0) != 0))
            options.in = args[i];
        else
            options.ok = false;
    }
    return options;
}

// The document and the object, or the exit status when either is missing.
int Prepare(const std::string& in, const char* progId, std::string& document, bool& cp1251,
            DispatchRef& object)
{
    if (!ReadDocument(in, document, cp1251)) {
        std::fprintf(stderr, "trumik: cannot read %s\n", in.c_str());
        return 1;
    }
    HRESULT hr = CreateObject(progId, &object.p);
    if (FAILED(hr) || !object.p) {
        std::fprintf(stderr, "trumik: cannot create %s (%s); run trumik register first\n", progId,
                     HResultText(hr).c_str());
        return 2;
    }
    return 0;
}

// The component's message for a failed call, on standard error.
void ReportFailure(const CallResult& result, const char* fallback)
{
    const Json* error = Find(result.json, "error");
    const Json* message = error ? Find(*error, "message") : nullptr;
    const bool has = message && message->is_string() && !message->get_ref<const std::string&>().empty();
    std::fprintf(stderr, "%s\n", has ? message->get_ref<const std::string&>().c_str() : fallback);
}

bool Succeeded(const CallResult& result)
{
    const Json* hresult = Find(result.json, "hresult");
    return result.invoked && hresult && hresult->get_ref<const std::string&>() == "0x00000000";
}

// Calls a method whose arguments are indexes; the result value, or empty.
std::string IndexedText(IDispatch* object, const char* method, size_t index)
{
    CallResult result;
    std::string ignored;
    if (!CallByName(object, method, {"int:" + std::to_string(index)}, result, &ignored, false) ||
        result.value.vt != VT_BSTR || !result.value.bstrVal)
        return {};
    return ToUtf8(result.value.bstrVal, SysStringLen(result.value.bstrVal));
}

} // namespace

int SignElementCommand(const std::vector<std::string>& args)
{
    Options options =
        ReadOptions(args, {"--id", "--into", "--profile", "--store", "--thumbprint", "--pin", "-o"});
    auto& v = options.values;
    if (!options.ok || !v.count("--id") || !v.count("--store") || !v.count("--thumbprint") ||
        !v.count("--pin"))
        return std::fputs(kSignElementHelp, stderr), 2;
    ComApartment com;
    std::string document;
    bool cp1251 = false;
    DispatchRef object;
    if (int status = Prepare(options.in, "ZelvaneTrumikExchange.XmlElementSigner", document, cp1251, object))
        return status;
    CallResult result;
    std::string argError;
    if (!CallByName(object.p, "SignElement",
                    {"str:" + document, "str:" + v["--id"], "str:" + v["--into"], "str:" + v["--store"],
                     "str:" + v["--thumbprint"], "str:" + v["--pin"], "str:" + v["--profile"]},
                    result, &argError, false)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 1;
    }
    if (!Succeeded(result) || result.value.vt != VT_BSTR || !result.value.bstrVal) {
        ReportFailure(result, "trumik: signing failed");
        return 1;
    }
    std::string signedText = ToUtf8(result.value.bstrVal, SysStringLen(result.value.bstrVal));
    if (cp1251)
        signedText = Recode(signedText, CP_UTF8, 1251);
    const std::string& out = v["-o"];
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

int VerifyElementCommand(const std::vector<std::string>& args)
{
    Options options = ReadOptions(args, {});
    if (!options.ok)
        return std::fputs(kVerifyElementHelp, stderr), 2;
    ComApartment com;
    std::string document;
    bool cp1251 = false;
    DispatchRef object;
    if (int status =
            Prepare(options.in, "ZelvaneTrumikExchange.XmlElementVerifier", document, cp1251, object))
        return status;
    CallResult verdict;
    std::string argError;
    if (!CallByName(object.p, "VerifyDocument", {"str:" + document}, verdict, &argError, false)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 1;
    }
    if (!Succeeded(verdict)) {
        ReportFailure(verdict, "trumik: the document could not be verified");
        return 1;
    }
    CallResult count;
    CallByName(object.p, "SignatureCount", {}, count, &argError, false);
    const size_t signatures = count.value.vt == VT_I4 && count.value.lVal > 0 ? count.value.lVal : 0;
    for (size_t i = 0; i < signatures; ++i) {
        CallResult valid;
        CallByName(object.p, "SignatureValid", {"int:" + std::to_string(i)}, valid, &argError, false);
        const bool holds = valid.value.vt == VT_BOOL && valid.value.boolVal == VARIANT_TRUE;
        std::printf("%zu\t%s\t%s\t%s\n", i, IndexedText(object.p, "SignatureReference", i).c_str(),
                    holds ? "valid" : "invalid", IndexedText(object.p, "SignerSubject", i).c_str());
    }
    const bool all = verdict.value.vt == VT_BOOL && verdict.value.boolVal == VARIANT_TRUE;
    return all ? 0 : 1;
}

} // namespace trumik::host

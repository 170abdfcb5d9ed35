// trumik sign-element and verify-element: each reads its document, creates
// its object by ProgID and calls it by name, as a script does.
#include "ExchangeCommands.h"

#include "Automation.h"
#include "CommandLine.h"

#include <cstdio>

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
    const auto options =
        ParseCommandLine(args, {"sign-element",
                                {"id", "into", "profile", "store", "thumbprint", "pin", "out"},
                                {},
                                {{"-o", "out"}},
                                {"id", "store", "thumbprint", "pin"},
                                1});
    if (!options)
        return kExitUsage;
    DocumentCall call;
    if (int status = StartDocumentCall(options->positional.empty() ? "" : options->positional[0],
                                       "ZelvaneTrumikExchange.XmlElementSigner", call))
        return status;
    CallResult result;
    std::string argError;
    if (!CallByName(call.object.p, "SignElement",
                    {TakeTextArgument(call.document), "str:" + options->Get("id", ""),
                     "str:" + options->Get("into", ""), "str:" + options->Get("store", ""),
                     "str:" + options->Get("thumbprint", ""), "str:" + options->Get("pin", ""),
                     "str:" + options->Get("profile", "")},
                    result, &argError, false)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 1;
    }
    if (!Succeeded(result) || result.value.vt != VT_BSTR || !result.value.bstrVal) {
        ReportFailure(result, "trumik: signing failed");
        return 1;
    }
    return WriteDocumentOutput(options->Get("out", ""), call.document, result.value.bstrVal) ? 0 : 1;
}

int VerifyElementCommand(const std::vector<std::string>& args)
{
    const auto options = ParseCommandLine(args, {"verify-element", {}, {}, {}, {}, 1});
    if (!options)
        return kExitUsage;
    DocumentCall call;
    if (int status = StartDocumentCall(options->positional.empty() ? "" : options->positional[0],
                                       "ZelvaneTrumikExchange.XmlElementVerifier", call))
        return status;
    CallResult verdict;
    std::string argError;
    if (!CallByName(call.object.p, "VerifyDocument", {TakeTextArgument(call.document)}, verdict, &argError,
                    false)) {
        std::fprintf(stderr, "trumik: %s\n", argError.c_str());
        return 1;
    }
    if (!Succeeded(verdict)) {
        ReportFailure(verdict, "trumik: the document could not be verified");
        return 1;
    }
    CallResult count;
    CallByName(call.object.p, "SignatureCount", {}, count, &argError, false);
    const size_t signatures = count.value.vt == VT_I4 && count.value.lVal > 0 ? count.value.lVal : 0;
    for (size_t i = 0; i < signatures; ++i) {
        CallResult valid;
        CallByName(call.object.p, "SignatureValid", {"int:" + std::to_string(i)}, valid, &argError, false);
        const bool holds = valid.value.vt == VT_BOOL && valid.value.boolVal == VARIANT_TRUE;
        std::printf("%zu\t%s\t%s\t%s\n", i, IndexedText(call.object.p, "SignatureReference", i).c_str(),
                    holds ? "valid" : "invalid", IndexedText(call.object.p, "SignerSubject", i).c_str());
    }
    const bool all = verdict.value.vt == VT_BOOL && verdict.value.boolVal == VARIANT_TRUE;
    return all ? 0 : 1;
}

} // namespace trumik::host

// libFuzzer entry point: verification of arbitrary documents (taken as UTF-8
// text) against a GOST R 34.10-2001 certificate with the mscrypto back-end.
//
// The set-up makes a GOST key and certificate and signs the seed documents
// with openssl and xmllint alone (tools/gost-sign-openssl.sh); each seed must
// verify, or the run stops. The verdict is checked on every input: one that
// verifies must carry a seed's signed content unchanged, that is the
// inclusive canonical form of the document without its Signature equals a
// seed's. Built with -fsanitize=fuzzer under TRUMIK_FUZZ; the test run drives
// it through FuzzDriverTest.cpp. With TRUMIK_FUZZ_SEED_DIR set, the seeds are
// written there at start-up, for libFuzzer to read as its corpus.
#include "FuzzVerify.h"

#include "common/Conversions.h"
#include "common/XmlGuards.h"
#include "verifier/MSXmlVerifier.h"

#include <libxml/c14n.h>
#include <libxml/parser.h>
#include <xmlsec/xmltree.h>

#include <oleauto.h>
#include <winnls.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using trumik::common::UniqueBstr;

[[noreturn]] void SetupFailed(const std::string& what)
{
    std::fprintf(stderr, "FuzzVerify set-up: %s\n", what.c_str());
    std::abort();
}

UniqueBstr ToBstr(const std::string& text)
{
    const int n = text.empty() ? 0
                               : MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                     nullptr, 0);
    UniqueBstr out(SysAllocStringLen(nullptr, static_cast<UINT>(n > 0 ? n : 0)));
    if (!out)
        SetupFailed("out of memory");
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.get(), n);
    return out;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void Run(const std::string& command)
{
    if (std::system(command.c_str()) != 0)
        SetupFailed("failed: " + command);
}

// The seed documents before signing: text, attributes, an internal entity,
// character references, Cyrillic, namespaces, CDATA. No comments: the
// peer's digest (xmllint --c14n) keeps them, where URI="" leaves them out;
// no prefixed namespace on the root: the peer canonicalises its SignedInfo
// alone, without the namespaces it inherits in the document.
const char* const kBodies[] = {
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doc><item id=\"1\">Платёж</item><v>42</v></doc>\n",
    "<!DOCTYPE r [<!ENTITY e \"значение\">]>\n<r a=\"1\" b='2'><p>&e; &amp; &#x416;</p><q/></r>\n",
    "<a xmlns=\"urn:x\"><b c=\"d\">text<![CDATA[<raw>]]></b>\n  <e></e></a>",
};

struct Target {
    std::unique_ptr<trumik::verifier::CMSXmlVerifier> verifier;
    UniqueBstr certificate;
    std::vector<std::string> seeds;
    std::set<std::string> signedContents;
};

Target MakeTarget()
{
    if (!std::getenv("TRUMIK_HOME")) {
        char dir[] = "/tmp/trumik-fuzz-XXXXXX";
        if (!mkdtemp(dir))
            SetupFailed("no temporary folder");
        setenv("TRUMIK_HOME", dir, 1);
    }
    const std::string home = std::getenv("TRUMIK_HOME");
    mkdir(home.c_str(), 0700);
    const std::string dir = home + "/fuzz-verify";
    mkdir(dir.c_str(), 0700);
    const std::string cd = "cd '" + dir + "' && ";
    Run(cd + "openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -md_gost94 -nodes "
             "-keyout gost.key -out gost.pem -days 30 -subj /CN=Fuzz >/dev/null 2>&1 && "
             "openssl x509 -in gost.pem -outform DER -out gost.der");
    Target target;
    target.verifier = std::make_unique<trumik::verifier::CMSXmlVerifier>();
    target.certificate = ToBstr(dir + "/gost.der");
    int n = 0;
    for (const char* body : kBodies) {
        const std::string in = dir + "/seed" + std::to_string(n) + ".xml";
        const std::string out = dir + "/seed" + std::to_string(n) + ".signed.xml";
        std::ofstream(in, std::ios::binary) << body;
        Run(cd + "'" TRUMIK_SOURCE_DIR "/tools/gost-sign-openssl.sh' gost.key '" + in + "' '" + out + "'");
        target.seeds.push_back(ReadAll(out));
        ++n;
    }
    for (const std::string& seed : target.seeds) {
        UniqueBstr document = ToBstr(seed);
        VARIANT_BOOL result = VARIANT_FALSE;
        target.verifier->VerifyUsingCertFileWoCert(document.get(), target.certificate.get(), &result);
        if (result != VARIANT_TRUE) {
            const std::u16string_view message = target.verifier->Record().Message();
            UniqueBstr copy(SysAllocStringLen(message.data(), static_cast<UINT>(message.size())));
            std::string text = trumik::common::DocumentToUtf8(copy.get());
            text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
            SetupFailed("a GOST seed does not verify (code " +
                        std::to_string(target.verifier->Record().Code()) + (text.empty() ? "" : ": " + text) +
                        ")\n" + seed);
        }
        const auto content = trumik::verifiertest::SignedContent(document.get());
        if (!content)
            SetupFailed("no signed content in a seed");
        target.signedContents.insert(*content);
    }
    if (const char* seedDir = std::getenv("TRUMIK_FUZZ_SEED_DIR")) {
        for (size_t i = 0; i < target.seeds.size(); ++i)
            std::ofstream(std::string(seedDir) + "/gost-seed-" + std::to_string(i) + ".xml", std::ios::binary)
                << target.seeds[i];
    }
    return target;
}

Target& GetTarget()
{
    static Target target = MakeTarget();
    return target;
}

} // namespace

namespace trumik::verifiertest {

std::optional<std::string> SignedContent(BSTR document)
{
    const std::optional<std::string> bytes = trumik::common::DocumentToParserBytes(document);
    if (!bytes)
        return std::nullopt;
    trumik::common::UniqueXmlDoc doc(xmlParseDoc(reinterpret_cast<const xmlChar*>(bytes->c_str())));
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    xmlNodePtr signature = root ? xmlSecFindNode(root, xmlSecNodeSignature, xmlSecDSigNs) : nullptr;
    if (!signature)
        return std::nullopt;
    xmlUnlinkNode(signature);
    xmlFreeNode(signature);
    xmlChar* out = nullptr;
    const int n = xmlC14NDocDumpMemory(doc.get(), nullptr, XML_C14N_1_0, nullptr, 0, &out);
    trumik::common::UniqueXmlBytes guard(out);
    if (n < 0 || !out)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

const std::vector<std::string>& GostSeeds()
{
    return GetTarget().seeds;
}

} // namespace trumik::verifiertest

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    GetTarget();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Target& target = GetTarget();
    const int length = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data),
                                           static_cast<int>(size), nullptr, 0);
    UniqueBstr document(SysAllocStringLen(nullptr, static_cast<UINT>(length > 0 ? length : 0)));
    if (!document)
        return 0;
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(data), static_cast<int>(size),
                            document.get(), length);
    VARIANT_BOOL result = VARIANT_FALSE;
    target.verifier->VerifyUsingCertFileWoCert(document.get(), target.certificate.get(), &result);
    if (result != VARIANT_FALSE) {
        const auto content = trumik::verifiertest::SignedContent(document.get());
        if (result != VARIANT_TRUE || !content || !target.signedContents.count(*content)) {
            std::fprintf(stderr,
                         "FuzzVerify: a document verified (result %d) whose signed content is not a "
                         "seed's:\n%.*s\n",
                         static_cast<int>(result), static_cast<int>(size),
                         reinterpret_cast<const char*>(data));
            std::abort();
        }
    }
    return 0;
}

#include "XmlLibrary.h"

#include "CallerDocument.h"
#include "ProcessLock.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxslt/xslt.h>
#include <xmlsec/crypto.h>
#include <xmlsec/dl.h>
#include <xmlsec/xmlsec.h>

#include <set>
#include <string>

namespace trumik::common {

namespace {

struct LibraryState {
    bool running = false;           // xmlInitParser .. xmlSecCheckVersionExt done
    std::set<std::string> backends; // back-ends whose application and crypto start-up ran
    int startedObjects = 0;
};

LibraryState& State()
{
    static LibraryState state;
    return state;
}

bool StartProcessLibraries()
{
    xmlInitParser();
    xmlCheckVersion(20703);
    *__xmlLoadExtDtdDefaultValue() = XML_DETECT_IDS | XML_COMPLETE_ATTRS;
    xmlSubstituteEntitiesDefault(1);
    *__xmlIndentTreeOutput() = 1;
    if (xmlSecInit() < 0)
        return false;
    // No parse of caller text reads anything from outside the text. Installed
    // after xmlSecInit, which puts a loader of its own in place (and puts the
    // previous one back at its shut-down).
    xmlSetExternalEntityLoader(RefuseExternalEntity);
    if (xmlSecCheckVersionExt(1, 2, 10, xmlSecCheckVersionABICompatible) != 1) {
        xmlSecShutdown();
        return false;
    }
    return true;
}

bool StartBackend(const char* backend)
{
    if (xmlSecCryptoDLLoadLibrary(reinterpret_cast<const xmlChar*>(backend)) < 0)
        return false;
    if (State().backends.count(backend))
        return true;
    if (xmlSecCryptoAppInit(nullptr) < 0)
        return false;
    if (xmlSecCryptoInit() < 0) {
        xmlSecCryptoAppShutdown();
        return false;
    }
    State().backends.insert(backend);
    return true;
}

void ShutDownProcessLibraries()
{
    LibraryState& state = State();
    for (const std::string& backend : state.backends) {
        if (xmlSecCryptoDLLoadLibrary(reinterpret_cast<const xmlChar*>(backend.c_str())) < 0)
            continue;
        xmlSecCryptoShutdown();
        xmlSecCryptoAppShutdown();
    }
    state.backends.clear();
    xmlSecShutdown();
    xsltCleanupGlobals();
    xmlCleanupParser();
    state.running = false;
}

} // namespace

bool StartLibraries(VARIANT_BOOL& started, const char* backend, ErrorStackId stack, bool clearStack)
{
    if (started)
        return true;
    ProcessGuard guard(ProcessLock());
    LibraryState& state = State();
    if (!state.running) {
        if (!StartProcessLibraries())
            return false;
        state.running = true;
    }
    // A failure leaves the steps done so far as they are; the next operation
    // of the object runs the start-up again.
    if (!StartBackend(backend))
        return false;
    started = VARIANT_TRUE;
    ++state.startedObjects;
    if (clearStack)
        stacks::Clear(stack);
    return true;
}

void StopLibraries(VARIANT_BOOL& started)
{
    if (!started)
        return;
    ProcessGuard guard(ProcessLock());
    started = VARIANT_FALSE;
    LibraryState& state = State();
    if (--state.startedObjects == 0 && state.running)
        ShutDownProcessLibraries();
}

void ForgetLibraries(VARIANT_BOOL& started, ErrorStackId stack)
{
    if (!started)
        return;
    ProcessGuard guard(ProcessLock());
    started = VARIANT_FALSE;
    --State().startedObjects;
    stacks::Clear(stack);
}

bool ActivateBackend(const char* backend)
{
    ProcessGuard guard(ProcessLock());
    return xmlSecCryptoDLLoadLibrary(reinterpret_cast<const xmlChar*>(backend)) >= 0;
}

int StartedObjectCount()
{
    ProcessGuard guard(ProcessLock());
    return State().startedObjects;
}

bool LibrariesRunning()
{
    ProcessGuard guard(ProcessLock());
    return State().running;
}

} // namespace trumik::common

#include "XmlLibrary.h"

#include "CallerDocument.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxslt/xslt.h>
#include <xmlsec/crypto.h>
#include <xmlsec/dl.h>
#include <xmlsec/errors.h>
#include <xmlsec/xmlsec.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace trumik::common {

namespace {

struct LibraryState {
    bool running = false;           // xmlInitParser .. xmlSecCheckVersionExt done
    std::set<std::string> backends; // back-ends whose application and crypto start-up ran
    int startedObjects = 0;
    std::vector<xmlSecTransformId> transforms; // registered at each start-up
};

LibraryState& State()
{
    static LibraryState state;
    return state;
}

// Taken exclusively by start-up, shut-down and the count of started objects,
// shared by every use of the running libraries. A thread waiting to take it
// exclusively holds back new shared holders, so a start-up waits only for the
// uses already in flight, however many threads keep starting new ones.
class LibraryGate {
  public:
    void lock()
    {
        std::unique_lock guard(mutex_);
        ++waitingWriters_;
        changed_.wait(guard, [this] { return !writing_ && readers_ == 0; });
        --waitingWriters_;
        writing_ = true;
    }
    void unlock()
    {
        {
            std::lock_guard guard(mutex_);
            writing_ = false;
        }
        changed_.notify_all();
    }
    void lock_shared()
    {
        std::unique_lock guard(mutex_);
        changed_.wait(guard, [this] { return !writing_ && waitingWriters_ == 0; });
        ++readers_;
    }
    void unlock_shared()
    {
        bool last;
        {
            std::lock_guard guard(mutex_);
            last = --readers_ == 0;
        }
        if (last)
            changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int readers_ = 0;
    int waitingWriters_ = 0;
    bool writing_ = false;
};

LibraryGate& LibraryLock()
{
    static LibraryGate lock;
    return lock;
}

// Uses of the libraries the calling thread is inside.
thread_local int t_uses = 0;

// The gate taken shared for the calling thread unless it holds it already.
class UseGuard {
  public:
    UseGuard()
    {
        if (t_uses++ == 0)
            LibraryLock().lock_shared();
    }
    ~UseGuard()
    {
        if (--t_uses == 0)
            LibraryLock().unlock_shared();
    }
    UseGuard(const UseGuard&) = delete;
    UseGuard& operator=(const UseGuard&) = delete;
};

void ApplyParserSettings()
{
    *__xmlLoadExtDtdDefaultValue() = XML_DETECT_IDS | XML_COMPLETE_ATTRS;
    xmlSubstituteEntitiesDefault(1);
    *__xmlIndentTreeOutput() = 1;
}

bool StartProcessLibraries()
{
    xmlInitParser();
    xmlCheckVersion(20703);
    ApplyParserSettings();
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
    for (xmlSecTransformId id : State().transforms) {
        if (xmlSecTransformIdsRegister(id) < 0) {
            xmlSecShutdown();
            return false;
        }
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
    std::unique_lock guard(LibraryLock());
    LibraryState& state = State();
    if (!state.running) {
        if (!StartProcessLibraries())
            return false;
        state.running = true;
    }
    // A failure leaves the steps done so far as they are; the next operation
    // of the object runs the start-up again.
    const bool backendStarted = StartBackend(backend);
    // The one callback slot forwards each report to the callback of the
    // operation that runs on the reporting thread. Put back after every
    // start-up: a back-end's start-up (and its shut-down) installs its own.
    xmlSecErrorsSetCallback(ThreadErrorCallback);
    if (!backendStarted)
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
    std::unique_lock guard(LibraryLock());
    started = VARIANT_FALSE;
    LibraryState& state = State();
    if (--state.startedObjects == 0 && state.running)
        ShutDownProcessLibraries();
}

void ForgetLibraries(VARIANT_BOOL& started, ErrorStackId stack)
{
    if (!started)
        return;
    std::unique_lock guard(LibraryLock());
    started = VARIANT_FALSE;
    --State().startedObjects;
    stacks::Clear(stack);
}

bool ActivateBackend(const char* backend)
{
    return xmlSecCryptoDLLoadLibrary(reinterpret_cast<const xmlChar*>(backend)) >= 0;
}

void AddTransform(xmlSecTransformId id)
{
    std::unique_lock guard(LibraryLock());
    LibraryState& state = State();
    if (std::find(state.transforms.begin(), state.transforms.end(), id) != state.transforms.end())
        return;
    state.transforms.push_back(id);
    if (state.running)
        xmlSecTransformIdsRegister(id);
}

void RemoveTransform(xmlSecTransformId id)
{
    std::unique_lock guard(LibraryLock());
    LibraryState& state = State();
    state.transforms.erase(std::remove(state.transforms.begin(), state.transforms.end(), id),
                           state.transforms.end());
    xmlSecPtrListPtr list = state.running ? xmlSecTransformIdsGet() : nullptr;
    if (!list)
        return;
    // The list has no removal that keeps it dense: it is written anew
    // without the klass.
    std::vector<xmlSecPtr> kept;
    for (xmlSecSize i = 0; i < xmlSecPtrListGetSize(list); ++i) {
        xmlSecPtr item = xmlSecPtrListGetItem(list, i);
        if (item != id)
            kept.push_back(item);
    }
    if (kept.size() == xmlSecPtrListGetSize(list))
        return;
    xmlSecPtrListEmpty(list);
    for (xmlSecPtr item : kept)
        xmlSecPtrListAdd(list, item);
}

int StartedObjectCount()
{
    UseGuard guard;
    return State().startedObjects;
}

bool LibrariesRunning()
{
    UseGuard guard;
    return State().running;
}

LibraryUse::LibraryUse()
{
    if (t_uses++ == 0)
        LibraryLock().lock_shared();
    ApplyParserSettings();
}

LibraryUse::~LibraryUse()
{
    if (--t_uses == 0)
        LibraryLock().unlock_shared();
}

XmlOperation::XmlOperation(VARIANT_BOOL& started, const char* backend, ErrorStackId stack, bool clearStack)
{
    // The object counts itself started from here on, so no shut-down can come
    // between the start-up and the use.
    if (!StartLibraries(started, backend, stack, clearStack))
        return;
    use_.emplace();
    if (!ActivateBackend(backend))
        use_.reset();
}

XmlOperation::~XmlOperation()
{
    // The reports' callback is the thread's previous one again before the
    // use ends.
    reports_.reset();
    use_.reset();
}

void XmlOperation::ReportTo(LibraryErrorCallback callback)
{
    reports_.reset();
    reports_.emplace(callback);
}

} // namespace trumik::common

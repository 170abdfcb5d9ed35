// xmlsec's dynamic loading of crypto back-ends (xmlsec/dl.h), which the
// system's libxmlsec1 is built without.
//
// A back-end "N" is the shared library libxmlsec1-N.so exporting
// xmlSecCryptoGetFunctions_N(), which returns the back-end's function table.
// "openssl" is the system's libxmlsec1-openssl.so.1; any other name is taken
// from memory when a module of the process already links it, else looked up
// first in the folder of this library, then by the normal dlopen search.
//
// Loaded libraries are never closed: the OpenSSL back-end in particular keeps
// state inside OpenSSL that must not outlive its code, and a table handed out
// once stays valid for the life of the process. Shutdown and unload clear the
// active table and forget names; loading a forgotten name again maps the same
// library again.
//
// The active table is the calling thread's (see BackendSwitch.h): loading,
// activating or setting a table makes it the calling thread's choice and the
// process default at once; a thread that never chose, or whose choice was
// cleared by a shut-down or the unload of its back-end, uses the default.
#include "BackendSwitch.h"

#pragma GCC visibility push(default)
#include <xmlsec/app.h>
#include <xmlsec/dl.h>
#include <xmlsec/errors.h>
#include <xmlsec/private.h>
#pragma GCC visibility pop

#include <dlfcn.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace {

// Longest back-end name accepted; names are C identifiers.
constexpr std::size_t kMaxNameLength = 63;
// Number of back-ends that can be known at once.
constexpr std::size_t kMaxLibraries = 16;

struct Library {
    bool used = false;
    char name[kMaxNameLength + 1] = {};
    xmlSecCryptoDLFunctionsPtr functions = nullptr;
};

// Trivially destructible on purpose: the state must stay usable from exit-time
// code (atexit handlers, destructors of other libraries' statics).
constinit std::mutex g_mutex;
constinit std::array<Library, kMaxLibraries> g_libraries{};
// The process default: the table loaded, activated or set last by any thread.
constinit std::atomic<xmlSecCryptoDLFunctionsPtr> g_default{nullptr};
// Counts of shut-downs and of unloads of a back-end so far. A thread's choice
// remembers both as they were when it was made; a shut-down since clears it, an
// unload since clears it when it was the unloaded back-end's table.
constinit std::atomic<unsigned long> g_shutdowns{0};
constinit std::atomic<unsigned long> g_unloads{0};

struct Choice {
    xmlSecCryptoDLFunctionsPtr functions = nullptr; // null: the thread has not chosen
    bool fromLibrary = false;                       // a loaded back-end's table, not a set one
    unsigned long shutdowns = 0;
    unsigned long unloads = 0;
};
constinit thread_local Choice t_choice{};

struct DlCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, DlCloser>;

// An error found while holding the lock, reported after it is released so
// that an error callback may call back into this code.
struct Failure {
    const char* func;
    const char* subject;
    int reason;
    std::string message;
};

void Report(const Failure& failure)
{
    xmlSecError(__FILE__, __LINE__, failure.func, nullptr, failure.subject, failure.reason, "%s",
                failure.message.c_str());
}

bool IsValidName(const char* name)
{
    if (name == nullptr)
        return false;
    std::size_t length = std::strlen(name);
    if (length == 0 || length > kMaxNameLength)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        char c = name[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

Failure InvalidName(const char* func, const char* name)
{
    return Failure{func, nullptr, XMLSEC_ERRORS_R_INVALID_DATA,
                   std::string("crypto=") + xmlSecErrorsSafeString(name) +
                       "; back-end names are 1 to 63 letters, digits or underscores"};
}

Library* Find(const char* name)
{
    for (Library& library : g_libraries) {
        if (library.used && std::strcmp(library.name, name) == 0)
            return &library;
    }
    return nullptr;
}

bool IsLoadedTable(xmlSecCryptoDLFunctionsPtr functions)
{
    for (const Library& library : g_libraries) {
        if (library.used && library.functions == functions)
            return true;
    }
    return false;
}

// The calling thread's choice and the process default become `functions`;
// caller holds g_mutex.
void ChooseLocked(xmlSecCryptoDLFunctionsPtr functions, bool fromLibrary)
{
    t_choice = Choice{functions, fromLibrary, g_shutdowns.load(), g_unloads.load()};
    g_default.store(functions);
}

// The calling thread's table: its own choice while that holds, else the default.
xmlSecCryptoDLFunctionsPtr ActiveTable()
{
    Choice& choice = t_choice;
    if (choice.functions == nullptr)
        return g_default.load();
    if (choice.shutdowns != g_shutdowns.load()) {
        choice = Choice{};
        return g_default.load();
    }
    if (choice.unloads != g_unloads.load()) {
        std::lock_guard lock(g_mutex);
        if (choice.fromLibrary && !IsLoadedTable(choice.functions)) {
            choice = Choice{};
            return g_default.load();
        }
        choice.unloads = g_unloads.load();
    }
    return choice.functions;
}

// The folder holding this library, with a trailing slash, or "" if unknown.
std::string OwnFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&xmlSecCryptoDLLoadLibrary), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::string path = info.dli_fname;
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash + 1);
}

std::string DlErrorText()
{
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}

LibraryHandle OpenBackend(const char* name, std::string& errors)
{
    if (std::strcmp(name, "openssl") == 0) {
        LibraryHandle handle(dlopen("libxmlsec1-openssl.so.1", RTLD_NOW | RTLD_LOCAL));
        if (!handle)
            errors = DlErrorText();
        return handle;
    }
    std::string file = std::string("libxmlsec1-") + name + ".so";
    // A back-end that a module of the process links against is in memory
    // already (found through that module's run path); loading another file
    // of the same name would give the process two copies whose key data and
    // transforms do not know each other.
    if (LibraryHandle loaded{dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)})
        return loaded;
    std::string folder = OwnFolder();
    if (!folder.empty()) {
        LibraryHandle handle(dlopen((folder + file).c_str(), RTLD_NOW | RTLD_LOCAL));
        if (handle)
            return handle;
        errors = DlErrorText() + "; ";
    }
    LibraryHandle handle(dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle)
        errors += DlErrorText();
    return handle;
}

// Loads `name` unless it is known already; caller holds g_mutex.
xmlSecCryptoDLFunctionsPtr LoadLocked(const char* name, std::optional<Failure>& failure)
{
    if (Library* known = Find(name))
        return known->functions;

    Library* slot = nullptr;
    for (Library& library : g_libraries) {
        if (!library.used) {
            slot = &library;
            break;
        }
    }
    if (slot == nullptr) {
        failure = Failure{"xmlSecCryptoDLGetLibraryFunctions", nullptr, XMLSEC_ERRORS_R_INVALID_OPERATION,
                          std::string("crypto=") + name + "; too many crypto back-ends loaded"};
        return nullptr;
    }

    std::string errors;
    dlerror();
    LibraryHandle handle = OpenBackend(name, errors);
    if (!handle) {
        failure = Failure{"xmlSecCryptoDLGetLibraryFunctions", "dlopen", XMLSEC_ERRORS_R_IO_FAILED,
                          std::string("crypto=") + name + "; " + errors};
        return nullptr;
    }

    std::string getterName = std::string("xmlSecCryptoGetFunctions_") + name;
    dlerror();
    void* symbol = dlsym(handle.get(), getterName.c_str());
    if (symbol == nullptr) {
        failure = Failure{"xmlSecCryptoDLGetLibraryFunctions", "dlsym", XMLSEC_ERRORS_R_IO_FAILED,
                          std::string("crypto=") + name + "; " + DlErrorText()};
        return nullptr;
    }
    using Getter = xmlSecCryptoDLFunctionsPtr (*)();
    Getter getter = reinterpret_cast<Getter>(symbol);
    xmlSecCryptoDLFunctionsPtr functions = getter();
    if (functions == nullptr) {
        failure = Failure{"xmlSecCryptoDLGetLibraryFunctions", "xmlSecCryptoGetFunctions",
                          XMLSEC_ERRORS_R_XMLSEC_FAILED,
                          std::string("crypto=") + name + "; " + getterName + " returned no function table"};
        return nullptr;
    }

    // Kept mapped for the life of the process.
    (void)handle.release();
    slot->used = true;
    std::memcpy(slot->name, name, std::strlen(name) + 1);
    slot->functions = functions;
    return functions;
}

} // namespace

#pragma GCC visibility push(default)

int xmlSecCryptoDLInit(void)
{
    // Nothing to prepare: the state is set up on first use, since the system's
    // xmlSecInit does not call this.
    return 0;
}

int xmlSecCryptoDLShutdown(void)
{
    std::lock_guard lock(g_mutex);
    g_default.store(nullptr);
    g_shutdowns.fetch_add(1);
    t_choice = Choice{};
    return 0;
}

xmlSecCryptoDLFunctionsPtr xmlSecCryptoDLGetLibraryFunctions(const xmlChar* crypto)
{
    const char* name = reinterpret_cast<const char*>(crypto);
    if (!IsValidName(name)) {
        Report(InvalidName("xmlSecCryptoDLGetLibraryFunctions", name));
        return nullptr;
    }
    std::optional<Failure> failure;
    xmlSecCryptoDLFunctionsPtr functions;
    {
        std::lock_guard lock(g_mutex);
        functions = LoadLocked(name, failure);
    }
    if (failure)
        Report(*failure);
    return functions;
}

int xmlSecCryptoDLLoadLibrary(const xmlChar* crypto)
{
    const char* name = reinterpret_cast<const char*>(crypto);
    if (!IsValidName(name)) {
        Report(InvalidName("xmlSecCryptoDLLoadLibrary", name));
        return -1;
    }
    std::optional<Failure> failure;
    {
        std::lock_guard lock(g_mutex);
        xmlSecCryptoDLFunctionsPtr functions = LoadLocked(name, failure);
        if (functions != nullptr)
            ChooseLocked(functions, true);
    }
    if (failure) {
        Report(*failure);
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecCryptoDLGetLibraryFunctions",
                    XMLSEC_ERRORS_R_XMLSEC_FAILED, "crypto=%s", name);
        return -1;
    }
    return 0;
}

int xmlSecCryptoDLUnloadLibrary(const xmlChar* crypto)
{
    const char* name = reinterpret_cast<const char*>(crypto);
    if (!IsValidName(name)) {
        Report(InvalidName("xmlSecCryptoDLUnloadLibrary", name));
        return -1;
    }
    std::lock_guard lock(g_mutex);
    Library* library = Find(name);
    if (library == nullptr)
        return 0; // not loaded: nothing to do
    xmlSecCryptoDLFunctionsPtr expected = library->functions;
    g_default.compare_exchange_strong(expected, nullptr);
    *library = Library{};
    g_unloads.fetch_add(1);
    return 0;
}

int xmlSecCryptoDLSetFunctions(xmlSecCryptoDLFunctionsPtr functions)
{
    xmlSecAssert2(functions != nullptr, -1);
    std::lock_guard lock(g_mutex);
    ChooseLocked(functions, IsLoadedTable(functions));
    return 0;
}

xmlSecCryptoDLFunctionsPtr xmlSecCryptoDLGetFunctions(void)
{
    return ActiveTable();
}

int trumikXmlSecCryptoDLActivate(const char* name)
{
    if (!IsValidName(name)) {
        Report(InvalidName("trumikXmlSecCryptoDLActivate", name));
        return -1;
    }
    {
        std::lock_guard lock(g_mutex);
        if (Library* library = Find(name)) {
            ChooseLocked(library->functions, true);
            return 0;
        }
    }
    xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_OPERATION,
                "crypto=%s; the crypto back-end is not loaded", name);
    return -1;
}

int trumikXmlSecCryptoDLIsActive(const char* name)
{
    if (!IsValidName(name))
        return 0;
    xmlSecCryptoDLFunctionsPtr active = ActiveTable();
    std::lock_guard lock(g_mutex);
    Library* library = Find(name);
    return library != nullptr && library->functions == active ? 1 : 0;
}

#pragma GCC visibility pop

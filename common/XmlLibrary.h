// Start-up and shut-down of libxml2 and the XML security library, per object,
// with the crypto back-end of the object's class.
#pragma once

#include "ErrorState.h"

#include <oleauto.h>

#include <xmlsec/transforms.h>

#include <optional>

namespace trumik::common {

inline constexpr char kMSCryptoBackend[] = "mscrypto";
inline constexpr char kOpenSSLBackend[] = "openssl";

// Starts the libraries for an object whose library-started flag is `started`,
// with the named back-end. A no-op returning true when the flag is set.
// Classes with a stack (the two CMS classes) have it emptied after a start-up;
// pass clearStack = false for CXmlSigner.
//
// The whole sequence runs for the process only while no started object is
// alive; later objects join the running libraries, loading and starting their
// back-end if it is not running yet. So repeated start-up never re-registers
// what the libraries hold, and no object ever sees them shut down under it.
//
// Start-up and the two functions below wait for the uses in flight (see
// LibraryUse), so a thread never calls them while it is inside a use itself.
bool StartLibraries(VARIANT_BOOL& started, const char* backend, ErrorStackId stack, bool clearStack);

// At the release of a CXmlSigner object: the object stops counting itself
// started, and the libraries are shut down when no started object is left.
void StopLibraries(VARIANT_BOOL& started);

// At the release of a CMSXmlSigner or CMSXmlVerifier object: the object stops
// counting itself started and its class's stack is emptied; the libraries
// stay started.
void ForgetLibraries(VARIANT_BOOL& started, ErrorStackId stack);

// Makes the named back-end's functions the ones the library calls on the
// calling thread (the active back-end is per thread).
bool ActivateBackend(const char* backend);

// Use of the running libraries by one thread, from an operation's first
// library call to its last. Start-up and shut-down wait until no use is in
// flight, and no use begins while they run; uses on different threads run at
// once. A use also gives the calling thread the parser settings of the
// start-up (libxml2 keeps them per thread). Nested uses on one thread are one.
class LibraryUse {
  public:
    LibraryUse();
    ~LibraryUse();
    LibraryUse(const LibraryUse&) = delete;
    LibraryUse& operator=(const LibraryUse&) = delete;
};

// One XML operation of an object: the libraries started for it (StartLibraries),
// its back-end made active on the calling thread, and the libraries in use
// until the operation ends. The library's reports on this thread go to the
// callback given to ReportTo until then, and to the thread's previous one
// afterwards.
class XmlOperation {
  public:
    XmlOperation(VARIANT_BOOL& started, const char* backend, ErrorStackId stack, bool clearStack);
    ~XmlOperation();
    XmlOperation(const XmlOperation&) = delete;
    XmlOperation& operator=(const XmlOperation&) = delete;

    // Whether the start-up and the back-end's activation succeeded; nothing
    // of the libraries may be used otherwise.
    bool Ready() const { return use_.has_value(); }
    void ReportTo(LibraryErrorCallback callback);

  private:
    std::optional<LibraryUse> use_;
    std::optional<ThreadErrorReports> reports_;
};

// Transforms beyond the library's own (the exchange module's): registered
// with the library at every process start-up of it, and at once when it runs
// already. A module withdraws its transforms before it unloads, so that the
// library's list never holds a klass of an unloaded module. Both wait for the
// uses in flight, as start-up does.
void AddTransform(xmlSecTransformId id);
void RemoveTransform(xmlSecTransformId id);

// Number of objects that count themselves started, and whether the libraries
// are running now (for tests and diagnostics).
int StartedObjectCount();
bool LibrariesRunning();

} // namespace trumik::common

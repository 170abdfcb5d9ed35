// Start-up and shut-down of libxml2 and the XML security library, per object,
// with the crypto back-end of the object's class.
#pragma once

#include "ErrorState.h"

#include <oleauto.h>

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
bool StartLibraries(VARIANT_BOOL& started, const char* backend, ErrorStackId stack, bool clearStack);

// At the release of a CXmlSigner object: the object stops counting itself
// started, and the libraries are shut down when no started object is left.
void StopLibraries(VARIANT_BOOL& started);

// At the release of a CMSXmlSigner or CMSXmlVerifier object: the object stops
// counting itself started and its class's stack is emptied; the libraries
// stay started.
void ForgetLibraries(VARIANT_BOOL& started, ErrorStackId stack);

// Makes the named back-end's functions the ones the library calls. Called at
// the start of every XML operation, under the process lock.
bool ActivateBackend(const char* backend);

// Number of objects that count themselves started, and whether the libraries
// are running now (for tests and diagnostics).
int StartedObjectCount();
bool LibrariesRunning();

} // namespace trumik::common

// Switching between xmlsec crypto back-ends that are already loaded.
//
// Every xmlSecCrypto* forwarding function (xmlSecCryptoAppKeyLoad,
// xmlSecTransformRsaSha1GetKlass, ...) calls into the active function table of
// the calling thread. Loading, activating or setting a table
// (xmlSecCryptoDLLoadLibrary, trumikXmlSecCryptoDLActivate,
// xmlSecCryptoDLSetFunctions) makes it the calling thread's table and also the
// process default: the table of every thread that has not chosen one. So a
// single-threaded caller sees the table made active last, and code that uses
// two back-ends at once makes its own back-end active on its own thread before
// each operation that reaches the library, with no lock across the operation.
// xmlSecCryptoDLShutdown clears the default and every thread's choice;
// unloading a back-end clears the default and the threads' choices where they
// are its table. Those threads then use the default again.
//
// Back-ends are loaded by name with xmlSecCryptoDLLoadLibrary (xmlsec/dl.h),
// which also makes the loaded table active; calling it again for a name that is
// already loaded only makes that table active again and returns 0.
// trumikXmlSecCryptoDLActivate does the same but never loads: it fails for a
// name that is not loaded. Loaded back-end libraries stay mapped until the
// process ends (xmlSecCryptoDLShutdown and xmlSecCryptoDLUnloadLibrary only
// clear the active table and forget the name), so a function table obtained
// once stays valid.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Makes the function table of the loaded back-end `name` ("openssl",
// "mscrypto", ...) the active one. Returns 0, or -1 (reported through the
// xmlsec error callback) when no back-end of that name is loaded.
__attribute__((visibility("default"))) int trumikXmlSecCryptoDLActivate(const char* name);

// Returns 1 when the back-end `name` is loaded and its table is the active one,
// 0 otherwise. Reports nothing.
__attribute__((visibility("default"))) int trumikXmlSecCryptoDLIsActive(const char* name);

#ifdef __cplusplus
}
#endif

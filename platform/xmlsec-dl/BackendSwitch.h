// Switching between xmlsec crypto back-ends that are already loaded.
//
// The active function table of xmlsec is process-wide: every xmlSecCrypto*
// forwarding function (xmlSecCryptoAppKeyLoad, xmlSecTransformRsaSha1GetKlass,
// ...) calls into whichever back-end was made active last. Code that uses two
// back-ends in one process makes its own back-end active, under its own
// process-wide lock, before every operation that reaches the library.
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

// One line after the component's own message, for failures the user can act
// on: a GOST R 34.10-2012 certificate refused while the component's switch is
// off, and a PIN the provider refused. The component's message and code stay
// as they are; the hint only follows them on standard error.
#pragma once

#include <windef.h>

#include <string>

namespace trumik::host {

// The certificate a command named: a store certificate by thumbprint (the
// user's store, then the machine's) or a certificate file.
struct CertificateRef {
    std::string store;
    std::string thumbprint;
    std::string file;
};

// Prints the hint for a failure of `method` with `code`, if there is one;
// `stack` is the class's error stack where the command has it.
void PrintFailureHint(const std::string& method, LONG code, const CertificateRef& certificate,
                      const std::string& stack = {});

} // namespace trumik::host

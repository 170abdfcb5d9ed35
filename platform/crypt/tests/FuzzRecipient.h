// The key holder of the message fuzz targets: a self-signed certificate for
// a new GOST R 34.10-2001 key in the container "fuzz-recipient", in a memory
// store with its key-provider information. Made at the first call; lives for
// the process, as the fuzzer does.
#pragma once

#include "wincrypt.h"

struct FuzzRecipient {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT cert = nullptr; // in the store
};

const FuzzRecipient& TheFuzzRecipient();

// The fuzz entry point of the SignedData reader and its seeds
// (FuzzSignedMessages.cpp).
#pragma once

#include "wincrypt.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Reads and verifies a message as the entry point does (aborting on a
// verdict it must not give); true when every signer holds.
bool SignedFuzzVerdict(const uint8_t* data, size_t size);

// Signed messages of the fuzz key holder, made in this process: attached
// contents of a few sizes and one with two signers.
std::vector<std::vector<BYTE>> SignedFuzzSeeds();

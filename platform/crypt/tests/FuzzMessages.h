// The fuzz entry point of CryptDecryptMessage and its seeds (FuzzMessages.cpp).
#pragma once

#include "wincrypt.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Messages for the fuzz recipient, made in this process (it only opens them here).
std::vector<std::vector<BYTE>> MessageFuzzSeeds();

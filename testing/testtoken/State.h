// What a slot's token keeps between processes: whether it is initialised,
// its label, the PIN checks and their failure counts, and its token objects.
// Each slot has one file in the state directory, read whole and written whole
// (temp file, fsync, rename) under a lock file, so processes see each other's
// changes and a crash leaves the old state or the new one.
#pragma once

#include "Gost.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace trumik::testtoken {

// An object: its handle and its attributes by type, each value as bytes
// (booleans one byte, numbers a native unsigned long).
struct Object {
    unsigned long handle = 0;
    std::map<unsigned long, Bytes> attributes;
};

struct TokenState {
    bool initialized = false;
    std::string label; // 32 bytes, blank-padded
    Bytes salt;
    Bytes soPin; // salted digests of the PINs, empty when not set
    Bytes userPin;
    unsigned soFailures = 0;
    unsigned userFailures = 0;
    unsigned long nextId = 1;
    std::vector<Object> objects;
};

// The directory: TRUMIK_TESTTOKEN_DIR, else <TRUMIK_HOME or ~/.trumik>/testtoken.
std::filesystem::path StateDir();
// Whether slot<N>.removed exists in it.
bool SlotRemoved(unsigned long slot);

// Reads the slot's state (an uninitialised token when there is no file yet).
// nullopt when the file is there but cannot be read or parsed.
std::optional<TokenState> LoadState(unsigned long slot);

// Runs change on the state read under the slot's lock and writes what it
// leaves when it returns true; the state as it ends is returned in out.
// Returns false when the state could not be read or written.
bool UpdateState(unsigned long slot, const std::function<bool(TokenState&)>& change, TokenState& out);

// Serialised form, for the state file and the tests.
std::string EncodeState(const TokenState& state);
std::optional<TokenState> DecodeState(const std::string& text);

} // namespace trumik::testtoken

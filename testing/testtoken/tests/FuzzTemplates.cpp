// Fuzz entry point of the test token's input parsing: the input is read as a
// caller's attribute template (records of type index, length, value) and
// goes through the checks of C_CreateObject and C_GenerateKeyPair; it is
// also read as a state file, and a state file that parses must come back
// the same after writing and reading it again.
#include "Objects.h"
#include "State.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace trumik::testtoken;

// The types a record can name: known attributes and one the token does not know.
constexpr CK_ATTRIBUTE_TYPE kTypes[] = {CKA_CLASS,
                                        CKA_TOKEN,
                                        CKA_PRIVATE,
                                        CKA_LABEL,
                                        CKA_VALUE,
                                        CKA_CERTIFICATE_TYPE,
                                        CKA_KEY_TYPE,
                                        CKA_ID,
                                        CKA_SENSITIVE,
                                        CKA_EXTRACTABLE,
                                        CKA_SIGN,
                                        CKA_DERIVE,
                                        CKA_GOSTR3410_PARAMS,
                                        CKA_GOSTR3411_PARAMS,
                                        CKA_LOCAL,
                                        CKA_VALUE_LEN,
                                        0x7fff0000};

std::vector<CK_ATTRIBUTE> ReadRecords(const uint8_t* data, size_t size,
                                      std::vector<std::vector<uint8_t>>& values)
{
    std::vector<CK_ATTRIBUTE> attributes;
    size_t at = 0;
    while (at + 2 <= size && attributes.size() < 16) {
        CK_ATTRIBUTE_TYPE type = kTypes[data[at] % (sizeof kTypes / sizeof kTypes[0])];
        size_t len = std::min<size_t>(data[at + 1], size - at - 2);
        values.emplace_back(data + at + 2, data + at + 2 + len);
        attributes.push_back(CK_ATTRIBUTE{type, values.back().empty() ? nullptr : values.back().data(), len});
        at += 2 + len;
    }
    return attributes;
}

} // namespace

// Seeds: a state file with an object, and a key template.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* dir = std::getenv("TRUMIK_FUZZ_SEED_DIR");
    if (!dir)
        return 0;
    TokenState state;
    state.initialized = true;
    state.label = std::string(32, ' ');
    state.userPin = {1, 2, 3};
    state.objects.push_back(Object{0x1000001, {{CKA_CLASS, UlongValue(CKO_DATA)}, {CKA_LABEL, {'x'}}}});
    std::ofstream(std::string(dir) + "/state") << EncodeState(state);
    // CKA_KEY_TYPE (index 6) GOSTR3410, CKA_GOSTR3410_PARAMS (index 12) CryptoPro A.
    std::string key = {6,    8,    0x30, 0,    0,    0,    0,    0,
                       0,    0,    12,   9,    0x06, 0x07, 0x2a, static_cast<char>(0x85),
                       0x03, 0x02, 0x02, 0x23, 0x01};
    std::ofstream(std::string(dir) + "/key") << key;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::vector<uint8_t>> values;
    values.reserve(size);
    std::vector<CK_ATTRIBUTE> attributes = ReadRecords(data, size, values);
    Attributes parsed;
    if (ReadTemplate(attributes.data(), attributes.size(), parsed) == CKR_OK) {
        Attributes object = parsed;
        CompleteNewObject(object);
        Attributes publicKey = parsed, privateKey;
        Curve curve{};
        CheckKeyPairTemplates(CKM_GOSTR3410_KEY_PAIR_GEN, publicKey, privateKey, curve);
    }
    if (auto state = DecodeState(std::string(reinterpret_cast<const char*>(data), size))) {
        std::string once = EncodeState(*state);
        auto again = DecodeState(once);
        if (!again || EncodeState(*again) != once)
            std::abort();
    }
    return 0;
}

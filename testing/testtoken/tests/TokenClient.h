// The unit tests' side of the test token: the library loaded as a PKCS #11
// client loads it (dlopen, C_GetFunctionList), a fixture that gives each test
// a fresh state directory, and the GOST engine used directly to check what
// the token computes.
#pragma once

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Pkcs11.h"

namespace trumik::testtoken::tests {

using Bytes = std::vector<unsigned char>;

// The token's function list; the library stays loaded for the process.
CK_FUNCTION_LIST* Token();

constexpr const char* kSoPin = "87654321";
constexpr const char* kUserPin = "1234";

struct KeyPairHandles {
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
};

// A template attribute over a value that lives as long as the template.
class Template {
  public:
    Template& Add(CK_ATTRIBUTE_TYPE type, Bytes value);
    Template& Bool(CK_ATTRIBUTE_TYPE type, bool value)
    {
        return Add(type, Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)});
    }
    Template& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
    Template& Text(CK_ATTRIBUTE_TYPE type, const std::string& value)
    {
        return Add(type, Bytes(value.begin(), value.end()));
    }
    CK_ATTRIBUTE* data();
    CK_ULONG size() const { return static_cast<CK_ULONG>(values_.size()); }

  private:
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> values_;
    std::vector<CK_ATTRIBUTE> attributes_;
};

// Each test starts with C_Initialize over a new, empty state directory and
// ends with C_Finalize.
class TokenTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Finalises and initialises again: a fresh start over the same state,
    // as a second process would see it.
    void Restart();

    // Initialises the slot's token with the SO PIN and a user PIN.
    void InitToken(CK_SLOT_ID slot, const std::string& label = "unit token");
    CK_SESSION_HANDLE Open(CK_SLOT_ID slot, bool readWrite = true);
    CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, const std::string& pin);
    // A ready session: token initialised, read-write session, user logged in.
    CK_SESSION_HANDLE UserSession(CK_SLOT_ID slot = 0);

    CK_RV GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, Template& publicKey,
                          Template& privateKey, KeyPairHandles& out);
    // A 2012 key pair on the token (256 or 512 bits), CKA_ID "k", on the
    // token's default curve or the one named (dotted OID).
    KeyPairHandles NewKeyPair(CK_SESSION_HANDLE session, bool big = false, bool onToken = true,
                              const std::string& curve = {});

    // One attribute's value (fails the test when the token refuses it).
    Bytes Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, Template& search);
    Bytes Sign(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key,
               const Bytes& data);

    std::filesystem::path dir_;
    CK_FUNCTION_LIST* p11_ = nullptr;
};

// --- the GOST engine, for checks --------------------------------------------

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using UniquePkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Bytes OidDer(const std::string& dotted);
Bytes Bytes32(const std::string& text); // the text's bytes

// A public key of the engine from a token public value: algorithm
// 1.2.643.7.1.1.1.1 or .2, the curve and digest parameters as DER.
UniquePkey EnginePublicKey(bool big, const Bytes& curveDer, const Bytes& digestDer, const Bytes& value);
UniquePkey EnginePublicKey(const std::string& algorithm, const Bytes& curveDer, const Bytes& digestDer,
                           const Bytes& value);
// A new 2012 key pair in the engine on the given curve (dotted OID).
UniquePkey EngineKeyPair(bool big, const std::string& curve);
// The public value (x then y little-endian) of an engine key.
Bytes EnginePublicValue(EVP_PKEY* key);
Bytes EngineDigest(bool big, const Bytes& data);
Bytes EngineDigest(int nid, const Bytes& data);
bool EngineVerify(EVP_PKEY* key, const Bytes& digest, const Bytes& signature);
// The engine's VKO key between our private key and the peer's public key.
Bytes EngineDerive(EVP_PKEY* mine, EVP_PKEY* peer, const Bytes& ukm);

} // namespace trumik::testtoken::tests

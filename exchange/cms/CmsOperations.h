// CMS SignedData for the second module and the host: a store certificate's
// key found and checked, content signed attached or detached, a signer
// added to a SignedData, every signer verified, the content taken out. All
// of it runs on the platform's message calls (CryptMsgOpenToEncode and
// friends), so keys stay in the provider; content is read in pieces, so a
// detached signature of a file of any size takes bounded memory.
#pragma once

#include <oleauto.h>
#include <wincrypt.h>

#include "common/CryptGuards.h"
#include "common/Messages.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace trumik::exchange::cms {

using Bytes = std::vector<BYTE>;

// The result of an operation: no message on success; a failure's message,
// and whether the system's text for the last error belongs beside it.
struct Outcome {
    const common::Message* failure = nullptr;
    bool systemText = false;
    explicit operator bool() const { return failure == nullptr; }
};

// Content given a piece at a time: fills up to `capacity` bytes and sets
// `got` (0 at the end); false when reading fails.
using ContentSource = std::function<bool(BYTE* buffer, size_t capacity, size_t* got)>;
// Content that is all in memory.
ContentSource FromMemory(const BYTE* data, size_t size);
// Told the number of content bytes done after each piece.
using Progress = std::function<void(uint64_t done)>;

// A certificate of the current user's store and the provider context of its
// key, found by thumbprint and checked: valid now, allowed digital
// signatures, a GOST key whose container opens (with the PIN when given).
class SigningKey {
  public:
    Outcome Open(BSTR storeName, BSTR thumbprint, BSTR pin);
    PCCERT_CONTEXT Certificate() const { return cert_.get(); }
    HCRYPTPROV Provider() const { return provider_.get(); }
    DWORD KeySpec() const { return keySpec_; }
    const char* DigestOid() const { return digestOid_; }

  private:
    common::UniqueStore store_;
    common::UniqueCertContext cert_;
    common::UniqueProv provider_;
    DWORD keySpec_ = 0;
    const char* digestOid_ = nullptr;
};

Outcome Sign(const SigningKey& key, const ContentSource& content, bool detached, Bytes* signedData,
             const Progress& progress = {});

// Adds the key's signer to a SignedData; `content` is the detached content
// (null when the content is in the message).
Outcome CoSign(const Bytes& signedData, const ContentSource* content, const SigningKey& key, Bytes* result,
               const Progress& progress = {});

struct SignerResult {
    bool valid = false;
    // Why not: null for a signature or digest that does not hold; a message
    // for an unknown algorithm or a missing certificate.
    const common::Message* problem = nullptr;
    Bytes certificate; // DER; empty when the message lacks it
    std::u16string subject;
    bool hasSigningTime = false;
    FILETIME signingTime{};
};

struct Verification {
    std::vector<SignerResult> signers;
    bool detached = false;
    Bytes content; // the attached content
    bool AllValid() const;
};

// Verifies every signer; `content` for a detached signature. Fails only when
// the message cannot be read (or its detached content is missing).
Outcome Verify(const Bytes& signedData, const ContentSource* content, Verification* out,
               const Progress& progress = {});

// The attached content.
Outcome Content(const Bytes& signedData, Bytes* content);

// A PEM "-----BEGIN ...-----" block of Base64 (CMS, PKCS7) as its DER bytes;
// anything else as it stands.
Bytes FromPemOrDer(const Bytes& input);
// The DER message as a PEM "CMS" block.
std::string ToPem(const Bytes& der);

} // namespace trumik::exchange::cms

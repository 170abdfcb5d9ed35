// Owners of the CryptoAPI handles and buffers that an operation of the
// component holds: whatever path leaves the operation releases them. The one
// set for the whole component.
#pragma once

#include <oleauto.h>
#include <wincrypt.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace trumik::common {

struct StoreCloser {
    void operator()(HCERTSTORE store) const { CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG); }
};
struct CertContextFreer {
    void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};
using UniqueStore = std::unique_ptr<void, StoreCloser>;
using UniqueCertContext = std::unique_ptr<const CERT_CONTEXT, CertContextFreer>;
struct MessageCloser {
    void operator()(HCRYPTMSG message) const { CryptMsgClose(message); }
};
// A low-level message (CryptMsgOpenToEncode, CryptMsgOpenToDecode).
using UniqueMessage = std::unique_ptr<void, MessageCloser>;

struct MemoryFreer {
    void operator()(void* block) const { std::free(block); }
};
// A block from malloc: property values (the key-provider information) and
// message buffers.
using UniqueBlock = std::unique_ptr<BYTE, MemoryFreer>;
using UniqueKeyProvInfo = std::unique_ptr<CRYPT_KEY_PROV_INFO, MemoryFreer>;

// A buffer of size bytes (at least one byte is allocated, so an empty buffer
// is still present); null when memory runs out.
inline UniqueBlock AllocateBlock(size_t size)
{
    return UniqueBlock(static_cast<BYTE*>(std::malloc(size ? size : 1)));
}

// A provider context, released with flags 0.
class UniqueProv {
  public:
    UniqueProv() = default;
    UniqueProv(const UniqueProv&) = delete;
    UniqueProv& operator=(const UniqueProv&) = delete;
    UniqueProv(UniqueProv&& other) noexcept : prov_(std::exchange(other.prov_, 0)) {}
    ~UniqueProv() { reset(); }
    void reset()
    {
        if (prov_)
            CryptReleaseContext(std::exchange(prov_, 0), 0);
    }
    HCRYPTPROV get() const { return prov_; }
    HCRYPTPROV* put()
    {
        reset();
        return &prov_;
    }
    explicit operator bool() const { return prov_ != 0; }

  private:
    HCRYPTPROV prov_ = 0;
};

} // namespace trumik::common

// Owners of CryptoAPI handles for the platform's own code and the tools:
// store, certificate and CRL contexts, provider, key and hash handles, each
// released through the Win32 call that releases it. Only Win32 names are
// used, so code that may reach the platform through them alone (the mscrypto
// back-end) can hold its handles with these too.
#pragma once

#include "wincrypt.h"

#include <memory>
#include <utility>

namespace trumik::platform {

struct StoreCloser {
    void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using UniqueStore = std::unique_ptr<void, StoreCloser>;

struct CertFree {
    void operator()(PCCERT_CONTEXT cert) const { CertFreeCertificateContext(cert); }
};
using UniqueCert = std::unique_ptr<const CERT_CONTEXT, CertFree>;

struct CrlFree {
    void operator()(PCCRL_CONTEXT crl) const { CertFreeCRLContext(crl); }
};
using UniqueCrl = std::unique_ptr<const CRL_CONTEXT, CrlFree>;

// Owner of a CryptoAPI handle (a ULONG_PTR value, 0 when empty).
template <BOOL(WINAPI* Release)(ULONG_PTR)> class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(ULONG_PTR value) : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(std::exchange(other.value_, 0)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        reset(std::exchange(other.value_, 0));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    ULONG_PTR get() const { return value_; }
    explicit operator bool() const { return value_ != 0; }
    void reset(ULONG_PTR value = 0)
    {
        if (value_ != 0) {
            // Releasing must not disturb the error a caller is about to read.
            DWORD saved = GetLastError();
            Release(value_);
            SetLastError(saved);
        }
        value_ = value;
    }
    ULONG_PTR release() { return std::exchange(value_, 0); }
    ULONG_PTR* put()
    {
        reset();
        return &value_;
    }

  private:
    ULONG_PTR value_ = 0;
};

inline BOOL WINAPI ReleaseProvider(ULONG_PTR prov)
{
    return CryptReleaseContext(prov, 0);
}
using UniqueProv = UniqueHandle<ReleaseProvider>;
using UniqueKey = UniqueHandle<CryptDestroyKey>;
using UniqueHash = UniqueHandle<CryptDestroyHash>;

} // namespace trumik::platform

// Owners of the CryptoAPI handles and buffers that the message operations use.
#pragma once

#include <oleauto.h>
#include <wincrypt.h>

#include "common/CryptGuards.h"

#include <cstdlib>
#include <memory>
#include <utility>

namespace trumik::cryptmsg {

using common::UniqueCertContext;
using common::UniqueStore;

struct MemoryFreer {
    void operator()(void* block) const { std::free(block); }
};
// A block from malloc; the key-provider information and the message buffers.
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

// Locks a safe array's data for the life of the guard.
class ArrayDataLock {
  public:
    ArrayDataLock() = default;
    ArrayDataLock(const ArrayDataLock&) = delete;
    ArrayDataLock& operator=(const ArrayDataLock&) = delete;
    ~ArrayDataLock() { Unlock(); }
    HRESULT Lock(SAFEARRAY* array)
    {
        Unlock();
        HRESULT hr = SafeArrayAccessData(array, &data_);
        if (SUCCEEDED(hr))
            array_ = array;
        return hr;
    }
    void Unlock()
    {
        if (array_)
            SafeArrayUnaccessData(std::exchange(array_, nullptr));
        data_ = nullptr;
    }
    BYTE* data() const { return static_cast<BYTE*>(data_); }

  private:
    SAFEARRAY* array_ = nullptr;
    void* data_ = nullptr;
};

struct SafeArrayDestroyer {
    void operator()(SAFEARRAY* array) const { SafeArrayDestroy(array); }
};
using UniqueSafeArray = std::unique_ptr<SAFEARRAY, SafeArrayDestroyer>;

} // namespace trumik::cryptmsg

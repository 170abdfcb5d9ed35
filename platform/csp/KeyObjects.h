// The key and hash objects behind the provider's HCRYPTKEY and HCRYPTHASH
// handles, and the output helpers their entry points share.
#pragma once

#include "csp/CspInternal.h"

#include <map>
#include <memory>
#include <mutex>

namespace trumik::csp {

struct KeyObject {
    std::shared_ptr<ProviderContext> context;
    DWORD keySpec = 0; // 0 for an imported public key
    ALG_ID algId = 0;
    GostKind kind = GostKind::R2001;
    bool exportable = false;
    Bytes publicKey; // SubjectPublicKeyInfo DER
};
template <typename T> class ObjectTable {
  public:
    ULONG_PTR Add(std::shared_ptr<T> object)
    {
        std::lock_guard lock(mutex_);
        ULONG_PTR handle = NewHandleValue();
        objects_.emplace(handle, std::move(object));
        return handle;
    }
    std::shared_ptr<T> Find(ULONG_PTR handle)
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(handle);
        return it == objects_.end() ? nullptr : it->second;
    }
    std::shared_ptr<T> Remove(ULONG_PTR handle)
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(handle);
        if (it == objects_.end())
            return nullptr;
        auto object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

  private:
    std::mutex mutex_;
    std::map<ULONG_PTR, std::shared_ptr<T>> objects_;
};
ObjectTable<KeyObject>& Keys();

// Writes size bytes to pbData as CryptoAPI outputs do: the size alone when
// pbData is null, ERROR_MORE_DATA (and the size) when the buffer is short.
BOOL CopyOut(BYTE* pbData, DWORD* pdwDataLen, const void* data, size_t size);
BOOL CopyDword(BYTE* pbData, DWORD* pdwDataLen, DWORD value);

} // namespace trumik::csp

// The key and hash objects behind the provider's HCRYPTKEY and HCRYPTHASH
// handles.
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

} // namespace trumik::csp

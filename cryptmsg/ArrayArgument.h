// The byte arrays that the byte methods take and hand back.
#pragma once

#include <oleauto.h>

#include <memory>
#include <utility>

namespace trumik::cryptmsg {

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

// The safe array a ByteArray argument carries: the array field of the variant
// (through one by-reference variant, and of a by-reference array); null when
// the variant holds no array.
SAFEARRAY* ArgumentArray(VARIANT* byteArray);

// The size in bytes of a one-dimensional array's data.
ULONG ArrayByteSize(SAFEARRAY* array);

// A new one-dimensional VT_UI1 array, lower bound 0, holding a copy of the
// bytes, in *out as VT_ARRAY | VT_UI1; false (nothing written) when the array
// cannot be made or locked.
bool PutByteArray(const BYTE* data, DWORD size, VARIANT* out);

} // namespace trumik::cryptmsg

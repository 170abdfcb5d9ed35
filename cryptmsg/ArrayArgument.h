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

// The byte array of a method's result, made before its bytes are written, so
// that a large result is written once, straight into the array the caller gets.
class ResultByteArray {
  public:
    // A one-dimensional VT_UI1 array of `size` bytes, lower bound 0, locked
    // for writing; false when it cannot be made.
    bool Allocate(DWORD size);
    BYTE* data() const { return lock_.data(); }
    // Cuts the array to its first `size` bytes and hands it over in *out as
    // VT_ARRAY | VT_UI1; false (nothing written) when out is null or the
    // array cannot be cut.
    bool Put(DWORD size, VARIANT* out);

  private:
    UniqueSafeArray array_;
    ArrayDataLock lock_;
};

} // namespace trumik::cryptmsg

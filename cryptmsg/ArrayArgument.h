// The byte arrays that the byte methods take and hand back.
#pragma once

#include "Handles.h"

#include <oleauto.h>

namespace trumik::cryptmsg {

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

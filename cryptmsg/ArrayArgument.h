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

// A new one-dimensional VT_UI1 array, lower bound 0, holding a copy of the
// bytes, in *out as VT_ARRAY | VT_UI1; false (nothing written) when the array
// cannot be made or locked.
bool PutByteArray(const BYTE* data, DWORD size, VARIANT* out);

} // namespace trumik::cryptmsg

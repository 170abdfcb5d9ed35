#include "ArrayArgument.h"
#include "CryptEncMessage.h"

#include <cstring>

namespace trumik::cryptmsg {

SAFEARRAY* ArgumentArray(VARIANT* byteArray)
{
    if (!byteArray)
        return nullptr;
    VARIANT* v = byteArray;
    if (v->vt == (VT_BYREF | VT_VARIANT)) {
        v = v->pvarVal;
        if (!v)
            return nullptr;
    }
    if (!(v->vt & VT_ARRAY))
        return nullptr;
    if (v->vt & VT_BYREF)
        return v->pparray ? *v->pparray : nullptr;
    return v->parray;
}

ULONG ArrayByteSize(SAFEARRAY* array)
{
    if (!array || array->cDims != 1)
        return 0;
    const unsigned long long size =
        static_cast<unsigned long long>(array->rgsabound[0].cElements) * array->cbElements;
    return size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(size);
}

bool PutByteArray(const BYTE* data, DWORD size, VARIANT* out)
{
    SAFEARRAYBOUND bound{size, 0};
    UniqueSafeArray array(SafeArrayCreate(VT_UI1, 1, &bound));
    if (!array)
        return false;
    {
        ArrayDataLock lock;
        if (FAILED(lock.Lock(array.get())))
            return false;
        if (size)
            std::memcpy(lock.data(), data, size);
    }
    VariantInit(out);
    out->vt = VT_ARRAY | VT_UI1;
    out->parray = array.release();
    return true;
}

bool CCryptEncMessage::LockByteArgument(VARIANT* byteArray, LONG count,
                                        const common::Message& notOneDimension,
                                        const common::Message& unreadable, ArrayDataLock& lock)
{
    SAFEARRAY* input = ArgumentArray(byteArray);
    if (SafeArrayGetDim(input) != 1) {
        Fail(notOneDimension);
        return false;
    }
    if (FAILED(lock.Lock(input))) {
        Fail(unreadable);
        return false;
    }
    // A count beyond the array would read past the caller's data.
    if (count < 0 || static_cast<ULONG>(count) > ArrayByteSize(input)) {
        Fail(unreadable);
        return false;
    }
    return true;
}

} // namespace trumik::cryptmsg

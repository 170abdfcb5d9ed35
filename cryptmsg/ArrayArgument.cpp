#include "ArrayArgument.h"
#include "CryptEncMessage.h"

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

bool ResultByteArray::Allocate(DWORD size)
{
    lock_.Unlock();
    SAFEARRAYBOUND bound{size, 0};
    array_.reset(SafeArrayCreate(VT_UI1, 1, &bound));
    return array_ && SUCCEEDED(lock_.Lock(array_.get()));
}

bool ResultByteArray::Put(DWORD size, VARIANT* out)
{
    lock_.Unlock();
    if (!out || !array_ || size > array_->rgsabound[0].cElements)
        return false;
    if (size < array_->rgsabound[0].cElements) {
        SAFEARRAYBOUND bound{size, 0};
        if (FAILED(SafeArrayRedim(array_.get(), &bound)))
            return false;
    }
    VariantInit(out);
    out->vt = VT_ARRAY | VT_UI1;
    out->parray = array_.release();
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

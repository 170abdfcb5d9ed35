// SAFEARRAY with the Windows memory layout: 16 hidden bytes before the
// descriptor hold the interface IID (FADF_HAVEIID) or, in their last four
// bytes, the element VARTYPE (FADF_HAVEVARTYPE). The bounds are stored in
// reverse: psa->rgsabound[cDims - 1] is the leftmost dimension, the first
// bound given to SafeArrayCreate, and rgIndices[0] of the element functions
// indexes that dimension, which varies fastest in memory.
#include "OleAutInternal.h"

#include <cstdlib>
#include <cstring>

using namespace trumik::platform::oleaut;

namespace {

constexpr size_t kHidden = 16;
constexpr uint64_t kMaxBytes = 0xFFFFFFFFu;
constexpr USHORT kForeignData = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;
constexpr USHORT kNotResizable = kForeignData | FADF_FIXEDSIZE;
constexpr ULONG kMaxLocks = 0xFFFF;

size_t DescriptorSize(UINT cDims)
{
    return offsetof(SAFEARRAY, rgsabound) + cDims * sizeof(SAFEARRAYBOUND);
}

unsigned char* HiddenOf(SAFEARRAY* psa)
{
    return reinterpret_cast<unsigned char*>(psa) - kHidden;
}

void StoreVartype(SAFEARRAY* psa, VARTYPE vt)
{
    const DWORD value = vt;
    std::memcpy(reinterpret_cast<unsigned char*>(psa) - sizeof value, &value, sizeof value);
}

// Number of cells, false when it (or its byte size) does not fit 32 bits.
bool CellCount(const SAFEARRAY* psa, uint64_t& cells)
{
    cells = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        cells *= psa->rgsabound[i].cElements;
        if (cells > kMaxBytes)
            return false;
    }
    return cells * psa->cbElements <= kMaxBytes;
}

bool CellOffset(const SAFEARRAY* psa, const LONG* rgIndices, uint64_t& offset)
{
    uint64_t cell = 0, scale = 1;
    for (USHORT k = 0; k < psa->cDims; ++k) {
        const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - 1 - k];
        const int64_t rel = static_cast<int64_t>(rgIndices[k]) - bound.lLbound;
        if (rel < 0 || rel >= static_cast<int64_t>(bound.cElements))
            return false;
        cell += static_cast<uint64_t>(rel) * scale;
        scale *= bound.cElements;
    }
    offset = cell * psa->cbElements;
    return true;
}

// Releases what cells [first, first + count) own and zeroes them.
void ReleaseCells(SAFEARRAY* psa, uint64_t first, uint64_t count)
{
    if (!psa->pvData || !count)
        return;
    auto* data = static_cast<unsigned char*>(psa->pvData) + first * psa->cbElements;
    if (psa->fFeatures & FADF_BSTR) {
        auto* cells = reinterpret_cast<BSTR*>(data);
        for (uint64_t i = 0; i < count; ++i)
            SysFreeString(cells[i]);
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto* cells = reinterpret_cast<IUnknown**>(data);
        for (uint64_t i = 0; i < count; ++i)
            if (cells[i])
                cells[i]->Release();
    } else if (psa->fFeatures & FADF_VARIANT) {
        auto* cells = reinterpret_cast<VARIANT*>(data);
        for (uint64_t i = 0; i < count; ++i)
            VariantClear(&cells[i]);
    }
    std::memset(data, 0, count * psa->cbElements);
}

// Copies the cells of source into the zeroed data of target.
HRESULT CopyCells(SAFEARRAY* source, SAFEARRAY* target, uint64_t cells)
{
    const auto* from = static_cast<const unsigned char*>(source->pvData);
    auto* to = static_cast<unsigned char*>(target->pvData);
    if (source->fFeatures & FADF_BSTR) {
        const auto* src = reinterpret_cast<const BSTR*>(from);
        auto* dst = reinterpret_cast<BSTR*>(to);
        for (uint64_t i = 0; i < cells; ++i) {
            if (!src[i])
                continue;
            dst[i] = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src[i]), SysStringByteLen(src[i]));
            if (!dst[i])
                return E_OUTOFMEMORY;
        }
    } else if (source->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        std::memcpy(to, from, cells * source->cbElements);
        auto* dst = reinterpret_cast<IUnknown**>(to);
        for (uint64_t i = 0; i < cells; ++i)
            if (dst[i])
                dst[i]->AddRef();
    } else if (source->fFeatures & FADF_VARIANT) {
        const auto* src = reinterpret_cast<const VARIANT*>(from);
        auto* dst = reinterpret_cast<VARIANT*>(to);
        for (uint64_t i = 0; i < cells; ++i) {
            const HRESULT hr = VariantCopy(&dst[i], &src[i]);
            if (FAILED(hr))
                return hr;
        }
    } else {
        std::memcpy(to, from, cells * source->cbElements);
    }
    return S_OK;
}

// Features a descriptor for elements of type vt carries.
USHORT FeaturesFor(VARTYPE vt)
{
    switch (vt) {
    case VT_BSTR:
        return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_VARIANT:
        return FADF_HAVEVARTYPE | FADF_VARIANT;
    case VT_UNKNOWN:
        return FADF_HAVEIID | FADF_UNKNOWN;
    case VT_DISPATCH:
        return FADF_HAVEIID | FADF_DISPATCH;
    default:
        return FADF_HAVEVARTYPE;
    }
}

class ArrayLock {
  public:
    explicit ArrayLock(SAFEARRAY* psa) : psa_(psa) { ++psa_->cLocks; }
    ~ArrayLock() { --psa_->cLocks; }
    ArrayLock(const ArrayLock&) = delete;
    ArrayLock& operator=(const ArrayLock&) = delete;

  private:
    SAFEARRAY* psa_;
};

} // namespace

namespace trumik::platform::oleaut {

ULONG ArrayElementSize(VARTYPE vt)
{
    switch (vt) {
    case VT_I1:
    case VT_UI1:
        return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_ERROR:
    case VT_INT:
    case VT_UINT:
        return 4;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
        return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
    case VT_INT_PTR:
    case VT_UINT_PTR:
        return sizeof(void*);
    case VT_DECIMAL:
        return sizeof(DECIMAL);
    case VT_VARIANT:
        return sizeof(VARIANT);
    default:
        return 0;
    }
}

} // namespace trumik::platform::oleaut

HRESULT WINAPI SafeArrayAllocDescriptor(UINT cDims, SAFEARRAY** ppsaOut)
{
    if (!ppsaOut)
        return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (cDims == 0 || cDims > 0xFFFF)
        return E_INVALIDARG;
    auto* block = static_cast<unsigned char*>(std::calloc(1, kHidden + DescriptorSize(cDims)));
    if (!block)
        return E_OUTOFMEMORY;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kHidden);
    psa->cDims = static_cast<USHORT>(cDims);
    *ppsaOut = psa;
    return S_OK;
}

HRESULT WINAPI SafeArrayAllocDescriptorEx(VARTYPE vt, UINT cDims, SAFEARRAY** ppsaOut)
{
    const ULONG size = ArrayElementSize(vt);
    if (!size) {
        if (ppsaOut)
            *ppsaOut = nullptr;
        return E_INVALIDARG;
    }
    const HRESULT hr = SafeArrayAllocDescriptor(cDims, ppsaOut);
    if (FAILED(hr))
        return hr;
    SAFEARRAY* psa = *ppsaOut;
    psa->cbElements = size;
    psa->fFeatures = FeaturesFor(vt);
    if (psa->fFeatures & FADF_HAVEIID)
        std::memcpy(HiddenOf(psa), vt == VT_DISPATCH ? &IID_IDispatch : &IID_IUnknown, sizeof(IID));
    else
        StoreVartype(psa, vt);
    return S_OK;
}

HRESULT WINAPI SafeArrayAllocData(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    uint64_t cells;
    if (!CellCount(psa, cells))
        return E_OUTOFMEMORY;
    const uint64_t bytes = cells * psa->cbElements;
    // At least one byte, so an empty array still has data to point at.
    void* data = std::calloc(1, bytes ? bytes : 1);
    if (!data)
        return E_OUTOFMEMORY;
    psa->pvData = data;
    return S_OK;
}

HRESULT WINAPI SafeArrayDestroyData(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks)
        return DISP_E_ARRAYISLOCKED;
    if (!psa->pvData)
        return S_OK;
    uint64_t cells;
    if (CellCount(psa, cells))
        ReleaseCells(psa, 0, cells);
    if (!(psa->fFeatures & kForeignData)) {
        std::free(psa->pvData);
        psa->pvData = nullptr;
    }
    return S_OK;
}

HRESULT WINAPI SafeArrayDestroyDescriptor(SAFEARRAY* psa)
{
    if (!psa)
        return S_OK;
    if (psa->cLocks)
        return DISP_E_ARRAYISLOCKED;
    std::free(HiddenOf(psa));
    return S_OK;
}

SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound)
{
    if (!rgsabound || cDims == 0)
        return nullptr;
    SAFEARRAY* psa = nullptr;
    if (FAILED(SafeArrayAllocDescriptorEx(vt, cDims, &psa)))
        return nullptr;
    for (UINT i = 0; i < cDims; ++i)
        psa->rgsabound[cDims - 1 - i] = rgsabound[i];
    if (FAILED(SafeArrayAllocData(psa))) {
        SafeArrayDestroyDescriptor(psa);
        return nullptr;
    }
    return psa;
}

// Marked FADF_CREATEVECTOR as on Windows; the data is still a block of its
// own here, so the array resizes and frees like any other.
SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements)
{
    SAFEARRAYBOUND bound{cElements, lLbound};
    SAFEARRAY* psa = SafeArrayCreate(vt, 1, &bound);
    if (psa)
        psa->fFeatures |= FADF_CREATEVECTOR;
    return psa;
}

HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa)
{
    if (!psa)
        return S_OK;
    if (psa->cLocks)
        return DISP_E_ARRAYISLOCKED;
    const HRESULT hr = SafeArrayDestroyData(psa);
    if (FAILED(hr))
        return hr;
    return SafeArrayDestroyDescriptor(psa);
}

HRESULT WINAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut)
{
    if (!ppsaOut)
        return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa)
        return S_OK;
    uint64_t cells;
    if (!CellCount(psa, cells))
        return E_OUTOFMEMORY;
    SAFEARRAY* copy = nullptr;
    HRESULT hr = SafeArrayAllocDescriptor(psa->cDims, &copy);
    if (FAILED(hr))
        return hr;
    // The hidden bytes carry the IID or VARTYPE; the data is always our own.
    if (psa->fFeatures & (FADF_HAVEIID | FADF_HAVEVARTYPE))
        std::memcpy(HiddenOf(copy), HiddenOf(psa), kHidden);
    copy->fFeatures = psa->fFeatures & ~(kForeignData | FADF_CREATEVECTOR);
    copy->cbElements = psa->cbElements;
    std::memcpy(copy->rgsabound, psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
    if (psa->pvData) {
        hr = SafeArrayAllocData(copy);
        if (SUCCEEDED(hr))
            hr = CopyCells(psa, copy, cells);
        if (FAILED(hr)) {
            SafeArrayDestroy(copy);
            return hr;
        }
    }
    *ppsaOut = copy;
    return S_OK;
}

UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa)
{
    return psa ? psa->cDims : 0;
}

UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa)
{
    return psa ? psa->cbElements : 0;
}

HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound)
{
    if (!psa || !plLbound)
        return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound)
{
    if (!psa || !plUbound)
        return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - nDim];
    *plUbound = static_cast<LONG>(static_cast<int64_t>(bound.lLbound) + bound.cElements - 1);
    return S_OK;
}

HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt)
{
    if (!psa || !pvt)
        return E_INVALIDARG;
    if (psa->fFeatures & FADF_RECORD) {
        *pvt = VT_RECORD;
    } else if (psa->fFeatures & FADF_HAVEIID) {
        *pvt = (psa->fFeatures & FADF_DISPATCH) ? VT_DISPATCH : VT_UNKNOWN;
    } else if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD value;
        std::memcpy(&value, reinterpret_cast<unsigned char*>(psa) - sizeof value, sizeof value);
        *pvt = static_cast<VARTYPE>(value);
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT WINAPI SafeArrayGetIID(SAFEARRAY* psa, GUID* pguid)
{
    if (!psa || !pguid || !(psa->fFeatures & FADF_HAVEIID))
        return E_INVALIDARG;
    std::memcpy(pguid, HiddenOf(psa), sizeof(GUID));
    return S_OK;
}

HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks >= kMaxLocks)
        return E_UNEXPECTED;
    ++psa->cLocks;
    return S_OK;
}

HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks == 0)
        return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData)
{
    if (!psa || !ppvData)
        return E_INVALIDARG;
    const HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr)) {
        *ppvData = nullptr;
        return hr;
    }
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa)
{
    return SafeArrayUnlock(psa);
}

HRESULT WINAPI SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData)
{
    if (!psa || !rgIndices || !ppvData)
        return E_INVALIDARG;
    uint64_t offset;
    if (!CellOffset(psa, rgIndices, offset))
        return DISP_E_BADINDEX;
    *ppvData = static_cast<unsigned char*>(psa->pvData) + offset;
    return S_OK;
}

HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (!psa || !rgIndices || !pv)
        return E_INVALIDARG;
    uint64_t offset;
    if (!CellOffset(psa, rgIndices, offset))
        return DISP_E_BADINDEX;
    if (!psa->pvData)
        return E_UNEXPECTED;
    ArrayLock lock(psa);
    void* cell = static_cast<unsigned char*>(psa->pvData) + offset;
    if (psa->fFeatures & FADF_VARIANT) {
        auto* out = static_cast<VARIANT*>(pv);
        VariantInit(out);
        return VariantCopy(out, static_cast<VARIANT*>(cell));
    }
    if (psa->fFeatures & FADF_BSTR) {
        const BSTR source = *static_cast<BSTR*>(cell);
        BSTR copy = nullptr;
        if (source) {
            copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
            if (!copy)
                return E_OUTOFMEMORY;
        }
        *static_cast<BSTR*>(pv) = copy;
        return S_OK;
    }
    if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown* unk = *static_cast<IUnknown**>(cell);
        if (unk)
            unk->AddRef();
        *static_cast<IUnknown**>(pv) = unk;
        return S_OK;
    }
    std::memcpy(pv, cell, psa->cbElements);
    return S_OK;
}

HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (!psa || !rgIndices)
        return E_INVALIDARG;
    uint64_t offset;
    if (!CellOffset(psa, rgIndices, offset))
        return DISP_E_BADINDEX;
    if (!psa->pvData)
        return E_UNEXPECTED;
    ArrayLock lock(psa);
    void* cell = static_cast<unsigned char*>(psa->pvData) + offset;
    // Strings and interfaces are passed as the value itself, everything else
    // through a pointer to it.
    if (psa->fFeatures & FADF_BSTR) {
        const auto source = static_cast<BSTR>(pv);
        BSTR copy = nullptr;
        if (source) {
            copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
            if (!copy)
                return E_OUTOFMEMORY;
        }
        auto* slot = static_cast<BSTR*>(cell);
        SysFreeString(*slot);
        *slot = copy;
        return S_OK;
    }
    if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto* unk = static_cast<IUnknown*>(pv);
        if (unk)
            unk->AddRef();
        auto* slot = static_cast<IUnknown**>(cell);
        if (*slot)
            (*slot)->Release();
        *slot = unk;
        return S_OK;
    }
    if (!pv)
        return E_INVALIDARG;
    if (psa->fFeatures & FADF_VARIANT)
        return VariantCopy(static_cast<VARIANT*>(cell), static_cast<VARIANT*>(pv));
    std::memcpy(cell, pv, psa->cbElements);
    return S_OK;
}

HRESULT WINAPI SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew)
{
    if (!psa || !psaboundNew)
        return E_INVALIDARG;
    if (psa->cLocks || (psa->fFeatures & kNotResizable))
        return DISP_E_ARRAYISLOCKED;
    // psa->rgsabound[0] is the rightmost dimension, the one whose cells are
    // furthest apart, so resizing it keeps every other cell in place.
    uint64_t others = 1;
    for (USHORT i = 1; i < psa->cDims; ++i)
        others *= psa->rgsabound[i].cElements;
    const uint64_t oldCells = others * psa->rgsabound[0].cElements;
    const uint64_t newCells = others * psaboundNew->cElements;
    if (newCells > kMaxBytes || newCells * psa->cbElements > kMaxBytes)
        return E_OUTOFMEMORY;
    const uint64_t newBytes = newCells * psa->cbElements;
    if (newCells < oldCells) {
        ReleaseCells(psa, newCells, oldCells - newCells);
        // A failed shrink keeps the larger block, which is still valid.
        if (void* data = std::realloc(psa->pvData, newBytes ? newBytes : 1))
            psa->pvData = data;
    } else if (newCells > oldCells || !psa->pvData) {
        void* data = std::realloc(psa->pvData, newBytes ? newBytes : 1);
        if (!data)
            return E_OUTOFMEMORY;
        const uint64_t oldBytes = psa->pvData ? oldCells * psa->cbElements : 0;
        std::memset(static_cast<unsigned char*>(data) + oldBytes, 0, newBytes - oldBytes);
        psa->pvData = data;
    }
    psa->rgsabound[0] = *psaboundNew;
    return S_OK;
}

// SAFEARRAY: the self-describing arrays of OLE Automation, laid out as on
// Windows so that code reading the descriptor directly sees the same thing.
//
// Every descriptor is preceded by 16 hidden bytes. Arrays of interfaces keep
// their interface identifier there (FADF_HAVEIID); all other arrays made by
// SafeArrayCreate keep their VARTYPE in the last 4 of those bytes
// (FADF_HAVEVARTYPE). rgsabound lists the dimensions right to left: the last
// dimension given to SafeArrayCreate is rgsabound[0], while index arrays and
// dimension numbers count from the left, and the leftmost index varies
// fastest in the element data.
//
// A vector (SafeArrayCreateVector) holds its elements in the same block as
// its descriptor; its data is released, never freed, until the descriptor
// goes.
#include <oleauto.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "value_size.h"

namespace {

// Windows' own mark of a vector, one of the FADF_RESERVED bits.
constexpr USHORT kFadfCreateVector = 0x2000;
// Features that describe one array's storage, not its contents; a copy
// owns ordinary heap storage and drops them.
constexpr USHORT kStorageFeatures =
    FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE | kFadfCreateVector;
// Features under which the data belongs to someone else and is only
// cleared, never freed.
constexpr USHORT kForeignDataFeatures = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;

constexpr size_t kHiddenBytes = sizeof(GUID);
constexpr UINT kMaxDims = 0xFFFF;
constexpr ULONG kMaxLocks = 0xFFFF;
// Element data beyond this is refused rather than attempted: no caller of
// this system needs arrays of several gigabytes.
constexpr size_t kMaxDataBytes = 0xFFFFFFFFu;

size_t DescriptorBytes(UINT cDims) {
  return sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
}

char* BlockOf(SAFEARRAY* psa) { return reinterpret_cast<char*>(psa) - kHiddenBytes; }

void StoreVartype(SAFEARRAY* psa, VARTYPE vt) {
  const DWORD dw = vt;
  std::memcpy(reinterpret_cast<char*>(psa) - sizeof dw, &dw, sizeof dw);
}

VARTYPE LoadVartype(const SAFEARRAY* psa) {
  DWORD dw = 0;
  std::memcpy(&dw, reinterpret_cast<const char*>(psa) - sizeof dw, sizeof dw);
  return static_cast<VARTYPE>(dw);
}

void StoreIid(SAFEARRAY* psa, const IID& iid) { std::memcpy(BlockOf(psa), &iid, sizeof iid); }

// Bytes per element for the element types an array may hold; 0 for any
// other type.
ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_DECIMAL:
      return 16;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_UNKNOWN:
      return sizeof(IUnknown*);
    case VT_DISPATCH:
      return sizeof(IDispatch*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return static_cast<ULONG>(PlainValueSize(vt));
  }
}

// Marks the array with its element type the way Windows does.
void SetElementType(SAFEARRAY* psa, VARTYPE vt) {
  switch (vt) {
    case VT_UNKNOWN:
      psa->fFeatures = FADF_HAVEIID | FADF_UNKNOWN;
      StoreIid(psa, IID_IUnknown);
      return;
    case VT_DISPATCH:
      psa->fFeatures = FADF_HAVEIID | FADF_DISPATCH;
      StoreIid(psa, IID_IDispatch);
      return;
    case VT_BSTR:
      psa->fFeatures = FADF_HAVEVARTYPE | FADF_BSTR;
      break;
    case VT_VARIANT:
      psa->fFeatures = FADF_HAVEVARTYPE | FADF_VARIANT;
      break;
    default:
      psa->fFeatures = FADF_HAVEVARTYPE;
      break;
  }
  StoreVartype(psa, vt);
}

// A zeroed block holding the hidden bytes, a descriptor of cDims dimensions
// and cbInline bytes of element data behind it. One spare byte at the end
// keeps the address just past the descriptor inside the block, so data
// allocated elsewhere can never be mistaken for inline data.
SAFEARRAY* AllocateBlock(UINT cDims, size_t cbInline) {
  char* block =
      static_cast<char*>(std::calloc(1, kHiddenBytes + DescriptorBytes(cDims) + cbInline + 1));
  if (block == nullptr) return nullptr;
  auto* psa = reinterpret_cast<SAFEARRAY*>(block + kHiddenBytes);
  psa->cDims = static_cast<USHORT>(cDims);
  return psa;
}

bool HasInlineData(SAFEARRAY* psa) {
  return psa->pvData == reinterpret_cast<char*>(psa) + DescriptorBytes(psa->cDims);
}

// Number of elements, false if it cannot be represented.
bool CellCount(const SAFEARRAY* psa, size_t* pcCells) {
  size_t cCells = 1;
  for (UINT i = 0; i < psa->cDims; ++i) {
    if (__builtin_mul_overflow(cCells, size_t{psa->rgsabound[i].cElements}, &cCells)) return false;
  }
  *pcCells = cCells;
  return true;
}

// Bytes of element data, false if beyond what this layer allocates.
bool DataBytes(const SAFEARRAY* psa, size_t* pcb) {
  size_t cCells = 0;
  size_t cb = 0;
  if (!CellCount(psa, &cCells) || __builtin_mul_overflow(cCells, size_t{psa->cbElements}, &cb) ||
      cb > kMaxDataBytes) {
    return false;
  }
  *pcb = cb;
  return true;
}

enum class ElementKind { kPlain, kBstr, kInterface, kVariant };

// What the elements own follows the feature flags, as on Windows, so an
// array built by hand from a descriptor behaves as its flags say.
ElementKind KindOf(const SAFEARRAY* psa) {
  if (psa->fFeatures & FADF_VARIANT) return ElementKind::kVariant;
  if (psa->fFeatures & FADF_BSTR) return ElementKind::kBstr;
  if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) return ElementKind::kInterface;
  return ElementKind::kPlain;
}

// Frees the strings, releases the interfaces and clears the variants held
// by the elements, and zeroes the data.
void ReleaseElements(SAFEARRAY* psa) {
  size_t cb = 0;
  if (psa->pvData == nullptr || !DataBytes(psa, &cb)) return;
  const size_t cCells = psa->cbElements != 0 ? cb / psa->cbElements : 0;
  char* cell = static_cast<char*>(psa->pvData);
  switch (KindOf(psa)) {
    case ElementKind::kBstr:
      for (size_t i = 0; i < cCells; ++i, cell += psa->cbElements) {
        SysFreeString(*reinterpret_cast<BSTR*>(cell));
      }
      break;
    case ElementKind::kInterface:
      for (size_t i = 0; i < cCells; ++i, cell += psa->cbElements) {
        IUnknown* punk = *reinterpret_cast<IUnknown**>(cell);
        if (punk != nullptr) punk->Release();
      }
      break;
    case ElementKind::kVariant:
      for (size_t i = 0; i < cCells; ++i, cell += psa->cbElements) {
        VariantClear(reinterpret_cast<VARIANT*>(cell));
      }
      break;
    case ElementKind::kPlain:
      break;
  }
  std::memset(psa->pvData, 0, cb);
}

// A new BSTR with the same bytes, or null for null; false if memory is
// short.
bool DuplicateBstr(BSTR source, BSTR* pCopy) {
  *pCopy = nullptr;
  if (source == nullptr) return true;
  *pCopy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
  return *pCopy != nullptr;
}

// Copies one element of the given kind into zeroed (or VT_EMPTY) storage.
HRESULT CopyElement(ElementKind kind, const void* from, void* to, ULONG cbElement) {
  switch (kind) {
    case ElementKind::kBstr:
      return DuplicateBstr(*static_cast<const BSTR*>(from), static_cast<BSTR*>(to)) ? S_OK
                                                                                    : E_OUTOFMEMORY;
    case ElementKind::kInterface: {
      IUnknown* punk = *static_cast<IUnknown* const*>(from);
      if (punk != nullptr) punk->AddRef();
      *static_cast<IUnknown**>(to) = punk;
      return S_OK;
    }
    case ElementKind::kVariant:
      return VariantCopy(static_cast<VARIANT*>(to), static_cast<const VARIANT*>(from));
    case ElementKind::kPlain:
      std::memcpy(to, from, cbElement);
      return S_OK;
  }
  return E_UNEXPECTED;
}

// The address of the element at rgIndices (leftmost index first).
HRESULT ElementAddress(SAFEARRAY* psa, const LONG* rgIndices, void** ppv) {
  size_t cell = 0;
  size_t stride = 1;
  for (UINT i = 0; i < psa->cDims; ++i) {
    const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - 1 - i];
    const int64_t offset = int64_t{rgIndices[i]} - bound.lLbound;
    if (offset < 0 || offset >= int64_t{bound.cElements}) return DISP_E_BADINDEX;
    size_t term = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(offset), stride, &term) ||
        __builtin_add_overflow(cell, term, &cell) ||
        __builtin_mul_overflow(stride, size_t{bound.cElements}, &stride)) {
      return DISP_E_BADINDEX;
    }
  }
  if (psa->pvData == nullptr) return E_UNEXPECTED;
  *ppv = static_cast<char*>(psa->pvData) + cell * psa->cbElements;
  return S_OK;
}

// Holds a lock on an array for one element access.
class CArrayLock {
 public:
  explicit CArrayLock(SAFEARRAY* psa) : m_psa(psa), m_hr(SafeArrayLock(psa)) {}
  ~CArrayLock() {
    if (SUCCEEDED(m_hr)) SafeArrayUnlock(m_psa);
  }
  CArrayLock(const CArrayLock&) = delete;
  CArrayLock& operator=(const CArrayLock&) = delete;

  HRESULT Result() const { return m_hr; }

 private:
  SAFEARRAY* m_psa;
  HRESULT m_hr;
};

}  // namespace

SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  const ULONG cbElement = ElementSize(vt);
  if (rgsabound == nullptr || cDims == 0 || cDims > kMaxDims || cbElement == 0) return nullptr;
  SAFEARRAY* psa = AllocateBlock(cDims, 0);
  if (psa == nullptr) return nullptr;
  SetElementType(psa, vt);
  psa->cbElements = cbElement;
  for (UINT i = 0; i < cDims; ++i) psa->rgsabound[i] = rgsabound[cDims - 1 - i];
  if (FAILED(SafeArrayAllocData(psa))) {
    std::free(BlockOf(psa));
    return nullptr;
  }
  return psa;
}

SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  const ULONG cbElement = ElementSize(vt);
  if (cbElement == 0) return nullptr;
  const size_t cbData = size_t{cElements} * cbElement;
  if (cbData > kMaxDataBytes) return nullptr;
  SAFEARRAY* psa = AllocateBlock(1, cbData);
  if (psa == nullptr) return nullptr;
  SetElementType(psa, vt);
  psa->fFeatures |= kFadfCreateVector;
  psa->cbElements = cbElement;
  psa->rgsabound[0].cElements = cElements;
  psa->rgsabound[0].lLbound = lLbound;
  psa->pvData = reinterpret_cast<char*>(psa) + DescriptorBytes(1);
  return psa;
}

HRESULT WINAPI SafeArrayAllocDescriptor(UINT cDims, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_POINTER;
  if (cDims == 0 || cDims > kMaxDims) return E_INVALIDARG;
  SAFEARRAY* psa = AllocateBlock(cDims, 0);
  if (psa == nullptr) return E_OUTOFMEMORY;
  *ppsaOut = psa;
  return S_OK;
}

HRESULT WINAPI SafeArrayAllocData(SAFEARRAY* psa) {
  // Data already present would be leaked by a second allocation.
  if (psa == nullptr || psa->pvData != nullptr) return E_INVALIDARG;
  size_t cb = 0;
  if (!DataBytes(psa, &cb)) return E_OUTOFMEMORY;
  void* pv = std::calloc(1, cb != 0 ? cb : 1);
  if (pv == nullptr) return E_OUTOFMEMORY;
  psa->pvData = pv;
  return S_OK;
}

HRESULT WINAPI SafeArrayDestroyDescriptor(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  if (std::atomic_ref<ULONG>(psa->cLocks).load() != 0) return DISP_E_ARRAYISLOCKED;
  // A vector's elements go with its block; other data is the caller's to
  // destroy first.
  if (HasInlineData(psa)) ReleaseElements(psa);
  std::free(BlockOf(psa));
  return S_OK;
}

HRESULT WINAPI SafeArrayDestroyData(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  if (std::atomic_ref<ULONG>(psa->cLocks).load() != 0) return DISP_E_ARRAYISLOCKED;
  if (psa->pvData == nullptr) return S_OK;
  ReleaseElements(psa);
  if (!HasInlineData(psa) && !(psa->fFeatures & kForeignDataFeatures)) {
    std::free(psa->pvData);
    psa->pvData = nullptr;
  }
  return S_OK;
}

HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  const HRESULT hr = SafeArrayDestroyData(psa);
  if (FAILED(hr)) return hr;
  return SafeArrayDestroyDescriptor(psa);
}

HRESULT WINAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  if (psa->cDims == 0 || psa->cbElements == 0) return E_INVALIDARG;
  size_t cb = 0;
  if (!DataBytes(psa, &cb)) return E_OUTOFMEMORY;

  SAFEARRAY* copy = AllocateBlock(psa->cDims, 0);
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(BlockOf(copy), BlockOf(psa), kHiddenBytes);
  copy->fFeatures = static_cast<USHORT>(psa->fFeatures & ~kStorageFeatures);
  copy->cbElements = psa->cbElements;
  std::memcpy(copy->rgsabound, psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
  copy->pvData = std::calloc(1, cb != 0 ? cb : 1);
  if (copy->pvData == nullptr) {
    std::free(BlockOf(copy));
    return E_OUTOFMEMORY;
  }

  if (psa->pvData != nullptr) {
    const ElementKind kind = KindOf(psa);
    const char* from = static_cast<const char*>(psa->pvData);
    char* to = static_cast<char*>(copy->pvData);
    for (size_t offset = 0; offset < cb; offset += psa->cbElements) {
      const HRESULT hr = CopyElement(kind, from + offset, to + offset, psa->cbElements);
      if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
      }
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  CArrayLock lock(psa);
  if (FAILED(lock.Result())) return lock.Result();
  void* cell = nullptr;
  HRESULT hr = ElementAddress(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;

  // The destination is raw storage: whatever it held is overwritten, not
  // released.
  const ElementKind kind = KindOf(psa);
  if (kind == ElementKind::kVariant) {
    VARIANT fresh;
    VariantInit(&fresh);
    hr = VariantCopy(&fresh, static_cast<VARIANT*>(cell));
    if (SUCCEEDED(hr)) std::memcpy(pv, &fresh, sizeof fresh);
    return hr;
  }
  return CopyElement(kind, cell, pv, psa->cbElements);
}

HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr) return E_INVALIDARG;
  CArrayLock lock(psa);
  if (FAILED(lock.Result())) return lock.Result();
  void* cell = nullptr;
  HRESULT hr = ElementAddress(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;

  // Each branch builds the new element before giving up the old one, so a
  // failure leaves the array as it was.
  switch (KindOf(psa)) {
    case ElementKind::kBstr: {
      // pv is the string itself; a null one is stored as an empty string,
      // as Windows allocates the copy whatever its source.
      BSTR copy = nullptr;
      if (pv == nullptr) {
        copy = SysAllocStringLen(nullptr, 0);
        if (copy == nullptr) return E_OUTOFMEMORY;
      } else if (!DuplicateBstr(static_cast<BSTR>(pv), &copy)) {
        return E_OUTOFMEMORY;
      }
      SysFreeString(*static_cast<BSTR*>(cell));
      *static_cast<BSTR*>(cell) = copy;
      return S_OK;
    }
    case ElementKind::kInterface: {
      // pv is the interface pointer itself.
      IUnknown* punk = static_cast<IUnknown*>(pv);
      if (punk != nullptr) punk->AddRef();
      IUnknown* old = *static_cast<IUnknown**>(cell);
      *static_cast<IUnknown**>(cell) = punk;
      if (old != nullptr) old->Release();
      return S_OK;
    }
    case ElementKind::kVariant: {
      if (pv == nullptr) return E_INVALIDARG;
      VARIANT fresh;
      VariantInit(&fresh);
      hr = VariantCopy(&fresh, static_cast<VARIANT*>(pv));
      if (FAILED(hr)) return hr;
      hr = VariantClear(static_cast<VARIANT*>(cell));
      if (FAILED(hr)) {
        VariantClear(&fresh);
        return hr;
      }
      std::memcpy(cell, &fresh, sizeof fresh);
      return S_OK;
    }
    case ElementKind::kPlain:
      if (pv == nullptr) return E_INVALIDARG;
      std::memcpy(cell, pv, psa->cbElements);
      return S_OK;
  }
  return E_UNEXPECTED;
}

HRESULT WINAPI SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
  if (psa == nullptr || rgIndices == nullptr || ppvData == nullptr) return E_INVALIDARG;
  return ElementAddress(psa, rgIndices, ppvData);
}

HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  std::atomic_ref<ULONG> locks(psa->cLocks);
  ULONG current = locks.load();
  do {
    if (current >= kMaxLocks) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current + 1));
  return S_OK;
}

HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  std::atomic_ref<ULONG> locks(psa->cLocks);
  ULONG current = locks.load();
  do {
    if (current == 0) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current - 1));
  return S_OK;
}

HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  const USHORT features = psa->fFeatures;
  // The hidden bytes of an interface array hold its IID, so the interface
  // flags are read before the stored type.
  if (features & FADF_RECORD) {
    *pvt = VT_RECORD;
  } else if (features & FADF_HAVEIID) {
    *pvt = (features & FADF_DISPATCH) ? VT_DISPATCH : VT_UNKNOWN;
  } else if (features & FADF_HAVEVARTYPE) {
    *pvt = LoadVartype(psa);
  } else if (features & FADF_DISPATCH) {
    *pvt = VT_DISPATCH;
  } else if (features & FADF_UNKNOWN) {
    *pvt = VT_UNKNOWN;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa) { return psa != nullptr ? psa->cDims : 0; }

UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa) { return psa != nullptr ? psa->cbElements : 0; }

HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - nDim];
  // The upper bound of an empty dimension is one below its lower bound.
  *plUbound = static_cast<LONG>(int64_t{bound.lLbound} + int64_t{bound.cElements} - 1);
  return S_OK;
}

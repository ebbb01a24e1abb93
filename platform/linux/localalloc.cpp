// Local memory: fixed blocks from the C heap. Moveable blocks and handles
// do not exist here; LocalFree takes what LocalAlloc returned.
#include <windows.h>

#include <cstdlib>

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  // A zero-byte request still yields a distinct block, as on Windows.
  const size_t cb = uBytes != 0 ? uBytes : 1;
  void* pv = (uFlags & LMEM_ZEROINIT) != 0 ? std::calloc(1, cb) : std::malloc(cb);
  if (pv == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return pv;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}

// Kernel objects of the platform layer (threads, events, processes, tokens)
// and the process-wide handle table that names them. Private to the layer.
//
// A handle holds a reference to its object, and every call that uses a
// handle takes its own reference for the duration of the call, so a wait in
// progress keeps its objects alive while another thread closes the handles.
#pragma once

#include <windows.h>

#include <memory>

namespace kelmyr::winapi {

enum class ObjectKind { kThread, kEvent, kProcess, kToken };

// The pseudo handles of the current process and thread: valid in every call
// that takes such a handle, never in the table, and closing them does
// nothing.
inline HANDLE const kCurrentProcessPseudoHandle =
    reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
inline HANDLE const kCurrentThreadPseudoHandle =
    reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

class CKernelObject {
 public:
  explicit CKernelObject(ObjectKind kind) noexcept : m_kind(kind) {}
  CKernelObject(const CKernelObject&) = delete;
  CKernelObject& operator=(const CKernelObject&) = delete;
  virtual ~CKernelObject() = default;

  ObjectKind Kind() const noexcept { return m_kind; }

  // ERROR_SUCCESS when a wait function can wait on the object, otherwise
  // the error the wait fails with.
  virtual DWORD WaitSupport() const noexcept { return ERROR_INVALID_HANDLE; }

  // The object's signal state, read and consumed under the layer's
  // dispatcher lock. Consume is what a satisfied wait does to the object
  // (an auto-reset event resets).
  virtual bool IsSignalled() const noexcept { return false; }
  virtual void Consume() noexcept {}

 private:
  const ObjectKind m_kind;
};

// One entry of the handle table: the object and the access the handle grants.
struct SHandleEntry {
  std::shared_ptr<CKernelObject> pObject;
  ACCESS_MASK grantedAccess = 0;
};

// Adds a handle naming the object. Null on failure, with the last error set
// (ERROR_NOT_ENOUGH_MEMORY, or ERROR_NO_SYSTEM_RESOURCES when the table is
// full).
HANDLE InsertHandle(std::shared_ptr<CKernelObject> pObject, ACCESS_MASK grantedAccess) noexcept;

// The entry of a table handle. False, with ERROR_INVALID_HANDLE set, for a
// null, pseudo, unknown or closed handle.
bool LookupHandle(HANDLE hObject, SHandleEntry* pEntry) noexcept;

// The object of a table handle if it is of the given kind; otherwise null
// with ERROR_INVALID_HANDLE set, as Windows answers a handle to an object of
// another type.
template <class T>
std::shared_ptr<T> LookupObject(HANDLE hObject, ObjectKind kind,
                                ACCESS_MASK* pGrantedAccess = nullptr) noexcept {
  SHandleEntry entry;
  if (!LookupHandle(hObject, &entry)) return nullptr;
  if (entry.pObject->Kind() != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (pGrantedAccess != nullptr) *pGrantedAccess = entry.grantedAccess;
  return std::static_pointer_cast<T>(std::move(entry.pObject));
}

}  // namespace kelmyr::winapi

// TNoDestructor: a process-wide object that is built on first use and never
// destroyed.
//
// Objects that background threads reach (the machine, the helper library,
// the timer service) must outlive every thread: a static with a destructor
// dies at process exit while such a thread may still run. Built in place in
// static storage, the object is never destroyed and its destructor is never
// registered with the exit handlers.
#pragma once

#include <new>
#include <utility>

template <class T>
class TNoDestructor {
 public:
  template <class... TArgs>
  explicit TNoDestructor(TArgs&&... args) {
    new (m_storage) T(std::forward<TArgs>(args)...);
  }
  TNoDestructor(const TNoDestructor&) = delete;
  TNoDestructor& operator=(const TNoDestructor&) = delete;

  T& operator*() noexcept { return *Get(); }
  T* operator->() noexcept { return Get(); }
  T* Get() noexcept { return std::launder(reinterpret_cast<T*>(m_storage)); }

 private:
  alignas(T) unsigned char m_storage[sizeof(T)];
};

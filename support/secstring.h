// The secure wide string: every string the system keeps (identifiers,
// paths, session ids, parameter values, PIN session identifiers) is a
// secwstring, whose characters are overwritten with zeros before their memory
// is given back.
//
// secallocator wipes every block it releases. That alone misses short
// strings, which the standard string keeps inside the string object (the
// small-string buffer never reaches an allocator), so secwstring also wipes
// its own buffer when it is destroyed, whether that buffer is on the heap or
// inside the object. Operations that build new strings (substr, +) are
// redeclared to return secwstring, so that no temporary of the plain string
// type carries a copy of a secret away unwiped.
#pragma once

#include <windows.h>

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

namespace ZU::Framework {

// Overwrites n bytes with zeros in a way the compiler may not elide.
void SecureZero(void* p, size_t n) noexcept;

template <class T>
class secallocator {
 public:
  using value_type = T;

  secallocator() noexcept = default;
  template <class U>
  secallocator(const secallocator<U>&) noexcept {}

  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }

  void deallocate(T* p, size_t n) noexcept {
    SecureZero(p, n * sizeof(T));
    ::operator delete(p);
  }

  template <class U>
  bool operator==(const secallocator<U>&) const noexcept {
    return true;
  }
};

using secwstring_base =
    std::basic_string<OLECHAR, std::char_traits<OLECHAR>, secallocator<OLECHAR>>;

class secwstring : public secwstring_base {
 public:
  using secwstring_base::secwstring_base;
  using secwstring_base::operator=;

  secwstring() noexcept = default;
  secwstring(const secwstring&) = default;
  secwstring(secwstring&&) noexcept = default;
  secwstring(const secwstring_base& s) : secwstring_base(s) {}
  secwstring(secwstring_base&& s) noexcept : secwstring_base(std::move(s)) {}
  secwstring& operator=(const secwstring&) = default;
  secwstring& operator=(secwstring&&) noexcept = default;
  ~secwstring() { Wipe(); }

  secwstring substr(size_type pos = 0, size_type n = npos) const {
    return secwstring(*this, pos, n);
  }

  // Clears the string and overwrites everything it held, leaving it empty.
  void Wipe() noexcept;
};

secwstring operator+(const secwstring& a, const secwstring& b);
secwstring operator+(const secwstring& a, const OLECHAR* b);
secwstring operator+(const OLECHAR* a, const secwstring& b);
secwstring operator+(const secwstring& a, OLECHAR c);

}  // namespace ZU::Framework

using ZU::Framework::secwstring;

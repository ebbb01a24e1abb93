#include "support/secstring.h"

#include <cstring>

namespace ZU::Framework {

void SecureZero(void* p, size_t n) noexcept {
  if (p == nullptr || n == 0) return;
  std::memset(p, 0, n);
  // The barrier tells the compiler that the zeros may be read, so the store
  // to memory about to be released cannot be removed as dead.
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

void secwstring::Wipe() noexcept {
  // Move a heap buffer out first: the object is then back on its internal
  // buffer, and the moved-out string wipes the heap block as it goes. A
  // short string is copied into the temporary's internal buffer instead, so
  // that copy is wiped as well.
  {
    secwstring_base moved(std::move(static_cast<secwstring_base&>(*this)));
    SecureZero(moved.data(), (moved.capacity() + 1) * sizeof(OLECHAR));
  }
  clear();
  SecureZero(data(), (capacity() + 1) * sizeof(OLECHAR));
}

secwstring operator+(const secwstring& a, const secwstring& b) {
  secwstring s;
  s.reserve(a.size() + b.size());
  s.append(a).append(b);
  return s;
}

secwstring operator+(const secwstring& a, const OLECHAR* b) {
  secwstring s;
  const size_t n = std::char_traits<OLECHAR>::length(b);
  s.reserve(a.size() + n);
  s.append(a).append(b, n);
  return s;
}

secwstring operator+(const OLECHAR* a, const secwstring& b) {
  secwstring s;
  const size_t n = std::char_traits<OLECHAR>::length(a);
  s.reserve(n + b.size());
  s.append(a, n).append(b);
  return s;
}

secwstring operator+(const secwstring& a, OLECHAR c) {
  secwstring s;
  s.reserve(a.size() + 1);
  s.append(a).push_back(c);
  return s;
}

}  // namespace ZU::Framework

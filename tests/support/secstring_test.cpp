// The secure string leaves no copy of its characters behind: neither in
// heap blocks it gives back nor in its own small-string buffer.
//
// This program replaces the global allocation functions so that it can look
// at every block at the moment it is released.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

#include "support/secstring.h"

namespace {

// A block header in front of every allocation records its size.
struct alignas(std::max_align_t) CHeader {
  size_t cb;
};

// A fragment of the secret short enough to fit whatever remains of a
// buffer, so that partial copies are found too.
constexpr OLECHAR kNeedle[] = OLESTR("PIN7");
constexpr OLECHAR kTail[] = OLESTR("IN7");

bool gWatching = false;
int gReleasedWithSecret = 0;
int gReleasedWatched = 0;

// At any byte offset.
bool Holds(const void* p, size_t cb, const OLECHAR* pszNeedle, size_t cch) {
  const auto* pb = static_cast<const unsigned char*>(p);
  const auto* pbNeedle = reinterpret_cast<const unsigned char*>(pszNeedle);
  return std::search(pb, pb + cb, pbNeedle, pbNeedle + cch * sizeof(OLECHAR)) != pb + cb;
}

}  // namespace

void* operator new(size_t cb) {
  void* p = std::malloc(sizeof(CHeader) + cb);
  if (p == nullptr) throw std::bad_alloc();
  static_cast<CHeader*>(p)->cb = cb;
  return static_cast<CHeader*>(p) + 1;
}

void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  CHeader* pHeader = static_cast<CHeader*>(p) - 1;
  if (gWatching) {
    ++gReleasedWatched;
    if (Holds(p, pHeader->cb, kNeedle, 4)) ++gReleasedWithSecret;
  }
  std::free(pHeader);
}

void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

void Watch() { gReleasedWithSecret = gReleasedWatched = 0, gWatching = true; }

TEST(SecureString, LongStringsAreWipedBeforeTheirBlockIsReleased) {
  Watch();
  {
    secwstring s(OLESTR("PIN7-a secret long enough to live on the heap"));
    s += OLESTR(" and grow again so that the first block is released");
    secwstring copy = s.substr(0, 30);
    secwstring joined = copy + s;
  }
  gWatching = false;
  EXPECT_GT(gReleasedWatched, 0) << "the test must see the blocks being released";
  EXPECT_EQ(gReleasedWithSecret, 0);
}

// A short string lives inside the object: it is wiped there when destroyed,
// also after growing onto the heap (which reuses only the front of the
// internal buffer) and after a move (which copies it and only empties the
// source).
TEST(SecureString, ShortStringsAreWipedInsideTheObject) {
  Watch();
  const std::pair<const char*, void (*)(secwstring&)> cases[] = {
      {"destroyed", [](secwstring&) {}},
      {"grown", [](secwstring& s) { s.append(OLESTR(" now much longer than the buffer holds")); }},
      {"moved from", [](secwstring& s) { secwstring to(std::move(s)); }},
  };
  for (const auto& [name, change] : cases) {
    SCOPED_TRACE(name);
    alignas(secwstring) unsigned char storage[sizeof(secwstring)];
    auto* s = new (storage) secwstring(OLESTR("abcPIN7"));
    ASSERT_TRUE(Holds(storage, sizeof(storage), kTail, 3)) << "kept inside the object";
    change(*s);
    s->~secwstring();
    EXPECT_FALSE(Holds(storage, sizeof(storage), kTail, 3));
  }
  gWatching = false;
  EXPECT_EQ(gReleasedWithSecret, 0);
}

}  // namespace

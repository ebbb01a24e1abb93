// Value protection leaves no secret behind in memory it gives back: the
// plaintexts, the blob the platform returned and the entropy are wiped on
// the paths that succeed and on those that fail.
//
// This program replaces the global allocation functions and the platform's
// LocalAlloc and LocalFree (it exports its own, which the platform library
// then calls too), so that it can look at every block as it is released.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <new>

#include "common/dpapi_test_keys.h"
#include "security/protect.h"
#include "security/protect_test_util.h"
#include "support/scopedsafearray.h"

namespace {

struct alignas(std::max_align_t) CHeader {
  size_t cb;
};

// What the watched releases held: local blocks, of them not wiped, blocks
// holding the secret, blocks holding the entropy, and blocks of any kind.
using CReleased = std::array<int, 5>;

bool gWatching = false;
CReleased gReleased;
const Bytes* gpSecret = nullptr;

void* Allocate(size_t cb, bool bZero) {
  auto* p = static_cast<CHeader*>(bZero ? std::calloc(1, sizeof(CHeader) + cb)
                                        : std::malloc(sizeof(CHeader) + cb));
  if (p == nullptr) return nullptr;
  p->cb = cb;
  return p + 1;
}

// Looks at a block about to be released, and releases it. A fragment of
// each needle is looked for, so that partial copies are found too.
void Release(void* p, bool bLocal = false) {
  if (p == nullptr) return;
  const BYTE* pb = static_cast<const BYTE*>(p);
  const size_t cb = (static_cast<CHeader*>(p) - 1)->cb;
  const auto holds = [&](const BYTE* pbNeedle) {
    return std::search(pb, pb + cb, pbNeedle + 4, pbNeedle + 12) != pb + cb;
  };
  if (gWatching) {
    const bool bNotZero = std::any_of(pb, pb + cb, [](BYTE b) { return b != 0; });
    const bool held[] = {bLocal, bLocal && bNotZero, holds(gpSecret->data()),
                         holds(kExpectedEntropy), true};
    for (size_t i = 0; i < gReleased.size(); ++i) gReleased[i] += held[i];
  }
  std::free(static_cast<CHeader*>(p) - 1);
}

}  // namespace

void* operator new(size_t cb) {
  void* p = Allocate(cb, false);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void* operator new[](size_t cb) { return operator new(cb); }
void* operator new(size_t cb, const std::nothrow_t&) noexcept { return Allocate(cb, false); }
void* operator new[](size_t cb, const std::nothrow_t&) noexcept { return Allocate(cb, false); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  void* p = Allocate(uBytes, (uFlags & LMEM_ZEROINIT) != 0);
  if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  Release(hMem, true);
  return nullptr;
}

namespace {

// Runs the call while watching the releases.
template <class F>
CReleased Watch(const Bytes& secret, F&& call) {
  gpSecret = &secret;
  gReleased = {};
  gWatching = true;
  call();
  gWatching = false;
  return gReleased;
}

// A byte value and a string list (long enough for the list buffer to grow
// several times) are sealed: the blob returned by the platform is the only
// local block. Then they are opened, and so are a pair refused because its
// size does not fit its type and a damaged tag (the platform decrypts
// before it checks the tag): the plaintext, wiped, and the description (no
// secret) are the local blocks. No released block holds the secret or the
// entropy.
TEST(ValueProtectionWipe, NoReleasedBlockHoldsTheSecretOrTheEntropy) {
  CDpapiTestKeys keys;
  const Bytes secret = {'P', 'I', 'N', '-', 'S', 'E', 'C', 'R', 'E', 'T', '-', '7',
                        '3', '9', '1', '-', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
  Bytes wideSecret;  // its UTF-16 bytes: the secret is ASCII
  for (BYTE b : secret) wideSecret.insert(wideSecret.end(), {b, 0});
  const std::vector<OptText> strings(40, OleText(secret.begin(), secret.end()));
  const CScopedSafeArray values[] = {CScopedSafeArray(MakeBytes(secret)),
                                     CScopedSafeArray(MakeStrings(0, strings))};
  const Bytes* const secrets[] = {&secret, &wideSecret};
  std::vector<CScopedSafeArray> sealed(2);
  for (size_t i = 0; i < 2; ++i) {
    const CReleased released = Watch(
        *secrets[i], [&] { EXPECT_EQ(EncryptValue(values[i].Get(), sealed[i].Receive()), S_OK); });
    EXPECT_EQ(CReleased({1, 0, 0, 0, released[4]}), released) << i;
    EXPECT_GT(released[4], 1);  // the entropy buffer was seen too
  }
  Bytes misfit = secret;
  misfit.push_back('!');
  Bytes damaged = DataOf(sealed[0].Get());
  damaged.back() ^= 1;
  sealed.emplace_back(SealProtected(OLESTR("UINT"), misfit));
  sealed.emplace_back(MakeBytes(damaged));
  const struct {
    const Bytes* pSecret;
    HRESULT hr;
    int cLocalNotZero;
  } openings[] = {
      {&secret, S_OK, 1}, {&wideSecret, S_OK, 1}, {&secret, E_FAIL, 1}, {&secret, E_FAIL, 0}};
  for (size_t i = 0; i < sealed.size(); ++i) {
    CScopedSafeArray restored;
    const CReleased released = Watch(*openings[i].pSecret, [&] {
      EXPECT_EQ(DecryptValue(sealed[i].Get(), restored.Receive()), openings[i].hr);
    });
    EXPECT_EQ(CReleased({2, openings[i].cLocalNotZero, 0, 0, released[4]}), released) << i;
  }
}

}  // namespace

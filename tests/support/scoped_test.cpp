#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"

namespace {

// A release missed (Receive over a held string, the destructor) or made twice
// (after a move or Release) is a leak or a double free the address sanitizer
// reports.
TEST(ScopedOwners, ReleaseExactlyWhatTheyOwn) {
  CScopedBSTR a(SysAllocString(OLESTR("a")));
  CScopedBSTR b(std::move(a));
  EXPECT_EQ(a.Get(), nullptr);
  SysFreeString(CScopedBSTR(SysAllocString(OLESTR("kept"))).Release());
  *b.Receive() = SysAllocString(OLESTR("replaced"));
  CScopedSafeArray psa(SafeArrayCreateVector(VT_UI1, 0, 4));
  CScopedSafeArray moved;
  moved = std::move(psa);
  EXPECT_EQ(psa.Get(), nullptr);
  EXPECT_NE(moved.Get(), nullptr);
}

}  // namespace

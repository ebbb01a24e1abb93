#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <thread>

#include "common/recording_log_sink.h"
#include "support/scopedbstr.h"
#include "support/scopedlock.h"
#include "support/scopedsafearray.h"

namespace {

// Counts the releases that reach the helper library.
class CCountingZuWinExt final : public CZuWinExt {
 public:
  CCountingZuWinExt() : m_pPrevious(ZuWinExtSeam().Install(this)) {}
  ~CCountingZuWinExt() override { ZuWinExtSeam().Install(m_pPrevious); }
  HRESULT zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) override {
    ++nArrays;
    return CZuWinExt::zuSafeArrayDestroy(psa, dwFlag);
  }
  void zuSysFreeString(BSTR bstr, DWORD dwFlag) override {
    ++nStrings;
    CZuWinExt::zuSysFreeString(bstr, dwFlag);
  }
  int nArrays = 0;
  int nStrings = 0;

 private:
  IZuWinExt* m_pPrevious;
};

TEST(ScopedOwners, ReleaseExactlyWhatTheyOwn) {
  CCountingZuWinExt zu;
  {
    CScopedBSTR a(SysAllocString(OLESTR("a")));
    CScopedBSTR b(std::move(a));
    EXPECT_EQ(a.Get(), nullptr);
    BSTR kept = CScopedBSTR(SysAllocString(OLESTR("kept"))).Release();
    SysFreeString(kept);
    *b.Receive() = SysAllocString(OLESTR("replaced"));
    EXPECT_EQ(zu.nStrings, 1) << "Receive frees the previous string";
  }
  EXPECT_EQ(zu.nStrings, 2);
  {
    CScopedSafeArray psa(SafeArrayCreateVector(VT_UI1, 0, 4));
    CScopedSafeArray moved;
    moved = std::move(psa);
    EXPECT_EQ(psa.Get(), nullptr);
    EXPECT_NE(moved.Get(), nullptr);
  }
  EXPECT_EQ(zu.nArrays, 1);
}

TEST(ScopedOwners, ArrayResetReportsALockedArray) {
  CRecordingLogSink sink;
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 4);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  CScopedSafeArray owner(psa);
  EXPECT_EQ(owner.Reset(), DISP_E_ARRAYISLOCKED);
  SafeArrayUnlock(psa);
  SafeArrayDestroy(psa);
}

TEST(ScopedLock, ExcludesOtherThreadsAndReenters) {
  CCriticalSection cs;
  int counter = 0;
  std::atomic<bool> bInside{false};
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      CScopedLock outer(cs);
      CScopedLock inner(cs);  // the same thread enters again
      EXPECT_FALSE(bInside.exchange(true));
      ++counter;
      bInside = false;
    }
  };
  std::thread t1(work), t2(work);
  t1.join();
  t2.join();
  EXPECT_EQ(counter, 4000);
}

}  // namespace

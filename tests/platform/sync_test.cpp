// Conformance of the thread and synchronisation services: the last error,
// critical sections, threads, events, waits and handles.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/conformance.h"
#include "platform/win32_helpers.h"

namespace {

constexpr DWORD kTimeout = WAIT_TIMEOUT;

DWORD Wait(HANDLE h, DWORD dwMilliseconds = 0) { return WaitForSingleObject(h, dwMilliseconds); }

HANDLE NewEvent(BOOL bManualReset, BOOL bInitialState) {
  return CreateEventW(nullptr, bManualReset, bInitialState, nullptr);
}

TEST(LastErrorTest, EachThreadHasItsOwn) {
  DWORD seen[2] = {};
  CScopedHandle thread(StartThread(
      [](LPVOID p) -> DWORD {
        static_cast<DWORD*>(p)[0] = GetLastError();
        SetLastError(0x5678);
        static_cast<DWORD*>(p)[1] = GetLastError();
        return 0;
      },
      seen));
  SetLastError(0x1234);
  ASSERT_EQ(Wait(thread.Get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(GetLastError(), 0x1234u);
  EXPECT_EQ(seen[0], 0u) << "a new thread starts without an error";
  EXPECT_EQ(seen[1], 0x5678u);
}

BOOL OtherThreadCanEnter(CRITICAL_SECTION* pcs) {
  CScopedHandle thread(StartThread(
      [](LPVOID p) -> DWORD {
        auto* pcs = static_cast<CRITICAL_SECTION*>(p);
        if (!TryEnterCriticalSection(pcs)) return FALSE;
        LeaveCriticalSection(pcs);
        return TRUE;
      },
      pcs));
  DWORD entered = 2;
  EXPECT_EQ(Wait(thread.Get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread.Get(), &entered));
  return static_cast<BOOL>(entered);
}

TEST(CriticalSectionTest, OwnerReentersWhileOthersAreKeptOut) {
  CRITICAL_SECTION cs;
  EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  EXPECT_FALSE(OtherThreadCanEnter(&cs));
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(OtherThreadCanEnter(&cs)) << "still entered once";
  LeaveCriticalSection(&cs);
  EXPECT_TRUE(OtherThreadCanEnter(&cs));
  DeleteCriticalSection(&cs);
}

TEST(CriticalSectionTest, ExcludesConcurrentWriters) {
  struct SShared {
    CRITICAL_SECTION cs;
    long counter = 0;
  } shared;
  InitializeCriticalSection(&shared.cs);
  HANDLE threads[4];
  for (HANDLE& h : threads) {
    h = StartThread(
        [](LPVOID p) -> DWORD {
          auto* pShared = static_cast<SShared*>(p);
          for (int i = 0; i < 20000; ++i) {
            EnterCriticalSection(&pShared->cs);
            const long value = pShared->counter;
            pShared->counter = value + 1;
            LeaveCriticalSection(&pShared->cs);
          }
          return 0;
        },
        &shared);
    ASSERT_NE(h, nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, INFINITE), WAIT_OBJECT_0);
  for (HANDLE h : threads) CloseHandle(h);
  EXPECT_EQ(shared.counter, 4 * 20000);
  DeleteCriticalSection(&shared.cs);
}

TEST(ThreadTest, ExitCodeAndIdAreTheThreadsOwn) {
  struct SRun {
    HANDLE hGo;
    DWORD ownId;
  } run{NewEvent(TRUE, FALSE), 0};
  CScopedHandle go(run.hGo);
  DWORD threadId = 0;
  CScopedHandle thread(StartThread(
      [](LPVOID p) -> DWORD {
        auto* pRun = static_cast<SRun*>(p);
        pRun->ownId = GetCurrentThreadId();
        return WaitForSingleObject(pRun->hGo, INFINITE) == WAIT_OBJECT_0 ? 42 : 1;
      },
      &run, &threadId));
  ASSERT_NE(thread.Get(), nullptr);
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.Get(), &exitCode));
  EXPECT_EQ(exitCode, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(Wait(thread.Get(), 10), kTimeout);

  ASSERT_TRUE(SetEvent(go.Get()));
  ASSERT_EQ(Wait(thread.Get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread.Get(), &exitCode));
  EXPECT_EQ(exitCode, 42u);
  EXPECT_NE(threadId, 0u);
  EXPECT_EQ(threadId, run.ownId);
  EXPECT_NE(threadId, GetCurrentThreadId());
}

TEST(ThreadTest, PseudoHandlesNameTheCaller) {
  EXPECT_NE(GetCurrentProcessId(), 0u);
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(GetCurrentThread(), &exitCode));
  EXPECT_EQ(exitCode, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
  EXPECT_TRUE(CloseHandle(GetCurrentThread()));
  EXPECT_EQ(Wait(GetCurrentProcess()), kTimeout) << "still valid after closing";
  EXPECT_EQ(Wait(GetCurrentThread()), kTimeout);
}

TEST(EventTest, ManualResetHoldsAutoResetSatisfiesOneWait) {
  CScopedHandle manual(NewEvent(TRUE, FALSE));
  CScopedHandle autoReset(NewEvent(FALSE, TRUE));
  EXPECT_EQ(Wait(manual.Get()), kTimeout);
  EXPECT_TRUE(SetEvent(manual.Get()));
  EXPECT_EQ(Wait(manual.Get()), WAIT_OBJECT_0);
  EXPECT_EQ(Wait(manual.Get()), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual.Get()));
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Wait(manual.Get(), 20), kTimeout);
  EXPECT_GE(GetTickCount64() - start, 4u) << "the tick count moves in steps of up to 16 ms";

  EXPECT_EQ(Wait(autoReset.Get()), WAIT_OBJECT_0);
  EXPECT_EQ(Wait(autoReset.Get()), kTimeout);
  EXPECT_TRUE(SetEvent(autoReset.Get()));
  EXPECT_TRUE(SetEvent(autoReset.Get()));
  EXPECT_EQ(Wait(autoReset.Get()), WAIT_OBJECT_0);
  EXPECT_EQ(Wait(autoReset.Get()), kTimeout) << "signals do not add up";
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSignal) {
  CScopedHandle event(NewEvent(FALSE, FALSE));
  const LPTHREAD_START_ROUTINE waitForEvent = [](LPVOID p) -> DWORD {
    return WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
  };
  HANDLE waiters[2] = {StartThread(waitForEvent, event.Get()),
                       StartThread(waitForEvent, event.Get())};
  EXPECT_TRUE(SetEvent(event.Get()));
  const DWORD first = WaitForMultipleObjects(2, waiters, FALSE, INFINITE);
  ASSERT_LT(first, 2u);
  EXPECT_EQ(Wait(waiters[1 - first], 30), kTimeout);
  EXPECT_TRUE(SetEvent(event.Get()));
  EXPECT_EQ(Wait(waiters[1 - first], INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(Wait(event.Get()), kTimeout);
  CloseHandle(waiters[0]);
  CloseHandle(waiters[1]);
}

TEST(WaitTest, AnyTakesTheLowestIndexAllTakesEveryObjectOrNone) {
  CScopedHandle first(NewEvent(FALSE, TRUE));
  CScopedHandle second(NewEvent(FALSE, FALSE));
  const HANDLE both[2] = {first.Get(), second.Get()};
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), kTimeout);
  SetEvent(second.Get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0)
      << "the first event stayed signalled while the wait could not be satisfied";
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), kTimeout) << "both were consumed";

  SetEvent(second.Get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  SetEvent(second.Get());
  SetEvent(first.Get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(Wait(second.Get()), WAIT_OBJECT_0) << "only the first was consumed";
}

TEST(WaitTest, WaitOutlivesTheClosingOfItsHandle) {
  struct SWait {
    HANDLE hReady;
    HANDLE hWaited;
    DWORD result;
  } wait{NewEvent(TRUE, FALSE), NewEvent(TRUE, FALSE), 0};
  CScopedHandle ready(wait.hReady);
  CScopedHandle thread(StartThread(
      [](LPVOID p) -> DWORD {
        auto* pWait = static_cast<SWait*>(p);
        SetEvent(pWait->hReady);
        pWait->result = WAIT_ERROR_OF(WaitForSingleObject(pWait->hWaited, 40));
        return 0;
      },
      &wait));
  ASSERT_EQ(Wait(ready.Get(), INFINITE), WAIT_OBJECT_0);
  Sleep(5);
  EXPECT_TRUE(CloseHandle(wait.hWaited));
  ASSERT_EQ(Wait(thread.Get(), INFINITE), WAIT_OBJECT_0);
  // Closed during the wait, the wait runs its course (to its time-out);
  // closed before the wait began, the wait fails on the handle.
  EXPECT_TRUE(wait.result == kSucceeded || wait.result == ERROR_INVALID_HANDLE) << wait.result;
}

TEST(HandleTest, InvalidClosedAndMistypedHandlesAreRefused) {
  HANDLE event = NewEvent(TRUE, TRUE);
  CScopedHandle thread(StartThread([](LPVOID) -> DWORD { return 0; }, nullptr));
  DWORD exitCode = 0;
  EXPECT_EQ(FAILURE_OF(SetEvent(thread.Get())), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(FAILURE_OF(GetExitCodeThread(event, &exitCode)), DWORD{ERROR_INVALID_HANDLE});

  EXPECT_TRUE(CloseHandle(event));
  EXPECT_EQ(FAILURE_OF(CloseHandle(event)), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(FAILURE_OF(CloseHandle(nullptr)), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(FAILURE_OF(SetEvent(event)), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(WAIT_ERROR_OF(Wait(event)), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(WAIT_ERROR_OF(Wait(nullptr)), DWORD{ERROR_INVALID_HANDLE});
  const HANDLE mixed[MAXIMUM_WAIT_OBJECTS + 1] = {thread.Get(), event};
  EXPECT_EQ(WAIT_ERROR_OF(WaitForMultipleObjects(2, mixed, FALSE, 0)), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(WAIT_ERROR_OF(WaitForMultipleObjects(0, mixed, FALSE, 0)),
            DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(WAIT_ERROR_OF(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, mixed, FALSE, 0)),
            DWORD{ERROR_INVALID_PARAMETER});
}

TEST(NativeLayerTest, RefusesWhatItCannotProvide) {
  if (!kNativeLayer) GTEST_SKIP() << "the layer's own limits";
  const LPTHREAD_START_ROUTINE routine = [](LPVOID) -> DWORD { return 0; };
  EXPECT_EQ(FAILURE_OF(CreateThread(nullptr, 0, routine, nullptr, CREATE_SUSPENDED, nullptr)),
            DWORD{ERROR_NOT_SUPPORTED});
  EXPECT_EQ(FAILURE_OF(CreateEventW(nullptr, TRUE, FALSE, OLESTR("Kelmyr.Named"))),
            DWORD{ERROR_NOT_SUPPORTED});
}

}  // namespace

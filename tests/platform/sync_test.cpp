// Conformance of the thread and synchronisation services: the last error,
// critical sections, threads, events, waits and handles.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/conformance.h"
#include "platform/machine_owners.h"
#include "platform/win32_helpers.h"

namespace {

constexpr DWORD kTimeout = WAIT_TIMEOUT;

DWORD Wait(HANDLE h, DWORD dwMilliseconds = 0) { return WaitForSingleObject(h, dwMilliseconds); }

HANDLE NewEvent(BOOL bManualReset, BOOL bInitialState) {
  return CreateEventW(nullptr, bManualReset, bInitialState, nullptr);
}

// Runs pfn on a new thread and answers its exit code.
DWORD OnOtherThread(LPTHREAD_START_ROUTINE pfn, void* p) {
  CMachineHandle thread(StartThread(pfn, p));
  DWORD exitCode = 0xFFFF;
  EXPECT_EQ(Wait(thread.Get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread.Get(), &exitCode));
  return exitCode;
}

// A new thread starts without an error and keeps its own.
TEST(LastErrorTest, EachThreadHasItsOwn) {
  SetLastError(0x1234);
  EXPECT_EQ(OnOtherThread(
                [](LPVOID) -> DWORD {
                  const DWORD initial = GetLastError();
                  SetLastError(0x5678);
                  return initial == 0 && GetLastError() == 0x5678 ? 1 : 0;
                },
                nullptr),
            1u);
  EXPECT_EQ(GetLastError(), 0x1234u);
}

// The owner re-enters, as often as it entered must it leave, and others
// are kept out until then.
TEST(CriticalSectionTest, OwnerReentersWhileOthersAreKeptOut) {
  const LPTHREAD_START_ROUTINE tryEnter = [](LPVOID p) -> DWORD {
    auto* pcs = static_cast<CRITICAL_SECTION*>(p);
    if (!TryEnterCriticalSection(pcs)) return 0;
    LeaveCriticalSection(pcs);
    return 1;
  };
  CRITICAL_SECTION cs;
  EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  for (DWORD expected : {0u, 0u, 0u, 1u}) {
    EXPECT_EQ(OnOtherThread(tryEnter, &cs), expected);
    if (expected == 0) LeaveCriticalSection(&cs);
  }
  DeleteCriticalSection(&cs);
}

// A thread's handle is signalled once it returns; its id is its own.
TEST(ThreadTest, HandleSignalledAtItsEndAndIdOfItsOwn) {
  struct SRun {
    HANDLE hGo;
    DWORD ownId;
  } run{NewEvent(TRUE, FALSE), 0};
  CMachineHandle go(run.hGo);
  DWORD threadId = 0;
  CMachineHandle thread(StartThread(
      [](LPVOID p) -> DWORD {
        auto* pRun = static_cast<SRun*>(p);
        pRun->ownId = GetCurrentThreadId();
        return WaitForSingleObject(pRun->hGo, INFINITE);
      },
      &run, &threadId));
  ASSERT_NE(thread.Get(), nullptr);
  EXPECT_EQ(Wait(thread.Get()), kTimeout);
  ASSERT_TRUE(SetEvent(go.Get()));
  ASSERT_EQ(Wait(thread.Get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(threadId == run.ownId && threadId != 0 && threadId != GetCurrentThreadId());
}

// A manual-reset event stays signalled; an auto-reset one satisfies one
// wait and its signals do not add up.
TEST(EventTest, ManualResetHoldsAutoResetSatisfiesOneWait) {
  CMachineHandle manual(NewEvent(TRUE, FALSE));
  EXPECT_EQ(Wait(manual.Get()), kTimeout);
  EXPECT_TRUE(SetEvent(manual.Get()));
  EXPECT_EQ(Wait(manual.Get()), WAIT_OBJECT_0);
  EXPECT_EQ(Wait(manual.Get()), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual.Get()));
  EXPECT_EQ(Wait(manual.Get()), kTimeout);

  CMachineHandle event(NewEvent(FALSE, FALSE));
  EXPECT_TRUE(SetEvent(event.Get()));
  EXPECT_TRUE(SetEvent(event.Get()));
  EXPECT_EQ(Wait(event.Get()), WAIT_OBJECT_0);
  EXPECT_EQ(Wait(event.Get()), kTimeout) << "signals do not add up";
}

// "Any" takes the lowest signalled index; "all" takes every object or none.
TEST(WaitTest, AnyTakesTheLowestIndexAllTakesEveryObjectOrNone) {
  CMachineHandle first(NewEvent(FALSE, TRUE));
  CMachineHandle second(NewEvent(FALSE, FALSE));
  const HANDLE both[2] = {first.Get(), second.Get()};
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), kTimeout);
  SetEvent(second.Get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0)
      << "the first stayed signalled";
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), kTimeout) << "both were consumed";
  SetEvent(second.Get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  SetEvent(second.Get());
  SetEvent(first.Get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(Wait(second.Get()), WAIT_OBJECT_0) << "only the first was consumed";
}

TEST(HandleTest, InvalidClosedAndMistypedHandlesAreRefused) {
  HANDLE event = NewEvent(TRUE, TRUE);
  CMachineHandle thread(StartThread([](LPVOID) -> DWORD { return 0; }, nullptr));
  EXPECT_EQ(FAILURE_OF(SetEvent(thread.Get())), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_EQ(FAILURE_OF(CloseHandle(event)), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(FAILURE_OF(CloseHandle(nullptr)), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(FAILURE_OF(SetEvent(event)), DWORD{ERROR_INVALID_HANDLE});
  EXPECT_EQ(WAIT_ERROR_OF(Wait(event)), DWORD{ERROR_INVALID_HANDLE});
  const HANDLE mixed[MAXIMUM_WAIT_OBJECTS + 1] = {thread.Get(), event};
  EXPECT_EQ(WAIT_ERROR_OF(WaitForMultipleObjects(2, mixed, FALSE, 0)), DWORD{ERROR_INVALID_HANDLE});
  for (DWORD count : {DWORD{0}, DWORD{MAXIMUM_WAIT_OBJECTS + 1}}) {
    EXPECT_EQ(WAIT_ERROR_OF(WaitForMultipleObjects(count, mixed, FALSE, 0)),
              DWORD{ERROR_INVALID_PARAMETER});
  }
  // Waiting for all of one object twice is refused.
  CMachineHandle other(NewEvent(TRUE, TRUE));
  const HANDLE twice[2] = {other.Get(), other.Get()};
  const DWORD dwTwice = WaitForMultipleObjects(2, twice, TRUE, 0);
  EXPECT_TRUE((dwTwice == WAIT_FAILED && GetLastError() == ERROR_INVALID_PARAMETER) ||
              WINE_DIFFERS(dwTwice == WAIT_OBJECT_0, "Wine waits for the object once"));
  if (!kNativeLayer) return;
  // What the layer cannot provide it refuses.
  EXPECT_EQ(FAILURE_OF(CreateThread(
                nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, CREATE_SUSPENDED, nullptr)),
            DWORD{ERROR_NOT_SUPPORTED});
  EXPECT_EQ(FAILURE_OF(CreateEventW(nullptr, TRUE, FALSE, OLESTR("Kelmyr.Named"))),
            DWORD{ERROR_NOT_SUPPORTED});
}

}  // namespace

// Conformance of the thread and synchronisation services: the last error,
// critical sections, threads, events, waits and handles.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <tuple>

#include "common/conformance.h"
#include "platform/machine_owners.h"
#include "platform/win32_helpers.h"

namespace {

constexpr DWORD kTimeout = WAIT_TIMEOUT;

DWORD Wait(HANDLE h, DWORD dwMilliseconds = 0) { return WaitForSingleObject(h, dwMilliseconds); }

HANDLE NewEvent(BOOL bManualReset, BOOL bInitialState) {
  return CreateEventW(nullptr, bManualReset, bInitialState, nullptr);
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
    CMachineHandle thread(StartThread(tryEnter, &cs));
    DWORD exitCode = 0xFFFF;
    EXPECT_TRUE(Wait(thread.Get(), INFINITE) == WAIT_OBJECT_0 &&
                GetExitCodeThread(thread.Get(), &exitCode) && exitCode == expected);
    if (expected == 0) LeaveCriticalSection(&cs);
  }
  DeleteCriticalSection(&cs);
}

// A thread's handle is signalled once it returns; its id and its last error
// are its own, the error none at its start.
TEST(ThreadTest, HandleSignalledAtItsEndIdAndLastErrorOfItsOwn) {
  std::pair<HANDLE, DWORD> run{NewEvent(TRUE, FALSE), 0};  // the go signal, the thread's own id
  CMachineHandle go(run.first);
  DWORD threadId = 0;
  SetLastError(0x1234);
  CMachineHandle thread(StartThread(
      [](LPVOID p) -> DWORD {
        auto* pRun = static_cast<std::pair<HANDLE, DWORD>*>(p);
        pRun->second = GetCurrentThreadId();
        const DWORD initial = GetLastError();
        SetLastError(0x5678);
        WaitForSingleObject(pRun->first, INFINITE);
        return initial == 0 && GetLastError() == 0x5678 ? 1 : 0;
      },
      &run, &threadId));
  EXPECT_EQ(Wait(thread.Get()), kTimeout);
  ASSERT_TRUE(SetEvent(go.Get()));
  DWORD exitCode = 0;
  ASSERT_EQ(Wait(thread.Get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetLastError() == 0x1234u && GetExitCodeThread(thread.Get(), &exitCode) &&
              exitCode == 1);
  EXPECT_TRUE(threadId == run.second && threadId != 0 && threadId != GetCurrentThreadId());
}

// A manual-reset event stays signalled; an auto-reset one satisfies one
// wait and its signals do not add up. "Any" takes the lowest signalled
// index; "all" takes every object or none.
TEST(EventTest, ResetKindsAndWaitsForAnyOrAll) {
  // Manual and unset, automatic and set, automatic and unset.
  CMachineHandle events[3] = {CMachineHandle(NewEvent(TRUE, FALSE)),
                              CMachineHandle(NewEvent(FALSE, TRUE)),
                              CMachineHandle(NewEvent(FALSE, FALSE))};
  const HANDLE autos[2] = {events[1].Get(), events[2].Get()};
  // Set, Reset, Wait for one; Any or alL of the automatic ones, T for all
  // with a short time-out.
  // clang-format off
  const std::tuple<char, int, DWORD> steps[] = {
      {'W', 0, kTimeout}, {'S', 0, TRUE}, {'W', 0, WAIT_OBJECT_0}, {'W', 0, WAIT_OBJECT_0},
      {'R', 0, TRUE}, {'W', 0, kTimeout},
      {'T', 0, kTimeout}, {'S', 2, TRUE}, {'L', 0, WAIT_OBJECT_0}, {'A', 0, kTimeout},
      {'S', 2, TRUE}, {'A', 0, WAIT_OBJECT_0 + 1},
      {'S', 2, TRUE}, {'S', 1, TRUE}, {'A', 0, WAIT_OBJECT_0}, {'W', 2, WAIT_OBJECT_0},
      {'S', 2, TRUE}, {'S', 2, TRUE}, {'W', 2, WAIT_OBJECT_0}, {'W', 2, kTimeout}};
  // clang-format on
  for (size_t n = 0; n < std::size(steps); ++n) {
    const auto [op, i, dwExpected] = steps[n];
    const HANDLE h = events[i].Get();
    const DWORD dwGot = op == 'S'   ? SetEvent(h)
                        : op == 'R' ? ResetEvent(h)
                        : op == 'W'
                            ? Wait(h)
                            : WaitForMultipleObjects(2, autos, op != 'A', op == 'T' ? 10 : 0);
    EXPECT_EQ(dwGot, dwExpected) << "step " << n;
  }
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

// Helpers of the Win32 conformance suites: a thread started on a captureless
// lambda, the error of a call, and a token's answer through the two-call
// protocol.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

inline HANDLE StartThread(LPTHREAD_START_ROUTINE pfnRoutine, void* pParameter,
                          DWORD* pThreadId = nullptr) {
  return CreateThread(nullptr, 0, pfnRoutine, pParameter, 0, pThreadId);
}

// What FAILURE_OF answers for a call that succeeded.
inline constexpr DWORD kSucceeded = 0xFFFFFFFE;

// The last error of a call that answered FALSE or null, or kSucceeded.
#define FAILURE_OF(call) (SetLastError(0), (call) ? kSucceeded : GetLastError())

// The last error of a wait that answered WAIT_FAILED, or its result.
#define WAIT_ERROR_OF(call) (SetLastError(0), (call) == WAIT_FAILED ? GetLastError() : kSucceeded)

// A token's answer for one class: the size asked for first, a buffer one
// byte short refused with that size, then the answer filling it exactly.
// Empty when the token does not answer.
inline std::vector<BYTE> TokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass) {
  DWORD cb = 0;
  EXPECT_EQ(FAILURE_OF(GetTokenInformation(hToken, eClass, nullptr, 0, &cb)),
            DWORD{ERROR_INSUFFICIENT_BUFFER})
      << eClass;
  std::vector<BYTE> buffer(cb);
  DWORD returned = 0;
  if (cb > 1) {
    EXPECT_EQ(FAILURE_OF(GetTokenInformation(hToken, eClass, buffer.data(), cb - 1, &returned)),
              DWORD{ERROR_INSUFFICIENT_BUFFER})
        << eClass;
    EXPECT_EQ(returned, cb) << eClass;
  }
  if (cb == 0 || !GetTokenInformation(hToken, eClass, buffer.data(), cb, &returned)) {
    ADD_FAILURE() << "class " << eClass << ": error " << GetLastError();
    return {};
  }
  EXPECT_EQ(returned, cb) << eClass;
  return buffer;
}

// Conformance of processes, tokens and SIDs: opening by id, the token's
// integrity level through the two-call protocol, access checks and the SID
// accessors.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/conformance.h"
#include "platform/machine_owners.h"
#include "platform/win32_helpers.h"

namespace {

// The integrity level the native layer gives this process: system for root,
// low for a process that can never gain privileges, medium otherwise.
DWORD NativeIntegrityRid() {
  std::ifstream status("/proc/self/status");
  std::string line;
  unsigned long effectiveUid = 0, noNewPrivs = 0;
  unsigned long long capabilities = 1;
  while (std::getline(status, line)) {
    std::istringstream fields(line.substr(line.find(':') + 1));
    unsigned long realUid = 0;
    if (line.rfind("Uid:", 0) == 0) fields >> realUid >> effectiveUid;
    if (line.rfind("NoNewPrivs:", 0) == 0) fields >> noNewPrivs;
    if (line.rfind("CapEff:", 0) == 0) fields >> std::hex >> capabilities;
  }
  if (effectiveUid == 0) return SECURITY_MANDATORY_SYSTEM_RID;
  return noNewPrivs == 1 && capabilities == 0 ? SECURITY_MANDATORY_LOW_RID
                                              : SECURITY_MANDATORY_MEDIUM_RID;
}

// The integrity RID of a token, checking the shape of the answer.
DWORD IntegrityRid(HANDLE token) {
  const std::vector<BYTE> buffer = TokenInformation(token, TokenIntegrityLevel);
  if (buffer.size() < sizeof(TOKEN_MANDATORY_LABEL) + 12) {
    ADD_FAILURE() << "size " << buffer.size();
    return 0xFFFFFFFF;
  }
  const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data());
  EXPECT_EQ(label->Label.Attributes,
            static_cast<DWORD>(SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED));
  auto* sid = static_cast<BYTE*>(label->Label.Sid);
  EXPECT_GE(sid, buffer.data());
  EXPECT_LE(sid + 12, buffer.data() + buffer.size()) << "the SID lies in the same buffer";
  EXPECT_TRUE(IsValidSid(sid));
  EXPECT_EQ(GetLengthSid(sid), 12u) << "one sub-authority";
  const SID_IDENTIFIER_AUTHORITY mandatoryLabel = SECURITY_MANDATORY_LABEL_AUTHORITY;
  EXPECT_EQ(std::memcmp(sid + 2, &mandatoryLabel, sizeof mandatoryLabel), 0);
  return *GetSidSubAuthority(sid, 0);
}

// The level natively follows the Linux identity.
TEST(TokenTest, IntegrityLevelOfTheCurrentProcess) {
  CMachineHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()));
  const DWORD rid = IntegrityRid(token.Get());
  EXPECT_TRUE(!kNativeLayer || rid == NativeIntegrityRid()) << std::hex << rid;
}

// A token without query access answers nothing; a process handle without
// query access opens no token.
TEST(TokenTest, AccessIsChecked) {
  BYTE buffer[64];
  DWORD returned = 0;
  CMachineHandle noQuery;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, noQuery.Receive()));
  const DWORD noQueryError = FAILURE_OF(
      GetTokenInformation(noQuery.Get(), TokenIntegrityLevel, buffer, sizeof buffer, &returned));
  EXPECT_TRUE(noQueryError == ERROR_ACCESS_DENIED ||
              WINE_DIFFERS(noQueryError == kSucceeded, "Wine does not check TOKEN_QUERY"));

  CMachineHandle syncOnly(OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId()));
  ASSERT_NE(syncOnly.Get(), nullptr);
  CMachineHandle token;
  const DWORD syncOnlyError =
      FAILURE_OF(OpenProcessToken(syncOnly.Get(), TOKEN_QUERY, token.Receive()));
  EXPECT_TRUE(syncOnlyError == ERROR_ACCESS_DENIED ||
              WINE_DIFFERS(syncOnlyError == kSucceeded,
                           "Wine opens the token without process query access"));
}

// The id of a running thread names no process.
TEST(ProcessTest, OpenByIdRefusesAThreadId) {
  CMachineHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD workerId = 0;
  CMachineHandle worker(
      StartThread([](LPVOID pStop) -> DWORD { return WaitForSingleObject(pStop, INFINITE); },
                  stop.Get(), &workerId));
  ASSERT_NE(worker.Get(), nullptr);
  EXPECT_EQ(FAILURE_OF(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, workerId)),
            DWORD{ERROR_INVALID_PARAMETER});
  SetEvent(stop.Get());
  EXPECT_EQ(WaitForSingleObject(worker.Get(), 10000), WAIT_OBJECT_0) << "deadlock guard";
}

// The accessors work in place; more sub-authorities than a SID may have
// make it invalid.
TEST(SidTest, AccessorsWorkInPlace) {
  // S-1-5-32-544, sub-authorities little-endian.
  BYTE administrators[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  EXPECT_EQ(*GetSidSubAuthorityCount(administrators), 2);
  EXPECT_EQ(*GetSidSubAuthority(administrators, 1), 544u);
  *GetSidSubAuthority(administrators, 1) = 545;
  EXPECT_EQ(administrators[12], 0x21) << "the pointer is into the SID";
  administrators[1] = SID_MAX_SUB_AUTHORITIES + 1;
  EXPECT_FALSE(IsValidSid(administrators));
}

}  // namespace

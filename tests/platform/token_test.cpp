// Conformance of processes, tokens and SIDs: opening by id, the token's
// integrity level and elevation through the two-call protocol, access
// checks and the SID accessors.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/conformance.h"
#include "platform/machine.h"
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

// The level natively follows the Linux identity; elevated natively only
// at high integrity or above (root).
TEST(TokenTest, IntegrityLevelAndElevationOfTheCurrentProcess) {
  CScopedHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()));
  const DWORD rid = IntegrityRid(token.Get());
  EXPECT_TRUE(!kNativeLayer || rid == NativeIntegrityRid()) << std::hex << rid;
  const std::vector<BYTE> elevation = TokenInformation(token.Get(), TokenElevation);
  ASSERT_EQ(elevation.size(), sizeof(DWORD));
  DWORD value = 0xFFFF;
  std::memcpy(&value, elevation.data(), sizeof value);
  EXPECT_TRUE(kNativeLayer ? value == (rid >= SECURITY_MANDATORY_HIGH_RID ? 1u : 0u) : value <= 1);

  // Through a process handle opened by id, and through the machine seam.
  CScopedHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
  ASSERT_NE(process.Get(), nullptr);
  CScopedHandle byId;
  ASSERT_TRUE(Machine().OpenProcessToken(process.Get(), TOKEN_QUERY, byId.Put()));
  EXPECT_EQ(IntegrityRid(byId.Get()), rid);
}

TEST(TokenTest, HandlesAndAccessAreChecked) {
  BYTE buffer[64];
  DWORD returned = 0;
  CScopedHandle noQuery;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, noQuery.Put()));
  const DWORD noQueryError = FAILURE_OF(
      GetTokenInformation(noQuery.Get(), TokenIntegrityLevel, buffer, sizeof buffer, &returned));
  EXPECT_TRUE(noQueryError == ERROR_ACCESS_DENIED ||
              WINE_DIFFERS(noQueryError == kSucceeded, "Wine does not check TOKEN_QUERY"));

  CScopedHandle syncOnly(OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId()));
  ASSERT_NE(syncOnly.Get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(syncOnly.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CScopedHandle token;
  const DWORD syncOnlyError =
      FAILURE_OF(OpenProcessToken(syncOnly.Get(), TOKEN_QUERY, token.Put()));
  EXPECT_TRUE(syncOnlyError == ERROR_ACCESS_DENIED ||
              WINE_DIFFERS(syncOnlyError == kSucceeded,
                           "Wine opens the token without process query access"));
  CScopedHandle queryOnly(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
  EXPECT_EQ(WAIT_ERROR_OF(WaitForSingleObject(queryOnly.Get(), 0)), DWORD{ERROR_ACCESS_DENIED})
      << "no SYNCHRONIZE access";

  CScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE unused = nullptr;
  for (HANDLE notAProcess : {event.Get(), reinterpret_cast<HANDLE>(0x7FFF0)}) {
    EXPECT_EQ(FAILURE_OF(OpenProcessToken(notAProcess, TOKEN_QUERY, &unused)),
              DWORD{ERROR_INVALID_HANDLE});
  }
  const DWORD eventError = FAILURE_OF(
      GetTokenInformation(event.Get(), TokenIntegrityLevel, buffer, sizeof buffer, &returned));
  EXPECT_TRUE(eventError == ERROR_INVALID_HANDLE ||
              WINE_DIFFERS(eventError == kSucceeded,
                           "Wine answers the integrity level without looking at the handle"));

  CScopedHandle query;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, query.Put()));
  const DWORD classError = FAILURE_OF(GetTokenInformation(
      query.Get(), static_cast<TOKEN_INFORMATION_CLASS>(1000), buffer, sizeof buffer, &returned));
  EXPECT_TRUE(classError == ERROR_INVALID_PARAMETER ||
              WINE_DIFFERS(classError == ERROR_INVALID_FUNCTION,
                           "Wine reports an unknown class as not implemented"));
}

TEST(ProcessTest, OpenByIdRefusesWhatIsNotAProcess) {
  DWORD workerId = 0;
  CScopedHandle worker(StartThread([](LPVOID) -> DWORD { return 0; }, nullptr, &workerId));
  ASSERT_NE(worker.Get(), nullptr);
  // Process ids are multiples of 4 on Windows; Linux ids stay below 2^22.
  for (DWORD id : {DWORD{0}, DWORD{0x7FFFFFFC}, workerId}) {
    EXPECT_EQ(FAILURE_OF(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id)),
              DWORD{ERROR_INVALID_PARAMETER})
        << id;
  }
}

TEST(SidTest, AccessorsReadAndCompareTheStructure) {
  // S-1-5-18 and S-1-5-32-544, sub-authorities little-endian.
  BYTE system[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  BYTE administrators[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  EXPECT_EQ(GetLengthSid(administrators), 16u);
  EXPECT_EQ(*GetSidSubAuthorityCount(administrators), 2);
  EXPECT_EQ(*GetSidSubAuthority(administrators, 1), 544u);
  *GetSidSubAuthority(administrators, 1) = 545;
  EXPECT_EQ(administrators[12], 0x21) << "the pointer is into the SID";

  BYTE copy[12];
  std::memcpy(copy, system, sizeof copy);
  EXPECT_TRUE(EqualSid(system, copy));
  EXPECT_FALSE(EqualSid(system, administrators));
  copy[8] = 19;
  EXPECT_EQ(FAILURE_OF(EqualSid(system, copy)), DWORD{ERROR_SUCCESS}) << "unequal is no error";

  BYTE badRevision[12] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  BYTE tooManyParts[12] = {1, 16, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  EXPECT_FALSE(IsValidSid(badRevision));
  EXPECT_FALSE(IsValidSid(tooManyParts));
  EXPECT_FALSE(IsValidSid(nullptr));
}

}  // namespace

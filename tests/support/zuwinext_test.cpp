#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <utility>

#include "common/recording_log_sink.h"
#include "common/scripted_machine.h"
#include "support/scopedsafearray.h"
#include "support/zuwinext.h"

namespace {

using ECall = CScriptedMachine::ECall;

// The token queries of the helper read the host token through the machine;
// every failure gives the "unknown" answer, is logged and closes the token
// (shown on the integrity level: both read the token the same way).
TEST(ZuWinExt, TokenQueries) {
  CScriptedMachine machine;
  machine.dwIntegrityRid = SECURITY_MANDATORY_HIGH_RID;
  EXPECT_EQ(zuGetIntegrityLevel(), DWORD{SECURITY_MANDATORY_HIGH_RID});
  machine.dwIsAppContainer = 1;
  EXPECT_TRUE(zuIsAppContainer());
  // The token, the size query, the read.
  const std::pair<ECall, unsigned> kFailures[] = {{ECall::OpenProcessToken, 1},
                                                  {ECall::GetTokenInformation, 1},
                                                  {ECall::GetTokenInformation, 2}};
  for (const auto& [eCall, uOccurrence] : kFailures) {
    CRecordingLogSink sink;
    machine.FailCall(eCall, ERROR_ACCESS_DENIED, uOccurrence);
    EXPECT_EQ(zuGetIntegrityLevel(), 0u);
    EXPECT_EQ(sink.Count(), 1u) << sink.Dump();
    EXPECT_EQ(machine.Unreleased(), 0u);
  }
}

// A failed release is logged and reported, also through the array's owner.
TEST(ZuWinExt, ReleaseFunctionsReportTheirResult) {
  CRecordingLogSink sink;
  EXPECT_EQ(zuSafeArrayDestroy(nullptr, ZU_RELEASE_TEMPORARY), S_OK);
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_EQ(SafeArrayLock(psa), S_OK);
  CScopedSafeArray owner(psa);
  EXPECT_EQ(owner.Reset(), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(sink.Count(), 1u) << sink.Dump();
  ASSERT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(zuSafeArrayDestroy(psa, ZU_RELEASE_CALLER_ARGUMENT), S_OK);
}

}  // namespace

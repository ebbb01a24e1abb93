// Conformance of the security calls: SIDs as text, the adjustment of
// privileges in the process token, the token's user, owner and primary
// group, the security descriptor of the process object and its SDDL text,
// and the COM call context. (Privileges by name and SID comparison are
// checked through the trust check and ModifyPrivs, which reach the same
// calls in both builds.)

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <sddl.h>

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "common/conformance.h"
#include "platform/counted_object.h"
#include "platform/machine_owners.h"
#include "platform/win32_helpers.h"

namespace {

using OleString = std::basic_string<OLECHAR>;

// The text for a failure message; the texts here are ASCII.
std::string Narrow(const OleString& text) { return std::string(text.begin(), text.end()); }

std::vector<BYTE> Sid(const OLECHAR* pszText) {
  CMachineLocal<void> sid;
  if (!ConvertStringSidToSidW(pszText, sid.Receive())) return {};
  const BYTE* p = static_cast<const BYTE*>(sid.Get());
  return std::vector<BYTE>(p, p + GetLengthSid(sid.Get()));
}

OleString Text(const void* pSid) {
  CMachineLocal<WCHAR> text;
  if (!ConvertSidToStringSidW(const_cast<void*>(pSid), text.Receive())) return OLESTR("(none)");
  return OleString(text.Get());
}

// SIDs are written as they read: a 48-bit authority in hexadecimal, the
// largest sub-authority in full; a SID of another revision is refused.
TEST(SidTextTest, SidsAreWrittenAsTheyRead) {
  const std::pair<const OLECHAR*, const char*> rows[] = {
      {OLESTR("S-1-5-21-1111-2222-3333-1001"), nullptr},
      {OLESTR("S-1-5-21-4294967295-0-1-500"), nullptr},
      {OLESTR("S-1-0x123456789ABC-7"), "Wine reads no hexadecimal authority"}};
  for (const auto& [pszText, pszWineDiffers] : rows) {
    const std::vector<BYTE> sid = Sid(pszText);
    const OleString written = sid.empty() ? OLESTR("(refused)") : Text(sid.data());
    EXPECT_TRUE(written == pszText || WINE_DIFFERS(pszWineDiffers != nullptr, pszWineDiffers))
        << Narrow(written);
  }
  LPWSTR pszText = nullptr;
  std::vector<BYTE> badRevision = Sid(OLESTR("S-1-5-18"));
  badRevision[0] = 2;
  EXPECT_EQ(FAILURE_OF(ConvertSidToStringSidW(badRevision.data(), &pszText)),
            DWORD{ERROR_INVALID_SID});
}

// The attributes of a privilege in the process token, or kNotHeld.
constexpr DWORD kNotHeld = 0xFFFFFFFF;

DWORD HeldAttributes(HANDLE hToken, DWORD dwLuid) {
  const std::vector<BYTE> buffer = TokenInformation(hToken, TokenPrivileges);
  if (buffer.empty()) return 0xFFFFFFFE;
  const auto* pHeld = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  EXPECT_EQ(buffer.size(), sizeof(DWORD) + pHeld->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES));
  for (const LUID_AND_ATTRIBUTES& entry : std::span(pHeld->Privileges, pHeld->PrivilegeCount)) {
    if (entry.Luid.LowPart == dwLuid && entry.Luid.HighPart == 0) return entry.Attributes;
  }
  return kNotHeld;
}

// The last error of an adjustment of one privilege (one that succeeds sets
// it too), with the top bit set when the call failed.
DWORD Adjust(HANDLE hToken, DWORD dwLuid, DWORD dwAttributes) {
  TOKEN_PRIVILEGES request{1, {{{dwLuid, 0}, dwAttributes}}};
  SetLastError(0xDEAD);
  const BOOL bAdjusted = AdjustTokenPrivileges(hToken, FALSE, &request, 0, nullptr, nullptr);
  return GetLastError() | (bAdjusted ? 0 : 0x80000000);
}

constexpr DWORD kChangeNotify = 23, kUndock = 25;

// Disabling and enabling, an entry for a privilege not held, the access
// needed, and a removal that is final through every handle.
TEST(PrivilegeTest, AdjustmentOfTheProcessToken) {
  CMachineHandle token, again, queryOnly;
  constexpr DWORD kAdjust = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), kAdjust, token.Receive()) &&
              OpenProcessToken(GetCurrentProcess(), kAdjust, again.Receive()) &&
              OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, queryOnly.Receive()));
  ASSERT_NE(HeldAttributes(token.Get(), kChangeNotify), kNotHeld) << "every account holds it";

  EXPECT_EQ(Adjust(token.Get(), kChangeNotify, 0), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(HeldAttributes(token.Get(), kChangeNotify) & SE_PRIVILEGE_ENABLED, 0u);
  EXPECT_EQ(Adjust(token.Get(), kChangeNotify, SE_PRIVILEGE_ENABLED), DWORD{ERROR_SUCCESS});
  EXPECT_NE(HeldAttributes(token.Get(), kChangeNotify) & SE_PRIVILEGE_ENABLED, 0u);
  EXPECT_EQ(Adjust(token.Get(), 0, 0), DWORD{ERROR_NOT_ALL_ASSIGNED});
  EXPECT_EQ(Adjust(queryOnly.Get(), kChangeNotify, SE_PRIVILEGE_ENABLED),
            DWORD{ERROR_ACCESS_DENIED} | 0x80000000);

  if (HeldAttributes(token.Get(), kUndock) == kNotHeld) GTEST_SKIP() << "no undock privilege";
  EXPECT_EQ(Adjust(token.Get(), kUndock, SE_PRIVILEGE_REMOVED), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(HeldAttributes(token.Get(), kUndock), kNotHeld);
  EXPECT_EQ(Adjust(again.Get(), kUndock, SE_PRIVILEGE_ENABLED), DWORD{ERROR_NOT_ALL_ASSIGNED});
  EXPECT_EQ(HeldAttributes(again.Get(), kUndock), kNotHeld);
}

std::vector<BYTE> TokenSid(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass) {
  std::vector<BYTE> buffer = TokenInformation(hToken, eClass);
  // The first member of each answer.
  BYTE* const pSid =
      buffer.size() < sizeof(BYTE*) ? nullptr : *reinterpret_cast<BYTE**>(buffer.data());
  if (pSid == nullptr) return {};
  const bool bInside =
      pSid >= buffer.data() && pSid + GetLengthSid(pSid) <= buffer.data() + buffer.size();
  EXPECT_TRUE(bInside) << "the SID lies in the same buffer";
  if (!bInside || !IsValidSid(pSid)) return {};
  return std::vector<BYTE>(pSid, pSid + GetLengthSid(pSid));
}

// The token's user owns it; natively root is the local system account and
// every other account and every group is of the machine domain. The
// process object has them as owner and group and grants full access to the
// owner and to the local system account. A descriptor whose access list
// leaves out part of its last entry is refused, nothing beyond it read.
TEST(SecurityInfoTest, ProcessObjectOwnerGroupAndAccessList) {
  CMachineHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()));
  const std::vector<BYTE> user = TokenSid(token.Get(), TokenUser);
  const std::vector<BYTE> group = TokenSid(token.Get(), TokenPrimaryGroup);
  ASSERT_FALSE(user.empty() || group.empty() || TokenSid(token.Get(), TokenOwner).empty());
  PSID pOwner = nullptr, pGroup = nullptr;
  PACL pDacl = nullptr;
  CMachineLocal<void> sd;
  const SECURITY_INFORMATION all =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  ASSERT_EQ(GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, all, &pOwner, &pGroup, &pDacl,
                            nullptr, sd.Receive()),
            DWORD{ERROR_SUCCESS});
  ASSERT_TRUE(IsValidSid(pOwner) && IsValidSid(pGroup) && pDacl != nullptr);
  CMachineLocal<WCHAR> text;
  ULONG cch = 0;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.Get(), SDDL_REVISION_1, all,
                                                                   text.Receive(), &cch));
  const OleString sddl(text.Get());
  EXPECT_TRUE(cch == sddl.size() + 1 && sddl.rfind(OLESTR("O:"), 0) == 0 &&
              sddl.find(OLESTR("G:")) != OleString::npos &&
              sddl.find(OLESTR("D:")) != OleString::npos)
      << Narrow(sddl);
  // Reading a descriptor needs READ_CONTROL on the handle.
  for (DWORD dwAccess : {DWORD{PROCESS_QUERY_LIMITED_INFORMATION},
                         DWORD{READ_CONTROL | PROCESS_QUERY_INFORMATION}}) {
    CMachineHandle process(OpenProcess(dwAccess, FALSE, GetCurrentProcessId()));
    CMachineLocal<void> read;
    const DWORD error = GetSecurityInfo(process.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                        nullptr, nullptr, nullptr, nullptr, read.Receive());
    EXPECT_TRUE((dwAccess & READ_CONTROL)
                    ? error == ERROR_SUCCESS
                    : error == ERROR_ACCESS_DENIED ||
                          WINE_DIFFERS(error == ERROR_SUCCESS, "Wine does not check READ_CONTROL"))
        << dwAccess;
  }
  if (!kNativeLayer) return;

  EXPECT_EQ(TokenSid(token.Get(), TokenOwner), user);
  const OleString userText = Text(user.data()), groupText = Text(group.data());
  EXPECT_TRUE((userText == OLESTR("S-1-5-18") || userText.rfind(OLESTR("S-1-5-21-"), 0) == 0) &&
              groupText.rfind(OLESTR("S-1-5-21-"), 0) == 0 && group.size() == 28u);
  // The descriptor's owner and group are the token's user and group.
  const OleString owner = userText == OLESTR("S-1-5-18") ? OLESTR("SY") : userText;
  OleString expected = OLESTR("O:") + owner + OLESTR("G:") + groupText +
                       OLESTR("D:(A;;0x1fffff;;;") + owner + OLESTR(")");
  if (owner != OLESTR("SY")) expected += OLESTR("(A;;0x1fffff;;;SY)");
  EXPECT_EQ(sddl, expected);

  const DWORD dwDacl = static_cast<SECURITY_DESCRIPTOR_RELATIVE*>(sd.Get())->Dacl;
  reinterpret_cast<ACL*>(static_cast<BYTE*>(sd.Get()) + dwDacl)->AclSize -= 4;
  CMachineLocal<WCHAR> refused;
  EXPECT_EQ(FAILURE_OF(ConvertSecurityDescriptorToStringSecurityDescriptorW(
                sd.Get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, refused.Receive(), nullptr)),
            DWORD{ERROR_INVALID_ACL});
}

// A switched-in context is handed out with a reference, to its own thread
// only, and switched out again; then there is none and the output is
// cleared.
TEST(CallContextTest, SwitchedContextIsHandedOut) {
  CCountedObject context;  // as a host installs one for the current call
  IUnknown* pPrevious = reinterpret_cast<IUnknown*>(0x1);
  ASSERT_EQ(CoSwitchCallContext(context.Unknown(), &pPrevious), S_OK);
  // No call was in progress; the context is stored without a reference.
  EXPECT_TRUE(pPrevious == nullptr && context.m_cRefs == 1);
  IUnknown* pGot = nullptr;
  EXPECT_EQ(CoGetCallContext(IID_IUnknown, reinterpret_cast<void**>(&pGot)), S_OK);
  EXPECT_TRUE(pGot == context.Unknown() && context.m_cRefs == 2);
  if (pGot != nullptr) pGot->Release();

  HRESULT hrOther = S_OK;
  CMachineHandle thread(StartThread(
      [](LPVOID p) -> DWORD {
        void* pv = nullptr;
        *static_cast<HRESULT*>(p) = CoGetCallContext(IID_IUnknown, &pv);
        return 0;
      },
      &hrOther));
  ASSERT_EQ(WaitForSingleObject(thread.Get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(hrOther, RPC_E_CALL_COMPLETE) << "another thread serves no call";

  IUnknown* pMine = nullptr;
  EXPECT_TRUE(CoSwitchCallContext(nullptr, &pMine) == S_OK && pMine == context.Unknown());
  EXPECT_EQ(CoGetCallContext(IID_IUnknown, reinterpret_cast<void**>(&pMine)), RPC_E_CALL_COMPLETE);
  EXPECT_TRUE(pMine == nullptr ||
              WINE_DIFFERS(pMine == context.Unknown(), "Wine leaves the output as it was"));
}

}  // namespace

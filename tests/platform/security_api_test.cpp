// Conformance of the security calls: SIDs as text and their comparison,
// privileges by name and their adjustment in the process token, the
// token's user, owner and primary group, the security descriptor of the
// process object and its SDDL text, and the COM call context.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/conformance.h"
#include "platform/counted_object.h"
#include "platform/win32_helpers.h"

namespace {

using OleString = std::basic_string<OLECHAR>;

// The text for a failure message; the texts here are ASCII.
std::string Narrow(const OleString& text) { return std::string(text.begin(), text.end()); }

// Memory from LocalAlloc, released on every path.
template <class T>
struct CLocal {
  ~CLocal() { LocalFree(p); }
  T** Put() { return &p; }
  T* Get() const { return p; }
  T* p = nullptr;
};

std::vector<BYTE> Sid(const OLECHAR* pszText) {
  CLocal<void> sid;
  if (!ConvertStringSidToSidW(pszText, sid.Put())) return {};
  const BYTE* p = static_cast<const BYTE*>(sid.Get());
  return std::vector<BYTE>(p, p + GetLengthSid(sid.Get()));
}

OleString Text(const void* pSid) {
  CLocal<WCHAR> text;
  if (!ConvertSidToStringSidW(const_cast<void*>(pSid), text.Put())) return OLESTR("(none)");
  return OleString(text.Get());
}

// The text a SID text reads back as, or the error that refuses it.
TEST(SidTextTest, TextsReadAndWrittenBack) {
  struct SRow {
    const OLECHAR* pszText;
    const OLECHAR* pszWritten;  // null: refused with ERROR_INVALID_SID
    const char* pszWineDiffers;
  };
  const char* kCut = "Wine cuts what does not fit";
  // clang-format off
  const SRow rows[] = {
      {OLESTR("S-1-5-18"), OLESTR("S-1-5-18"), nullptr},
      {OLESTR("S-1-5-21-1111-2222-3333-1001"), OLESTR("S-1-5-21-1111-2222-3333-1001"), nullptr},
      {OLESTR("S-1-5-21-4294967295-0-1-500"), OLESTR("S-1-5-21-4294967295-0-1-500"), nullptr},
      {OLESTR("SY"), OLESTR("S-1-5-18"), nullptr}, {OLESTR("LW"), OLESTR("S-1-16-4096"), nullptr},
      {OLESTR("S-1-0x123456789ABC-7"), OLESTR("S-1-0x123456789ABC-7"),
       "Wine reads no hexadecimal authority"},
      {OLESTR("S-1-5-4294967296"), nullptr, kCut},
      {OLESTR("S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"), nullptr, kCut},
      {OLESTR(""), nullptr, nullptr}, {OLESTR("S-1"), nullptr, nullptr},
      {OLESTR("S-2-5-18"), nullptr, nullptr}, {OLESTR("S-1-5-"), nullptr, nullptr},
      {OLESTR("S-1-5-18x"), nullptr, nullptr}, {OLESTR("QQ"), nullptr, nullptr}};
  // clang-format on
  for (const SRow& row : rows) {
    CLocal<void> sid;
    const DWORD error = FAILURE_OF(ConvertStringSidToSidW(row.pszText, sid.Put()));
    const OleString written = error == kSucceeded ? Text(sid.Get()) : OLESTR("(refused)");
    const bool bExpected = row.pszWritten != nullptr
                               ? written == row.pszWritten && IsValidSid(sid.Get())
                               : error == DWORD{ERROR_INVALID_SID};
    EXPECT_TRUE(bExpected || WINE_DIFFERS(row.pszWineDiffers != nullptr, row.pszWineDiffers))
        << Narrow(row.pszText) << " -> " << Narrow(written) << " " << error;
  }
  PSID pSid = nullptr;
  EXPECT_EQ(FAILURE_OF(ConvertStringSidToSidW(nullptr, &pSid)), DWORD{ERROR_INVALID_PARAMETER});
  LPWSTR pszText = nullptr;
  std::vector<BYTE> badRevision = Sid(OLESTR("S-1-5-18"));
  badRevision[0] = 2;
  EXPECT_EQ(FAILURE_OF(ConvertSidToStringSidW(badRevision.data(), &pszText)),
            DWORD{ERROR_INVALID_SID});
}

TEST(SidTest, EqualPrefixComparesAllButTheLastSubAuthority) {
  std::vector<BYTE> group = Sid(OLESTR("S-1-5-21-1111-2222-3333-513"));
  const std::pair<const OLECHAR*, BOOL> rows[] = {
      {OLESTR("S-1-5-21-1111-2222-3333-1001"), TRUE},
      {OLESTR("S-1-5-21-1111-2222-4444-1001"), FALSE},
      {OLESTR("S-1-5-21-1111-2222-3333-1001-1"), FALSE},
      {OLESTR("S-1-16-21-1111-2222-3333-1001"), FALSE},
      {OLESTR("S-1-5-32-544"), FALSE},
  };
  for (const auto& [pszSid, bEqual] : rows) {
    EXPECT_EQ(EqualPrefixSid(group.data(), Sid(pszSid).data()), bEqual) << Narrow(pszSid);
  }
}

TEST(PrivilegeTest, LookupByNameAndValue) {
  struct SRow {
    const OLECHAR* pszSystem;
    const OLECHAR* pszName;
    DWORD dwLuid;  // 0: no such privilege
  };
  const SRow rows[] = {
      {nullptr, OLESTR("SeDebugPrivilege"), 20},
      {nullptr, OLESTR("sechangenotifyprivilege"), 23},  // without regard to case
      {OLESTR(""), OLESTR("SeTcbPrivilege"), 7},
      {nullptr, OLESTR("SeNoSuchPrivilege"), 0},
  };
  for (const auto& [pszSystem, pszName, dwLuid] : rows) {
    LUID luid{0, -1};
    const DWORD error = FAILURE_OF(LookupPrivilegeValueW(pszSystem, pszName, &luid));
    EXPECT_EQ(error, dwLuid != 0 ? kSucceeded : DWORD{ERROR_NO_SUCH_PRIVILEGE}) << Narrow(pszName);
    EXPECT_TRUE(dwLuid == 0 || (luid.LowPart == dwLuid && luid.HighPart == 0)) << Narrow(pszName);
  }
  LUID debug{20, 0};
  WCHAR name[64];
  DWORD cch = 4;
  EXPECT_EQ(FAILURE_OF(LookupPrivilegeNameW(nullptr, &debug, name, &cch)),
            DWORD{ERROR_INSUFFICIENT_BUFFER});
  EXPECT_EQ(cch, 17u) << "the length with the terminator";
  cch = 64;
  ASSERT_TRUE(LookupPrivilegeNameW(nullptr, &debug, name, &cch));
  EXPECT_EQ(OleString(name), OLESTR("SeDebugPrivilege"));
  EXPECT_EQ(cch, 16u);
}

// The attributes of a privilege in the process token, or kNotHeld.
constexpr DWORD kNotHeld = 0xFFFFFFFF;

DWORD HeldAttributes(HANDLE hToken, DWORD dwLuid) {
  const std::vector<BYTE> buffer = TokenInformation(hToken, TokenPrivileges);
  if (buffer.empty()) return 0xFFFFFFFE;
  DWORD count = 0;
  std::memcpy(&count, buffer.data(), sizeof count);
  EXPECT_EQ(buffer.size(), sizeof(DWORD) + count * sizeof(LUID_AND_ATTRIBUTES));
  for (DWORD i = 0; i < count; ++i) {
    LUID_AND_ATTRIBUTES entry;
    std::memcpy(&entry, buffer.data() + sizeof(DWORD) + i * sizeof entry, sizeof entry);
    if (entry.Luid.LowPart == dwLuid && entry.Luid.HighPart == 0) return entry.Attributes;
  }
  return kNotHeld;
}

// The last error of an adjustment of one privilege (one that succeeds sets
// it too), with the top bit set when the call failed.
DWORD Adjust(HANDLE hToken, DWORD dwLuid, DWORD dwAttributes,
             TOKEN_PRIVILEGES* pPrevious = nullptr) {
  TOKEN_PRIVILEGES request{};
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid.LowPart = dwLuid;
  request.Privileges[0].Attributes = dwAttributes;
  DWORD cb = 0;
  SetLastError(0xDEAD);
  if (!AdjustTokenPrivileges(hToken, FALSE, &request, pPrevious ? sizeof *pPrevious : 0, pPrevious,
                             pPrevious ? &cb : nullptr)) {
    return GetLastError() | 0x80000000;
  }
  return GetLastError();
}

constexpr DWORD kChangeNotify = 23;
constexpr DWORD kUndock = 25;

// Disabling and enabling, the previous state, an entry for a privilege not
// held, the access needed, and a removal that is final through every
// handle.
TEST(PrivilegeTest, AdjustmentOfTheProcessToken) {
  CScopedHandle token;
  CScopedHandle again;
  CScopedHandle queryOnly;
  constexpr DWORD kAdjust = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), kAdjust, token.Put()) &&
              OpenProcessToken(GetCurrentProcess(), kAdjust, again.Put()) &&
              OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, queryOnly.Put()));
  ASSERT_NE(HeldAttributes(token.Get(), kChangeNotify), kNotHeld) << "every account holds it";

  TOKEN_PRIVILEGES previous{};
  EXPECT_EQ(Adjust(token.Get(), kChangeNotify, 0, &previous), DWORD{ERROR_SUCCESS});
  ASSERT_EQ(previous.PrivilegeCount, 1u) << "the privilege's state before";
  EXPECT_EQ(previous.Privileges[0].Luid.LowPart, kChangeNotify);
  EXPECT_NE(previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED, 0u);
  EXPECT_EQ(HeldAttributes(token.Get(), kChangeNotify) & SE_PRIVILEGE_ENABLED, 0u);
  EXPECT_EQ(Adjust(token.Get(), kChangeNotify, SE_PRIVILEGE_ENABLED), DWORD{ERROR_SUCCESS});
  EXPECT_NE(HeldAttributes(token.Get(), kChangeNotify) & SE_PRIVILEGE_ENABLED, 0u);
  EXPECT_EQ(Adjust(token.Get(), 0, 0), DWORD{ERROR_NOT_ALL_ASSIGNED});
  EXPECT_EQ(Adjust(queryOnly.Get(), kChangeNotify, SE_PRIVILEGE_ENABLED),
            DWORD{ERROR_ACCESS_DENIED} | 0x80000000);
  // Without a new state the arguments are refused before the handle.
  const DWORD noState =
      FAILURE_OF(AdjustTokenPrivileges(nullptr, FALSE, nullptr, 0, nullptr, nullptr));
  EXPECT_TRUE(noState == ERROR_INVALID_PARAMETER ||
              WINE_DIFFERS(noState == ERROR_NOACCESS, "Wine reads the missing state first"));

  if (HeldAttributes(token.Get(), kUndock) == kNotHeld) GTEST_SKIP() << "no undock privilege";
  EXPECT_EQ(Adjust(token.Get(), kUndock, SE_PRIVILEGE_REMOVED), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(HeldAttributes(token.Get(), kUndock), kNotHeld);
  EXPECT_EQ(Adjust(again.Get(), kUndock, SE_PRIVILEGE_ENABLED), DWORD{ERROR_NOT_ALL_ASSIGNED});
  EXPECT_EQ(HeldAttributes(again.Get(), kUndock), kNotHeld);
}

std::vector<BYTE> TokenSid(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass) {
  std::vector<BYTE> buffer = TokenInformation(hToken, eClass);
  if (buffer.size() < sizeof(BYTE*)) return {};
  BYTE* pSid = nullptr;
  std::memcpy(&pSid, buffer.data(), sizeof pSid);  // the first member of each answer
  const bool bInside =
      pSid >= buffer.data() && pSid + GetLengthSid(pSid) <= buffer.data() + buffer.size();
  EXPECT_TRUE(bInside) << "the SID lies in the same buffer";
  if (!bInside || !IsValidSid(pSid)) return {};
  return std::vector<BYTE>(pSid, pSid + GetLengthSid(pSid));
}

// The token's user owns it; natively root is the local system account and
// every other account and every group is of the machine domain. The
// process object has them as owner and group and grants full access to the
// owner and to the local system account.
TEST(SecurityInfoTest, ProcessObjectOwnerGroupAndAccessList) {
  CScopedHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()));
  const std::vector<BYTE> user = TokenSid(token.Get(), TokenUser);
  const std::vector<BYTE> group = TokenSid(token.Get(), TokenPrimaryGroup);
  ASSERT_FALSE(user.empty());
  ASSERT_FALSE(group.empty());
  ASSERT_FALSE(TokenSid(token.Get(), TokenOwner).empty());

  PSID pOwner = nullptr;
  PSID pGroup = nullptr;
  PACL pDacl = nullptr;
  CLocal<void> sd;
  const SECURITY_INFORMATION all =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  ASSERT_EQ(GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, all, &pOwner, &pGroup, &pDacl,
                            nullptr, sd.Put()),
            DWORD{ERROR_SUCCESS});
  ASSERT_TRUE(IsValidSid(pOwner) && IsValidSid(pGroup) && pDacl != nullptr);
  CLocal<WCHAR> text;
  ULONG cch = 0;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.Get(), SDDL_REVISION_1, all,
                                                                   text.Put(), &cch));
  const OleString sddl(text.Get());
  EXPECT_EQ(cch, sddl.size() + 1);
  EXPECT_EQ(sddl.rfind(OLESTR("O:"), 0), 0u) << Narrow(sddl);
  EXPECT_NE(sddl.find(OLESTR("G:")), OleString::npos);
  EXPECT_NE(sddl.find(OLESTR("D:")), OleString::npos);
  if (!kNativeLayer) return;

  EXPECT_EQ(TokenSid(token.Get(), TokenOwner), user);
  EXPECT_TRUE(Text(user.data()) == OLESTR("S-1-5-18") ||
              Text(user.data()).rfind(OLESTR("S-1-5-21-"), 0) == 0);
  EXPECT_EQ(Text(group.data()).rfind(OLESTR("S-1-5-21-"), 0), 0u);
  EXPECT_EQ(group.size(), 28u);
  // The descriptor's owner and group are the token's user and group.
  const OleString owner =
      Text(user.data()) == OLESTR("S-1-5-18") ? OLESTR("SY") : Text(user.data());
  OleString expected = OLESTR("O:") + owner + OLESTR("G:") + Text(group.data()) +
                       OLESTR("D:(A;;0x1fffff;;;") + owner + OLESTR(")");
  if (owner != OLESTR("SY")) expected += OLESTR("(A;;0x1fffff;;;SY)");
  EXPECT_EQ(sddl, expected);
}

TEST(SecurityInfoTest, AskedPartsOnlyAndAccessChecked) {
  CLocal<void> sd;
  ASSERT_EQ(GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, nullptr, nullptr, sd.Put()),
            DWORD{ERROR_SUCCESS});
  CLocal<WCHAR> text;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      sd.Get(), SDDL_REVISION_1,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      text.Put(), nullptr));
  EXPECT_EQ(OleString(text.Get()).rfind(OLESTR("D:"), 0), 0u) << "no owner or group read";
  LPWSTR pszText = nullptr;
  EXPECT_EQ(FAILURE_OF(ConvertSecurityDescriptorToStringSecurityDescriptorW(
                sd.Get(), 2, DACL_SECURITY_INFORMATION, &pszText, nullptr)),
            DWORD{ERROR_UNKNOWN_REVISION});

  // Reading a descriptor needs READ_CONTROL on the handle.
  for (DWORD dwAccess : {DWORD{PROCESS_QUERY_LIMITED_INFORMATION},
                         DWORD{READ_CONTROL | PROCESS_QUERY_INFORMATION}}) {
    CScopedHandle process(OpenProcess(dwAccess, FALSE, GetCurrentProcessId()));
    CLocal<void> read;
    const DWORD error = GetSecurityInfo(process.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                        nullptr, nullptr, nullptr, nullptr, read.Put());
    EXPECT_TRUE((dwAccess & READ_CONTROL)
                    ? error == ERROR_SUCCESS
                    : error == ERROR_ACCESS_DENIED ||
                          WINE_DIFFERS(error == ERROR_SUCCESS, "Wine does not check READ_CONTROL"))
        << dwAccess;
  }
}

// A descriptor built by hand, in the self-relative form: the text of its
// parts, flags and access rights; natively, a list whose size leaves out
// part of its last entry is refused, nothing beyond it being read.
TEST(SecurityInfoTest, TextOfAHandBuiltDescriptor) {
  struct SAce {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    const OLECHAR* pszSid;
  };
  const SAce aces[] = {
      {ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1F01FF,
       OLESTR("S-1-5-32-545")},
      {ACCESS_DENIED_ACE_TYPE, 0, GENERIC_ALL, OLESTR("S-1-1-0")},
      {ACCESS_ALLOWED_ACE_TYPE, 0, 0x1FFFFF, OLESTR("S-1-5-21-1-2-3-1001")},
      {ACCESS_ALLOWED_ACE_TYPE, INHERITED_ACE, READ_CONTROL | WRITE_DAC, OLESTR("S-1-5-18")},
  };
  std::vector<BYTE> dacl(sizeof(ACL));
  for (const SAce& ace : aces) {
    const std::vector<BYTE> sid = Sid(ace.pszSid);
    ACCESS_ALLOWED_ACE header{};
    header.Header = {ace.type, ace.flags, static_cast<WORD>(8 + sid.size())};
    header.Mask = ace.mask;
    dacl.insert(dacl.end(), reinterpret_cast<BYTE*>(&header), reinterpret_cast<BYTE*>(&header) + 8);
    dacl.insert(dacl.end(), sid.begin(), sid.end());
  }
  ACL acl{ACL_REVISION, 0, static_cast<WORD>(dacl.size()), 4, 0};
  std::memcpy(dacl.data(), &acl, sizeof acl);
  const std::vector<BYTE> owner = Sid(OLESTR("S-1-5-18"));
  const std::vector<BYTE> group = Sid(OLESTR("S-1-5-32-544"));
  SECURITY_DESCRIPTOR_RELATIVE header{};
  header.Revision = SECURITY_DESCRIPTOR_REVISION;
  header.Control = SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED;
  header.Owner = sizeof header;
  header.Group = static_cast<DWORD>(header.Owner + owner.size());
  header.Dacl = static_cast<DWORD>(header.Group + group.size());
  std::vector<BYTE> sd(reinterpret_cast<BYTE*>(&header),
                       reinterpret_cast<BYTE*>(&header) + sizeof header);
  for (const std::vector<BYTE>* pPart :
       {&owner, &group, const_cast<const std::vector<BYTE>*>(&dacl)})
    sd.insert(sd.end(), pPart->begin(), pPart->end());
  CLocal<WCHAR> text;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      sd.data(), SDDL_REVISION_1,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      text.Put(), nullptr));
  EXPECT_EQ(OleString(text.Get()), OLESTR("O:SYG:BAD:P(A;OICI;FA;;;BU)(D;;GA;;;WD)"
                                          "(A;;0x1fffff;;;S-1-5-21-1-2-3-1001)(A;ID;RCWD;;;SY)"));
  if (!kNativeLayer) return;
  acl.AclSize = static_cast<WORD>(dacl.size() - 4);
  std::memcpy(sd.data() + header.Dacl, &acl, sizeof acl);
  sd.resize(sd.size() - 4);
  sd.shrink_to_fit();
  CLocal<WCHAR> refused;
  EXPECT_EQ(FAILURE_OF(ConvertSecurityDescriptorToStringSecurityDescriptorW(
                sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, refused.Put(), nullptr)),
            DWORD{ERROR_INVALID_ACL});
}

// A switched-in context is handed out with a reference, to its own thread
// only, and switched out again; then there is none and the output is
// cleared.
TEST(CallContextTest, SwitchedContextIsHandedOut) {
  CCountedObject context;  // as a host installs one for the current call
  IUnknown* pPrevious = reinterpret_cast<IUnknown*>(0x1);
  ASSERT_EQ(CoSwitchCallContext(context.Unknown(), &pPrevious), S_OK);
  EXPECT_EQ(pPrevious, nullptr) << "no call was in progress";
  EXPECT_EQ(context.m_cRefs, 1) << "stored without a reference";
  IUnknown* pGot = nullptr;
  EXPECT_EQ(CoGetCallContext(IID_IUnknown, reinterpret_cast<void**>(&pGot)), S_OK);
  EXPECT_EQ(pGot, context.Unknown());
  EXPECT_EQ(context.m_cRefs, 2);
  if (pGot != nullptr) pGot->Release();
  void* pFactory = nullptr;
  EXPECT_EQ(CoGetCallContext(IID_IClassFactory, &pFactory), E_NOINTERFACE);

  HRESULT hrOther = S_OK;
  CScopedHandle thread(StartThread(
      [](LPVOID p) -> DWORD {
        void* pv = nullptr;
        *static_cast<HRESULT*>(p) = CoGetCallContext(IID_IUnknown, &pv);
        return 0;
      },
      &hrOther));
  ASSERT_NE(thread.Get(), nullptr);
  WaitForSingleObject(thread.Get(), INFINITE);
  EXPECT_EQ(hrOther, RPC_E_CALL_COMPLETE) << "another thread serves no call";

  IUnknown* pMine = nullptr;
  ASSERT_EQ(CoSwitchCallContext(nullptr, &pMine), S_OK);
  EXPECT_EQ(pMine, context.Unknown());
  EXPECT_EQ(CoGetCallContext(IID_IUnknown, reinterpret_cast<void**>(&pMine)), RPC_E_CALL_COMPLETE);
  EXPECT_TRUE(pMine == nullptr ||
              WINE_DIFFERS(pMine == context.Unknown(), "Wine leaves the output as it was"));
}

}  // namespace

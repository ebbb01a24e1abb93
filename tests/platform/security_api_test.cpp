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

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "common/conformance.h"
#include "platform/win32_helpers.h"

namespace {

using OleString = std::basic_string<OLECHAR>;

// The text for a failure message; the texts here are ASCII.
std::string ToUtf8Text(const OLECHAR* psz) {
  std::string text;
  for (; psz != nullptr && *psz != 0; ++psz) text.push_back(static_cast<char>(*psz));
  return text;
}

// Memory from LocalAlloc, released on every path.
template <class T>
class CLocal {
 public:
  CLocal() = default;
  ~CLocal() {
    if (m_p != nullptr) LocalFree(m_p);
  }
  CLocal(const CLocal&) = delete;
  CLocal& operator=(const CLocal&) = delete;
  T** Put() { return &m_p; }
  T* Get() const { return m_p; }

 private:
  T* m_p = nullptr;
};

std::vector<BYTE> Sid(const OLECHAR* pszText) {
  CLocal<void> sid;
  if (!ConvertStringSidToSidW(pszText, sid.Put())) return {};
  const BYTE* p = static_cast<const BYTE*>(sid.Get());
  return std::vector<BYTE>(p, p + GetLengthSid(sid.Get()));
}

OleString Text(PSID pSid) {
  CLocal<WCHAR> text;
  if (!ConvertSidToStringSidW(pSid, text.Put())) return OLESTR("(none)");
  return OleString(text.Get());
}

TEST(SidTextTest, TextAndBinaryFormsRoundTrip) {
  for (const OLECHAR* pszSid :
       {OLESTR("S-1-5-18"), OLESTR("S-1-5-21-1111-2222-3333-1001"), OLESTR("S-1-16-4096"),
        OLESTR("S-1-5-21-4294967295-0-1-500"), OLESTR("S-1-1-0")}) {
    std::vector<BYTE> sid = Sid(pszSid);
    ASSERT_FALSE(sid.empty()) << ToUtf8Text(pszSid);
    EXPECT_TRUE(IsValidSid(sid.data()));
    EXPECT_EQ(Text(sid.data()), OleString(pszSid));
  }
  // An authority beyond 32 bits is written in hexadecimal.
  std::vector<BYTE> wide = Sid(OLESTR("S-1-0x123456789ABC-7"));
  ASSERT_EQ(wide.size(), 12u);
  const bool bHexAuthority = wide[2] == 0x12 && wide[7] == 0xBC;
  EXPECT_TRUE(bHexAuthority || WINE_DIFFERS(!bHexAuthority, "Wine reads no hexadecimal authority"));
  if (bHexAuthority) {
    EXPECT_EQ(Text(wide.data()), OleString(OLESTR("S-1-0x123456789ABC-7")));
  }
}

TEST(SidTextTest, WellKnownAliases) {
  EXPECT_EQ(Text(Sid(OLESTR("SY")).data()), OleString(OLESTR("S-1-5-18")));
  EXPECT_EQ(Text(Sid(OLESTR("BA")).data()), OleString(OLESTR("S-1-5-32-544")));
  EXPECT_EQ(Text(Sid(OLESTR("WD")).data()), OleString(OLESTR("S-1-1-0")));
  EXPECT_EQ(Text(Sid(OLESTR("LW")).data()), OleString(OLESTR("S-1-16-4096")));
}

TEST(SidTextTest, RefusesWhatIsNoSid) {
  for (const OLECHAR* pszText :
       {OLESTR(""), OLESTR("S-"), OLESTR("S-1"), OLESTR("S-2-5-18"), OLESTR("S-1-5-"),
        OLESTR("X-1-5-18"), OLESTR("S-1-5-18x"), OLESTR("QQ")}) {
    PSID pSid = nullptr;
    const DWORD error = FAILURE_OF(ConvertStringSidToSidW(pszText, &pSid));
    EXPECT_EQ(error, DWORD{ERROR_INVALID_SID}) << ToUtf8Text(pszText);
    if (error == kSucceeded) LocalFree(pSid);
  }
  // A sub-authority beyond 32 bits, and more than 15 sub-authorities.
  for (const OLECHAR* pszText :
       {OLESTR("S-1-5-4294967296"), OLESTR("S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16")}) {
    PSID pSid = nullptr;
    const DWORD error = FAILURE_OF(ConvertStringSidToSidW(pszText, &pSid));
    EXPECT_TRUE(error == ERROR_INVALID_SID ||
                WINE_DIFFERS(error == kSucceeded, "Wine cuts what does not fit"))
        << ToUtf8Text(pszText);
    if (error == kSucceeded) LocalFree(pSid);
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
  const std::vector<BYTE> group = Sid(OLESTR("S-1-5-21-1111-2222-3333-513"));
  struct SCase {
    const OLECHAR* pszSid;
    BOOL bEqual;
  };
  const SCase cases[] = {
      {OLESTR("S-1-5-21-1111-2222-3333-513"), TRUE},
      {OLESTR("S-1-5-21-1111-2222-3333-1001"), TRUE},
      {OLESTR("S-1-5-21-1111-2222-4444-1001"), FALSE},
      {OLESTR("S-1-5-21-1111-2222-3333-1001-1"), FALSE},
      {OLESTR("S-1-16-21-1111-2222-3333-1001"), FALSE},
      {OLESTR("S-1-5-32-544"), FALSE},
  };
  for (const SCase& c : cases) {
    std::vector<BYTE> other = Sid(c.pszSid);
    EXPECT_EQ(EqualPrefixSid(const_cast<BYTE*>(group.data()), other.data()), c.bEqual)
        << ToUtf8Text(c.pszSid);
  }
}

TEST(PrivilegeTest, LookupByName) {
  LUID luid{};
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, OLESTR("SeDebugPrivilege"), &luid));
  EXPECT_EQ(luid.LowPart, 20u);
  EXPECT_EQ(luid.HighPart, 0);
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, OLESTR("sechangenotifyprivilege"), &luid))
      << "names are matched without regard to case";
  EXPECT_EQ(luid.LowPart, 23u);
  ASSERT_TRUE(LookupPrivilegeValueW(OLESTR(""), OLESTR("SeTcbPrivilege"), &luid));
  EXPECT_EQ(luid.LowPart, 7u);
  EXPECT_EQ(FAILURE_OF(LookupPrivilegeValueW(nullptr, OLESTR("SeNoSuchPrivilege"), &luid)),
            DWORD{ERROR_NO_SUCH_PRIVILEGE});

  luid.LowPart = 20;
  luid.HighPart = 0;
  WCHAR name[64];
  DWORD cch = 4;
  EXPECT_EQ(FAILURE_OF(LookupPrivilegeNameW(nullptr, &luid, name, &cch)),
            DWORD{ERROR_INSUFFICIENT_BUFFER});
  EXPECT_EQ(cch, 17u) << "the length with the terminator";
  cch = 64;
  ASSERT_TRUE(LookupPrivilegeNameW(nullptr, &luid, name, &cch));
  EXPECT_EQ(OleString(name), OleString(OLESTR("SeDebugPrivilege")));
  EXPECT_EQ(cch, 16u);
}

// The attributes of a privilege in the process token, or kNotHeld.
constexpr DWORD kNotHeld = 0xFFFFFFFF;

DWORD HeldAttributes(HANDLE hToken, DWORD dwLuid) {
  DWORD cb = 0;
  EXPECT_EQ(FAILURE_OF(GetTokenInformation(hToken, TokenPrivileges, nullptr, 0, &cb)),
            DWORD{ERROR_INSUFFICIENT_BUFFER});
  std::vector<BYTE> buffer(cb);
  if (!GetTokenInformation(hToken, TokenPrivileges, buffer.data(), cb, &cb)) return 0xFFFFFFFE;
  DWORD count = 0;
  std::memcpy(&count, buffer.data(), sizeof count);
  EXPECT_EQ(cb, sizeof(DWORD) + count * sizeof(LUID_AND_ATTRIBUTES));
  for (DWORD i = 0; i < count; ++i) {
    LUID_AND_ATTRIBUTES entry;
    std::memcpy(&entry, buffer.data() + sizeof(DWORD) + i * sizeof entry, sizeof entry);
    if (entry.Luid.LowPart == dwLuid && entry.Luid.HighPart == 0) return entry.Attributes;
  }
  return kNotHeld;
}

TOKEN_PRIVILEGES OnePrivilege(DWORD dwLuid, DWORD dwAttributes) {
  TOKEN_PRIVILEGES request{};
  request.PrivilegeCount = 1;
  request.Privileges[0].Luid.LowPart = dwLuid;
  request.Privileges[0].Attributes = dwAttributes;
  return request;
}

constexpr DWORD kChangeNotify = 23;
constexpr DWORD kUndock = 25;

TEST(PrivilegeTest, AdjustmentOfTheProcessToken) {
  CScopedHandle token;
  ASSERT_TRUE(
      OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put()));
  // Every account holds the change-notify privilege, enabled by default.
  ASSERT_NE(HeldAttributes(token.Get(), kChangeNotify), kNotHeld);

  TOKEN_PRIVILEGES disable = OnePrivilege(kChangeNotify, 0);
  TOKEN_PRIVILEGES previous{};
  DWORD cbPrevious = 0;
  SetLastError(0xDEAD);
  ASSERT_TRUE(
      AdjustTokenPrivileges(token.Get(), FALSE, &disable, sizeof previous, &previous, &cbPrevious));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
  ASSERT_EQ(previous.PrivilegeCount, 1u) << "the privilege's state before";
  EXPECT_EQ(previous.Privileges[0].Luid.LowPart, kChangeNotify);
  EXPECT_NE(previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED, 0u);
  EXPECT_EQ(HeldAttributes(token.Get(), kChangeNotify) & SE_PRIVILEGE_ENABLED, 0u);

  TOKEN_PRIVILEGES enable = OnePrivilege(kChangeNotify, SE_PRIVILEGE_ENABLED);
  ASSERT_TRUE(AdjustTokenPrivileges(token.Get(), FALSE, &enable, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
  EXPECT_NE(HeldAttributes(token.Get(), kChangeNotify) & SE_PRIVILEGE_ENABLED, 0u);

  // An entry that names no privilege the token holds is passed over.
  TOKEN_PRIVILEGES zero = OnePrivilege(0, 0);
  ASSERT_TRUE(AdjustTokenPrivileges(token.Get(), FALSE, &zero, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_ALL_ASSIGNED});
}

TEST(PrivilegeTest, AdjustmentNeedsItsAccess) {
  CScopedHandle queryOnly;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, queryOnly.Put()));
  TOKEN_PRIVILEGES enable = OnePrivilege(kChangeNotify, SE_PRIVILEGE_ENABLED);
  EXPECT_EQ(FAILURE_OF(AdjustTokenPrivileges(queryOnly.Get(), FALSE, &enable, 0, nullptr, nullptr)),
            DWORD{ERROR_ACCESS_DENIED});
}

TEST(PrivilegeTest, RemovalIsFinal) {
  CScopedHandle token;
  ASSERT_TRUE(
      OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put()));
  if (HeldAttributes(token.Get(), kUndock) == kNotHeld) GTEST_SKIP() << "no undock privilege";
  TOKEN_PRIVILEGES remove = OnePrivilege(kUndock, SE_PRIVILEGE_REMOVED);
  ASSERT_TRUE(AdjustTokenPrivileges(token.Get(), FALSE, &remove, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(HeldAttributes(token.Get(), kUndock), kNotHeld);

  // Through another handle to the same token too.
  CScopedHandle again;
  ASSERT_TRUE(
      OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, again.Put()));
  TOKEN_PRIVILEGES enable = OnePrivilege(kUndock, SE_PRIVILEGE_ENABLED);
  ASSERT_TRUE(AdjustTokenPrivileges(again.Get(), FALSE, &enable, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_ALL_ASSIGNED});
  EXPECT_EQ(HeldAttributes(again.Get(), kUndock), kNotHeld);
}

std::vector<BYTE> TokenSid(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass) {
  DWORD cb = 0;
  EXPECT_EQ(FAILURE_OF(GetTokenInformation(hToken, eClass, nullptr, 0, &cb)),
            DWORD{ERROR_INSUFFICIENT_BUFFER});
  std::vector<BYTE> buffer(cb);
  if (!GetTokenInformation(hToken, eClass, buffer.data(), cb, &cb)) return {};
  PSID pSid = nullptr;
  std::memcpy(&pSid, buffer.data(), sizeof pSid);  // the first member of each answer
  EXPECT_GE(static_cast<BYTE*>(pSid), buffer.data());
  EXPECT_LE(static_cast<BYTE*>(pSid) + GetLengthSid(pSid), buffer.data() + cb)
      << "the SID lies in the same buffer";
  if (!IsValidSid(pSid)) return {};
  return std::vector<BYTE>(static_cast<BYTE*>(pSid), static_cast<BYTE*>(pSid) + GetLengthSid(pSid));
}

TEST(TokenTest, UserOwnerAndPrimaryGroup) {
  CScopedHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()));
  const std::vector<BYTE> user = TokenSid(token.Get(), TokenUser);
  const std::vector<BYTE> owner = TokenSid(token.Get(), TokenOwner);
  const std::vector<BYTE> group = TokenSid(token.Get(), TokenPrimaryGroup);
  ASSERT_FALSE(user.empty());
  ASSERT_FALSE(owner.empty());
  ASSERT_FALSE(group.empty());
  if (kNativeLayer) {
    // The effective user and group: root is the local system account, every
    // other account and every group is of the machine domain.
    EXPECT_EQ(owner, user);
    const OleString userText = Text(const_cast<BYTE*>(user.data()));
    const OleString groupText = Text(const_cast<BYTE*>(group.data()));
    EXPECT_TRUE(userText == OLESTR("S-1-5-18") || userText.rfind(OLESTR("S-1-5-21-"), 0) == 0);
    EXPECT_EQ(groupText.rfind(OLESTR("S-1-5-21-"), 0), 0u);
    EXPECT_EQ(group.size(), 28u);
  }
}

TEST(SecurityInfoTest, ProcessObjectOwnerGroupAndAccessList) {
  PSID pOwner = nullptr;
  PSID pGroup = nullptr;
  PACL pDacl = nullptr;
  CLocal<void> sd;
  ASSERT_EQ(GetSecurityInfo(
                GetCurrentProcess(), SE_KERNEL_OBJECT,
                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                &pOwner, &pGroup, &pDacl, nullptr, sd.Put()),
            DWORD{ERROR_SUCCESS});
  ASSERT_NE(sd.Get(), nullptr);
  ASSERT_TRUE(IsValidSid(pOwner));
  ASSERT_TRUE(IsValidSid(pGroup));
  ASSERT_NE(pDacl, nullptr);

  CLocal<WCHAR> text;
  ULONG cch = 0;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      sd.Get(), SDDL_REVISION_1,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      text.Put(), &cch));
  const OleString sddl(text.Get());
  EXPECT_EQ(cch, sddl.size() + 1);
  EXPECT_EQ(sddl.rfind(OLESTR("O:"), 0), 0u) << ToUtf8Text(sddl.c_str());
  EXPECT_NE(sddl.find(OLESTR("G:")), OleString::npos);
  EXPECT_NE(sddl.find(OLESTR("D:")), OleString::npos);

  if (kNativeLayer) {
    // Owner and group are the token's user and primary group; the list
    // grants full access to the owner and to the local system account.
    CScopedHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()));
    EXPECT_EQ(Sid(Text(pOwner).c_str()), TokenSid(token.Get(), TokenUser));
    EXPECT_EQ(Sid(Text(pGroup).c_str()), TokenSid(token.Get(), TokenPrimaryGroup));
    const OleString owner =
        Text(pOwner) == OLESTR("S-1-5-18") ? OleString(OLESTR("SY")) : Text(pOwner);
    OleString expected = OLESTR("O:") + owner + OLESTR("G:") + Text(pGroup) +
                         OLESTR("D:(A;;0x1fffff;;;") + owner + OLESTR(")");
    if (owner != OLESTR("SY")) expected += OLESTR("(A;;0x1fffff;;;SY)");
    EXPECT_EQ(sddl, expected);
  }
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
  CScopedHandle limited(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
  ASSERT_NE(limited.Get(), nullptr);
  CLocal<void> denied;
  const DWORD error = GetSecurityInfo(limited.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, denied.Put());
  EXPECT_TRUE(error == ERROR_ACCESS_DENIED ||
              WINE_DIFFERS(error == ERROR_SUCCESS, "Wine does not check READ_CONTROL"));
  CScopedHandle readable(
      OpenProcess(READ_CONTROL | PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId()));
  ASSERT_NE(readable.Get(), nullptr);
  CLocal<void> byId;
  EXPECT_EQ(GetSecurityInfo(readable.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, byId.Put()),
            DWORD{ERROR_SUCCESS});
}

// A descriptor built by hand, in the self-relative form: the text of its
// parts, flags and access rights.
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
    header.Header.AceType = ace.type;
    header.Header.AceFlags = ace.flags;
    header.Header.AceSize = static_cast<WORD>(8 + sid.size());
    header.Mask = ace.mask;
    dacl.insert(dacl.end(), reinterpret_cast<BYTE*>(&header), reinterpret_cast<BYTE*>(&header) + 8);
    dacl.insert(dacl.end(), sid.begin(), sid.end());
  }
  ACL acl{};
  acl.AclRevision = ACL_REVISION;
  acl.AclSize = static_cast<WORD>(dacl.size());
  acl.AceCount = 4;
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
  sd.insert(sd.end(), owner.begin(), owner.end());
  sd.insert(sd.end(), group.begin(), group.end());
  sd.insert(sd.end(), dacl.begin(), dacl.end());

  CLocal<WCHAR> text;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      sd.data(), SDDL_REVISION_1,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      text.Put(), nullptr));
  EXPECT_EQ(OleString(text.Get()),
            OleString(OLESTR("O:SYG:BAD:P(A;OICI;FA;;;BU)(D;;GA;;;WD)(A;;0x1fffff;;;S-1-5-21-1-2-3-"
                             "1001)(A;ID;RCWD;;;SY)")));

#ifndef _WIN32
  // A list whose size leaves out part of its last entry is refused, and
  // nothing beyond the list's size is read (the buffer ends there).
  acl.AclSize = static_cast<WORD>(dacl.size() - 4);
  std::memcpy(sd.data() + header.Dacl, &acl, sizeof acl);
  sd.resize(sd.size() - 4);
  sd.shrink_to_fit();
  CLocal<WCHAR> refused;
  SetLastError(0);
  EXPECT_FALSE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, refused.Put(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACL));
#endif
}

// A call context object for the current call, as a host installs one.
class CContextObject final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_refs); }
  LONG Refs() const { return m_refs; }

 private:
  std::atomic<LONG> m_refs{1};
};

TEST(CallContextTest, NoContextOutsideACall) {
  IUnknown* pContext = reinterpret_cast<IUnknown*>(0x1);
  EXPECT_EQ(CoGetCallContext(IID_IUnknown, reinterpret_cast<void**>(&pContext)),
            RPC_E_CALL_COMPLETE);
  EXPECT_TRUE(pContext == nullptr || WINE_DIFFERS(pContext == reinterpret_cast<IUnknown*>(0x1),
                                                  "Wine leaves the output as it was"));
}

TEST(CallContextTest, SwitchedContextIsHandedOut) {
  CContextObject context;
  IUnknown* pPrevious = reinterpret_cast<IUnknown*>(0x1);
  ASSERT_EQ(CoSwitchCallContext(&context, &pPrevious), S_OK);
  EXPECT_EQ(pPrevious, nullptr) << "no call was in progress";
  EXPECT_EQ(context.Refs(), 1) << "stored without a reference";

  IUnknown* pGot = nullptr;
  EXPECT_EQ(CoGetCallContext(IID_IUnknown, reinterpret_cast<void**>(&pGot)), S_OK);
  EXPECT_EQ(pGot, &context);
  EXPECT_EQ(context.Refs(), 2);
  if (pGot != nullptr) pGot->Release();
  void* pDispatch = nullptr;
  EXPECT_EQ(CoGetCallContext(IID_IDispatch, &pDispatch), E_NOINTERFACE);

  // Another thread serves no call.
  struct SResult {
    HRESULT hr;
  } other{S_OK};
  CScopedHandle thread(StartThread(
      [](LPVOID p) -> DWORD {
        void* pv = nullptr;
        static_cast<SResult*>(p)->hr = CoGetCallContext(IID_IUnknown, &pv);
        return 0;
      },
      &other));
  ASSERT_NE(thread.Get(), nullptr);
  WaitForSingleObject(thread.Get(), INFINITE);
  EXPECT_EQ(other.hr, RPC_E_CALL_COMPLETE);

  IUnknown* pMine = nullptr;
  ASSERT_EQ(CoSwitchCallContext(nullptr, &pMine), S_OK);
  EXPECT_EQ(pMine, &context);
  EXPECT_EQ(CoGetCallContext(IID_IUnknown, reinterpret_cast<void**>(&pGot)), RPC_E_CALL_COMPLETE);
}

}  // namespace

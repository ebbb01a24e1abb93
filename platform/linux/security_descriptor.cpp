// Security descriptors of kernel objects (GetSecurityInfo) and their text
// in the security descriptor definition language.
#include <aclapi.h>
#include <sddl.h>

#include <charconv>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "accounts.h"
#include "privileges.h"
#include "processes.h"
#include "sid_text.h"

namespace kelmyr::winapi {
namespace {

constexpr SECURITY_INFORMATION kSupportedInformation =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
    SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

// An access list under construction: the header, then the entries.
class CAclBuilder {
 public:
  void AddAce(BYTE type, BYTE flags, ACCESS_MASK mask, const BYTE* pSid, DWORD cbSid) {
    ACCESS_ALLOWED_ACE ace{};
    ace.Header.AceType = type;
    ace.Header.AceFlags = flags;
    ace.Header.AceSize = static_cast<WORD>(offsetof(ACCESS_ALLOWED_ACE, SidStart) + cbSid);
    ace.Mask = mask;
    const auto* pAce = reinterpret_cast<const BYTE*>(&ace);
    m_entries.insert(m_entries.end(), pAce, pAce + offsetof(ACCESS_ALLOWED_ACE, SidStart));
    m_entries.insert(m_entries.end(), pSid, pSid + cbSid);
    ++m_count;
  }

  std::vector<BYTE> Build() const {
    ACL acl{};
    acl.AclRevision = ACL_REVISION;
    acl.AclSize = static_cast<WORD>(sizeof acl + m_entries.size());
    acl.AceCount = m_count;
    std::vector<BYTE> bytes(sizeof acl);
    std::memcpy(bytes.data(), &acl, sizeof acl);
    bytes.insert(bytes.end(), m_entries.begin(), m_entries.end());
    return bytes;
  }

 private:
  std::vector<BYTE> m_entries;
  WORD m_count = 0;
};

// The parts of the owner's identity a descriptor with these parts is made
// of: the user for the owner and the access list, the group, the integrity
// level for the label.
unsigned IdentityPartsFor(SECURITY_INFORMATION info) {
  unsigned parts = 0;
  if ((info & (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) != 0) {
    parts |= kIdentityUser;
  }
  if ((info & GROUP_SECURITY_INFORMATION) != 0) parts |= kIdentityGroup;
  if ((info & LABEL_SECURITY_INFORMATION) != 0) parts |= kIdentityIntegrity;
  return parts;
}

// The self-relative descriptor of an object owned by the identity, with the
// parts the information flags ask for, in one LocalAlloc block. Only the
// accounts a part names need a SID.
DWORD BuildDescriptor(const SProcessIdentity& owner, ACCESS_MASK allAccess,
                      SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR* ppSd) {
  const unsigned parts = IdentityPartsFor(info);
  SAccountSid user{};
  SAccountSid group{};
  if (((parts & kIdentityUser) != 0 && !UserSid(owner.effectiveUid, &user)) ||
      ((parts & kIdentityGroup) != 0 && !GroupSid(owner.effectiveGid, &group))) {
    return ERROR_NONE_MAPPED;
  }
  SECURITY_DESCRIPTOR_RELATIVE header{};
  header.Revision = SECURITY_DESCRIPTOR_REVISION;
  header.Control = SE_SELF_RELATIVE;
  std::vector<BYTE> body;
  auto append = [&body](const BYTE* p, size_t cb) {
    const auto offset = static_cast<DWORD>(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + body.size());
    body.insert(body.end(), p, p + cb);
    return offset;
  };
  if ((info & OWNER_SECURITY_INFORMATION) != 0) header.Owner = append(user.bytes, user.cb);
  if ((info & GROUP_SECURITY_INFORMATION) != 0) header.Group = append(group.bytes, group.cb);
  if ((info & (SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) != 0) {
    // No auditing is configured; the label is the owner's integrity level,
    // with the policy Windows gives processes.
    CAclBuilder sacl;
    if ((info & LABEL_SECURITY_INFORMATION) != 0) {
      const BYTE label[12] = {SID_REVISION,
                              1,
                              0,
                              0,
                              0,
                              0,
                              0,
                              16,
                              static_cast<BYTE>(owner.integrityRid),
                              static_cast<BYTE>(owner.integrityRid >> 8),
                              static_cast<BYTE>(owner.integrityRid >> 16),
                              static_cast<BYTE>(owner.integrityRid >> 24)};
      const ACCESS_MASK policy =
          allAccess == PROCESS_ALL_ACCESS
              ? SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP
              : SYSTEM_MANDATORY_LABEL_NO_WRITE_UP;
      sacl.AddAce(SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, policy, label, sizeof label);
    }
    const std::vector<BYTE> bytes = sacl.Build();
    header.Sacl = append(bytes.data(), bytes.size());
    header.Control |= SE_SACL_PRESENT;
  }
  if ((info & DACL_SECURITY_INFORMATION) != 0) {
    // Full access for the owner and for the local system account.
    SAccountSid system{};
    UserSid(0, &system);
    CAclBuilder dacl;
    dacl.AddAce(ACCESS_ALLOWED_ACE_TYPE, 0, allAccess, user.bytes, user.cb);
    if (owner.effectiveUid != 0) {
      dacl.AddAce(ACCESS_ALLOWED_ACE_TYPE, 0, allAccess, system.bytes, system.cb);
    }
    const std::vector<BYTE> bytes = dacl.Build();
    header.Dacl = append(bytes.data(), bytes.size());
    header.Control |= SE_DACL_PRESENT;
  }
  BYTE* pSd = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, sizeof header + body.size()));
  if (pSd == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(pSd, &header, sizeof header);
  if (!body.empty()) std::memcpy(pSd + sizeof header, body.data(), body.size());
  *ppSd = pSd;
  return ERROR_SUCCESS;
}

// The parts of a descriptor in either form.
struct SDescriptorParts {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  PSID pOwner = nullptr;
  PSID pGroup = nullptr;
  PACL pSacl = nullptr;
  PACL pDacl = nullptr;
};

bool ReadDescriptor(PSECURITY_DESCRIPTOR pSd, SDescriptorParts* pParts) {
  auto* pBytes = static_cast<BYTE*>(pSd);
  if (pBytes[0] != SECURITY_DESCRIPTOR_REVISION) return false;
  std::memcpy(&pParts->control, pBytes + 2, sizeof pParts->control);
  if ((pParts->control & SE_SELF_RELATIVE) != 0) {
    SECURITY_DESCRIPTOR_RELATIVE header;
    std::memcpy(&header, pBytes, sizeof header);
    auto at = [pBytes](DWORD offset) -> BYTE* { return offset != 0 ? pBytes + offset : nullptr; };
    pParts->pOwner = at(header.Owner);
    pParts->pGroup = at(header.Group);
    pParts->pSacl = reinterpret_cast<PACL>(at(header.Sacl));
    pParts->pDacl = reinterpret_cast<PACL>(at(header.Dacl));
  } else {
    SECURITY_DESCRIPTOR header;
    std::memcpy(&header, pBytes, sizeof header);
    pParts->pOwner = header.Owner;
    pParts->pGroup = header.Group;
    pParts->pSacl = header.Sacl;
    pParts->pDacl = header.Dacl;
  }
  return true;
}

std::u16string SidInSddl(PSID pSid) {
  const char16_t* pszAlias = SidAlias(pSid);
  return pszAlias != nullptr ? std::u16string(pszAlias) : SidText(pSid);
}

void AppendAscii(std::u16string* pOut, const char* psz) {
  while (*psz != '\0') pOut->push_back(static_cast<char16_t>(*psz++));
}

// Rights: a mask with a name of its own, else the names of its bits when
// every bit has one, else the mask in hexadecimal.
void AppendRights(std::u16string* pOut, ACCESS_MASK mask, bool bLabel) {
  if (mask == 0) return;
  struct SNamed {
    ACCESS_MASK mask;
    const char* pszName;
  };
  static constexpr SNamed kWhole[] = {
      {GENERIC_ALL, "GA"}, {GENERIC_READ, "GR"}, {GENERIC_WRITE, "GW"}, {GENERIC_EXECUTE, "GX"},
      {0x1F01FF, "FA"},    {0x120089, "FR"},     {0x120116, "FW"},      {0x1200A0, "FX"},
      {0xF003F, "KA"},     {0x20019, "KR"},      {0x20006, "KW"},
  };
  static constexpr const char* kBits[32] = {
      "CC",    "DC",    "LC",    "SW",    "RP",    "WP",    "DT", "LO", "CR", nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, "SD",    "RC", "WD", "WO", nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "GA", "GX", "GW", "GR"};
  static constexpr const char* kLabelBits[3] = {"NW", "NR", "NX"};
  if (bLabel) {
    if ((mask & ~0x7u) == 0) {
      for (int i = 0; i < 3; ++i) {
        if ((mask & (1u << i)) != 0) AppendAscii(pOut, kLabelBits[i]);
      }
      return;
    }
  } else {
    for (const SNamed& named : kWhole) {
      if (mask == named.mask) {
        AppendAscii(pOut, named.pszName);
        return;
      }
    }
    bool bAllNamed = true;
    for (int i = 0; i < 32; ++i) {
      if ((mask & (1u << i)) != 0 && kBits[i] == nullptr) bAllNamed = false;
    }
    if (bAllNamed) {
      for (int i = 0; i < 32; ++i) {
        if ((mask & (1u << i)) != 0) AppendAscii(pOut, kBits[i]);
      }
      return;
    }
  }
  char sz[16] = "0x";
  *std::to_chars(sz + 2, sz + sizeof sz - 1, mask, 16).ptr = '\0';
  AppendAscii(pOut, sz);
}

void AppendAceFlags(std::u16string* pOut, BYTE flags) {
  struct SFlag {
    BYTE flag;
    const char* pszName;
  };
  static constexpr SFlag kFlags[] = {
      {OBJECT_INHERIT_ACE, "OI"},
      {CONTAINER_INHERIT_ACE, "CI"},
      {NO_PROPAGATE_INHERIT_ACE, "NP"},
      {INHERIT_ONLY_ACE, "IO"},
      {INHERITED_ACE, "ID"},
      {SUCCESSFUL_ACCESS_ACE_FLAG, "SA"},
      {FAILED_ACCESS_ACE_FLAG, "FA"},
  };
  for (const SFlag& f : kFlags) {
    if ((flags & f.flag) != 0) AppendAscii(pOut, f.pszName);
  }
}

// The entries of a list whose kind is wanted (label entries, the others or
// both), in the list's order. False for a list that is malformed: a wrong
// revision, or an entry or its SID that does not fit where the list says.
bool AppendAces(std::u16string* pOut, PACL pAcl, bool bOthers, bool bLabels) {
  ACL acl;
  std::memcpy(&acl, pAcl, sizeof acl);
  if ((acl.AclRevision != ACL_REVISION && acl.AclRevision != ACL_REVISION_DS) ||
      acl.AclSize < sizeof acl) {
    return false;
  }
  constexpr size_t kSidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
  constexpr size_t kSidHeaderBytes = 8;  // revision, count, authority
  const BYTE* pAce = reinterpret_cast<const BYTE*>(pAcl) + sizeof acl;
  size_t cbRemaining = acl.AclSize - sizeof acl;
  for (WORD i = 0; i < acl.AceCount; ++i) {
    if (cbRemaining < kSidOffset + kSidHeaderBytes) return false;
    ACCESS_ALLOWED_ACE ace;
    std::memcpy(&ace, pAce, kSidOffset);
    const size_t cbAce = ace.Header.AceSize;
    const size_t cbSid = kSidHeaderBytes + 4 * size_t{pAce[kSidOffset + 1]};
    if (cbAce > cbRemaining || cbAce < kSidOffset + cbSid) return false;
    const char* pszType = nullptr;
    switch (ace.Header.AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
        pszType = "A";
        break;
      case ACCESS_DENIED_ACE_TYPE:
        pszType = "D";
        break;
      case SYSTEM_AUDIT_ACE_TYPE:
        pszType = "AU";
        break;
      case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
        pszType = "ML";
        break;
      default:
        return false;
    }
    const bool bLabel = ace.Header.AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE;
    PSID pSid = const_cast<BYTE*>(pAce) + kSidOffset;
    if (!IsValidSid(pSid)) return false;
    if (bLabel ? bLabels : bOthers) {
      pOut->push_back(u'(');
      AppendAscii(pOut, pszType);
      pOut->push_back(u';');
      AppendAceFlags(pOut, ace.Header.AceFlags);
      pOut->push_back(u';');
      AppendRights(pOut, ace.Mask, bLabel);
      AppendAscii(pOut, ";;;");
      pOut->append(SidInSddl(pSid));
      pOut->push_back(u')');
    }
    pAce += cbAce;
    cbRemaining -= cbAce;
  }
  return true;
}

void AppendListFlags(std::u16string* pOut, SECURITY_DESCRIPTOR_CONTROL control, bool bDacl) {
  if ((control & (bDacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED)) != 0) pOut->push_back(u'P');
  if ((control & (bDacl ? SE_DACL_AUTO_INHERIT_REQ : SE_SACL_AUTO_INHERIT_REQ)) != 0) {
    AppendAscii(pOut, "AR");
  }
  if ((control & (bDacl ? SE_DACL_AUTO_INHERITED : SE_SACL_AUTO_INHERITED)) != 0) {
    AppendAscii(pOut, "AI");
  }
}

DWORD DescriptorText(PSECURITY_DESCRIPTOR pSd, SECURITY_INFORMATION info, std::u16string* pText) {
  SDescriptorParts parts;
  if (!ReadDescriptor(pSd, &parts)) return ERROR_INVALID_SECURITY_DESCR;
  std::u16string text;
  if ((info & OWNER_SECURITY_INFORMATION) != 0 && parts.pOwner != nullptr) {
    if (!IsValidSid(parts.pOwner)) return ERROR_INVALID_SID;
    text.append(u"O:").append(SidInSddl(parts.pOwner));
  }
  if ((info & GROUP_SECURITY_INFORMATION) != 0 && parts.pGroup != nullptr) {
    if (!IsValidSid(parts.pGroup)) return ERROR_INVALID_SID;
    text.append(u"G:").append(SidInSddl(parts.pGroup));
  }
  if ((info & DACL_SECURITY_INFORMATION) != 0 && (parts.control & SE_DACL_PRESENT) != 0) {
    text.append(u"D:");
    AppendListFlags(&text, parts.control, true);
    if (parts.pDacl == nullptr) {
      text.append(u"NO_ACCESS_CONTROL");
    } else if (!AppendAces(&text, parts.pDacl, true, false)) {
      return ERROR_INVALID_ACL;
    }
  }
  const SECURITY_INFORMATION saclParts =
      info & (SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION);
  if (saclParts != 0 && (parts.control & SE_SACL_PRESENT) != 0) {
    text.append(u"S:");
    AppendListFlags(&text, parts.control, false);
    if (parts.pSacl == nullptr) {
      text.append(u"NO_ACCESS_CONTROL");
    } else if (!AppendAces(&text, parts.pSacl, (info & SACL_SECURITY_INFORMATION) != 0,
                           (info & LABEL_SECURITY_INFORMATION) != 0)) {
      return ERROR_INVALID_ACL;
    }
  }
  pText->swap(text);
  return ERROR_SUCCESS;
}

DWORD Fail(DWORD error) {
  SetLastError(error);
  return error;
}

}  // namespace
}  // namespace kelmyr::winapi

using namespace kelmyr::winapi;

// Only kernel objects have descriptors here. The system access list needs
// "SeSecurityPrivilege" enabled in the caller's token, as on Windows.
DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType,
                             SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                             PACL* ppDacl, PACL* ppSacl,
                             PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
  if (ObjectType != SE_KERNEL_OBJECT) return Fail(ERROR_NOT_SUPPORTED);
  if ((SecurityInfo & ~kSupportedInformation) != 0 || ppSecurityDescriptor == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  try {
    if ((SecurityInfo & SACL_SECURITY_INFORMATION) != 0 &&
        !CurrentProcessPrivileges()->IsEnabled(PrivilegeLuidOf(SE_SECURITY_NAME))) {
      return Fail(ERROR_PRIVILEGE_NOT_HELD);
    }
    const ACCESS_MASK required =
        (SecurityInfo & ~static_cast<SECURITY_INFORMATION>(SACL_SECURITY_INFORMATION)) != 0
            ? READ_CONTROL
            : 0;
    SProcessIdentity owner;
    ACCESS_MASK allAccess = 0;
    DWORD error =
        ObjectOwnerIdentity(handle, required, IdentityPartsFor(SecurityInfo), &owner, &allAccess);
    if (error != ERROR_SUCCESS) return Fail(error);
    PSECURITY_DESCRIPTOR pSd = nullptr;
    error = BuildDescriptor(owner, allAccess, SecurityInfo, &pSd);
    if (error != ERROR_SUCCESS) return Fail(error);

    SDescriptorParts parts;
    ReadDescriptor(pSd, &parts);
    if (ppsidOwner != nullptr) *ppsidOwner = parts.pOwner;
    if (ppsidGroup != nullptr) *ppsidGroup = parts.pGroup;
    if (ppDacl != nullptr) *ppDacl = parts.pDacl;
    if (ppSacl != nullptr) *ppSacl = parts.pSacl;
    *ppSecurityDescriptor = pSd;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

// *StringSecurityDescriptorLen, when asked for, counts the characters with
// the terminator.
BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorW(
    PSECURITY_DESCRIPTOR SecurityDescriptor, DWORD RequestedStringSDRevision,
    SECURITY_INFORMATION SecurityInformation, LPWSTR* StringSecurityDescriptor,
    PULONG StringSecurityDescriptorLen) {
  if (RequestedStringSDRevision != SDDL_REVISION_1) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if (SecurityDescriptor == nullptr || StringSecurityDescriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  try {
    std::u16string text;
    const DWORD error = DescriptorText(SecurityDescriptor, SecurityInformation, &text);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
    LPWSTR psz = LocalCopy(text);
    if (psz == nullptr) return FALSE;
    *StringSecurityDescriptor = psz;
    if (StringSecurityDescriptorLen != nullptr) {
      *StringSecurityDescriptorLen = static_cast<ULONG>(text.size() + 1);
    }
    return TRUE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

// Processes, their tokens, and SIDs.
//
// A process is opened by id when /proc has an entry for it that this
// process may read; the identity a token answers is read from that entry
// when the process is opened, so a token stays a consistent snapshot, as a
// Windows token is. The current process is not read from /proc: its process
// object answers from its credentials when asked, and a token of it takes
// its snapshot when first asked (most such tokens only adjust privileges).
// The token's privileges are the exception: the current process has one
// privilege state, shared by all handles to its token (privileges.h).
//
// The user of a token is the process's effective user, its owner that
// same user, its primary group the effective group (accounts.h gives their
// SIDs). The integrity level follows from the Linux process: root is
// system; a process that can never gain privileges (NoNewPrivs set, no
// effective capabilities, not root) is low; every other process is medium.
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts.h"
#include "kernel_objects.h"
#include "privileges.h"
#include "process_id.h"
#include "processes.h"
#include "registry_names.h"
#include "status_files.h"

namespace kelmyr::winapi {
namespace {

// Access rights with the Windows values.
constexpr ACCESS_MASK kProcessTerminate = 0x0001;
constexpr ACCESS_MASK kProcessCreateThread = 0x0002;
constexpr ACCESS_MASK kProcessVmOperation = 0x0008;
constexpr ACCESS_MASK kProcessVmRead = 0x0010;
constexpr ACCESS_MASK kProcessVmWrite = 0x0020;
constexpr ACCESS_MASK kProcessDupHandle = 0x0040;
constexpr ACCESS_MASK kProcessCreateProcess = 0x0080;
constexpr ACCESS_MASK kProcessSetQuota = 0x0100;
constexpr ACCESS_MASK kProcessSetInformation = 0x0200;
constexpr ACCESS_MASK kProcessSuspendResume = 0x0800;
constexpr ACCESS_MASK kTokenAllAccess = STANDARD_RIGHTS_REQUIRED | 0x01FF;
constexpr ACCESS_MASK kThreadAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF;
constexpr ACCESS_MASK kEventAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3;
constexpr ACCESS_MASK kGenericBits = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

struct SGenericMapping {
  ACCESS_MASK read;
  ACCESS_MASK write;
  ACCESS_MASK execute;
  ACCESS_MASK all;
};

constexpr SGenericMapping kProcessMapping = {
    STANDARD_RIGHTS_READ | kProcessVmRead | PROCESS_QUERY_INFORMATION,
    STANDARD_RIGHTS_WRITE | kProcessCreateProcess | kProcessCreateThread | kProcessVmOperation |
        kProcessVmWrite | kProcessDupHandle | kProcessTerminate | kProcessSetQuota |
        kProcessSetInformation | kProcessSuspendResume,
    STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
    PROCESS_ALL_ACCESS,
};

constexpr SGenericMapping kTokenMapping = {
    TOKEN_READ,
    STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT,
    STANDARD_RIGHTS_EXECUTE,
    kTokenAllAccess,
};

// The access a handle opened with the desired access grants: generic rights
// and MAXIMUM_ALLOWED mapped to the object's specific rights.
ACCESS_MASK GrantedAccess(ACCESS_MASK desired, const SGenericMapping& mapping) {
  ACCESS_MASK granted = desired & ~(kGenericBits | static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED));
  if ((desired & GENERIC_READ) != 0) granted |= mapping.read;
  if ((desired & GENERIC_WRITE) != 0) granted |= mapping.write;
  if ((desired & GENERIC_EXECUTE) != 0) granted |= mapping.execute;
  if ((desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0) granted |= mapping.all;
  return granted;
}

ACCESS_MASK GrantedProcessAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted = GrantedAccess(desired, kProcessMapping);
  // Full query access includes the limited one, as on Windows.
  if ((granted & PROCESS_QUERY_INFORMATION) != 0) granted |= PROCESS_QUERY_LIMITED_INFORMATION;
  return granted;
}

DWORD IntegrityRidOf(uid_t effectiveUid, bool bNoNewPrivs, bool bHasCapabilities) {
  if (effectiveUid == 0) return SECURITY_MANDATORY_SYSTEM_RID;
  if (bNoNewPrivs && !bHasCapabilities) return SECURITY_MANDATORY_LOW_RID;
  return SECURITY_MANDATORY_MEDIUM_RID;
}

DWORD ErrorOfProcessEntry(int error) {
  switch (error) {
    case ENOENT:
    case ESRCH:
      return ERROR_INVALID_PARAMETER;  // no such process, as Windows answers
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return ERROR_NO_SYSTEM_RESOURCES;
    default:
      return ERROR_ACCESS_DENIED;
  }
}

// The lines of a /proc status file that an identity is made of.
enum StatusField : size_t { kTgid, kUid, kGid, kCapPrm, kCapEff, kNoNewPrivs, kStatusFieldCount };
constexpr std::array<std::string_view, kStatusFieldCount> kStatusKeys = {
    "Tgid", "Uid", "Gid", "CapPrm", "CapEff", "NoNewPrivs"};
// Whether a line may hold one of them, by its first letter: most lines are
// passed over on it.
constexpr bool MayBeStatusKey(char initial) {
  return initial == 'T' || initial == 'U' || initial == 'G' || initial == 'C' || initial == 'N';
}
static_assert(std::all_of(kStatusKeys.begin(), kStatusKeys.end(),
                          [](std::string_view key) { return MayBeStatusKey(key.front()); }));

// Where the value after "<key>:" of each field lies in the text, found in
// one pass over the text as it grows.
class CStatusFields {
 public:
  // Scans the complete lines (those ended by a line feed) not scanned yet;
  // true when every field has been found.
  bool Scan(std::string_view text) {
    for (size_t end = text.find('\n', m_scanned);
         end != std::string_view::npos && m_foundCount < kStatusFieldCount;
         end = text.find('\n', m_scanned)) {
      std::string_view line = text.substr(m_scanned, end - m_scanned);
      m_scanned = end + 1;
      if (line.empty() || !MayBeStatusKey(line[0])) continue;
      for (size_t i = 0; i < kStatusFieldCount; ++i) {
        const std::string_view key = kStatusKeys[i];
        if (m_found[i] || line.size() <= key.size() || line[key.size()] != ':' ||
            line.compare(0, key.size(), key) != 0) {
          continue;
        }
        line.remove_prefix(key.size() + 1);
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        m_found[i] = true;
        m_offsets[i] = end - line.size();
        m_lengths[i] = line.size();
        ++m_foundCount;
        break;
      }
    }
    return m_foundCount == kStatusFieldCount;
  }

  // The value of a field in the scanned text; false when it has none.
  bool Value(std::string_view text, StatusField field, std::string_view* pValue) const {
    if (!m_found[field]) return false;
    *pValue = text.substr(m_offsets[field], m_lengths[field]);
    return true;
  }

 private:
  size_t m_scanned = 0;
  size_t m_foundCount = 0;
  std::array<bool, kStatusFieldCount> m_found{};
  std::array<size_t, kStatusFieldCount> m_offsets{};
  std::array<size_t, kStatusFieldCount> m_lengths{};
};

// The first number of a field's value, in the base given.
bool ParseUnsigned(std::string_view text, int base, unsigned long long* pValue) {
  const std::string_view digits = text.substr(0, text.find_first_of(" \t"));
  if (digits.empty()) return false;
  unsigned long long value = 0;
  const auto [pEnd, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (ec != std::errc() || pEnd != digits.data() + digits.size()) return false;
  *pValue = value;
  return true;
}

// The second number (the effective id) of a "Uid:" or "Gid:" value.
bool EffectiveIdOf(std::string_view value, unsigned long long* pId) {
  const size_t gap = value.find_first_of(" \t");
  if (gap == std::string_view::npos) return false;
  value.remove_prefix(gap);
  value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
  return ParseUnsigned(value, 10, pId);
}

// Reads an open status file from its start as far as the last line an
// identity needs (the kernel writes them near the top, so one read usually
// takes them all).
DWORD ReadStatusFrom(const CStatusFile& file, std::string* pStatus, CStatusFields* pFields) {
  char chunk[4096];
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(file.Fd(), chunk, sizeof chunk, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ErrorOfProcessEntry(errno);
    if (got == 0) {
      // A last line without its line feed still counts.
      if (!pStatus->empty() && pStatus->back() != '\n') pStatus->push_back('\n');
      pFields->Scan(*pStatus);
      return ERROR_SUCCESS;
    }
    pStatus->append(chunk, static_cast<size_t>(got));
    offset += got;
    if (pFields->Scan(*pStatus)) return ERROR_SUCCESS;
  }
}

// Reads /proc/<pid>/status through the file kept open for the process when
// it still reads, else through a newly opened one, which is then kept.
DWORD ReadProcessStatus(DWORD pid, std::string* pStatus, CStatusFields* pFields) {
  if (std::shared_ptr<CStatusFile> pKept = KeptStatusFile(pid)) {
    if (pKept->IsIntact() && ReadStatusFrom(*pKept, pStatus, pFields) == ERROR_SUCCESS) {
      return ERROR_SUCCESS;
    }
    // The process has been reaped: the id may name another one by now.
    ForgetStatusFile(pKept.get());
    pStatus->clear();
    *pFields = CStatusFields();
  }
  int openError = 0;
  std::shared_ptr<CStatusFile> pFile = CStatusFile::Open(pid, &openError);
  if (pFile == nullptr) return ErrorOfProcessEntry(openError);
  const DWORD error = ReadStatusFrom(*pFile, pStatus, pFields);
  if (error == ERROR_SUCCESS) KeepStatusFile(std::move(pFile));
  return error;
}

// A process opened by id. Waiting on the current process waits for ever, as
// on Windows; waiting for another process to end is not supported.
class CProcess final : public CKernelObject {
 public:
  // Another process, with its identity as read when it was opened.
  CProcess(DWORD pid, const SProcessIdentity& identity) noexcept
      : CKernelObject(ObjectKind::kProcess), m_pid(pid), m_identity(identity) {}
  // The current process, whose identity is read when asked for.
  explicit CProcess(DWORD pid) noexcept : CKernelObject(ObjectKind::kProcess), m_pid(pid) {}

  DWORD WaitSupport() const noexcept override {
    return IsCurrent() ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
  }

  bool IsCurrent() const noexcept { return m_pid == CurrentProcessId(); }

  // The parts of the identity asked for; a Windows error code.
  DWORD Identity(unsigned parts, SProcessIdentity* pIdentity) const noexcept {
    if (m_identity) {
      *pIdentity = *m_identity;
      return ERROR_SUCCESS;
    }
    if (IsCurrent()) {
      ReadCurrentProcessIdentity(parts, pIdentity);
      return ERROR_SUCCESS;
    }
    // A forked child's copy of its parent's handle to the parent.
    return ReadProcessIdentity(m_pid, pIdentity);
  }

 private:
  const DWORD m_pid;
  const std::optional<SProcessIdentity> m_identity;
};

class CToken final : public CKernelObject {
 public:
  // A token of another process or of a logon.
  CToken(const SProcessIdentity& identity, std::shared_ptr<CPrivilegeState> pPrivileges) noexcept
      : CKernelObject(ObjectKind::kToken),
        m_identity(identity),
        m_pPrivileges(std::move(pPrivileges)) {}
  // A token of the current process: the identity is read on first use and
  // kept from then on.
  explicit CToken(std::shared_ptr<CPrivilegeState> pPrivileges) noexcept
      : CKernelObject(ObjectKind::kToken), m_pPrivileges(std::move(pPrivileges)) {}

  SProcessIdentity Identity() const noexcept {
    std::lock_guard lock(m_identityLock);
    if (!m_identity) {
      SProcessIdentity identity;
      ReadCurrentProcessIdentity(kIdentityAll, &identity);
      m_identity = identity;
    }
    return *m_identity;
  }
  CPrivilegeState& Privileges() const noexcept { return *m_pPrivileges; }

 private:
  mutable std::mutex m_identityLock;
  mutable std::optional<SProcessIdentity> m_identity;
  const std::shared_ptr<CPrivilegeState> m_pPrivileges;
};

// A mandatory label SID: S-1-16-<rid>.
constexpr DWORD kLabelSidLength = 8 + 4;

SID LabelSid(DWORD rid) {
  SID sid{};
  sid.Revision = SID_REVISION;
  sid.SubAuthorityCount = 1;
  sid.IdentifierAuthority = SECURITY_MANDATORY_LABEL_AUTHORITY;
  sid.SubAuthority[0] = rid;
  return sid;
}

// The answer to one token information class, laid out as Windows lays it
// out: the fixed structure first, the SIDs and entries it points to after
// it in the same buffer. The pointers are fixed up against the caller's
// buffer when the answer is copied there.
class CTokenAnswer {
 public:
  // ERROR_INVALID_PARAMETER for a class the layer does not answer.
  DWORD Build(const CToken& token, TOKEN_INFORMATION_CLASS infoClass) {
    const SProcessIdentity identity = token.Identity();
    SAccountSid sid{};
    switch (infoClass) {
      case TokenUser:
      case TokenOwner:
        if (!UserSid(identity.effectiveUid, &sid)) return ERROR_NONE_MAPPED;
        // TOKEN_USER is a SID_AND_ATTRIBUTES with attributes 0; TOKEN_OWNER
        // a lone pointer.
        m_bytes.assign(infoClass == TokenUser ? sizeof(TOKEN_USER) : sizeof(TOKEN_OWNER), 0);
        AppendSid(sid);
        return ERROR_SUCCESS;
      case TokenPrimaryGroup:
        if (!GroupSid(identity.effectiveGid, &sid)) return ERROR_NONE_MAPPED;
        m_bytes.assign(sizeof(TOKEN_PRIMARY_GROUP), 0);
        AppendSid(sid);
        return ERROR_SUCCESS;
      case TokenIntegrityLevel: {
        m_bytes.assign(sizeof(TOKEN_MANDATORY_LABEL), 0);
        const DWORD attributes = SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
        std::memcpy(m_bytes.data() + offsetof(SID_AND_ATTRIBUTES, Attributes), &attributes,
                    sizeof attributes);
        const SID label = LabelSid(identity.integrityRid);
        m_sidOffset = m_bytes.size();
        const auto* pLabel = reinterpret_cast<const BYTE*>(&label);
        m_bytes.insert(m_bytes.end(), pLabel, pLabel + kLabelSidLength);
        return ERROR_SUCCESS;
      }
      case TokenPrivileges: {
        const std::vector<LUID_AND_ATTRIBUTES> held = token.Privileges().Held();
        const DWORD count = static_cast<DWORD>(held.size());
        m_bytes.assign(sizeof(DWORD) + held.size() * sizeof(LUID_AND_ATTRIBUTES), 0);
        std::memcpy(m_bytes.data(), &count, sizeof count);
        if (!held.empty()) {
          std::memcpy(m_bytes.data() + sizeof(DWORD), held.data(),
                      held.size() * sizeof(LUID_AND_ATTRIBUTES));
        }
        return ERROR_SUCCESS;
      }
      case TokenIsAppContainer:
      case TokenElevation: {
        // Linux has no app containers; a token is elevated when it runs at
        // high integrity or above, which here means root.
        const DWORD value =
            infoClass == TokenElevation && identity.integrityRid >= SECURITY_MANDATORY_HIGH_RID;
        m_bytes.assign(sizeof value, 0);
        std::memcpy(m_bytes.data(), &value, sizeof value);
        return ERROR_SUCCESS;
      }
      default:
        return ERROR_INVALID_PARAMETER;
    }
  }

  DWORD Size() const noexcept { return static_cast<DWORD>(m_bytes.size()); }

  // The caller's buffer need not be aligned, so the pointer is written
  // bytewise.
  void CopyTo(BYTE* pOut) const noexcept {
    std::memcpy(pOut, m_bytes.data(), m_bytes.size());
    if (m_sidOffset != 0) {
      const void* pSid = pOut + m_sidOffset;
      std::memcpy(pOut, &pSid, sizeof pSid);
    }
  }

 private:
  void AppendSid(const SAccountSid& sid) {
    // The SID starts on a pointer boundary after the fixed structure.
    m_bytes.resize((m_bytes.size() + sizeof(void*) - 1) / sizeof(void*) * sizeof(void*), 0);
    m_sidOffset = m_bytes.size();
    m_bytes.insert(m_bytes.end(), sid.bytes, sid.bytes + sid.cb);
  }

  std::vector<BYTE> m_bytes;
  size_t m_sidOffset = 0;
};

BYTE SubAuthorityCountOf(PSID pSid) { return static_cast<const BYTE*>(pSid)[1]; }

// The privilege state of a token of another process or of a logon: a
// snapshot, which this process cannot change. (A token of the current
// process shares the process's one live state.)
std::shared_ptr<CPrivilegeState> SnapshotPrivileges(const SProcessIdentity& identity) {
  return CPrivilegeState::FromCapabilities(identity.capPermitted, identity.capEffective);
}

// A null or empty system name, or this computer's name (with or without
// the leading "\\"), names the local system.
bool IsLocalSystemName(LPCWSTR lpSystemName) {
  if (lpSystemName == nullptr || lpSystemName[0] == u'\0') return true;
  std::u16string_view name(lpSystemName);
  if (name.size() > 2 && name[0] == u'\\' && name[1] == u'\\') name.remove_prefix(2);
  WCHAR computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD cch = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(computer, &cch) || name.size() != cch) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (registry::UpcaseUnit(name[i]) != registry::UpcaseUnit(computer[i])) return false;
  }
  return true;
}

}  // namespace

DWORD ReadProcessIdentity(DWORD pid, SProcessIdentity* pIdentity) noexcept {
  try {
    std::string status;
    CStatusFields fields;
    const DWORD error = ReadProcessStatus(pid, &status, &fields);
    if (error != ERROR_SUCCESS) return error;

    std::string_view value;
    unsigned long long tgid = 0;
    if (!fields.Value(status, kTgid, &value) || !ParseUnsigned(value, 10, &tgid) || tgid != pid) {
      return ERROR_INVALID_PARAMETER;
    }
    unsigned long long effectiveUid = 0;
    unsigned long long effectiveGid = 0;
    if (!fields.Value(status, kUid, &value) || !EffectiveIdOf(value, &effectiveUid) ||
        !fields.Value(status, kGid, &value) || !EffectiveIdOf(value, &effectiveGid)) {
      return ERROR_ACCESS_DENIED;
    }

    // A kernel too old to report a field leaves it unknown, and unknown
    // never lowers the integrity level.
    unsigned long long noNewPrivs = 0;
    const bool bNoNewPrivs = fields.Value(status, kNoNewPrivs, &value) &&
                             ParseUnsigned(value, 10, &noNewPrivs) && noNewPrivs == 1;
    unsigned long long capEffective = 0;
    const bool bKnownEffective =
        fields.Value(status, kCapEff, &value) && ParseUnsigned(value, 16, &capEffective);
    unsigned long long capPermitted = 0;
    if (!fields.Value(status, kCapPrm, &value) || !ParseUnsigned(value, 16, &capPermitted)) {
      capPermitted = capEffective;
    }

    pIdentity->effectiveUid = static_cast<uid_t>(effectiveUid);
    pIdentity->effectiveGid = static_cast<gid_t>(effectiveGid);
    pIdentity->integrityRid =
        IntegrityRidOf(pIdentity->effectiveUid, bNoNewPrivs, !bKnownEffective || capEffective != 0);
    pIdentity->capPermitted = capPermitted;
    pIdentity->capEffective = capEffective;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

void ReadCurrentProcessIdentity(unsigned parts, SProcessIdentity* pIdentity) noexcept {
  if ((parts & (kIdentityUser | kIdentityIntegrity)) != 0) pIdentity->effectiveUid = geteuid();
  if ((parts & kIdentityGroup) != 0) pIdentity->effectiveGid = getegid();
  if ((parts & kIdentityIntegrity) == 0) return;
  // Unknown capabilities, as in a status file without them, never lower
  // the integrity level.
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  const bool bKnownCapabilities = syscall(SYS_capget, &header, data) == 0;
  pIdentity->capEffective = uint64_t{data[1].effective} << 32 | data[0].effective;
  pIdentity->capPermitted = uint64_t{data[1].permitted} << 32 | data[0].permitted;
  const bool bNoNewPrivs = prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
  pIdentity->integrityRid = IntegrityRidOf(pIdentity->effectiveUid, bNoNewPrivs,
                                           !bKnownCapabilities || pIdentity->capEffective != 0);
}

DWORD ObjectOwnerIdentity(HANDLE hObject, ACCESS_MASK required, unsigned parts,
                          SProcessIdentity* pIdentity, ACCESS_MASK* pAllAccess) noexcept {
  if (hObject == kCurrentProcessPseudoHandle || hObject == kCurrentThreadPseudoHandle) {
    *pAllAccess = hObject == kCurrentProcessPseudoHandle ? PROCESS_ALL_ACCESS : kThreadAllAccess;
    ReadCurrentProcessIdentity(parts, pIdentity);
    return ERROR_SUCCESS;
  }
  SHandleEntry entry;
  if (!LookupHandle(hObject, &entry)) return ERROR_INVALID_HANDLE;
  if ((entry.grantedAccess & required) != required) return ERROR_ACCESS_DENIED;
  switch (entry.pObject->Kind()) {
    case ObjectKind::kProcess:
      *pAllAccess = PROCESS_ALL_ACCESS;
      return static_cast<const CProcess&>(*entry.pObject).Identity(parts, pIdentity);
    case ObjectKind::kToken:
      // A token object is owned by the account it stands for.
      *pAllAccess = kTokenAllAccess;
      *pIdentity = static_cast<const CToken&>(*entry.pObject).Identity();
      return ERROR_SUCCESS;
    case ObjectKind::kThread:
      *pAllAccess = kThreadAllAccess;
      break;
    case ObjectKind::kEvent:
      *pAllAccess = kEventAllAccess;
      break;
  }
  ReadCurrentProcessIdentity(parts, pIdentity);
  return ERROR_SUCCESS;
}

HANDLE NewAccountToken(uid_t uid) noexcept {
  try {
    SProcessIdentity identity;
    identity.effectiveUid = uid;
    identity.effectiveGid = static_cast<gid_t>(uid);
    SUserEntry user;
    if (LookUpUser(uid, &user)) identity.effectiveGid = user.gid;
    // A logon of root has every capability; any other logon none.
    identity.capPermitted = identity.capEffective = uid == 0 ? ~uint64_t{0} : 0;
    identity.integrityRid = IntegrityRidOf(uid, false, uid == 0);
    return InsertHandle(std::make_shared<CToken>(identity, SnapshotPrivileges(identity)),
                        kTokenAllAccess);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

}  // namespace kelmyr::winapi

using namespace kelmyr::winapi;

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
  UNREFERENCED_PARAMETER(bInheritHandle);
  // Id 0 is the idle process on Windows, which cannot be opened; Linux
  // process ids are positive ints.
  if (dwProcessId == 0 || dwProcessId > static_cast<DWORD>(INT_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    const ACCESS_MASK granted = GrantedProcessAccess(dwDesiredAccess);
    if (dwProcessId == CurrentProcessId()) {
      return InsertHandle(std::make_shared<CProcess>(dwProcessId), granted);
    }
    SProcessIdentity identity;
    const DWORD error = ReadProcessIdentity(dwProcessId, &identity);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return nullptr;
    }
    return InsertHandle(std::make_shared<CProcess>(dwProcessId, identity), granted);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

// The token of another process can be read but not adjusted: Linux gives
// no process a way to change another's privileges.
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  if (TokenHandle == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  try {
    SProcessIdentity identity;
    bool bCurrent = true;
    if (ProcessHandle != kCurrentProcessPseudoHandle) {
      ACCESS_MASK granted = 0;
      auto pProcess = LookupObject<CProcess>(ProcessHandle, ObjectKind::kProcess, &granted);
      if (pProcess == nullptr) return FALSE;
      if ((granted & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
      bCurrent = pProcess->IsCurrent();
      if (!bCurrent) {
        const DWORD error = pProcess->Identity(kIdentityAll, &identity);
        if (error != ERROR_SUCCESS) {
          SetLastError(error);
          return FALSE;
        }
      }
    }
    ACCESS_MASK tokenAccess = GrantedAccess(DesiredAccess, kTokenMapping);
    if (!bCurrent) {
      // Asked for by name, the right is refused; MAXIMUM_ALLOWED gets what
      // can be granted.
      if ((DesiredAccess & (TOKEN_ADJUST_PRIVILEGES | GENERIC_WRITE | GENERIC_ALL)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
      tokenAccess &= ~static_cast<ACCESS_MASK>(TOKEN_ADJUST_PRIVILEGES);
    }
    HANDLE hToken =
        InsertHandle(bCurrent ? std::make_shared<CToken>(CurrentProcessPrivileges())
                              : std::make_shared<CToken>(identity, SnapshotPrivileges(identity)),
                     tokenAccess);
    if (hToken == nullptr) return FALSE;
    *TokenHandle = hToken;
    return TRUE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

// The two-call protocol of Windows: a buffer smaller than the answer (a null
// one of size 0 included) fails with ERROR_INSUFFICIENT_BUFFER and
// *ReturnLength set to the size needed; the buffer is left untouched.
BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength,
                                PDWORD ReturnLength) {
  ACCESS_MASK granted = 0;
  auto pToken = LookupObject<CToken>(TokenHandle, ObjectKind::kToken, &granted);
  if (pToken == nullptr) return FALSE;
  if ((granted & TOKEN_QUERY) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  try {
    CTokenAnswer answer;
    const DWORD error = answer.Build(*pToken, TokenInformationClass);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
    if (ReturnLength != nullptr) *ReturnLength = answer.Size();
    if (TokenInformationLength < answer.Size()) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    if (TokenInformation == nullptr) {
      SetLastError(ERROR_NOACCESS);
      return FALSE;
    }
    answer.CopyTo(static_cast<BYTE*>(TokenInformation));
    return TRUE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

// All or nothing, as on Windows: a previous-state buffer that is too small
// changes nothing. Success sets the last error to ERROR_SUCCESS, or to
// ERROR_NOT_ALL_ASSIGNED when the request names privileges the token does
// not hold (removed ones and all-zero entries included), which are passed
// over.
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  // The arguments are checked before the handle, as Windows does.
  if ((!DisableAllPrivileges && NewState == nullptr) ||
      (PreviousState != nullptr && ReturnLength == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ACCESS_MASK granted = 0;
  auto pToken = LookupObject<CToken>(TokenHandle, ObjectKind::kToken, &granted);
  if (pToken == nullptr) return FALSE;
  const ACCESS_MASK required =
      TOKEN_ADJUST_PRIVILEGES | (PreviousState != nullptr ? TOKEN_QUERY : 0);
  if ((granted & required) != required) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  try {
    const DWORD error = pToken->Privileges().Adjust(DisableAllPrivileges != FALSE, NewState,
                                                    PreviousState, BufferLength, ReturnLength);
    SetLastError(error);
    return error == ERROR_SUCCESS || error == ERROR_NOT_ALL_ASSIGNED ? TRUE : FALSE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (lpName == nullptr || lpLuid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!IsLocalSystemName(lpSystemName)) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return FALSE;
  }
  const DWORD luid = PrivilegeLuidOf(lpName);
  if (luid == 0) {
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
  }
  lpLuid->LowPart = luid;
  lpLuid->HighPart = 0;
  return TRUE;
}

// cchName counts characters: on entry the buffer's size, on success the
// name's length, on ERROR_INSUFFICIENT_BUFFER the size needed with its
// terminator.
BOOL WINAPI LookupPrivilegeNameW(LPCWSTR lpSystemName, PLUID lpLuid, LPWSTR lpName,
                                 LPDWORD cchName) {
  if (lpLuid == nullptr || cchName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!IsLocalSystemName(lpSystemName)) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return FALSE;
  }
  for (const SPrivilegeName& entry : PrivilegeCatalogue()) {
    if (lpLuid->HighPart != 0 || lpLuid->LowPart != entry.dwLuid) continue;
    const std::u16string_view name(entry.pszName);
    const auto length = static_cast<DWORD>(name.size());
    if (lpName == nullptr || *cchName <= length) {
      *cchName = length + 1;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    name.copy(lpName, length);
    lpName[length] = u'\0';
    *cchName = length;
    return TRUE;
  }
  SetLastError(ERROR_NO_SUCH_PRIVILEGE);
  return FALSE;
}

// IsValidSid answers without touching the last error, as on Windows.
BOOL WINAPI IsValidSid(PSID pSid) {
  if (pSid == nullptr) return FALSE;
  const auto* pBytes = static_cast<const BYTE*>(pSid);
  return pBytes[0] == SID_REVISION && pBytes[1] <= SID_MAX_SUB_AUTHORITIES ? TRUE : FALSE;
}

DWORD WINAPI GetLengthSid(PSID pSid) {
  if (pSid == nullptr) return 0;
  return 8 + 4 * static_cast<DWORD>(SubAuthorityCountOf(pSid));
}

PDWORD WINAPI GetSidSubAuthority(PSID pSid, DWORD nSubAuthority) {
  if (pSid == nullptr) {
    SetLastError(ERROR_INVALID_SID);
    return nullptr;
  }
  if (nSubAuthority >= SubAuthorityCountOf(pSid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<PDWORD>(static_cast<BYTE*>(pSid) + 8 + 4 * nSubAuthority);
}

BYTE* WINAPI GetSidSubAuthorityCount(PSID pSid) {
  if (pSid == nullptr) {
    SetLastError(ERROR_INVALID_SID);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<BYTE*>(pSid) + 1;
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
  if (!IsValidSid(pSid1) || !IsValidSid(pSid2)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetLengthSid(pSid1);
  return length == GetLengthSid(pSid2) && std::memcmp(pSid1, pSid2, length) == 0 ? TRUE : FALSE;
}

BOOL WINAPI EqualPrefixSid(PSID pSid1, PSID pSid2) {
  if (!IsValidSid(pSid1) || !IsValidSid(pSid2)) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  const BYTE count = SubAuthorityCountOf(pSid1);
  if (count != SubAuthorityCountOf(pSid2)) return FALSE;
  // Revision, count and authority, then every sub-authority but the last.
  const DWORD prefixLength = 8 + 4 * (count > 0 ? count - 1u : 0u);
  return std::memcmp(pSid1, pSid2, prefixLength) == 0 ? TRUE : FALSE;
}

// Processes, their tokens, and SIDs.
//
// A process is opened by id when /proc has an entry for it that this
// process may read; the identity a token answers is read from that entry
// when the process is opened (for the current process: when its token is
// opened), so a token stays a consistent snapshot, as a Windows token is.
//
// The integrity level follows from the Linux process: root is system; a
// process that can never gain privileges (NoNewPrivs set, no effective
// capabilities, not root) is low; every other process is medium.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "kernel_objects.h"

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

// What a token tells of its process.
struct SProcessIdentity {
  uid_t effectiveUid = 0;
  DWORD integrityRid = SECURITY_MANDATORY_MEDIUM_RID;
};

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

// The value after "<key>:" on a line of a /proc status file.
bool StatusField(std::string_view status, std::string_view key, std::string_view* pValue) {
  size_t pos = 0;
  while (pos < status.size()) {
    size_t end = status.find('\n', pos);
    if (end == std::string_view::npos) end = status.size();
    std::string_view line = status.substr(pos, end - pos);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':') {
      line.remove_prefix(key.size() + 1);
      while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
      *pValue = line;
      return true;
    }
    pos = end + 1;
  }
  return false;
}

bool ParseUnsigned(std::string_view text, int base, unsigned long long* pValue) {
  const std::string digits(text.substr(0, text.find_first_of(" \t")));
  if (digits.empty()) return false;
  char* pEnd = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(digits.c_str(), &pEnd, base);
  if (errno != 0 || *pEnd != '\0') return false;
  *pValue = value;
  return true;
}

// Reads the identity of a process from /proc/<pid>/status. An id that names
// a thread rather than a process is not a process, as on Windows.
DWORD ReadProcessIdentity(DWORD pid, SProcessIdentity* pIdentity) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrorOfProcessEntry(errno);
  std::string status;
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      close(fd);
      return ErrorOfProcessEntry(error);
    }
    if (got == 0) break;
    status.append(chunk, static_cast<size_t>(got));
  }
  close(fd);

  std::string_view value;
  unsigned long long tgid = 0;
  if (!StatusField(status, "Tgid", &value) || !ParseUnsigned(value, 10, &tgid) || tgid != pid) {
    return ERROR_INVALID_PARAMETER;
  }
  // Uid: real, effective, saved, file system.
  unsigned long long effectiveUid = 0;
  if (!StatusField(status, "Uid", &value)) return ERROR_ACCESS_DENIED;
  const size_t gap = value.find_first_of(" \t");
  if (gap == std::string_view::npos) return ERROR_ACCESS_DENIED;
  value.remove_prefix(gap);
  value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
  if (!ParseUnsigned(value, 10, &effectiveUid)) return ERROR_ACCESS_DENIED;

  // A kernel too old to report a field leaves it unknown, and unknown never
  // lowers the integrity level.
  unsigned long long noNewPrivs = 0;
  const bool bNoNewPrivs = StatusField(status, "NoNewPrivs", &value) &&
                           ParseUnsigned(value, 10, &noNewPrivs) && noNewPrivs == 1;
  unsigned long long capabilities = 0;
  const bool bHasCapabilities = !StatusField(status, "CapEff", &value) ||
                                !ParseUnsigned(value, 16, &capabilities) || capabilities != 0;

  pIdentity->effectiveUid = static_cast<uid_t>(effectiveUid);
  pIdentity->integrityRid = IntegrityRidOf(pIdentity->effectiveUid, bNoNewPrivs, bHasCapabilities);
  return ERROR_SUCCESS;
}

// A process opened by id. Waiting on the current process waits for ever, as
// on Windows; waiting for another process to end is not supported.
class CProcess final : public CKernelObject {
 public:
  CProcess(DWORD pid, const SProcessIdentity& identity) noexcept
      : CKernelObject(ObjectKind::kProcess), m_pid(pid), m_identity(identity) {}

  DWORD WaitSupport() const noexcept override {
    return m_pid == static_cast<DWORD>(getpid()) ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
  }

  const SProcessIdentity& Identity() const noexcept { return m_identity; }

 private:
  const DWORD m_pid;
  const SProcessIdentity m_identity;
};

class CToken final : public CKernelObject {
 public:
  explicit CToken(const SProcessIdentity& identity) noexcept
      : CKernelObject(ObjectKind::kToken), m_identity(identity) {}

  const SProcessIdentity& Identity() const noexcept { return m_identity; }

 private:
  const SProcessIdentity m_identity;
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

// The size and the content of one token information class, or
// ERROR_INVALID_PARAMETER for a class the layer does not answer.
DWORD TokenInformationSize(TOKEN_INFORMATION_CLASS infoClass, DWORD* pSize) {
  switch (infoClass) {
    case TokenIntegrityLevel:
      *pSize = static_cast<DWORD>(sizeof(TOKEN_MANDATORY_LABEL)) + kLabelSidLength;
      return ERROR_SUCCESS;
    case TokenIsAppContainer:
      *pSize = static_cast<DWORD>(sizeof(DWORD));
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

// The label SID follows the label in the caller's buffer; the buffer need
// not be aligned, so everything is copied bytewise.
void WriteTokenInformation(const CToken& token, TOKEN_INFORMATION_CLASS infoClass, BYTE* pOut) {
  if (infoClass == TokenIntegrityLevel) {
    const SID sid = LabelSid(token.Identity().integrityRid);
    static_assert(sizeof sid == kLabelSidLength);
    TOKEN_MANDATORY_LABEL label{};
    label.Label.Sid = pOut + sizeof(TOKEN_MANDATORY_LABEL);
    label.Label.Attributes = SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
    std::memcpy(pOut, &label, sizeof label);
    std::memcpy(pOut + sizeof label, &sid, sizeof sid);
  } else {
    // Linux has no app containers.
    const DWORD isAppContainer = 0;
    std::memcpy(pOut, &isAppContainer, sizeof isAppContainer);
  }
}

BYTE SubAuthorityCountOf(PSID pSid) { return static_cast<const BYTE*>(pSid)[1]; }

}  // namespace
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
    SProcessIdentity identity;
    const DWORD error = ReadProcessIdentity(dwProcessId, &identity);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return nullptr;
    }
    return InsertHandle(std::make_shared<CProcess>(dwProcessId, identity),
                        GrantedProcessAccess(dwDesiredAccess));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  if (TokenHandle == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  try {
    SProcessIdentity identity;
    if (ProcessHandle == kCurrentProcessPseudoHandle) {
      const DWORD error = ReadProcessIdentity(static_cast<DWORD>(getpid()), &identity);
      if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
      }
    } else {
      ACCESS_MASK granted = 0;
      auto pProcess = LookupObject<CProcess>(ProcessHandle, ObjectKind::kProcess, &granted);
      if (pProcess == nullptr) return FALSE;
      if ((granted & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
      }
      identity = pProcess->Identity();
    }
    HANDLE hToken = InsertHandle(std::make_shared<CToken>(identity),
                                 GrantedAccess(DesiredAccess, kTokenMapping));
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
  DWORD size = 0;
  const DWORD error = TokenInformationSize(TokenInformationClass, &size);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  if (ReturnLength != nullptr) *ReturnLength = size;
  if (TokenInformationLength < size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (TokenInformation == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  WriteTokenInformation(*pToken, TokenInformationClass, static_cast<BYTE*>(TokenInformation));
  return TRUE;
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

// System information: the computer name, the version test and the clock.
#include <unistd.h>
#include <windows.h>

#include <climits>
#include <ctime>
#include <new>
#include <string>

namespace {

// ---------------------------------------------------------------------------
// Computer name

// The NetBIOS form of the host name: its first label, upper case, cut to
// MAX_COMPUTERNAME_LENGTH units. Host names are ASCII; any other byte is
// kept as the Latin-1 unit of the same value rather than dropped.
std::u16string ComputerName() {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host) != 0) host[0] = '\0';
  host[HOST_NAME_MAX] = '\0';
  std::u16string name;
  for (const char* p = host; *p != '\0' && *p != '.' && name.size() < MAX_COMPUTERNAME_LENGTH;
       ++p) {
    char c = *p;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    name.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  }
  // Windows always has a name; a machine without a host name answers the
  // name Linux gives such a machine.
  if (name.empty()) name = u"LOCALHOST";
  return name;
}

// ---------------------------------------------------------------------------
// Version test

// The system the layer presents itself as: Windows 10 22H2 workstation,
// no service pack, single-user Remote Desktop (the suites of a Pro edition).
constexpr DWORD kMajorVersion = 10;
constexpr DWORD kMinorVersion = 0;
constexpr DWORD kBuildNumber = 19045;
constexpr WORD kServicePackMajor = 0;
constexpr WORD kServicePackMinor = 0;
constexpr WORD kSuiteSingleUserTs = 0x0100;
constexpr BYTE kProductType = VER_NT_WORKSTATION;

// The condition of one field: three bits per field, at the position of the
// field's bit in the type mask.
BYTE ConditionOf(ULONGLONG dwlConditionMask, DWORD typeBit) {
  int index = 0;
  while ((typeBit >> index) != 1) ++index;
  return static_cast<BYTE>((dwlConditionMask >> (3 * index)) & 0x7);
}

bool IsComparison(BYTE condition) { return condition >= VER_EQUAL && condition <= VER_LESS_EQUAL; }

// A field compared with a condition that is not a comparison fails: Windows
// answers "old version", not "bad argument", for a field requested without a
// usable condition.
bool Compare(DWORD current, DWORD requested, BYTE condition) {
  switch (condition) {
    case VER_EQUAL:
      return current == requested;
    case VER_GREATER:
      return current > requested;
    case VER_GREATER_EQUAL:
      return current >= requested;
    case VER_LESS:
      return current < requested;
    case VER_LESS_EQUAL:
      return current <= requested;
    default:
      return false;
  }
}

// The version proper (major, minor, service pack major and minor) is one
// number compared field by field from the most significant requested field:
// an unequal field decides, an equal one passes the decision on to the
// next. The first requested field's condition governs; a later field's own
// condition is used only where it agrees in direction with the governing
// one (after "equal" any comparison may take over), and once a requested
// field without a condition has been passed, the governing condition holds
// for the rest.
class CVersionComparison {
 public:
  BYTE Next(BYTE own) {
    if (m_governing == 0 && !m_bFrozen) {
      m_governing = own;
      if (own == 0) m_bFrozen = true;
      return own;
    }
    BYTE effective = m_governing;
    if (!m_bFrozen) {
      switch (m_governing) {
        case VER_EQUAL:
          if (IsComparison(own)) effective = m_governing = own;
          break;
        case VER_GREATER:
        case VER_GREATER_EQUAL:
          if (own == VER_EQUAL || own == VER_GREATER || own == VER_GREATER_EQUAL) effective = own;
          break;
        case VER_LESS:
        case VER_LESS_EQUAL:
          if (own == VER_EQUAL || own == VER_LESS || own == VER_LESS_EQUAL) effective = own;
          break;
        default:
          break;
      }
      if (own == 0) m_bFrozen = true;
    }
    return effective;
  }

 private:
  BYTE m_governing = 0;
  bool m_bFrozen = false;
};

bool VersionSatisfies(const OSVERSIONINFOEXW& required, DWORD dwTypeMask,
                      ULONGLONG dwlConditionMask) {
  struct SField {
    DWORD typeBit;
    DWORD current;
    DWORD requested;
  };
  const SField fields[] = {
      {VER_MAJORVERSION, kMajorVersion, required.dwMajorVersion},
      {VER_MINORVERSION, kMinorVersion, required.dwMinorVersion},
      {VER_SERVICEPACKMAJOR, kServicePackMajor, required.wServicePackMajor},
      {VER_SERVICEPACKMINOR, kServicePackMinor, required.wServicePackMinor},
  };
  CVersionComparison comparison;
  bool bSatisfied = true;
  for (const SField& field : fields) {
    if ((dwTypeMask & field.typeBit) == 0) continue;
    const BYTE condition = comparison.Next(ConditionOf(dwlConditionMask, field.typeBit));
    bSatisfied = Compare(field.current, field.requested, condition);
    if (field.current != field.requested || !IsComparison(condition)) break;
  }
  return bSatisfied;
}

// The fields are tested in Windows' order, which decides the answer when
// one field is a bad argument and another one fails.
DWORD VerifyVersion(const OSVERSIONINFOEXW& required, DWORD dwTypeMask,
                    ULONGLONG dwlConditionMask) {
  if ((dwTypeMask & VER_PRODUCT_TYPE) != 0 &&
      !Compare(kProductType, required.wProductType,
               ConditionOf(dwlConditionMask, VER_PRODUCT_TYPE))) {
    return ERROR_OLD_WIN_VERSION;
  }
  if ((dwTypeMask & VER_SUITENAME) != 0) {
    const WORD current = kSuiteSingleUserTs;
    const WORD wanted = required.wSuiteMask;
    switch (ConditionOf(dwlConditionMask, VER_SUITENAME)) {
      case VER_AND:
        if ((current & wanted) != wanted) return ERROR_OLD_WIN_VERSION;
        break;
      case VER_OR:
        if (wanted != 0 && (current & wanted) == 0) return ERROR_OLD_WIN_VERSION;
        break;
      default:
        return ERROR_BAD_ARGUMENTS;
    }
  }
  if ((dwTypeMask & VER_PLATFORMID) != 0 &&
      !Compare(VER_PLATFORM_WIN32_NT, required.dwPlatformId,
               ConditionOf(dwlConditionMask, VER_PLATFORMID))) {
    return ERROR_OLD_WIN_VERSION;
  }
  if ((dwTypeMask & VER_BUILDNUMBER) != 0 &&
      !Compare(kBuildNumber, required.dwBuildNumber,
               ConditionOf(dwlConditionMask, VER_BUILDNUMBER))) {
    return ERROR_OLD_WIN_VERSION;
  }
  if (!VersionSatisfies(required, dwTypeMask, dwlConditionMask)) return ERROR_OLD_WIN_VERSION;
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Clock

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr ULONGLONG kEpochDifferenceSeconds = 11644473600ull;

}  // namespace

BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
  if (nSize == nullptr || (lpBuffer == nullptr && *nSize != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string name;
  try {
    name = ComputerName();
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const auto length = static_cast<DWORD>(name.size());
  if (*nSize < length + 1) {
    *nSize = length + 1;
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  name.copy(lpBuffer, length);
  lpBuffer[length] = u'\0';
  *nSize = length;
  return TRUE;
}

// One field per call: the most significant field bit of TypeMask (product
// type first, minor version last) gets the condition, OR-ed into its three
// bits. A mask without a field bit leaves the condition mask unchanged.
ULONGLONG WINAPI VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition) {
  for (int index = 7; index >= 0; --index) {
    if ((TypeMask & (1u << index)) != 0) {
      return ConditionMask | (static_cast<ULONGLONG>(Condition & 0x7) << (3 * index));
    }
  }
  return ConditionMask;
}

// An empty type or condition mask, and a suite test that is neither VER_AND
// nor VER_OR, are bad arguments (ERROR_BAD_ARGUMENTS); a requirement the
// system does not meet is ERROR_OLD_WIN_VERSION.
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask,
                               ULONGLONG dwlConditionMask) {
  if (lpVersionInformation == nullptr || dwTypeMask == 0 || dwlConditionMask == 0) {
    SetLastError(ERROR_BAD_ARGUMENTS);
    return FALSE;
  }
  const DWORD error = VerifyVersion(*lpVersionInformation, dwTypeMask, dwlConditionMask);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

ULONGLONG WINAPI GetTickCount64(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000u +
         static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  if (lpSystemTimeAsFileTime == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const ULONGLONG intervals =
      (static_cast<ULONGLONG>(now.tv_sec) + kEpochDifferenceSeconds) * 10000000u +
      static_cast<ULONGLONG>(now.tv_nsec) / 100u;
  lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(intervals);
  lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(intervals >> 32);
}

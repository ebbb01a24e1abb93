#include "accounts.h"

#include <errno.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace kelmyr::winapi {
namespace {

constexpr DWORD kLocalSystemRid = 18;  // S-1-5-18
constexpr DWORD kNtNonUniqueRid = 21;  // S-1-5-21-a-b-c-RID
constexpr uint64_t kUserRidBase = 1000;
constexpr uint64_t kGroupRidBase = 1001;

// FNV-1a, 32 bits, with a seed so that three independent words come from
// one text.
DWORD Fnv1a(const std::string& text, DWORD seed) {
  DWORD h = 2166136261u ^ seed;
  for (unsigned char c : text) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

std::string ReadFirstLine(const char* pszPath) {
  std::ifstream in(pszPath);
  std::string line;
  if (in) std::getline(in, line);
  return line;
}

std::string MachineIdentity() {
  for (const char* pszPath : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string id = ReadFirstLine(pszPath);
    if (!id.empty()) return id;
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return host;
  return "kelmyr-machine";
}

void MakeSid(DWORD const* pSub, BYTE cSub, SAccountSid* pSid) {
  pSid->bytes[0] = SID_REVISION;
  pSid->bytes[1] = cSub;
  const BYTE authority[6] = {0, 0, 0, 0, 0, 5};  // SECURITY_NT_AUTHORITY
  std::memcpy(pSid->bytes + 2, authority, sizeof authority);
  for (BYTE i = 0; i < cSub; ++i) {
    std::memcpy(pSid->bytes + 8 + 4 * i, &pSub[i], sizeof(DWORD));
  }
  pSid->cb = 8 + 4u * cSub;
}

bool DomainSid(uint64_t rid, SAccountSid* pSid) {
  if (rid > 0xFFFFFFFFu) return false;
  const std::array<DWORD, 3> domain = MachineDomainSubAuthorities();
  const DWORD sub[5] = {kNtNonUniqueRid, domain[0], domain[1], domain[2], static_cast<DWORD>(rid)};
  MakeSid(sub, 5, pSid);
  return true;
}

}  // namespace

std::array<DWORD, 3> DomainSubAuthoritiesFromIdentity(const std::string& identity) noexcept {
  std::string hex;
  for (char c : identity) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(c);
  }
  std::array<DWORD, 3> sub{};
  if (hex.size() >= 24) {
    for (size_t i = 0; i < 3; ++i) {
      sub[i] = static_cast<DWORD>(std::stoul(hex.substr(8 * i, 8), nullptr, 16));
    }
  } else {
    for (size_t i = 0; i < 3; ++i) sub[i] = Fnv1a(identity, static_cast<DWORD>(i));
  }
  return sub;
}

std::array<DWORD, 3> MachineDomainSubAuthorities() noexcept {
  static const std::array<DWORD, 3> sub = [] {
    try {
      return DomainSubAuthoritiesFromIdentity(MachineIdentity());
    } catch (...) {
      return DomainSubAuthoritiesFromIdentity("kelmyr-machine");
    }
  }();
  return sub;
}

bool UserSid(uid_t uid, SAccountSid* pSid) noexcept {
  if (uid == 0) {
    const DWORD sub[1] = {kLocalSystemRid};
    MakeSid(sub, 1, pSid);
    return true;
  }
  return DomainSid(kUserRidBase + 2 * static_cast<uint64_t>(uid), pSid);
}

bool GroupSid(gid_t gid, SAccountSid* pSid) noexcept {
  return DomainSid(kGroupRidBase + 2 * static_cast<uint64_t>(gid), pSid);
}

// The SIDs made here have a small authority, so it is always in decimal.
std::u16string SidToString(const SAccountSid& sid) {
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid.bytes[i];
  char sz[32];
  std::snprintf(sz, sizeof sz, "S-%u-%llu", static_cast<unsigned>(sid.bytes[0]),
                static_cast<unsigned long long>(authority));
  std::string text(sz);
  for (BYTE i = 0; i < sid.bytes[1]; ++i) {
    DWORD sub = 0;
    std::memcpy(&sub, sid.bytes + 8 + 4 * i, sizeof sub);
    std::snprintf(sz, sizeof sz, "-%lu", static_cast<unsigned long>(sub));
    text.append(sz);
  }
  return std::u16string(text.begin(), text.end());
}

bool LookUpUser(uid_t uid, SUserEntry* pEntry) {
  std::vector<char> buffer(16384);
  for (;;) {
    passwd entry{};
    passwd* pFound = nullptr;
    const int rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &pFound);
    if (rc == ERANGE && buffer.size() < (size_t{1} << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || pFound == nullptr) return false;
    pEntry->name = pFound->pw_name != nullptr ? pFound->pw_name : "";
    pEntry->home = pFound->pw_dir != nullptr ? pFound->pw_dir : "";
    pEntry->gid = pFound->pw_gid;
    return true;
  }
}

bool HomeFolder(uid_t uid, std::string* pHome) {
  const char* pszHome = secure_getenv("HOME");
  if (pszHome != nullptr && pszHome[0] != '\0') {
    *pHome = pszHome;
    return true;
  }
  SUserEntry user;
  if (!LookUpUser(uid, &user) || user.home.empty()) return false;
  *pHome = std::move(user.home);
  return true;
}

}  // namespace kelmyr::winapi

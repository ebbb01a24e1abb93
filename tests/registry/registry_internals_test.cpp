// The pure parts of the native registry, tested directly: the account SIDs
// (shared with the token's user), the case folding and path splitting of
// names, and the hive's location and folders.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "accounts.h"
#include "registry_location.h"
#include "registry_names.h"

namespace {

using namespace kelmyr::winapi;
using namespace kelmyr::winapi::registry;

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

std::string DomainPrefix() {
  const std::array<DWORD, 3> d = MachineDomainSubAuthorities();
  return "S-1-5-21-" + std::to_string(d[0]) + "-" + std::to_string(d[1]) + "-" +
         std::to_string(d[2]) + "-";
}

TEST(Accounts, RootIsLocalSystemOthersLieInTheMachineDomainWithin32BitRids) {
  struct SCase {
    bool bGroup;
    unsigned id;
    const char* pszRid;  // null: no SID; "": S-1-5-18
  };
  // The largest ids that fit, and the next ones.
  const std::vector<SCase> cases = {{false, 0, ""},
                                    {true, 0, "1001"},
                                    {false, 2147483147u, "4294967294"},
                                    {false, 2147483148u, nullptr},
                                    {true, 2147483147u, "4294967295"},
                                    {true, 2147483148u, nullptr}};
  for (const SCase& c : cases) {
    SAccountSid sid;
    const bool bOk = c.bGroup ? GroupSid(c.id, &sid) : UserSid(c.id, &sid);
    ASSERT_EQ(bOk, c.pszRid != nullptr) << c.id;
    if (!bOk) continue;
    const std::string rid = c.pszRid;
    EXPECT_EQ(Narrow(SidToString(sid)), rid.empty() ? "S-1-5-18" : DomainPrefix() + rid) << c.id;
    EXPECT_EQ(sid.cb, rid.empty() ? 12u : 28u);
  }
}

TEST(Accounts, DomainComesFromTheMachineIdentity) {
  EXPECT_EQ(DomainSubAuthoritiesFromIdentity("3d1219c7c4c5404aaa1f6d2a48adfda4"),
            (std::array<DWORD, 3>{0x3d1219c7u, 0xc4c5404au, 0xaa1f6d2au}));
  // A short identity (a host name) is hashed, distinct per name.
  EXPECT_NE(DomainSubAuthoritiesFromIdentity("host"), DomainSubAuthoritiesFromIdentity("other"));
  std::ifstream in("/etc/machine-id");
  std::string id;
  if (in && std::getline(in, id) && !id.empty()) {
    EXPECT_EQ(MachineDomainSubAuthorities(), DomainSubAuthoritiesFromIdentity(id));
  }
}

TEST(RegistryNames, FoldingIsToUpperCaseAndOrdersAsTheFoldedUnits) {
  // é, ÿ, ß (no one-unit capital), ÷ (no letter), ā, ľ, final sigma, я, ё,
  // fullwidth a.
  const std::vector<std::pair<char16_t, char16_t>> cases = {
      {u'a', u'A'},           {u'_', u'_'},           {u'\u00e9', u'\u00c9'},
      {u'\u00ff', u'\u0178'}, {u'\u00df', u'\u00df'}, {u'\u00f7', u'\u00f7'},
      {u'\u0101', u'\u0100'}, {u'\u013e', u'\u013d'}, {u'\u03c2', u'\u03a3'},
      {u'\u044f', u'\u042f'}, {u'\u0451', u'\u0401'}, {u'\uff41', u'\uff21'}};
  for (const auto& [c, upper] : cases) EXPECT_EQ(UpcaseUnit(c), upper) << int(c);
  // The order of ASCII names is checked through enumeration.
  EXPECT_LT(FoldedKey(u"\u00ff"), FoldedKey(u"\uff41"));
}

// The rest of the splitting is checked through the registry calls.
TEST(RegistryNames, PathsSplitWithinTheCountedStringLimit) {
  std::vector<RegName> names;
  const RegName tooLong = u"a" + RegName(kMaxPathLength, u'\\');
  EXPECT_EQ(SplitSubKeyPath(tooLong.c_str(), &names), ERROR_INVALID_PARAMETER);
}

// A hive named by the variable is checked through the hive tests; the
// default ones get their folders made.
TEST(RegistryLocation, SystemThenUserState) {
  struct SCase {
    const char* pszRegistry;
    uid_t euid;
    const char* pszStateHome;
    const char* pszHome;
    const char* pszPath;  // null: none
  };
  const std::vector<SCase> cases = {
      {"", 0, "/state", "/root", "/var/lib/kelmyr/registry.db"},
      {nullptr, 1000, "/state", "/home/u", "/state/kelmyr/registry.db"},
      {nullptr, 1000, "relative", "/home/u", "/home/u/.local/state/kelmyr/registry.db"},
      {nullptr, 1000, nullptr, nullptr, nullptr}};
  for (const SCase& c : cases) {
    SHiveLocation location;
    ASSERT_EQ(HiveLocationFrom(c.pszRegistry, c.euid, c.pszStateHome, c.pszHome, &location),
              c.pszPath != nullptr);
    if (c.pszPath == nullptr) continue;
    EXPECT_EQ(location.path, c.pszPath);
    EXPECT_TRUE(location.bCreateFolder) << c.pszPath;
  }
}

TEST(RegistryLocation, FoldersAreMadeForTheOwnerAlone) {
  const std::string base =
      (std::filesystem::temp_directory_path() / ("kelmyr-folders-" + std::to_string(getpid())))
          .string();
  const mode_t previous = umask(0);
  const bool bMade = MakeHiveFolders(base + "/a/b");
  umask(previous);
  ASSERT_TRUE(bMade);
  for (const std::string& folder : {base, base + "/a", base + "/a/b"}) {
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << folder;
  }
  std::ofstream(base + "/file") << "x";
  EXPECT_FALSE(MakeHiveFolders(base + "/file/c"));
  std::filesystem::remove_all(base);
}

}  // namespace

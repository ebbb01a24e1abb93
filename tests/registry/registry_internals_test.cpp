// The pure parts of the native registry, tested directly: the account SIDs
// (shared with the token's user), the case folding and path splitting of
// names, and the hive's location.
#include <gtest/gtest.h>

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

TEST(Accounts, RootIsLocalSystemAndOthersLieInTheMachineDomain) {
  SAccountSid sid;
  ASSERT_TRUE(UserSid(0, &sid));
  EXPECT_EQ(Narrow(SidToString(sid)), "S-1-5-18");
  EXPECT_EQ(sid.cb, 12u);

  ASSERT_TRUE(UserSid(1000, &sid));
  EXPECT_EQ(Narrow(SidToString(sid)), DomainPrefix() + "3000");
  EXPECT_EQ(sid.cb, 28u);
  ASSERT_TRUE(GroupSid(1000, &sid));
  EXPECT_EQ(Narrow(SidToString(sid)), DomainPrefix() + "3001");
  ASSERT_TRUE(GroupSid(0, &sid));
  EXPECT_EQ(Narrow(SidToString(sid)), DomainPrefix() + "1001");
}

TEST(Accounts, IdsBeyondA32BitRidHaveNoSid) {
  SAccountSid sid;
  EXPECT_TRUE(UserSid(2147483147u, &sid));  // RID 0xFFFFFFFE
  EXPECT_EQ(Narrow(SidToString(sid)), DomainPrefix() + "4294967294");
  EXPECT_FALSE(UserSid(2147483148u, &sid));
  EXPECT_TRUE(GroupSid(2147483147u, &sid));  // RID 0xFFFFFFFF
  EXPECT_FALSE(GroupSid(2147483148u, &sid));
}

TEST(Accounts, DomainComesFromTheMachineIdentity) {
  const std::array<DWORD, 3> fromId =
      DomainSubAuthoritiesFromIdentity("3d1219c7c4c5404aaa1f6d2a48adfda4");
  EXPECT_EQ(fromId[0], 0x3d1219c7u);
  EXPECT_EQ(fromId[1], 0xc4c5404au);
  EXPECT_EQ(fromId[2], 0xaa1f6d2au);
  // A short identity (a host name) is hashed: stable, and distinct per name.
  EXPECT_EQ(DomainSubAuthoritiesFromIdentity("buildhost"),
            DomainSubAuthoritiesFromIdentity("buildhost"));
  EXPECT_NE(DomainSubAuthoritiesFromIdentity("buildhost"),
            DomainSubAuthoritiesFromIdentity("otherhost"));

  std::ifstream in("/etc/machine-id");
  std::string id;
  if (in && std::getline(in, id) && !id.empty()) {
    EXPECT_EQ(MachineDomainSubAuthorities(), DomainSubAuthoritiesFromIdentity(id));
  }
}

TEST(RegistryNames, FoldingIsToUpperCase) {
  EXPECT_EQ(UpcaseUnit(u'a'), u'A');
  EXPECT_EQ(UpcaseUnit(u'_'), u'_');
  EXPECT_EQ(UpcaseUnit(u'\u00e9'), u'\u00c9');  // é
  EXPECT_EQ(UpcaseUnit(u'\u00ff'), u'\u0178');  // ÿ
  EXPECT_EQ(UpcaseUnit(u'\u00df'), u'\u00df');  // ß has no one-unit capital
  EXPECT_EQ(UpcaseUnit(u'\u00f7'), u'\u00f7');  // ÷ is no letter
  EXPECT_EQ(UpcaseUnit(u'\u0101'), u'\u0100');  // ā
  EXPECT_EQ(UpcaseUnit(u'\u013e'), u'\u013d');  // ľ
  EXPECT_EQ(UpcaseUnit(u'\u03c2'), u'\u03a3');  // final sigma
  EXPECT_EQ(UpcaseUnit(u'\u044f'), u'\u042f');  // я
  EXPECT_EQ(UpcaseUnit(u'\u0451'), u'\u0401');  // ё
  EXPECT_EQ(UpcaseUnit(u'\uff41'), u'\uff21');  // fullwidth a

  EXPECT_EQ(FoldedKey(u"Ab"), FoldedKey(u"aB"));
  // Byte order of the folded keys is the enumeration order: "_" after "Z".
  EXPECT_LT(FoldedKey(u"Z"), FoldedKey(u"_"));
  EXPECT_LT(FoldedKey(u"a"), FoldedKey(u"a_"));
  EXPECT_LT(FoldedKey(u"\u00ff"), FoldedKey(u"\uff41"));
}

TEST(RegistryNames, PathsSplitIntoKeyNames) {
  std::vector<RegName> names;
  EXPECT_EQ(SplitSubKeyPath(u"Software\\\\Orvane\\Kelmyr\\", &names), ERROR_SUCCESS);
  EXPECT_EQ(names, (std::vector<RegName>{u"Software", u"Orvane", u"Kelmyr"}));
  EXPECT_EQ(SplitSubKeyPath(nullptr, &names), ERROR_SUCCESS);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(SplitSubKeyPath(u"", &names), ERROR_SUCCESS);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(SplitSubKeyPath(u"\\Software", &names), ERROR_BAD_PATHNAME);
  const RegName longest(kMaxKeyNameLength, u'k');
  EXPECT_EQ(SplitSubKeyPath((u"a\\" + longest).c_str(), &names), ERROR_SUCCESS);
  EXPECT_EQ(SplitSubKeyPath((u"a\\" + longest + u"k").c_str(), &names), ERROR_INVALID_PARAMETER);
  const RegName tooLong(kMaxPathLength + 1, u'\\');
  EXPECT_EQ(SplitSubKeyPath((u"a" + tooLong).c_str(), &names), ERROR_INVALID_PARAMETER);
}

TEST(RegistryLocation, VariableThenSystemThenUserState) {
  SHiveLocation location;
  ASSERT_TRUE(HiveLocationFrom("/tmp/h.db", 1000, "/state", "/home/u", &location));
  EXPECT_EQ(location.path, "/tmp/h.db");
  EXPECT_FALSE(location.bCreateFolder) << "a named hive's folder is never created";

  ASSERT_TRUE(HiveLocationFrom("", 0, "/state", "/root", &location));
  EXPECT_EQ(location.path, "/var/lib/kelmyr/registry.db");
  EXPECT_TRUE(location.bCreateFolder);

  ASSERT_TRUE(HiveLocationFrom(nullptr, 1000, "/state", "/home/u", &location));
  EXPECT_EQ(location.path, "/state/kelmyr/registry.db");
  ASSERT_TRUE(HiveLocationFrom(nullptr, 1000, "relative", "/home/u", &location));
  EXPECT_EQ(location.path, "/home/u/.local/state/kelmyr/registry.db");
  ASSERT_TRUE(HiveLocationFrom(nullptr, 1000, nullptr, "/home/u", &location));
  EXPECT_EQ(location.path, "/home/u/.local/state/kelmyr/registry.db");
  EXPECT_FALSE(HiveLocationFrom(nullptr, 1000, nullptr, nullptr, &location));
}

}  // namespace

// What one process stores in a registry tree, a new tree in another process
// reads, both ways: the test runs its own program again for the other side.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "common/registry_test_key.h"
#include "trees/registrytree.h"
#include "trees/tree_test_util.h"

namespace {

constexpr char kTreeVariable[] = "KELMYR_TEST_TREE";

std::string OwnProgram() {
  char sz[4096] = "";
#ifdef _WIN32
  GetModuleFileNameA(nullptr, sz, sizeof sz);
#else
  const ssize_t cch = readlink("/proc/self/exe", sz, sizeof sz - 1);
  sz[cch > 0 ? cch : 0] = 0;
#endif
  return sz;
}

void SetVariable(const char* pszName, const std::string& value) {
#ifdef _WIN32
  _putenv_s(pszName, value.c_str());
#else
  setenv(pszName, value.c_str(), 1);
#endif
}

// The bytes of a stored vector as text, or "failed".
std::string Read(CRegistryTree& tree, const char* pszName) {
  CScopedSafeArray value;
  if (FAILED(tree.GetData(U("1/A"), U(pszName), value.Receive(), 0))) return "failed";
  const BYTE* pb = static_cast<const BYTE*>(value.Get()->pvData);
  return std::string(pb, pb + value.Get()->rgsabound[0].cElements);
}

TEST(RegistryTreeProcesses, AnotherProcessReadsBack) {
  CScratchHive hive;
  const std::string sTreeId = "Processes-" + std::to_string(GetCurrentProcessId());
  SetVariable(kTreeVariable, sTreeId);
  {
    CRegistryTree tree(U(sTreeId), REGISTRY_TREE_MACHINE);
    CScopedSafeArray value = MakeBytes({'p', '1'});
    ASSERT_EQ(tree.SetData(U("1/A"), U("parent"), value.Get(), 0, FALSE), S_OK);
  }
  const std::string command = "\"" + OwnProgram() +
                              "\" --gtest_also_run_disabled_tests "
                              "--gtest_filter=RegistryTreeProcesses.DISABLED_OtherSide";
  EXPECT_EQ(std::system(command.c_str()), 0);
  CRegistryTree tree(U(sTreeId), REGISTRY_TREE_MACHINE);
  EXPECT_EQ(Read(tree, "child"), "c2");
  EXPECT_EQ(tree.FlushTree(0), S_OK);
}

// The child's side, run only by the test above.
TEST(RegistryTreeProcesses, DISABLED_OtherSide) {
  const char* pszTreeId = std::getenv(kTreeVariable);
  ASSERT_NE(pszTreeId, nullptr);
  CRegistryTree tree(U(pszTreeId), REGISTRY_TREE_MACHINE);
  EXPECT_EQ(Read(tree, "parent"), "p1");
  CScopedSafeArray value = MakeBytes({'c', '2'});
  EXPECT_EQ(tree.SetData(U("1/A"), U("child"), value.Get(), 0, FALSE), S_OK);
}

}  // namespace

// A program with raised privileges is loaded into by callers it must not
// trust: it takes neither its key folder nor its log file from their
// environment. The same program without raised privileges does, which shows
// that the probe reaches both variables.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

constexpr uid_t kNobody = 65534;

TEST(RaisedPrivileges, IgnoreTheCallersKeyFolderAndLogFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID program";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("raised-env-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directory(dir);
  // Writable by the account the probe runs as, so only the variables decide.
  ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
  const std::string program = (dir / "env_probe").string();
  std::filesystem::copy_file(KELMYR_ENV_PROBE, program);
  ASSERT_EQ(chown(program.c_str(), kNobody, kNobody), 0);
  const std::string keys = "KELMYR_DPAPI_KEYS=" + (dir / "keys").string();
  const std::string log = "KELMYR_LOG_FILE=" + (dir / "log").string();
  for (const bool bRaised : {false, true}) {
    std::filesystem::remove_all(dir / "keys");
    std::filesystem::remove(dir / "log");
    ASSERT_EQ(chmod(program.c_str(), bRaised ? 04755 : 0755), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      // Without the set-user-ID bit the probe runs as that account outright.
      if (!bRaised && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(3);
      char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
      char* const envp[] = {const_cast<char*>(keys.c_str()), const_cast<char*>(log.c_str()),
                            const_cast<char*>("KELMYR_LOG_LEVELS=0x6"), nullptr};
      execve(program.c_str(), argv, envp);
      _exit(4);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 3) << status;
    EXPECT_EQ(std::filesystem::exists(dir / "keys"), !bRaised) << "raised " << bRaised;
    EXPECT_EQ(std::filesystem::exists(dir / "log"), !bRaised) << "raised " << bRaised;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/recording_log_sink.h"
#include "support/logfilesink.h"
#include "support/qvlog.h"

#ifndef _WIN32
#include <fcntl.h>
#endif

namespace {

template <class... Args>
OleString Format(logformat::CLogFormat<std::type_identity_t<Args>...> format, Args... args) {
  const logformat::CLogArg argv[] = {logformat::MakeLogArg(args)..., {}};
  return logformat::FormatLogMessage(format.Get(), argv, sizeof...(Args));
}

// The text is the same in both builds, whatever the width of the platform's
// long.
TEST(LogFormat, WindowsWidthsStringsPointers) {
  const OLECHAR* pszNull = nullptr;
  OLECHAR bstr[] = OLESTR("bstr");
  const struct {
    OleString got;
    const OLECHAR* pszWant;
  } cases[] = {
      {Format(OLESTR("%d"), 0xFFFFFFFFu), OLESTR("-1")},
      {Format(OLESTR("%d"), -2147483647 - 1), OLESTR("-2147483648")},
      {Format(OLESTR("%ld"), 0x1FFFFFFFFll), OLESTR("-1")},
      {Format(OLESTR("%u"), -1), OLESTR("4294967295")},
      {Format(OLESTR("%X"), 0xabcdefu), OLESTR("ABCDEF")},
      {Format(OLESTR("%x"), size_t{0x123456789}), OLESTR("23456789")},
      {Format(OLESTR("%08x|%-4d|%4d|%05d"), 0xbeefu, 7, 7, -42),
       OLESTR("0000beef|7   |   7|-0042")},
      {Format(OLESTR("[%s]"), pszNull), OLESTR("[(null)]")},
      {Format(OLESTR("%s"), static_cast<OLECHAR*>(bstr)), OLESTR("bstr")},
      {Format(OLESTR("100%%")), OLESTR("100%")},
      {Format(OLESTR("%p"), reinterpret_cast<void*>(0x12ab)), OLESTR("00000000000012AB")},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.pszWant);
}

// The mask selects levels; a filtered call does not touch its arguments
// (were this pointer read, it would fault). The sink gets the format as
// passed.
TEST(LogChannel, MaskSelectsLevelsBeforeFormatting) {
  CRecordingLogSink sink((1u << LOG_FAILURE) | (1u << LOG_EXIT));
  const OLECHAR* pszPoison = reinterpret_cast<const OLECHAR*>(static_cast<uintptr_t>(0x10));
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("value = %s"), pszPoison);
  qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("one"));
  qvlogLog(gLogChannel, LOG_EXIT, OLESTR("sixteen %d"), 16);
  qvlogLog(gLogChannel, 40, OLESTR("out of range"));
  qvlogLog(gLogChannel, -1, OLESTR("negative"));
  const auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 2u) << sink.Dump();
  EXPECT_EQ(lines[0].lLevel, LOG_FAILURE);
  EXPECT_EQ(lines[1].text, OLESTR("sixteen 16"));
}

std::filesystem::path TempPath(const char* name) {
  return std::filesystem::temp_directory_path() /
         (std::string(name) + "-" + std::to_string(GetCurrentProcessId()) + ".log");
}

TEST(LogFileSink, WritesOneWholeLinePerCallFromManyThreads) {
  const auto path = TempPath("kelmyr-log-threads");
  std::filesystem::remove(path);
  {
    CLogFileSink fileSink(path);
    ILogSink* pPrevious = qvlogInstallSink(&fileSink);
    const uint32_t previousMask = qvlogGetLevelMask();
    qvlogSetLevelMask(kLogAllLevels);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i) {
          qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("thread %d line %d \x00e9\x4e2d"), t, i);
        }
      });
    }
    for (auto& th : threads) th.join();
    qvlogSetLevelMask(previousMask);
    qvlogInstallSink(pPrevious);
  }
  // time stamp, process, thread, level, channel, message (UTF-8).
  const std::regex whole(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} pid=\\d+ tid=\\d+ L2 SRVKELMYR "
      "thread \\d line \\d+ \xc3\xa9\xe4\xb8\xad");
  std::ifstream in(path, std::ios::binary);
  size_t count = 0;
  for (std::string line; std::getline(in, line); ++count) {
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
  }
  in.close();
  std::filesystem::remove(path);
  EXPECT_EQ(count, 800u);
}

#ifndef _WIN32
// The descriptor of this process open on path, or -1.
int OpenDescriptorOf(const std::filesystem::path& path) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == path) {
      return std::stoi(entry.path().filename().string());
    }
  }
  return -1;
}

// A new file is its owner's alone and not inherited across exec; a link
// planted as the file is refused and its target left untouched.
TEST(LogFileSink, OpensOwnerOnlyCloseOnExecNeverThroughALink) {
  const auto path = TempPath("kelmyr-log-open");
  const auto target = TempPath("kelmyr-log-target");
  const CLogRecord record{gLogChannel, LOG_FAILURE, OLESTR("x"), OLESTR("x")};
  std::filesystem::remove(path);
  {
    CLogFileSink fileSink(path);
    fileSink.Write(record);
    const int fd = OpenDescriptorOf(path);
    ASSERT_NE(fd, -1);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(std::filesystem::status(path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  std::filesystem::remove(path);
  std::ofstream(target) << "";
  std::filesystem::create_symlink(target, path);
  CLogFileSink(path).Write(record);
  EXPECT_EQ(std::filesystem::file_size(target), 0u);
  std::filesystem::remove(path);
  std::filesystem::remove(target);
}
#endif

// An empty value counts as none.
void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  setenv(name, value ? value : "", 1);
#endif
}

// The environment wins over the machine's configuration key; logging is off
// unless a file is named, and every level is written when no valid mask is.
TEST(LogConfiguration, EnvironmentThenRegistry) {
  struct {
    const char* pszEnvFile;
    const char* pszEnvLevels;
    bool bRegistry;  // LogFile "registry.log", LogLevels 0x101
    const char* pszFile;
    uint32_t mask;
  } cases[] = {
      {nullptr, "0x3", false, "", 0},
      {"env.log", "0x3", false, "env.log", 3},
      {"env.log", "not a mask", false, "env.log", kLogAllLevels},
      {"env.log", nullptr, false, "env.log", kLogAllLevels},
      {nullptr, nullptr, true, "registry.log", 0x101},
      {nullptr, "2", true, "registry.log", 2},
      {"env.log", nullptr, true, "env.log", 0x101},
  };
  HKEY hKey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, OLESTR("Software\\Orvane\\Kelmyr"), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  const OLECHAR file[] = OLESTR("registry.log");
  const DWORD levels = 0x101;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszFile);
    SetEnv("KELMYR_LOG_FILE", c.pszEnvFile);
    SetEnv("KELMYR_LOG_LEVELS", c.pszEnvLevels);
    RegDeleteValueW(hKey, OLESTR("LogFile"));
    RegDeleteValueW(hKey, OLESTR("LogLevels"));
    if (c.bRegistry) {
      RegSetValueExW(hKey, OLESTR("LogFile"), 0, REG_SZ, reinterpret_cast<const BYTE*>(file),
                     sizeof(file));
      RegSetValueExW(hKey, OLESTR("LogLevels"), 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&levels), sizeof(levels));
    }
    const CLogConfiguration config = ReadLogConfiguration();
    EXPECT_EQ(config.file, std::filesystem::path(c.pszFile));
    EXPECT_EQ(config.mask, c.mask);
  }
  SetEnv("KELMYR_LOG_FILE", nullptr);
  SetEnv("KELMYR_LOG_LEVELS", nullptr);
  RegDeleteValueW(hKey, OLESTR("LogFile"));
  RegDeleteValueW(hKey, OLESTR("LogLevels"));
  RegCloseKey(hKey);
}

}  // namespace

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/registry_test_key.h"
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
  const std::pair<OleString, const OLECHAR*> cases[] = {
      {Format(OLESTR("%d %d %ld %u"), 0xFFFFFFFFu, -2147483647 - 1, 0x1FFFFFFFFll, -1),
       OLESTR("-1 -2147483648 -1 4294967295")},
      {Format(OLESTR("%X %x"), 0xabcdefu, size_t{0x123456789}), OLESTR("ABCDEF 23456789")},
      {Format(OLESTR("%08x|%-4d|%4d|%05d"), 0xbeefu, 7, 7, -42),
       OLESTR("0000beef|7   |   7|-0042")},
      {Format(OLESTR("[%s] %s 100%%"), pszNull, static_cast<OLECHAR*>(bstr)),
       OLESTR("[(null)] bstr 100%")},
      {Format(OLESTR("%p"), reinterpret_cast<void*>(0x12ab)), OLESTR("00000000000012AB")},
  };
  for (const auto& [got, pszWant] : cases) EXPECT_EQ(got, pszWant);
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
  EXPECT_EQ(sink.Dump(), "  L1 one\n  L16 sixteen 16\n");
}

std::filesystem::path TempPath(const char* name) {
  return std::filesystem::temp_directory_path() /
         (std::string(name) + "-" + std::to_string(GetCurrentProcessId()) + ".log");
}

TEST(LogFileSink, WritesOneWholeLinePerCallFromManyThreads) {
  const auto path = TempPath("kelmyr-log-threads");
  std::filesystem::remove(path);
  {
    // Selects every level, and restores the channel when it goes.
    const CRecordingLogSink restore;
    CLogFileSink fileSink(path);
    qvlogInstallSink(&fileSink);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i)
          qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("thread %d line %d \x00e9\x4e2d"), t, i);
      });
    }
    for (auto& th : threads) th.join();
    qvlogInstallSink(nullptr);
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
    if (std::filesystem::read_symlink(entry.path(), ec) == path)
      return std::stoi(entry.path().filename().string());
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
  // The variables for the file and levels; whether the key holds LogFile
  // "registry.log" and LogLevels 0x101; the file and mask read.
  const std::tuple<const char*, const char*, bool, const char*, uint32_t> cases[] = {
      {nullptr, "0x3", false, "", 0},
      {"env.log", "0x3", false, "env.log", 3},
      {"env.log", "not a mask", false, "env.log", kLogAllLevels},
      {"env.log", nullptr, false, "env.log", kLogAllLevels},
      {nullptr, nullptr, true, "registry.log", 0x101},
      {nullptr, "2", true, "registry.log", 2},
      {"env.log", nullptr, true, "env.log", 0x101},
      {"env.log", "not a mask", true, "env.log", 0x101},
      {nullptr, nullptr, false, "", 0},  // leaves nothing behind
  };
  const CScopedHKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Orvane\\Kelmyr");
  const OLECHAR file[] = OLESTR("registry.log");
  for (const auto& [pszEnvFile, pszEnvLevels, bRegistry, pszFile, mask] : cases) {
    SCOPED_TRACE(pszFile);
    SetEnv("KELMYR_LOG_FILE", pszEnvFile);
    SetEnv("KELMYR_LOG_LEVELS", pszEnvLevels);
    RegDeleteValueW(key.Get(), OLESTR("LogFile"));
    RegDeleteValueW(key.Get(), OLESTR("LogLevels"));
    if (bRegistry) {
      RegSetValueExW(key.Get(), OLESTR("LogFile"), 0, REG_SZ, reinterpret_cast<const BYTE*>(file),
                     sizeof(file));
      SetValue(key.Get(), "LogLevels", REG_DWORD, {1, 1, 0, 0});
    }
    const CLogConfiguration config = ReadLogConfiguration();
    EXPECT_EQ(config.file, std::filesystem::path(pszFile));
    EXPECT_EQ(config.mask, mask);
  }
}

}  // namespace

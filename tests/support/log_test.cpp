#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/registry_test_key.h"
#include "support/logfilesink.h"
#include "support/qvlog.h"

namespace {

template <class... Args>
OleString Format(logformat::CLogFormat<std::type_identity_t<Args>...> format, Args... args) {
  const logformat::CLogArg argv[] = {logformat::MakeLogArg(args)..., {}};
  return logformat::FormatLogMessage(format.Get(), argv, sizeof...(Args));
}

// The formatted text is the same in both builds, whatever the width of the
// platform's long.
TEST(LogFormat, IntegersHaveWindowsWidths) {
  EXPECT_EQ(Format(OLESTR("%d"), 0xFFFFFFFFu), OLESTR("-1"));
  EXPECT_EQ(Format(OLESTR("%d"), -2147483647 - 1), OLESTR("-2147483648"));
  EXPECT_EQ(Format(OLESTR("%ld"), 0x1FFFFFFFFll), OLESTR("-1"));
  EXPECT_EQ(Format(OLESTR("%u"), -1), OLESTR("4294967295"));
  EXPECT_EQ(Format(OLESTR("hr = 0x%x"), E_INVALIDARG), OLESTR("hr = 0x80070057"));
  EXPECT_EQ(Format(OLESTR("%X"), 0xabcdefu), OLESTR("ABCDEF"));
  EXPECT_EQ(Format(OLESTR("%x"), size_t{0x123456789}), OLESTR("23456789"));
  EXPECT_EQ(Format(OLESTR("%08x|%-4d|%4d|%05d"), 0xbeefu, 7, 7, -42),
            OLESTR("0000beef|7   |   7|-0042"));
}

TEST(LogFormat, StringsPointersAndPercent) {
  const OLECHAR* pszNull = nullptr;
  EXPECT_EQ(Format(OLESTR("a %s b"), OLESTR("x y")), OLESTR("a x y b"));
  EXPECT_EQ(Format(OLESTR("[%s]"), pszNull), OLESTR("[(null)]"));
  EXPECT_EQ(Format(OLESTR("100%%")), OLESTR("100%"));
  EXPECT_EQ(Format(OLESTR("%p"), reinterpret_cast<void*>(0x12ab)), OLESTR("00000000000012AB"));
  EXPECT_EQ(Format(OLESTR("%p"), nullptr), OLESTR("0000000000000000"));
  // A BSTR is an OLECHAR pointer: it prints as a string or as a pointer.
  OLECHAR buf[] = OLESTR("bstr");
  EXPECT_EQ(Format(OLESTR("%s"), static_cast<OLECHAR*>(buf)), OLESTR("bstr"));
}

TEST(LogChannel, MaskSelectsLevels) {
  CRecordingLogSink sink((1u << LOG_FAILURE) | (1u << LOG_EXIT));
  qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("one"));
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("zero"));
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("eight"));
  qvlogLog(gLogChannel, LOG_EXIT, OLESTR("sixteen %d"), 16);
  qvlogLog(gLogChannel, 40, OLESTR("out of range"));
  qvlogLog(gLogChannel, -1, OLESTR("negative"));
  const auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 2u) << sink.Dump();
  EXPECT_EQ(lines[0].lLevel, LOG_FAILURE);
  EXPECT_EQ(lines[0].channel, OLESTR("SRVKELMYR"));
  EXPECT_EQ(lines[1].text, OLESTR("sixteen 16"));
}

// A filtered call must not format: were the argument read, this pointer
// would fault.
TEST(LogChannel, FilteredCallDoesNotTouchArguments) {
  CRecordingLogSink sink(1u << LOG_FAILURE);
  const OLECHAR* pszPoison = reinterpret_cast<const OLECHAR*>(static_cast<uintptr_t>(0x10));
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("value = %s"), pszPoison);
  EXPECT_EQ(sink.Count(), 0u);
}

class CTempFile {
 public:
  explicit CTempFile(const char* name)
      : m_path(std::filesystem::temp_directory_path() /
               (std::string(name) + "-" + std::to_string(GetCurrentProcessId()) + ".log")) {
    std::filesystem::remove(m_path);
  }
  ~CTempFile() { std::filesystem::remove(m_path); }
  const std::filesystem::path& Path() const { return m_path; }
  std::vector<std::string> Lines() const {
    std::ifstream in(m_path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::filesystem::path m_path;
};

TEST(LogFileSink, WritesOneWholeLinePerCallFromManyThreads) {
  CTempFile file("kelmyr-log-threads");
  {
    CLogFileSink fileSink(file.Path());
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
  const auto lines = file.Lines();
  ASSERT_EQ(lines.size(), 800u);
  for (const std::string& line : lines) {
    // time stamp, process, thread, level, channel, message (UTF-8).
    EXPECT_NE(line.find(" pid="), std::string::npos) << line;
    EXPECT_NE(line.find(" tid="), std::string::npos) << line;
    EXPECT_NE(line.find(" L2 SRVKELMYR thread "), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 5), "\xc3\xa9\xe4\xb8\xad") << line;
  }
}

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

TEST(LogConfiguration, EnvironmentNamesFileAndLevels) {
  SetEnv("KELMYR_LOG_FILE", nullptr);
  SetEnv("KELMYR_LOG_LEVELS", "0x3");
  CLogConfiguration off = ReadLogConfiguration();
  EXPECT_TRUE(off.file.empty());
  EXPECT_EQ(off.mask, 0u) << "logging is off unless a file is named";

  SetEnv("KELMYR_LOG_FILE", "kelmyr-config.log");
  CLogConfiguration on = ReadLogConfiguration();
  EXPECT_EQ(on.file, std::filesystem::path("kelmyr-config.log"));
  EXPECT_EQ(on.mask, 3u);

  SetEnv("KELMYR_LOG_LEVELS", "not a mask");
  EXPECT_EQ(ReadLogConfiguration().mask, kLogAllLevels);
  SetEnv("KELMYR_LOG_LEVELS", nullptr);
  EXPECT_EQ(ReadLogConfiguration().mask, kLogAllLevels);
  SetEnv("KELMYR_LOG_FILE", nullptr);
}

// Without the environment, the machine's configuration key names the file
// and the levels; the environment still wins over it.
TEST(LogConfiguration, RegistryNamesFileAndLevels) {
  CScratchHive hive;
  SetEnv("KELMYR_LOG_FILE", nullptr);
  SetEnv("KELMYR_LOG_LEVELS", nullptr);
  HKEY hKey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, OLESTR("Software\\Orvane\\Kelmyr"), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  const OLECHAR file[] = OLESTR("kelmyr-registry.log");
  const DWORD levels = 0x101;
  ASSERT_EQ(RegSetValueExW(hKey, OLESTR("LogFile"), 0, REG_SZ, reinterpret_cast<const BYTE*>(file),
                           sizeof(file)),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(hKey, OLESTR("LogLevels"), 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&levels), sizeof(levels)),
            ERROR_SUCCESS);

  CLogConfiguration config = ReadLogConfiguration();
  EXPECT_EQ(config.file, std::filesystem::path("kelmyr-registry.log"));
  EXPECT_EQ(config.mask, 0x101u);
  SetEnv("KELMYR_LOG_LEVELS", "2");
  EXPECT_EQ(ReadLogConfiguration().mask, 2u);
  SetEnv("KELMYR_LOG_FILE", "from-environment.log");
  EXPECT_EQ(ReadLogConfiguration().file, std::filesystem::path("from-environment.log"));
  SetEnv("KELMYR_LOG_FILE", nullptr);
  SetEnv("KELMYR_LOG_LEVELS", nullptr);

  RegDeleteValueW(hKey, OLESTR("LogFile"));
  RegDeleteValueW(hKey, OLESTR("LogLevels"));
  RegCloseKey(hKey);
}

}  // namespace

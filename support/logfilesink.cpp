#include "support/logfilesink.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include "support/utf8.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::optional<uint32_t> ParseMask(const std::string& s) {
  if (s.empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (end == s.c_str() || *end != 0 || v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
}

// Natively the library runs inside other people's processes: a process with
// raised privileges takes nothing from its environment.
std::optional<std::string> EnvironmentValue(const char* name) {
#ifdef _WIN32
  const char* v = std::getenv(name);
#else
  const char* v = secure_getenv(name);
#endif
  if (v == nullptr || *v == 0) return std::nullopt;
  return std::string(v);
}

constexpr OLECHAR kConfigKey[] = OLESTR("Software\\Orvane\\Kelmyr");

std::optional<std::filesystem::path> RegistryLogFile() {
  DWORD cb = 0;
  const DWORD flags = RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kConfigKey, OLESTR("LogFile"), flags, nullptr, nullptr,
                   &cb) != ERROR_SUCCESS ||
      cb < sizeof(OLECHAR) * 2) {
    return std::nullopt;
  }
  std::basic_string<OLECHAR> value(cb / sizeof(OLECHAR), 0);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kConfigKey, OLESTR("LogFile"), flags, nullptr, value.data(),
                   &cb) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.resize(std::char_traits<OLECHAR>::length(value.c_str()));
  if (value.empty()) return std::nullopt;
  return std::filesystem::path(value);
}

std::optional<uint32_t> RegistryLogLevels() {
  DWORD dw = 0;
  DWORD cb = sizeof(dw);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kConfigKey, OLESTR("LogLevels"),
                   RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr, &dw, &cb) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return dw;
}

}  // namespace

CLogConfiguration ReadLogConfiguration() {
  CLogConfiguration config;
  if (auto file = EnvironmentValue("KELMYR_LOG_FILE")) {
    config.file = std::filesystem::path(*file);
  } else if (auto regFile = RegistryLogFile()) {
    config.file = *regFile;
  }
  if (config.file.empty()) return config;

  std::optional<uint32_t> mask;
  if (auto levels = EnvironmentValue("KELMYR_LOG_LEVELS")) mask = ParseMask(*levels);
  if (!mask) mask = RegistryLogLevels();
  config.mask = mask.value_or(kLogAllLevels);
  return config;
}

CLogFileSink::CLogFileSink(const std::filesystem::path& file) : m_file(file) {}

CLogFileSink::~CLogFileSink() {
  if (m_pFile != nullptr) std::fclose(m_pFile);
}

void CLogFileSink::OpenOnce() noexcept {
  std::call_once(m_openOnce, [this] {
    try {
      const std::filesystem::path file = m_file ? *m_file : ReadLogConfiguration().file;
      if (file.empty()) return;
#ifdef _WIN32
      m_pFile = _wfopen(file.c_str(), L"ab");
#else
      // The lines name processes and threads: the file is its owner's alone,
      // never reached through a planted link, and not inherited by children.
      const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0) return;
      m_pFile = fdopen(fd, "ab");
      if (m_pFile == nullptr) close(fd);
#endif
    } catch (...) {
      // Logging never fails an operation: without a file the sink drops lines.
      m_pFile = nullptr;
    }
  });
}

void CLogFileSink::Write(const CLogRecord& record) noexcept {
  OpenOnce();
  if (m_pFile == nullptr) return;
  try {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char head[96];
    const int cchHead = std::snprintf(
        head, sizeof(head), "%04d-%02d-%02d %02d:%02d:%02d.%03d pid=%lu tid=%lu L%ld ",
        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
        static_cast<int>(ms), static_cast<unsigned long>(GetCurrentProcessId()),
        static_cast<unsigned long>(GetCurrentThreadId()), static_cast<long>(record.lLevel));
    std::string line(head, cchHead > 0 ? static_cast<size_t>(cchHead) : 0);
    if (record.pszChannel != nullptr) {
      AppendUtf8(line, record.pszChannel);
      line.push_back(' ');
    }
    AppendUtf8(line, record.message);
    line.push_back('\n');
    std::lock_guard<std::mutex> guard(m_lock);
    std::fwrite(line.data(), 1, line.size(), m_pFile);
    std::fflush(m_pFile);
  } catch (...) {
    // An allocation failure loses this line, nothing else.
  }
}

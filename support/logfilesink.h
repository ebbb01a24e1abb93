// CLogFileSink: the channel's default sink, one line per message appended
// to the file named by the configuration:
//
//   2026-12-06 04:12:01.123 pid=1234 tid=5678 L8 SRVKELMYR CAuthStore::SetPIN
//
// The configuration is read once, on first use: the environment variables
// KELMYR_LOG_FILE (the file) and KELMYR_LOG_LEVELS (the level mask, decimal
// or 0x-hex), else the values "LogFile" (REG_SZ) and "LogLevels" (REG_DWORD)
// under HKEY_LOCAL_MACHINE\Software\Orvane\Kelmyr. Without a file, logging
// is off; with a file and no mask, every level is written. Natively, a
// process with raised privileges ignores the environment (secure_getenv),
// and the file is opened without following a final symbolic link, close-on-
// exec, and created owner-only (0600).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>

#include "support/qvlog.h"

struct CLogConfiguration {
  std::filesystem::path file;  // empty: logging off
  uint32_t mask = 0;
};

// Reads the configuration described above.
CLogConfiguration ReadLogConfiguration();

class CLogFileSink final : public ILogSink {
 public:
  CLogFileSink() = default;
  // Writes to this file instead of the configured one.
  explicit CLogFileSink(const std::filesystem::path& file);
  ~CLogFileSink() override;
  CLogFileSink(const CLogFileSink&) = delete;
  CLogFileSink& operator=(const CLogFileSink&) = delete;

  void Write(const CLogRecord& record) noexcept override;

 private:
  void OpenOnce() noexcept;

  std::once_flag m_openOnce;
  std::optional<std::filesystem::path> m_file;
  std::mutex m_lock;
  std::FILE* m_pFile = nullptr;
};

// Status files (/proc/<pid>/status) of the processes read last, kept open.
// Private to the platform layer.
//
// An open status file stays bound to the process it was opened for, never
// to a later process that is given the same id: once that process has been
// reaped, reading the file fails (ESRCH). Each read of a kept file is a new
// read of that same process's current state; only the cost of opening the
// file again is saved. Nothing read from a file is kept.
#pragma once

#include <windows.h>

#include <memory>

namespace kelmyr::winapi {

// One open status file, closed when its last user lets go of it.
class CStatusFile {
 public:
  // Opens the file of the process; null with *pErrno set when it cannot.
  static std::shared_ptr<CStatusFile> Open(DWORD pid, int* pErrno);
  ~CStatusFile();
  CStatusFile(const CStatusFile&) = delete;
  CStatusFile& operator=(const CStatusFile&) = delete;

  DWORD Pid() const noexcept { return m_pid; }
  int Fd() const noexcept { return m_fd; }

  // Whether the descriptor still names the file it was opened on (a host
  // may have closed it, and its number may now name another file).
  bool IsIntact() const noexcept;

 private:
  CStatusFile(DWORD pid, int fd, dev_t dev, ino_t ino) noexcept
      : m_pid(pid), m_fd(fd), m_dev(dev), m_ino(ino) {}

  const DWORD m_pid;
  const int m_fd;
  const dev_t m_dev;
  const ino_t m_ino;
};

// The kept file of a process, or null.
std::shared_ptr<CStatusFile> KeptStatusFile(DWORD pid) noexcept;

// Keeps a file, in place of the one kept for the same process or of the
// one kept longest.
void KeepStatusFile(std::shared_ptr<CStatusFile> pFile) noexcept;

// No longer keeps this file: it failed.
void ForgetStatusFile(const CStatusFile* pFile) noexcept;

}  // namespace kelmyr::winapi

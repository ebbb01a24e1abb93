#include "status_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "platform/no_destructor.h"

namespace kelmyr::winapi {
namespace {

// Clients of a host are few at a time; each kept file is one descriptor in
// the host's process.
constexpr size_t kKeptFiles = 8;

struct SKeptFiles {
  std::mutex lock;
  std::array<std::shared_ptr<CStatusFile>, kKeptFiles> files;
  size_t next = 0;  // the slot replaced next, in turn
};

// Never destroyed: threads may read processes while the process exits.
SKeptFiles& Kept() noexcept {
  static TNoDestructor<SKeptFiles> kept;
  return *kept;
}

}  // namespace

std::shared_ptr<CStatusFile> CStatusFile::Open(DWORD pid, int* pErrno) {
  char path[32] = "/proc/";
  char* const pPid = path + std::strlen(path);
  std::strcpy(std::to_chars(pPid, path + sizeof path, pid).ptr, "/status");
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *pErrno = errno;
    if (fd >= 0) close(fd);
    return nullptr;
  }
  try {
    return std::shared_ptr<CStatusFile>(new CStatusFile(pid, fd, st.st_dev, st.st_ino));
  } catch (const std::bad_alloc&) {
    close(fd);
    throw;
  }
}

// A descriptor the host closed may by now name a file of its own, which is
// not this file's to close.
CStatusFile::~CStatusFile() {
  if (IsIntact()) close(m_fd);
}

bool CStatusFile::IsIntact() const noexcept {
  struct stat st;
  return fstat(m_fd, &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino;
}

std::shared_ptr<CStatusFile> KeptStatusFile(DWORD pid) noexcept {
  SKeptFiles& kept = Kept();
  std::lock_guard lock(kept.lock);
  for (const auto& pFile : kept.files) {
    if (pFile != nullptr && pFile->Pid() == pid) return pFile;
  }
  return nullptr;
}

void KeepStatusFile(std::shared_ptr<CStatusFile> pFile) noexcept {
  SKeptFiles& kept = Kept();
  std::shared_ptr<CStatusFile> pReplaced;  // let go of after the lock
  std::lock_guard lock(kept.lock);
  size_t slot = kept.next;
  for (size_t i = 0; i < kKeptFiles; ++i) {
    if (kept.files[i] != nullptr && kept.files[i]->Pid() == pFile->Pid()) slot = i;
  }
  if (slot == kept.next) kept.next = (kept.next + 1) % kKeptFiles;
  pReplaced = std::exchange(kept.files[slot], std::move(pFile));
}

void ForgetStatusFile(const CStatusFile* pFile) noexcept {
  SKeptFiles& kept = Kept();
  std::shared_ptr<CStatusFile> pForgotten;
  std::lock_guard lock(kept.lock);
  for (auto& pKept : kept.files) {
    if (pKept.get() == pFile) pForgotten = std::move(pKept);
  }
}

}  // namespace kelmyr::winapi

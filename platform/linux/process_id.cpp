#include "process_id.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <new>

#ifndef MADV_WIPEONFORK
#define MADV_WIPEONFORK 18  // Linux 4.14
#endif

namespace kelmyr::winapi {
namespace {

using PidSlot = std::atomic<pid_t>;
static_assert(PidSlot::is_always_lock_free);

// The page is mapped on first use and never unmapped. Null when the kernel
// cannot wipe it on fork: a remembered id would then outlive a fork.
PidSlot* ForkWipedSlot() noexcept {
  static PidSlot* const pSlot = []() -> PidSlot* {
    const long cbPage = sysconf(_SC_PAGESIZE);
    if (cbPage <= 0) return nullptr;
    void* pPage = mmap(nullptr, static_cast<size_t>(cbPage), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pPage == MAP_FAILED) return nullptr;
    if (madvise(pPage, static_cast<size_t>(cbPage), MADV_WIPEONFORK) != 0) {
      munmap(pPage, static_cast<size_t>(cbPage));
      return nullptr;
    }
    // A wiped page reads as zero, which is never a process id.
    return new (pPage) PidSlot(0);
  }();
  return pSlot;
}

}  // namespace

DWORD CurrentProcessId() noexcept {
  PidSlot* pSlot = ForkWipedSlot();
  if (pSlot == nullptr) return static_cast<DWORD>(getpid());
  pid_t pid = pSlot->load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = getpid();
    pSlot->store(pid, std::memory_order_relaxed);
  }
  return static_cast<DWORD>(pid);
}

}  // namespace kelmyr::winapi

// The id of the current process, without a system call each time it is
// asked for. Private to the platform layer.
#pragma once

#include <windows.h>

namespace kelmyr::winapi {

// This process's id. It is read once and kept in a page that the kernel
// empties in the child of a fork (MADV_WIPEONFORK), so that a child made by
// any kind of fork, with or without the C library's fork handlers, reads
// its own id; where the kernel offers no such page the id is read each
// time.
DWORD CurrentProcessId() noexcept;

}  // namespace kelmyr::winapi

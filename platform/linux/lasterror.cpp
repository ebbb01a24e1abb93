// The last-error value: one per thread, as the Windows API keeps it in the
// thread's environment block.
#include <windows.h>

namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

}  // namespace

DWORD WINAPI GetLastError(void) { return tLastError; }

void WINAPI SetLastError(DWORD dwErrCode) { tLastError = dwErrCode; }

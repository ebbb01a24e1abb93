#include "platform/machine.h"

namespace {

// CRealMachine forwards every call to the platform.
class CRealMachine final : public IMachine {
 public:
  HANDLE GetCurrentProcess() override { return ::GetCurrentProcess(); }
  DWORD GetCurrentProcessId() override { return ::GetCurrentProcessId(); }
  HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) override {
    return ::OpenProcess(dwDesiredAccess, bInheritHandle, dwProcessId);
  }
  BOOL OpenProcessToken(HANDLE hProcess, DWORD dwDesiredAccess, PHANDLE phToken) override {
    return ::OpenProcessToken(hProcess, dwDesiredAccess, phToken);
  }
  BOOL GetTokenInformation(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass, LPVOID pInfo,
                           DWORD dwLength, PDWORD pdwReturnLength) override {
    return ::GetTokenInformation(hToken, eClass, pInfo, dwLength, pdwReturnLength);
  }
  BOOL CloseHandle(HANDLE hObject) override { return ::CloseHandle(hObject); }
  ULONGLONG GetTickCount64() override { return ::GetTickCount64(); }
};

}  // namespace

TSeam<IMachine>& MachineSeam() noexcept {
  static CRealMachine real;
  static TSeam<IMachine> seam(real);
  return seam;
}

IMachine& Machine() noexcept { return MachineSeam().Get(); }

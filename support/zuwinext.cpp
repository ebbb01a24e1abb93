#include "support/zuwinext.h"

#include <cstring>
#include <vector>

#include "platform/machine.h"
#include "support/qvlog.h"

namespace {

// Closes a handle obtained through the machine seam.
class CScopedMachineHandle {
 public:
  CScopedMachineHandle() = default;
  ~CScopedMachineHandle() {
    if (m_h != nullptr) Machine().CloseHandle(m_h);
  }
  CScopedMachineHandle(const CScopedMachineHandle&) = delete;
  CScopedMachineHandle& operator=(const CScopedMachineHandle&) = delete;

  HANDLE* Receive() { return &m_h; }
  HANDLE Get() const { return m_h; }

 private:
  HANDLE m_h = nullptr;
};

// Reads one token information class of the current process with the
// two-call protocol; empty on any failure.
std::vector<BYTE> QueryOwnToken(TOKEN_INFORMATION_CLASS eClass) {
  IMachine& machine = Machine();
  CScopedMachineHandle token;
  if (!machine.OpenProcessToken(machine.GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("zuwinext OpenProcessToken failed : rc = %d"),
             GetLastError());
    return {};
  }
  DWORD cb = 0;
  machine.GetTokenInformation(token.Get(), eClass, nullptr, 0, &cb);
  if (cb == 0) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("zuwinext GetTokenInformation failed : rc = %d"),
             GetLastError());
    return {};
  }
  std::vector<BYTE> info(cb);
  if (!machine.GetTokenInformation(token.Get(), eClass, info.data(), cb, &cb)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("zuwinext GetTokenInformation failed : rc = %d"),
             GetLastError());
    return {};
  }
  info.resize(cb);
  return info;
}

}  // namespace

HRESULT CZuWinExt::zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) {
  const HRESULT hr = SafeArrayDestroy(psa);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("zuSafeArrayDestroy SafeArrayDestroy failed with error code 0x%x flag = %d"),
             hr, dwFlag);
  }
  return hr;
}

void CZuWinExt::zuSysFreeString(BSTR bstr, DWORD) { SysFreeString(bstr); }

BOOL CZuWinExt::zuIsAppContainer() {
  const std::vector<BYTE> info = QueryOwnToken(TokenIsAppContainer);
  if (info.size() < sizeof(DWORD)) return FALSE;
  DWORD dwIsAppContainer = 0;
  std::memcpy(&dwIsAppContainer, info.data(), sizeof(dwIsAppContainer));
  return dwIsAppContainer != 0 ? TRUE : FALSE;
}

DWORD CZuWinExt::zuGetIntegrityLevel() {
  const std::vector<BYTE> info = QueryOwnToken(TokenIntegrityLevel);
  if (info.size() < sizeof(TOKEN_MANDATORY_LABEL)) return 0;
  const auto* pLabel = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(info.data());
  PSID pSid = pLabel->Label.Sid;
  // The SID lies inside the buffer; a label pointing elsewhere is refused
  // rather than followed.
  const BYTE* pBegin = info.data();
  const BYTE* pEnd = pBegin + info.size();
  const BYTE* p = static_cast<const BYTE*>(pSid);
  if (p < pBegin || p + 8 > pEnd) return 0;
  const BYTE cSub = *GetSidSubAuthorityCount(pSid);
  if (cSub == 0 || p + 8 + 4 * static_cast<size_t>(cSub) > pEnd) return 0;
  return *GetSidSubAuthority(pSid, cSub - 1);
}

TSeam<IZuWinExt>& ZuWinExtSeam() noexcept {
  static CZuWinExt real;
  static TSeam<IZuWinExt> seam(real);
  return seam;
}

#include "security/checkclient.h"

#include <comsvcs.h>
#include <sddl.h>

#include <new>
#include <vector>

#include "platform/machine_owners.h"
#include "security/privileges.h"
#include "security/scopedcom.h"
#include "support/logscope.h"
#include "support/scopedbstr.h"

namespace {

// What the check needs of the client process: its token's integrity level
// and the owner and group of its process object.
constexpr ACCESS_MASK kClientProcessAccess = READ_CONTROL | PROCESS_QUERY_INFORMATION;

const OLECHAR kLowIntegritySid[] = OLESTR("S-1-16-4096");

void LogFailure(logformat::CLogFormat<> message) { qvlogLog(gLogChannel, LOG_FAILURE, message); }

// Opens the client process with "SeDebugPrivilege" enabled only around the
// opening, disabled again before the result is looked at.
HRESULT OpenClientProcess(IMachine& machine, DWORD dwClientProcessId, CMachineHandle* pProcess) {
  CDebugPrivilegeScope debug;
  HRESULT hr = debug.Enable();
  if (FAILED(hr)) {
    LogFailure(OLESTR("CheckClientCaller ModifyPrivs failed"));
    return hr;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller calling OpenProcess"));
  pProcess->Reset(machine.OpenProcess(kClientProcessAccess, FALSE, dwClientProcessId));
  const DWORD dwOpenError = GetLastError();
  hr = debug.Disable();
  if (FAILED(hr)) {
    LogFailure(OLESTR("CheckClientCaller ModifyPrivs failed"));
    pProcess->Reset();
    return hr;
  }
  if (pProcess->Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CheckClientCaller OpenProcess(0x%x) failed with error code 0x%x"),
             dwClientProcessId, dwOpenError);
    return E_ACCESSDENIED;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller OpenProcess(0x%x) returned 0x%x"),
           dwClientProcessId, reinterpret_cast<UINT_PTR>(pProcess->Get()));
  return S_OK;
}

// Whether the process's token carries the low mandatory label.
HRESULT IsLowIntegrity(IMachine& machine, HANDLE hProcess, bool* pbLow) {
  CMachineHandle token;
  if (!machine.OpenProcessToken(hProcess, TOKEN_QUERY, token.Receive())) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CheckClientCaller OpenProcessToken failed with error code 0x%x"),
             GetLastError());
    return E_ACCESSDENIED;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller OpenProcessToken succeeded"));

  DWORD cbLabel = 0;
  if (!machine.GetTokenInformation(token.Get(), TokenIntegrityLevel, nullptr, 0, &cbLabel) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CheckClientCaller GetTokenInformation failed with error code 0x%x"),
             GetLastError());
    return E_ACCESSDENIED;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller GetTokenInformation succeeded"));

  CMachineLocal<void> label(machine.LocalAlloc(LPTR, cbLabel));
  if (label.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CheckClientCaller malloc failed with error code 0x%x"), GetLastError());
    return E_OUTOFMEMORY;
  }
  if (!machine.GetTokenInformation(token.Get(), TokenIntegrityLevel, label.Get(), cbLabel,
                                   &cbLabel)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CheckClientCaller GetTokenInformation failed with error code 0x%x"),
             GetLastError());
    return E_ACCESSDENIED;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller GetTokenInformation succeeded"));

  CMachineLocal<void> lowSid;
  if (!machine.ConvertStringSidToSidW(kLowIntegritySid, lowSid.Receive())) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CheckClientCaller ConvertStringSidToSid failed with error 0x%x"),
             GetLastError());
    return E_FAIL;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller ConvertStringSidToSid succeeded"));

  *pbLow = machine.EqualSid(static_cast<TOKEN_MANDATORY_LABEL*>(label.Get())->Label.Sid,
                            lowSid.Get()) != FALSE;
  return S_OK;
}

// The owner and the primary group of the process object, pointing into the
// descriptor the owner holds, and their text in the log.
HRESULT ReadProcessObjectOwner(IMachine& machine, HANDLE hProcess, CMachineLocal<void>* pSd,
                               PSID* ppOwner, PSID* ppGroup) {
  if (machine.GetSecurityInfo(hProcess, SE_KERNEL_OBJECT,
                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, ppOwner,
                              ppGroup, nullptr, nullptr, pSd->Receive()) != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CheckClientCaller GetSecurityInfo failed with error 0x%x"), GetLastError());
    return E_ACCESSDENIED;
  }
  CMachineLocal<WCHAR> owner;
  if (!machine.ConvertSidToStringSidW(*ppOwner, owner.Receive())) {
    LogFailure(OLESTR("CheckClientCaller ConvertSidToStringSid failed"));
    return E_FAIL;
  }
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("CheckClientCaller ConvertSidToStringSid strSidOwner = %s"),
           static_cast<const OLECHAR*>(owner.Get()));
  CMachineLocal<WCHAR> group;
  if (!machine.ConvertSidToStringSidW(*ppGroup, group.Receive())) {
    LogFailure(OLESTR("CheckClientCaller ConvertSidToStringSid failed"));
    return E_FAIL;
  }
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("CheckClientCaller ConvertSidToStringSid strSidGroup = %s"),
           static_cast<const OLECHAR*>(group.Get()));
  return S_OK;
}

// One item of a call context or identity, by name.
HRESULT GetNamedItem(ISecurityCallContext* pContext, ISecurityIdentityColl* pIdentity,
                     const OLECHAR* pszName, VARIANT* pItem) {
  CScopedBSTR name(SysAllocString(pszName));
  if (name.Get() == nullptr) {
    LogFailure(OLESTR("CheckClientCaller SysAllocString failed"));
    return E_OUTOFMEMORY;
  }
  return pContext != nullptr ? pContext->get_Item(name.Get(), pItem)
                             : pIdentity->get_Item(name.Get(), pItem);
}

enum class ECaller { kTrusted, kNoMatch, kEnd };

// The binary SID of a caller's "SID" item, in a buffer of its own. An item
// without a one-dimensional byte array ends the check (S_OK, kEnd).
HRESULT CopyCallerSid(IMachine& machine, const VARIANT& item, std::vector<BYTE>* pSid,
                      ECaller* peVerdict) {
  *peVerdict = ECaller::kEnd;
  SAFEARRAY* psa = item.vt == (VT_ARRAY | VT_UI1) ? item.parray : nullptr;
  if (psa == nullptr || psa->cDims != 1) {
    LogFailure(OLESTR("CheckClientCaller SafeArrayAccessData failed"));
    return S_OK;
  }
  void* pvData = nullptr;
  HRESULT hr = machine.SafeArrayAccessData(psa, &pvData);
  if (FAILED(hr)) {
    LogFailure(OLESTR("CheckClientCaller SafeArrayAccessData failed"));
    return hr;
  }
  try {
    const auto* pBytes = static_cast<const BYTE*>(pvData);
    pSid->assign(pBytes, pBytes + psa->rgsabound[0].cElements);
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  const HRESULT hrUnaccess = machine.SafeArrayUnaccessData(psa);
  if (FAILED(hrUnaccess)) {
    LogFailure(OLESTR("CheckClientCaller SafeArrayUnaccessData failed"));
    return hrUnaccess;
  }
  if (FAILED(hr)) {
    LogFailure(OLESTR("CheckClientCaller out of memory"));
    return hr;
  }
  *peVerdict = ECaller::kNoMatch;
  return S_OK;
}

// The caller at one index of the chain. An unreadable or malformed identity
// ends the whole check, not trusted: with the failing call's HRESULT, S_OK
// when an answer merely held nothing, E_FAIL for a SID without text.
HRESULT JudgeCaller(IMachine& machine, ISecurityCallersColl* pCallers, LONG lIndex, PSID pOwner,
                    PSID pGroup, ECaller* peVerdict) {
  *peVerdict = ECaller::kEnd;
  CScopedVariant sidItem;
  {
    TScopedInterface<ISecurityIdentityColl> identity;
    HRESULT hr = pCallers->get_Item(lIndex, identity.Receive());
    if (FAILED(hr) || identity.Get() == nullptr) {
      LogFailure(OLESTR("CheckClientCaller get_Item failed"));
      return hr;
    }
    hr = GetNamedItem(nullptr, identity.Get(), OLESTR("SID"), sidItem.Get());
    if (FAILED(hr)) {
      LogFailure(OLESTR("CheckClientCaller get_Item failed"));
      return hr;
    }
  }

  std::vector<BYTE> sid;
  HRESULT hr = CopyCallerSid(machine, *sidItem, &sid, peVerdict);
  if (FAILED(hr) || *peVerdict == ECaller::kEnd) return hr;
  *peVerdict = ECaller::kEnd;

  // The bytes must hold the whole SID they announce before any platform
  // call reads it.
  CMachineLocal<WCHAR> text;
  if (sid.size() < 8 || sid.size() < 8 + 4 * static_cast<size_t>(sid[1]) ||
      !machine.ConvertSidToStringSidW(sid.data(), text.Receive())) {
    LogFailure(OLESTR("CheckClientCaller ConvertSidToStringSid failed"));
    return E_FAIL;
  }
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("CheckClientCaller ConvertSidToStringSid strSidCom = %s"),
           static_cast<const OLECHAR*>(text.Get()));

  if (machine.EqualSid(pOwner, sid.data()) == TRUE) {
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller SID trusted"));
    *peVerdict = ECaller::kTrusted;
    return S_OK;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller EqualSid failed error = %x"),
           GetLastError());
  if (machine.EqualPrefixSid(pGroup, sid.data()) == TRUE) {
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller SID trusted"));
    *peVerdict = ECaller::kTrusted;
    return S_OK;
  }
  qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CheckClientCaller EqualprefixSid failed error = %x"),
           GetLastError());
  *peVerdict = ECaller::kNoMatch;
  return S_OK;
}

// The COM+ security call context: security on, and a caller in the chain
// that is the owner of the process object or of its group's domain.
HRESULT JudgeCallChain(IMachine& machine, PSID pOwner, PSID pGroup, bool* pbTrusted) {
  TScopedInterface<ISecurityCallContext> context;
  HRESULT hr = machine.CoGetCallContext(IID_ISecurityCallContext, context.ReceiveVoid());
  if (FAILED(hr) || context.Get() == nullptr) {
    LogFailure(OLESTR("CheckClientCaller CoGetCallContext failed"));
    return hr;
  }

  VARIANT_BOOL bSecurityEnabled = VARIANT_FALSE;
  hr = context->IsSecurityEnabled(&bSecurityEnabled);
  if (FAILED(hr) || bSecurityEnabled == VARIANT_FALSE) {
    LogFailure(OLESTR("CheckClientCaller IsSecurityEnabled failed"));
    return FAILED(hr) ? hr : S_OK;
  }

  // The number of callers is read as the context expects it to be, but the
  // collection's own count decides.
  {
    CScopedVariant numCallers;
    hr = GetNamedItem(context.Get(), nullptr, OLESTR("NumCallers"), numCallers.Get());
    if (FAILED(hr)) {
      LogFailure(OLESTR("CheckClientCaller get_Item (NumCallers) failed"));
      return hr;
    }
  }

  TScopedInterface<ISecurityCallersColl> callers;
  {
    CScopedVariant callersItem;
    hr = GetNamedItem(context.Get(), nullptr, OLESTR("Callers"), callersItem.Get());
    if (FAILED(hr)) {
      LogFailure(OLESTR("CheckClientCaller get_Item (Callers) failed"));
      return hr;
    }
    const VARIANT& item = *callersItem;
    IUnknown* pObject = item.vt == VT_DISPATCH || item.vt == VT_UNKNOWN ? item.punkVal : nullptr;
    if (pObject == nullptr) {
      LogFailure(OLESTR("CheckClientCaller (IUnknown *) failed"));
      return S_OK;
    }
    hr = pObject->QueryInterface(IID_ISecurityCallersColl, callers.ReceiveVoid());
    if (FAILED(hr) || callers.Get() == nullptr) {
      LogFailure(OLESTR("CheckClientCaller QueryInterface failed"));
      return FAILED(hr) ? hr : S_OK;
    }
  }

  LONG lCount = 0;
  hr = callers->get_Count(&lCount);
  if (FAILED(hr)) {
    LogFailure(OLESTR("CheckClientCaller get_Count failed"));
    return hr;
  }
  for (LONG lIndex = 0; lIndex < lCount; ++lIndex) {
    ECaller eVerdict = ECaller::kEnd;
    hr = JudgeCaller(machine, callers.Get(), lIndex, pOwner, pGroup, &eVerdict);
    if (eVerdict == ECaller::kTrusted) {
      *pbTrusted = true;
      return S_OK;
    }
    if (eVerdict == ECaller::kEnd) return hr;
  }
  return S_OK;
}

HRESULT JudgeClient(DWORD dwClientProcessId, bool* pbTrusted) {
  IMachine& machine = Machine();
  CMachineHandle process;
  HRESULT hr = OpenClientProcess(machine, dwClientProcessId, &process);
  if (FAILED(hr)) return hr;

  bool bLow = false;
  hr = IsLowIntegrity(machine, process.Get(), &bLow);
  if (FAILED(hr)) return hr;
  if (bLow) {
    // Trusted without consulting the call context.
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller Low Integrity Level"));
    *pbTrusted = true;
    return S_OK;
  }

  CMachineLocal<void> sd;
  PSID pOwner = nullptr;
  PSID pGroup = nullptr;
  hr = ReadProcessObjectOwner(machine, process.Get(), &sd, &pOwner, &pGroup);
  if (FAILED(hr)) return hr;
  return JudgeCallChain(machine, pOwner, pGroup, pbTrusted);
}

}  // namespace

HRESULT CheckClientCaller(DWORD dwClientProcessId, BOOL* bTrusted) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CheckClientCaller"), hr, kLogDetailLevels);
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CheckClientCaller dwClientProcessId = 0x%x"),
           dwClientProcessId);
  bool bTrustedClient = false;
  hr = JudgeClient(dwClientProcessId, &bTrustedClient);
  if (bTrustedClient && bTrusted != nullptr) *bTrusted = TRUE;
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CheckClientCaller dwClientProcessId = %d, bTrusted = %d, hr = 0x%x"),
           dwClientProcessId, bTrustedClient ? 1 : 0, hr);
  return hr;
}

HRESULT CheckClientCallerForMethod(const SCallerCheckMessages& messages, DWORD dwClientProcessId) {
  BOOL bTrusted = FALSE;
  const HRESULT hr = CheckClientCaller(dwClientProcessId, &bTrusted);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, messages.failed);
    return hr;
  }
  if (!bTrusted) {
    qvlogLog(gLogChannel, LOG_NOTABLE, messages.trustFailed);
    return E_ACCESSDENIED;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, messages.trustSucceeded);
  return S_OK;
}

// CInternalAuthStore: the state and the logic of the PIN store behind its COM
// facade (pincache/authstore.h).
//
// The store caches PINs in a memory tree, always protected (EncryptValue)
// and always per terminal session. A cached PIN is a record: a compartment
// named "<session>/<compartment>/<PIN id>", followed in per-process mode by
// "/<pid>", holding four items: "PINValue" (the protected bytes),
// "PINAlwaysState" ("available"/"unavailable": whether the PIN may be handed
// out for a key that demands it on every use), "PINBypassPINAlwaysState"
// ("True"/"False") and "PINSessionId" (the PIN session identifier issued
// when the PIN was stored, a braced GUID). The PIN session identifier lets
// another process, in any session, address the record: the
// ...FromPINSessionId operations find the session through m_mapPINSessions.
// An identifier the store never issued addresses the record with an empty
// session part ("/<compartment>/<PIN id>"), the same for every unknown one.
// m_mapPINSessions loses an entry only when the record naming it is removed.
//
// Settings (support/zusettings.h): "Kelmyr.Authentication.AllowPerProcess"
// (1: per process, else per session; read by Begin),
// "Kelmyr.Authentication.Timeout" (minutes, 0 meaning 5 seconds and
// 0x80000000 no expiry; read whenever a timer is armed) and
// "Kelmyr.Authentication.EnablePINCacheForPINAlwaysPrivateKeys" (1: a
// withheld PIN asks for a confirmation, else for the PIN; read when a PIN is
// withheld).
//
// Expiry: every store, read and state change of a record arms its one-shot
// timer or restarts it; a test does not. When it fires, the callback removes
// the record under the store lock. A timer is destroyed only under the store
// lock, after its callback object has been marked cancelled there, so a
// callback already waiting for the lock finds the mark and does nothing.
// End cancels and destroys every timer under the lock, then, with the lock
// released, waits for callbacks still running before it destroys the tree.
//
// Every operation holds the store lock for its whole body (a re-entrant
// critical section made by the constructor: a store never started answers
// E_FAIL through its missing tree). Operations return an HRESULT and never
// throw.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <map>
#include <memory>
#include <optional>

#include "datastore/sessionavailability.h"
#include "support/scopedlock.h"
#include "support/secstring.h"
#include "support/zusettings.h"
#include "support/zutimer.h"
#include "trees/abstracttree.h"

class CTimerCallbackFunction;
struct SPINLines;

// How a worker finds the session of a record.
enum EPINLookup : DWORD {
  PIN_BY_PROCESS = 0,      // the session of the client process
  PIN_BY_PIN_SESSION = 1,  // the session m_mapPINSessions holds for the identifier
};

// The additional parameters of a call, with their defaults.
struct SAdditionalParameters {
  secwstring sIsACRPINAlways;
  secwstring sAction;
  secwstring sAllProcess;
  secwstring sAllSession;
  secwstring sCheckClientCaller;
  secwstring sBypassPINAlways;
};

class CInternalAuthStore {
 public:
  CInternalAuthStore();
  ~CInternalAuthStore();
  CInternalAuthStore(const CInternalAuthStore&) = delete;
  CInternalAuthStore& operator=(const CInternalAuthStore&) = delete;

  // A new, empty memory tree named by the store identifier, and the caching
  // scope read from the settings. An empty identifier is E_INVALIDARG and
  // leaves the store without a tree.
  HRESULT Begin(BSTR bstrStoreId);
  // Cancels and destroys every timer, waits for callbacks still running,
  // forgets the PIN sessions and session events and destroys the tree.
  // Always S_OK.
  HRESULT End();
  // 0 (memory), 1 (encrypted), 0 (per session). Always S_OK.
  HRESULT GetStoreInfo(ULONG* pnType, BOOL* pbEncrypted, BOOL* pbShared);

  // The operations of the interface. pnPINState: 0 prompt for the PIN, 1
  // use the cached PIN, 2 ask for a confirmation. A missing record is
  // E_INVALIDARG; a client whose session cannot be found or is unavailable,
  // and a store without a tree, E_FAIL. Arrays passed in are never kept,
  // every array or string returned is new and the caller's.
  HRESULT SetPIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId, SAFEARRAY* pPINValue,
                 SAFEARRAY* pAdditionalParameters, BSTR* pbstrPINSessionId);
  HRESULT SetPINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                 BSTR bstrPINSessionId, SAFEARRAY* pPINValue,
                                 SAFEARRAY* pAdditionalParameters);
  HRESULT GetPIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                 SAFEARRAY* pAdditionalParameters, SAFEARRAY** pPINValue, BSTR* pbstrPINSessionId,
                 INT* pnPINState);
  HRESULT GetPINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                 BSTR bstrPINSessionId, SAFEARRAY* pAdditionalParameters,
                                 SAFEARRAY** pPINValue, INT* pnPINState);
  HRESULT IsPINCached(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                      SAFEARRAY* pAdditionalParameters, BSTR* pbstrPINSessionId, INT* pnPINState);
  HRESULT IsPINCachedFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                      BSTR bstrPINSessionId, SAFEARRAY* pAdditionalParameters,
                                      INT* pnPINState);
  // "AllProcess" "True" (per-process scope only): every process's record of
  // the PIN in the caller's session; "AllSession" "True": the record in
  // every session that issued a PIN session identifier.
  HRESULT RemovePIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                    SAFEARRAY* pAdditionalParameters);
  HRESULT RemovePINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                    BSTR bstrPINSessionId);
  // Every record of the compartment in the caller's session ("AllSession"
  // "True": in every session that issued a PIN session identifier).
  HRESULT RemoveCompartment(ULONG ulPID, BSTR bstrCompartmentId, SAFEARRAY* pAdditionalParameters);
  // Every record of every session; the PIN sessions stay known.
  HRESULT FlushStore(ULONG ulPID, SAFEARRAY* pAdditionalParameters);
  // nPINState 1 makes the PIN available for keys that demand it on every
  // use, any other value unavailable.
  HRESULT ChangePINState(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId, INT nPINState);
  HRESULT ChangePINStateFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                         BSTR bstrPINSessionId, INT nPINState);

  // The expiry of a record, from its timer's callback. A callback whose
  // timer the store cancelled (pCallback marked) does nothing and gives S_OK.
  HRESULT RemoveExpiredPINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                           BSTR bstrPINSessionId,
                                           const CTimerCallbackFunction* pCallback = nullptr);

  // Session events (datastore/sessionavailability.h). A flush drops every
  // record of the session; its timers stay and find nothing when they fire.
  HRESULT FlushStoreFromSessionId(DWORD dwSessionId);
  HRESULT SetAvailabilityStoreFromSessionId(DWORD dwSessionId, BOOL bAvailabled);
  HRESULT GetAvailabilityStoreFromSessionId(DWORD dwSessionId, BOOL* pbAvailabled);
  // The records of one session move to another; the PIN session
  // identifiers issued in the source then lead to the target.
  HRESULT MoveStore(DWORD dwFromSessionId, DWORD dwToSessionId);
  // The client's terminal session in decimal, for a session the store
  // serves now (E_FAIL otherwise).
  HRESULT GetSessionId(DWORD dwClientProcessId, secwstring& sSessionId);

  // For diagnostics and measurements: the tree (null when not started) and
  // the number of PIN session identifiers the store knows.
  CAbstractTree* Tree() const noexcept { return m_Tree.get(); }
  size_t PINSessionCount();

 private:
  // One armed timer of a record and its callback object (owned by the
  // timer). Destroying the entry marks the callback cancelled, then
  // destroys the timer; both only under the store lock.
  class CTimerEntry {
   public:
    CTimerEntry(ZU::Framework::ITimer* pTimer, CTimerCallbackFunction* pCallback) noexcept
        : m_pTimer(pTimer), m_pCallback(pCallback) {}
    CTimerEntry(const CTimerEntry&) = delete;
    CTimerEntry& operator=(const CTimerEntry&) = delete;
    ~CTimerEntry();
    ZU::Framework::ITimer* Timer() const noexcept { return m_pTimer; }

   private:
    ZU::Framework::ITimer* m_pTimer;
    CTimerCallbackFunction* m_pCallback;
  };
  using TTimerMap = std::map<secwstring, CTimerEntry>;

  // Policy: the additional parameters, the settings and the timers.
  HRESULT GetAdditionalParameters(SAFEARRAY* pAdditionalParameters,
                                  SAdditionalParameters& parameters);
  HRESULT GetPINCachingMode(DWORD* pnMode);
  HRESULT GetPINCachingTimeout(DWORD* pdwMinutes);
  HRESULT GetPINAlwaysCachingMode(DWORD* pnMode);
  HRESULT SetInternalTimer(const secwstring& sCompartmentIdGlobal, ULONG ulPID,
                           BSTR bstrCompartmentId, BSTR bstrPINId, BSTR bstrPINSessionId);
  HRESULT RemoveExpiredTimers();
  // Destroys every timer of both maps, logging each with the caller's lines.
  void DestroyAllTimers(logformat::CLogFormat<const void*> armedLine,
                        logformat::CLogFormat<const void*> expiredLine);

  // Records: the workers, run with the lock held.
  HRESULT SetInternalPIN(EPINLookup eLookup, ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                         BSTR* pbstrPINSessionId, SAFEARRAY* pPINValue,
                         SAFEARRAY* pAdditionalParameters);
  HRESULT GetInternalPIN(EPINLookup eLookup, ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                         BSTR* pbstrPINSessionId, SAFEARRAY* pAdditionalParameters,
                         SAFEARRAY** pPINValue, INT* pnPINState);
  HRESULT IsInternalPINCached(EPINLookup eLookup, ULONG ulPID, BSTR bstrCompartmentId,
                              BSTR bstrPINId, BSTR* pbstrPINSessionId,
                              SAFEARRAY* pAdditionalParameters, INT* pnPINState);
  HRESULT ChangeInternalPINState(EPINLookup eLookup, ULONG ulPID, BSTR bstrCompartmentId,
                                 BSTR bstrPINId, BSTR* pbstrPINSessionId, INT nPINState);
  HRESULT RemoveInternalPIN(EPINLookup eLookup, ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                            BSTR bstrPINSessionId, bool bExpired);
  HRESULT RemovePINData(const secwstring& sCompartmentIdGlobal, bool bExpired);
  HRESULT RemovePINCompartment(const secwstring& sCompartmentId);
  HRESULT MovePINCompartment(const secwstring& sFrom, const secwstring& sTo);

  // The record's name: its session, the identifiers converted, the name
  // built (see above). The worker's lines on failure.
  HRESULT ResolveRecord(const SPINLines& lines, EPINLookup eLookup, ULONG ulPID,
                        BSTR bstrCompartmentId, BSTR bstrPINId, BSTR bstrPINSessionId,
                        secwstring& sCompartmentIdGlobal, secwstring* psSessionId = nullptr);
  secwstring RecordName(const secwstring& sSessionId, const secwstring& sCompartmentId,
                        const secwstring& sPINId, ULONG ulPID) const;
  // The record's name, its stored identifier (handed to the caller when
  // found by process) and its protected value.
  struct SRecord;
  HRESULT FindRecord(const SPINLines& lines, EPINLookup eLookup, ULONG ulPID,
                     BSTR bstrCompartmentId, BSTR bstrPINId, BSTR* pbstrPINSessionId,
                     SRecord& record);
  // The shared part of reading a record (get and test): its four items and
  // the call's parameters.
  HRESULT ReadRecord(const SPINLines& lines, EPINLookup eLookup, ULONG ulPID,
                     BSTR bstrCompartmentId, BSTR bstrPINId, BSTR* pbstrPINSessionId,
                     SAFEARRAY* pAdditionalParameters, SRecord& record);
  // One single-string item: bPresent false when the array or its element is
  // null. The tree's result of the read (pbTreeFailed set), or the failure
  // of taking or converting the element.
  HRESULT ReadString(const SPINLines& lines, const secwstring& sName, const OLECHAR* pszItem,
                     secwstring& sValue, bool& bPresent, bool* pbTreeFailed = nullptr);
  // Writes the item as a one-element array; a null value leaves the element
  // null.
  HRESULT WriteString(const SPINLines& lines, const secwstring& sName, const OLECHAR* pszItem,
                      const OLECHAR* pszValue, UINT cchValue);
  // "PINAlwaysState": "available" or "unavailable".
  HRESULT WriteAvailability(const SPINLines& lines, const secwstring& sName, bool bAvailable);
  // The state of a PIN-always record that is not available: 2 when the
  // setting asks for a confirmation prompt, 0 for a PIN prompt.
  HRESULT PINAlwaysPromptState(const SPINLines& lines, INT& nPINState);
  // The PIN session identifier the record holds (null when none).
  HRESULT ReadPINSessionId(const SPINLines& lines, const secwstring& sName, BSTR& bstrStored);

  CCriticalSection m_Lock;
  std::unique_ptr<CAbstractTree> m_Tree;
  ULONG nType = 0;
  BOOL bEncrypted = TRUE;
  BOOL bSharedBetweenUserSessions = FALSE;
  DWORD m_nPINCachingMode = 1;
  TTimerMap m_mapTimers;
  TTimerMap m_mapExpiredTimers;
  std::map<secwstring, secwstring> m_mapPINSessions;
  CSessionAvailability m_availability;
  // From Begin to End the settings key stays open between reads.
  std::optional<CSettingsHold> m_settingsHold;
};

// CRegistryTree: the storage tree of the registry stores. Every compartment
// is a registry key and every data item a value of its compartment's key,
// so the data outlives the process; a new tree with the same identifier and
// location kind sees everything stored before.
//
// Layout. With root R and directory S of the location kind, the tree is the
// key R\S<tree id>; the compartment s1/s2/.../sn is the key below it at
// s1\s2\...\sn, and "/" is the tree key itself. Value names are the data
// identifiers unchanged, matched exactly and case-sensitively by the tree
// although the registry folds case. A key path below R is at most 250 UTF-16
// units, a value name at most 255; values are stored as trees/registryformat.h
// says.
//
// Location kinds (m_nIntegrity), re-targeted at the start of every operation
// that names a client process (all but ListAllCompartmentIds, which reads
// where the previous operation left the location):
//   0  the host runs in an app container: the key GetAppContainerRegistryLocation
//      (userenv.dll) opens, below it "Software\AppData\Orvane\Kelmyr\RemanentDataStore\"
//   1  the host has low integrity: the key IEGetWriteableHKCU (ieframe.dll)
//      opens, below it "Orvane\Kelmyr\RemanentDataStore\"
//   2  the low-integrity copy of the client's user: HKEY_USERS,
//      "<client's SID>\Software\AppDataLow\Orvane\Kelmyr\RemanentDataStore\"
//   3  machine-wide: HKEY_LOCAL_MACHINE, "Software\Orvane\Kelmyr\RemanentDataStore\"
// The libraries of kinds 0 and 1 (and ntdll's ZwQueryKey, which names the
// key opened for the log) are loaded through the machine at run time; where
// they are missing, as on Linux, every operation of those kinds fails with
// the result of the re-targeting (E_FAIL without userenv.dll or its entry
// point, E_NOTIMPL without ieframe.dll or its entry point) and touches
// nothing. Kinds 2 and 3 work everywhere.
//
// Identifiers the registry cannot hold are refused with E_INVALIDARG before
// any key of the tree is opened: a compartment path with an empty segment
// ("", "a//b", a leading or trailing "/" other than the root "/"), a
// backslash or a zero unit, a tree identifier that is empty or holds either,
// and a value name holding a zero unit.
//
// Kinds 0 and 1 hold the key of the latest operation until the next one
// replaces it or the tree goes; a replaced key that fails to close is logged
// and changes no result.
//
// The non-virtual operations are also used by the composite trees, which
// own registry trees and call their operations directly.
#pragma once

#include <windows.h>

#include <winreg.h>

#include <vector>

#include "trees/abstracttree.h"

enum : ULONG {
  REGISTRY_TREE_APP_CONTAINER = 0,
  REGISTRY_TREE_LOW_INTEGRITY = 1,
  REGISTRY_TREE_LOW_DUPLICATE = 2,
  REGISTRY_TREE_MACHINE = 3,
};

class CRegistryTree final : public CAbstractTree {
 public:
  // Opens nothing: the location is set by the first operation.
  CRegistryTree(const secwstring& sTreeId, ULONG nIntegrity);
  ~CRegistryTree() override;

  HRESULT GetTreeId(secwstring& sTreeId) override;
  // A value refused by a limit still leaves the compartment key, which is
  // created first; a multi-string element that cannot be read is left out
  // and makes the result E_FAIL, the rest being written.
  HRESULT SetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                  SAFEARRAY* psaDataValue, DWORD dwClientProcessId, BOOL bEncrypted) override;
  // A value that changes between its size query and its read gives
  // E_UNEXPECTED and no array. A binary value with an unknown first byte
  // gives S_OK and no array.
  HRESULT GetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                  SAFEARRAY** ppsaDataValue, DWORD dwClientProcessId) override;
  HRESULT RemoveData(const secwstring& sCompartmentId, const secwstring& sDataId,
                     DWORD dwClientProcessId) override;
  HRESULT CreateCompartment(const secwstring& sCompartmentId, DWORD dwClientProcessId) override;
  // Advances the counters of removed descendants only when bUpdateVersions
  // is set. A key that RegDelTree cannot remove entirely is logged; the
  // result stays S_OK.
  HRESULT RemoveCompartment(const secwstring& sCompartmentId, BOOL bUpdateVersions,
                            DWORD dwClientProcessId) override;
  HRESULT FlushTree(DWORD dwClientProcessId) override;
  HRESULT IsDataCached(const secwstring& sCompartmentId, const secwstring& sDataId, BOOL* pbCached,
                       DWORD dwClientProcessId) override;
  HRESULT ListDataIds(const secwstring& sCompartmentId, SAFEARRAY** ppsaDataIdList,
                      DWORD dwClientProcessId) override;
  // An existing compartment without children gives an empty array.
  HRESULT ListCompartmentIds(const secwstring& sCompartmentId, SAFEARRAY** ppsCompartmentIdList,
                             DWORD dwClientProcessId) override;
  // Re-targets before it checks its outputs.
  HRESULT IsCompartmentCached(const secwstring& sCompartmentId, ULONG* pulCompartmentVersion,
                              ULONG* pulContentVersion, BOOL* pbCached,
                              DWORD dwClientProcessId) override;
  // Does not re-target. A tree without compartments gives an empty array.
  HRESULT ListAllCompartmentIds(SAFEARRAY** ppsAllCompartmentIdList) override;

  // Sets m_hRootKey and m_sSubKey for the location kind and the client
  // process; nothing changes on failure.
  HRESULT UpdateRegistryKey(DWORD dwClientProcessId);
  // The full name of an open key, for the log; empty when ntdll's
  // ZwQueryKey cannot tell. E_FAIL only when ntdll.dll cannot be loaded.
  HRESULT GetKeyPathFromHKey(HKEY hKey, secwstring& sPath);
  // Appends m_sSubKey, the tree identifier and, unless the path is "/", a
  // backslash and the path's segments joined with backslashes.
  // E_INVALIDARG for a tree identifier or path the registry cannot hold
  // (sFullPath unchanged then).
  HRESULT ConvertString2RegistryFormat(const secwstring& sCompartmentId, secwstring& sFullPath);
  // Deletes a key with everything below it, in buffers of 251 units: a
  // child name that does not fit behind the path (the previous child's name
  // still counting from the second child on) ends the enumeration, and the
  // key then stays. With bUpdateVersions, advances both counters of every
  // removed descendant's history key. True when the key is gone.
  BOOL RegDelTree(HKEY hRootKey, LPCWSTR pszSubKey, BOOL bUpdateVersions);
  // Appends the compartment paths below the tree key pszSubKey (parents
  // first), with the fit test of RegDelTree. 0 or a Windows error code (the
  // result of the last close when children failed to list).
  LONG RegListTree(HKEY hRootKey, LPCWSTR pszSubKey, std::vector<secwstring>& list);

  // Where the latest operation left the location.
  HKEY RootKey() const noexcept { return m_hRootKey; }
  const secwstring& SubKey() const noexcept { return m_sSubKey; }

 private:
  // Makes hNewRoot the root, closing the one it replaces unless predefined.
  void ReplaceRootKey(HKEY hNewRoot) noexcept;
  HRESULT UpdateAppContainerKey();
  HRESULT UpdateLowIntegrityKey();
  // Takes a key opened for kinds 0 and 1 as the new root below which
  // pszSubKey lies, once its path is known; closes it on failure.
  HRESULT AdoptOpenedKey(HKEY hKey, const OLECHAR* pszSubKey);
  // SetData's value: the name checked, the value encoded and written to
  // the open compartment key.
  HRESULT WriteValue(HKEY hKey, const secwstring& sDataId, SAFEARRAY* psaDataValue);
  // RegDelTree once the key could not be deleted at once: its children
  // first, then the key.
  BOOL DeleteChildrenThenKey(HKEY hRootKey, LPCWSTR pszSubKey, size_t cchSubKey,
                             BOOL bUpdateVersions);
  // Both counters of the history key of a removed key below m_sSubKey.
  void AdvanceRemoved(const OLECHAR* pszPath);

  HKEY m_hRootKey;
  secwstring m_sSubKey;
  secwstring m_sTreeId;
  ULONG m_nIntegrity;
};

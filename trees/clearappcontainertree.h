// CClearAppContainerTree: removes the copies of a registry store that app
// containers of the calling user keep in their own storage.
//
// A process in an app container writes its registry trees below its
// container's storage key; containers can be nested below one another. This
// class is no tree of its own: it only removes, from every container of the
// client's user, what the duplicate tree (trees/duplicateregistrytree.h)
// removes from the machine copy. Everything lies below HKEY_USERS:
//
//   container list  <SID>_Classes\Local Settings\Software\Microsoft\Windows
//                   \CurrentVersion\AppContainer\Storage
//   candidate       <container list>\<container>
//   store path      Software\AppData\Orvane\Kelmyr\RemanentDataStore\<tree id>
//                   [\<segments of the compartment path>]
//   target          <candidate>\<store path>
//
// Each removal visits every container in listing order. Where the target
// cannot be removed directly, a depth-first search looks for the store path
// below every key under the container and stops at the first place where the
// removal succeeds, so of two nested copies below one container only the
// first found goes. The result of a removal is that of its last search (S_OK
// when none ran); callers only log it.
//
// Lengths: a store path longer than 250 units and a value name of 256 or
// more are refused; RegDelTree works in buffers of 251 units, so a key path
// longer than 250 units is not deleted there.
//
// Identifiers the registry cannot hold are refused with E_INVALIDARG before
// anything is touched, as the registry tree refuses them: a compartment path
// with an empty segment (a leading or trailing "/" other than the root "/"
// itself), a backslash or a zero unit; a value name with a zero unit; and a
// tree identifier that is empty or holds a backslash or a zero unit (which
// would make the store path name every tree, or another tree, of a container).
//
// UpdateRegistryKey rewrites the location on every removal: one object must
// not serve two removals at the same time.
#pragma once

#include <windows.h>

#include <winreg.h>

#include "support/secstring.h"

struct SClearWalkMessages;
struct SClearSearchMessages;

class CClearAppContainerTree {
 public:
  explicit CClearAppContainerTree(const secwstring& sTreeId);
  ~CClearAppContainerTree();

  CClearAppContainerTree(const CClearAppContainerTree&) = delete;
  CClearAppContainerTree& operator=(const CClearAppContainerTree&) = delete;

  // Points the object at the container list of the user who runs the client
  // process. On failure (no process, no SID) the location stays as it was.
  HRESULT UpdateRegistryKey(DWORD dwClientProcessId);

  // Appends the store path of a compartment ("/" for the tree itself) to
  // sFullPath; E_INVALIDARG, with nothing appended, for an identifier the
  // registry cannot hold.
  HRESULT ConvertString2RegistryFormat(const secwstring& sCompartmentId, secwstring& sFullPath);

  // The removals, each from every container of the client's user.
  HRESULT RemoveData(const secwstring& sCompartmentId, const secwstring& sDataId,
                     DWORD dwClientProcessId);
  HRESULT RemoveCompartment(const secwstring& sCompartmentId, DWORD dwClientProcessId);
  HRESULT FlushTree(DWORD dwClientProcessId);

  // The nested searches below the parent key (a path below the root): the
  // first key under it, depth first, at which the store path holds the value
  // (RegDeleteSubValue), opens and is deleted (RegDeleteSubTree) or is
  // deleted with everything below it (RegDeleteSubKey). S_OK once removed;
  // otherwise E_INVALIDARG when a key cannot be listed, E_FAIL when it has
  // no subkey (or changed while listed), the result of the last search
  // below when none led to a removal.
  HRESULT RegDeleteSubValue(const secwstring& sParentKey, const secwstring& sFullPath,
                            const secwstring& sValueName);
  HRESULT RegDeleteSubTree(const secwstring& sParentKey, const secwstring& sFullPath);
  HRESULT RegDeleteSubKey(const secwstring& sParentKey, const secwstring& sFullPath);

  // Deletes the key with everything below it, child by child; true when the
  // key is gone. An empty path (the root itself) and one longer than 250
  // units are refused. A child whose name does not fit behind the path in
  // the 251-unit buffer ends the deletion: the children deleted before it
  // stay deleted, the key stays with the rest.
  BOOL RegDelTree(HKEY hRootKey, LPCWSTR lpSubKey);

 private:
  enum class EWalk { kValue, kTree, kKey };

  // The container walk shared by the three removals.
  HRESULT Walk(const SClearWalkMessages& messages, EWalk eWalk, const secwstring& sCompartmentId,
               const secwstring* psDataId, DWORD dwClientProcessId);
  // One nested search; pszValueName only for values.
  HRESULT Search(const SClearSearchMessages& messages, EWalk eWalk, const secwstring& sParentKey,
                 const secwstring& sFullPath, LPCWSTR pszValueName, unsigned uDepth);
  // The removal at one target of a nested search; true when done there.
  bool RemoveAt(EWalk eWalk, const secwstring& sTarget, LPCWSTR pszValueName);
  BOOL DeleteTree(HKEY hRootKey, LPCWSTR lpSubKey);

  HKEY m_hRootKey;
  secwstring m_sAppContainerKey;
  secwstring m_sTreeId;
};

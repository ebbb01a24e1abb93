// CAbstractTree: the contract of every storage tree, and the session search
// and compartment move that work the same on top of any tree.
//
// A tree holds compartments named by paths (trees/treepath.h), each holding
// data items: a data identifier with one array value. The first segment of a
// path is the session prefix, the decimal terminal session under which a
// store filed the compartment; the rest is the client's own compartment
// identifier. The path "/" denotes the tree itself.
//
// The virtual operations below keep their order: it is the order of the
// slots every tree fills. A tree never keeps an array it is given (it stores
// a copy or an encoding), and every array or list it returns is new and
// owned by the caller. Lists are one-dimensional VT_BSTR arrays with lower
// bound 0. dwClientProcessId names the client a call is made for (or is 0);
// only trees whose storage location depends on the caller read it.
//
// A tree has no lock of its own and must not be used by two threads at once:
// each store calls its tree under the store's lock. The shared history tree
// is the exception, wrapped in a locking tree (trees/lockingtree.h).
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <vector>

#include "support/scopedsafearray.h"
#include "support/secstring.h"

class CAbstractTree {
 public:
  CAbstractTree();
  virtual ~CAbstractTree();

  CAbstractTree(const CAbstractTree&) = delete;
  CAbstractTree& operator=(const CAbstractTree&) = delete;

  // Copies the identifier the tree was created with.
  virtual HRESULT GetTreeId(secwstring& sTreeId) = 0;

  // Stores a copy of psaDataValue under sDataId, replacing an existing item
  // and creating the compartment and its missing ancestors. bEncrypted says
  // whether the caller protected the value already; no tree reads it.
  virtual HRESULT SetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                          SAFEARRAY* psaDataValue, DWORD dwClientProcessId, BOOL bEncrypted) = 0;

  // A new array equal to the stored value; E_INVALIDARG when the compartment
  // or the item is missing (which the stores read as "not found").
  virtual HRESULT GetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                          SAFEARRAY** ppsaDataValue, DWORD dwClientProcessId) = 0;

  // Removes one item; the compartment stays, even when empty. E_INVALIDARG
  // when the compartment or the item is missing.
  virtual HRESULT RemoveData(const secwstring& sCompartmentId, const secwstring& sDataId,
                             DWORD dwClientProcessId) = 0;

  // Creates the compartment and its missing ancestors; an existing one is
  // not an error.
  virtual HRESULT CreateCompartment(const secwstring& sCompartmentId, DWORD dwClientProcessId) = 0;

  // Removes the compartment with its items and everything below it, and
  // advances both version counters of every removed descendant (not of the
  // compartment itself, which is left to the caller).
  virtual HRESULT RemoveCompartment(const secwstring& sCompartmentId, BOOL bUpdateVersions,
                                    DWORD dwClientProcessId) = 0;

  // Removes every compartment; no version changes.
  virtual HRESULT FlushTree(DWORD dwClientProcessId) = 0;

  // Whether the compartment holds an item named sDataId; E_FAIL for a null
  // pbCached.
  virtual HRESULT IsDataCached(const secwstring& sCompartmentId, const secwstring& sDataId,
                               BOOL* pbCached, DWORD dwClientProcessId) = 0;

  // The data identifiers of one compartment.
  virtual HRESULT ListDataIds(const secwstring& sCompartmentId, SAFEARRAY** ppsaDataIdList,
                              DWORD dwClientProcessId) = 0;

  // The last segments of the direct children of a compartment; for "/" the
  // top-level compartments. Callers set the output to null first: a tree may
  // leave it untouched when there is nothing to list.
  virtual HRESULT ListCompartmentIds(const secwstring& sCompartmentId,
                                     SAFEARRAY** ppsCompartmentIdList, DWORD dwClientProcessId) = 0;

  // Whether the compartment exists, with the two version counters its
  // history key holds; E_FAIL when one of the three outputs is null.
  virtual HRESULT IsCompartmentCached(const secwstring& sCompartmentId,
                                      ULONG* pulCompartmentVersion, ULONG* pulContentVersion,
                                      BOOL* pbCached, DWORD dwClientProcessId) = 0;

  // The paths of all compartments, every level included.
  virtual HRESULT ListAllCompartmentIds(SAFEARRAY** ppsAllCompartmentIdList) = 0;

  // Added after the slots above, which keep their places: whether the tree
  // holds sPath, looked up at once rather than found in the whole listing,
  // with the result FindCompartmentId's reading of the listing would end
  // with. A tree that can only list answers E_NOTIMPL (this default), as
  // does one that cannot answer so for what it holds now, and
  // FindCompartmentId then reads the listing.
  virtual HRESULT LookUpCompartment(const secwstring& sPath, bool& bFound);

  // The session prefix under which the client's compartment sSubCompartmentId
  // is filed. A session other than "0" is its own answer. Session "0" means
  // any session: the first prefix, in GetSessionIdList order and skipping a
  // prefix "0", under which the compartment exists; "0" when there is none,
  // so that a caller of session 0 files new compartments under "0".
  // sSessionIdFound is written only on success.
  HRESULT FindSessionId(const secwstring& sSessionId, const secwstring& sSubCompartmentId,
                        secwstring& sSessionIdFound);

  // The distinct session prefixes of the tree, in first-seen order of the
  // tree's top-level listing. The list is cleared first, and each prefix is
  // appended as it is read: after a failure part-way the list holds the
  // prefixes read before it. A tree without a top-level listing gives S_OK
  // and an empty list.
  HRESULT GetSessionIdList(std::vector<secwstring>& sessionIdList);

  // Whether the tree holds sSessionId/sSubCompartmentId exactly (a path of
  // one segment never matches). sCompartmentIdFound is written only when
  // found. The result is that of the last listed path read, as the search
  // reads them in order. A tree that looks paths up (LookUpCompartment)
  // answers without listing, unless the trace is being logged.
  HRESULT FindCompartmentId(const secwstring& sSessionId, const secwstring& sSubCompartmentId,
                            secwstring& sCompartmentIdFound, bool& bFound);

  // Copies the items of sCompartmentId0 and of everything below it to the
  // same places below sCompartmentId1 (values as stored: protected values
  // stay protected), then removes the source when bRemoveSource is set.
  // A target that is the source itself or lies below it is refused with
  // E_INVALIDARG before anything is copied: below the source, every level
  // copied would make a new child to copy, without end; onto itself, a move
  // that removes its source would only delete it. Upwards and sideways are
  // fine.
  // Compartments travel only through their items. A compartment without
  // children (a leaf of a memory tree has no child list) makes its own move
  // report E_FAIL; the result of a move that removes its source is that of
  // the removal.
  HRESULT MoveCompartmentIds(const secwstring& sCompartmentId0, const secwstring& sCompartmentId1,
                             bool bRemoveSource);

  // Whether lines finer than failures are being written. A quick path that
  // leaves out such lines of the full path it stands for steps aside then,
  // so that a log being read tells the same steps whichever path is built
  // in; failures are left out by neither.
  static bool TraceIsLogged() noexcept;

 private:
  HRESULT SearchSessionId(const secwstring& sSessionId, const secwstring& sSubCompartmentId,
                          secwstring& sSessionIdFound);
  void MoveItems(const secwstring& sCompartmentId0, const secwstring& sCompartmentId1,
                 CScopedSafeArray& ids);
};

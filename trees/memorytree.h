// CMemoryTree: the storage tree kept in process memory. It is the tree of
// every memory store, of every PIN store and of the version history.
//
// One ordered map holds every compartment, ancestors included, under its
// full path exactly as the callers pass it (the tree's own identifier is
// never part of a key). Compartments are created together with their
// missing ancestors and removed together with everything below them, so
// every proper prefix of a key, in whole segments, is itself a key. Keys
// compare code unit by code unit, so every listing is in ascending key
// order. Paths with empty segments are kept as opaque text.
//
// Listings cost what they list, not what the tree holds. Two indexes over
// the same keys, kept in step on every insertion and erasure, answer them:
// the top-level keys (the session prefixes the session search walks), and
// every other key filed under its parent path and last segment, so that the
// children of one compartment lie side by side in the order of their full
// paths. A compartment's descendants are found in the map itself: the keys
// that begin with P + "/" are exactly those from P + "/" up to, not
// including, P + "0", as "0" is the code unit right after "/".
//
// Arrays go in as copies and come out as copies; every array returned is
// owned by the caller. dwClientProcessId and bEncrypted are not read.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "trees/abstracttree.h"
#include "trees/node.h"

class CMemoryTree final : public CAbstractTree {
 public:
  explicit CMemoryTree(const secwstring& sTreeId);
  ~CMemoryTree() override;

  HRESULT GetTreeId(secwstring& sTreeId) override;
  HRESULT SetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                  SAFEARRAY* psaDataValue, DWORD dwClientProcessId, BOOL bEncrypted) override;
  HRESULT GetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                  SAFEARRAY** ppsaDataValue, DWORD dwClientProcessId) override;
  HRESULT RemoveData(const secwstring& sCompartmentId, const secwstring& sDataId,
                     DWORD dwClientProcessId) override;
  HRESULT CreateCompartment(const secwstring& sCompartmentId, DWORD dwClientProcessId) override;

  // bUpdateVersions is not read: removed descendants always get both their
  // counters advanced (except in the history tree itself), and the removed
  // compartment never does. E_INVALIDARG on an empty tree; S_OK for a path
  // that matches nothing. The result is that of the last "ContentVersion"
  // advance, S_OK when nothing was advanced.
  HRESULT RemoveCompartment(const secwstring& sCompartmentId, BOOL bUpdateVersions,
                            DWORD dwClientProcessId) override;

  HRESULT FlushTree(DWORD dwClientProcessId) override;
  HRESULT IsDataCached(const secwstring& sCompartmentId, const secwstring& sDataId, BOOL* pbCached,
                       DWORD dwClientProcessId) override;

  // The items of the first key, in order, that is the path or lies below it
  // (the path's own node whenever it exists); E_FAIL and no output when no
  // key matches. A compartment without items gives an empty array.
  HRESULT ListDataIds(const secwstring& sCompartmentId, SAFEARRAY** ppsaDataIdList,
                      DWORD dwClientProcessId) override;

  // When there is nothing to list the output is left untouched and the
  // result is S_OK.
  HRESULT ListCompartmentIds(const secwstring& sCompartmentId, SAFEARRAY** ppsCompartmentIdList,
                             DWORD dwClientProcessId) override;

  // A compartment that was never created, or was removed, still reports the
  // counters its history key holds.
  HRESULT IsCompartmentCached(const secwstring& sCompartmentId, ULONG* pulCompartmentVersion,
                              ULONG* pulContentVersion, BOOL* pbCached,
                              DWORD dwClientProcessId) override;

  // An empty tree gives an empty array.
  HRESULT ListAllCompartmentIds(SAFEARRAY** ppsAllCompartmentIdList) override;

  // One lookup in the map. A tree holding the empty path (no BSTR carries
  // it) answers E_NOTIMPL: the listing search then logs the failure to read
  // it and gives its result, as it would without the lookup.
  HRESULT LookUpCompartment(const secwstring& sPath, bool& bFound) override;

  // The node of a path, for reading its items in place (the version history
  // reads its counters so); null when missing. The node goes with the path.
  const CNode* PeekNode(const secwstring& sPath) const noexcept;

 private:
  using PathMap = std::map<secwstring, std::unique_ptr<CNode>>;
  using PathView = std::basic_string_view<OLECHAR>;

  // The node of the path, created with its missing ancestors.
  HRESULT EnsurePath(const secwstring& sCompartmentId, CNode*& pNode);

  // Adds an empty node under sPath (which must be missing) and indexes it;
  // on bad_alloc nothing stays behind and the exception goes on.
  PathMap::iterator InsertPath(const secwstring& sPath);
  // Unindexes and erases one entry.
  void ErasePath(PathMap::iterator it) noexcept;

  PathMap m_cFullPathNodeList;
  secwstring m_sTreeId;
  // Views into the keys of the map, each living exactly as long as its key.
  std::set<PathView> m_topLevelPaths;
  std::set<std::pair<PathView, PathView>> m_childPaths;  // (parent, last segment)
};

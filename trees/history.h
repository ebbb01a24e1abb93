// The version history: two counters per compartment, kept outside the
// compartment's own tree in one process-wide tree, so that they survive the
// removal of the compartment and work alike for every kind of store.
//
// In the history tree the compartment path is the history key of a store
// compartment (trees/treepath.h: MakeHistoryKey), and each history
// compartment holds up to two items, each a one-element VT_UINT vector:
// "CompartmentVersion" advances when the compartment or one below it is
// created, touched or removed; "ContentVersion" when the data of the
// compartment or of one below it changes, and with every advance of
// "CompartmentVersion". An absent counter reads 0; an advance adds 1 modulo
// 2^32, so 0xFFFFFFFF is followed by 0.
//
// Sharing: gHistoryTree is one memory tree named "History" inside a locking
// tree (trees/lockingtree.h), reached from the threads of every store. Its
// lifetime is counted: the managers of a process each take one use
// (AcquireHistoryTree, from the manager's start-up) and give it back
// (ReleaseHistoryTree, from its shut-down, after its stores have ended); the
// first use creates the tree and the last one destroys it, so that one
// manager ending never takes the counters away from another manager's
// stores. A caller of the functions below holds a use, directly or through
// its manager.
//
// While there is no history tree, UpdateHistoryTree, UpdateVersion and
// GetVersion fail with E_FAIL (GetVersion still writes 0 to its outputs).
#pragma once

#include <windows.h>

#include <atomic>

#include "support/secstring.h"
#include "trees/abstracttree.h"
#include "trees/lockingtree.h"

// The process-wide history tree, used as a pointer to CAbstractTree
// (gHistoryTree->GetData(...), NULL == gHistoryTree). It is null while no
// manager holds a use. The pointer itself is atomic: it changes only when
// the first use is taken or the last one given back, but may be read from
// any thread at any time.
class CHistoryTreePointer {
 public:
  constexpr CHistoryTreePointer() noexcept = default;
  CHistoryTreePointer(const CHistoryTreePointer&) = delete;
  CHistoryTreePointer& operator=(const CHistoryTreePointer&) = delete;

  CAbstractTree* operator->() const noexcept { return Locking(); }
  operator CAbstractTree*() const noexcept { return Locking(); }

  // The same tree with its lock, for a sequence of calls that must be one
  // step to other threads.
  CLockingTree* Locking() const noexcept { return m_pTree.load(std::memory_order_acquire); }

 private:
  friend HRESULT AcquireHistoryTree();
  friend HRESULT ReleaseHistoryTree();

  std::atomic<CLockingTree*> m_pTree{nullptr};
};

extern CHistoryTreePointer gHistoryTree;

// Takes one use of the history tree, creating it for the first use.
// E_OUTOFMEMORY (level-1 line) when it cannot be created; no use is taken
// then.
HRESULT AcquireHistoryTree();

// Gives one use back; the last use destroys the tree with all its counters.
// E_FAIL (level-1 line) when no use is held. A manager gives back exactly
// the use it took (none when its start-up stopped before taking one), and
// only after its stores have ended: the tree is destroyed without waiting
// for calls that are still inside it.
HRESULT ReleaseHistoryTree();

// True when pTree is the history tree or the memory tree inside it. The
// history tree advances no counters of its own compartments and addresses
// its counters by its paths unchanged.
bool IsHistoryTree(const CAbstractTree* pTree) noexcept;

// Advances the counters of every prefix of the history key, shortest first:
// the store as a whole, the session and every ancestor of the compartment.
// lMode -1 advances both counters of each prefix, 1 only "ContentVersion",
// any other mode nothing. The first failure stops at once; shorter prefixes
// stay advanced.
HRESULT UpdateHistoryTree(const secwstring& sCompartmentIdGlobal, LONG lMode);

// Advances one counter of one history key: ulSelector 0 "CompartmentVersion",
// any other value "ContentVersion". The result is that of the last release
// of the temporary arrays: a failed store of the new value is logged but
// reported as success once the temporaries are released.
HRESULT UpdateVersion(const secwstring& sCompartmentIdGlobal, ULONG ulSelector);

// Reads both counters of one history key (0 for an absent one). Only
// pulContentVersion may be null. The outputs given are written on every
// path, with 0 when the history tree is missing or pulCompartmentVersion is
// null. A stored "CompartmentVersion" that cannot be read ends the reading;
// a missing "ContentVersion" is not a failure, any other failure to get it
// is the result. The release of each temporary copy, retried once when it
// fails, sets the result last.
HRESULT GetVersion(const secwstring& sCompartmentIdGlobal, ULONG* pulCompartmentVersion,
                   ULONG* pulContentVersion);

// The counters as GetVersion reads them, for IsCompartmentCached, which asks
// on every call: read in place under the history lock, without GetVersion's
// temporary copies and lines, when each counter is absent or one that
// UpdateVersion wrote (a VT_UINT vector with an element at index 0).
// Anything else, and everything while the trace is logged, is read by
// GetVersion itself, so the answers (and the lines) are the same.
HRESULT ReadVersions(const secwstring& sCompartmentIdGlobal, ULONG* pulCompartmentVersion,
                     ULONG* pulContentVersion);

// Compartment paths: how every tree splits, joins and compares the paths that
// name its compartments.
//
// A path is a sequence of segments joined by "/". Splitting yields the text
// before the first "/", the text between consecutive "/" and the text after
// the last one; empty segments count like any other, so "" is one empty
// segment, "/" two empty segments and "a/" the segments "a" and "". Joining
// puts exactly one "/" between neighbours and none at either end, so joining
// segments 1..k of a split is the path cut just before its k-th "/". Paths
// are opaque text beyond that rule: no segment is trimmed, folded or refused
// here (trees that cannot hold some paths refuse them themselves).
//
// These helpers log only their own failures; they are not operations of a
// tree and carry no entry or exit lines.
#pragma once

#include <windows.h>

#include <vector>

#include "support/secstring.h"

inline constexpr OLECHAR kPathSeparator = OLESTR("/")[0];

// The path that denotes a tree as a whole.
inline constexpr OLECHAR kRootPath[] = OLESTR("/");

// Replaces segments with the segments of sPath. E_OUTOFMEMORY (level-1 line)
// leaves segments empty.
HRESULT SplitCompartmentPath(const secwstring& sPath, std::vector<secwstring>& segments);

// Joins segments[first..last) with "/" into sPath (segments are counted from
// 0 here). An empty range gives the empty path. E_INVALIDARG for a range
// outside the list, E_OUTOFMEMORY (level-1 line); sPath is written only on
// success.
HRESULT JoinCompartmentPath(const std::vector<secwstring>& segments, size_t first, size_t last,
                            secwstring& sPath);

// Replaces prefixes with the paths of segments 1..k for k = 1..n, shortest
// first: the path itself and every ancestor the trees create with it.
// E_OUTOFMEMORY (level-1 line) leaves prefixes empty.
HRESULT ListPathPrefixes(const secwstring& sPath, std::vector<secwstring>& prefixes);

// True when sKey is sPath itself or lies below it (begins with sPath + "/").
// "7/A/B" lies below "7/A"; "7/AB" does not.
bool IsPathOrBelow(const secwstring& sKey, const secwstring& sPath) noexcept;

// The history key of a compartment of the tree sTreeId: the tree identifier,
// "/" and the path; for the root "/" the tree identifier alone. (A tree that
// is the history tree itself uses its paths unchanged instead.)
// E_OUTOFMEMORY (level-1 line); sHistoryKey is written only on success.
HRESULT MakeHistoryKey(const secwstring& sTreeId, const secwstring& sCompartmentId,
                       secwstring& sHistoryKey);

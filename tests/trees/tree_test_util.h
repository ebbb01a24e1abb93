// Helpers of the tree tests: building and reading the arrays the trees take
// and return, a whole tree written as and read from one line of text, a use
// of the history tree for the length of a test, and a helper library whose
// releases fail on request.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/scripted_zuwinext.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "support/secstring.h"
#include "trees/abstracttree.h"

// From and to the UTF-8 of a table row.
secwstring U(const std::string& utf8);
std::string U8(const secwstring& s);
// A BSTR of the UTF-8 text, embedded NULs kept.
CScopedBSTR Bstr(const std::string& utf8);

CScopedSafeArray MakeBytes(const std::vector<BYTE>& bytes);
// The strings of a one-dimensional VT_BSTR vector with lower bound 0 (each
// of which is checked), joined by the separator.
std::string Joined(SAFEARRAY* psa, const char* pszSeparator = " ");

// A tree as one line: its paths in listing order, separated by spaces, each
// followed by its items as {id=text,id=null} when it has any, each value
// the bytes of its text; the empty path
// is written ''. Build creates the paths of such a line (a path without
// items with CreateCompartment; a path written -path it removes) and Dump
// writes a tree's.
void Build(CAbstractTree& tree, const std::string& sLine);
std::string Dump(CAbstractTree& tree);

// Counters as "compartment,content", preceded by the result unless it is
// S_OK; Versions reads them with GetVersion.
std::string VersionText(HRESULT hr, ULONG ulCompartment, ULONG ulContent);
std::string Versions(const std::string& sKey);
// The history keys whose counters are not both 0, in key order, each as
// key=compartment,content.
std::string Counted();

// One use of the history tree for the scope of a test.
struct CHistoryUse {
  CHistoryUse();
  ~CHistoryUse();
};

// Helpers of the tree tests: building and reading the arrays the trees take
// and return, a use of the history tree for the length of a test, and a
// helper library whose releases fail on request.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "common/recording_log_sink.h"
#include "support/scopedsafearray.h"
#include "support/secstring.h"
#include "support/zuwinext.h"
#include "trees/abstracttree.h"

inline secwstring W(const OLECHAR* psz) { return secwstring(psz); }
inline OleString O(const secwstring& s) { return OleString(s.data(), s.size()); }

// A one-dimensional VT_UI1 array with lower bound 0.
CScopedSafeArray MakeBytes(std::initializer_list<BYTE> bytes);
CScopedSafeArray MakeBytes(const std::vector<BYTE>& bytes);
// A one-dimensional VT_UINT array with lower bound 0.
CScopedSafeArray MakeUints(std::initializer_list<UINT> values);

// The elements of a VT_UI1 vector; the array is left alone.
std::vector<BYTE> ReadBytes(SAFEARRAY* psa);
// The strings of a VT_BSTR vector; the array is left alone.
std::vector<OleString> ReadStrings(SAFEARRAY* psa);
std::vector<OleString> Strings(std::initializer_list<const OLECHAR*> items);
std::vector<OleString> Strings(const std::vector<secwstring>& items);

// The value of one item, read through GetData; empty when it fails.
std::vector<BYTE> ItemBytes(CAbstractTree& tree, const OLECHAR* pszCompartmentId,
                            const OLECHAR* pszDataId);
std::vector<OleString> AllCompartments(CAbstractTree& tree);

struct CVersions {
  HRESULT hr = E_UNEXPECTED;
  ULONG ulCompartment = 0xDEADBEEF;
  ULONG ulContent = 0xDEADBEEF;
  bool operator==(const CVersions&) const = default;
};
void PrintTo(const CVersions& v, std::ostream* os);
// GetVersion of one history key.
CVersions Versions(const OLECHAR* pszKey);
CVersions Versions(const secwstring& sKey);
CVersions Counters(HRESULT hr, ULONG ulCompartment, ULONG ulContent);

// One use of the history tree for the scope of a test.
class CHistoryUse {
 public:
  CHistoryUse();
  ~CHistoryUse();
  CHistoryUse(const CHistoryUse&) = delete;
  CHistoryUse& operator=(const CHistoryUse&) = delete;
};

// The real helper library, except that its releases of arrays fail at
// chosen calls, as the platform's do for a locked array: the array is then
// not released. It installs itself for its lifetime and releases what it
// refused when it goes, so that the tests leak nothing.
class CFailingReleases final : public CZuWinExt {
 public:
  // Calls are counted from 1 while installed.
  explicit CFailingReleases(std::vector<int> failingCalls);
  ~CFailingReleases() override;

  HRESULT zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) override;

  int Calls() const { return m_cCalls; }
  static constexpr HRESULT kFailure = DISP_E_ARRAYISLOCKED;

 private:
  IZuWinExt* m_pPrevious;
  std::vector<int> m_failingCalls;
  std::vector<SAFEARRAY*> m_refused;
  int m_cCalls = 0;
};

// CNode: the data items of one compartment of a memory tree.
//
// Each item maps a data identifier to the node's own copy of its value. The
// node owns every array in it: values go in as copies (SafeArrayCopy), come
// out as copies, and are released with zuSafeArrayDestroy(array, 0). A null
// value is kept as given (the platform copies a null array to null).
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <map>
#include <vector>

#include "support/secstring.h"

class CNode {
 public:
  CNode();
  // Releases the arrays in key order. A release that fails stops the
  // releasing: that array and the ones after it are not released again.
  ~CNode();

  CNode(const CNode&) = delete;
  CNode& operator=(const CNode&) = delete;

  // Replaces the item with a copy of psaDataValue. The previous value is
  // removed first, so a failed copy leaves the item absent. The result is
  // that of the copy.
  HRESULT AddDataItem(const secwstring& sDataId, SAFEARRAY* psaDataValue);

  // A new copy of the value; E_INVALIDARG when the item is missing.
  HRESULT GetDataItem(const secwstring& sDataId, SAFEARRAY** ppsaDataValue);

  // Releases the value and erases the item (the item goes even when the
  // release fails; the result is the release's). E_INVALIDARG when missing.
  HRESULT RemoveDataItem(const secwstring& sDataId);

  // Appends every data identifier, in key order.
  HRESULT ListDataItems(std::vector<secwstring>& dataIds);

  // The stored array itself, to be read in place and not kept (it goes with
  // the next change of the item); false when the item is missing.
  bool PeekDataItem(const secwstring& sDataId, SAFEARRAY*& psa) const noexcept;

 private:
  std::map<secwstring, SAFEARRAY*> m_mapDataItems;
};

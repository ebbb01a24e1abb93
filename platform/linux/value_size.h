// The size of a value of an automation type whose bytes are its whole value
// (numbers, booleans, errors, currency, dates), shared by the array and
// variant copies; 0 for every other type.
#pragma once

#include <oleauto.h>

#include <cstddef>

inline size_t PlainValueSize(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    default:
      return 0;
  }
}

// The registry scripts of the component's registration: a small text format
// that names keys below HKEY_CLASSES_ROOT with their default values and
// string values, run forwards to register and backwards to unregister.
//
//   HKCR
//   {
//     NoRemove CLSID
//     {
//       ForceRemove {GUID} = s 'Description'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Apartment'
//         }
//       }
//     }
//   }
//
// Tokens are separated by white space; a quoted string ('...', with '' for
// one quote) is one token. Key and value names may be bare or quoted; "{",
// "}" and "=" stand alone. "%NAME%" in any name or text is replaced from the
// caller's table ("%%" is one "%"). Only string data ("s") is supported, the
// only root is HKCR (or HKEY_CLASSES_ROOT), and the text is ASCII.
//
// The whole script is read and every placeholder resolved before the
// registry is touched, so a script the processor refuses writes nothing:
//   malformed text (unbalanced braces, an unterminated string, a missing
//   name, non-ASCII bytes)       HRESULT_FROM_WIN32(ERROR_BAD_FORMAT)
//   a construct outside the subset (another root, data type or
//   keyword such as "Delete")    HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)
//   a placeholder the table does not hold, or an unclosed "%"
//                                 E_INVALIDARG
// A registry call that fails stops the run with its code as an HRESULT.
//
// Registration creates every key and sets its values; a "ForceRemove" key is
// deleted with all it holds first, so nothing stale survives below it.
// Unregistration removes what registration wrote, deepest keys first: a
// "ForceRemove" key goes with everything below it; any other key loses the
// values the script names and then goes only if it holds no subkeys and no
// values any more (another component's keys below it keep it); a "NoRemove"
// key stays. Keys and values that are already gone are not an error.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string_view>

struct SScriptReplacement {
  const char* pszName;  // without the "%" signs
  const WCHAR* pszValue;
};

enum class EScriptMode { kRegister, kUnregister };

// Runs the script text against hClassesRoot, the key that stands for HKCR
// (HKEY_CLASSES_ROOT itself, or for instance the user's Software\Classes).
HRESULT RunRegistryScript(std::string_view script, const SScriptReplacement* pReplacements,
                          size_t cReplacements, EScriptMode mode, HKEY hClassesRoot) noexcept;

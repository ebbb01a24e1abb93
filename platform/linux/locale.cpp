// The thread locale.
#include <windows.h>

namespace {

constexpr LCID kDefaultLocale = 0x0409;

thread_local LCID tThreadLocale = kDefaultLocale;

}  // namespace

extern "C" {

LCID WINAPI GetThreadLocale(void) { return tThreadLocale; }

BOOL WINAPI SetThreadLocale(LCID Locale) {
  if (Locale == LOCALE_SYSTEM_DEFAULT || Locale == LOCALE_USER_DEFAULT) Locale = kDefaultLocale;
  // An LCID is a language id (primary language in the low 10 bits, which
  // must name a language) and a 4-bit sort id.
  if ((Locale & 0x3FF) == 0 || (Locale & ~0xFFFFFu) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  tThreadLocale = Locale;
  return TRUE;
}

}  // extern "C"

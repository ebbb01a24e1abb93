// Locales of the Linux platform layer: only the thread locale, which a
// thread may switch for the duration of work that must not depend on the
// user's settings. Every thread starts with the layer's one locale, US
// English (0x0409), which is also the system and user default.
#pragma once

#include "windef.h"

KELMYR_EXTERN_C_BEGIN

#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400

LCID WINAPI GetThreadLocale(void);
// LOCALE_SYSTEM_DEFAULT and LOCALE_USER_DEFAULT become the default locale;
// 0, a neutral language (0x0000-0x03FF) or bits beyond the sort order fail
// with ERROR_INVALID_PARAMETER.
BOOL WINAPI SetThreadLocale(LCID Locale);

KELMYR_EXTERN_C_END

// The Windows API subset of the Linux platform layer. Code written against
// the Windows names includes <windows.h> (and <oleauto.h>) in both builds; on
// Windows these are the SDK headers, here they are this layer's.
#pragma once

#include "objbase.h"
#include "oleauto.h"
#include "securitybaseapi.h"
#include "winbase.h"
#include "wincrypt.h"
#include "windef.h"
#include "winerror.h"
#include "winnls.h"
#include "winnt.h"
#include "winreg.h"

// The Windows API subset of the Linux platform layer. Code written against
// the Windows names includes <windows.h> (and <oleauto.h>) in both builds; on
// Windows these are the SDK headers, here they are this layer's.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winnt.h"
#include "securitybaseapi.h"
#include "winreg.h"
#include "objbase.h"
#include "oleauto.h"

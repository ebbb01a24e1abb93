// The macros that interface headers and identifier files generated from IDL
// are written with. There is no RPC runtime here: interfaces are plain C++
// classes with virtual methods, and interface identifiers are ordinary
// constants.
#pragma once

#include "windef.h"

#define interface struct
#define DECLSPEC_UUID(x)
#define DECLSPEC_NOVTABLE
#define DECLSPEC_SELECTANY
#define MIDL_INTERFACE(x) struct DECLSPEC_UUID(x) DECLSPEC_NOVTABLE
#define BEGIN_INTERFACE
#define END_INTERFACE
#define CONST_VTBL const
#define __RPC_USER
#define EXTERN_C KELMYR_EXTERN_C

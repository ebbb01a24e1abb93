// Compatibility header: what generated interface code needs of it lives in
// the headers below.
#pragma once

#include "objbase.h"
#include "rpcndr.h"

// Compatibility header: the declarations live in the headers below.
#pragma once

#include "objbase.h"
#include "oleauto.h"

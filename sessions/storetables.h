// The store manager's tables, shared with its session-event subscriber:
// ordered maps from store identifier to store object, keys compared code
// unit by code unit (case-sensitively). A table that holds references says
// so where it is declared.
#pragma once

#include <map>

#include "datastore/datastore.h"
#include "pincache/authstore.h"
#include "support/secstring.h"

using CDataStoreTable = std::map<secwstring, CDataStore*>;
using CAuthStoreTable = std::map<secwstring, CAuthStore*>;

// What SQLite's result codes mean to the registry's callers.
#pragma once

#include "platform/Platform.h"

namespace refwarden {

struct StoreFailure {
  LONG error;    // the Windows error code closest to the SQLite result
  bool faulted;  // the connection can no longer be trusted and must not be reused
};

// Maps the (extended) SQLite result code `rc`, which is not SQLITE_OK. A lock
// held by another connection is ERROR_LOCK_VIOLATION and a bad argument
// ERROR_INVALID_PARAMETER, neither a fault; read-only, full disk, I/O,
// memory, a file that cannot be opened and anything corrupt fault.
StoreFailure FailureFromSqlite(int rc);

}  // namespace refwarden

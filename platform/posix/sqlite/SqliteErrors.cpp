#include "platform/posix/sqlite/SqliteErrors.h"

#include <sqlite3.h>

namespace refwarden {

StoreFailure FailureFromSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return {ERROR_LOCK_VIOLATION, false};
    case SQLITE_FULL:
      return {ERROR_DISK_FULL, true};
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return {ERROR_ACCESS_DENIED, true};
    case SQLITE_CANTOPEN:
      return {ERROR_PATH_NOT_FOUND, true};
    case SQLITE_NOMEM:
      return {ERROR_OUTOFMEMORY, true};
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
    case SQLITE_MISMATCH:
      return {ERROR_INVALID_PARAMETER, false};
    case SQLITE_IOERR:
      return {ERROR_WRITE_FAULT, true};
    default:  // corrupt, not a database, schema and the like
      return {ERROR_BADDB, true};
  }
}

}  // namespace refwarden

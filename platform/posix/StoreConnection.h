// One SQLite connection to a registry store, with its prepared statements and
// a cache of resolved key paths. A connection is used by one thread at a time
// (the pool hands it to one key handle); it is not itself locked.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/Platform.h"

struct sqlite3;
struct sqlite3_stmt;

namespace refwarden {

// What all connections to one store file share: its path and the lock that
// serialises this process's writers, so that they queue here instead of
// sleeping in SQLite's busy handler.
struct StoreShared {
  explicit StoreShared(std::string p) : path(std::move(p)) {}
  const std::string path;
  std::mutex writeLock;
};

// The key HKEY_CURRENT_USER stands for.
constexpr std::int64_t kRootKeyId = 1;

// One value as read from the store; the pointers stay valid until the
// connection's EndRead().
struct ValueRow {
  std::int64_t rowid = 0;
  const char* name = nullptr;
  std::size_t nameLen = 0;
  DWORD type = 0;
  const BYTE* data = nullptr;
  std::size_t dataLen = 0;
};

class StoreConnection {
 public:
  explicit StoreConnection(StoreShared* shared);
  ~StoreConnection();
  StoreConnection(const StoreConnection&) = delete;
  StoreConnection& operator=(const StoreConnection&) = delete;

  // Opens the existing store file and creates the schema if it has none.
  // Returns ERROR_SUCCESS or a Windows error code (ERROR_ACCESS_DENIED for a
  // store that can only be read, ERROR_BADDB for one that is not a store).
  LONG Open();

  StoreShared* shared() const { return shared_; }

  // True when the file at the store's path is the one this connection opened,
  // with the same permissions; `st` is a fresh stat of that path.
  bool IsSameFile(const struct stat& st) const;

  // True once an error showed the connection cannot be trusted any more (I/O,
  // corruption, read-only, full disk); such a connection is not pooled again.
  bool faulted() const { return faulted_; }

  // Finds the key `sub` (backslash-separated, relative; null or empty for
  // `parent` itself) below the key `parent`, creating it and any missing key
  // above it when `create` is set. Sets *id, and *created when it was made
  // now. ERROR_FILE_NOT_FOUND when missing and not created;
  // ERROR_INVALID_PARAMETER for a malformed path.
  LONG FindKey(std::int64_t parent, const char* sub, bool create, std::int64_t* id, bool* created);

  // Reads the value `name` of key `key` (ERROR_FILE_NOT_FOUND when absent).
  LONG ReadValue(std::int64_t key, std::string_view name, ValueRow* row);
  // Reads the first value of `key` whose rowid is at least `rowid`.
  LONG ReadValueFrom(std::int64_t key, std::int64_t rowid, ValueRow* row);
  // Reads the value at position `index` of `key` in write order.
  LONG ReadValueAt(std::int64_t key, std::uint64_t index, ValueRow* row);
  // Ends the read of the last Read* call; the row's pointers die here.
  void EndRead();

  // Creates the value or replaces its type and data (its name keeps the case
  // first written and its place in the order).
  LONG WriteValue(std::int64_t key, std::string_view name, DWORD type, const BYTE* data,
                  DWORD size);

 private:
  enum Statement {
    kKeyByPath,
    kKeyPath,
    kKeyInsert,
    kBegin,
    kCommit,
    kRollback,
    kValueGet,
    kValuePut,
    kValueFrom,
    kValueAt,
    kStatementCount
  };

  LONG Fail(int rc);
  LONG CheckFileBeforeWrite();
  LONG Prepare();
  LONG CreateSchema();
  LONG Exec(const char* sql);
  LONG EnableWal();
  LONG Run(Statement s);
  LONG StepRow(Statement s, ValueRow* row);
  LONG LookupKeyPath(std::string_view path, std::int64_t* id);
  LONG CreateKeyPath(std::string_view path, std::int64_t* id, bool* created);
  static int OnBusy(void* self, int attempts);

  StoreShared* shared_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmts_[kStatementCount] = {};
  sqlite3_stmt* reading_ = nullptr;
  bool faulted_ = false;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  mode_t mode_ = 0;
  std::int64_t busySinceNs_ = 0;
  std::string scratch_;
  std::string folded_;
  std::unordered_map<std::string, std::int64_t> keyCache_;  // folded path -> id
};

// Lower-cases ASCII letters only, as the store's NOCASE collation compares.
void FoldAscii(std::string_view in, std::string* out);

}  // namespace refwarden
